// Timestamped log lines on stderr, one write per line, in the directory server's format: a UTC
// timestamp, the level, the message. Under systemd the lines go to the user's journal.
#pragma once

#include <string>
#include <string_view>

#include "common/log_line.h"

namespace talagent {

using Level = tools::Level;

void Log(Level level, std::string_view message);

// Bytes from the network shown safely: printable ASCII as is, everything else as \xNN, and at
// most `limit` bytes of it (then "...").
std::string Printable(std::string_view bytes, std::size_t limit = 80);

}  // namespace talagent
