// One session's byte copying between the viewer's and the agent's sockets. The server's event
// loop owns the sockets and calls Pump when epoll reports one of them; Interest says what to wait
// for next. Each direction goes through a pipe with splice(2), so the bytes are never copied
// into the server: the pipe's capacity is the bound on what the server holds per direction, and
// a side is not read while the pipe towards the other side is full (back-pressure).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dirsrv {

class Relay {
public:
    enum Side : int { kViewer = 0, kAgent = 1 };

    Relay() = default;
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Makes the pipes for the sockets `viewer` and `agent` (not owned), each holding about
    // `buffer` bytes. Returns why it could not, or an empty string.
    std::string Open(int viewer, int agent, std::size_t buffer);

    // Bytes sent towards `side` before anything relayed: "ok\n", and what arrived with the
    // "view" line or the ID block. `counted`: whether they count as relayed bytes.
    void Queue(Side toward, std::string_view bytes, bool counted);

    // Moves what can be moved after epoll reported `events` on `side`'s socket. Returns false
    // when the session is over; reason() then says why.
    bool Pump(Side side, std::uint32_t events);

    // The epoll events to wait for on `side`'s socket.
    std::uint32_t Interest(Side side) const;

    // A side has finished sending and what it sent is still on its way to the other side.
    bool HalfClosed() const { return dir_[0].eof || dir_[1].eof; }

    int fd(Side side) const { return fd_[side]; }
    std::size_t capacity() const { return capacity_; }
    std::uint64_t BytesToward(Side side) const { return dir_[1 - side].bytes; }
    const std::string& reason() const { return reason_; }

    // Kept for the session's log line.
    std::string id, name, viewer_peer, agent_peer;
    std::chrono::steady_clock::time_point started, half_closed_at;

private:
    // The bytes read from side `from` on their way to the other side.
    struct Direction {
        int pipe[2] = {-1, -1};
        std::size_t in_pipe = 0;
        std::string head;           // sent before the pipe's bytes
        std::size_t uncounted = 0;  // bytes at the front of head that are not relayed bytes
        bool eof = false;           // the source has finished sending
        bool full = false;          // the pipe took no more although it holds less than capacity
        std::uint64_t bytes = 0;
    };

    bool Transfer(int from);
    bool Fail(int side, int error);

    int fd_[2] = {-1, -1};
    Direction dir_[2];
    std::size_t capacity_ = 0;
    std::string reason_;
};

}  // namespace dirsrv
