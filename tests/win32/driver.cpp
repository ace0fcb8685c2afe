// Drives launcher.exe from outside, as an operator would, for the
// end-to-end tests under Wine. One scenario per run; exit status 0 when
// every check of the scenario holds, 1 with the reasons on stderr otherwise.
//
//   driver list     DIR TITLE SHOT.bmp      sorted list, Return, Escape, screenshot
//   driver refused  DIR TITLE               one "Server Data Send Fail!"
//   driver nosettings DIR [hold]            the settings message, exit status 1
//   driver viewer   DIR TITLE IP PORT HOST RECORD   double-click starts the viewer
//   driver startup  EXE TITLE               ms from process start to the dialog
//
// The launcher is found by the caption set.xml gives it; its message boxes
// by the executable's name as caption. Keys are posted to the focused
// control, so they pass through the launcher's own message loop; a
// double-click is the mouse messages a real one produces, posted to the list
// box at the entry's position.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Fail(const std::string& what) {
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    ++g_failures;
}

void Note(const std::string& what) {
    std::printf("  %s\n", what.c_str());
}

std::string Narrow(const std::wstring& w) {
    if (w.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

template <class Pred>
bool WaitFor(DWORD timeoutMs, Pred pred) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (pred())
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(20);
    }
}

struct Launcher {
    PROCESS_INFORMATION pi{};
    bool started = false;

    explicit Launcher(const std::string& exe) {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        std::string cmd = "\"" + exe + "\"";
        const std::string dir = exe.substr(0, exe.find_last_of('\\'));
        started = CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 dir.c_str(), &si, &pi) != FALSE;
        if (!started)
            Fail("cannot start " + exe);
    }
    ~Launcher() {
        if (!started)
            return;
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 5000);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    bool Running() const { return started && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT; }
    // The exit status, or -1 when it has not ended in time.
    long WaitExit(DWORD timeoutMs) const {
        if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        return static_cast<long>(code);
    }
};

bool IsDialogClass(HWND w) {
    char cls[32] = {};
    GetClassNameA(w, cls, sizeof cls);
    return std::string(cls) == "#32770";
}

// A top-level dialog of the process with this caption (UTF-8), visible.
HWND FindProcessDialog(DWORD pid, const std::string& caption) {
    struct Search {
        DWORD pid;
        std::string caption;
        HWND found;
    } search{pid, caption, nullptr};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner != s->pid || !IsWindowVisible(w) || !IsDialogClass(w))
                return TRUE;
            wchar_t text[256] = {};
            GetWindowTextW(w, text, 256);
            if (Narrow(text) != s->caption)
                return TRUE;
            s->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitDialog(const Launcher& l, const std::string& caption, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitFor(timeoutMs,
            [&] { return (found = FindProcessDialog(l.pi.dwProcessId, caption)) != nullptr; });
    return found;
}

// The text of a message box: its static control (id 0xFFFF), else the
// first static control with text.
std::wstring MessageBoxText(HWND box) {
    wchar_t text[1024] = {};
    if (GetDlgItemTextW(box, 0xFFFF, text, 1024) > 0)
        return text;
    std::wstring found;
    EnumChildWindows(
        box,
        [](HWND w, LPARAM p) -> BOOL {
            char cls[32] = {};
            GetClassNameA(w, cls, sizeof cls);
            wchar_t t[1024] = {};
            if (lstrcmpiA(cls, "Static") == 0 && GetWindowTextW(w, t, 1024) > 0) {
                *reinterpret_cast<std::wstring*>(p) = t;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

void PressOk(HWND box) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

// Waits for the launcher's message box, checks its text, dismisses it.
bool ExpectMessageBox(const Launcher& l, const std::wstring& text, DWORD timeoutMs) {
    HWND box = WaitDialog(l, "launcher", timeoutMs);
    if (box == nullptr) {
        Fail("no message box \"" + Narrow(text) + "\"");
        return false;
    }
    const std::wstring shown = MessageBoxText(box);
    if (shown != text)
        Fail("message box says \"" + Narrow(shown) + "\", expected \"" + Narrow(text) + "\"");
    else
        Note("message box: " + Narrow(shown));
    PressOk(box);
    if (!WaitFor(5000, [&] { return !IsWindow(box) || !IsWindowVisible(box); }))
        Fail("message box stays open");
    return true;
}

// The entries, read with the wide messages: across processes the system
// passes the text of a list box as UTF-16.
std::vector<std::string> ListEntries(HWND list) {
    std::vector<std::string> entries;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length == LB_ERR)
            break;
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        const LRESULT n = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i),
                                       reinterpret_cast<LPARAM>(text.data()));
        text.resize(n == LB_ERR ? 0 : static_cast<std::size_t>(n));
        entries.push_back(Narrow(text));
    }
    return entries;
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& e : v)
        s += (s.empty() ? "" : ", ") + ("\"" + e + "\"");
    return "[" + s + "]";
}

