// The agent's event loop and its control connection (see agent.h): connecting, TLS
// (tls_link.h), registering and the server's lines (protocol.h), back-off and stopping. What an
// order starts, and the children's ends, are agent_sessions.cpp's.
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
#include <cstdio>
#include <cstring>
#include <utility>

#include "agent/backoff.h"
#include "agent/display.h"
#include "agent/log.h"
#include "agent/session.h"

namespace talagent {
namespace {

using namespace std::chrono_literals;

// How long a connection attempt, and then registration, may take before the agent tries again.
constexpr auto kConnectTimeout = 10s;
constexpr auto kRegisterTimeout = 30s;
// A registration that held this long resets the back-off to --retry-min; a server that accepts
// and drops agents at once keeps them backing off instead of reconnecting every second.
constexpr auto kStableConnection = 30s;
// On stopping, children get SIGTERM and this long before SIGKILL.
constexpr auto kStopGrace = 3s;
// Unsent bytes to the server at most; a server that does not read is dropped.
constexpr std::size_t kMaxOutput = 64 * 1024;
// A refusal whose reason starts with this word is transient (the server is at a limit): the
// agent retries with back-off. Every other refusal (unknown name, wrong key) is for good.

std::string Seconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(duration.count()) / 1000);
    return text;
}

}  // namespace

Agent::Agent(Options options, Key key)
    : options_(std::move(options)), key_(std::move(key)), random_(std::random_device{}()) {
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
    tls_.reset();
    if (sock_ >= 0)
        ::close(sock_);
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
    deadline_ = Clock::now();
    while (exit_status_ < 0 || !sessions_.empty()) {
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
        if (ready > 0 && sock_ >= 0 && fds[1].fd == sock_ && fds[1].revents) {
            if (link_ == Link::Handshaking) {
                OnHandshake();
            } else {
                // A TLS read that had to write (a key update) is retried once it can.
                const bool read_again = tls_ && tls_->wants_write();
                if (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))
                    OnWritable();
                if (sock_ >= 0 && link_ != Link::Connecting &&
                    (read_again || (fds[1].revents & (POLLIN | POLLHUP))))
                    OnReadable();
            }
        }
        OnTimers();
    }
    return exit_status_;
}

short Agent::PollEvents() const {
    if (link_ == Link::Connecting)
        return POLLOUT;
    const bool write =
        tls_ ? tls_->wants_write() || (link_ != Link::Handshaking && !out_.empty()) : !out_.empty();
    return static_cast<short>(link_ == Link::Handshaking && write ? POLLOUT
                              : write                             ? POLLIN | POLLOUT
                                                                  : POLLIN);
}

int Agent::PollTimeout() const {
    Clock::time_point next = Clock::time_point::max();
    if (exit_status_ >= 0) {
        next = stop_deadline_;
    } else if (link_ != Link::Registered) {
        next = deadline_;
    }
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
                for (const pid_t pid : {session.dialog, session.x11vnc, session.refusal}) {
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
    if (link_ == Link::Waiting && now >= deadline_) {
        StartConnect();
    } else if (link_ != Link::Waiting && link_ != Link::Registered && now >= deadline_) {
        Drop(link_ == Link::Connecting ? "no connection within 10 s"
                                       : "not registered within 30 s");
    }
}

void Agent::StartConnect() {
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
        Drop(std::string("cannot look up ") + options_.server.host + ": " + gai_strerror(error));
        return;
    }
    if (!TryNextAddress())
        Drop("cannot connect to " + options_.server.ToString());
}

bool Agent::TryNextAddress() {
    while (next_address_ < addresses_.size()) {
        const Address& address = addresses_[next_address_++];
        sock_ = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (sock_ < 0)
            continue;
        if (connect(sock_, reinterpret_cast<const sockaddr*>(&address.storage), address.length) ==
                0 ||
            errno == EINPROGRESS) {
            link_ = Link::Connecting;
            deadline_ = Clock::now() + kConnectTimeout;
            return true;
        }
        ::close(std::exchange(sock_, -1));
    }
    return false;
}

