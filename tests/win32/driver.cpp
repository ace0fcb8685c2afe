// Works launcher.exe and talviewer.exe from outside, as an operator would, for the end-to-end
// tests under Wine (tests/win32/*.sh). The arguments are steps, run in order:
//
//   hold PATH          keep PATH open (reading shared) to the end, as another program might
//   run EXE            start EXE
//   startup EXE TITLE  print the ms from starting EXE until its dialog shows, then close it
//   dialog TITLE       wait for its dialog captioned TITLE, which must have a taskbar button
//                      (WS_EX_APPWINDOW); later steps work on it
//   list A|B|C         wait until the host list reads A, B, C ('' for none)
//   key ID VK          post the virtual key VK to the dialog's control ID (0: the dialog)
//   click NAME         double-click the host NAME in the list
//   blank              double-click the blank space below the list's entries
//   press ID           click the dialog's button ID
//   box / nobox MS     wait for a message box, print its text, press OK / none may come in MS
//   record PATH N      wait until PATH holds N records of the stand-in viewer
//   records PATH       print each record's arguments after the program's name, one a line
//                      in brackets (the record is src/viewer/arguments.h)
//   shot PATH          save the dialog's (or window's) pixels as a BMP
//   dpichanged DPI L T R B  send WM_DPICHANGED as the system does on a move to a monitor of
//                      DPI, suggesting the rectangle L T R B; print the window's rectangle
//   itemheight         print the host list's item height, which follows its font
//   viewer ADDR PORT NAME  start ./talviewer.exe TALVERO-VNC ADDR PORT NAME
//   window TITLE       wait for talviewer.exe's window captioned TITLE (of any process)
//   color PX PY RRGGBB wait until the screen's pixel at PX%, PY% of the window's client area
//                      has that colour (each channel within 8): "color ok", or what it has
//   mouse PX PY        a left click there (move, press, release)
//   client W H         wait until the client area is W x H (0 0: no wait), print
//                      "client X Y W H": its origin on the screen and its size
//   message CAPTION    wait for a message box captioned CAPTION (of any process), print
//                      "message TEXT", press OK
//   close / sleep MS   close the window / wait
//   exit / ended       wait for the program's / the window's process to end, print its status
//
// What the steps observe and every check that fails is printed, one a line, for the caller
// to compare. A step that waits in vain ends the run with status 1. Keys and clicks are
// posted, so they pass through the program's own message loop.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "viewer/arguments.h"

namespace {

PROCESS_INFORMATION g_process{};
HWND g_dialog = nullptr;
HANDLE g_window_process = nullptr;

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string Utf8(const wchar_t* text) {
    char s[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, s, sizeof s, nullptr, nullptr);
    return s;
}

template <class Pred>
bool WaitFor(DWORD ms, Pred pred, DWORD step = 20) {
    for (const ULONGLONG end = GetTickCount64() + ms; !pred(); Sleep(step))
        if (GetTickCount64() >= end)
            return false;
    return true;
}

// A visible dialog of the launcher's process with this caption; its message
// boxes have the executable's name as caption.
HWND FindDialog(const std::string& caption) {
    const HWND w = FindWindowA("#32770", caption.c_str());
    DWORD pid = 0;
    wchar_t text[256] = {};
    GetWindowThreadProcessId(w, &pid);
    GetWindowTextW(w, text, 256);
    return pid == g_process.dwProcessId && IsWindowVisible(w) && Utf8(text) == caption ? w
                                                                                       : nullptr;
}

// The entries joined with '|', which no host name holds. Read with the wide
// messages: across processes the system passes the text of a list box as UTF-16.
std::string Entries() {
    const HWND list = GetDlgItem(g_dialog, 1000);
    std::string joined;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[512] = {};
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < 512)
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        joined.append(i ? "|" : "").append(Utf8(text));
    }
    return joined;
}

bool SaveScreenshot(const std::string& path) {
    RECT r;
    GetWindowRect(g_dialog, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
    BITMAPINFOHEADER bi{sizeof bi, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS,
                                   &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    const bool ok = w > 0 && h > 0 && BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD size = (static_cast<DWORD>(w) * 3 + 3) / 4 * 4 * static_cast<DWORD>(h);
    const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof bi;
    const BITMAPFILEHEADER fh{0x4D42, offset + size, 0, 0, offset};
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&fh), sizeof fh)
        .write(reinterpret_cast<const char*>(&bi), sizeof bi)
        .write(static_cast<const char*>(bits), size);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok && out.good();
}

HWND FindViewer(const std::string& caption) {
    const HWND w = FindWindowA("TalviewerDesktop", nullptr);
    wchar_t text[256] = {};
    GetWindowTextW(w, text, 256);
    return w && IsWindowVisible(w) && Utf8(text) == caption ? w : nullptr;
}

// The screen position of PX%, PY% of the window's client area.
POINT ClientPoint(int px, int py, bool screen) {
    RECT r{};
    GetClientRect(g_dialog, &r);
    POINT p{r.right * px / 100, r.bottom * py / 100};
    if (screen)
        ClientToScreen(g_dialog, &p);
    return p;
}

