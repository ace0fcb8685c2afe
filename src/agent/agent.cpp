// The agent's event loop and the I/O of its control connection (see agent.h): the socket, its
// TLS (tls_link.h) and stopping; what to do when is the core's (control_link.h). What an order
// starts, and the children's ends, are agent_sessions.cpp's.
#include "agent/agent.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>
#include <utility>

#include "agent/display.h"
#include "agent/log.h"
#include "agent/session.h"

namespace talagent {
namespace {

using namespace std::chrono_literals;

// On stopping, children get SIGTERM and this long before SIGKILL.
constexpr auto kStopGrace = 3s;

}  // namespace

Agent::Agent(Options options, Key key)
    : link_(std::move(options), std::move(key), std::random_device{}()) {
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGCHLD, SIGTERM, SIGINT})
        sigaddset(&handled, signal);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    signals_ = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);
    if (!options_.insecure)
        trust_ = std::make_unique<TlsTrust>(options_.ca);
}

Agent::~Agent() {
    Close();
    if (signals_ >= 0)
        ::close(signals_);
}

int Agent::Run() {
    if (signals_ < 0) {
        Log(Level::Error, std::string("cannot watch signals: ") + std::strerror(errno));
        return kExitUnusable;
    }
    if (trust_ && !trust_->error().empty()) {
        Log(Level::Error, "--ca: " + trust_->error());
        return kExitUnusable;
    }
    Log(Level::Info, "talagent for " + Printable(options_.name) + " on display " +
                         options_.display + ", server " + options_.server.ToString() +
                         (options_.insecure ? ", plain control connection and sessions (--insecure)"
                                            : ", TLS control connection, encrypted sessions") +
                         (options_.ask ? ", asking first" : ""));
    while (exit_status_ < 0 || !sessions_.empty()) {
        OnTimers();
        link_.Drive(*this);
        pollfd fds[2] = {{signals_, POLLIN, 0}, {sock_, PollEvents(), 0}};
        const int ready = poll(fds, sock_ >= 0 ? 2 : 1, PollTimeout());
        if (ready < 0 && errno != EINTR) {
            Log(Level::Error, std::string("poll: ") + std::strerror(errno));
            Finish(kExitUnusable);
        }
        // Signals first: a child that ended frees its place before an order in the same round
        // is counted against --max-sessions.
        if (ready > 0 && fds[0].revents)
            OnSignal();
        if (ready > 0 && sock_ >= 0 && fds[1].fd == sock_ && fds[1].revents)
            OnSocket(fds[1].revents);
        link_.Drive(*this);
    }
    return exit_status_;
}

void Agent::StartTls() {
    tls_ = std::make_unique<TlsLink>(*trust_, sock_, options_.server.host);
    OnHandshake();
}

void Agent::Stop() {
    Finish(kExitRefused);
}

short Agent::PollEvents() const {
    const auto state = link_.state();
    if (state == ControlLink::State::kConnecting)
        return POLLOUT;
    const bool handshaking = state == ControlLink::State::kHandshaking;
    const bool write =
        tls_ ? tls_->wants_write() || (!handshaking && link_.has_out()) : link_.has_out();
    return static_cast<short>(handshaking && write ? POLLOUT : write ? POLLIN | POLLOUT : POLLIN);
}

int Agent::PollTimeout() const {
    Clock::time_point next = exit_status_ >= 0 ? stop_deadline_ : link_.deadline();
    for (const auto& session : sessions_) {
        if (session.dialog > 0 && !session.dialog_timed_out)
            next = std::min(next, session.ask_deadline);
    }
    if (next == Clock::time_point::max())
        return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    return static_cast<int>(std::clamp<long long>(wait.count(), 0, 3'600'000));
}

void Agent::OnTimers() {
    const auto now = Clock::now();
    if (exit_status_ >= 0) {
        if (now >= stop_deadline_ && !sessions_.empty()) {
            for (const auto& session : sessions_) {
                for (const pid_t pid : {session.dialog, session.server, session.refusal}) {
                    if (pid > 0)
                        kill(-pid, SIGKILL);
                }
            }
            stop_deadline_ = Clock::time_point::max();
        }
        return;
    }
    for (auto& session : sessions_) {
        if (session.dialog > 0 && !session.dialog_timed_out && now >= session.ask_deadline) {
            session.dialog_timed_out = true;
            kill(-session.dialog, SIGTERM);
        }
    }
    link_.OnTime(now);
}

void Agent::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(options_.server.port);
    // Blocks while the name is looked up; nothing else waits on the loop while it is not
    // connected (sessions are processes of their own).
    const int error = getaddrinfo(options_.server.host.c_str(), port.c_str(), &hints, &list);
    addresses_.clear();
    for (const addrinfo* a = list; a; a = a->ai_next) {
        Address address{};
        std::memcpy(&address.storage, a->ai_addr,
                    std::min<std::size_t>(a->ai_addrlen, sizeof address.storage));
        address.length = a->ai_addrlen;
        addresses_.push_back(address);
    }
    if (list)
        freeaddrinfo(list);
    next_address_ = 0;
    if (error != 0) {
        link_.Failed(
            std::string("cannot look up ") + options_.server.host + ": " + gai_strerror(error),
            Clock::now());
        return;
    }
    if (!TryNextAddress())
        link_.Failed("cannot connect to " + options_.server.ToString(), Clock::now());
}