void Agent::OnWritable() {
    if (link_ == Link::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(sock_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            ::close(std::exchange(sock_, -1));
            if (!TryNextAddress()) {
                Drop("cannot connect to " + options_.server.ToString() + ": " +
                     std::strerror(error));
            }
            return;
        }
        // Keepalive finds a server machine that vanished while the connection was quiet.
        const int on = 1, idle = 60, interval = 10, count = 3;
        setsockopt(sock_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(sock_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(sock_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(sock_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        // An order may name the server by the address the agent reached it at.
        const Address& peer = addresses_[next_address_ - 1];
        char host[NI_MAXHOST] = "";
        getnameinfo(reinterpret_cast<const sockaddr*>(&peer.storage), peer.length, host,
                    sizeof host, nullptr, 0, NI_NUMERICHOST);
        server_address_ = host;
        // The TLS handshake counts against the time to register.
        deadline_ = Clock::now() + kRegisterTimeout;
        out_.clear();
        if (!trust_) {
            StartRegistering();
            return;
        }
        tls_ = std::make_unique<TlsLink>(*trust_, sock_, options_.server.host);
        link_ = Link::Handshaking;
        OnHandshake();
        return;
    }
    while (!out_.empty() && tls_) {
        std::size_t n = 0;
        const TlsLink::Status status = tls_->Write(out_, n);
        out_.erase(0, n);
        if (status == TlsLink::Status::WantRead || status == TlsLink::Status::WantWrite)
            return;
        if (status != TlsLink::Status::Done) {
            Drop("cannot send to the server: " +
                 (tls_->error().empty() ? "the connection is closed" : tls_->error()));
            return;
        }
    }
    while (!out_.empty()) {
        const ssize_t n = ::send(sock_, out_.data(), out_.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            Drop(std::string("cannot send to the server: ") + std::strerror(errno));
            return;
        }
        out_.erase(0, static_cast<std::size_t>(n));
    }
}

void Agent::OnHandshake() {
    switch (tls_->Handshake()) {
        case TlsLink::Status::Done:
            StartRegistering();
            return;
        case TlsLink::Status::WantRead:
        case TlsLink::Status::WantWrite:
            return;
        case TlsLink::Status::Closed:
            Drop(
                "the server closed the connection during the TLS handshake (a directory "
                "server without --cert does so)");
            return;
        case TlsLink::Status::Failed:
            // A wrong server (a mistake in the network or in --server, or someone in between)
            // is no reason to stop: the right one may answer at the next attempt.
            Drop("no TLS with " + options_.server.ToString() + ": " + tls_->error() +
                 " (nothing sent; not stopping)");
            return;
    }
}

void Agent::StartRegistering() {
    link_ = Link::Registering;
    splitter_ = LineSplitter();
    Log(Level::Info,
        "connected to " + options_.server.ToString() +
            (tls_ ? " (" + tls_->version() + ", the server's certificate verified)" : "") +
            "; registering");
    Send(registration_.Start());
}

void Agent::Send(std::string_view bytes) {
    if (out_.size() + bytes.size() > kMaxOutput) {
        Drop("the server does not read what the agent sends");
        return;
    }
    out_ += bytes;
    OnWritable();
}

void Agent::OnReadable() {
    if (tls_) {
        std::string bytes;
        TlsLink::Status status = TlsLink::Status::Done;
        while (sock_ >= 0 && status == TlsLink::Status::Done) {
            bytes.clear();
            status = tls_->Read(bytes);
            OnBytes(bytes);
        }
        if (sock_ >= 0 && exit_status_ < 0 && status == TlsLink::Status::Closed)
            Drop("the server closed the connection");
        else if (sock_ >= 0 && exit_status_ < 0 && status == TlsLink::Status::Failed)
            Drop("connection error: " + tls_->error());
        return;
    }
    char buffer[4096];
    const ssize_t n = ::recv(sock_, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        Drop(n == 0 ? "the server closed the connection"
                    : std::string("connection error: ") + std::strerror(errno));
        return;
    }
    OnBytes({buffer, static_cast<std::size_t>(n)});
}

void Agent::OnBytes(std::string_view bytes) {
    for (const auto& line : splitter_.Feed(bytes)) {
        if (sock_ < 0 || exit_status_ >= 0)
            return;
        if (line.overlong) {
            Log(Level::Warning, "ignoring a line of more than " + std::to_string(kMaxLine) +
                                    " bytes from the server: " + Printable(line.text));
        } else {
            OnLine(line.text);
        }
    }
}

void Agent::OnLine(const std::string& line) {
    using Step = Registration::Outcome::Step;
    Registration::Outcome outcome = registration_.OnLine(line);
    switch (outcome.step) {
        case Step::kNone:
            return;
        case Step::kSend:
            Send(outcome.text);
            return;
        case Step::kRegistered:
            link_ = Link::Registered;
            registered_at_ = Clock::now();
            return;
        case Step::kDrop:
            Drop(outcome.text);
            return;
        case Step::kRefused:
            Finish(kExitRefused);
            return;
        case Step::kConnect:
            OnConnectOrder(outcome.order);
            return;
    }
}

void Agent::Drop(const std::string& why) {
    tls_.reset();
    if (sock_ >= 0)
        ::close(std::exchange(sock_, -1));
    if (link_ == Link::Registered && Clock::now() - registered_at_ >= kStableConnection)
        failures_ = 0;
    link_ = Link::Waiting;
    registration_.Reset();
    out_.clear();
    const auto wait = RetryWait(options_.retry_min, options_.retry_max, failures_, random_);
    failures_ = std::min(failures_ + 1, 62);
    deadline_ = Clock::now() + wait;
    // With several --server options, the next one is tried (several servers act as one).
    options_.server = NextServer(options_, options_.server);
    Log(Level::Warning, why + "; connecting again in " + Seconds(wait));
}

void Agent::Finish(int status) {
    if (exit_status_ >= 0)
        return;
    exit_status_ = status;
    tls_.reset();
    if (sock_ >= 0)
        ::close(std::exchange(sock_, -1));
    for (const auto& session : sessions_) {
        for (const pid_t pid : {session.dialog, session.x11vnc, session.refusal}) {
            if (pid > 0)
                kill(-pid, SIGTERM);
        }
    }
    stop_deadline_ = Clock::now() + kStopGrace;
    if (!sessions_.empty())
        Log(Level::Info, "ending " + Sessions(sessions_.size()) + " still open");
}

}  // namespace talagent
