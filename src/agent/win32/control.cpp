// talagent.exe's event loop and the I/O of its control connection (see control.h); when to do
// what is the core's (agent/control_link.h).
#include "agent/win32/control.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <random>
#include <utility>

#include "agent/log.h"
#include "agent/win32/ask.h"

namespace talagent::win {
namespace {

std::string SocketError(int code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

}  // namespace

Control::Control(Options options, Key key, std::unique_ptr<TlsContext> tls, HANDLE stop)
    : link_(std::move(options), std::move(key), std::random_device{}()),
      tls_context_(std::move(tls)),
      stop_(stop),
      socket_event_(WSACreateEvent()) {}

Control::~Control() {
    Close();
    if (socket_event_ != WSA_INVALID_EVENT)
        WSACloseEvent(socket_event_);
}

int Control::Run() {
    Log(Level::Info, "talagent for " + Printable(options_.name) + ", server " +
                         options_.server.ToString() +
                         (tls_context_ ? ", TLS control connection, encrypted sessions"
                                       : ", plain control connection and sessions (--insecure)") +
                         (options_.ask ? ", asking first" : ""));
    screen_ = std::make_unique<Screen>();
    clipboard_ = std::make_unique<ClipboardWatch>([this](const std::string& text) {
        for (auto& session : sessions_)
            session->OnClipboard(text);
    });
    while (exit_status_ < 0) {
        // The event is only a wake-up; select() with no wait says what is ready now. Each
        // socket's record of what it reported is cleared too, or Winsock signals it again.
        WSANETWORKEVENTS reported;
        if (sock_ != INVALID_SOCKET)
            WSAEnumNetworkEvents(sock_, nullptr, &reported);
        for (const auto& session : sessions_) {
            if (session->socket() != INVALID_SOCKET)
                WSAEnumNetworkEvents(session->socket(), nullptr, &reported);
        }
        WSAResetEvent(socket_event_);
        const bool worked = SelectReady();
        link_.Drive(*this);
        OnTimers();
        link_.Drive(*this);
        sessions_.remove_if([](const auto& session) { return session->ended(); });
        if (worked || exit_status_ >= 0)
            continue;
        const HANDLE handles[] = {stop_, socket_event_};
        const DWORD woke = MsgWaitForMultipleObjects(2, handles, FALSE, WaitMillis(), QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) {
            Log(Level::Info, "stopping");
            Finish(kExitStopped);
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                Finish(kExitStopped);
            } else if (message.message == kAskAnswer && !message.hwnd) {
                OnAskAnswer(message.wParam, message.lParam != 0);
            } else {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    sessions_.clear();
    return exit_status_;
}

// One select() with no wait over the control connection and the sessions; true when a socket
// was ready (and handled).
bool Control::SelectReady() {
    fd_set read_set, write_set, error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    if (sock_ != INVALID_SOCKET) {
        const auto state = link_.state();
        if (state != ControlLink::State::kConnecting)
            FD_SET(sock_, &read_set);
        if (state == ControlLink::State::kConnecting || (tls_ && tls_->wants_write()) ||
            (state != ControlLink::State::kHandshaking && link_.has_out()))
            FD_SET(sock_, &write_set);
        FD_SET(sock_, &error_set);
    }
    for (const auto& session : sessions_) {
        if (session->socket() == INVALID_SOCKET || session->ended())
            continue;
        if (session->wants_read())
            FD_SET(session->socket(), &read_set);
        if (session->wants_write())
            FD_SET(session->socket(), &write_set);
        FD_SET(session->socket(), &error_set);
    }
    if (error_set.fd_count == 0)
        return false;
    timeval now{0, 0};
    if (select(0, &read_set, &write_set, &error_set, &now) <= 0)
        return false;
    if (sock_ != INVALID_SOCKET) {
        const SOCKET control = sock_;
        OnSocket(FD_ISSET(control, &read_set), FD_ISSET(control, &write_set),
                 FD_ISSET(control, &error_set));
    }
    for (auto& session : sessions_) {
        const SOCKET s = session->socket();
        if (s != INVALID_SOCKET)
            session->OnSocket(FD_ISSET(s, &read_set), FD_ISSET(s, &write_set),
                              FD_ISSET(s, &error_set));
    }
    return true;
}

DWORD Control::WaitMillis() const {
    Clock::time_point next = link_.deadline();
    for (const auto& session : sessions_)
        next = std::min(next, session->next_time());
    for (const auto& asking : asking_)
        next = std::min(next, asking.deadline);
    if (next == Clock::time_point::max())
        return INFINITE;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    return static_cast<DWORD>(std::clamp<long long>(wait.count(), 0, 3'600'000));
}

void Control::OnTimers() {
    if (exit_status_ >= 0)
        return;
    const auto now = Clock::now();
    for (auto& session : sessions_)
        session->OnTimers();
    // A question whose window never answered (it could not be shown) denies.
    for (auto asking = asking_.begin(); asking != asking_.end();) {
        const auto current = asking++;
        if (now >= current->deadline)
            OnAskAnswer(current->number, false);
    }
    link_.OnTime(now);
}

void Control::StartTls() {
    tls_ = std::make_unique<TlsStream>(*tls_context_, TlsStream::Role::Client, sock_,
                                       options_.server.host);
    OnHandshake();
}

void Control::Stop() {
    Finish(kExitRefused);
}

void Control::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(options_.server.port);
    // Blocks while the name is looked up; nothing else waits on the loop while it is not
    // connected.
    const int error = getaddrinfo(options_.server.host.c_str(), port.c_str(), &hints, &list);
    addresses_.clear();
    for (const addrinfo* a = list; a; a = a->ai_next) {
        const char* bytes = reinterpret_cast<const char*>(a->ai_addr);
        addresses_.emplace_back(bytes, bytes + a->ai_addrlen);
    }
    if (list)
        freeaddrinfo(list);
    next_address_ = 0;
    if (error != 0) {
        link_.Failed("cannot look up " + options_.server.host + ": " + SocketError(error),
                     Clock::now());
        return;
    }
    if (!TryNextAddress())
        link_.Failed("cannot connect to " + options_.server.ToString(), Clock::now());
}

bool Control::TryNextAddress() {
    while (next_address_ < addresses_.size()) {
        sock_ = StartConnection(addresses_[next_address_++], socket_event_);
        if (sock_ != INVALID_SOCKET)
            return true;
    }
    return false;
}

void Control::OnSocket(bool readable, bool writable, bool failed) {
    const auto state = link_.state();
    if (state == ControlLink::State::kConnecting) {
        if (failed) {
            int error = 0;
            int length = sizeof error;
            getsockopt(sock_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            Close();
            if (!TryNextAddress())
                link_.Failed(
                    "cannot connect to " + options_.server.ToString() + ": " + SocketError(error),
                    Clock::now());
        } else if (writable) {
            OnConnected();
        }
        return;
    }
    if (state == ControlLink::State::kHandshaking) {
        OnHandshake();
        return;
    }
    const bool read_again = tls_ && tls_->wants_write();
    if (writable)
        Flush();
    if (sock_ != INVALID_SOCKET && (readable || read_again || failed))
        OnReadable();
}

void Control::OnConnected() {
    // Keepalive finds a server machine that vanished while the connection was quiet.
    tcp_keepalive keepalive{1, 60'000, 10'000};
    DWORD returned = 0;
    WSAIoctl(sock_, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned,
             nullptr, nullptr);
    // An order may name the server by the address the agent reached it at.
    const auto& address = addresses_[next_address_ - 1];
    char host[NI_MAXHOST] = "";
    getnameinfo(reinterpret_cast<const sockaddr*>(address.data()),
                static_cast<socklen_t>(address.size()), host, sizeof host, nullptr, 0,
                NI_NUMERICHOST);
    link_.Connected(host, Clock::now());
}

void Control::OnHandshake() {
    const TlsStatus status = tls_->Handshake();
    link_.Handshaken(status, status == TlsStatus::Done ? tls_->version() : tls_->error(),
                     Clock::now());
}

// Writes what the core queued, as far as the socket takes it.
void Control::Flush() {
    if (!link_.open())
        return;
    std::string& out = link_.out();
    while (!out.empty() && sock_ != INVALID_SOCKET) {
        std::size_t n = 0;
        if (tls_) {
            const TlsStream::Status status = tls_->Write(out, n);
            out.erase(0, n);
            if (status == TlsStream::Status::WantRead || status == TlsStream::Status::WantWrite)
                return;
            if (status != TlsStream::Status::Done) {
                link_.SendFailed(tls_->error(), Clock::now());
                return;
            }
            continue;
        }
        const int sent = ::send(sock_, out.data(), static_cast<int>(out.size()), 0);
        if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
            return;
        if (sent <= 0) {
            link_.SendFailed(SocketError(WSAGetLastError()), Clock::now());
            return;
        }
        out.erase(0, static_cast<std::size_t>(sent));
    }
}

void Control::OnReadable() {
    std::string bytes;
    bool closed = false;
    std::string error;
    if (tls_) {
        TlsStream::Status status = TlsStream::Status::Done;
        while (status == TlsStream::Status::Done && bytes.size() < kMaxLine * 16)
            status = tls_->Read(bytes);
        closed = status == TlsStream::Status::Closed;
        if (status == TlsStream::Status::Failed)
            error = tls_->error();
    } else {
        char buffer[4096];
        const int n = ::recv(sock_, buffer, sizeof buffer, 0);
        if (n > 0)
            bytes.assign(buffer, static_cast<std::size_t>(n));
        else if (n == 0)
            closed = true;
        else if (WSAGetLastError() != WSAEWOULDBLOCK)
            error = SocketError(WSAGetLastError());
    }
    link_.Received(bytes, Clock::now());
    if (closed || !error.empty())
        link_.ReceiveEnded(error, Clock::now());
}

void Control::Order(const Message& order) {
    const bool open = std::any_of(sessions_.begin(), sessions_.end(),
                                  [&](const auto& s) { return s->id() == order.id; }) ||
                      std::any_of(asking_.begin(), asking_.end(),
                                  [&](const Asking& a) { return a.id == order.id; });
    if (link_.Admit(order, open, sessions_.size() + asking_.size()) != Admission::kStart)
        return;
    const Endpoint target = link_.Target(order);
    const std::string what = "session " + order.id + " to " + target.ToString();
    if (!options_.ask) {
        StartSession(order.id, target, order.operator_name, order.right);
        return;
    }
    const WPARAM number = next_number_++;
    // The window denies at zero by itself; this is for a window that never came up.
    const auto deadline =
        Clock::now() + std::chrono::seconds(options_.ask_timeout_seconds) + std::chrono::seconds(5);
    if (!Ask(thread_, number, order.operator_name, order.right == Right::Control,
             options_.ask_timeout_seconds)) {
        Log(Level::Error, "declining the order for " + what + ": the question cannot be shown");
        link_.Decline(order.id, wire::kDeclineFailed);
        return;
    }
    Log(Level::Info, "asking about " + what + " of " + Printable(order.operator_name));
    asking_.push_back({number, order.id, target, order.operator_name, order.right, deadline});
}

void Control::OnAskAnswer(WPARAM number, bool allowed) {
    const auto asking = std::find_if(asking_.begin(), asking_.end(),
                                     [&](const Asking& a) { return a.number == number; });
    if (asking == asking_.end())
        return;
    const Asking order = *asking;
    asking_.erase(asking);
    if (exit_status_ >= 0)
        return;
    if (!allowed) {
        Log(Level::Info, "session " + order.id + " denied at the screen");
        link_.Decline(order.id, wire::kDeclineDenied);
        return;
    }
    Log(Level::Info, "session " + order.id + " allowed at the screen");
    StartSession(order.id, order.target, order.operator_name, order.right);
}

void Control::StartSession(const std::string& id, const Endpoint& target,
                           const std::string& operator_name, Right right) {
    Log(Level::Info, "session " + id + " to " + target.ToString() +
                         (right == Right::View ? " (view only)" : " (control)"));
    auto session = std::make_unique<Session>(id, target, operator_name, right, tls_context_.get(),
                                             socket_event_, *screen_);
    // The session goes where the control connection went: the target is this server.
    if (!session->Start(addresses_)) {
        link_.Decline(id, wire::kDeclineFailed);
        return;
    }
    sessions_.push_back(std::move(session));
}

void Control::Close() {
    tls_.reset();
    if (sock_ != INVALID_SOCKET)
        closesocket(std::exchange(sock_, INVALID_SOCKET));
}

void Control::Finish(int status) {
    if (exit_status_ >= 0)
        return;
    exit_status_ = status;
    Close();
}

}  // namespace talagent::win
