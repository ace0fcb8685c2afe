// Relay: splice(2) from each socket into its direction's pipe and from the pipe into the other
// socket, never blocking; see relay.h. The server calls Pump from its epoll loop.
#include "relay.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace dirsrv {
namespace {

constexpr const char* kSideNames[] = {"viewer", "agent"};
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
// Read-and-write rounds per call: enough to keep a busy session moving, few enough that one
// session does not hold up the others.
constexpr int kRounds = 8;

}  // namespace

Relay::~Relay() {
    for (auto& d : dir_) {
        for (const int fd : d.pipe) {
            if (fd >= 0)
                ::close(fd);
        }
    }
}

std::string Relay::Open(int viewer, int agent, std::size_t buffer) {
    fd_[kViewer] = viewer;
    fd_[kAgent] = agent;
    for (auto& d : dir_) {
        if (::pipe2(d.pipe, O_NONBLOCK | O_CLOEXEC) != 0)
            return std::string("pipe: ") + std::strerror(errno);
        // The kernel rounds the size up to a power of two pages, and may refuse a large one for
        // a user over its pipe quota: then the pipe keeps the size it has.
        int size = ::fcntl(d.pipe[1], F_SETPIPE_SZ, static_cast<int>(buffer));
        if (size < 0)
            size = ::fcntl(d.pipe[1], F_GETPIPE_SZ);
        if (size <= 0)
            return std::string("pipe size: ") + std::strerror(errno);
        capacity_ = capacity_ ? std::min(capacity_, static_cast<std::size_t>(size))
                              : static_cast<std::size_t>(size);
    }
    return {};
}

void Relay::Queue(Side toward, std::string_view bytes, bool counted) {
    Direction& d = dir_[1 - toward];
    if (!counted && d.head.size() == d.uncounted)
        d.uncounted += bytes.size();
    d.head.append(bytes);
}

bool Relay::Fail(int side, int error) {
    reason_ = std::string(kSideNames[side]) + " connection lost: " + std::strerror(error);
    return false;
}

// Moves bytes from side `from` to the other side: read into the pipe while it has room, send
// what waits in front of it, then the pipe's bytes. Another round only while the last one
// filled the pipe's room and emptied the pipe: a short read means the socket is empty and a
// short write that the other one is full, and asking again would only cost a failed call.
bool Relay::Transfer(int from) {
    Direction& d = dir_[from];
    const int source = fd_[from], sink = fd_[1 - from];
    for (int round = 0; round < kRounds; ++round) {
        bool again = false;
        if (!d.eof && !d.full && d.in_pipe < capacity_) {
            const std::size_t room = capacity_ - d.in_pipe;
            const ssize_t n = ::splice(source, nullptr, d.pipe[1], nullptr, room, kSpliceFlags);
            if (n > 0) {
                d.in_pipe += static_cast<std::size_t>(n);
                again = static_cast<std::size_t>(n) == room;
            } else if (n == 0) {
                d.eof = true;
            } else if (errno == EAGAIN) {
                // Either nothing to read, or the pipe is out of slots for small segments before
                // its byte capacity: stop reading until it has been drained a little.
                d.full = d.in_pipe > 0;
            } else if (errno != EINTR) {
                return Fail(from, errno);
            }
        }
        while (!d.head.empty()) {
            const ssize_t n =
                ::send(sink, d.head.data(), d.head.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    return true;
                return Fail(1 - from, errno);
            }
            const auto sent = static_cast<std::size_t>(n);
            d.bytes += sent > d.uncounted ? sent - d.uncounted : 0;
            d.uncounted -= std::min(d.uncounted, sent);
            d.head.erase(0, sent);
        }
        if (d.in_pipe > 0) {
            const ssize_t n = ::splice(d.pipe[0], nullptr, sink, nullptr, d.in_pipe, kSpliceFlags);
            if (n > 0) {
                d.in_pipe -= static_cast<std::size_t>(n);
                d.bytes += static_cast<std::uint64_t>(n);
                d.full = false;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return Fail(1 - from, errno);
            }
            again = again && d.in_pipe == 0;
        }
        if (!again)
            break;
    }
    return true;
}

bool Relay::Pump(Side side, std::uint32_t events) {
    if (events & EPOLLERR) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_[side], SOL_SOCKET, SO_ERROR, &error, &length);
        return Fail(side, error ? error : ECONNRESET);
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) && !Transfer(side))
        return false;
    if ((events & EPOLLOUT) && !Transfer(1 - side))
        return false;
    if (events & EPOLLHUP) {
        // Reset: nothing more can be sent to it, nor read from it.
        reason_ = std::string(kSideNames[side]) + " connection reset";
        return false;
    }
    for (int from : {kViewer, kAgent}) {
        const Direction& d = dir_[from];
        if (d.eof && d.in_pipe == 0 && d.head.empty()) {
            reason_ = std::string(kSideNames[from]) + " closed";
            return false;
        }
    }
    return true;
}

std::uint32_t Relay::Interest(Side side) const {
    const Direction& out = dir_[side];     // read from this side
    const Direction& in = dir_[1 - side];  // to be sent to this side
    std::uint32_t events = 0;
    if (!out.eof && !out.full && out.in_pipe < capacity_)
        events |= EPOLLIN | EPOLLRDHUP;
    if (!in.head.empty() || in.in_pipe > 0)
        events |= EPOLLOUT;
    return events;
}

}  // namespace dirsrv
