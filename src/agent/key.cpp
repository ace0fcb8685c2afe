// Key file parsing and the challenge's proof (see key.h); the proof itself is key_proof.h's.
#include "agent/key.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "common/key_proof.h"
#include "common/text.h"

namespace talagent {
namespace {

// What counts as blank around a field.
constexpr std::string_view kBlanks = " \t\r";

constexpr std::size_t kMaxKeyFile = 64 * 1024;

}  // namespace

KeyResult ParseKeyText(std::string_view text, std::string_view name) {
    std::string_view named, bare;
    int named_count = 0, bare_count = 0, line_number = 0;
    while (!text.empty()) {
        const auto lf = text.find('\n');
        const std::string_view line = tools::Trim(text.substr(0, lf), kBlanks);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        ++line_number;
        if (line.empty() || line.front() == '#')
            continue;
        const auto blank = line.find_last_of(" \t");
        if (blank == std::string_view::npos) {
            bare = line, ++bare_count;
        } else if (tools::Trim(line.substr(0, blank), kBlanks) == name) {
            named = line.substr(blank + 1), ++named_count;
        }
    }
    if (named_count > 1)
        return {{}, "more than one line names '" + std::string(name) + "'"};
    if (named_count == 0 && bare_count != 1) {
        return {{},
                bare_count == 0 ? "no line holds a key for '" + std::string(name) + "'"
                                : "more than one line holds a bare key"};
    }
    const std::string_view hex = named_count ? named : bare;
    if (hex.size() % 2 != 0 || hex.size() < 2 * kMinKeyBytes || hex.size() > 2 * kMaxKeyBytes) {
        return {{},
                "the key must be an even number of hex digits for " + std::to_string(kMinKeyBytes) +
                    " to " + std::to_string(kMaxKeyBytes) + " bytes (it has " +
                    std::to_string(hex.size()) + " characters)"};
    }
    const auto bytes = keyproof::FromHex(hex);
    if (!bytes)
        return {{}, "the key holds a character that is not a hex digit"};
    return {Key(bytes->begin(), bytes->end()), {}};
}

KeyResult LoadKeyFile(const std::string& path, std::string_view name) {
    std::string error;
    const int fd = OpenPrivateFile(path, error);
    if (fd < 0)
        return {{}, error};
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxKeyFile)
        text.append(buffer, static_cast<std::size_t>(n));
    const int read_errno = errno;
    ::close(fd);
    if (n < 0)
        return {{}, "cannot read " + path + ": " + std::strerror(read_errno)};
    if (text.size() > kMaxKeyFile)
        return {{}, path + " is larger than 64 KiB; it is not a key file"};
    KeyResult result = ParseKeyText(text, name);
    if (!result.error.empty())
        result.error = path + ": " + result.error;
    return result;
}

std::string Proof(const Key& key, std::string_view nonce) {
    return keyproof::Proof(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()),
                           nonce);
}

}  // namespace talagent
