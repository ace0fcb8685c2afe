// The viewer's side of the directory server's session request: what talviewer sends first on
// its connection and how it reads the one-line answer. After "ok\n" the same connection carries
// the remote desktop's RFB stream; any other answer ends it.
//
//   viewer -> server   "view NAME\n"
//   server -> viewer   "ok\n" | "error not-connected\n" | "error timeout\n" | "error busy\n"
//                      | "error REASON\n"
//
// Free of Qt so the rules can be tested on their own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace talviewer {

inline constexpr std::string_view kViewPrefix = "view ";
inline constexpr std::string_view kReplyOk = "ok";
inline constexpr std::string_view kReplyErrorPrefix = "error ";
inline constexpr std::string_view kReasonNotConnected = "not-connected";
inline constexpr std::string_view kReasonTimeout = "timeout";
inline constexpr std::string_view kReasonBusy = "busy";
// A reply line longer than this (without its LF) is not the directory server's.
inline constexpr std::size_t kMaxReplyLine = 256;

// Why NAME cannot be asked for, or nothing if it can: it must be non-empty and hold no control
// byte (a line feed would end the request early and start another).
std::optional<std::string> CheckName(std::string_view name);

// "view NAME\n". NAME must have passed CheckName.
std::string ViewRequest(std::string_view name);

enum class ReplyKind { kOk, kNotConnected, kTimeout, kBusy, kOtherError, kMalformed };

struct Reply {
    ReplyKind kind = ReplyKind::kMalformed;
    std::string reason;  // kOtherError: the server's reason; kMalformed: the line, made printable
};

// One reply line, without its LF (a CR before it is allowed).
Reply ParseReply(std::string_view line);

}  // namespace talviewer
