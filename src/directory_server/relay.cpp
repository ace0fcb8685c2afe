// Relay: splice(2) from each socket into its direction's pipe and from the pipe into the other
// socket, never blocking, and the pipes' sizes; see relay.h. The server calls Pump from its epoll
// loop and GiveBackIdle from its tick.
#include "directory_server/relay.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dirsrv {
namespace {

constexpr const char* kSideNames[] = {"viewer", "agent"};
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
// Read-and-write rounds per call, and bytes per call: enough to keep a busy session moving, few
// enough that one session does not hold up the others (a grown pipe moves as much in one round
// as a small one in eight).
constexpr int kRounds = 8;
constexpr std::size_t kBytesPerCall = 1 << 20;
// A pipe doubles after this many reads in a row have filled it from empty: one burst that
// happens to fill it once or twice does not make it grow.
constexpr int kFillsBeforeGrowing = 4;
// A grown pipe that has not been filled for this long goes back to its start size.
constexpr std::chrono::seconds kQuietBeforeShrinking{2};

}  // namespace

Relay::~Relay() {
    for (auto& d : dir_) {
        if (memory_)
            memory_->total -= d.capacity;
        for (const int fd : d.pipe) {
            if (fd >= 0)
                ::close(fd);
        }
    }
}

std::string Relay::Open(int viewer, int agent, std::size_t buffer, std::size_t largest,
                        RelayMemory& memory) {
    fd_[kViewer] = viewer;
    fd_[kAgent] = agent;
    largest_ = largest;
    memory_ = &memory;
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
        d.capacity = d.start = d.largest = static_cast<std::size_t>(size);
        memory.total += d.capacity;
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

// Sets the pipe's size and counts the change; false (errno set) when the kernel refuses, and
// then the pipe keeps the size it has. Growing keeps the bytes in the pipe; shrinking below
// them is refused (EBUSY).
bool Relay::Resize(Direction& d, std::size_t size) {
    const int got = ::fcntl(d.pipe[1], F_SETPIPE_SZ, static_cast<int>(size));
    if (got <= 0)
        return false;
    memory_->total = memory_->total - d.capacity + static_cast<std::size_t>(got);
    d.capacity = static_cast<std::size_t>(got);
    d.largest = std::max(d.largest, d.capacity);
    return true;
}

void Relay::Grow(Direction& d) {
    if (d.refused || d.capacity >= largest_)
        return;
    const std::size_t next = std::min(2 * d.capacity, largest_);
    if (memory_->total - d.capacity + next > memory_->limit)
        return;
    if (!Resize(d, next)) {
        // Over the user's pipe quota (EPERM), typically: go on at this size.
        d.refused = true;
        ++memory_->refusals;
        memory_->last_refusal = errno;
    }
}

void Relay::GiveBackIdle(Clock::time_point now) {
    for (auto& d : dir_) {
        d.refused = false;
        if (d.fills != d.fills_seen) {
            d.fills_seen = d.fills;
            d.busy_at = now;
        } else if (d.capacity > d.start && d.in_pipe == 0 &&
                   now - d.busy_at >= kQuietBeforeShrinking) {
            Resize(d, d.start);  // refused: it stays as it is, and is tried again next time
        }
    }
}

// Moves bytes from side `from` to the other side: read into the pipe while it has room, send
// what waits in front of it, then the pipe's bytes. Another round only while the last one
// filled the pipe's room and emptied the pipe: a short read means the socket is empty and a
// short write that the other one is full, and asking again would only cost a failed call.
bool Relay::Transfer(int from) {
    Direction& d = dir_[from];
    const int source = fd_[from], sink = fd_[1 - from];
    std::size_t moved = 0;
    for (int round = 0; round < kRounds && moved < kBytesPerCall; ++round) {
        bool again = false;
        if (!d.eof && !d.full && d.in_pipe < d.capacity) {
            const std::size_t room = d.capacity - d.in_pipe;
            const bool from_empty = d.in_pipe == 0;
            const ssize_t n = ::splice(source, nullptr, d.pipe[1], nullptr, room, kSpliceFlags);
            if (n > 0) {
                d.in_pipe += static_cast<std::size_t>(n);
                moved += static_cast<std::size_t>(n);
                again = static_cast<std::size_t>(n) == room;
                // A whole pipe's worth in one read, and more may wait: the pipe's size is what
                // limits this direction.
                if (!again) {
                    d.fills_in_a_row = 0;
                } else if (from_empty) {
                    ++d.fills;
                    if (++d.fills_in_a_row >= kFillsBeforeGrowing) {
                        d.fills_in_a_row = 0;
                        Grow(d);
                    }
                }
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
    if (!out.eof && !out.full && out.in_pipe < out.capacity)
        events |= EPOLLIN | EPOLLRDHUP;
    if (!in.head.empty() || in.in_pipe > 0)
        events |= EPOLLOUT;
    return events;
}

}  // namespace dirsrv
