// The operator proof's text, free of OpenSSL (see operator_proof.h): the operator-name rule, the
// signed bytes and the answer line with its base64. directory-server and the Linux viewer link it
// with the OpenSSL part (operator_proof.cpp); talviewer.exe signs with CryptoAPI and needs only
// this.
#include "common/operator_proof.h"

#include <algorithm>
#include <cstdint>

namespace opproof {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::optional<std::string> WhyNotAnOperatorName(std::string_view name) {
    if (name.empty())
        return "empty";
    if (name.size() > kMaxOperatorName)
        return "longer than " + std::to_string(kMaxOperatorName) + " characters";
    const auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alnum(name.front()))
        return "does not start with a letter or a digit";
    for (const char c : name) {
        if (!alnum(c) && c != '.' && c != '_' && c != '-' && c != '@')
            return "holds a character other than letters, digits, '.', '_', '-' and '@'";
    }
    return std::nullopt;
}

std::string SignedMessage(std::string_view name, std::string_view nonce) {
    std::string message(kContext);
    message += '\0';
    message += name;
    message += '\0';
    message += nonce;
    return message;
}

std::string ToBase64(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            text += k <= n ? kBase64[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

std::optional<std::string> FromBase64(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        // Padding only at the very end: "xx==" or "xxx=".
        const std::size_t padding = !last ? 0 : text[i + 3] != '=' ? 0 : text[i + 2] != '=' ? 1 : 2;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int value = k < 4 - padding ? Base64Value(text[i + k]) : 0;
            if (value < 0)
                return std::nullopt;
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        // The bits padding leaves over must be zero, so one text has one meaning.
        if (group & ((1u << (8 * padding)) - 1))
            return std::nullopt;
        for (std::size_t k = 0; k < 3 - padding; ++k)
            bytes += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
    }
    return bytes;
}

std::string FormatAnswer(const Answer& answer) {
    return std::string(kAnswerPrefix) + ToBase64(answer.certificate_der) + " " +
           ToBase64(answer.signature) + "\n";
}

std::optional<Answer> ParseAnswer(std::string_view body) {
    const auto blank = body.find(' ');
    if (blank == std::string_view::npos)
        return std::nullopt;
    auto cert = FromBase64(body.substr(0, blank));
    auto signature = FromBase64(body.substr(blank + 1));
    if (!cert || !signature || cert->empty() || signature->empty())
        return std::nullopt;
    return Answer{std::move(*cert), std::move(*signature)};
}

}  // namespace opproof
