// What both viewers (talviewer with Qt, talviewer.exe on Win32) say to the directory server and
// to the operator, free of Qt and Windows headers: the session request and its one-line reply,
//
//   viewer -> server   "view NAME\n"
//   server -> viewer   "ok\n" | "challenge NONCE\n" | "error not-connected\n" | "error timeout\n"
//                      | "error busy\n" | "error not-authorized\n" | "error forbidden\n"
//                      | "error denied\n" | "error REASON\n"
//   viewer -> server   "operator CERT SIG\n" (the answer to a challenge, common/operator_proof.h)
//
// (after "ok" the same connection carries the remote desktop's RFB stream), the error table
// (message box text and exit status) and the sentence for a core failure. Unit-tested on its own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace talviewer {

// A file of this name beside the viewer allows sessions that are not encrypted, when there is
// no ca.pem beside it: for tests and demos on a trusted network. Without either, the viewer
// opens no session at all rather than an unencrypted one.
inline constexpr std::string_view kAllowPlainFile = "allow-plain-sessions";

// Why a session could not start or ended; the value is the viewer's exit status.
enum class Failure {
    kUsage = 2,             // not started as "talviewer TALVERO-VNC ADDRESS PORT NAME"
    kNotConnected = 3,      // the server knows no agent for NAME right now
    kTimeout = 4,           // the agent did not come, or the session did not start in time
    kBusy = 5,              // the server is at a limit
    kConnectionFailed = 6,  // the server could not be reached, or refused the request
    kSecurity = 7,          // TLS or certificate failure, or a plain session where one must not be
    kWrongPassword = 8,     // VNC authentication failed
    kEnded = 9,             // the remote side closed the session
    kProtocol = 10,         // the remote side sent something this viewer cannot use
    kNoCredentials = 11,    // the server asks for an operator, and there is no usable operator.pem
    kNotAuthorized = 12,    // the server did not accept the operator's certificate
    kForbidden = 13,        // the operator may not open sessions with this machine
    kDenied = 14,           // the person at the machine said no (or the agent could not start)
};

inline int ExitStatus(Failure failure) {
    return static_cast<int>(failure);
}

// What `talviewer --help` prints: how the launcher starts the viewer. UTF-8, ends with LF.
std::string_view UsageText();

// The message box's text: a first sentence for `failure` and machine `name`, then `detail` (if
// any) as a second paragraph. UTF-8.
std::string FailureText(Failure failure, std::string_view name, std::string_view detail);

// The session request: "view NAME\n", answered by one line (after a challenge, by one more).
inline constexpr std::size_t kMaxReplyLine = 256;  // longer is not the directory server's

// Why NAME cannot be asked for (the machine-name rule of common/machine_name.h), as a sentence,
// or nothing.
std::optional<std::string> CheckName(std::string_view name);

// Bytes from the other side for a message: control bytes and non-ASCII as \xHH, so a hostile
// server's escape sequences are shown, not obeyed.
std::string Printable(std::string_view bytes);
std::string ViewRequest(std::string_view name);

enum class ReplyKind {
    kOk,
    kChallenge,
    kNotConnected,
    kTimeout,
    kBusy,
    kNotAuthorized,
    kForbidden,
    kDenied,
    kOtherError,
    kMalformed
};
struct Reply {
    ReplyKind kind = ReplyKind::kMalformed;
    // kChallenge: the nonce (1-128 hex digits); kOtherError: the server's reason;
    // kMalformed: the line, printable
    std::string reason;
};
// One reply line without its LF (a CR before it is allowed).
Reply ParseReply(std::string_view line);

// What a failed session reply means for the operator: the failure and its detail line (empty
// for the rows whose first sentence says it all). Not for kOk.
struct Outcome {
    Failure failure;
    std::string detail;
};
Outcome ReplyOutcome(const Reply& reply);

// The core's reason (a sentence fragment) as the operator reads it. `password_given`: the
// operator typed a password, so an authentication failure means a wrong one.
Outcome CoreFailure(std::string_view reason, bool password_given);

}  // namespace talviewer
