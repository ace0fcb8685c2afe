// A stand-in for the remote-desktop viewer on Windows: it shows the
// arguments it was started with in a window. For tests, with TALVIEWER_RECORD
// set it appends the arguments as the C runtime split them (argv[0] first) to
// that file, in the stand-in viewers' record format (src/viewer/arguments.h),
// and with TALVIEWER_EXIT=1 it ends right after (status 1 when the record
// could not be written).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <string>

#include "viewer/arguments.h"

namespace {

std::string Environment(const char* name) {
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::string Shown() {
    std::string text = "talviewer\r\n";
    for (int i = 1; i < __argc; ++i) {
        text += "\r\n[";
        text += std::to_string(i);
        text += "] ";
        text += __argv[i];
    }
    return text;
}

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    const std::string record = Environment("TALVIEWER_RECORD");
    const bool recorded =
        record.empty() ||
        talviewer::AppendRecord(record, talviewer::Argv(__argv, __argv + __argc)).empty();
    if (Environment("TALVIEWER_EXIT") == "1")
        return recorded ? 0 : 1;

    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProcedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = "TalviewerStandIn";
    RegisterClassA(&wc);
    const HWND window =
        CreateWindowExA(0, wc.lpszClassName, "talviewer", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 420, 220, nullptr, nullptr, instance, nullptr);
    CreateWindowExA(0, "STATIC", Shown().c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 390, 160,
                    window, nullptr, instance, nullptr);
    ShowWindow(window, show);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
