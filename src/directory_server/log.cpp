// The server's log: stderr, one timestamped line per event. Talks only to descriptor 2; the
// event loop calls LogFlush() on its tick so held lines leave once stderr drains.
#include "directory_server/log.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

namespace dirsrv {
namespace {

struct Sink {
    std::string held;  // whole lines stderr has not taken yet, at most kMaxHeldLog bytes
    std::size_t dropped_lines = 0;
    std::size_t dropped_bytes = 0;
    int saved_flags = -1;  // stderr's flags before LogWithoutBlocking, -1 when not changed
};

Sink& sink() {
    static Sink instance;
    return instance;
}

// Writes from the front of `bytes` what stderr takes now; returns how much that was. A stderr
// that is closed or broken takes everything: those lines cannot be kept for anyone.
std::size_t WriteSome(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return bytes.size();
        }
    }
    return done;
}

void Hold(Sink& s, std::string_view line) {
    if (s.held.size() + line.size() > kMaxHeldLog) {
        ++s.dropped_lines;
        s.dropped_bytes += line.size();
        return;
    }
    s.held.append(line);
}

}  // namespace

void Log(Level level, std::string_view message) {
    Sink& s = sink();
    std::string line = tools::LogLineStart(level);
    line += message;
    line += '\n';
    LogFlush();
    if (!s.held.empty()) {
        Hold(s, line);  // behind what is already waiting, to keep the order
        return;
    }
    const std::size_t done = WriteSome(line);
    if (done < line.size())
        Hold(s, std::string_view(line).substr(done));
}

void LogFlush() {
    Sink& s = sink();
    if (!s.held.empty()) {
        s.held.erase(0, WriteSome(s.held));
        if (!s.held.empty())
            return;
        std::string().swap(s.held);
    }
    if (s.dropped_lines == 0)
        return;
    const std::string report =
        tools::LogLineStart(Level::Warning) + Counted(s.dropped_lines, "log line") + " (" +
        Counted(s.dropped_bytes, "byte") + ") dropped: stderr did not take " +
        (s.dropped_lines == 1 ? "it" : "them") + " in time\n";
    s.dropped_lines = 0;
    s.dropped_bytes = 0;
    const std::size_t done = WriteSome(report);
    if (done < report.size())
        s.held.assign(report, done);
}

void LogWithoutBlocking() {
    Sink& s = sink();
    const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
    if (flags < 0 || s.saved_flags >= 0)
        return;
    if (!(flags & O_NONBLOCK) && ::fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK) == 0)
        s.saved_flags = flags;
}

void LogRestore() {
    Sink& s = sink();
    LogFlush();
    if (s.saved_flags >= 0)
        ::fcntl(STDERR_FILENO, F_SETFL, s.saved_flags);
    s.saved_flags = -1;
}

void Throttle::Log(Level level, std::string_view message, Clock::time_point now) {
    if (refilled_ == Clock::time_point{})
        refilled_ = now;
    const double elapsed = std::chrono::duration<double>(now - refilled_).count();
    tokens_ = std::min(kThrottleBurst, tokens_ + elapsed * kThrottlePerSecond);
    refilled_ = now;
    if (tokens_ >= 1) {
        tokens_ -= 1;
        dirsrv::Log(level, message);
        return;
    }
    if (held_++ == 0) {
        first_held_ = now;
        example_.assign(message);
    }
}

void Throttle::Report(Clock::time_point now, bool final) {
    if (held_ == 0 || (!final && now - first_held_ < kThrottleReport))
        return;
    dirsrv::Log(Level::Warning,
                held_ == 1 ? "1 more '" + std::string(kind_) + "' line was not logged: " + example_
                           : std::to_string(held_) + " more '" + std::string(kind_) +
                                 "' lines were not logged, the first: " + example_);
    held_ = 0;
    std::string().swap(example_);
}

std::string Counted(std::size_t count, std::string_view noun) {
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string RefusedLines(std::size_t refused, const std::vector<std::string>& examples) {
    std::string text = Counted(refused, "line") + " refused (";
    for (std::size_t i = 0; i < examples.size(); ++i)
        text += (i ? "; " : "") + examples[i];
    return text + (refused > examples.size() ? "; ...)" : ")");
}

}  // namespace dirsrv
