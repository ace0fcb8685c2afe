#include "directory_server/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "directory_server/log.h"
#include "directory_server/protocol.h"

namespace dirsrv {
namespace {

// Tokens for the server's own descriptors in epoll data; connections use (generation << 32) | fd
// with a generation of at least 1, so the two never meet.
constexpr std::uint64_t kListenerToken = 1;
constexpr std::uint64_t kTimerToken = 2;
constexpr std::uint64_t kSignalToken = 3;
constexpr std::uint64_t kHostsToken = 4;

constexpr int kAcceptBatch = 64;
// How long a connection closed for bad input may still send before it is cut off.
constexpr std::chrono::seconds kHangUpLinger{2};

std::string Seconds(std::chrono::milliseconds d) {
    const auto ms = d.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03lld", static_cast<long long>(ms % 1000));
        text += fraction;
        while (text.back() == '0')
            text.pop_back();
    }
    return text + " s";
}

std::string Errno(std::string_view what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

Server::Server(Options options) : options_(std::move(options)) {
    relay_memory_.limit = options_.relay_memory;
    if (!options_.hosts_path.empty())
        hosts_ = std::make_unique<HostsReader>(options_.hosts_path);
    if (!options_.agent_keys_path.empty())
        keys_file_.emplace(options_.agent_keys_path);
}

Server::~Server() {
    for (auto& c : by_fd_) {
        if (c)
            ::close(c->fd);
    }
    for (const int fd : {epoll_, listener_, timer_, signals_, spare_fd_}) {
        if (fd >= 0)
            ::close(fd);
    }
    LogRestore();
}

std::string Server::Open() {
    // From here on a stderr nobody reads costs log lines, never service.
    LogWithoutBlocking();
    std::string error = WatchStopSignals();
    if (error.empty()) {
        RaiseFileLimit();
        CheckRelayMemory();
        spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0)
            return Errno("epoll_create1");
        error = Listen();
    }
    if (error.empty())
        error = StartTimer();
    for (const auto& [fd, token] :
         {std::pair{listener_, kListenerToken}, std::pair{timer_, kTimerToken},
          std::pair{signals_, kSignalToken}}) {
        if (!error.empty())
            break;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = token;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
            error = Errno("epoll_ctl");
    }
    if (error.empty() && hosts_ && hosts_->fd() < 0)
        error = "cannot watch the hosts file: no eventfd";
    if (error.empty() && hosts_) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kHostsToken;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, hosts_->fd(), &event) != 0)
            error = Errno("epoll_ctl");
    }
    if (!error.empty())
        return error;

    now_ = Clock::now();
    serving_now_ = now_;
    if (error = LoadAgentKeys(true); !error.empty())
        return error;
    next_hosts_poll_ = now_ + options_.hosts_poll;
    next_ping_ = now_ + options_.ping_interval;
    if (hosts_)
        ApplyHosts(hosts_->ReadNow(), true);
    Log(Level::Info, "listening on " + FormatAddress(options_.listen_address, port_) +
                         (hosts_ ? ", hosts file " + hosts_->path() : ", no hosts file") +
                         "; agents pinged every " + Seconds(options_.ping_interval) +
                         ", dropped after " + Seconds(options_.agent_timeout) + " of silence");
    return {};
}

std::string Server::WatchStopSignals() {
    // A client that vanishes mid-reply must cost an error code, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0)
        return Errno("sigprocmask");
    signals_ = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals_ < 0)
        return Errno("signalfd");
    return {};
}

// Every connection is a descriptor; ask for as many as the hard limit allows.
void Server::RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    constexpr rlim_t kOwnDescriptors = 16;
    // A session holds two pipes besides its two connections.
    const rlim_t wanted = options_.max_connections + 4 * options_.max_sessions + kOwnDescriptors;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < wanted) {
        // Not an error: connections past the limit are refused like those past the maximum.
        Log(Level::Info,
            "the open-file limit of " + std::to_string(limit.rlim_cur) + " leaves room for about " +
                std::to_string(limit.rlim_cur - std::min(limit.rlim_cur, kOwnDescriptors)) +
                " connections (--max-connections " + std::to_string(options_.max_connections) +
                ")");
    }
}

