// The directory server's reply, as the launcher reads it:
//   bytes 0-1  not interpreted
//   bytes 2-3  status; "ok" means a host list follows
//   byte  4    not interpreted
//   from 5     host names separated by "|"
// The block ends where the received bytes end, or at the first zero byte.
#pragma once

#include <string>
#include <vector>

#include "common/wire.h"

// "server", sent without its terminator; a reply is read 200 bytes at a time.
inline constexpr const char* kListRequest = wire::kListRequest.data();
inline constexpr int kListRequestLength = static_cast<int>(wire::kListRequest.size());
inline constexpr int kReplyBufferSize = static_cast<int>(wire::kMaxReply);

// The entries of one reply: empty when it carries no list (too short, or a
// status other than "ok"); otherwise every piece between separators,
// empty ones included, in the server's order. The separator search steps by
// characters of the active code page, so a "|" that is the second byte of a
// double-byte character does not split.
std::vector<std::string> HostListEntries(const char* received, int receivedLength);
