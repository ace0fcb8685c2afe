#include "directory_server/protocol.h"

#include <algorithm>
#include <cstdio>

#include "common/machine_name.h"
#include "common/text.h"

namespace dirsrv {
namespace {

// What counts as blank around a field.
constexpr std::string_view kBlanks = " \t";

constexpr std::string_view kPongLine = wire::Word(wire::kPong);

bool IsPrefixOf(std::string_view input, std::string_view word) {
    return input.size() < word.size() && word.substr(0, input.size()) == input;
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

// The 250-byte ID block: "ID:", 1-20 digits, NUL bytes to the end. A wrong byte is Bad as soon as
// it arrives; a block that is right so far but short needs more.
ParseResult ParseIdBlock(std::string_view input, ParseResult result) {
    const std::string_view block = input.substr(0, kIdBlockSize);
    std::size_t digits = 0;
    std::size_t at = kIdBlockPrefix.size();
    while (at < block.size() && block[at] >= '0' && block[at] <= '9')
        ++at, ++digits;
    bool good = digits <= kMaxIdDigits && (digits > 0 || at == block.size());
    for (std::size_t i = at; good && i < block.size(); ++i)
        good = block[i] == '\0';
    if (!good) {
        result.status = ParseStatus::Bad;
        return result;
    }
    if (block.size() < kIdBlockSize)
        return result;
    result.status = ParseStatus::Message;
    result.message = {MessageKind::SessionId, block.substr(kIdBlockPrefix.size(), digits)};
    result.consumed += kIdBlockSize;
    return result;
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
        result.message = {MessageKind::Register, tools::Trim(*body, kBlanks)};
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
    for (const auto& [prefix, kind] :
         {std::pair{kViewPrefix, MessageKind::View}, std::pair{kProofPrefix, MessageKind::Proof},
          std::pair{kOperatorPrefix, MessageKind::Operator},
          std::pair{kDeclinedPrefix, MessageKind::Declined}}) {
        if (!input.starts_with(prefix))
            continue;
        const auto body = LineBody(input, prefix.size(), line_length);
        if (!body)
            return result;
        result.status = ParseStatus::Message;
        // The answer's two fields are checked as they are: no blanks dropped.
        result.message = {kind,
                          kind == MessageKind::Operator ? *body : tools::Trim(*body, kBlanks)};
        result.consumed += line_length;
        return result;
    }
    if (input.starts_with(kIdBlockPrefix))
        return ParseIdBlock(input, result);
    if (IsPrefixOf(input, kListRequest) || IsPrefixOf(input, kRegisterPrefix) ||
        IsPrefixOf(input, kPongLine) || IsPrefixOf(input, kViewPrefix) ||
        IsPrefixOf(input, kProofPrefix) || IsPrefixOf(input, kIdBlockPrefix) ||
        IsPrefixOf(input, kOperatorPrefix) || IsPrefixOf(input, kDeclinedPrefix)) {
        return result;
    }
    result.status = ParseStatus::Bad;
    return result;
}

std::optional<Declined> ParseDeclined(std::string_view body) {
    const auto blank = body.find(' ');
    if (blank == std::string_view::npos)
        return std::nullopt;
    Declined declined{body.substr(0, blank), kErrorFailed,
                      tools::Trim(body.substr(blank), kBlanks)};
    const auto& id = declined.id;
    if (id.empty() || id.size() > kMaxIdDigits ||
        id.find_first_not_of("0123456789") != std::string_view::npos || declined.reason.empty())
        return std::nullopt;
    if (declined.reason == wire::kDeclineBusy)
        declined.reply = kErrorBusy;
    else if (declined.reason == wire::kDeclineDenied)
        declined.reply = kErrorDenied;
    return declined;
}

// Every name the rule lets through fits in a reply.
static_assert(kMaxNameLength == names::kMaxNameBytes);

std::optional<std::string> CheckName(std::string_view name) {
    return names::WhyNotAMachineName(name);
}

Reply BuildReply(const std::vector<std::string_view>& names) {
    Reply reply;
    reply.bytes.reserve(kMaxReply);
    reply.bytes.assign(kReplyHeader);
    for (const auto name : names) {
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