std::string Server::Listen() {
    const std::string where = FormatAddress(options_.listen_address, options_.listen_port);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        return Errno("socket");
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(options_.listen_address);
    address.sin_port = htons(options_.listen_port);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        std::string why = "cannot listen on " + where + ": " + std::strerror(error);
        if (error == EADDRINUSE)
            why += " (is another server running on this port?)";
        return why;
    }
    if (::listen(listener_, SOMAXCONN) != 0)
        return Errno("cannot listen on " + where);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    return {};
}

// Timeouts and the hosts file are checked on a tick fine enough for the shortest of them.
std::string Server::StartTimer() {
    auto tick = std::min({options_.ping_interval, options_.agent_timeout / 4,
                          options_.idle_timeout / 4, Millis(1000)});
    if (hosts_)
        tick = std::min(tick, options_.hosts_poll);
    tick = std::max(tick, Millis(10));
    tick_ = tick;
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_ < 0)
        return Errno("timerfd_create");
    itimerspec period{};
    period.it_interval.tv_sec = static_cast<time_t>(tick.count() / 1000);
    period.it_interval.tv_nsec = static_cast<long>(tick.count() % 1000) * 1'000'000;
    period.it_value = period.it_interval;
    if (timerfd_settime(timer_, 0, &period, nullptr) != 0)
        return Errno("timerfd_settime");
    return {};
}

void Server::Run() {
    epoll_event events[256];
    while (!stopping_) {
        const int count = epoll_wait(epoll_, events, 256, -1);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            Log(Level::Error, Errno("epoll_wait"));
            break;
        }
        AdvanceClock(Clock::now());
        for (int i = 0; i < count && !stopping_; ++i) {
            const std::uint64_t token = events[i].data.u64;
            if (token == kListenerToken) {
                Accept();
            } else if (token == kTimerToken) {
                std::uint64_t expirations = 0;
                if (::read(timer_, &expirations, sizeof expirations) > 0)
                    Tick();
            } else if (token == kHostsToken) {
                if (auto result = hosts_->Take())
                    ApplyHosts(std::move(*result), false);
            } else if (token == kSignalToken) {
                signalfd_siginfo info{};
                if (::read(signals_, &info, sizeof info) == sizeof info) {
                    Log(Level::Info,
                        info.ssi_signo == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM");
                    stopping_ = true;
                }
            } else {
                HandleEvent(token, events[i].events);
            }
        }
    }
    const std::size_t open = open_connections_;
    for (auto& c : by_fd_) {
        if (c)
            Close(*c, "server stopping");
    }
    for (auto& notice : notices_)
        notice.Report(now_, true);
    Log(Level::Info, "stopped; closed " + std::to_string(open) + " connections");
}

// The timer wakes the loop at least every tick, so two batches further apart than a couple of
// ticks mean the loop was busy or the process was stopped. Peers could not be heard meanwhile:
// the serving clock skips that stretch, and a pong that waited in the socket still counts.
void Server::AdvanceClock(Clock::time_point now) {
    const auto step = now - now_;
    serving_now_ += step > 2 * tick_ ? tick_ : step;
    now_ = now;
}

Server::Connection* Server::Find(std::uint64_t token) const {
    // An event may name a connection closed earlier in the same batch whose descriptor has
    // already been reused; the generation tells them apart.
    const auto fd = static_cast<std::size_t>(token & 0xFFFFFFFF);
    const auto generation = static_cast<std::uint32_t>(token >> 32);
    if (fd >= by_fd_.size())
        return nullptr;
    Connection* c = by_fd_[fd].get();
    return c && c->generation == generation ? c : nullptr;
}

