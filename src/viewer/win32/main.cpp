// talviewer.exe: the remote-desktop viewer for Windows. The launcher starts it as
//   talviewer TALVERO-VNC ADDRESS PORT NAME
// It asks the directory server at ADDRESS:PORT for a session with machine NAME ("view NAME",
// answered by "ok" or "error ..."), then speaks RFB on the same connection through the
// portable core (src/rfb), with TLS by SChannel (tls.h) when the machine offers VeNCrypt. The
// deployment's CA certificate, ca.pem (or ca.crt) beside this program, is the only root a
// machine's certificate may chain to; without that file plain sessions are allowed and the
// title says "not encrypted".
//
// Everything runs on the window's thread: the socket is non-blocking and reports to the window
// (WSAAsyncSelect), the core and SChannel never block, and the core's framebuffer is read by
// WM_PAINT on the same thread without locks. Each read is bounded so input keeps flowing.
//
// For tests: TALVIEWER_NO_DIALOGS=1 prints what a message box would say to the standard error
// and ends (the password then comes from the file TALVIEWER_PASSWORD_FILE, if set);
// TALVIEWER_LOG=FILE appends the session's milestones with milliseconds since start;
// TALVIEWER_RECORD and TALVIEWER_EXIT=1 record the arguments as the stand-in does.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <shellapi.h>
#include <windows.h>
#include <windowsx.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "rfb/client.h"
#include "rfb/keysyms.h"
#include "viewer/arguments.h"
#include "viewer/session_messages.h"
#include "viewer/win32/keymap.h"
#include "viewer/win32/resource.h"
#include "viewer/win32/tls.h"

namespace talviewer {
namespace {

constexpr UINT kSocketMessage = WM_APP + 1;
constexpr UINT kAskPasswordMessage = WM_APP + 2;
constexpr UINT_PTR kStageTimer = 1;
constexpr int kConnectSeconds = 15;
constexpr int kReplySeconds = 45;  // the server itself waits 30 s for the agent
constexpr int kHandshakeSeconds = 30;
constexpr int kCancelledStatus = 1;  // the operator cancelled the password dialog
constexpr std::size_t kMaxUnsentForMotion = std::size_t{256} << 10;
constexpr std::size_t kReadBudget = std::size_t{4} << 20;  // per FD_READ, then paint
constexpr UINT kMenuFit = 0x1010;                          // system menu ids: multiples of 16
constexpr UINT kMenuActual = 0x1020;
constexpr UINT kMenuCtrlAltDel = 0x1030;

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Environment(const char* name) {
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool DialogsOff() {
    return Environment("TALVIEWER_NO_DIALOGS") == "1";
}

const auto g_start = std::chrono::steady_clock::now();

void Log(const std::string& line) {
    static const std::string path = Environment("TALVIEWER_LOG");
    if (path.empty())
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - g_start)
                        .count();
    std::ofstream(Wide(path).c_str(), std::ios::app) << ms << ' ' << line << '\n';
}

// A message for the operator; in test mode on the standard error instead.
void Tell(HWND owner, const std::string& title, const std::string& text) {
    if (DialogsOff()) {
        const std::string line = "talviewer: " + text + "\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
                  &written, nullptr);
        Log("message " + text.substr(0, text.find('\n')));
        return;
    }
    MessageBoxW(owner, Wide(text).c_str(), Wide(title).c_str(), MB_ICONERROR | MB_OK);
}

enum class Stage { kConnecting, kRequesting, kTls, kRfb, kDone };

class Viewer {
public:
    Viewer(std::string address, std::string port, std::string name, std::vector<uint8_t> ca)
        : address_(std::move(address)),
          port_(std::move(port)),
          name_(std::move(name)),
          ca_(std::move(ca)),
          client_(rfb::Options{.allow_insecure = ca_.empty()}) {}

    bool Create(HINSTANCE instance, int show);
    int exit_status() const { return exit_status_; }

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT message, WPARAM wp, LPARAM lp);

    // The session.
    void Start();
    void OnSocket(WPARAM socket, LPARAM lp);
    void ReadSocket();
    void Closed(int error);
    void Received(const uint8_t* data, std::size_t size);
    void ReadReply();
    void Feed(std::span<const uint8_t> bytes);
    void FlushCore();
    void FlushTls();
    void Write(std::vector<uint8_t> bytes);
    void FlushSocket();
    void DrainEvents();
    void StartTls(const rfb::event::StartTls& start);
    void AskPassword();
    void Arm(int seconds, Failure failure, std::string detail);
    void Fail(Failure failure, const std::string& detail);
    void SetStatus(const std::string& status);

