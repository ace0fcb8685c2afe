// talviewer.exe's window actions for the operator (see viewer_window.h): the Screen menu (all of
// the remote desktop or one of the screens the server describes; screen_choice.h, shared with the
// Qt viewer), the remote desktop resized to the window (SetDesktopSize, where the server allows
// it), full screen (the frame dropped and the window over its whole monitor, put back as it was),
// view only (no keys, pointer or clipboard go to the remote side; desktop_input.cpp asks
// view_only_), and a screenshot saved as PNG (screenshot.h) into the Pictures folder.
#include "viewer/win32/viewer_window.h"

#include <commdlg.h>
#include <shlobj.h>

#include <algorithm>
#include <ctime>
#include <fstream>

#include "viewer/screen_choice.h"
#include "viewer/screenshot.h"
#include "viewer/win32/support.h"
#include "viewer/win32/tls.h"

namespace talviewer {

void ViewerWindow::ShowTitle() {
    std::string title = name_;
    if (!encrypted_)
        title += " (not encrypted)";
    if (view_only_)
        title += " (view only)";
    SetWindowTextW(hwnd_, Wide(title).c_str());
}

void ViewerWindow::SetFullScreen(bool on) {
    if (on == full_screen_)
        return;
    full_screen_ = on;
    const LONG style = GetWindowLongW(hwnd_, GWL_STYLE);
    if (on) {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        placement_.length = sizeof placement_;
        GetWindowPlacement(hwnd_, &placement_);
        GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor);
        SetWindowLongW(hwnd_, GWL_STYLE, style & ~WS_OVERLAPPEDWINDOW);
        const RECT& r = monitor.rcMonitor;
        SetWindowPos(hwnd_, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
    } else {
        SetWindowLongW(hwnd_, GWL_STYLE, style | WS_OVERLAPPEDWINDOW);
        SetWindowPlacement(hwnd_, &placement_);
        SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
    }
    CheckMenuItem(GetSystemMenu(hwnd_, FALSE), kMenuFullScreen, on ? MF_CHECKED : MF_UNCHECKED);
    Log(on ? "full screen" : "windowed");
}

void ViewerWindow::SetViewOnly(bool on) {
    if (on)
        ReleaseAll();  // nothing stays held on the remote side
    view_only_ = on;
    CheckMenuItem(GetSystemMenu(hwnd_, FALSE), kMenuViewOnly, on ? MF_CHECKED : MF_UNCHECKED);
    ShowTitle();
}

// The Screen menu, built again whenever the server describes its screens: an item per screen
// when there are several, else grey.
void ViewerWindow::OnScreensChanged() {
    const std::vector<rfb::Screen>& screens = session_.client().screens();
    const HMENU menu = GetSystemMenu(hwnd_, FALSE);
    EnableMenuItem(menu, kMenuResizeRemote,
                   MF_BYCOMMAND | (viewer::CanResizeRemote(screens) ? MF_ENABLED : MF_GRAYED));
    // The operator's choice stays while the server still has that screen.
    screen_ = viewer::KeptScreen(screen_, screens.size());
    while (GetMenuItemCount(screens_menu_) > 0)
        DeleteMenu(screens_menu_, 0, MF_BYPOSITION);
    const std::size_t count = std::min<std::size_t>(screens.size(), 255);
    if (count > 1) {
        AppendMenuW(screens_menu_, MF_STRING, kMenuScreenFirst,
                    Wide(viewer::kAllScreensLabel).c_str());
        for (std::size_t i = 0; i < count; ++i) {
            AppendMenuW(screens_menu_, MF_STRING, kMenuScreenFirst + 16 * (i + 1),
                        Wide(viewer::ScreenLabel(i, screens[i].rect)).c_str());
        }
        CheckMenuRadioItem(screens_menu_, kMenuScreenFirst,
                           static_cast<UINT>(kMenuScreenFirst + 16 * count),
                           static_cast<UINT>(kMenuScreenFirst + 16 * (screen_ + 1)), MF_BYCOMMAND);
    }
    for (int i = GetMenuItemCount(menu) - 1; i >= 0; --i) {
        if (GetSubMenu(menu, i) == screens_menu_)
            EnableMenuItem(menu, static_cast<UINT>(i),
                           MF_BYPOSITION | (count > 1 ? MF_ENABLED : MF_GRAYED));
    }
    Log("screens " + std::to_string(screens.size()));
    UpdateScrollBars();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void ViewerWindow::ChooseScreen(int index) {
    const std::size_t count = session_.client().screens().size();
    screen_ = viewer::KeptScreen(index, count);
    CheckMenuRadioItem(screens_menu_, kMenuScreenFirst,
                       static_cast<UINT>(kMenuScreenFirst + 16 * std::min<std::size_t>(count, 255)),
                       static_cast<UINT>(kMenuScreenFirst + 16 * (screen_ + 1)), MF_BYCOMMAND);
    const rfb::Rect shown = Shown();
    Log("screen " + std::to_string(screen_) + " " + std::to_string(shown.width) + "x" +
        std::to_string(shown.height));
    FitWindow();
    UpdateScrollBars();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void ViewerWindow::SetResizeRemote(bool on) {
    resize_remote_ = on;
    CheckMenuItem(GetSystemMenu(hwnd_, FALSE), kMenuResizeRemote, on ? MF_CHECKED : MF_UNCHECKED);
    FitRemoteDesktop();
}

// Asks the server for a desktop the size of the client area, in device pixels (the window is
// per-monitor DPI aware).
void ViewerWindow::FitRemoteDesktop() {
    if (!resize_remote_ || IsIconic(hwnd_))
        return;
    RECT client;
    GetClientRect(hwnd_, &client);
    session_.RequestDesktopSize(client.right, client.bottom);
}

namespace {

std::wstring PicturesFolder() {
    PWSTR path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Pictures, KF_FLAG_CREATE, nullptr, &path)))
        folder = path;
    CoTaskMemFree(path);
    return folder;
}

}  // namespace

// Offered as "NAME DATE TIME.png" in Pictures; without dialogs (tests) saved there at once and
// logged.
void ViewerWindow::SaveScreenshot() {
    if (!live())
        return;
    // Taken now, before the dialog lets the desktop move on.
    const std::vector<uint8_t> png = EncodePng(session_.client().framebuffer());
    const std::time_t now = std::time(nullptr);
    std::wstring path = Wide(ScreenshotFileName(name_, *std::localtime(&now)));
    if (const std::wstring folder = PicturesFolder(); !folder.empty())
        path = folder + L"\\" + path;
    if (!DialogsOff()) {
        wchar_t file[MAX_PATH] = {};
        path.copy(file, MAX_PATH - 1);
        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = hwnd_;
        dialog.lpstrFilter = L"PNG images (*.png)\0*.png\0";
        dialog.lpstrFile = file;
        dialog.nMaxFile = MAX_PATH;
        dialog.lpstrDefExt = L"png";
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
        if (!GetSaveFileNameW(&dialog))
            return;
        path = file;
    }
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    out.close();
    if (!out) {
        Tell(hwnd_, name_, "The screenshot could not be saved to " + Utf8(path) + ".");
        return;
    }
    Log("screenshot " + Utf8(path));
}

}  // namespace talviewer
