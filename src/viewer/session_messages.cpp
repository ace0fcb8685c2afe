// The viewers' texts and the session request's rules (see session_messages.h).
#include "viewer/session_messages.h"

#include "common/machine_name.h"
#include "common/wire.h"
#include "rfb/security.h"

namespace talviewer {

namespace {

std::string Replace(std::string_view text, std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '1') {
            out += name;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A nonce as the server sends it: hex digits, bounded.
bool IsNonce(std::string_view text) {
    constexpr std::size_t kMaxNonce = 128;
    if (text.empty() || text.size() > kMaxNonce) {
        return false;
    }
    for (const char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool hex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit && !hex) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The bytes of an unexpected line for a message: control bytes and non-ASCII as \xHH, so a
// hostile server's escape sequences are shown, not obeyed.
std::string Printable(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f || c >= 0x80) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string_view UsageText() {
    return "usage: talviewer [-quality auto|lossless|balanced|low] TALVERO-VNC SERVER-ADDRESS\n"
           "                 SERVER-PORT NAME\n"
           "       talviewer --help | --version\n"
           "\n"
           "Shows the desktop of machine NAME, asked for at the directory server\n"
           "SERVER-ADDRESS:SERVER-PORT. The launcher starts it on a double-click in its list.\n"
           "-quality: lossless (best on text), balanced (JPEG, for photos and video), low (for\n"
           "slow links), or auto (the default: chosen by the link's measured speed; View >\n"
           "Quality changes it during the session).\n"
           "ca.pem beside the program is the deployment's CA. Without it a session is opened\n"
           "only when the file allow-plain-sessions is beside the program too, and it is not\n"
           "encrypted.\n"
           "\n"
           "The operator's certificate and key (talpki operator) are read from the file that\n"
           "TALVIEWER_OPERATOR names, else from $XDG_CONFIG_HOME/talviewer/operator.pem\n"
           "($HOME/.config/talviewer/operator.pem), %APPDATA%\\talviewer\\operator.pem on\n"
           "Windows; readable by its owner only. They prove the operator to a server and a\n"
           "machine that ask.\n"
           "\n"
           "Exit status: 0 the session was closed; 1 no password given; 2 wrong arguments;\n"
           "3 NAME is not connected; 4 timeout; 5 busy; 6 no session; 7 not secure;\n"
           "8 wrong password; 9 ended by the other side; 10 not understood; 11 no usable\n"
           "operator certificate; 12 operator not accepted by the server; 13 operator not\n"
           "allowed to reach NAME; 14 refused at the machine.\n";
}

std::string FailureText(Failure failure, std::string_view name, std::string_view detail) {
    std::string_view text;
    switch (failure) {
        case Failure::kUsage:
            text =
                "talviewer is started by the launcher as: talviewer TALVERO-VNC ADDRESS PORT "
                "NAME";
            break;
        case Failure::kNotConnected:
            text =
                "%1 is not connected to the server right now. The support program on that "
                "machine must be running.";
            break;
        case Failure::kTimeout:
            text =
                "%1 did not answer in time. The person there may have declined, or the "
                "machine is slow to respond; try again.";
            break;
        case Failure::kBusy:
            text = "The server is busy and cannot open a session with %1 now.";
            break;
        case Failure::kConnectionFailed:
            text = "Could not open a session with %1.";
            break;
        case Failure::kSecurity:
            text = "The connection to %1 is not secure; it was not opened.";
            break;
        case Failure::kWrongPassword:
            text = "%1 did not accept the password.";
            break;
        case Failure::kEnded:
            text = "The session with %1 has ended.";
            break;
        case Failure::kProtocol:
            text = "%1 sent something this viewer cannot show.";
            break;
        case Failure::kNoCredentials:
            text =
                "The server asks who you are before it opens a session with %1, and this "
                "viewer has no operator certificate to show it.";
            break;
        case Failure::kNotAuthorized:
            text = "The server did not accept your operator certificate for %1.";
            break;
        case Failure::kForbidden:
            text = "You are not allowed to open a session with %1.";
            break;
        case Failure::kDenied:
            text = "%1 did not open the session: the person there declined, or it could not start.";
            break;
    }
    std::string out = Replace(text, name);
    if (!detail.empty()) {
        out += "\n\n";
        out += detail;
    }
    return out;
}

std::optional<std::string> CheckName(std::string_view name) {
    auto why = names::WhyNotAMachineName(name);
    if (why) {
        (*why)[0] = static_cast<char>((*why)[0] - 'a' + 'A');  // a fragment, made a sentence
        *why += '.';
    }
    return why;
}

std::string ViewRequest(std::string_view name) {
    std::string request(wire::kViewPrefix);
    request += name;
    request += '\n';
    return request;
}

Reply ParseReply(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line == wire::Word(wire::kViewOk)) {
        return {ReplyKind::kOk, {}};
    }
    if (line == wire::Word(wire::kErrorNotConnected)) {
        return {ReplyKind::kNotConnected, {}};
    }
    if (line == wire::Word(wire::kErrorTimeout)) {
        return {ReplyKind::kTimeout, {}};
    }
    if (line == wire::Word(wire::kErrorBusy)) {
        return {ReplyKind::kBusy, {}};
    }
    if (line == wire::Word(wire::kErrorNotAuthorized)) {
        return {ReplyKind::kNotAuthorized, {}};
    }
    if (line == wire::Word(wire::kErrorForbidden)) {
        return {ReplyKind::kForbidden, {}};
    }
    if (line == wire::Word(wire::kErrorDenied) || line == wire::Word(wire::kErrorFailed)) {
        return {ReplyKind::kDenied, {}};
    }
    if (StartsWith(line, wire::kChallengePrefix) &&
        IsNonce(line.substr(wire::kChallengePrefix.size()))) {
        return {ReplyKind::kChallenge, std::string(line.substr(wire::kChallengePrefix.size()))};
    }
    if (StartsWith(line, wire::kErrorPrefix) && line.size() > wire::kErrorPrefix.size()) {
        const std::string_view reason = line.substr(wire::kErrorPrefix.size());
        return {ReplyKind::kOtherError, Printable(reason)};
    }
    return {ReplyKind::kMalformed, Printable(line)};
}

Outcome ReplyOutcome(const Reply& reply) {
    switch (reply.kind) {
        case ReplyKind::kNotConnected:
            return {Failure::kNotConnected, {}};
        case ReplyKind::kTimeout:
            return {Failure::kTimeout, {}};
        case ReplyKind::kBusy:
            return {Failure::kBusy, {}};
        case ReplyKind::kNotAuthorized:
            return {Failure::kNotAuthorized,
                    "It may be missing, expired or revoked, or issued by another deployment's "
                    "CA; ask your administrator for a new one."};
        case ReplyKind::kForbidden:
            return {Failure::kForbidden,
                    "Your operator certificate was accepted, but the "
                    "server's access list does not include this machine."};
        case ReplyKind::kDenied:
            return {Failure::kDenied, {}};
        case ReplyKind::kOtherError:
            return {Failure::kConnectionFailed, "The server answered: " + reply.reason};
        case ReplyKind::kOk:
        case ReplyKind::kChallenge:
        case ReplyKind::kMalformed:
            break;
    }
    return {Failure::kConnectionFailed,
            "The server's answer was not understood: \"" + reply.reason + "\""};
}

Outcome CoreFailure(std::string_view reason, bool password_given) {
    std::string detail(reason);
    if (!detail.empty()) {
        if (detail[0] >= 'a' && detail[0] <= 'z') {
            detail[0] = static_cast<char>(detail[0] - 'a' + 'A');
        }
        detail += '.';
    }
    if (StartsWith(reason, "authentication failed") ||
        StartsWith(reason, "too many authentication attempts")) {
        return {password_given ? Failure::kWrongPassword : Failure::kConnectionFailed, detail};
    }
    // The server offers no security this viewer accepts (only plain, only anonymous TLS, or
    // types it does not speak): the session would not be secure, so it was not opened.
    if (StartsWith(reason, rfb::kSecurityRefusalStart)) {
        return {Failure::kSecurity, detail};
    }
    // A refusal before any authentication, with the remote side's reason (a machine whose
    // desktop is gone says so this way): the session could not be opened, nothing was garbled.
    if (StartsWith(reason, "the server refused the connection")) {
        return {Failure::kConnectionFailed, detail};
    }
    return {Failure::kProtocol, detail};
}

}  // namespace talviewer
