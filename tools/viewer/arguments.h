// What the stand-in viewer makes of its command line, kept free of Qt so it can be tested alone.
#pragma once

#include <string>
#include <vector>

namespace talviewer {

// The four fields a viewer is started with, in order.
inline constexpr const char* kFieldNames[] = {"Marker", "Address", "Port", "Host"};
inline constexpr std::size_t kFieldCount = 4;

// One line for the record file: the arguments as a JSON-style list of strings.
// '"' and '\' are escaped, control bytes become \u00XX, every other byte is written unchanged,
// so the line is valid JSON whenever the arguments are UTF-8 and byte-exact in any case.
std::string RecordLine(const std::vector<std::string>& args);

// Appends RecordLine(args) to `path` in one write, so concurrent viewers never interleave.
// Returns an error message, or an empty string on success.
std::string AppendRecord(const std::string& path, const std::vector<std::string>& args);

}  // namespace talviewer
