// The static hosts file: one name per line. Text from '#' to the end of a line is a comment;
// blank lines are skipped; blanks around a name are dropped. Names are passed on as bytes, so
// the file may be in any ASCII-compatible code page (EUC-KR, CP949, UTF-8).
//
// A line "NAME = HOST:PORT" lists NAME as well and names a VNC server the directory server can
// reach itself: a viewer's session with NAME is then relayed to HOST:PORT (a dotted IPv4
// address, so that no name look-up holds up the server). A line is of this form when the text
// after its last '=' holds a ':'; any other line is a plain name, as it always was.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory_server/watched_file.h"

namespace dirsrv {

struct DirectTarget {
    std::string name;
    std::uint32_t address = 0;  // host byte order
    std::uint16_t port = 0;
};

struct HostsContent {
    std::vector<std::string> names;     // valid names, sorted by byte value, each once
    std::vector<DirectTarget> direct;   // "NAME = HOST:PORT" lines, sorted by name, each once
    std::size_t refused = 0;            // lines whose name was refused
    std::size_t duplicates = 0;         // valid names that appeared again
    std::vector<std::string> examples;  // the first few "line N: NAME refused: why"
};

inline constexpr std::size_t kRefusedExamples = 3;

// Linear in the size of the text apart from one sort of the names, so a file at the size limit
// holding only short names is read in milliseconds.
HostsContent ParseHosts(std::string_view text);

// Watches one hosts file. A file that cannot be read leaves the caller's list as it was; the
// reason is reported once until it changes.
class HostsFile {
public:
    explicit HostsFile(std::string path) : file_(std::move(path), "hosts file") {}

    const std::string& path() const { return file_.path(); }

    // New content when the file changed since the last successful read, nullopt otherwise
    // (also when only its times changed and its bytes are the same).
    // `error` is set to the reason the file could not be read when that reason is new.
    std::optional<HostsContent> Poll(std::string& error);

    static constexpr std::size_t kMaxSize = WatchedFile::kMaxSize;

private:
    WatchedFile file_;
};

}  // namespace dirsrv
