// talviewer.exe's window (see viewer_window.h): its messages, what the session reports, the
// credentials dialog, and the picture: the desktop scaled to fit with its aspect ratio kept
// (StretchDIBits with HALFTONE) or at 1:1, centred or with scroll bars, and the status line
// while there is no desktop. WM_PAINT reads the core's framebuffer on the thread that decodes
// into it, so nothing is locked or copied.
#include "viewer/win32/viewer_window.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "viewer/screen_choice.h"
#include "viewer/win32/credentials_dialog.h"
#include "viewer/win32/resource.h"
#include "viewer/win32/support.h"

namespace talviewer {

namespace {

constexpr UINT kAskPasswordMessage = WM_APP + 2;
// A desktop resize is followed (the window fitted, the new framebuffer allocated and painted)
// once no other resize has come for a moment: a desktop that floods resizes then costs one
// fit after the flood, not one per read, and input keeps its turn meanwhile.
constexpr UINT_PTR kResizeTimer = 2;
constexpr UINT kResizeSettleMs = 100;
// With the remote desktop following the window, one request once the operator stops dragging.
constexpr UINT_PTR kRemoteResizeTimer = 3;
constexpr UINT kRemoteResizeSettleMs = 300;
constexpr int kCancelledStatus = 1;         // the operator cancelled the password dialog
constexpr UINT kMenuQualityFirst = 0x1200;  // + 16 * the setting's place in kQualityNames
constexpr UINT kQualityCount = std::size(viewer::kQualityNames);

}  // namespace

ViewerWindow::ViewerWindow(SessionSetup setup, TlsSetup tls)
    : name_(setup.display_name),
      quality_(setup.quality),
      session_(std::move(setup), std::move(tls), *this) {}

bool ViewerWindow::Create(HINSTANCE instance, int show) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = Procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_VIEWER));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = L"TalviewerDesktop";
    RegisterClassExW(&wc);
    hwnd_ =
        CreateWindowExW(0, wc.lpszClassName, Wide(name_).c_str(), WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, CW_USEDEFAULT, 640, 400, nullptr, nullptr, instance, this);
    if (!hwnd_)
        return false;
    // The system menu, which F8 opens too; no mnemonics, as Alt+letter is the remote side's.
    const HMENU menu = GetSystemMenu(hwnd_, FALSE);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | MF_CHECKED, kMenuFit, L"Scale to fit\tCtrl+Alt+Shift+F");
    AppendMenuW(menu, MF_STRING, kMenuActual, L"Actual size (1:1)\tCtrl+Alt+Shift+A");
    AppendMenuW(menu, MF_STRING, kMenuFullScreen, L"Full screen\tCtrl+Alt+Shift+Enter");
    AppendMenuW(menu, MF_STRING, kMenuViewOnly, L"View only\tCtrl+Alt+Shift+V");
    // Servers that can change their size (Xvnc) follow the window when asked to; the desktop of
    // a person at the machine is theirs, so this is off until the operator turns it on. Both
    // this and the Screen menu stay grey until the server describes its screens.
    AppendMenuW(menu, MF_STRING | MF_GRAYED, kMenuResizeRemote, L"Resize remote desktop to window");
    screens_menu_ = CreatePopupMenu();
    AppendMenuW(menu, MF_POPUP | MF_GRAYED, reinterpret_cast<UINT_PTR>(screens_menu_), L"Screen");
    AppendMenuW(menu, MF_STRING, kMenuScreenshot, L"Save screenshot...\tCtrl+Alt+Shift+S");
    const HMENU keys = CreatePopupMenu();
    for (std::size_t i = 0; i < kKeyChords.size(); ++i)
        AppendMenuW(keys, MF_STRING, kMenuChordFirst + 16 * i, Wide(kKeyChords[i].label).c_str());
    quality_menu_ = CreatePopupMenu();
    for (UINT i = 0; i < kQualityCount; ++i) {
        AppendMenuW(quality_menu_, MF_STRING, kMenuQualityFirst + 16 * i,
                    Wide(viewer::kQualityNames[i].menu).c_str());
    }
    AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(quality_menu_), L"Quality");
    CheckQuality();
    AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(keys), L"Send keys");
    AddClipboardFormatListener(hwnd_);
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    session_.Start(hwnd_);
    return true;
}

