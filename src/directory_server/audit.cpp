// The audit file's records and the file itself (see audit.h): JSON escaping of bytes, the UTC
// time of each record, and appending whole lines to a descriptor that SIGHUP opens again.
#include "directory_server/audit.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace dirsrv {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The length of the UTF-8 sequence at the front of `bytes`, or 0 when it is not one (overlong
// forms, surrogates and code points past U+10FFFF are not).
std::size_t SequenceLength(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || bytes.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    }
    // The second byte's range that rules out overlongs, surrogates and values past U+10FFFF.
    const unsigned char second = byte(1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

void AppendEscaped(std::string& out, unsigned char byte) {
    out += "\\u00";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t length = SequenceLength(bytes);
        if (length == 0)
            return false;
        bytes.remove_prefix(length);
    }
    return true;
}

std::string JsonString(std::string_view bytes) {
    const bool utf8 = IsUtf8(bytes);
    std::string out = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
            AppendEscaped(out, byte);
        } else {
            out += c;
        }
    }
    return out += '"';
}

AuditRecord::AuditRecord(std::string_view event) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(now.tv_nsec / 1'000'000));
    text_ = std::string("{\"time\":\"") + stamp + "\"";
    Text("event", event);
}

AuditRecord& AuditRecord::Text(std::string_view key, std::string_view value) {
    text_.append(",").append(JsonString(key)).append(":").append(JsonString(value));
    if (!IsUtf8(value)) {
        std::string hex;
        for (const char c : value) {
            hex += kHex[static_cast<unsigned char>(c) >> 4];
            hex += kHex[static_cast<unsigned char>(c) & 0xF];
        }
        text_.append(",").append(JsonString(std::string(key) + "_hex"));
        text_.append(":\"").append(hex).append("\"");
    }
    return *this;
}

AuditRecord& AuditRecord::Number(std::string_view key, std::uint64_t value) {
    text_.append(",").append(JsonString(key)).append(":").append(std::to_string(value));
    return *this;
}

AuditLog::~AuditLog() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string AuditLog::Open() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return "--audit " + path_ + ": " + std::strerror(errno);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    return {};
}

// A regular file takes a line whole (or the disk is full): the one write is not split with
// another's, and the loop is not held up by more than a local write.
bool AuditLog::Write(const AuditRecord& record) {
    const std::string line = record.Line();
    return fd_ >= 0 && ::write(fd_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

}  // namespace dirsrv
