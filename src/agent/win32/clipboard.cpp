// The clipboard listener (see clipboard.h).
#include "agent/win32/clipboard.h"

#include <cstring>
#include <string>

#include "agent/log.h"
#include "agent/win32/text.h"

namespace talagent::win {
namespace {

ClipboardWatch* g_watch = nullptr;
HWND g_window = nullptr;
constexpr wchar_t kClass[] = L"talagent clipboard";
// Text longer than this is not read from the clipboard.
constexpr std::size_t kMaxText = std::size_t{1} << 20;

}  // namespace

ClipboardWatch::ClipboardWatch(std::function<void(const std::string&)> on_copied)
    : on_copied_(std::move(on_copied)) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = &ClipboardWatch::WindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kClass;
    RegisterClassW(&window_class);
    window_ = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              window_class.hInstance, nullptr);
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        AddClipboardFormatListener(window_);
    }
    if (!g_watch) {
        g_watch = this;
        g_window = window_;
    }
}

ClipboardWatch::~ClipboardWatch() {
    if (window_) {
        RemoveClipboardFormatListener(window_);
        DestroyWindow(window_);
    }
    if (g_watch == this) {
        g_watch = nullptr;
        g_window = nullptr;
    }
}

LRESULT CALLBACK ClipboardWatch::WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_CLIPBOARDUPDATE) {
        if (auto* watch =
                reinterpret_cast<ClipboardWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
            watch->OnUpdate();
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

void ClipboardWatch::OnUpdate() {
    // What an operator put there is theirs already.
    if (GetClipboardOwner() == window_ || !IsClipboardFormatAvailable(CF_UNICODETEXT))
        return;
    if (!OpenClipboard(window_))
        return;
    std::string text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* wide = static_cast<const wchar_t*>(GlobalLock(data))) {
            const std::size_t limit = GlobalSize(data) / sizeof(wchar_t);
            const std::size_t length = wcsnlen(wide, std::min(limit, kMaxText));
            text = Utf8(std::wstring_view(wide, length));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    // Lines end in LF on the wire, as on the operator's side.
    std::erase(text, '\r');
    if (!text.empty())
        on_copied_(text);
}

bool ClipboardWatch::Set(const std::string& utf8) {
    if (!g_window)
        return false;
    // Windows programs expect CR LF line ends.
    std::wstring wide;
    for (const wchar_t c : Wide(utf8)) {
        if (c == L'\n' && (wide.empty() || wide.back() != L'\r'))
            wide += L'\r';
        wide += c;
    }
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (wide.size() + 1) * sizeof(wchar_t));
    if (!memory)
        return false;
    std::memcpy(GlobalLock(memory), wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(memory);
    if (!OpenClipboard(g_window)) {
        GlobalFree(memory);
        return false;
    }
    EmptyClipboard();
    const bool set = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    if (!set)
        GlobalFree(memory);
    CloseClipboard();
    return set;
}

}  // namespace talagent::win