    // The window.
    void Paint();
    RECT Destination() const;  // where the desktop is drawn in the client area
    bool ToDesktop(int x, int y, int& dx, int& dy) const;
    void InvalidateDesktop(const rfb::Rect& r);
    void FitWindow();
    void Mouse(UINT message, WPARAM wp, LPARAM lp);
    void Key(WPARAM vk, LPARAM lp, bool down);
    void ReleaseAll();
    void UpdateCursor();
    void ClipboardChanged();
    void ShowClipboard(const std::string& utf8);
    void SetFit(bool fit);
    void UpdateScrollBars();
    void Scroll(int bar, WORD request);
    void SendCtrlAltDel();

    std::string address_, port_, name_;
    std::vector<uint8_t> ca_;
    rfb::Client client_;
    std::unique_ptr<TlsClient> tls_;
    HWND hwnd_ = nullptr;
    SOCKET socket_ = INVALID_SOCKET;
    Stage stage_ = Stage::kConnecting;
    std::string reply_;
    std::vector<uint8_t> unsent_;
    bool connected_ = false;
    bool password_given_ = false;
    bool fit_ = true;
    std::string status_;
    Failure timeout_failure_ = Failure::kTimeout;
    std::string timeout_detail_;
    int exit_status_ = 0;
    HCURSOR remote_cursor_ = nullptr;
    bool cursor_hidden_ = false;
    std::map<UINT, uint32_t> held_keys_;  // scan code (+ 0x100 extended) -> keysym sent
    uint8_t buttons_ = 0;
    int wheel_ = 0;
    int last_x_ = 0, last_y_ = 0;
    std::wstring clipboard_set_;  // the text this viewer put there itself
    uint64_t frames_ = 0;
    int scroll_x_ = 0, scroll_y_ = 0;  // 1:1: the desktop's pixel at the window's top left
};

bool Viewer::Create(HINSTANCE instance, int show) {
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
    const HMENU menu = GetSystemMenu(hwnd_, FALSE);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | MF_CHECKED, kMenuFit, L"Scale to &fit\tCtrl+Alt+Shift+F");
    AppendMenuW(menu, MF_STRING, kMenuActual, L"&Actual size (1:1)\tCtrl+Alt+Shift+A");
    AppendMenuW(menu, MF_STRING, kMenuCtrlAltDel, L"Send Ctrl+Alt+&Del");
    AddClipboardFormatListener(hwnd_);
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    Start();
    return true;
}

LRESULT CALLBACK Viewer::Procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_NCCREATE) {
        auto* viewer = static_cast<Viewer*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        viewer->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(viewer));
    }
    auto* viewer = reinterpret_cast<Viewer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return viewer ? viewer->Handle(message, wp, lp) : DefWindowProcW(hwnd, message, wp, lp);
}

LRESULT Viewer::Handle(UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
        case kSocketMessage:
            OnSocket(wp, lp);
            return 0;
        case kAskPasswordMessage:
            if (stage_ == Stage::kRfb)
                AskPassword();
            return 0;
        case WM_TIMER:
            if (wp == kStageTimer)
                Fail(timeout_failure_, timeout_detail_);
            return 0;
        case WM_PAINT:
            Paint();
            return 0;
        case WM_ERASEBKGND:
            return 1;  // Paint covers every pixel
        case WM_SIZE:
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
        case WM_MOUSEMOVE:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
        case WM_LBUTTONDBLCLK:
        case WM_MOUSEWHEEL:
            Mouse(message, wp, lp);
            return 0;
        case WM_SETCURSOR:
            if (LOWORD(lp) == HTCLIENT && connected_ && (remote_cursor_ || cursor_hidden_)) {
                SetCursor(cursor_hidden_ ? nullptr : remote_cursor_);
                return TRUE;
            }
            break;
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            Key(wp, lp, true);
            return 0;
        case WM_KEYUP:
        case WM_SYSKEYUP:
            Key(wp, lp, false);
            return 0;
        case WM_CHAR:
        case WM_SYSCHAR:
        case WM_DEADCHAR:
        case WM_SYSDEADCHAR:
            return 0;  // keys go to the remote desktop as they are pressed, not as text
        case WM_KILLFOCUS:
            ReleaseAll();
            return 0;
        case WM_CLIPBOARDUPDATE:
            ClipboardChanged();
            return 0;
        case WM_SYSCOMMAND:
            switch (wp & 0xfff0) {
                case kMenuFit:
                    SetFit(true);
                    return 0;
                case kMenuActual:
                    SetFit(false);
                    return 0;
                case kMenuCtrlAltDel:
                    SendCtrlAltDel();
                    return 0;
                case SC_KEYMENU:
                    return 0;  // Alt and F10 belong to the remote desktop
                default:
                    break;
            }
            break;
        case WM_DESTROY:
            RemoveClipboardFormatListener(hwnd_);
            if (socket_ != INVALID_SOCKET) {
                closesocket(socket_);
                socket_ = INVALID_SOCKET;
            }
            stage_ = Stage::kDone;
            PostQuitMessage(exit_status_);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wp, lp);
}

