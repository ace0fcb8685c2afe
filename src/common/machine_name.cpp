// The machine-name and certificate-name rules (see machine_name.h).
#include "common/machine_name.h"

#include <algorithm>
#include <cstdio>

namespace names {
namespace {

struct CodePoint {
    char32_t value;
    std::size_t offset;
};

// The code points of `bytes` when they are valid UTF-8 (shortest forms, no surrogates).
std::optional<std::vector<CodePoint>> DecodeUtf8(std::string_view bytes) {
    std::vector<CodePoint> points;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > bytes.size())
            return std::nullopt;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            point = (point << 6) | (next & 0x3F);
        }
        constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kShortest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return std::nullopt;
        points.push_back({point, i});
        i += length;
    }
    return points;
}

// Whether `bytes` has the shape of CP949 text: ASCII, and pairs of a lead byte 0x81-0xFE and a
// trail byte the lead allows (0x41-0x5A, 0x61-0x7A or 0x81-0xFE after 0x81-0xC6, the Unified
// Hangul Code's extension; 0xA1-0xFE after 0xC7-0xFE, KS X 1001).
bool CouldBeCp949(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80)
            continue;
        if (lead == 0x80 || lead == 0xFF || i + 1 == bytes.size())
            return false;
        const auto trail = static_cast<unsigned char>(bytes[++i]);
        const bool ok = lead <= 0xC6 ? (trail >= 0x41 && trail <= 0x5A) ||
                                           (trail >= 0x61 && trail <= 0x7A) ||
                                           (trail >= 0x81 && trail <= 0xFE)
                                     : trail >= 0xA1 && trail <= 0xFE;
        if (!ok)
            return false;
    }
    return true;
}

// Characters that show nothing, or reorder the text around them.
bool IsInvisible(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0xAD || c == 0x61C || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// Unicode's spaces beyond U+0020, which look like a blank at a name's end.
bool IsUnicodeSpace(char32_t c) {
    return c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Only a valid UTF-8 name is read as UTF-8. Characters from U+0800 up are three or four bytes
// long, and those of the rule never occur in CP949 text but for U+FEFF, whose bytes would be a
// rare Hanja and a syllable: they are refused wherever they are. The two-byte ones (C1 controls,
// U+00AD, U+061C, U+00A0) share their bytes with Hangul syllables of CP949, so they are refused
// only in a name that cannot be CP949.
std::optional<NameProblem> FindUtf8Problem(std::string_view name) {
    const auto points = DecodeUtf8(name);
    if (!points)
        return std::nullopt;
    const bool cp949 = CouldBeCp949(name);
    const auto counts = [&](char32_t c) { return c >= 0x800 || !cp949; };
    for (const CodePoint& point : *points) {
        if (IsInvisible(point.value) && counts(point.value))
            return NameProblem{NameFault::kInvisible, point.offset};
    }
    for (const CodePoint& point : {points->front(), points->back()}) {
        if (IsUnicodeSpace(point.value) && counts(point.value))
            return NameProblem{NameFault::kBlankAtEnd, point.offset};
    }
    return std::nullopt;
}

std::string Hex(const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool IsDnsCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
}

}  // namespace

std::optional<NameProblem> FindNameProblem(std::string_view name) {
    if (name.empty())
        return NameProblem{NameFault::kEmpty, 0};
    if (name.size() > kMaxNameBytes)
        return NameProblem{NameFault::kTooLong, kMaxNameBytes};
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x20 || byte == 0x7F)
            return NameProblem{NameFault::kControlByte, i};
        if (byte == '|')
            return NameProblem{NameFault::kSeparator, i};
    }
    if (name.front() == ' ')
        return NameProblem{NameFault::kBlankAtEnd, 0};
    if (name.back() == ' ')
        return NameProblem{NameFault::kBlankAtEnd, name.size() - 1};
    // Plain ASCII, the usual case, needs no more.
    if (std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; }))
        return std::nullopt;
    return FindUtf8Problem(name);
}

std::optional<std::string> WhyNotAMachineName(std::string_view name) {
    const auto problem = FindNameProblem(name);
    if (!problem)
        return std::nullopt;
    switch (problem->fault) {
        case NameFault::kEmpty:
            return "the name is empty";
        case NameFault::kTooLong:
            return "the name is " + std::to_string(name.size()) + " bytes long; at most " +
                   std::to_string(kMaxNameBytes) + " fit in the launcher's list";
        case NameFault::kControlByte:
            return "the name contains the control byte " +
                   Hex("0x%02X", static_cast<unsigned char>(name[problem->offset]));
        case NameFault::kSeparator:
            return "the name contains '|', the list's separator";
        case NameFault::kBlankAtEnd:
            return "the name starts or ends with a blank";
        case NameFault::kInvisible: {
            const auto points = DecodeUtf8(name.substr(problem->offset));
            return "the name contains the invisible character " +
                   Hex("U+%04X", static_cast<unsigned>(points->front().value));
        }
    }
    return std::nullopt;
}

std::optional<std::string> WhyNotACertificateName(std::string_view name) {
    if (auto why = WhyNotAMachineName(name))
        return why;
    if (!std::all_of(name.begin(), name.end(), IsDnsCharacter))
        return "a certificate can carry only letters, digits, '-' and '.' in a name";
    if (std::all_of(name.begin(), name.end(),
                    [](char c) { return c == '.' || (c >= '0' && c <= '9'); }))
        return "a name of digits and dots reads as an IPv4 address, not as a name";
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t end = std::min(name.find('.', start), name.size());
        const std::string_view label = name.substr(start, end - start);
        if (label.empty())
            return "the name has an empty part between dots";
        if (label.size() > 63)
            return "a part of the name between dots is longer than 63 characters";
        if (label.front() == '-' || label.back() == '-')
            return "a part of the name between dots starts or ends with '-'";
        start = end + 1;
    }
    return std::nullopt;
}

bool CertificateIsFor(const std::vector<std::string>& dns_names, std::string_view machine) {
    return !WhyNotACertificateName(machine) &&
           std::find(dns_names.begin(), dns_names.end(), machine) != dns_names.end();
}

}  // namespace names
