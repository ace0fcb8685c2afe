// The connection of talviewer.exe (see session.h). After every call into the driver its output
// is sent first (through SChannel once StartTls was handled: what precedes it leaves in the
// clear), then its events go to the window, then the stage timer is set for its deadline.
#include "viewer/win32/session.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <type_traits>
#include <variant>

#include "viewer/win32/support.h"

namespace talviewer {

namespace {

constexpr std::size_t kReadBudget = std::size_t{1} << 20;  // per FD_READ, then paint and input
constexpr std::size_t kMaxUnsentForMotion = std::size_t{256} << 10;

SessionDriver::TimePoint Now() {
    return SessionDriver::Clock::now();
}

}  // namespace

Session::Session(SessionSetup setup, TlsSetup tls, SessionObserver& observer)
    : setup_(setup), tls_setup_(std::move(tls)), observer_(observer), driver_(std::move(setup)) {}

Session::~Session() {
    CloseSocket();
}

void Session::Start(HWND window) {
    window_ = window;
    driver_.Start(Now());
    Pump();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(setup_.address.c_str(), setup_.port.c_str(), &hints, &found) != 0 || !found) {
        driver_.Closed("the address is unknown.", false);
        return Pump();
    }
    socket_ = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) {
        freeaddrinfo(found);
        driver_.Closed("no socket could be opened.", false);
        return Pump();
    }
    const BOOL on = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    WSAAsyncSelect(socket_, window_, kSocketMessage, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
    const int result = connect(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen));
    freeaddrinfo(found);
    if (result == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
        SocketClosed(WSAGetLastError());
}

void Session::OnSocketMessage(WPARAM socket, LPARAM lp) {
    if (socket != socket_ || failed_)
        return;  // a late report of a socket already closed
    const int error = WSAGETSELECTERROR(lp);
    switch (WSAGETSELECTEVENT(lp)) {
        case FD_CONNECT:
            if (error)
                return SocketClosed(error);
            driver_.Connected(Now());
            return Pump();
        case FD_READ:
            return ReadSocket();
        case FD_WRITE:
            return FlushSocket();
        case FD_CLOSE:
            // What arrived just before the close still counts.
            while (!failed_ && socket_ != INVALID_SOCKET) {
                char probe;
                if (recv(socket_, &probe, 1, MSG_PEEK) <= 0)
                    break;
                ReadSocket();
            }
            if (!failed_)
                SocketClosed(error);
            return;
        default:
            return;
    }
}

// One bounded turn: the rest comes with the FD_READ that Winsock posts again after a recv
// that left data behind, after the window has had its turn.
void Session::ReadSocket() {
    static std::vector<uint8_t> buffer(std::size_t{256} << 10);
    std::size_t total = 0;
    while (!failed_ && socket_ != INVALID_SOCKET && total < kReadBudget) {
        const int n = recv(socket_, reinterpret_cast<char*>(buffer.data()),
                           static_cast<int>(buffer.size()), 0);
        if (n <= 0)
            return;  // would block (FD_READ comes again), or the close (FD_CLOSE comes)
        total += static_cast<std::size_t>(n);
        Received(buffer.data(), static_cast<std::size_t>(n));
    }
}

void Session::Received(const uint8_t* data, std::size_t size) {
    if (!tls_) {
        driver_.Receive({data, size}, Now());
        return Pump();
    }
    tls_->Receive({data, size});
    FlushTls();
    if (tls_->state() == TlsClient::State::kFailed) {
        driver_.TlsFailed(tls_->error(), tls_->certificate_refused());
        return Pump();
    }
    if (!tls_open_ && tls_->state() == TlsClient::State::kOpen) {
        tls_open_ = true;
        Log("tls " + tls_->Description());
        driver_.TlsEstablished(tls_->dns_names());
        Pump();
    }
    const std::vector<uint8_t> plain = tls_->TakePlaintext();
    if (!failed_ && !plain.empty()) {
        driver_.Receive(plain, Now());
        Pump();
    }
    if (!failed_ && tls_ && tls_->state() == TlsClient::State::kClosed)
        SocketClosed(0);
}

void Session::SocketClosed(int error) {
    driver_.Closed("error " + std::to_string(error) + ".", true);
    Pump();
}

