// Clipboard text on the RFB wire, for both ends (the client core in client.cpp and the server core
// in src/rfbserver): plain cut text is Latin-1, though some servers (x11vnc) pass UTF-8 bytes on;
// the Extended Clipboard pseudo-encoding carries UTF-8 with CRLF line ends, zlib-compressed, in
// cut-text messages whose length is negative.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rfb {

bool IsValidUtf8(std::string_view s);
std::string Latin1ToUtf8(std::string_view s);
// Characters Latin-1 lacks become `missing`.
std::string Utf8ToLatin1(std::string_view s, char missing = '?');
// Whether every character of `s` has a Latin-1 byte.
bool FitsLatin1(std::string_view s);

std::string ToCrlf(std::string_view s);
std::string FromCrlf(std::string_view s);

// An Extended Clipboard message: `type` (ClientCutText or ServerCutText), the negative length,
// `flags`, `payload`.
std::vector<uint8_t> ExtendedCutText(uint8_t type, uint32_t flags,
                                     std::span<const uint8_t> payload = {});
// A provide message's payload for text: the zlib stream of its size, the CRLF text and a NUL.
std::vector<uint8_t> PackText(std::string_view utf8);
// The text of a provide message's payload (after the flags), LF line ends; nullopt when it is not
// a zlib stream holding one text, or the text is longer than `limit` (inflated no further).
std::optional<std::string> UnpackText(std::span<const uint8_t> packed, std::size_t limit);

}  // namespace rfb
