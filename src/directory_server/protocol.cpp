#include "directory_server/protocol.h"

#include <algorithm>
#include <cstdio>

#include "common/text.h"

namespace dirsrv {
namespace {

// What counts as blank around a field.
constexpr std::string_view kBlanks = " \t";

constexpr std::string_view kPongLine = "pong";

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

// Calls `each` with every code point of `bytes` and returns true when they are valid UTF-8
// (shortest forms, no surrogates); stops at the first invalid byte and returns false.
template <typename Each>
bool ForEachUtf8(std::string_view bytes, Each each) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > bytes.size())
            return false;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kShortest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        each(point);
        i += length;
    }
    return true;
}

// Characters that show nothing, or reorder the text around them.
bool IsInvisibleFormat(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0xAD || c == 0x61C || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
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
         {std::pair{kViewPrefix, MessageKind::View}, std::pair{kProofPrefix, MessageKind::Proof}}) {
        if (!input.starts_with(prefix))
            continue;
        const auto body = LineBody(input, prefix.size(), line_length);
        if (!body)
            return result;
        result.status = ParseStatus::Message;
        result.message = {kind, tools::Trim(*body, kBlanks)};
        result.consumed += line_length;
        return result;
    }
    if (input.starts_with(kIdBlockPrefix))
        return ParseIdBlock(input, result);
    if (IsPrefixOf(input, kListRequest) || IsPrefixOf(input, kRegisterPrefix) ||
        IsPrefixOf(input, kPongLine) || IsPrefixOf(input, kViewPrefix) ||
        IsPrefixOf(input, kProofPrefix) || IsPrefixOf(input, kIdBlockPrefix)) {
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
    // Plain ASCII, the usual case, holds none of them.
    if (std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; }))
        return std::nullopt;
    char32_t invisible = 0;
    if (ForEachUtf8(name,
                    [&](char32_t c) {
                        if (!invisible && IsInvisibleFormat(c))
                            invisible = c;
                    }) &&
        invisible) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(invisible));
        return std::string("the name contains the invisible format character ") + code;
    }
    return std::nullopt;
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
