// A window for talagent.exe's tests under Wine: a solid colour at a known place on the desktop
// (the viewer must show it there), which prints every click, key (virtual key and scan code)
// and character (code point, surrogate pairs joined) it receives, one line each, on stdout.
//   agent_probe.exe X Y WIDTH HEIGHT RRGGBB
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

HBRUSH g_brush = nullptr;
wchar_t g_high_surrogate = 0;

void Print(const char* format, unsigned a, unsigned b = 0) {
    std::printf(format, a, b);
    std::fflush(stdout);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_LBUTTONDOWN:
            Print("click %u %u\n", LOWORD(l), HIWORD(l));
            return 0;
        case WM_KEYDOWN:
            Print("key %u %u\n", static_cast<unsigned>(w), (static_cast<unsigned>(l) >> 16) & 0xff);
            return 0;
        case WM_CHAR:
            if (w >= 0xd800 && w < 0xdc00) {
                g_high_surrogate = static_cast<wchar_t>(w);
                return 0;
            }
            if (w >= 0xdc00 && w < 0xe000 && g_high_surrogate) {
                Print("char U+%04X\n", 0x10000 + ((g_high_surrogate - 0xd800u) << 10) +
                                           (static_cast<unsigned>(w) - 0xdc00u));
                g_high_surrogate = 0;
                return 0;
            }
            Print("char U+%04X\n", static_cast<unsigned>(w));
            return 0;
        case WM_ERASEBKGND: {
            RECT area;
            GetClientRect(window, &area);
            FillRect(reinterpret_cast<HDC>(w), &area, g_brush);
            return 1;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: agent_probe X Y WIDTH HEIGHT RRGGBB\n");
        return 2;
    }
    const unsigned long rgb = std::strtoul(argv[5], nullptr, 16);
    g_brush = CreateSolidBrush(RGB((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff));
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.lpszClassName = L"agent probe";
    RegisterClassW(&window_class);
    // No frame: the client area is exactly where the test says.
    HWND window =
        CreateWindowExW(WS_EX_TOPMOST, L"agent probe", L"agent probe", WS_POPUP | WS_VISIBLE,
                        std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]),
                        std::atoi(argv[4]), nullptr, nullptr, window_class.hInstance, nullptr);
    if (!window)
        return 1;
    SetForegroundWindow(window);
    Print("ready %u %u\n", 0);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