COLORREF ScreenPixel(POINT p) {
    const HDC screen = GetDC(nullptr);
    const COLORREF c = GetPixel(screen, p.x, p.y);
    ReleaseDC(nullptr, screen);
    return c;
}

// Prints the message box's text after `what`, then presses its OK.
void Answer(HWND box, const std::string& what) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    Say(what + " " + Utf8(text));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

// Starts EXE (with this command line, if any) as the program the steps work on.
bool Start(const std::string& exe, std::string command = {}) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    return CreateProcessA(exe.c_str(), command.empty() ? nullptr : command.data(), nullptr, nullptr,
                          FALSE, 0, nullptr, nullptr, &si, &g_process);
}

bool WaitDialog(const std::string& title, DWORD step = 20) {
    return WaitFor(
        30000, [&] { return (g_dialog = FindDialog(title)) != nullptr; }, step);
}

// The mouse messages of a double-click at xy in the window, as the system posts them.
void DoubleClick(HWND window, LPARAM xy) {
    for (UINT m : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
        PostMessageA(window, m, m == WM_LBUTTONUP ? 0 : MK_LBUTTON, xy);
}

int Run(const std::vector<std::string>& a) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string& step = a[i];
        auto arg = [&] { return i + 1 < a.size() ? a[++i] : std::string(); };
        if (step == "hold") {
            const std::string path = arg();
            if (CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr) == INVALID_HANDLE_VALUE)
                return Say("cannot open " + path), 1;
        } else if (step == "run" || step == "startup") {
            const auto t0 = std::chrono::steady_clock::now();
            const std::string exe = arg();
            if (!Start(exe))
                return Say("cannot start " + exe), 1;
            if (step == "startup") {
                const std::string title = arg();
                if (!WaitDialog(title, 1))
                    return Say("no dialog " + title), 1;
                const std::chrono::duration<double, std::milli> ms =
                    std::chrono::steady_clock::now() - t0;
                std::printf("%.1f\n", ms.count());
                PostMessageA(g_dialog, WM_CLOSE, 0, 0);
                WaitForSingleObject(g_process.hProcess, 10000);
            }
        } else if (step == "dialog") {
            const std::string title = arg();
            if (!WaitDialog(title))
                return Say("no dialog " + title), 1;
            if (!(GetWindowLongPtrA(g_dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW))
                Say("the dialog lacks WS_EX_APPWINDOW");
        } else if (step == "list") {
            const std::string want = arg();
            if (!WaitFor(10000, [&] { return Entries() == want; }))
                Say("list [" + Entries() + "], expected [" + want + "]");
        } else if (step == "key") {
            const int id = std::stoi(arg());
            const WPARAM key = std::stoul(arg());
            const HWND to = id ? GetDlgItem(g_dialog, id) : g_dialog;
            PostMessageA(to, WM_KEYDOWN, key, 1);
            PostMessageA(to, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
        } else if (step == "click") {
            const std::string name = "|" + arg() + "|";
            std::string all;
            std::size_t at = std::string::npos;
            WaitFor(10000, [&] {
                all = Entries().insert(0, 1, '|') + '|';
                return (at = all.find(name)) != std::string::npos;
            });
            if (at == std::string::npos)
                return Say("no " + name + " in the list " + all), 1;
            // At the entry's middle.
            const HWND list = GetDlgItem(g_dialog, 1000);
            const auto index = std::count(all.begin(), all.begin() + at, '|') -
                               SendMessageA(list, LB_GETTOPINDEX, 0, 0);
            const auto height = SendMessageA(list, LB_GETITEMHEIGHT, 0, 0);
            DoubleClick(list, MAKELPARAM(10, index * height + height / 2));
        } else if (step == "blank") {
            const HWND list = GetDlgItem(g_dialog, 1000);
            RECT r;
            GetClientRect(list, &r);
            DoubleClick(list, MAKELPARAM(10, r.bottom - 3));
        } else if (step == "press") {
            const int id = std::stoi(arg());
            PostMessageA(g_dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(g_dialog, id)));
        } else if (step == "box" || step == "nobox") {
            HWND box = nullptr;
            const bool found = WaitFor(step == "box" ? 20000 : std::stoul(arg()),
                                       [&] { return (box = FindDialog("launcher")) != nullptr; });
            if (!found) {
                if (step == "box")
                    return Say("no message box"), 1;
                continue;
            }
            Answer(box, "box");
            if (!WaitFor(5000, [&] { return !IsWindow(box) || !IsWindowVisible(box); }))
                Say("the message box stays open");
        } else if (step == "record") {
            const std::string path = arg();
            const std::size_t n = std::stoul(arg());
            if (!WaitFor(15000, [&] { return talviewer::ReadRecords(path).size() >= n; }))
                return Say("fewer than " + std::to_string(n) + " viewer records in " + path), 1;
        } else if (step == "records") {
            for (const talviewer::Argv& argv : talviewer::ReadRecords(arg()))
                for (std::size_t k = 1; k < argv.size(); ++k)
                    Say("[" + argv[k] + "]");
        } else if (step == "itemheight") {
            const HWND list = GetDlgItem(g_dialog, 1000);
            Say("item height " + std::to_string(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0)));
        } else if (step == "dpichanged") {
            const UINT dpi = std::stoul(arg());
            RECT suggested;
            suggested.left = std::stol(arg()), suggested.top = std::stol(arg());
            suggested.right = std::stol(arg()), suggested.bottom = std::stol(arg());
            // lParam points to the rectangle in the receiving process, as the system's does.
            void* remote = VirtualAllocEx(g_process.hProcess, nullptr, sizeof suggested,
                                          MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
            if (!remote || !WriteProcessMemory(g_process.hProcess, remote, &suggested,
                                               sizeof suggested, nullptr))
                return Say("cannot pass the rectangle"), 1;
            SendMessageA(g_dialog, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                         reinterpret_cast<LPARAM>(remote));
            VirtualFreeEx(g_process.hProcess, remote, 0, MEM_RELEASE);
            RECT r{};
            GetWindowRect(g_dialog, &r);
            Say("window " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                std::to_string(r.right) + " " + std::to_string(r.bottom));
        } else if (step == "shot") {
            if (!SaveScreenshot(arg()))
                Say("no screenshot");
        } else if (step == "viewer") {
            // From the current folder (beside its ca.pem), not the driver's.
            char folder[MAX_PATH] = {};
            GetCurrentDirectoryA(MAX_PATH, folder);
            const std::string exe = std::string(folder) + "\\talviewer.exe";
            std::string command = "\"" + exe + "\" TALVERO-VNC";
            for (int k = 0; k < 3; ++k)
                command += " \"" + arg() + "\"";
            if (!Start(exe, command))
                return Say("cannot start talviewer.exe"), 1;
        } else if (step == "window") {
            const std::string title = arg();
            if (!WaitFor(30000, [&] { return (g_dialog = FindViewer(title)) != nullptr; }))
                return Say("no viewer window " + title), 1;
            DWORD pid = 0;
            GetWindowThreadProcessId(g_dialog, &pid);
            g_window_process =
                OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        } else if (step == "color") {
            const int px = std::stoi(arg()), py = std::stoi(arg());
            const unsigned long want = std::stoul(arg(), nullptr, 16);
            COLORREF got = 0;
            const bool ok = WaitFor(
                20000,
                [&] {
                    got = ScreenPixel(ClientPoint(px, py, true));
                    for (int shift : {0, 8, 16})  // COLORREF is 0x00BBGGRR
                        if (std::abs(int(got >> shift & 0xff) - int(want >> (16 - shift) & 0xff)) >
                            8)
                            return false;
                    return true;
                },
                100);
            char hex[8];
            std::snprintf(hex, sizeof hex, "%02x%02x%02x", GetRValue(got), GetGValue(got),
                          GetBValue(got));
            Say(ok ? std::string("color ok") : std::string("color ") + hex);
        } else if (step == "mouse") {
            const int px = std::stoi(arg()), py = std::stoi(arg());
            const POINT p = ClientPoint(px, py, false);
            const LPARAM at = MAKELPARAM(p.x, p.y);
            PostMessageA(g_dialog, WM_MOUSEMOVE, 0, at);
            PostMessageA(g_dialog, WM_LBUTTONDOWN, MK_LBUTTON, at);
            PostMessageA(g_dialog, WM_LBUTTONUP, 0, at);
        } else if (step == "client") {
            const long w = std::stol(arg()), h = std::stol(arg());
            RECT r{};
            WaitFor(20000, [&] {
                GetClientRect(g_dialog, &r);
                return (w == 0 && h == 0) || (r.right == w && r.bottom == h);
            });
            POINT origin{0, 0};
            ClientToScreen(g_dialog, &origin);
            Say("client " + std::to_string(origin.x) + " " + std::to_string(origin.y) + " " +
                std::to_string(r.right) + " " + std::to_string(r.bottom));
        } else if (step == "message") {
            const std::string caption = arg();
            wchar_t wide[256] = {};
            MultiByteToWideChar(CP_ACP, 0, caption.c_str(), -1, wide, 256);  // as argv came
            HWND box = nullptr;
            if (!WaitFor(20000, [&] {
                    box = FindWindowW(L"#32770", wide);
                    return box && IsWindowVisible(box);
                }))
                return Say("no message box " + caption), 1;
            Answer(box, "message");
        } else if (step == "close") {
            PostMessageA(g_dialog, WM_CLOSE, 0, 0);
        } else if (step == "sleep") {
            Sleep(std::stoul(arg()));
        } else if (step == "exit" || step == "ended") {
            const HANDLE process = step == "exit" ? g_process.hProcess : g_window_process;
            DWORD code = 0;
            if (!process || WaitForSingleObject(process, 30000) != WAIT_OBJECT_0)
                return Say(step + ": still running"), 1;
            GetExitCodeProcess(process, &code);
            Say("exit " + std::to_string(code));
        } else {
            return Say("unknown step " + step), 2;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int status = Run(std::vector<std::string>(argv + 1, argv + argc));
    if (g_process.hProcess && WaitForSingleObject(g_process.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(g_process.hProcess, 99);
    return status;
}
