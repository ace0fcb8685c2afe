// The words the system's programs say to each other over the directory server's port, defined
// once for every side: the launcher and the server (the host list), agents and the server (the
// control connection and the session connection's first bytes), viewers and the server (the
// session request). Header only and portable: the Windows programs include it too.
//
//   launcher -> server   "server" (no terminator)     server -> launcher  "00ok|NAME|NAME..."
//   agent -> server      "register NAME\n", "proof HEX\n", "pong\n"
//   server -> agent      "challenge NONCE\n", "registered\n", "refused REASON\n", "ping\n",
//                        "connect ID OPERATOR RIGHT\n" (older servers: "connect ID [HOST:PORT]\n")
//   agent -> server      "declined ID REASON\n" (an order it cannot take)
//   agent's session      "ID:" + ID, NUL bytes to 250 bytes, then the remote desktop's RFB
//   viewer -> server     "view NAME\n" (and "operator CERT SIG\n" when challenged)
//   server -> viewer     "ok\n" | "challenge NONCE\n" | "error REASON\n"
#pragma once

#include <cstddef>
#include <string_view>

namespace wire {

// The host list.
inline constexpr std::string_view kListRequest = "server";
inline constexpr std::string_view kReplyHeader = "00ok|";
// The launcher reads at most 200 bytes per receive and takes each receive as a whole reply.
inline constexpr std::size_t kMaxReply = 200;

// An agent's control connection.
inline constexpr std::string_view kRegisterPrefix = "register ";
inline constexpr std::string_view kProofPrefix = "proof ";
inline constexpr std::string_view kPong = "pong\n";
inline constexpr std::string_view kChallengePrefix = "challenge ";
inline constexpr std::string_view kRegistered = "registered\n";
inline constexpr std::string_view kRefusedPrefix = "refused ";
inline constexpr std::string_view kPing = "ping\n";
inline constexpr std::string_view kConnectPrefix = "connect ";
// The order's operator and right: the proven operator's name, or this when the server does not
// check operators; what the operator may do with the machine.
inline constexpr std::string_view kAnonymousOperator = "-";
inline constexpr std::string_view kRightControl = "control";
inline constexpr std::string_view kRightView = "view";
// An order the agent cannot take, answered at once: "declined ID REASON\n".
inline constexpr std::string_view kDeclinedPrefix = "declined ";
inline constexpr std::string_view kDeclineBusy = "busy";      // at its --max-sessions
inline constexpr std::string_view kDeclineDenied = "denied";  // the person at the screen said no
inline constexpr std::string_view kDeclineFailed = "failed";  // its VNC server did not start
// A server that takes agents only in TLS refuses a plain "register" with this reason.
inline constexpr std::string_view kRefuseTlsRequired = "tls-required";

// The first bytes of an agent's session connection, as x11vnc's "repeater=ID:<id>+HOST:PORT"
// sends them: "ID:" and 1-20 decimal digits, padded with NUL bytes to exactly 250 bytes.
inline constexpr std::string_view kIdBlockPrefix = "ID:";
inline constexpr std::size_t kIdBlockSize = 250;
inline constexpr std::size_t kMaxIdDigits = 20;

// A viewer's session request and its answers. After "ok\n" the connection is the session.
inline constexpr std::string_view kViewPrefix = "view ";
inline constexpr std::string_view kOperatorPrefix = "operator ";
inline constexpr std::string_view kViewOk = "ok\n";
inline constexpr std::string_view kErrorPrefix = "error ";
inline constexpr std::string_view kErrorNotConnected = "error not-connected\n";
inline constexpr std::string_view kErrorTimeout = "error timeout\n";
inline constexpr std::string_view kErrorBusy = "error busy\n";
// No operator proof, or one that does not hold (bad, foreign, expired or revoked certificate).
inline constexpr std::string_view kErrorNotAuthorized = "error not-authorized\n";
// A proven operator the access file does not allow this machine.
inline constexpr std::string_view kErrorForbidden = "error forbidden\n";
// The agent declined the order: the person at the machine said no, or its VNC server failed.
inline constexpr std::string_view kErrorDenied = "error denied\n";
inline constexpr std::string_view kErrorFailed = "error failed\n";

// A message as a reader compares it once the line is split: without its line end or the blank
// before its argument ("ping\n" -> "ping", "challenge " -> "challenge").
constexpr std::string_view Word(std::string_view message) {
    return message.substr(0, message.size() - 1);
}

}  // namespace wire