void PostKey(HWND target, WPARAM key) {
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

// A left double-click on an entry of a list box: down, up, double-click, up
// at the entry's middle, as the system posts them.
void DoubleClickEntry(HWND list, int index) {
    const int height = static_cast<int>(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0));
    const int top = static_cast<int>(SendMessageA(list, LB_GETTOPINDEX, 0, 0));
    const LPARAM at = MAKELPARAM(10, (index - top) * height + height / 2);
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
}

// The window's pixels from the screen, as a 24-bit BMP.
bool SaveScreenshot(HWND window, const std::string& path) {
    RECT r;
    if (!GetWindowRect(window, &r))
        return false;
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    const bool ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE;
    GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(w) * 3 + 3) / 4) * 4;
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(h);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&fh), sizeof fh);
    out.write(reinterpret_cast<const char*>(&bi.bmiHeader), sizeof bi.bmiHeader);
    out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(stride) * h);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok && out.good();
}

HWND ListOf(HWND dialog) {
    return GetDlgItem(dialog, 1000);
}

void ExpectNoMessageBox(const Launcher& l, DWORD forMs) {
    if (WaitFor(forMs, [&] { return FindProcessDialog(l.pi.dwProcessId, "launcher") != nullptr; }))
        Fail("an unexpected message box: " +
             Narrow(MessageBoxText(FindProcessDialog(l.pi.dwProcessId, "launcher"))));
}

void ExpectEscapeEnds(const Launcher& l, HWND dialog) {
    PostKey(ListOf(dialog), VK_ESCAPE);
    const long code = l.WaitExit(10000);
    if (code == -1)
        Fail("Escape did not end the launcher");
    else if (code != 0)
        Fail("exit status after Escape: " + std::to_string(code));
    else
        Note("Escape ended the launcher with status 0");
}

int List(const std::string& dir, const std::string& title, const std::string& shot) {
    Launcher l(dir + "\\launcher.exe");
    HWND dialog = WaitDialog(l, title, 20000);
    if (dialog == nullptr) {
        Fail("no dialog captioned \"" + title + "\"");
        return 1;
    }
    HWND list = ListOf(dialog);
    const LONG_PTR style = GetWindowLongPtrA(list, GWL_STYLE);
    // The dialog manager and the list box adjust the border and scroll bar
    // bits themselves; sorting and notification stay as the template says.
    if ((style & (LBS_SORT | LBS_NOTIFY)) != (LBS_SORT | LBS_NOTIFY))
        Fail("host list style " + std::to_string(style));
    if (GetWindowLongPtrA(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW)
        Note("dialog has WS_EX_APPWINDOW");
    else
        Fail("dialog lacks WS_EX_APPWINDOW");

    const std::vector<std::string> want{"Alpha", "beta", "zeta"};
    if (!WaitFor(10000, [&] { return ListEntries(list) == want; }))
        Fail("list " + Join(ListEntries(list)) + ", expected " + Join(want));
    else
        Note("list " + Join(want));
    Sleep(300);  // let the list paint before the picture is taken
    if (!shot.empty() && !SaveScreenshot(dialog, shot))
        Fail("screenshot " + shot);

    // Return, to the list and to the button, neither closes nor presses.
    PostKey(list, VK_RETURN);
    PostKey(GetDlgItem(dialog, 1001), VK_RETURN);
    PostKey(dialog, VK_RETURN);
    Sleep(1000);
    if (!l.Running() || !IsWindow(dialog))
        Fail("Return closed the dialog");
    else
        Note("Return kept the dialog");
    ExpectNoMessageBox(l, 100);
    if (ListEntries(list) != want)
        Fail("the list changed after Return: " + Join(ListEntries(list)));

    ExpectEscapeEnds(l, dialog);
    return g_failures == 0 ? 0 : 1;
}

int Refused(const std::string& dir, const std::string& title) {
    Launcher l(dir + "\\launcher.exe");
    ExpectMessageBox(l, L"Server Data Send Fail!", 20000);
    HWND dialog = WaitDialog(l, title, 10000);
    if (dialog == nullptr) {
        Fail("no dialog after the message box");
        return 1;
    }
    ExpectNoMessageBox(l, 2000);
    if (!ListEntries(ListOf(dialog)).empty())
        Fail("the list is not empty");
    ExpectEscapeEnds(l, dialog);
    return g_failures == 0 ? 0 : 1;
}

// With `hold`, the settings file is kept open (reading shared) while the
// launcher starts, as another program might.
int NoSettings(const std::string& dir, bool hold) {
    HANDLE held = INVALID_HANDLE_VALUE;
    if (hold) {
        const std::string path = dir + "\\set.xml";
        held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        if (held == INVALID_HANDLE_VALUE)
            Fail("cannot open " + path);
    }
    Launcher l(dir + "\\launcher.exe");
    ExpectMessageBox(
        l,
        L"\uC138\uD305\uD30C\uC77C\uC774 \uC874\uC7AC\uD558\uC9C0 \uC54A\uC2B5\uB2C8\uB2E4. "
        L"\uC7AC\uC124\uCE58\uD574\uC8FC\uC2ED\uC2DC\uC624",
        20000);
    const long code = l.WaitExit(10000);
    if (code != 1)
        Fail("exit status " + std::to_string(code) + ", expected 1");
    else
        Note("exit status 1");
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return g_failures == 0 ? 0 : 1;
}

// The viewer's record: "argv[i]=..." lines between "begin" and "end".
std::vector<std::string> RecordedArguments(const std::string& path, std::string* commandLine) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> args;
    std::string line;
    bool complete = false;
    while (std::getline(in, line)) {
        if (line == "begin")
            args.clear(), complete = false;
        else if (line == "end")
            complete = true;
        else if (line.rfind("cmdline=", 0) == 0)
            *commandLine = line.substr(8);
        else if (line.rfind("argv=", 0) == 0)
            args.push_back(line.substr(5));
    }
    return complete ? args : std::vector<std::string>{};
}

