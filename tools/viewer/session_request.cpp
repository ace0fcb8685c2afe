// The session request's texts and the reading of the server's answer (see session_request.h).
#include "session_request.h"

namespace talviewer {

namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// The bytes of an unexpected line for a message: control bytes and non-ASCII as \xHH.
std::string Printable(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsControl(c) || c >= 0x80) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> CheckName(std::string_view name) {
    if (name.empty()) {
        return "the machine's name is empty";
    }
    for (const char c : name) {
        if (IsControl(static_cast<unsigned char>(c))) {
            return "the machine's name holds a control character";
        }
    }
    return std::nullopt;
}

std::string ViewRequest(std::string_view name) {
    std::string request(kViewPrefix);
    request += name;
    request += '\n';
    return request;
}

Reply ParseReply(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line == kReplyOk) {
        return {ReplyKind::kOk, {}};
    }
    if (line.starts_with(kReplyErrorPrefix)) {
        const std::string_view reason = line.substr(kReplyErrorPrefix.size());
        if (reason == kReasonNotConnected) {
            return {ReplyKind::kNotConnected, {}};
        }
        if (reason == kReasonTimeout) {
            return {ReplyKind::kTimeout, {}};
        }
        if (reason == kReasonBusy) {
            return {ReplyKind::kBusy, {}};
        }
        if (!reason.empty()) {
            return {ReplyKind::kOtherError, Printable(reason)};
        }
    }
    return {ReplyKind::kMalformed, Printable(line)};
}

}  // namespace talviewer
