// Timestamped log lines on stderr. The server never waits for stderr: once LogWithoutBlocking()
// has been called, a line the descriptor does not take at once is held in a bounded buffer and
// written on a later LogFlush(); lines that do not fit there are dropped, counted, and reported
// in a line of their own when stderr takes lines again. One write per line where it can, so
// lines from a busy server never mix with each other.
#pragma once

#include <cstddef>
#include <string_view>

namespace dirsrv {

enum class Level { Info, Warning, Error };

void Log(Level level, std::string_view message);

// Makes stderr non-blocking until LogRestore(). Set on stderr's open file, which a shell or
// other processes may share, hence the restore.
void LogWithoutBlocking();
void LogRestore();

// Writes what is held, as far as stderr takes it; the event loop calls this on its tick.
void LogFlush();

// Log lines held at most while stderr does not take them.
inline constexpr std::size_t kMaxHeldLog = 16 * 1024;

}  // namespace dirsrv