void Server::HandleEvent(std::uint64_t token, std::uint32_t mask) {
    Connection* c = Find(token);
    if (!c || SessionEvent(*c, mask))
        return;
    // A hang-up while the connection is not being read would be reported again and again.
    if ((mask & EPOLLERR) || ((mask & EPOLLHUP) && !Reading(*c))) {
        Close(*c, "connection failed");
        return;
    }
    if (mask & EPOLLOUT) {
        Flush(*c);
        c = Find(token);
        if (!c)
            return;
    }
    if (mask & (EPOLLIN | EPOLLHUP | EPOLLRDHUP))
        Read(*c);
}

void Server::Accept() {
    for (int i = 0; i < kAcceptBatch; ++i) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the pending connection would keep the listener readable
                // forever. Give up the spare descriptor to accept it and close it at once.
                Note(kConnectionLimit, Level::Warning,
                     "out of file descriptors; refusing a connection");
                if (spare_fd_ >= 0) {
                    ::close(spare_fd_);
                    const int refused = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (refused >= 0)
                        ::close(refused);
                    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                }
                return;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                Log(Level::Warning, Errno("accept"));
            }
            return;
        }
        const std::uint32_t address = ntohl(peer.sin_addr.s_addr);
        if (const auto it = addresses_.find(address);
            it != addresses_.end() && it->second.count >= options_.max_per_address) {
            ::close(fd);
            Note(kConnectionLimit, Level::Warning,
                 FormatAddress(address, ntohs(peer.sin_port)) + " refused: its address holds " +
                     std::to_string(options_.max_per_address) + " connections already");
            continue;
        }
        if (open_connections_ >= options_.max_connections && !MakeRoom(address)) {
            ::close(fd);
            if (!at_limit_) {
                at_limit_ = true;
                Note(kConnectionLimit, Level::Warning,
                     "connection limit of " + std::to_string(options_.max_connections) +
                         " reached; new connections are closed at once");
            }
            continue;
        }
        Adopt(fd, peer, EPOLLIN | EPOLLRDHUP);
    }
}

// Makes `fd` a connection of the loop; closes it and returns null when epoll will not take it.
Server::Connection* Server::Adopt(int fd, const sockaddr_in& peer, std::uint32_t interest) {
    // Replies are single writes that should leave at once. Keepalive finds the connections
    // of launchers whose machine vanished: they are never closed for being idle; nor are
    // relayed sessions.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    const int idle = 600, interval = 60, probes = 5;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->generation = next_generation_++;
    if (next_generation_ == 0)
        next_generation_ = 1;
    c->peer = peer;
    c->last_heard = serving_now_;
    c->opened = serving_now_;
    c->interest = interest;
    epoll_event event{};
    event.events = c->interest;
    event.data.u64 = Token(*c);
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        Log(Level::Warning, Errno("epoll_ctl"));
        ::close(fd);
        return nullptr;
    }
    if (static_cast<std::size_t>(fd) >= by_fd_.size()) {
        by_fd_.resize(static_cast<std::size_t>(fd) + 1);
    }
    Track(*c);
    Connection* adopted = c.get();
    by_fd_[static_cast<std::size_t>(fd)] = std::move(c);
    ++open_connections_;
    return adopted;
}

// Reads only while the replies the connection has not taken stay under --max-output: a client
// that sends many requests at once is answered as fast as it reads, and one that never reads
// stops being read (its idle timeout then closes it) instead of growing the server's memory.
bool Server::Reading(const Connection& c) const {
    return !c.draining && (c.hanging_up || c.out.size() < options_.max_output);
}

void Server::Read(Connection& c) {
    if (!Reading(c))
        return;
    const ssize_t n = ::recv(c.fd, read_buffer_, sizeof read_buffer_, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        Close(c, "connection lost");
        return;
    }
    if (n == 0) {
        // The peer has finished. Requests that waited for room are still answered; an agent
        // leaves now; the connection closes once every reply is sent.
        c.draining = true;
        if (!c.hanging_up && !c.in.empty() && !HandlePending(c))
            return;
        if (c.is_agent) {
            const std::string name = std::move(c.agent);
            c.is_agent = false;
            if (ForgetAgent(c, name))
                ListChanged("agent " + Printable(name) + " left", kAgentLeft);
        }
        if (c.out.empty()) {
            Close(c, {});
            return;
        }
        UpdateInterest(c);
        return;
    }
    if (c.hanging_up)
        return;  // owed replies are on their way; the rest of the input is not read
    const std::string_view received(read_buffer_, static_cast<std::size_t>(n));
    if (c.in.empty()) {
        HandleInput(c, received);
    } else {
        std::string joined = std::move(c.in);
        c.in.clear();
        joined.append(received);
        HandleInput(c, joined);
    }
}

