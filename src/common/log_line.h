// The tools' log line: a UTC timestamp to the millisecond, the level, the message.
#pragma once

#include <string>

namespace tools {

enum class Level { Info, Warning, Error };

// "2026-01-31T12:00:00.000Z info: ", the start of a line logged now.
std::string LogLineStart(Level level);

}  // namespace tools
