// A small configuration file the server watches by polling (the hosts file, the agent keys
// file): its identity and times are checked, and its bytes read again only when they changed.
// Replacing the file by renaming a new one over it is seen as a change like any other.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace dirsrv {

class WatchedFile {
public:
    // `what` names the file in messages ("hosts file", "agent keys file").
    WatchedFile(std::string path, std::string what)
        : path_(std::move(path)), what_(std::move(what)) {}

    const std::string& path() const { return path_; }

    struct Text {
        std::string bytes;
        mode_t mode = 0;  // the file's permission bits
    };

    // The file's bytes when it changed since the last successful read, nullopt otherwise. With
    // `skip_same_bytes`, a file whose times changed but whose bytes did not (a touch) is not
    // given again. A file that cannot be read (missing, not a regular file, larger than kMaxSize)
    // gives nullopt and sets `error` to why, when that reason is new; the caller keeps what it
    // had.
    std::optional<Text> Poll(std::string& error, bool skip_same_bytes);

    static constexpr std::size_t kMaxSize = 1 << 20;

private:
    struct Identity {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        std::int64_t mtime_ns = 0;
        std::int64_t ctime_ns = 0;
        bool operator==(const Identity&) const = default;
    };

    std::string path_;
    std::string what_;
    std::optional<Identity> loaded_;  // identity of the last successful read
    std::size_t loaded_hash_ = 0;     // and a hash of its bytes, with skip_same_bytes
    std::string last_error_;
};

}  // namespace dirsrv