LRESULT CALLBACK ViewerWindow::Procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_NCCREATE) {
        auto* window =
            static_cast<ViewerWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        window->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    }
    auto* window = reinterpret_cast<ViewerWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return window ? window->Handle(message, wp, lp) : DefWindowProcW(hwnd, message, wp, lp);
}

LRESULT ViewerWindow::Handle(UINT message, WPARAM wp, LPARAM lp) {
    if (HandleInput(message, wp, lp))
        return 0;
    switch (message) {
        case Session::kSocketMessage:
            session_.OnSocketMessage(wp, lp);
            return 0;
        case kAskPasswordMessage:
            if (!ended_)
                AskCredentials(wp != 0);
            return 0;
        case WM_TIMER:
            if (wp == Session::kStageTimer) {
                session_.OnStageTimer();
            } else if (wp == kRemoteResizeTimer) {
                KillTimer(hwnd_, kRemoteResizeTimer);
                FitRemoteDesktop();
            } else if (wp == kResizeTimer) {
                KillTimer(hwnd_, kResizeTimer);
                resize_pending_ = false;
                if (!resize_remote_)
                    FitWindow();  // else the window leads and the desktop follows it
                UpdateScrollBars();
                InvalidateRect(hwnd_, nullptr, FALSE);
            }
            return 0;
        case WM_PAINT:
            Paint();
            return 0;
        case WM_ERASEBKGND:
            return 1;  // Paint covers every pixel
        case WM_SIZE:
            if (resize_remote_)
                SetTimer(hwnd_, kRemoteResizeTimer, kRemoteResizeSettleMs, nullptr);
            UpdateScrollBars();
            InvalidateRect(hwnd_, nullptr, FALSE);
            return 0;
        case WM_HSCROLL:
        case WM_VSCROLL:
            Scroll(message == WM_HSCROLL ? SB_HORZ : SB_VERT, LOWORD(wp));
            return 0;
        case WM_DPICHANGED: {
            const auto* r = reinterpret_cast<const RECT*>(lp);
            SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_SETCURSOR:
            if (LOWORD(lp) == HTCLIENT && live() && (remote_cursor_ || cursor_hidden_)) {
                SetCursor(cursor_hidden_ ? nullptr : remote_cursor_);
                return TRUE;
            }
            break;
        case WM_SYSCOMMAND:
            if (const UINT id = wp & 0xfff0;
                id >= kMenuChordFirst && id < kMenuChordFirst + 16 * kKeyChords.size()) {
                SendChord(kKeyChords[(id - kMenuChordFirst) / 16]);
                return 0;
            }
            if (const UINT id = wp & 0xfff0;
                id >= kMenuQualityFirst && id < kMenuQualityFirst + 16 * kQualityCount) {
                quality_ = viewer::kQualityNames[(id - kMenuQualityFirst) / 16].quality;
                CheckQuality();
                session_.SetQuality(quality_);
                return 0;
            }
            if (const UINT id = wp & 0xfff0; id >= kMenuScreenFirst && id <= kMenuScreenLast) {
                ChooseScreen(static_cast<int>((id - kMenuScreenFirst) / 16) - 1);
                return 0;
            }
            switch (wp & 0xfff0) {
                case kMenuFit:
                    SetFit(true);
                    return 0;
                case kMenuActual:
                    SetFit(false);
                    return 0;
                case kMenuFullScreen:
                    SetFullScreen(!full_screen_);
                    return 0;
                case kMenuViewOnly:
                    SetViewOnly(!view_only_);
                    return 0;
                case kMenuScreenshot:
                    SaveScreenshot();
                    return 0;
                case kMenuResizeRemote:
                    SetResizeRemote(!resize_remote_);
                    return 0;
                case SC_KEYMENU:
                    return 0;  // Alt, Alt+Space and F10 belong to the remote desktop
                default:
                    break;
            }
            break;
        case WM_DESTROY:
            RemoveClipboardFormatListener(hwnd_);
            ended_ = true;
            session_.Close();
            PostQuitMessage(exit_status_);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wp, lp);
}

// ---- what the session reports ----

// The Quality menu's bullet on the setting in use.
void ViewerWindow::CheckQuality() {
    for (UINT i = 0; i < kQualityCount; ++i) {
        if (viewer::kQualityNames[i].quality == quality_) {
            CheckMenuRadioItem(quality_menu_, kMenuQualityFirst,
                               kMenuQualityFirst + 16 * (kQualityCount - 1),
                               kMenuQualityFirst + 16 * i, MF_BYCOMMAND);
        }
    }
}

void ViewerWindow::OnStatus(const std::string& text) {
    status_ = text;
    if (!live())
        InvalidateRect(hwnd_, nullptr, FALSE);
}

void ViewerWindow::OnConnected(bool encrypted) {
    const rfb::Framebuffer& fb = session_.client().framebuffer();
    Log("connected " + std::to_string(fb.width) + "x" + std::to_string(fb.height) +
        (encrypted ? " tls" : " plain"));
    encrypted_ = encrypted;
    ShowTitle();
    FitWindow();
}

void ViewerWindow::OnFramebufferUpdated(const std::vector<rfb::Rect>& rects) {
    if (++frames_ == 1)
        Log("first-frame");
    if (resize_pending_)
        return;  // the whole window is repainted once the resize is followed
    for (const rfb::Rect& r : rects)
        InvalidateDesktop(r);
}

void ViewerWindow::OnDesktopResized(int width, int height) {
    Log("resized " + std::to_string(width) + "x" + std::to_string(height));
    resize_pending_ = true;
    SetTimer(hwnd_, kResizeTimer, kResizeSettleMs, nullptr);
}

void ViewerWindow::OnBell() {
    MessageBeep(MB_OK);
}

void ViewerWindow::OnCredentialsNeeded(bool user_name) {
    // The dialog runs a message loop of its own: it comes up once this read is done, from the
    // window's queue.
    PostMessageW(hwnd_, kAskPasswordMessage, user_name ? 1 : 0, 0);
}

void ViewerWindow::AskCredentials(bool user_name) {
    Credentials credentials;
    bool given = false;
    if (DialogsOff()) {
        // Tests: the user name (when asked for) and the password, a line each.
        const std::string file = Environment("TALVIEWER_PASSWORD_FILE");
        std::ifstream in(Wide(file).c_str());
        given = !file.empty() && (!user_name || std::getline(in, credentials.user)) &&
                std::getline(in, credentials.password);
    } else {
        given = talviewer::AskCredentials(hwnd_, name_, user_name, &credentials);
    }
    if (ended_)
        return;  // the session ended while the dialog was up
    if (!given) {
        // The operator chose not to go on: no message, but no session either.
        ended_ = true;
        exit_status_ = kCancelledStatus;
        DestroyWindow(hwnd_);
        return;
    }
    session_.SetCredentials(std::move(credentials.user), std::move(credentials.password));
}

void ViewerWindow::OnFailed(Failure failure, const std::string& detail) {
    ended_ = true;
    ReleaseCapture();
    exit_status_ = ExitStatus(failure);
    Log("failed " + std::to_string(exit_status_));
    Tell(hwnd_, name_ + " \xe2\x80\x94 talviewer", FailureText(failure, name_, detail));
    DestroyWindow(hwnd_);
}

// ---- the picture ----

rfb::Rect ViewerWindow::Shown() const {
    const rfb::Framebuffer& fb = session_.client().framebuffer();
    return viewer::ShownArea(session_.client().screens(), screen_, fb.width, fb.height);
}

RECT ViewerWindow::Destination() const {
    RECT client;
    GetClientRect(hwnd_, &client);
    const rfb::Rect fb = Shown();
    if (fb.width <= 0 || fb.height <= 0)
        return RECT{0, 0, 0, 0};
    const long cw = client.right, ch = client.bottom;
    if (!fit_) {
        // 1:1: centred when smaller than the window, else scrolled.
        const long x = fb.width < cw ? (cw - fb.width) / 2 : -scroll_x_;
        const long y = fb.height < ch ? (ch - fb.height) / 2 : -scroll_y_;
        return RECT{x, y, x + fb.width, y + fb.height};
    }
    // The largest size with the desktop's aspect ratio that fits, centred.
    long w = cw, h = static_cast<long>(static_cast<long long>(cw) * fb.height / fb.width);
    if (h > ch) {
        h = ch;
        w = static_cast<long>(static_cast<long long>(ch) * fb.width / fb.height);
    }
    const long x = (cw - w) / 2, y = (ch - h) / 2;
    return RECT{x, y, x + w, y + h};
}

bool ViewerWindow::ToDesktop(int x, int y, int& dx, int& dy) const {
    const RECT d = Destination();
    const rfb::Rect fb = Shown();
    if (d.right <= d.left || d.bottom <= d.top)
        return false;
    dx = static_cast<int>(static_cast<long long>(x - d.left) * fb.width / (d.right - d.left));
    dy = static_cast<int>(static_cast<long long>(y - d.top) * fb.height / (d.bottom - d.top));
    dx = fb.x + std::clamp(dx, 0, fb.width - 1);
    dy = fb.y + std::clamp(dy, 0, fb.height - 1);
    return true;
}

void ViewerWindow::InvalidateDesktop(const rfb::Rect& updated) {
    const RECT d = Destination();
    const rfb::Rect fb = Shown();
    if (fb.width <= 0 || fb.height <= 0)
        return;
    const rfb::Rect r{updated.x - fb.x, updated.y - fb.y, updated.width, updated.height};
    const long dw = d.right - d.left, dh = d.bottom - d.top;
    // Scaled outward, plus a pixel for the halftone filter's reach.
    RECT area{d.left + static_cast<long>(static_cast<long long>(r.x) * dw / fb.width) - 1,
              d.top + static_cast<long>(static_cast<long long>(r.y) * dh / fb.height) - 1,
              d.left +
                  static_cast<long>((static_cast<long long>(r.x + r.width) * dw + fb.width - 1) /
                                    fb.width) +
                  1,
              d.top +
                  static_cast<long>((static_cast<long long>(r.y + r.height) * dh + fb.height - 1) /
                                    fb.height) +
                  1};
    InvalidateRect(hwnd_, &area, FALSE);
}

void ViewerWindow::Paint() {
    PAINTSTRUCT ps;
    const HDC dc = BeginPaint(hwnd_, &ps);
    RECT client;
    GetClientRect(hwnd_, &client);
    const rfb::Framebuffer& fb = session_.client().framebuffer();
    if (!live() || fb.width <= 0 || fb.height <= 0) {
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH)));
        const UINT dpi = GetDpiForWindow(hwnd_);
        const HFONT font =
            CreateFontW(-MulDiv(10, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                        FALSE, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY, 0, L"Segoe UI");
        const HGDIOBJ old = SelectObject(dc, font);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(230, 230, 230));
        std::wstring text = Wide(status_);
        DrawTextW(dc, text.c_str(), -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        SelectObject(dc, old);
        DeleteObject(font);
        EndPaint(hwnd_, &ps);
        return;
    }
    const RECT d = Destination();
    const rfb::Rect shown = Shown();
    // The bars beside the desktop.
    const HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    const RECT bars[4] = {{0, 0, client.right, d.top},
                          {0, d.bottom, client.right, client.bottom},
                          {0, d.top, d.left, d.bottom},
                          {d.right, d.top, client.right, d.bottom}};
    for (const RECT& bar : bars)
        if (bar.right > bar.left && bar.bottom > bar.top)
            FillRect(dc, &bar, black);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    // The shown rows only, from the first: a top-down DIB's source origin is its first row.
    const uint32_t* rows = fb.Row(shown.y);
    info.bmiHeader.biWidth = fb.stride;
    info.bmiHeader.biHeight = -shown.height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    const long dw = d.right - d.left, dh = d.bottom - d.top;
    if (dw == shown.width && dh == shown.height) {
        SetDIBitsToDevice(dc, d.left, d.top, static_cast<DWORD>(shown.width),
                          static_cast<DWORD>(shown.height), shown.x, 0, 0,
                          static_cast<UINT>(shown.height), rows, &info, DIB_RGB_COLORS);
    } else {
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchDIBits(dc, d.left, d.top, dw, dh, shown.x, 0, shown.width, shown.height, rows, &info,
                      DIB_RGB_COLORS, SRCCOPY);
    }
    EndPaint(hwnd_, &ps);
}

