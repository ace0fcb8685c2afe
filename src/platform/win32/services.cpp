// OS services on Win32.
// The SDK first, before any header of the layer (see win_includes.h).
#include "platform/win32/win_includes.h"

#include <ole2.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/command_line.h"
#include "platform/services.h"

namespace platform {

char PathSeparator() {
    return '\\';
}
const char* ExecutableSuffix() {
    return ".exe";
}

int ScaleToWindowDpi(HWND window, int size) {
    // The process is per-monitor aware (launcher.manifest): GetDpiForWindow
    // (Windows 10 1607 and later) gives the DPI of the window's monitor.
    // Older systems lack it and have one DPI for all monitors, which the
    // window's device context reports.
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    int dpi = getDpiForWindow ? static_cast<int>(getDpiForWindow(window)) : 0;
    if (dpi <= 0) {
        const HDC dc = GetDC(window);
        dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
        if (dc)
            ReleaseDC(window, dc);
    }
    return ScaleToDpi(size, dpi);
}

int ScaleToDpi(int size, int dpi) {
    return dpi > 0 ? MulDiv(size, dpi, 96) : size;
}

namespace backend {

namespace {

// Text in `codePage` as UTF-16; a code page the system cannot convert falls
// back to the ANSI one rather than showing nothing.
std::wstring Widen(const std::string& text, unsigned int codePage) {
    if (text.empty())
        return std::wstring();
    const int size = static_cast<int>(text.size());
    for (const UINT page : {static_cast<UINT>(codePage), static_cast<UINT>(CP_ACP)}) {
        const int length = MultiByteToWideChar(page, 0, text.data(), size, nullptr, 0);
        if (length <= 0)
            continue;
        std::wstring wide(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(page, 0, text.data(), size, wide.data(), length);
        return wide;
    }
    return std::wstring();
}

}  // namespace

bool StartComponentLayer() {
    return SUCCEEDED(OleInitialize(nullptr));
}

void ShowMessageBox(const std::string& caption, const std::string& text, unsigned int codePage) {
    // Through the wide API, so the fixed Korean text reads right whatever
    // the system's ANSI code page is. The caption comes from the module path,
    // which is in the ANSI code page.
    const std::wstring wideText = Widen(text, codePage);
    const std::wstring wideCaption = Widen(caption, CP_ACP);
    MessageBoxW(GetActiveWindow(), wideText.c_str(), wideCaption.c_str(),
                MB_OK | MB_ICONEXCLAMATION);
}

std::string ModuleFileName() {
    // GetModuleFileNameA fills the buffer to the brim when the path does not
    // fit: grow it until the path and its terminator do.
    constexpr DWORD kLongestPath = 32768;
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), size);
        if (n == 0)
            return std::string();
        if (n < size) {
            buffer.resize(n);
            return buffer;
        }
        if (size >= kLongestPath)
            return std::string();
        buffer.resize(static_cast<std::size_t>(size) * 2);
    }
}

void ExitProcess(int status) {
    std::exit(status);
}

void Sleep(unsigned int milliseconds) {
    ::Sleep(milliseconds);
}

void ShellOpen(const std::string& file, const std::vector<std::string>& arguments) {
    const std::string parameters = JoinCommandLine(arguments);
    ShellExecuteA(nullptr, "open", file.c_str(), parameters.c_str(), nullptr, SW_SHOW);
}

}  // namespace backend
}  // namespace platform
