// The directory server's event loop: one epoll set over non-blocking descriptors, a periodic
// timer and the stop signals (SIGTERM, SIGINT; SIGHUP too when the owner asks for it) as
// descriptors of their own. It knows tokens and descriptors, never what a connection is: the
// server (server.cpp, networking.cpp) registers its listener and hosts reader with a callback
// each, and its connections with tokens that come back to one dispatch function.
//
// Order: each descriptor's events of a batch are handed over as one mask in one call, so the
// owner decides between reading and writing; the connections write before they read
// (networking.cpp, HandleEvent): sending what is owed first makes room under --max-output, so the
// read that follows can take more requests. Descriptors are served in the order epoll reports
// them; once a stop signal is taken, the rest of the batch is left unserved.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dirsrv {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Token = std::uint64_t;
    // Tokens from here on are the owner's (its connections); those below name the descriptors
    // watched with a callback of their own.
    static constexpr Token kFirstOwnerToken = Token{1} << 32;

    EventLoop() = default;
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Ignores SIGPIPE, blocks SIGTERM and SIGINT for the calling thread (they arrive as events),
    // and starts a timer that calls `on_tick` every `tick`. Returns why it could not, or "".
    std::string Open(Clock::duration tick, std::function<void()> on_tick);
    // Before Open: SIGHUP calls `on_hangup` (without it, SIGHUP keeps its default action).
    void OnHangUp(std::function<void()> on_hangup) { on_hangup_ = std::move(on_hangup); }

    // Calls `on_ready` whenever `fd` is readable (level-triggered). Returns why it could not.
    std::string Watch(int fd, std::function<void()> on_ready);

    // A descriptor whose interest its holder changes as it goes (the Redis connections,
    // cluster_redis.cpp): `on_event` gets epoll's mask. It starts with no interest; Detach it
    // before closing it. Its token is not reused within the batch it was detached in, so an
    // event already taken for it never reaches a newcomer.
    Token Attach(int fd, std::function<void(std::uint32_t events)> on_event);
    void Interest(Token token, int fd, std::uint32_t events);
    void Detach(Token token, int fd);

    // The owner's descriptors: their events go to the dispatch function given to Run, with
    // `token` (at least kFirstOwnerToken). A closed descriptor leaves the set by itself.
    bool Add(int fd, Token token, std::uint32_t events);
    void Modify(int fd, Token token, std::uint32_t events);

    // Serves until a stop signal arrives (returns its number) or epoll fails (returns 0).
    int Run(const std::function<void(Token, std::uint32_t events)>& dispatch);

    // The real time of the batch being served.
    Clock::time_point now() const { return now_; }
    // The same time less every stretch in which the loop could not serve (a long stall, the
    // process stopped), so such a stretch never counts as a peer's silence.
    Clock::time_point serving_now() const { return serving_now_; }

private:
    void AdvanceClock(Clock::time_point now);

    int epoll_ = -1;
    int timer_ = -1;
    int signals_ = -1;
    Clock::duration tick_{};
    std::vector<std::function<void(std::uint32_t)>> watched_;  // by token; empty: detached
    std::vector<Token> free_;                                  // detached tokens, free to reuse
    std::vector<Token> released_;  // detached in this batch: free from the next one
    int stop_signal_ = 0;
    std::function<void()> on_hangup_;
    Clock::time_point now_;
    Clock::time_point serving_now_;
};

}  // namespace dirsrv
