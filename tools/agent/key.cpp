// Key file parsing and the challenge's proof (see key.h). The HMAC is OpenSSL's.
#include "key.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace talagent {
namespace {

constexpr std::size_t kMaxKeyFile = 64 * 1024;

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

KeyResult ParseKeyText(std::string_view text, std::string_view name) {
    std::string_view named, bare;
    int named_count = 0, bare_count = 0, line_number = 0;
    while (!text.empty()) {
        const auto lf = text.find('\n');
        const std::string_view line = Trim(text.substr(0, lf));
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        ++line_number;
        if (line.empty() || line.front() == '#')
            continue;
        const auto blank = line.find_last_of(" \t");
        if (blank == std::string_view::npos) {
            bare = line, ++bare_count;
        } else if (Trim(line.substr(0, blank)) == name) {
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
    Key key;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return {{}, "the key holds a character that is not a hex digit"};
        key.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return {std::move(key), {}};
}

int OpenPrivateFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + " is not a regular file";
    } else if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(info.st_mode & 0777));
        error =
            path + " is open to other users (mode " + mode + "); it holds a secret: chmod 600 it";
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
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
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

}  // namespace talagent
