// The stand-in viewers' record of the command line they were started with:
// written by both viewers (src/viewer, src/viewer/win32) and the tests'
// fake viewer, read by the tests. Free of Qt and of the launcher's code.
//
// A record is one line per start: the whole argv, the program's name first,
// as a JSON-style list of strings, ["talviewer","TALVERO-VNC","127.0.0.1","47010","pc 01"].
// '"' and '\' are escaped with a backslash, control bytes are written as \u00XX,
// every other byte as it came, so the line is JSON when the arguments are UTF-8
// and byte-exact always.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talviewer {

// The four fields a viewer is started with, in order, after the program's name.
inline constexpr const char* kFieldNames[] = {"Marker", "Address", "Port", "Host"};
inline constexpr std::size_t kFieldCount = 4;

using Argv = std::vector<std::string>;

// The record of one start, with its closing newline.
std::string RecordLine(const Argv& argv);

// The argv of one record line (without its newline); nothing when the line
// is not one RecordLine writes.
std::optional<Argv> ParseRecordLine(std::string_view line);

// Appends RecordLine(argv) to `path` in one write, so viewers started
// together never interleave. Returns an error message, or an empty string.
std::string AppendRecord(const std::string& path, const Argv& argv);

// Takes a leading "FLAG VALUE" off `args` and returns VALUE ("" when it is missing); nothing
// when `args` does not start with FLAG. The viewers' options come before the four fields.
std::optional<std::string> TakeOption(Argv& args, std::string_view flag);

// Every record in the file at `path`, in order. A line without its newline
// (a record being written) and a line that is no record are left out; a
// missing file has none.
std::vector<Argv> ReadRecords(const std::string& path);

}  // namespace talviewer