// Handles complete messages in `data` until the connection owes --max-output bytes, keeps the
// rest in c.in and sends the replies in one write. May close the connection.
void Server::HandleInput(Connection& c, std::string_view data) {
    batch_.clear();
    bool heard = false;
    bool bad = false;
    while (!data.empty() && !bad) {
        if (c.out.size() + batch_.size() >= options_.max_output) {
            // A batch's worth: hand it to the socket, and stop if the socket does not take it.
            if (!c.out.empty())
                break;
            if (!Send(c, batch_)) {
                Close(c, "connection lost");
                return;
            }
            batch_.clear();
            continue;
        }
        const ParseResult r = ParseNext(data);
        if (r.status == ParseStatus::Bad) {
            Note(kBadInput, Level::Info,
                 "closing " + Peer(c) + ": unexpected bytes " + Printable(data.substr(0, 24)));
            bad = true;
            break;
        }
        data.remove_prefix(r.consumed);
        if (r.status == ParseStatus::NeedMore) {
            if (data.size() > kMaxPendingInput) {
                Note(kBadInput, Level::Info,
                     "closing " + Peer(c) + ": more than " + std::to_string(kMaxPendingInput) +
                         " bytes without a complete message");
                bad = true;
            }
            break;
        }
        heard = true;
        bad = !HandleMessage(c, r.message);
        if (switch_ != Switch::None)
            break;
    }
    if (heard)
        c.last_heard = serving_now_;
    if (switch_ != Switch::None && !bad) {
        // From here on the connection carries a session; what came after the line is its data.
        const Switch kind = std::exchange(switch_, Switch::None);
        c.in.clear();
        if (kind == Switch::View) {
            StartView(c, switch_arg_, data);
        } else {
            JoinSession(c, switch_arg_, data);
        }
        return;
    }
    switch_ = Switch::None;
    if (bad) {
        // What the messages before the bad one are owed is sent first, however the input was cut.
        c.in.clear();
        HangUp(c);
        return;
    }
    c.in.assign(data);
    if (!batch_.empty() && !Send(c, batch_))
        Close(c, "connection lost");
}

// False when the connection must be closed; its replies so far are in batch_.
bool Server::HandleMessage(Connection& c, const Message& message) {
    switch (message.kind) {
        case MessageKind::ListRequest:
            c.asked = true;
            batch_ += registry_.reply().bytes;
            return true;
        case MessageKind::Register:
            return HandleRegister(c, message.name);
        case MessageKind::Pong:
            if (!c.is_agent) {
                Note(kBadInput, Level::Info, "closing " + Peer(c) + ": pong before register");
                return false;
            }
            return true;
        case MessageKind::Proof:
            return HandleProof(c, message.name);
        case MessageKind::View:
        case MessageKind::SessionId:
            // Only as the first bytes of a connection: a viewer or a session is nothing else.
            if (c.asked || c.is_agent || !c.nonce.empty()) {
                Note(kBadInput, Level::Info,
                     "closing " + Peer(c) + ": a session request after other requests");
                return false;
            }
            switch_ = message.kind == MessageKind::View ? Switch::View : Switch::SessionId;
            switch_arg_.assign(message.name);
            return true;
    }
    return false;
}

bool Server::HandleRegister(Connection& c, std::string_view name) {
    if (c.is_agent || !c.nonce.empty()) {
        Note(kBadInput, Level::Info, "closing " + Peer(c) + ": a second register");
        return false;
    }
    if (auto why = CheckName(name)) {
        Note(kNameRefused, Level::Warning,
             "refused to register " + Printable(name) + " from " + Peer(c) + ": " + *why);
        batch_ += "refused " + *why + "\n";
        return false;
    }
    if (keys_file_)
        return Challenge(c, name);
    return AcceptAgent(c, name, {});
}

