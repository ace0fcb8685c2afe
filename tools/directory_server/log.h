// Timestamped log lines on stderr, one write per line so lines from a busy server never mix.
#pragma once

#include <string_view>

namespace dirsrv {

enum class Level { Info, Warning, Error };

void Log(Level level, std::string_view message);

}  // namespace dirsrv
