// The directory server's event loop (event_loop.h): epoll, a timerfd for the tick and a signalfd
// for the stop signals. The server's connections and policy are in networking.cpp and
// server.cpp; this file only waits and dispatches.
#include "directory_server/event_loop.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

namespace dirsrv {
namespace {

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

EventLoop::~EventLoop() {
    for (const int fd : {epoll_, timer_, signals_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

std::string EventLoop::Open(Clock::duration tick, std::function<void()> on_tick) {
    // A client that vanishes mid-reply must cost an error code, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    if (on_hangup_)
        sigaddset(&stop_signals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0)
        return Errno("sigprocmask");
    signals_ = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals_ < 0)
        return Errno("signalfd");
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0)
        return Errno("epoll_create1");
    tick_ = tick;
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_ < 0)
        return Errno("timerfd_create");
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(tick).count();
    itimerspec period{};
    period.it_interval.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    period.it_interval.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    period.it_value = period.it_interval;
    if (timerfd_settime(timer_, 0, &period, nullptr) != 0)
        return Errno("timerfd_settime");
    now_ = serving_now_ = Clock::now();
    std::string error = Watch(timer_, [this, on_tick = std::move(on_tick)] {
        std::uint64_t expirations = 0;
        if (::read(timer_, &expirations, sizeof expirations) > 0)
            on_tick();
    });
    if (error.empty()) {
        error = Watch(signals_, [this] {
            signalfd_siginfo info{};
            if (::read(signals_, &info, sizeof info) != sizeof info)
                return;
            if (info.ssi_signo == SIGHUP) {
                on_hangup_();
            } else {
                stop_signal_ = static_cast<int>(info.ssi_signo);
            }
        });
    }
    return error;
}

std::string EventLoop::Watch(int fd, std::function<void()> on_ready) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = watched_.size();
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
        return Errno("epoll_ctl");
    watched_.push_back([on_ready = std::move(on_ready)](std::uint32_t) { on_ready(); });
    return {};
}

EventLoop::Token EventLoop::Attach(int fd, std::function<void(std::uint32_t)> on_event) {
    Token token = watched_.size();
    if (!free_.empty()) {
        token = free_.back();
        free_.pop_back();
        watched_[token] = std::move(on_event);
    } else {
        watched_.push_back(std::move(on_event));
    }
    epoll_event event{};
    event.data.u64 = token;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    return token;
}

void EventLoop::Interest(Token token, int fd, std::uint32_t events) {
    Modify(fd, token, events);
}

void EventLoop::Detach(Token token, int fd) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watched_[token] = nullptr;
    released_.push_back(token);
}

bool EventLoop::Add(int fd, Token token, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
}

void EventLoop::Modify(int fd, Token token, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
}

int EventLoop::Run(const std::function<void(Token, std::uint32_t)>& dispatch) {
    constexpr int kBatch = 256;
    epoll_event events[kBatch];
    while (stop_signal_ == 0) {
        const int count = epoll_wait(epoll_, events, kBatch, -1);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        AdvanceClock(Clock::now());
        free_.insert(free_.end(), released_.begin(), released_.end());
        released_.clear();
        for (int i = 0; i < count && stop_signal_ == 0; ++i) {
            const Token token = events[i].data.u64;
            if (token < kFirstOwnerToken) {
                // A copy: the callback may detach its own descriptor.
                if (auto on_event = watched_[token])
                    on_event(events[i].events);
            } else {
                dispatch(token, events[i].events);
            }
        }
    }
    return stop_signal_;
}

// The timer wakes the loop at least every tick, so two batches further apart than a couple of
// ticks mean the loop was busy or the process was stopped. Peers could not be heard meanwhile:
// the serving clock skips that stretch, and a pong that waited in the socket still counts.
void EventLoop::AdvanceClock(Clock::time_point now) {
    const auto step = now - now_;
    serving_now_ += step > 2 * tick_ ? tick_ : step;
    now_ = now;
}

}  // namespace dirsrv