void Session::Pump() {
    if (failed_)
        return;
    const std::vector<uint8_t> out = driver_.TakeOutput();
    if (!out.empty()) {
        if (tls_) {
            tls_->Send(out);
            FlushTls();
        } else {
            Write(out);
        }
    }
    while (!failed_) {
        std::optional<SessionEvent> next = driver_.PollEvent();
        if (!next)
            break;
        Deliver(*next);
    }
    if (failed_ || !window_)
        return;
    if (const auto deadline = driver_.deadline()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Now()).count();
        SetTimer(window_, kStageTimer, static_cast<UINT>(std::max<long long>(left, 1)), nullptr);
    } else {
        KillTimer(window_, kStageTimer);
    }
}

void Session::Deliver(SessionEvent& event) {
    std::visit(
        [this](auto& e) {
            using T = std::decay_t<decltype(e)>;
            namespace se = session_event;
            if constexpr (std::is_same_v<T, se::Status>) {
                Log("status " + e.text);
                observer_.OnStatus(e.text);
            } else if constexpr (std::is_same_v<T, se::Accepted>) {
                Log("ok");
            } else if constexpr (std::is_same_v<T, se::Connected>) {
                observer_.OnConnected(e.encrypted);
            } else if constexpr (std::is_same_v<T, se::FramebufferUpdated>) {
                observer_.OnFramebufferUpdated(e.rects);
            } else if constexpr (std::is_same_v<T, se::DesktopResized>) {
                observer_.OnDesktopResized(e.width, e.height);
            } else if constexpr (std::is_same_v<T, se::CursorChanged>) {
                observer_.OnCursorChanged();
            } else if constexpr (std::is_same_v<T, se::ScreensChanged>) {
                observer_.OnScreensChanged();
            } else if constexpr (std::is_same_v<T, se::Clipboard>) {
                observer_.OnClipboard(e.text);
            } else if constexpr (std::is_same_v<T, se::Bell>) {
                observer_.OnBell();
            } else if constexpr (std::is_same_v<T, se::CredentialsNeeded>) {
                observer_.OnCredentialsNeeded(e.user_name);
            } else if constexpr (std::is_same_v<T, se::StartTls>) {
                StartTls(e);
            } else if constexpr (std::is_same_v<T, se::Failed>) {
                failed_ = true;
                if (window_)
                    KillTimer(window_, kStageTimer);
                CloseSocket();
                observer_.OnFailed(e.failure, e.detail);
            }
        },
        event);
}

void Session::StartTls(const session_event::StartTls& start) {
    tls_ = std::make_unique<TlsClient>(tls_setup_, Wide(start.peer_name));
    tls_->Start();
    FlushTls();
    // A failure here is queued in the driver; the Pump that delivers this event delivers it.
    if (tls_->state() == TlsClient::State::kFailed)
        driver_.TlsFailed(tls_->error());
}

void Session::OnStageTimer() {
    driver_.Tick(Now());
    Pump();
}

void Session::SetCredentials(std::string user, std::string password) {
    driver_.SetCredentials(std::move(user), password, Now());
    SecureZeroMemory(password.data(), password.size());
    Pump();
}

void Session::SetQuality(viewer::Quality quality) {
    driver_.SetQuality(quality);
    Pump();
}

void Session::RequestDesktopSize(int width, int height) {
    if (driver_.RequestDesktopSize(width, height))
        Pump();
}

void Session::SendKey(uint32_t keysym, bool down) {
    driver_.SendKey(keysym, down);
    Pump();
}

void Session::SendPointer(int x, int y, uint8_t buttons, bool motion_only) {
    if (motion_only && unsent_.size() >= kMaxUnsentForMotion)
        return;
    driver_.SendPointer(x, y, buttons);
    Pump();
}

void Session::SendClipboard(const std::string& utf8) {
    driver_.SendClipboard(utf8);
    Pump();
}

void Session::FlushTls() {
    const std::vector<uint8_t> out = tls_->TakeOutput();
    if (!out.empty())
        Write(out);
}

void Session::Write(const std::vector<uint8_t>& bytes) {
    unsent_.insert(unsent_.end(), bytes.begin(), bytes.end());
    FlushSocket();
}

void Session::FlushSocket() {
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

void Session::Close() {
    failed_ = true;
    if (window_)
        KillTimer(window_, kStageTimer);
    CloseSocket();
}

void Session::CloseSocket() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

}  // namespace talviewer
