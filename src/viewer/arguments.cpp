// Writing and reading the stand-in viewers' record (see arguments.h): the
// line format is portable; appending in one write is done with the
// platform's own calls, O_APPEND on POSIX and FILE_APPEND_DATA on Windows.
#include "viewer/arguments.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace talviewer {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string RecordLine(const Argv& argv) {
    std::string line = "[";
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i)
            line += ',';
        line += '"';
        for (const char c : argv[i]) {
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

std::optional<Argv> ParseRecordLine(std::string_view line) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']')
        return std::nullopt;
    Argv argv;
    std::size_t i = 1;
    const std::size_t end = line.size() - 1;
    while (i < end) {
        if (!argv.empty() && line[i++] != ',')
            return std::nullopt;
        if (i >= end || line[i++] != '"')
            return std::nullopt;
        std::string& arg = argv.emplace_back();
        for (;;) {
            if (i >= end)
                return std::nullopt;
            const char c = line[i++];
            if (c == '"')
                break;
            if (c != '\\') {
                arg += c;
                continue;
            }
            if (i < end && (line[i] == '"' || line[i] == '\\')) {
                arg += line[i++];
                continue;
            }
            // \u00XX: a control byte.
            const int high = i + 5 <= end ? HexDigit(line[i + 3]) : -1;
            const int low = i + 5 <= end ? HexDigit(line[i + 4]) : -1;
            if (line.substr(i, 3) != "u00" || high < 0 || low < 0)
                return std::nullopt;
            arg += static_cast<char>(high * 16 + low);
            i += 5;
        }
    }
    return argv;
}

std::string AppendRecord(const std::string& path, const Argv& argv) {
    const std::string line = RecordLine(argv);
#ifdef _WIN32
    const HANDLE file =
        CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "cannot open " + path + ": error " + std::to_string(GetLastError());
    DWORD written = 0;
    const bool ok =
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok || written != line.size())
        return "cannot write " + path + (ok ? ": short write" : ": error " + std::to_string(error));
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    const ssize_t written = ::write(fd, line.data(), line.size());
    const int error = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size()))
        return "cannot write " + path + ": " + (written < 0 ? std::strerror(error) : "short write");
#endif
    return {};
}

std::vector<Argv> ReadRecords(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    std::vector<Argv> records;
    for (std::size_t at = 0, newline; (newline = text.find('\n', at)) != std::string::npos;
         at = newline + 1) {
        if (auto argv = ParseRecordLine(std::string_view(text).substr(at, newline - at)))
            records.push_back(std::move(*argv));
    }
    return records;
}

std::optional<std::string> TakeOption(Argv& args, std::string_view flag) {
    if (args.empty() || args[0] != flag) {
        return std::nullopt;
    }
    std::string value = args.size() > 1 ? args[1] : std::string();
    args.erase(args.begin(), args.begin() + std::min<std::ptrdiff_t>(2, std::ssize(args)));
    return value;
}

}  // namespace talviewer
