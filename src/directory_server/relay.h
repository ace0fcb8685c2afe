// One session's byte copying between the viewer's and the agent's sockets. The server's event
// loop owns the sockets and calls Pump when epoll reports one of them; Interest says what to wait
// for next. Each direction goes through a pipe with splice(2), so the bytes are never copied
// into the server: the pipe's capacity is the bound on what the server holds per direction, and
// a side is not read while the pipe towards the other side is full (back-pressure).
//
// Pipes start small. A direction whose pipe keeps being filled in one read (a bulk transfer, for
// which the pipe's size is what limits the bytes moved per call) has its pipe doubled, up to a
// maximum, as long as the pipes of all sessions together stay within RelayMemory's limit; the
// server's periodic tick (GiveBackIdle) shrinks a grown pipe again once its direction has gone
// quiet, and a session's pipes are closed with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "directory_server/access.h"

namespace dirsrv {

// The pipe memory of every session together, as the kernel sizes the pipes. The kernel charges
// pipes to the server's user, and once that user is past its soft quota
// (/proc/sys/fs/pipe-user-pages-soft) new pipes are made with a minimal size and no pipe may
// grow: so pipes grow only while `total` stays within `limit`. Start-size pipes are made
// whatever the total: a session is never refused for this.
struct RelayMemory {
    std::size_t limit = 0;
    std::size_t total = 0;
    std::uint64_t refusals = 0;  // times the kernel refused to grow a pipe
    int last_refusal = 0;        // its errno
};

class Relay {
public:
    enum Side : int { kViewer = 0, kAgent = 1 };
    using Clock = std::chrono::steady_clock;

    Relay() = default;
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Makes the pipes for the sockets `viewer` and `agent` (not owned), each holding about
    // `buffer` bytes and allowed to grow to `largest`, counted in `memory` (which must outlive
    // the relay). Returns why it could not, or an empty string.
    std::string Open(int viewer, int agent, std::size_t buffer, std::size_t largest,
                     RelayMemory& memory);

    // Bytes sent towards `side` before anything relayed: "ok\n", and what arrived with the
    // "view" line or the ID block. `counted`: whether they count as relayed bytes.
    void Queue(Side toward, std::string_view bytes, bool counted);

    // Moves what can be moved after epoll reported `events` on `side`'s socket. Returns false
    // when the session is over; reason() then says why.
    bool Pump(Side side, std::uint32_t events);

    // The epoll events to wait for on `side`'s socket.
    std::uint32_t Interest(Side side) const;

    // Called now and then: a grown pipe whose direction has not filled it for a while, and is
    // empty, goes back to the start size.
    void GiveBackIdle(Clock::time_point now);

    // A side has finished sending and what it sent is still on its way to the other side.
    bool HalfClosed() const { return dir_[0].eof || dir_[1].eof; }

    int fd(Side side) const { return fd_[side]; }
    // The pipe's size towards `side` now, and the largest it has had.
    std::size_t Capacity(Side toward) const { return dir_[1 - toward].capacity; }
    std::size_t Largest(Side toward) const { return dir_[1 - toward].largest; }
    std::uint64_t BytesToward(Side side) const { return dir_[1 - side].bytes; }
    const std::string& reason() const { return reason_; }

    // Kept for the session's log line.
    std::string id, name, viewer_peer, agent_peer;
    Operator who;  // the proven operator and their right
    std::chrono::steady_clock::time_point started, half_closed_at;
    bool handshaken = false;  // both sides have sent what an RFB handshake takes at least

private:
    // The bytes read from side `from` on their way to the other side.
    struct Direction {
        int pipe[2] = {-1, -1};
        std::size_t capacity = 0;  // the pipe's size, as the kernel reports it
        std::size_t start = 0;     // its size when the session started
        std::size_t largest = 0;
        std::size_t in_pipe = 0;
        std::string head;           // sent before the pipe's bytes
        std::size_t uncounted = 0;  // bytes at the front of head that are not relayed bytes
        bool eof = false;           // the source has finished sending
        bool full = false;          // the pipe took no more although it holds less than capacity
        std::uint64_t bytes = 0;
        // Growing: reads in a row that filled the empty pipe; all such reads so far, and as many
        // as GiveBackIdle saw last, with when it saw them change; a refusal by the kernel stops
        // growing until the next GiveBackIdle.
        int fills_in_a_row = 0;
        std::uint64_t fills = 0, fills_seen = 0;
        Clock::time_point busy_at;
        bool refused = false;
    };

    bool Transfer(int from);
    void Grow(Direction& d);
    bool Resize(Direction& d, std::size_t size);
    bool Fail(int side, int error);

    int fd_[2] = {-1, -1};
    Direction dir_[2];
    std::size_t largest_ = 0;
    RelayMemory* memory_ = nullptr;
    std::string reason_;
};

}  // namespace dirsrv
