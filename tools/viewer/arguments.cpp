#include "arguments.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace talviewer {

std::string RecordLine(const std::vector<std::string>& args) {
    std::string line = "[";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i)
            line += ',';
        line += '"';
        for (const char c : args[i]) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                line += '\\';
                line += c;
            } else if (byte < 0x20 || byte == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", byte);
                line += escape;
            } else {
                line += c;
            }
        }
        line += '"';
    }
    line += "]\n";
    return line;
}

std::string AppendRecord(const std::string& path, const std::vector<std::string>& args) {
    const std::string line = RecordLine(args);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    const ssize_t written = ::write(fd, line.data(), line.size());
    const int error = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size())) {
        return "cannot write " + path + ": " + (written < 0 ? std::strerror(error) : "short write");
    }
    return {};
}

}  // namespace talviewer
