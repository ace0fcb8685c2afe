// RFB's numbers as they appear on the wire, for both ends: the client core (client.cpp) and the
// server core (src/rfbserver) read and write every message through these names, so a number is
// defined once. Sources: RFC 6143 and the community registry of extensions (rfbproto).
#pragma once

#include <cstddef>
#include <cstdint>

namespace rfb {

// Encodings and pseudo-encodings (SetEncodings, rectangle headers).
enum class Encoding : int32_t {
    kRaw = 0,
    kCopyRect = 1,
    kRre = 2,
    kHextile = 5,
    kTight = 7,
    kZrle = 16,
    kJpegQuality0 = -32,  // pseudo: Tight JPEG quality 0..9 is -32..-23
    kJpegQuality9 = -23,
    kDesktopSize = -223,     // pseudo: the remote desktop changed its size
    kLastRect = -224,        // pseudo: the update ends here (Tight servers send it)
    kCursor = -239,          // pseudo: the cursor's shape, drawn by the front end
    kCompressLevel0 = -256,  // pseudo: Tight zlib level 0..9 is -256..-247
    kCompressLevel9 = -247,
    kExtendedDesktopSize = -308,  // pseudo: screens, and SetDesktopSize answers
    kFence = -312,                // pseudo: the client understands Fence
    kContinuousUpdates = -313,    // pseudo: the client understands ContinuousUpdates
    kExtendedClipboard = static_cast<int32_t>(0xc0a1e5ce),  // pseudo: UTF-8 clipboard
};

// Client-to-server message types.
namespace client_msg {
inline constexpr uint8_t kSetPixelFormat = 0;
inline constexpr uint8_t kSetEncodings = 2;
inline constexpr uint8_t kFramebufferUpdateRequest = 3;
inline constexpr uint8_t kKeyEvent = 4;
inline constexpr uint8_t kPointerEvent = 5;
inline constexpr uint8_t kClientCutText = 6;
inline constexpr uint8_t kEnableContinuousUpdates = 150;
inline constexpr uint8_t kClientFence = 248;
inline constexpr uint8_t kSetDesktopSize = 251;
}  // namespace client_msg

// Server-to-client message types.
namespace server_msg {
inline constexpr uint8_t kFramebufferUpdate = 0;
inline constexpr uint8_t kSetColourMapEntries = 1;
inline constexpr uint8_t kBell = 2;
inline constexpr uint8_t kServerCutText = 3;
inline constexpr uint8_t kEndOfContinuousUpdates = 150;
inline constexpr uint8_t kServerFence = 248;
}  // namespace server_msg

// Hextile: each 16x16 tile's header bits.
namespace hextile {
inline constexpr int kTileSize = 16;
inline constexpr uint8_t kRaw = 1;
inline constexpr uint8_t kBackgroundSpecified = 2;
inline constexpr uint8_t kForegroundSpecified = 4;
inline constexpr uint8_t kAnySubrects = 8;
inline constexpr uint8_t kSubrectsColoured = 16;
}  // namespace hextile

// ZRLE: each 64x64 tile's subencoding. 2..16 are packed palettes of that many colours,
// kPlainRle + 2..127 RLE over a palette of that many.
namespace zrle {
inline constexpr int kTileSize = 64;
inline constexpr uint8_t kRaw = 0;
inline constexpr uint8_t kSolid = 1;
inline constexpr uint8_t kMaxPackedPalette = 16;
inline constexpr uint8_t kPlainRle = 128;
inline constexpr uint8_t kMaxRlePalette = 127;
}  // namespace zrle

// Extended Clipboard: the flags word of a cut text with a negative length. Formats in the low
// bits, actions in the high ones.
namespace clipboard {
inline constexpr uint32_t kText = 1u << 0;
inline constexpr uint32_t kCaps = 1u << 24;
inline constexpr uint32_t kRequest = 1u << 25;
inline constexpr uint32_t kPeek = 1u << 26;
inline constexpr uint32_t kNotify = 1u << 27;
inline constexpr uint32_t kProvide = 1u << 28;
}  // namespace clipboard
// Fence flags (either direction) and the longest payload a fence may carry.
namespace fence {
inline constexpr uint32_t kBlockBefore = 1u << 0;  // handle all earlier messages first
inline constexpr uint32_t kBlockAfter = 1u << 1;   // handle no later message before the reply
inline constexpr uint32_t kSyncNext = 1u << 2;     // the next message right after the reply
inline constexpr uint32_t kRequest = 1u << 31;     // the peer asks for the fence back
inline constexpr std::size_t kMaxPayload = 64;
}  // namespace fence

// Security types and VeNCrypt subtypes.
inline constexpr uint8_t kSecurityNone = 1;
inline constexpr uint8_t kSecurityVncAuth = 2;
inline constexpr uint8_t kSecurityVeNCrypt = 19;
inline constexpr uint32_t kVeNCryptPlain = 256;
inline constexpr uint32_t kVeNCryptTlsNone = 257;
inline constexpr uint32_t kVeNCryptTlsVnc = 258;
inline constexpr uint32_t kVeNCryptTlsPlain = 259;
inline constexpr uint32_t kVeNCryptX509None = 260;
inline constexpr uint32_t kVeNCryptX509Vnc = 261;
inline constexpr uint32_t kVeNCryptX509Plain = 262;
inline constexpr uint8_t kVeNCryptMajor = 0;  // the only version served: 0.2
inline constexpr uint8_t kVeNCryptMinor = 2;

}  // namespace rfb
