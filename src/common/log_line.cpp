// The tools' log line (see log_line.h).
#include "common/log_line.h"

#include <cstdio>
#include <ctime>

namespace tools {

std::string LogLineStart(Level level) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[40];
    const int length = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ ",
                                     utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                     utc.tm_min, utc.tm_sec, now.tv_nsec / 1'000'000);
    std::string line(stamp, static_cast<std::size_t>(length > 0 ? length : 0));
    line += level == Level::Info ? "info: " : level == Level::Warning ? "warning: " : "error: ";
    return line;
}

}  // namespace tools