// ---- the session ----

void Viewer::SetStatus(const std::string& status) {
    status_ = status;
    Log("status " + status);
    if (!connected_)
        InvalidateRect(hwnd_, nullptr, FALSE);
}

void Viewer::Arm(int seconds, Failure failure, std::string detail) {
    timeout_failure_ = failure;
    timeout_detail_ = std::move(detail);
    SetTimer(hwnd_, kStageTimer, static_cast<UINT>(seconds) * 1000, nullptr);
}

void Viewer::Start() {
    const std::string where = address_ + ":" + port_;
    SetStatus("Connecting to the server at " + where + "\xe2\x80\xa6");
    Arm(kConnectSeconds, Failure::kConnectionFailed,
        "The server at " + where + " did not answer within " + std::to_string(kConnectSeconds) +
            " seconds.");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(address_.c_str(), port_.c_str(), &hints, &found) != 0 || !found) {
        return Fail(Failure::kConnectionFailed,
                    "The server at " + where + " could not be reached: the address is unknown.");
    }
    socket_ = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) {
        freeaddrinfo(found);
        return Fail(Failure::kConnectionFailed, "No socket could be opened.");
    }
    const BOOL on = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    WSAAsyncSelect(socket_, hwnd_, kSocketMessage, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
    const int result = connect(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen));
    freeaddrinfo(found);
    if (result == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
        Closed(WSAGetLastError());
}

void Viewer::OnSocket(WPARAM socket, LPARAM lp) {
    if (socket != socket_ || stage_ == Stage::kDone)
        return;  // a late report of a socket already closed
    const int error = WSAGETSELECTERROR(lp);
    switch (WSAGETSELECTEVENT(lp)) {
        case FD_CONNECT:
            if (error)
                return Closed(error);
            if (stage_ == Stage::kConnecting) {
                stage_ = Stage::kRequesting;
                const std::string request = ViewRequest(name_);
                Write({request.begin(), request.end()});
                SetStatus("Asking " + name_ + " for a session\xe2\x80\xa6");
                Arm(kReplySeconds, Failure::kTimeout,
                    "The server did not answer within " + std::to_string(kReplySeconds) +
                        " seconds.");
            }
            return;
        case FD_READ:
            return ReadSocket();
        case FD_WRITE:
            return FlushSocket();
        case FD_CLOSE:
            ReadSocket();  // what arrived just before the close still counts
            if (stage_ != Stage::kDone)
                Closed(error);
            return;
        default:
            return;
    }
}

void Viewer::ReadSocket() {
    static std::vector<uint8_t> buffer(std::size_t{256} << 10);
    std::size_t total = 0;
    while (stage_ != Stage::kDone && socket_ != INVALID_SOCKET && total < kReadBudget) {
        const int n = recv(socket_, reinterpret_cast<char*>(buffer.data()),
                           static_cast<int>(buffer.size()), 0);
        if (n <= 0)
            return;  // would block (FD_READ comes again), or the close (FD_CLOSE comes)
        total += static_cast<std::size_t>(n);
        Received(buffer.data(), static_cast<std::size_t>(n));
    }
    if (total >= kReadBudget && stage_ != Stage::kDone)
        PostMessageW(hwnd_, kSocketMessage, socket_, FD_READ);  // the rest after painting
}

void Viewer::Closed(int error) {
    const std::string where = address_ + ":" + port_;
    switch (stage_) {
        case Stage::kConnecting:
            return Fail(Failure::kConnectionFailed, "The server at " + where +
                                                        " could not be reached (error " +
                                                        std::to_string(error) + ").");
        case Stage::kRequesting:
            return Fail(Failure::kConnectionFailed,
                        "The server closed the connection without answering.");
        case Stage::kTls:
            return Fail(Failure::kSecurity, "The TLS handshake with " + name_ +
                                                " failed: the remote side closed the connection.");
        case Stage::kRfb:
            if (!connected_)
                return Fail(Failure::kConnectionFailed,
                            "The remote machine closed the connection before the session "
                            "started.");
            return Fail(Failure::kEnded, "The remote side closed the connection.");
        case Stage::kDone:
            return;
    }
}

