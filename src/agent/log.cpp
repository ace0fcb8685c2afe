// The agent's log: one line per event on stderr (see log.h).
#include "agent/log.h"

#include <unistd.h>
#include <cstdio>

namespace talagent {

void Log(Level level, std::string_view message) {
    std::string line = tools::LogLineStart(level);
    line += message;
    line += '\n';
    // A full or closed stderr must not stop the agent; the line is simply lost.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
}

std::string Printable(std::string_view bytes, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += static_cast<char>(byte);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        }
    }
    if (bytes.size() > limit)
        out += "...";
    return out;
}

}  // namespace talagent
