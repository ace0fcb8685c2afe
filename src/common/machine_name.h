// The one rule for machine names, which the directory server (hosts file, agent keys,
// registrations, session requests), talagent (--name) and both viewers (the launcher's NAME)
// apply alike, and the rule for the names a machine certificate can carry. Portable: no OS
// headers, no OpenSSL, so the Windows viewer builds it too.
//
// A name is bytes, not text of a known encoding: the launcher shows the server's list in its
// locale's code page (CP949 on Korean Windows, UTF-8 on Linux), and the server passes names on
// unchanged. So every byte from 0x80 up is allowed, and only what breaks a carrier is refused:
//   - empty, or longer than kMaxNameBytes (the launcher reads a reply of at most 200 bytes, and
//     "00ok|" comes first);
//   - a control byte (0x00-0x1F, 0x7F), which would end or split a protocol line;
//   - '|', the list's separator (refused as a byte: a double-byte code page could hide it as
//     the second byte of a character, but the server cannot know the launcher's code page);
//   - a blank (space) at either end, which the server drops from hosts-file lines and requests.
// A name that is valid UTF-8 is also refused when it holds a character that shows nothing or
// turns the text's direction (U+200B-U+200F, U+202A-U+202E, U+2060-U+2064, U+2066-U+2069,
// U+FEFF, U+061C, U+00AD, U+0080-U+009F) or starts or ends with a Unicode space (U+00A0, U+1680,
// U+2000-U+200A, U+202F, U+205F, U+3000): such a name could pass for another on the operator's
// screen. Names in CP949 are seldom valid UTF-8, and are then left alone; but the UTF-8 bytes of
// the two-byte characters among these (U+0080-U+00AD, U+061C) may also be Hangul syllables of
// CP949 (C2 AD is one), so those count only in a name that cannot be CP949 text, lest a Korean
// machine's name be refused.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace names {

inline constexpr std::size_t kMaxNameBytes = 195;

enum class NameFault {
    kEmpty,
    kTooLong,
    kControlByte,  // 0x00-0x1F or 0x7F
    kSeparator,    // '|'
    kBlankAtEnd,   // a space, or in a UTF-8 name a Unicode space, first or last
    kInvisible,    // in a UTF-8 name: a character that shows nothing or turns the direction
};

struct NameProblem {
    NameFault fault;
    std::size_t offset;  // of the first offending byte (kTooLong: kMaxNameBytes)
};

// What is wrong with `name` as a machine name, or nothing.
std::optional<NameProblem> FindNameProblem(std::string_view name);

// The same as a sentence fragment for a message ("the name contains '|', ..."), or nothing.
std::optional<std::string> WhyNotAMachineName(std::string_view name);

// Certificates. A viewer checks the machine certificate against the name the operator chose;
// TLS libraries compare host names as DNS does, ignoring case, while listed names are bytes and
// "PC-A" and "pc-a" are two machines. So a certificate is for a machine only when one of its
// subjectAltName DNS entries equals the machine's name byte for byte, on top of the TLS
// library's own check; and the name must fit a DNS entry: letters, digits, '-' and '.', labels
// of 1-63 characters not starting or ending with '-', not all digits and dots (TLS libraries
// take that for an IPv4 address), and a machine name as above.

// Why no certificate can be made for machine `name`, or nothing.
std::optional<std::string> WhyNotACertificateName(std::string_view name);

// Whether a certificate whose subjectAltName DNS entries are `dns_names` is for `machine`.
bool CertificateIsFor(const std::vector<std::string>& dns_names, std::string_view machine);

}  // namespace names