void Viewer::Received(const uint8_t* data, std::size_t size) {
    if (stage_ == Stage::kRequesting) {
        reply_.append(reinterpret_cast<const char*>(data), size);
        return ReadReply();
    }
    if (tls_) {
        tls_->Receive({data, size});
        FlushTls();
        if (tls_->state() == TlsClient::State::kFailed) {
            return Fail(Failure::kSecurity,
                        tls_->certificate_refused()
                            ? tls_->error()
                            : "The TLS handshake with " + name_ + " failed: " + tls_->error());
        }
        if (stage_ == Stage::kTls && tls_->state() == TlsClient::State::kOpen) {
            stage_ = Stage::kRfb;
            Log("tls " + tls_->Description());
            SetStatus("Starting the session\xe2\x80\xa6");
            client_.TlsEstablished();
            FlushCore();
            DrainEvents();
        }
        const std::vector<uint8_t> plain = tls_->TakePlaintext();
        if (stage_ == Stage::kRfb)
            Feed(plain);
        if (tls_ && tls_->state() == TlsClient::State::kClosed)
            Closed(0);
        return;
    }
    Feed({data, size});
}

void Viewer::ReadReply() {
    const std::size_t end = reply_.find('\n');
    if (end == std::string::npos) {
        if (reply_.size() > kMaxReplyLine)
            Fail(Failure::kConnectionFailed, "The server's answer was not understood.");
        return;
    }
    const Reply reply = ParseReply(std::string_view(reply_).substr(0, end));
    const std::string rest = reply_.substr(end + 1);
    reply_.clear();
    if (reply.kind != ReplyKind::kOk) {
        const Outcome outcome = ReplyOutcome(reply);
        return Fail(outcome.failure, outcome.detail);
    }
    stage_ = Stage::kRfb;
    Log("ok");
    SetStatus("Starting the session\xe2\x80\xa6");
    Arm(kHandshakeSeconds, Failure::kTimeout,
        "The remote desktop did not start within " + std::to_string(kHandshakeSeconds) +
            " seconds.");
    Feed({reinterpret_cast<const uint8_t*>(rest.data()), rest.size()});
}

void Viewer::Feed(std::span<const uint8_t> bytes) {
    if (bytes.empty() || stage_ != Stage::kRfb)
        return;
    client_.Receive(bytes);
    FlushCore();
    DrainEvents();
}

void Viewer::FlushCore() {
    if (stage_ == Stage::kDone || !client_.HasOutput())
        return;
    std::vector<uint8_t> out = client_.TakeOutput();
    if (tls_) {
        tls_->Send(out);
        FlushTls();
    } else {
        Write(std::move(out));
    }
}

void Viewer::FlushTls() {
    std::vector<uint8_t> out = tls_->TakeOutput();
    if (!out.empty())
        Write(std::move(out));
}

void Viewer::Write(std::vector<uint8_t> bytes) {
    unsent_.insert(unsent_.end(), bytes.begin(), bytes.end());
    FlushSocket();
}

void Viewer::FlushSocket() {
    std::size_t sent = 0;
    while (sent < unsent_.size() && socket_ != INVALID_SOCKET) {
        const int n =
            send(socket_, reinterpret_cast<const char*>(unsent_.data() + sent),
                 static_cast<int>(std::min<std::size_t>(unsent_.size() - sent, 1 << 20)), 0);
        if (n == SOCKET_ERROR)
            break;  // would block: FD_WRITE comes; an error: FD_CLOSE comes
        sent += static_cast<std::size_t>(n);
    }
    unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(sent));
}

void Viewer::DrainEvents() {
    while (stage_ != Stage::kDone) {
        std::optional<rfb::Event> next = client_.PollEvent();
        if (!next)
            return;
        std::visit(
            [this](auto& e) {
                using T = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<T, rfb::event::Connected>) {
                    KillTimer(hwnd_, kStageTimer);
                    connected_ = true;
                    Log(std::string("connected ") + std::to_string(e.width) + "x" +
                        std::to_string(e.height) + (client_.encrypted() ? " tls" : " plain"));
                    SetWindowTextW(
                        hwnd_,
                        Wide(client_.encrypted() ? name_ : name_ + " (not encrypted)").c_str());
                    FitWindow();
                } else if constexpr (std::is_same_v<T, rfb::event::FramebufferUpdated>) {
                    if (++frames_ == 1)
                        Log("first-frame");
                    for (const rfb::Rect& r : e.rects)
                        InvalidateDesktop(r);
                } else if constexpr (std::is_same_v<T, rfb::event::DesktopResized>) {
                    Log("resized " + std::to_string(e.width) + "x" + std::to_string(e.height));
                    FitWindow();
                    UpdateScrollBars();
                    InvalidateRect(hwnd_, nullptr, FALSE);
                } else if constexpr (std::is_same_v<T, rfb::event::CursorChanged>) {
                    UpdateCursor();
                } else if constexpr (std::is_same_v<T, rfb::event::Clipboard>) {
                    ShowClipboard(e.text);
                } else if constexpr (std::is_same_v<T, rfb::event::Bell>) {
                    MessageBeep(MB_OK);
                } else if constexpr (std::is_same_v<T, rfb::event::StartTls>) {
                    StartTls(e);
                } else if constexpr (std::is_same_v<T, rfb::event::CredentialsNeeded>) {
                    KillTimer(hwnd_, kStageTimer);  // the operator may take their time
                    // The dialog runs a message loop of its own: it comes up once this read
                    // is done, from the window's queue.
                    PostMessageW(hwnd_, kAskPasswordMessage, 0, 0);
                } else if constexpr (std::is_same_v<T, rfb::event::Failed>) {
                    const Outcome outcome = CoreFailure(e.reason, password_given_);
                    Fail(outcome.failure, outcome.detail);
                }
            },
            *next);
    }
}