int Viewer(const std::string& dir, const std::string& title, const std::string& ip,
           const std::string& port, const std::string& host, const std::string& record) {
    DeleteFileA(record.c_str());
    SetEnvironmentVariableA("TALVIEWER_RECORD", record.c_str());
    SetEnvironmentVariableA("TALVIEWER_EXIT", "1");
    Launcher l(dir + "\\launcher.exe");
    HWND dialog = WaitDialog(l, title, 20000);
    if (dialog == nullptr) {
        Fail("no dialog captioned \"" + title + "\"");
        return 1;
    }
    HWND list = ListOf(dialog);
    int index = -1;
    WaitFor(10000, [&] {
        const auto entries = ListEntries(list);
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i] == host)
                index = static_cast<int>(i);
        return index >= 0;
    });
    if (index < 0) {
        Fail("\"" + host + "\" not in the list " + Join(ListEntries(list)));
        return 1;
    }
    DoubleClickEntry(list, index);

    std::string commandLine;
    std::vector<std::string> args;
    WaitFor(15000, [&] { return !(args = RecordedArguments(record, &commandLine)).empty(); });
    Note("viewer command line: " + commandLine);
    const std::vector<std::string> want{"TALVERO-VNC", ip, port, host};
    if (args.size() != want.size() + 1)
        Fail("the viewer got " + std::to_string(args.size()) + " arguments " + Join(args));
    else if (std::vector<std::string>(args.begin() + 1, args.end()) != want)
        Fail("viewer arguments " + Join(args) + ", expected " + Join(want));
    else
        Note("viewer arguments " + Join(want));

    // After its pause the launcher asks again; the list stays filled.
    Sleep(1500);
    if (ListEntries(list).empty())
        Fail("the list is empty after the viewer started");
    ExpectNoMessageBox(l, 100);
    ExpectEscapeEnds(l, dialog);
    return g_failures == 0 ? 0 : 1;
}

// Milliseconds from CreateProcess until the dialog is visible; the program
// is then closed with Escape (or WM_CLOSE).
int Startup(const std::string& exe, const std::string& title) {
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    Launcher l(exe);
    HWND dialog = nullptr;
    const ULONGLONG end = GetTickCount64() + 30000;
    while ((dialog = FindProcessDialog(l.pi.dwProcessId, title)) == nullptr &&
           GetTickCount64() < end)
        Sleep(1);
    QueryPerformanceCounter(&t1);
    if (dialog == nullptr) {
        Fail("no dialog captioned \"" + title + "\"");
        return 1;
    }
    std::printf("%.1f\n", 1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) /
                              static_cast<double>(freq.QuadPart));
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    l.WaitExit(10000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> a(argv + 1, argv + argc);
    const std::string mode = a.empty() ? "" : a[0];
    if (mode == "list" && a.size() == 4)
        return List(a[1], a[2], a[3]);
    if (mode == "refused" && a.size() == 3)
        return Refused(a[1], a[2]);
    if (mode == "nosettings" && a.size() == 2)
        return NoSettings(a[1], false);
    if (mode == "nosettings" && a.size() == 3 && a[2] == "hold")
        return NoSettings(a[1], true);
    if (mode == "viewer" && a.size() == 7)
        return Viewer(a[1], a[2], a[3], a[4], a[5], a[6]);
    if (mode == "startup" && a.size() == 3)
        return Startup(a[1], a[2]);
    std::fprintf(stderr, "usage: driver list|refused|nosettings|viewer|startup ...\n");
    return 2;
}