bool Server::AcceptAgent(Connection& c, std::string_view name, std::string key) {
    c.key = std::move(key);
    agents_by_name_[std::string(name)].push_back(Token(c));
    c.agent.assign(name);
    c.is_agent = true;
    if (registry_.AddAgent(name)) {
        ListChanged("agent " + Printable(name) + " registered from " + Peer(c), kAgentJoined);
    } else {
        Note(kAgentJoined, Level::Info,
             "agent " + Printable(name) + " registered from " + Peer(c) + ", already listed");
    }
    batch_ += kRegistered;
    return true;
}

// Sends batch_ (what the connection is owed), then ends the connection: our side is shut once
// everything is sent, and the peer's further input is read and dropped until it closes too (or
// kHangUpLinger passes), so no reset overtakes the replies.
void Server::HangUp(Connection& c) {
    if (c.is_agent) {
        const std::string name = std::move(c.agent);
        c.is_agent = false;
        if (ForgetAgent(c, name))
            ListChanged("agent " + Printable(name) + " left: bad input", kAgentLeft);
    }
    c.hanging_up = true;
    c.hangup_at = serving_now_;
    if (!batch_.empty() && !Send(c, batch_)) {
        Close(c, {});
        return;
    }
    if (c.out.empty())
        ::shutdown(c.fd, SHUT_WR);
    UpdateInterest(c);
}

bool Server::Send(Connection& c, std::string_view bytes) {
    if (c.out.empty()) {
        const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        bytes.remove_prefix(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (bytes.empty())
            return true;
        c.out.assign(bytes);
    } else {
        c.out.append(bytes);
    }
    UpdateInterest(c);
    return true;
}

void Server::Flush(Connection& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EINTR)
                continue;
            Close(c, "connection lost");
            return;
        }
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    // Requests that arrived with others and waited for room are answered before reading on.
    if (!c.hanging_up && !c.in.empty() && c.out.size() < options_.max_output && !HandlePending(c))
        return;
    if (c.out.empty()) {
        // Give back the memory of a burst; an idle connection should cost next to nothing.
        std::string().swap(c.out);
        if (c.draining) {
            Close(c, {});
            return;
        }
        if (c.hanging_up)
            ::shutdown(c.fd, SHUT_WR);
    }
    UpdateInterest(c);
}

// Handles what waits in c.in; false when that closed the connection.
bool Server::HandlePending(Connection& c) {
    const std::uint64_t token =
        (static_cast<std::uint64_t>(c.generation) << 32) | static_cast<std::uint32_t>(c.fd);
    std::string pending = std::move(c.in);
    c.in.clear();
    HandleInput(c, pending);
    return Find(token) != nullptr;
}

// The one place that decides what the loop waits for on a connection, from its state.
void Server::UpdateInterest(Connection& c) {
    // A session's sockets follow their relay; a viewer waiting for its session is not read (what
    // it sends waits in the socket for the session), only its leaving is noticed.
    const std::uint32_t wanted = c.relay              ? c.relay->Interest(c.side)
                                 : c.connecting       ? EPOLLOUT
                                 : !c.session.empty() ? EPOLLRDHUP
                                                      : (Reading(c) ? EPOLLIN | EPOLLRDHUP : 0u) |
                                                            (c.out.empty() ? 0u : EPOLLOUT);
    if (wanted == c.interest)
        return;
    c.interest = wanted;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 =
        (static_cast<std::uint64_t>(c.generation) << 32) | static_cast<std::uint32_t>(c.fd);
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
}

