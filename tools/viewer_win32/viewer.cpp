// A stand-in for the remote-desktop viewer on Windows: it shows the
// arguments it was started with in a window. For tests, with TALVIEWER_RECORD
// set it appends its raw command line and the arguments as the C runtime
// split them to that file, and with TALVIEWER_EXIT=1 it ends right after.
//
// Record format, one block per start, written in one piece:
//   begin
//   cmdline=<GetCommandLineA>
//   argv=<argument>          (one line per argument, argv[0] first)
//   end
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string Environment(const char* name) {
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

void Record(const std::string& path) {
    std::string block = "begin\ncmdline=";
    block += GetCommandLineA();
    block += '\n';
    for (int i = 0; i < __argc; ++i) {
        block += "argv=";
        block += __argv[i];
        block += '\n';
    }
    block += "end\n";
    const HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(f, block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
    CloseHandle(f);
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
    if (!record.empty())
        Record(record);
    if (Environment("TALVIEWER_EXIT") == "1")
        return 0;

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
