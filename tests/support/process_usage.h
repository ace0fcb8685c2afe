// A running process's resident memory and pipes, read from /proc, for the directory server's
// session tests and the relay benchmark (so no test framework).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace process_usage {

inline std::size_t ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stoul(line.substr(6));
    return 0;
}

// The bytes of every pipe a process holds open (what the kernel charges its user), each asked
// through /proc.
inline std::size_t PipeBytes(pid_t pid) {
    std::size_t total = 0;
    std::set<ino_t> seen;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        struct stat st {};
        if (stat(entry.path().c_str(), &st) != 0 || !S_ISFIFO(st.st_mode) ||
            !seen.insert(st.st_ino).second)
            continue;
        const int fd = open(entry.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            total += static_cast<std::size_t>(std::max(0, fcntl(fd, F_GETPIPE_SZ)));
        close(fd);
    }
    return total;
}

}  // namespace process_usage