void Server::Close(Connection& c, std::string_view agent_reason) {
    if (c.relay || !c.session.empty()) {
        SessionClosing(c, agent_reason);
        return;
    }
    const int fd = c.fd;
    if (c.is_agent) {
        const std::string name = std::move(c.agent);
        if (ForgetAgent(c, name)) {
            ListChanged("agent " + Printable(name) + " left: " + std::string(agent_reason),
                        kAgentLeft);
        }
    }
    ::close(fd);
    Untrack(c);
    by_fd_[static_cast<std::size_t>(fd)].reset();
    --open_connections_;
    if (at_limit_ && open_connections_ < options_.max_connections) {
        at_limit_ = false;
        Note(kConnectionLimit, Level::Info, "below the connection limit again");
    }
}

void Server::Track(Connection& c) {
    const std::uint32_t address = ntohl(c.peer.sin_addr.s_addr);
    Address& a = addresses_[address];
    busiest_.erase({a.count, address});
    busiest_.insert({++a.count, address});
    c.older = a.newest;
    (a.newest ? a.newest->newer : a.oldest) = &c;
    a.newest = &c;
}

void Server::Untrack(Connection& c) {
    const std::uint32_t address = ntohl(c.peer.sin_addr.s_addr);
    const auto it = addresses_.find(address);
    Address& a = it->second;
    (c.older ? c.older->newer : a.oldest) = c.newer;
    (c.newer ? c.newer->older : a.newest) = c.older;
    busiest_.erase({a.count, address});
    if (--a.count == 0) {
        addresses_.erase(it);
    } else {
        busiest_.insert({a.count, address});
    }
}

// A full server still takes a newcomer when one address holds at least two connections more than
// the newcomer's own: the busiest address gives up its oldest connection with nothing in flight
// (no partial request, no unsent reply). So a host that fills every slot cannot lock the
// launchers out, and a full server of equals is left alone.
bool Server::MakeRoom(std::uint32_t address) {
    if (busiest_.empty())
        return false;
    const auto [count, busiest] = *busiest_.rbegin();
    const auto it = addresses_.find(address);
    if (count < (it == addresses_.end() ? 0 : it->second.count) + 2)
        return false;
    for (Connection* c = addresses_[busiest].oldest; c; c = c->newer) {
        if (c->in.empty() && c->out.empty() && !c->draining && !c->hanging_up && !c->relay &&
            c->session.empty() && !c->connecting) {
            Note(kConnectionLimit, Level::Info,
                 "closing " + Peer(*c) + " to make room: its address holds " +
                     std::to_string(count) + " of " + std::to_string(open_connections_) +
                     " connections");
            Close(*c, "its address had the most connections");
            return true;
        }
    }
    return false;
}

// The launcher holds one connection for its whole run and never reconnects, so a connection
// that has asked and owes or holds nothing is left alone however long it is quiet. Only the
// ones that never asked, stopped mid-request or leave replies unread are closed when idle.
bool Server::Settled(const Connection& c) {
    return c.asked && c.in.empty() && c.out.empty() && !c.draining && !c.hanging_up;
}

void Server::Note(Notice kind, Level level, std::string_view message) {
    notices_[kind].Log(level, message, now_);
}

