// What a running process holds, read from /proc: its resident memory and the pipes it keeps
// open. Shared by the directory server's session tests and the relay benchmark; no test
// framework, so the benchmark can use it too.
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

// The capacity of every pipe a process holds open, in bytes: what the kernel charges to its user.
// Each pipe is opened once more through /proc to ask its size.
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
