// Timestamped log lines on stderr. The server never waits for stderr: once LogWithoutBlocking()
// has been called, a line the descriptor does not take at once is held in a bounded buffer and
// written on a later LogFlush(); lines that do not fit there are dropped, counted, and reported
// in a line of their own when stderr takes lines again. One write per line where it can, so
// lines from a busy server never mix with each other.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_line.h"

namespace dirsrv {

using Level = tools::Level;

void Log(Level level, std::string_view message);

// Makes stderr non-blocking until LogRestore(). Set on stderr's open file, which a shell or
// other processes may share, hence the restore.
void LogWithoutBlocking();
void LogRestore();

// Writes what is held, as far as stderr takes it; the event loop calls this on its tick.
void LogFlush();

// "1 name", "2 names": a count and its noun, as the log lines give them.
std::string Counted(std::size_t count, std::string_view noun);

// "2 lines refused (EXAMPLE; EXAMPLE; ...)": a file read's refused lines, with the first few.
std::string RefusedLines(std::size_t refused, const std::vector<std::string>& examples);

// Log lines held at most while stderr does not take them.
inline constexpr std::size_t kMaxHeldLog = 16 * 1024;

// Lines of one kind that peers could repeat without end (agents coming and going, connections
// closed for bad input). A burst passes, then about one line a second; what is held back is
// counted, and one line at most every kThrottleReport names the kind, the count and the first
// line held back.
class Throttle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kThrottleBurst = 50;
    static constexpr double kThrottlePerSecond = 1;
    static constexpr std::chrono::seconds kThrottleReport{10};

    explicit Throttle(std::string_view kind = {}) : kind_(kind) {}

    void Log(Level level, std::string_view message, Clock::time_point now);
    // Writes the summary of what was held back when one is due, or now when `final`.
    void Report(Clock::time_point now, bool final);

private:
    std::string_view kind_;
    double tokens_ = kThrottleBurst;
    Clock::time_point refilled_{};
    Clock::time_point first_held_{};
    std::size_t held_ = 0;
    std::string example_;
};

}  // namespace dirsrv