// On connecting and on a resize: the window sized for the desktop, within the work area.
void ViewerWindow::FitWindow() {
    const rfb::Rect fb = Shown();
    if (fb.width <= 0 || fb.height <= 0 || IsZoomed(hwnd_))
        return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT work = monitor.rcWork;
    const UINT dpi = GetDpiForWindow(hwnd_);
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                             0, dpi);
    const long frame_w = frame.right - frame.left, frame_h = frame.bottom - frame.top;
    const long max_w = (work.right - work.left) - frame_w;
    const long max_h = (work.bottom - work.top) - frame_h;
    long w = fb.width, h = fb.height;
    if (w > max_w || h > max_h) {
        const double scale =
            std::min(static_cast<double>(max_w) / w, static_cast<double>(max_h) / h);
        w = std::max(1L, static_cast<long>(w * scale));
        h = std::max(1L, static_cast<long>(h * scale));
    }
    RECT now;
    GetWindowRect(hwnd_, &now);
    long x = std::clamp(now.left, work.left, std::max(work.left, work.right - w - frame_w));
    long y = std::clamp(now.top, work.top, std::max(work.top, work.bottom - h - frame_h));
    SetWindowPos(hwnd_, nullptr, x, y, w + frame_w, h + frame_h, SWP_NOZORDER);
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void ViewerWindow::SetFit(bool fit) {
    fit_ = fit;
    const HMENU menu = GetSystemMenu(hwnd_, FALSE);
    CheckMenuItem(menu, kMenuFit, fit ? MF_CHECKED : MF_UNCHECKED);
    CheckMenuItem(menu, kMenuActual, fit ? MF_UNCHECKED : MF_CHECKED);
    UpdateScrollBars();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

// Scroll bars only at 1:1 and only where the desktop is larger than the window.
void ViewerWindow::UpdateScrollBars() {
    const rfb::Rect fb = Shown();
    RECT client;
    GetClientRect(hwnd_, &client);
    for (const int bar : {SB_HORZ, SB_VERT}) {
        const int size = bar == SB_HORZ ? fb.width : fb.height;
        const int page = bar == SB_HORZ ? client.right : client.bottom;
        int& pos = bar == SB_HORZ ? scroll_x_ : scroll_y_;
        const bool shown = !fit_ && live() && size > page;
        pos = shown ? std::clamp(pos, 0, size - page) : 0;
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
        info.nMax = shown ? size - 1 : 0;
        info.nPage = shown ? static_cast<UINT>(page) : 0;
        info.nPos = pos;
        SetScrollInfo(hwnd_, bar, &info, TRUE);
    }
}

void ViewerWindow::Scroll(int bar, WORD request) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(hwnd_, bar, &info);
    int pos = info.nPos;
    const int step = static_cast<int>(MulDiv(40, static_cast<int>(GetDpiForWindow(hwnd_)), 96));
    switch (request) {
        case SB_LINEUP:
            pos -= step;
            break;
        case SB_LINEDOWN:
            pos += step;
            break;
        case SB_PAGEUP:
            pos -= static_cast<int>(info.nPage);
            break;
        case SB_PAGEDOWN:
            pos += static_cast<int>(info.nPage);
            break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
            pos = info.nTrackPos;
            break;
        case SB_TOP:
            pos = info.nMin;
            break;
        case SB_BOTTOM:
            pos = info.nMax;
            break;
        default:
            return;
    }
    pos = std::clamp(pos, 0, std::max(0, info.nMax - static_cast<int>(info.nPage) + 1));
    (bar == SB_HORZ ? scroll_x_ : scroll_y_) = pos;
    info.fMask = SIF_POS;
    info.nPos = pos;
    SetScrollInfo(hwnd_, bar, &info, TRUE);
    InvalidateRect(hwnd_, nullptr, FALSE);
}

}  // namespace talviewer
