// The --ask question (see ask.h). A plain window with a label and two buttons rather than a
// message box, so that it can count down and deny by itself.
#include "agent/win32/ask.h"

#include <memory>
#include <thread>

#include "agent/win32/text.h"

namespace talagent::win {
namespace {

constexpr wchar_t kClass[] = L"talagent question";
constexpr int kAllow = 1, kDeny = 2, kTimer = 1;

struct Question {
    DWORD answer_thread;
    WPARAM number;
    std::wstring text;
    int seconds_left;
    HWND label = nullptr;
    HWND deny = nullptr;
    bool answered = false;

    void Answer(HWND window, bool allowed) {
        if (answered)
            return;
        answered = true;
        PostThreadMessageW(answer_thread, kAskAnswer, number, allowed ? 1 : 0);
        DestroyWindow(window);
    }
    void ShowCountdown() {
        SetWindowTextW(deny, (L"&Deny (" + std::to_wstring(seconds_left) + L")").c_str());
    }
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* question = reinterpret_cast<Question*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_COMMAND:
            if (question && (LOWORD(w) == kAllow || LOWORD(w) == kDeny))
                question->Answer(window, LOWORD(w) == kAllow);
            return 0;
        case WM_TIMER:
            if (question && --question->seconds_left <= 0)
                question->Answer(window, false);
            else if (question)
                question->ShowCountdown();
            return 0;
        case WM_CLOSE:
            if (question)
                question->Answer(window, false);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

void Run(std::unique_ptr<Question> question) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = kClass;
    RegisterClassW(&window_class);  // fails harmlessly once registered
    const int width = 460, height = 170;
    HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_CONTROLPARENT, kClass,
                                  L"Remote session request", WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                                  (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) {
        PostThreadMessageW(question->answer_thread, kAskAnswer, question->number, 0);
        return;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(question.get()));
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    question->label = CreateWindowExW(0, L"STATIC", question->text.c_str(), WS_CHILD | WS_VISIBLE,
                                      16, 16, width - 40, 60, window, nullptr, instance, nullptr);
    HWND allow = CreateWindowExW(0, L"BUTTON", L"&Allow", WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                 width - 260, height - 80, 100, 28, window,
                                 reinterpret_cast<HMENU>(kAllow), instance, nullptr);
    // Deny is the default: Enter, Escape and the clock all say no.
    question->deny = CreateWindowExW(
        0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, width - 150,
        height - 80, 120, 28, window, reinterpret_cast<HMENU>(kDeny), instance, nullptr);
    for (HWND control : {question->label, allow, question->deny})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    question->ShowCountdown();
    SetTimer(window, kTimer, 1000, nullptr);
    SetForegroundWindow(window);
    SetFocus(question->deny);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
            question->Answer(window, false);
            continue;
        }
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

}  // namespace

bool Ask(DWORD answer_thread, WPARAM number, const std::string& operator_name, bool control,
         int timeout_seconds) {
    auto question = std::make_unique<Question>();
    question->answer_thread = answer_thread;
    question->number = number;
    question->seconds_left = timeout_seconds;
    question->text = L"Operator " + Wide(operator_name) + L" asks to " +
                     (control ? L"see and control" : L"see") +
                     L" this screen.\n\nAllow the remote session?";
    try {
        std::thread(Run, std::move(question)).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

}  // namespace talagent::win
