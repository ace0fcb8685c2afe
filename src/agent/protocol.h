// The agent's side of the directory server's line protocol: the texts it sends, the parser for
// the lines it receives, the line framing, and the strict checks every value from the network
// passes before it goes anywhere near a command line. Pure code: no sockets, no processes; the
// event loop in agent.cpp feeds it bytes and acts on what it returns.
//
//   agent -> server   register NAME\n
//   server -> agent   challenge NONCE\n          (only when the server checks agent keys)
//   agent -> server   proof HEX\n                HEX = HMAC-SHA256(KEY, NONCE), lowercase
//   server -> agent   registered\n | refused REASON\n
//   server -> agent   ping\n                     answered with pong\n
//   server -> agent   connect ID OPERATOR RIGHT\n   (older servers: connect ID [HOST:PORT]\n)
//   agent -> server   declined ID REASON\n        an order it cannot take
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire.h"

namespace talagent {

inline constexpr std::string_view kRegister = wire::kRegisterPrefix;
inline constexpr std::string_view kProof = wire::kProofPrefix;
inline constexpr std::string_view kPong = wire::kPong;
inline constexpr std::string_view kDeclined = wire::kDeclinedPrefix;

// Longest line accepted from the server, without its LF; longer ones are skipped whole.
inline constexpr std::size_t kMaxLine = 512;
// A session ID is decimal digits, at most this many (the server mints 9 or 10).
inline constexpr std::size_t kMaxSessionIdDigits = wire::kMaxIdDigits;
// A challenge's nonce is 1 to this many printable bytes.
inline constexpr std::size_t kMaxNonce = 256;

enum class MessageKind {
    Challenge,   // text = the nonce
    Registered,  //
    Refused,     // text = the reason (may be empty)
    Ping,        //
    Connect,     // id, operator_name, right, and target when the order names one
    Bad,         // text = why the line is not understood
};

struct Endpoint {
    std::string host;  // an IPv4 address in dotted form or a DNS name
    std::uint16_t port = 0;
    std::string ToString() const { return host + ":" + std::to_string(port); }
};

// What a session may do: control takes the operator's keys and mouse, view only shows.
enum class Right { Control, View };

struct Message {
    MessageKind kind = MessageKind::Bad;
    std::string text;
    std::string id;
    std::optional<Endpoint> target;
    // The operator the server proved (the operator-name rule of common/operator_proof.h);
    // empty when the server checks none ("-") or the order is of the older forms.
    std::string operator_name;
    Right right = Right::Control;
};

// One line from the server, without its LF (a CR before it already removed).
Message ParseLine(std::string_view line);

// HOST:PORT with HOST a dotted IPv4 address or a DNS name (letters, digits, '-', '.'; labels of
// 1-63 characters not starting or ending with '-'; at most 253 characters) and PORT 1-65535 in
// plain decimal. Nothing else passes: no IPv6, no blanks, no '+', no shell characters.
std::optional<Endpoint> ParseEndpoint(std::string_view text);

bool IsSessionId(std::string_view text);

// An X display of this machine: ":N" or ":N.S".
bool IsLocalDisplay(std::string_view text);

// A session the agent cannot serve (its display is gone) is refused in x11vnc's place, so that
// the viewer learns why at once: the agent connects to the order's target, sends the ID block
// x11vnc would send and RFB's version, and after the viewer's version the RFB refusal, which
// every viewer shows with its reason.
inline constexpr std::size_t kIdBlockSize = wire::kIdBlockSize;
inline constexpr std::string_view kRfbVersion = "RFB 003.008\n";

// "ID:" and the session ID, padded with NUL bytes to kIdBlockSize.
std::string IdBlock(std::string_view id);

// The refusal that follows the viewer's version: no security types for RFB 3.7 and later (one
// zero byte), security type 0 for 3.3 (four zero bytes); then the reason's length (4 bytes,
// big-endian) and the reason.
std::string RfbRefusal(std::string_view viewer_version, std::string_view reason);

// Cuts the byte stream from the server into lines. A line longer than kMaxLine is not kept: its
// bytes are dropped up to the next LF and the line is reported once as overlong.
class LineSplitter {
public:
    struct Line {
        std::string text;
        bool overlong = false;  // text then holds the line's first bytes, for the log
    };
    std::vector<Line> Feed(std::string_view bytes);

private:
    std::string partial_;
    bool skipping_ = false;
};

}  // namespace talagent