void Viewer::StartTls(const rfb::event::StartTls& start) {
    if (ca_.empty()) {
        return Fail(Failure::kSecurity,
                    "The remote machine offers a certificate-secured session, but there is no "
                    "ca.pem beside the viewer to check its certificate with.");
    }
    if (!start.tls_bytes.empty()) {
        return Fail(Failure::kSecurity, "The remote machine sent data before the TLS handshake.");
    }
    stage_ = Stage::kTls;
    SetStatus("Checking " + name_ + "'s certificate\xe2\x80\xa6");
    tls_ = std::make_unique<TlsClient>(ca_, Wide(name_));
    tls_->Start();
    FlushTls();
    if (tls_->state() == TlsClient::State::kFailed)
        Fail(Failure::kSecurity, "The TLS handshake with " + name_ + " failed: " + tls_->error());
}

INT_PTR CALLBACK PasswordProcedure(HWND dialog, UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
        case WM_INITDIALOG: {
            auto* text = reinterpret_cast<std::wstring*>(lp);
            SetWindowLongPtrW(dialog, DWLP_USER, lp);
            SetDlgItemTextW(dialog, IDC_PASSWORD_TEXT, text->c_str());
            SendDlgItemMessageW(dialog, IDC_PASSWORD, EM_LIMITTEXT, 64, 0);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
                auto* text = reinterpret_cast<std::wstring*>(GetWindowLongPtrW(dialog, DWLP_USER));
                wchar_t value[80] = {};
                GetDlgItemTextW(dialog, IDC_PASSWORD, value, 80);
                *text = value;
                SecureZeroMemory(value, sizeof value);
                SetDlgItemTextW(dialog, IDC_PASSWORD, L"");
                EndDialog(dialog, LOWORD(wp));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

void Viewer::AskPassword() {
    SetStatus("Waiting for the password\xe2\x80\xa6");
    std::string password;
    bool given = false;
    if (DialogsOff()) {
        const std::string file = Environment("TALVIEWER_PASSWORD_FILE");
        std::ifstream in(Wide(file).c_str());
        given = !file.empty() && std::getline(in, password);
    } else {
        std::wstring text = Wide(name_ + " asks for its session password.");
        given = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PASSWORD), hwnd_,
                                PasswordProcedure, reinterpret_cast<LPARAM>(&text)) == IDOK;
        password = Utf8(text);
        SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    }
    if (stage_ == Stage::kDone)
        return;  // the session ended while the dialog was up
    if (!given) {
        // The operator chose not to go on: no message, but no session either.
        stage_ = Stage::kDone;
        exit_status_ = kCancelledStatus;
        DestroyWindow(hwnd_);
        return;
    }
    password_given_ = true;
    SetStatus("Signing in\xe2\x80\xa6");
    Arm(kHandshakeSeconds, Failure::kTimeout,
        "The remote desktop did not start within " + std::to_string(kHandshakeSeconds) +
            " seconds.");
    client_.SetPassword(password);
    SecureZeroMemory(password.data(), password.size());
    FlushCore();
    DrainEvents();
}

void Viewer::Fail(Failure failure, const std::string& detail) {
    if (stage_ == Stage::kDone)
        return;
    stage_ = Stage::kDone;
    KillTimer(hwnd_, kStageTimer);
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    ReleaseCapture();
    exit_status_ = ExitStatus(failure);
    Log("failed " + std::to_string(exit_status_));
    Tell(hwnd_, name_ + " \xe2\x80\x94 talviewer", FailureText(failure, name_, detail));
    DestroyWindow(hwnd_);
}

// ---- the window ----

