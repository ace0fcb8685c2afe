#include "protocol.h"

#include <algorithm>
#include <cstdio>

namespace dirsrv {
namespace {

constexpr std::string_view kPongLine = "pong";

bool IsPrefixOf(std::string_view input, std::string_view word) {
    return input.size() < word.size() && word.substr(0, input.size()) == input;
}

std::string_view TrimBlanks(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// The rest of a line after `prefix`, without its line end; nullopt while the line is incomplete.
// `line_length` receives the bytes up to and including the '\n'.
std::optional<std::string_view> LineBody(std::string_view input, std::size_t prefix,
                                         std::size_t& line_length) {
    const auto end = input.find('\n', prefix);
    if (end == std::string_view::npos)
        return std::nullopt;
    line_length = end + 1;
    std::string_view body = input.substr(prefix, end - prefix);
    if (!body.empty() && body.back() == '\r')
        body.remove_suffix(1);
    return body;
}

}  // namespace

ParseResult ParseNext(std::string_view input) {
    ParseResult result;
    std::size_t skipped = 0;
    while (skipped < input.size() && (input[skipped] == '\n' || input[skipped] == '\r'))
        ++skipped;
    input.remove_prefix(skipped);
    result.consumed = skipped;
    if (input.empty())
        return result;

    if (input.starts_with(kListRequest)) {
        result.status = ParseStatus::Message;
        result.message.kind = MessageKind::ListRequest;
        result.consumed += kListRequest.size();
        return result;
    }
    std::size_t line_length = 0;
    if (input.starts_with(kRegisterPrefix)) {
        const auto body = LineBody(input, kRegisterPrefix.size(), line_length);
        if (!body)
            return result;
        result.status = ParseStatus::Message;
        result.message = {MessageKind::Register, TrimBlanks(*body)};
        result.consumed += line_length;
        return result;
    }
    if (input.starts_with(kPongLine)) {
        const auto body = LineBody(input, kPongLine.size(), line_length);
        if (!body) {
            // "pong" followed by anything but an (as yet incomplete) line end is not a pong.
            const auto rest = input.substr(kPongLine.size());
            if (rest.empty() || rest == "\r")
                return result;
            result.status = ParseStatus::Bad;
            return result;
        }
        if (!body->empty()) {
            result.status = ParseStatus::Bad;
            return result;
        }
        result.status = ParseStatus::Message;
        result.message.kind = MessageKind::Pong;
        result.consumed += line_length;
        return result;
    }
    if (IsPrefixOf(input, kListRequest) || IsPrefixOf(input, kRegisterPrefix) ||
        IsPrefixOf(input, kPongLine)) {
        return result;
    }
    result.status = ParseStatus::Bad;
    return result;
}

std::optional<std::string> CheckName(std::string_view name) {
    if (name.empty())
        return "the name is empty";
    if (name.size() > kMaxNameLength) {
        return "the name is " + std::to_string(name.size()) + " bytes long; at most " +
               std::to_string(kMaxNameLength) + " fit in a reply";
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '|')
            return "the name contains '|', the reply's separator";
        if (byte == 0)
            return "the name contains a NUL byte";
        if (byte < 0x20 || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", byte);
            return std::string("the name contains the control byte ") + hex;
        }
    }
    return std::nullopt;
}

Reply BuildReply(const std::vector<std::string>& sorted_names) {
    Reply reply;
    reply.bytes.reserve(kMaxReply);
    reply.bytes.assign(kReplyHeader);
    for (const auto& name : sorted_names) {
        const std::size_t separator = reply.names_included == 0 ? 0 : 1;
        if (reply.bytes.size() + separator + name.size() > kMaxReply)
            break;
        if (separator)
            reply.bytes += '|';
        reply.bytes += name;
        ++reply.names_included;
    }
    if (reply.names_included == 0)
        reply.bytes.pop_back();
    return reply;
}

std::string Printable(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

}  // namespace dirsrv
