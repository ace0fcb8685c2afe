// Wire format of the directory server: the requests it reads and the reply it writes.
//
// Clients send the six bytes "server" (no terminator, possibly several in a row, possibly split
// across reads) and get one reply block each. Agents send line-oriented messages:
// "register NAME\n" once (and "proof HEX\n" when the server answers with a challenge), then
// "pong\n" whenever the server has sent them "ping\n", and "declined ID REASON\n" for an order
// they cannot take. A viewer sends "view NAME\n" and gets
// "ok\n" or "error REASON\n"; an agent's session connection starts with the 250-byte ID block.
// After "view" and after the ID block the connection carries the session's bytes, which are not
// parsed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/operator_proof.h"
#include "common/wire.h"

namespace dirsrv {

// The words on the wire are the system's (common/wire.h); with operator checks on, "view NAME\n"
// is answered with "challenge NONCE\n" and the viewer answers "operator CERT SIG\n"
// (common/operator_proof.h).
using wire::kChallengePrefix, wire::kConnectPrefix, wire::kDeclinedPrefix, wire::kErrorBusy,
    wire::kErrorDenied, wire::kErrorFailed, wire::kErrorForbidden, wire::kErrorPrefix,
    wire::kErrorNotAuthorized, wire::kErrorNotConnected, wire::kErrorTimeout, wire::kIdBlockPrefix,
    wire::kIdBlockSize, wire::kListRequest, wire::kMaxIdDigits, wire::kMaxReply,
    wire::kOperatorPrefix, wire::kPing, wire::kProofPrefix, wire::kRefusedPrefix,
    wire::kRegisterPrefix, wire::kRegistered, wire::kReplyHeader, wire::kViewOk, wire::kViewPrefix;

inline constexpr std::size_t kMaxNameLength = kMaxReply - kReplyHeader.size();

// Unparsed input a connection may hold: enough for the longest registration line that can carry
// a valid name, small enough that a slow or hostile peer costs little.
inline constexpr std::size_t kMaxPendingInput = 512;
// The operator's answer carries a certificate: a connection that was challenged may hold this
// much (a certificate of an RSA 4096 key and its signature take about 3 KiB in base64).
inline constexpr std::size_t kMaxOperatorLine = 8192;

enum class MessageKind { ListRequest, Register, Pong, Proof, View, SessionId, Operator, Declined };

struct Message {
    MessageKind kind = MessageKind::ListRequest;
    // Register and View: the name, blanks around it dropped; Proof: the hex digits; SessionId:
    // the ID's digits; Operator: the text after "operator " without its line end; Declined: the
    // ID and the reason, blanks around them dropped. Points into the parsed input.
    std::string_view name;
};

enum class ParseStatus { Message, NeedMore, Bad };

struct ParseResult {
    ParseStatus status = ParseStatus::NeedMore;
    Message message;
    std::size_t consumed = 0;  // bytes of input the caller may drop (also for NeedMore: line ends)
};

// Reads the next message from the front of `input`. Line ends between messages are skipped and
// counted in `consumed`, so "server\n" typed into a terminal works. Never reads past `input`.
ParseResult ParseNext(std::string_view input);

// An agent's "declined ID REASON" split: the session's ID and the viewer's answer for REASON.
// nullopt when the body is not an ID and a reason; a reason this server does not know is
// answered as a failure.
struct Declined {
    std::string_view id;
    std::string_view reply;   // kErrorBusy, kErrorDenied or kErrorFailed
    std::string_view reason;  // as the agent sent it
};
std::optional<Declined> ParseDeclined(std::string_view body);

// Why a host name cannot be listed, or nullopt if it can: the machine-name rule every program
// applies (common/machine_name.h).
std::optional<std::string> CheckName(std::string_view name);

struct Reply {
    std::string bytes;
    std::size_t names_included = 0;
};

// Builds the reply for a list of valid names (the registry chooses which, and their order).
// Names are taken in order while they fit in kMaxReply bytes; the rest are left out. An empty
// list gives "00ok" without the separator, which the launcher shows as an empty list rather than
// as one blank entry.
Reply BuildReply(const std::vector<std::string_view>& names);

// A name made safe for a log line: control bytes and the quote become \xHH, other bytes pass.
std::string Printable(std::string_view bytes);

}  // namespace dirsrv