bool Agent::TryNextAddress() {
    while (next_address_ < addresses_.size()) {
        const Address& address = addresses_[next_address_++];
        sock_ = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (sock_ < 0)
            continue;
        if (connect(sock_, reinterpret_cast<const sockaddr*>(&address.storage), address.length) ==
                0 ||
            errno == EINPROGRESS)
            return true;
        ::close(std::exchange(sock_, -1));
    }
    return false;
}

void Agent::Close() {
    tls_.reset();
    if (sock_ >= 0)
        ::close(std::exchange(sock_, -1));
}

void Agent::OnSocket(short revents) {
    switch (link_.state()) {
        case ControlLink::State::kConnecting:
            OnConnected();
            return;
        case ControlLink::State::kHandshaking:
            OnHandshake();
            return;
        default:
            break;
    }
    // A TLS read that had to write (a key update) is retried once it can.
    const bool read_again = tls_ && tls_->wants_write();
    if (revents & (POLLOUT | POLLERR | POLLHUP))
        Flush();
    if (sock_ >= 0 && (read_again || (revents & (POLLIN | POLLHUP))))
        OnReadable();
}

void Agent::OnConnected() {
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(sock_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        ::close(std::exchange(sock_, -1));
        if (!TryNextAddress()) {
            link_.Failed(
                "cannot connect to " + options_.server.ToString() + ": " + std::strerror(error),
                Clock::now());
        }
        return;
    }
    // Keepalive finds a server machine that vanished while the connection was quiet.
    const int on = 1, idle = 60, interval = 10, count = 3;
    setsockopt(sock_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(sock_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(sock_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(sock_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    const Address& peer = addresses_[next_address_ - 1];
    char host[NI_MAXHOST] = "";
    getnameinfo(reinterpret_cast<const sockaddr*>(&peer.storage), peer.length, host, sizeof host,
                nullptr, 0, NI_NUMERICHOST);
    link_.Connected(host, Clock::now());
}

void Agent::OnHandshake() {
    const TlsStatus status = tls_->Handshake();
    link_.Handshaken(status, status == TlsStatus::Done ? tls_->version() : tls_->error(),
                     Clock::now());
}

// Writes what the core queued, as far as the socket takes it.
void Agent::Flush() {
    if (sock_ < 0 || !link_.open())
        return;
    std::string& out = link_.out();
    while (!out.empty() && tls_) {
        std::size_t n = 0;
        const TlsLink::Status status = tls_->Write(out, n);
        out.erase(0, n);
        if (status == TlsLink::Status::WantRead || status == TlsLink::Status::WantWrite)
            return;
        if (status != TlsLink::Status::Done) {
            link_.SendFailed(tls_->error(), Clock::now());
            return;
        }
    }
    while (!out.empty()) {
        const ssize_t n = ::send(sock_, out.data(), out.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            link_.SendFailed(std::strerror(errno), Clock::now());
            return;
        }
        out.erase(0, static_cast<std::size_t>(n));
    }
}

// Feeds the core what the server sent; it stops taking bytes once it dropped the connection.
void Agent::OnReadable() {
    const auto open = [&] { return exit_status_ < 0 && link_.open(); };
    if (tls_) {
        std::string bytes;
        TlsLink::Status status = TlsLink::Status::Done;
        while (open() && status == TlsLink::Status::Done) {
            bytes.clear();
            status = tls_->Read(bytes);
            link_.Received(bytes, Clock::now());
        }
        if (status == TlsLink::Status::Closed || status == TlsLink::Status::Failed)
            link_.ReceiveEnded(status == TlsLink::Status::Closed ? "" : tls_->error(),
                               Clock::now());
        return;
    }
    char buffer[4096];
    const ssize_t n = ::recv(sock_, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        link_.ReceiveEnded(n == 0 ? "" : std::strerror(errno), Clock::now());
        return;
    }
    link_.Received({buffer, static_cast<std::size_t>(n)}, Clock::now());
}

void Agent::Finish(int status) {
    if (exit_status_ >= 0)
        return;
    exit_status_ = status;
    Close();
    for (const auto& session : sessions_) {
        for (const pid_t pid : {session.dialog, session.server, session.refusal}) {
            if (pid > 0)
                kill(-pid, SIGTERM);
        }
    }
    stop_deadline_ = Clock::now() + kStopGrace;
    if (!sessions_.empty())
        Log(Level::Info, "ending " + Sessions(sessions_.size()) + " still open");
}

}  // namespace talagent
