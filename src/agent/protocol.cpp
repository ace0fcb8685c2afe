// Parsing and checking what the directory server sends the agent (see protocol.h).
#include "agent/protocol.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
#include <algorithm>
#include <utility>

#include "common/operator_proof.h"

namespace talagent {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsPrintable(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F;
    });
}

bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253)
        return false;
    std::size_t start = 0;
    while (start <= host.size()) {
        std::size_t end = host.find('.', start);
        if (end == std::string_view::npos)
            end = host.size();
        const std::string_view label = host.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (const char c : label) {
            if (!IsDigit(c) && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '-')
                return false;
        }
        start = end + 1;
    }
    // All digits and dots is meant as an IPv4 address; only a valid one passes (above).
    return !std::all_of(host.begin(), host.end(), [](char c) { return IsDigit(c) || c == '.'; });
}

// Splits "WORD REST" at the first blank; REST is empty without one.
std::pair<std::string_view, std::string_view> SplitWord(std::string_view line) {
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos)
        return {line, {}};
    return {line.substr(0, blank), line.substr(blank + 1)};
}

Message Of(MessageKind kind, std::string text = {}) {
    Message message;
    message.kind = kind;
    message.text = std::move(text);
    return message;
}

Message Bad(std::string why) {
    return Of(MessageKind::Bad, std::move(why));
}

// "ID", "ID HOST:PORT" (older servers), "ID OPERATOR RIGHT" or "ID OPERATOR RIGHT HOST:PORT"
// (a server of a cluster sending the agent to the node where the viewer waits); an operator name
// never holds ':', so two fields with one are the older form's target.
Message ParseConnect(std::string_view rest) {
    std::vector<std::string_view> fields;
    while (fields.size() < 5) {
        const auto blank = rest.find(' ');
        fields.push_back(rest.substr(0, blank));
        if (blank == std::string_view::npos)
            break;
        rest.remove_prefix(blank + 1);
    }
    if (!IsSessionId(fields[0]))
        return Bad("the session ID is not 1 to 20 decimal digits");
    Message message = Of(MessageKind::Connect);
    message.id = fields[0];
    if (fields.size() == 2) {
        message.target = ParseEndpoint(fields[1]);
        if (!message.target)
            return Bad("the target is not a plain HOST:PORT");
    } else if (fields.size() == 3 || fields.size() == 4) {
        if (fields[1] != wire::kAnonymousOperator) {
            if (opproof::WhyNotAnOperatorName(fields[1]))
                return Bad("the operator is not an operator's name");
            message.operator_name = fields[1];
        }
        if (fields[2] != wire::kRightControl && fields[2] != wire::kRightView)
            return Bad("the right is neither 'control' nor 'view'");
        message.right = fields[2] == wire::kRightView ? Right::View : Right::Control;
        if (fields.size() == 4 && !(message.target = ParseEndpoint(fields[3])))
            return Bad("the target is not a plain HOST:PORT");
    } else if (fields.size() > 4) {
        return Bad("too many fields");
    }
    return message;
}

}  // namespace

bool IsSessionId(std::string_view text) {
    return !text.empty() && text.size() <= kMaxSessionIdDigits &&
           std::all_of(text.begin(), text.end(), IsDigit);
}

std::optional<Endpoint> ParseEndpoint(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.front() == '0' ||
        !std::all_of(port.begin(), port.end(), IsDigit)) {
        return std::nullopt;
    }
    const unsigned long number = std::stoul(std::string(port));
    if (number > 65535)
        return std::nullopt;
    in_addr address{};
    const std::string host_text(host);
    // inet_pton reads up to a NUL byte: "127.0.0.1\0x" must not pass as 127.0.0.1 and then
    // reach x11vnc's argv cut short.
    const bool ipv4 = host.size() <= 15 && host.find('\0') == std::string_view::npos &&
                      inet_pton(AF_INET, host_text.c_str(), &address) == 1;
    if (!ipv4 && !IsHostName(host))
        return std::nullopt;
    return Endpoint{host_text, static_cast<std::uint16_t>(number)};
}

bool IsLocalDisplay(std::string_view text) {
    if (text.size() < 2 || text.size() > 12 || text.front() != ':')
        return false;
    const std::string_view rest = text.substr(1);
    const auto dot = rest.find('.');
    const std::string_view number = rest.substr(0, dot);
    const std::string_view screen =
        dot == std::string_view::npos ? std::string_view("0") : rest.substr(dot + 1);
    const auto digits = [](std::string_view t) {
        return !t.empty() && std::all_of(t.begin(), t.end(), IsDigit);
    };
    return digits(number) && digits(screen);
}

Message ParseLine(std::string_view line) {
    const auto [word, rest] = SplitWord(line);
    const bool has_rest = word.size() < line.size();
    const std::string_view ping = wire::Word(wire::kPing);
    if (word == ping || word == wire::Word(wire::kRegistered)) {
        if (has_rest) {
            // Appended piece by piece: GCC 12 at -O2 and above warns (-Wrestrict, a known false
            // positive) on "'" + std::string(...), and our builds make warnings errors.
            std::string what = "'";
            what.append(word).append("' followed by more text");
            return Bad(what);
        }
        return Of(word == ping ? MessageKind::Ping : MessageKind::Registered);
    }
    if (word == wire::Word(wire::kRefusedPrefix))
        return Of(MessageKind::Refused, std::string(rest));
    if (word == wire::Word(wire::kChallengePrefix)) {
        if (rest.empty() || rest.size() > kMaxNonce || !IsPrintable(rest))
            return Bad("a challenge needs 1 to 256 printable bytes");
        return Of(MessageKind::Challenge, std::string(rest));
    }
    if (word == wire::Word(wire::kConnectPrefix))
        return ParseConnect(rest);
    return Bad("unknown line");
}

std::string IdBlock(std::string_view id) {
    std::string block(wire::kIdBlockPrefix);
    block.append(id);
    block.resize(kIdBlockSize, '\0');
    return block;
}

std::string RfbRefusal(std::string_view viewer_version, std::string_view reason) {
    // "RFB 003.003\n" to "RFB 003.006\n" are 3.3 and its vendor variants.
    const bool v33 = viewer_version.size() == kRfbVersion.size() &&
                     viewer_version.starts_with("RFB 003.00") && viewer_version[10] < '7';
    std::string bytes(v33 ? 4 : 1, '\0');
    const auto length = static_cast<std::uint32_t>(reason.size());
    for (const int shift : {24, 16, 8, 0})
        bytes += static_cast<char>((length >> shift) & 0xFF);
    bytes.append(reason);
    return bytes;
}

std::vector<LineSplitter::Line> LineSplitter::Feed(std::string_view bytes) {
    std::vector<Line> lines;
    while (!bytes.empty()) {
        const auto lf = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, lf);
        if (!skipping_) {
            // Keep at most one byte more than a line may hold, enough to tell it is too long.
            partial_.append(
                piece.substr(0, kMaxLine + 1 - std::min(partial_.size(), kMaxLine + 1)));
            if (partial_.size() > kMaxLine) {
                partial_.resize(kMaxLine);
                lines.push_back({std::exchange(partial_, {}), true});
                skipping_ = true;
            }
        }
        if (lf == std::string_view::npos)
            break;
        if (!skipping_) {
            if (!partial_.empty() && partial_.back() == '\r')
                partial_.pop_back();
            lines.push_back({std::exchange(partial_, {}), false});
        }
        skipping_ = false;
        bytes.remove_prefix(lf + 1);
    }
    return lines;
}

}  // namespace talagent
