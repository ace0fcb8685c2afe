// The directory server's connections as sockets: listening, accepting within the limits per
// address and in all, reading, sending replies with back-pressure, hanging up after bad input,
// closing, TLS on agents' control connections (tls.h), and the one function that decides what
// the loop waits for on each. The event loop
// (event_loop.cpp) reports their events here; what the bytes mean is server.cpp's, and a session's
// sockets go to session.cpp.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "directory_server/server.h"

namespace dirsrv {
namespace {

constexpr int kAcceptBatch = 64;

std::string Errno(std::string_view what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

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
    return loop_.Watch(listener_, [this] { Accept(); });
}

Connection* Server::Find(std::uint64_t token) const {
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
    // Writes first: what leaves makes room under --max-output for the requests read next.
    if (mask & EPOLLOUT) {
        Flush(*c);
        c = Find(token);
        if (!c)
            return;
    }
    // OpenSSL may need the socket's other readiness for a read (or a write): a TLS connection
    // is read on every event, which costs one call that finds nothing.
    if ((mask & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) || c->tls)
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
                     Counted(options_.max_per_address, "connection") + " already");
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
Connection* Server::Adopt(int fd, const sockaddr_in& peer, std::uint32_t interest) {
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
    c->last_heard = loop_.serving_now();
    c->opened = loop_.serving_now();
    c->interest = interest;
    if (!loop_.Add(fd, c->token(), interest)) {
        Log(Level::Warning, Errno("epoll_ctl"));
        ::close(fd);
        return nullptr;
    }
    if (static_cast<std::size_t>(fd) >= by_fd_.size())
        by_fd_.resize(static_cast<std::size_t>(fd) + 1);
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
    const std::uint64_t token = c.token();
    // OpenSSL may hold plaintext of a record it has read that epoll will not report: read on.
    for (Connection* p = &c;
         ReadOnce(*p) && (p = Find(token)) && p->tls && p->tls->Pending() > 0;) {
    }
}

// One read and what it brought; true when it brought bytes (the connection may be gone since).
bool Server::ReadOnce(Connection& c) {
    if (!Reading(c))
        return false;
    if (!c.sniffed) {
        // The first byte tells an agent's TLS from the plain protocol, before anything is read.
        unsigned char first = 0;
        if (::recv(c.fd, &first, 1, MSG_PEEK) == 1) {
            c.sniffed = true;
            if (first == kTlsHandshakeRecord && !StartTls(c))
                return false;
        }
    }
    if (c.tls && c.tls->Handshaking() && !ContinueHandshake(c))
        return false;
    ssize_t n = 0;
    if (c.tls) {
        const auto io = c.tls->Read(read_buffer_, sizeof read_buffer_);
        if (io.status == TlsStream::Status::kFailed) {
            Note(kBadInput, Level::Info, "closing " + Peer(c) + ": TLS " + c.tls->error());
            Close(c, "connection lost");
            return false;
        }
        if (io.bytes == 0 && io.status != TlsStream::Status::kClosed) {
            UpdateInterest(c);
            return false;
        }
        n = static_cast<ssize_t>(io.bytes);
    } else {
        n = ::recv(c.fd, read_buffer_, sizeof read_buffer_, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return false;
            Close(c, "connection lost");
            return false;
        }
    }
    if (n == 0) {
        // The peer has finished. Requests that waited for room are still answered; an agent
        // leaves now; the connection closes once every reply is sent.
        c.draining = true;
        if (!c.hanging_up && !c.in.empty() && !HandlePending(c))
            return false;
        AgentLeaves(c, {});
        if (c.out.empty()) {
            Close(c, {});
            return false;
        }
        UpdateInterest(c);
        return false;
    }
    if (c.hanging_up)
        return true;  // owed replies are on their way; the rest of the input is not read
    const std::string_view received(read_buffer_, static_cast<std::size_t>(n));
    if (c.in.empty()) {
        HandleInput(c, received);
    } else {
        std::string joined = std::move(c.in);
        c.in.clear();
        joined.append(received);
        HandleInput(c, joined);
    }
    return true;
}

// Sends `owed` (what the connection is owed), then ends the connection: our side is shut once
// everything is sent, and the peer's further input is read and dropped until it closes too (or
// the linger passes: Tick), so no reset overtakes the replies.
void Server::HangUp(Connection& c, std::string_view owed) {
    AgentLeaves(c, "bad input");
    c.hanging_up = true;
    c.hangup_at = loop_.serving_now();
    if (!owed.empty() && !Send(c, owed)) {
        Close(c, {});
        return;
    }
    if (c.out.empty())
        ShutOutput(c);
    UpdateInterest(c);
}

// Our side is done: a TLS connection says so in TLS first, so the agent reads a clean end.
void Server::ShutOutput(Connection& c) {
    if (c.tls)
        c.tls->Shutdown();
    ::shutdown(c.fd, SHUT_WR);
}

std::ptrdiff_t Server::Transmit(Connection& c, std::string_view bytes) {
    if (c.tls) {
        if (c.tls->Handshaking())
            return 0;  // sent once the handshake is complete
        const auto io = c.tls->Write(bytes);
        const bool dead =
            io.status == TlsStream::Status::kFailed || io.status == TlsStream::Status::kClosed;
        return dead ? -1 : static_cast<std::ptrdiff_t>(io.bytes);
    }
    for (;;) {
        const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool Server::Send(Connection& c, std::string_view bytes) {
    if (c.out.empty()) {
        const std::ptrdiff_t n = Transmit(c, bytes);
        if (n < 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
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
        const std::ptrdiff_t n = Transmit(c, c.out);
        if (n < 0) {
            Close(c, "connection lost");
            return;
        }
        if (n == 0)
            break;
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
            ShutOutput(c);
    }
    UpdateInterest(c);
}

// Handles what waits in c.in; false when that closed the connection.
bool Server::HandlePending(Connection& c) {
    const std::uint64_t token = c.token();
    std::string pending = std::move(c.in);
    c.in.clear();
    HandleInput(c, pending);
    return Find(token) != nullptr;
}

// The one place that decides what the loop waits for on a connection, from its state.
void Server::UpdateInterest(Connection& c) {
    // A session's sockets follow their relay; a viewer waiting for its session is not read (what
    // it sends waits in the socket for the session), only its leaving is noticed.
    std::uint32_t wanted = 0;
    if (const auto* relayed = c.as<Connection::Relayed>()) {
        wanted = relayed->relay->Interest(relayed->side);
    } else if (c.as<Connection::Outgoing>()) {
        wanted = EPOLLOUT;
    } else if (c.as<Connection::Viewer>()) {
        wanted = EPOLLRDHUP;
    } else if (c.tls && c.tls->Handshaking()) {
        wanted = (c.tls->WaitsToWrite() ? EPOLLOUT : EPOLLIN) | EPOLLRDHUP;
    } else {
        wanted = (Reading(c) ? EPOLLIN | EPOLLRDHUP : 0u) | (c.out.empty() ? 0u : EPOLLOUT);
        // OpenSSL's read may wait for the socket to take bytes, its write for bytes to come.
        if (c.tls && c.tls->WaitsToWrite())
            wanted |= EPOLLOUT;
        if (c.tls && c.tls->WaitsToRead() && !c.out.empty())
            wanted |= EPOLLIN;
    }
    if (wanted == c.interest)
        return;
    c.interest = wanted;
    loop_.Modify(c.fd, c.token(), wanted);
}

void Server::Close(Connection& c, std::string_view agent_reason) {
    if (c.InSession()) {
        SessionClosing(c, agent_reason);
        return;
    }
    const int fd = c.fd;
    AgentLeaves(c, agent_reason);
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
// (no partial request, no unsent reply, no session). So a host that fills every slot cannot lock
// the launchers out, and a full server of equals is left alone.
bool Server::MakeRoom(std::uint32_t address) {
    if (busiest_.empty())
        return false;
    const auto [count, busiest] = *busiest_.rbegin();
    const auto it = addresses_.find(address);
    if (count < (it == addresses_.end() ? 0 : it->second.count) + 2)
        return false;
    for (Connection* c = addresses_[busiest].oldest; c; c = c->newer) {
        if (c->in.empty() && c->out.empty() && !c->draining && !c->hanging_up && !c->InSession()) {
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

// A connection that opened with a TLS handshake record: an agent's control connection in TLS.
// False when it was closed.
bool Server::StartTls(Connection& c) {
    if (!tls_) {
        Note(kBadInput, Level::Warning,
             "closing " + Peer(c) +
                 ": it opens TLS, and this server has no --cert to take agents' TLS connections");
        Close(c, {});
        return false;
    }
    c.tls = tls_->Accept(c.fd);
    if (!c.tls) {
        Log(Level::Error, "OpenSSL cannot take a TLS connection; closing " + Peer(c));
        Close(c, {});
        return false;
    }
    return true;
}

// Goes on with the handshake (bounded by --auth-timeout: TickConnection); true once it is
// complete, false while it waits or when it failed (and the connection was closed).
bool Server::ContinueHandshake(Connection& c) {
    switch (c.tls->Handshake()) {
        case TlsStream::Status::kDone:
            UpdateInterest(c);
            return true;
        case TlsStream::Status::kWantRead:
        case TlsStream::Status::kWantWrite:
            UpdateInterest(c);
            return false;
        default:
            Note(kBadInput, Level::Info,
                 "closing " + Peer(c) + ": TLS handshake failed: " + c.tls->error());
            Close(c, {});
            return false;
    }
}

std::string Server::Peer(const Connection& c) const {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &c.peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(c.peer.sin_port));
}

}  // namespace dirsrv
