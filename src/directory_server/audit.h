// The audit file (--audit FILE): one JSON object per line for every session's start and end,
// every operator refused and every agent registered, for the administrator's records and tools
// (jq, a SIEM). The server (session.cpp, operator_auth.cpp, agent_auth.cpp) builds the records;
// this file only escapes and appends them. The file is opened for appending and opened again on
// SIGHUP, after logrotate has moved it away.
//
// Strings are JSON strings. Machine names are bytes (they may be EUC-KR or CP949): a string that
// is not valid UTF-8 is written with each byte from 0x80 up as \u00XX (the byte's value, as if
// the text were Latin-1) and, beside it, a field KEY_hex with its bytes in hex, which is the
// name exactly; a reader that sees KEY_hex takes that.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dirsrv {

class AuditRecord {
public:
    // {"time":"2026-01-31T12:00:00.000Z","event":EVENT ... with the time now, in UTC.
    explicit AuditRecord(std::string_view event);
    AuditRecord& Text(std::string_view key, std::string_view value);
    AuditRecord& Number(std::string_view key, std::uint64_t value);
    // The whole line, with its closing brace and LF.
    std::string Line() const { return text_ + "}\n"; }

private:
    std::string text_;
};

class AuditLog {
public:
    explicit AuditLog(std::string path) : path_(std::move(path)) {}
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Opens (or, after a rotation, opens again) the file for appending, making it mode 600 when
    // it is new. Returns why it could not, or an empty string; a failed reopen keeps the old file.
    std::string Open();
    // Appends the record in one write, so lines never interleave; false when it was not written.
    bool Write(const AuditRecord& record);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

// `bytes` as a JSON string with its quotes (see above for bytes that are not UTF-8).
std::string JsonString(std::string_view bytes);
bool IsUtf8(std::string_view bytes);

}  // namespace dirsrv
