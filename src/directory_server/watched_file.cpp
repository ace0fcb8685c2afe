// Polling a configuration file: see watched_file.h.
#include "directory_server/watched_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>

namespace dirsrv {
namespace {

std::int64_t Nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

std::optional<WatchedFile::Text> WatchedFile::Poll(std::string& error, bool skip_same_bytes) {
    error.clear();
    const auto fail = [&](std::string why) -> std::optional<Text> {
        if (why != last_error_)
            error = why;
        last_error_ = std::move(why);
        return std::nullopt;
    };
    const auto describe = [&](const char* what, int code) {
        return what_ + " " + path_ + ": " + what + ": " + std::strerror(code);
    };
    const auto identity = [](const struct stat& st) {
        return Identity{st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim),
                        Nanoseconds(st.st_ctim)};
    };

    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0)
        return fail(describe("cannot read", errno));
    if (loaded_ && *loaded_ == identity(st)) {
        last_error_.clear();
        return std::nullopt;
    }

    // O_NONBLOCK keeps a FIFO put in the file's place from stalling the server.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return fail(describe("cannot open", errno));
    Text text;
    std::string why;
    const std::string too_large =
        what_ + " " + path_ + ": larger than " + std::to_string(kMaxSize) + " bytes";
    if (::fstat(fd, &st) != 0) {
        why = describe("cannot read", errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = what_ + " " + path_ + ": not a regular file";
    } else if (static_cast<std::size_t>(st.st_size) > kMaxSize) {
        why = too_large;
    } else {
        text.mode = st.st_mode & 07777;
        text.bytes.reserve(static_cast<std::size_t>(st.st_size));
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                text.bytes.append(buffer, static_cast<std::size_t>(n));
                if (text.bytes.size() > kMaxSize) {
                    why = too_large;
                    break;
                }
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                why = describe("cannot read", errno);
                break;
            }
        }
    }
    ::close(fd);
    if (!why.empty())
        return fail(std::move(why));
    const bool first = !loaded_;
    loaded_ = identity(st);
    last_error_.clear();
    if (skip_same_bytes) {
        const std::size_t hash = std::hash<std::string_view>()(text.bytes);
        if (!first && hash == loaded_hash_)
            return std::nullopt;
        loaded_hash_ = hash;
    }
    return text;
}

}  // namespace dirsrv
