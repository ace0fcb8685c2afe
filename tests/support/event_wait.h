// Waiting in tests without sleeping blindly: the Qt event loop keeps running
// (socket events, posted calls, timers) while a condition is polled.
#pragma once

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <functional>

namespace test_support {

using namespace std::chrono_literals;

// Runs the event loop for `duration`, idle in between (no polling).
inline void RunEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds or `timeout` has passed (generous:
// the tests run on loaded two-core machines and under sanitizers); returns
// whether it holds.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !done(); RunEventLoopFor(5ms))
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

// Runs the event loop for `duration`; returns the CPU time the process used
// meanwhile, in seconds.
inline double CpuSecondsWhileRunningFor(std::chrono::milliseconds duration) {
    const std::clock_t before = std::clock();
    RunEventLoopFor(duration);
    return double(std::clock() - before) / CLOCKS_PER_SEC;
}

}  // namespace test_support