RECT Viewer::Destination() const {
    RECT client;
    GetClientRect(hwnd_, &client);
    const rfb::Framebuffer& fb = client_.framebuffer();
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

bool Viewer::ToDesktop(int x, int y, int& dx, int& dy) const {
    const RECT d = Destination();
    const rfb::Framebuffer& fb = client_.framebuffer();
    if (d.right <= d.left || d.bottom <= d.top)
        return false;
    dx = static_cast<int>(static_cast<long long>(x - d.left) * fb.width / (d.right - d.left));
    dy = static_cast<int>(static_cast<long long>(y - d.top) * fb.height / (d.bottom - d.top));
    dx = std::clamp(dx, 0, fb.width - 1);
    dy = std::clamp(dy, 0, fb.height - 1);
    return true;
}

void Viewer::InvalidateDesktop(const rfb::Rect& r) {
    const RECT d = Destination();
    const rfb::Framebuffer& fb = client_.framebuffer();
    if (fb.width <= 0 || fb.height <= 0)
        return;
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

void Viewer::Paint() {
    PAINTSTRUCT ps;
    const HDC dc = BeginPaint(hwnd_, &ps);
    RECT client;
    GetClientRect(hwnd_, &client);
    const rfb::Framebuffer& fb = client_.framebuffer();
    if (!connected_ || fb.width <= 0 || fb.height <= 0) {
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
    info.bmiHeader.biWidth = fb.stride;
    info.bmiHeader.biHeight = -fb.height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    const long dw = d.right - d.left, dh = d.bottom - d.top;
    if (dw == fb.width && dh == fb.height) {
        SetDIBitsToDevice(dc, d.left, d.top, static_cast<DWORD>(fb.width),
                          static_cast<DWORD>(fb.height), 0, 0, 0, static_cast<UINT>(fb.height),
                          fb.pixels.data(), &info, DIB_RGB_COLORS);
    } else {
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchDIBits(dc, d.left, d.top, dw, dh, 0, 0, fb.width, fb.height, fb.pixels.data(), &info,
                      DIB_RGB_COLORS, SRCCOPY);
    }
    EndPaint(hwnd_, &ps);
}

// On connecting and on a resize: the window sized for the desktop, within the work area.
void Viewer::FitWindow() {
    const rfb::Framebuffer& fb = client_.framebuffer();
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

void Viewer::SetFit(bool fit) {
    fit_ = fit;
    const HMENU menu = GetSystemMenu(hwnd_, FALSE);
    CheckMenuItem(menu, kMenuFit, fit ? MF_CHECKED : MF_UNCHECKED);
    CheckMenuItem(menu, kMenuActual, fit ? MF_UNCHECKED : MF_CHECKED);
    UpdateScrollBars();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

// Scroll bars only at 1:1 and only where the desktop is larger than the window.
void Viewer::UpdateScrollBars() {
    const rfb::Framebuffer& fb = client_.framebuffer();
    RECT client;
    GetClientRect(hwnd_, &client);
    for (const int bar : {SB_HORZ, SB_VERT}) {
        const int size = bar == SB_HORZ ? fb.width : fb.height;
        const int page = bar == SB_HORZ ? client.right : client.bottom;
        int& pos = bar == SB_HORZ ? scroll_x_ : scroll_y_;
        const bool shown = !fit_ && connected_ && size > page;
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

void Viewer::Scroll(int bar, WORD request) {
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

void Viewer::Mouse(UINT message, WPARAM wp, LPARAM lp) {
    if (!connected_ || stage_ == Stage::kDone)
        return;
    POINT p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
    if (message == WM_MOUSEWHEEL)
        ScreenToClient(hwnd_, &p);  // the wheel's position is on the screen
    int x = 0, y = 0;
    if (!ToDesktop(p.x, p.y, x, y))
        return;
    const WORD keys = GET_KEYSTATE_WPARAM(wp);
    uint8_t buttons = 0;
    if (keys & MK_LBUTTON)
        buttons |= 1;
    if (keys & MK_MBUTTON)
        buttons |= 2;
    if (keys & MK_RBUTTON)
        buttons |= 4;
    if (buttons && !buttons_)
        SetCapture(hwnd_);
    else if (!buttons && buttons_)
        ReleaseCapture();
    buttons_ = buttons;
    last_x_ = x;
    last_y_ = y;
    if (message == WM_MOUSEWHEEL) {
        // Each notch is a press and release of button 4 (up) or 5 (down).
        wheel_ += GET_WHEEL_DELTA_WPARAM(wp);
        while (wheel_ >= WHEEL_DELTA || wheel_ <= -WHEEL_DELTA) {
            const uint8_t bit = wheel_ > 0 ? 8 : 16;
            client_.SendPointer(x, y, buttons | bit);
            client_.SendPointer(x, y, buttons);
            wheel_ += wheel_ > 0 ? -WHEEL_DELTA : WHEEL_DELTA;
        }
    } else if (message != WM_MOUSEMOVE || unsent_.size() < kMaxUnsentForMotion) {
        // Motion is dropped while the server does not take what is queued (a stalled relay
        // must not make the queue grow without bound); presses and releases always go.
        client_.SendPointer(x, y, buttons);
    }
    FlushCore();
}

void Viewer::Key(WPARAM vk, LPARAM lp, bool down) {
    const bool extended = (lp >> 24) & 1;
    const UINT scan = ((static_cast<UINT>(lp) >> 16) & 0xff) | (extended ? 0x100 : 0);
    // Ctrl+Alt+Shift+F and +A: the window's own, as in the system menu.
    if (down && (GetKeyState(VK_CONTROL) & 0x8000) && (GetKeyState(VK_MENU) & 0x8000) &&
        (GetKeyState(VK_SHIFT) & 0x8000) && (vk == 'F' || vk == 'A')) {
        SetFit(vk == 'F');
        return;
    }
    if (!connected_ || stage_ == Stage::kDone)
        return;
    if (!down) {
        const auto held = held_keys_.find(scan);
        if (held == held_keys_.end())
            return;
        client_.SendKey(held->second, false);  // the keysym that was pressed
        held_keys_.erase(held);
        FlushCore();
        return;
    }
    // The message says Shift for either Shift key; the scan code tells them apart.
    const WPARAM side = vk == VK_SHIFT ? MapVirtualKeyW(scan & 0xff, MAPVK_VSC_TO_VK_EX) : vk;
    uint32_t keysym = KeysymForVirtualKey(static_cast<unsigned>(side ? side : vk), extended);
    if (!keysym) {
        BYTE state[256];
        GetKeyboardState(state);
        wchar_t text[8];
        // 4: leave the keyboard's dead-key state alone.
        int n = ToUnicode(static_cast<UINT>(vk), scan & 0xff, state, text, 8, 4);
        if (n <= 0 || text[0] < 0x20) {
            // Ctrl makes control characters of letters: the remote side wants the letter with
            // its own Ctrl held, so take the character without Ctrl and Alt.
            state[VK_CONTROL] = state[VK_LCONTROL] = state[VK_RCONTROL] = 0;
            state[VK_MENU] = state[VK_LMENU] = state[VK_RMENU] = 0;
            n = ToUnicode(static_cast<UINT>(vk), scan & 0xff, state, text, 8, 4);
        }
        if (n > 0)
            keysym = KeysymForText(text, n);
    }
    if (!keysym)
        return;
    const auto held = held_keys_.find(scan);
    if (held != held_keys_.end() && held->second != keysym)
        client_.SendKey(held->second, false);
    held_keys_[scan] = keysym;
    client_.SendKey(keysym, true);  // repeats send presses again, as X does
    FlushCore();
}

void Viewer::ReleaseAll() {
    if (!connected_ || stage_ == Stage::kDone) {
        held_keys_.clear();
        return;
    }
    for (const auto& [scan, keysym] : held_keys_)
        client_.SendKey(keysym, false);
    held_keys_.clear();
    if (buttons_) {
        buttons_ = 0;
        client_.SendPointer(last_x_, last_y_, 0);
        ReleaseCapture();
    }
    FlushCore();
}

void Viewer::SendCtrlAltDel() {
    if (!connected_ || stage_ == Stage::kDone)
        return;
    namespace ks = rfb::keysym;
    for (const uint32_t k : {ks::kControlL, ks::kAltL, ks::kDelete})
        client_.SendKey(k, true);
    for (const uint32_t k : {ks::kDelete, ks::kAltL, ks::kControlL})
        client_.SendKey(k, false);
    FlushCore();
}

void Viewer::UpdateCursor() {
    const rfb::Cursor& c = client_.cursor();
    if (remote_cursor_) {
        DestroyIcon(remote_cursor_);
        remote_cursor_ = nullptr;
    }
    cursor_hidden_ = c.width <= 0 || c.height <= 0;
    if (!cursor_hidden_) {
        // The colour as a top-down 32-bit DIB with alpha; the mask 1 where transparent (rows
        // of whole 16-bit words, as CreateBitmap takes them).
        BITMAPV5HEADER header{};
        header.bV5Size = sizeof header;
        header.bV5Width = c.width;
        header.bV5Height = -c.height;
        header.bV5Planes = 1;
        header.bV5BitCount = 32;
        header.bV5Compression = BI_BITFIELDS;
        header.bV5RedMask = 0x00ff0000;
        header.bV5GreenMask = 0x0000ff00;
        header.bV5BlueMask = 0x000000ff;
        header.bV5AlphaMask = 0xff000000;
        void* bits = nullptr;
        const HDC screen = GetDC(nullptr);
        const HBITMAP color = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                               DIB_RGB_COLORS, &bits, nullptr, 0);
        ReleaseDC(nullptr, screen);
        const std::size_t row = static_cast<std::size_t>((c.width + 15) / 16) * 2;
        std::vector<uint8_t> mask(row * static_cast<std::size_t>(c.height), 0xff);
        if (color && bits) {
            std::memcpy(bits, c.pixels.data(), c.pixels.size() * sizeof(uint32_t));
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x)
                    if (c.pixels[static_cast<std::size_t>(y) * c.width + x] >> 24)
                        mask[y * row + x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
            const HBITMAP mono = CreateBitmap(c.width, c.height, 1, 1, mask.data());
            ICONINFO icon{FALSE, static_cast<DWORD>(c.hotspot_x), static_cast<DWORD>(c.hotspot_y),
                          mono, color};
            remote_cursor_ = CreateIconIndirect(&icon);
            DeleteObject(mono);
        }
        if (color)
            DeleteObject(color);
    }
    Log("cursor " + std::to_string(c.width) + "x" + std::to_string(c.height) +
        (remote_cursor_ || cursor_hidden_ ? "" : " failed"));
    POINT p;
    GetCursorPos(&p);
    if (WindowFromPoint(p) == hwnd_)
        SetCursor(cursor_hidden_ ? nullptr : remote_cursor_);
}

void Viewer::ShowClipboard(const std::string& utf8) {
    if (utf8.empty())
        return;  // an emptied remote selection does not clear the operator's clipboard
    std::wstring text = Wide(utf8);
    // Windows text has CRLF line ends.
    std::wstring crlf;
    for (const wchar_t c : text) {
        if (c == L'\n' && (crlf.empty() || crlf.back() != L'\r'))
            crlf += L'\r';
        crlf += c;
    }
    if (!OpenClipboard(hwnd_))
        return;
    EmptyClipboard();
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (crlf.size() + 1) * sizeof(wchar_t));
    if (memory) {
        auto* p = static_cast<wchar_t*>(GlobalLock(memory));
        std::memcpy(p, crlf.c_str(), (crlf.size() + 1) * sizeof(wchar_t));
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory))
            GlobalFree(memory);
    }
    CloseClipboard();
    clipboard_set_ = crlf;
    Log("clipboard-in " + std::to_string(utf8.size()));
}

void Viewer::ClipboardChanged() {
    if (!connected_ || stage_ == Stage::kDone)
        return;
    if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(hwnd_))
        return;
    std::wstring text;
    if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        const auto* p = static_cast<const wchar_t*>(GlobalLock(data));
        if (p) {
            const std::size_t limit = GlobalSize(data) / sizeof(wchar_t);
            text.assign(p, std::find(p, p + limit, L'\0'));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    if (text.empty() || text == clipboard_set_)
        return;  // nothing, or what the remote side just sent us
    std::wstring lf;
    for (const wchar_t c : text)
        if (c != L'\r')
            lf += c;
    client_.SendClipboard(Utf8(lf));
    Log("clipboard-out " + std::to_string(lf.size()));
    FlushCore();
}

}  // namespace
}  // namespace talviewer

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    using namespace talviewer;
    const std::string record = Environment("TALVIEWER_RECORD");
    if (!record.empty()) {
        const bool recorded =
            talviewer::AppendRecord(record, talviewer::Argv(__argv, __argv + __argc)).empty();
        if (Environment("TALVIEWER_EXIT") == "1")
            return recorded ? 0 : 1;
    }
    // Arguments as UTF-16, so a machine's name outside the code page survives.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(Utf8(argv[i]));
    LocalFree(argv);
    if (args.size() != 5 || args[1] != "TALVERO-VNC") {
        Tell(nullptr, "talviewer", FailureText(Failure::kUsage, "", ""));
        return ExitStatus(Failure::kUsage);
    }
    const std::string& name = args[4];
    if (const auto bad = CheckName(name)) {
        Tell(nullptr, "talviewer", FailureText(Failure::kConnectionFailed, name, *bad));
        return ExitStatus(Failure::kConnectionFailed);
    }
    // The CA beside the program: ca.pem as talpki makes it, or ca.crt.
    wchar_t self[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring folder(self, n);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    std::vector<uint8_t> ca;
    for (const wchar_t* file : {L"ca.pem", L"ca.crt"}) {
        const std::wstring path = folder + file;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        // A CA file that is there but unusable is an error, not a reason to go plain.
        std::string error;
        ca = LoadCaCertificate(path, error);
        if (ca.empty()) {
            Tell(nullptr, name + " \xe2\x80\x94 talviewer",
                 FailureText(Failure::kSecurity, name, error));
            return ExitStatus(Failure::kSecurity);
        }
        break;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return ExitStatus(Failure::kConnectionFailed);
    Log("start");
    Viewer viewer(args[2], args[3], name, std::move(ca));
    if (!viewer.Create(instance, show))
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    WSACleanup();
    return viewer.exit_status();
}