void Server::Tick() {
    for (auto& notice : notices_)
        notice.Report(now_, false);
    LogFlush();
    if (hosts_ && now_ >= next_hosts_poll_) {
        next_hosts_poll_ = now_ + options_.hosts_poll;
        hosts_->Request();
    }
    if (keys_file_ && now_ >= next_keys_poll_) {
        next_keys_poll_ = now_ + options_.hosts_poll;
        LoadAgentKeys(false);
    }
    TickSessions();
    const bool ping = now_ >= next_ping_;
    if (ping)
        next_ping_ = now_ + options_.ping_interval;
    for (std::size_t fd = 0; fd < by_fd_.size(); ++fd) {
        Connection* c = by_fd_[fd].get();
        // Sessions have time limits of their own (TickSessions); a relayed one has none.
        if (!c || c->relay || !c->session.empty() || c->connecting)
            continue;
        if (!c->asked && c->in.starts_with(kIdBlockPrefix.substr(0, 1)) &&
            serving_now_ - c->opened >= options_.id_timeout) {
            Note(kBadInput, Level::Info,
                 "closing " + Peer(*c) + ": no complete ID block within " +
                     Seconds(options_.id_timeout));
            Close(*c, {});
            continue;
        }
        if (c->hanging_up) {
            if (serving_now_ - c->hangup_at >= kHangUpLinger)
                Close(*c, {});
            continue;
        }
        auto silent = serving_now_ - c->last_heard;
        if (c->is_agent && silent >= options_.agent_timeout) {
            // Its answer may be waiting unread in the socket: take it before judging.
            Read(*c);
            c = by_fd_[fd].get();
            if (!c)
                continue;
            silent = serving_now_ - c->last_heard;
        }
        if (c->is_agent) {
            if (silent >= options_.agent_timeout) {
                Note(kAgentLeft, Level::Info,
                     "agent " + Printable(c->agent) + " at " + Peer(*c) + " did not answer for " +
                         Seconds(options_.agent_timeout));
                Close(*c, "silent");
            } else if (ping && !Send(*c, kPing)) {
                Close(*c, "connection lost");
            }
        } else if (!Settled(*c) && silent >= options_.idle_timeout) {
            if (c->out.empty()) {
                Note(kIdleClosed, Level::Info,
                     "closing " + Peer(*c) + ": idle for " + Seconds(options_.idle_timeout));
            } else {
                Note(kSlowReader, Level::Info,
                     "dropping " + Peer(*c) + ": it has not read its replies for " +
                         Seconds(options_.idle_timeout) + " (" + std::to_string(c->out.size()) +
                         " bytes unsent)");
            }
            Close(*c, {});
        }
    }
}

void Server::ApplyHosts(HostsReader::Result result, bool starting) {
    const std::string& error = result.error;
    auto& content = result.content;
    if (!error.empty()) {
        Log(Level::Warning,
            error + (starting ? "; starting without static names"
                              : "; keeping the last good list of " +
                                    std::to_string(registry_.static_count()) + " names"));
    }
    if (!content)
        return;
    // One line per read however bad the file: counts, and the first few refused lines.
    std::string what = "hosts file " + hosts_->path() + (starting ? " read: " : " re-read: ") +
                       std::to_string(content->names.size()) + " names";
    if (content->duplicates > 0)
        what += ", " + std::to_string(content->duplicates) + " repeated";
    if (content->refused > 0) {
        what += ", " + std::to_string(content->refused) + " lines refused (";
        for (std::size_t i = 0; i < content->examples.size(); ++i)
            what += (i ? "; " : "") + content->examples[i];
        what += content->refused > content->examples.size() ? "; ...)" : ")";
    }
    direct_.clear();
    for (auto& target : content->direct)
        direct_.emplace(target.name, std::move(target));
    const bool changed = registry_.SetStaticNames(std::move(content->names));
    char took[32];
    std::snprintf(took, sizeof took, " in %.1f ms",
                  std::chrono::duration<double, std::milli>(result.took).count());
    what += took;
    if (changed) {
        ListChanged(what);
    } else {
        Log(content->refused > 0 ? Level::Warning : Level::Info, what + "; list unchanged");
    }
}

void Server::ListChanged(std::string_view why, std::optional<Notice> kind) {
    const auto& reply = registry_.reply();
    const std::size_t count = registry_.count();
    std::string line = std::string(why) + "; listing " + std::to_string(count) + " names";
    if (reply.names_included < count) {
        line += "; the reply holds " + std::to_string(reply.names_included) +
                " of them, the rest do not fit in " + std::to_string(kMaxReply) + " bytes";
    }
    const Level level = reply.names_included < count ? Level::Warning : Level::Info;
    if (kind) {
        Note(*kind, level, line);
    } else {
        Log(level, line);
    }
}

bool Server::ForgetAgent(Connection& c, const std::string& name) {
    if (const auto it = agents_by_name_.find(name); it != agents_by_name_.end()) {
        std::erase(it->second, Token(c));
        if (it->second.empty())
            agents_by_name_.erase(it);
    }
    return registry_.RemoveAgent(name);
}

std::string Server::Peer(const Connection& c) const {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &c.peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(c.peer.sin_port));
}

}  // namespace dirsrv
