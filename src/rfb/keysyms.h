// X keysyms for the keys a front end maps itself (RFB key events carry X keysyms whatever the
// viewer's platform). Printable characters need no table: KeysymForCharacter covers them.
#pragma once

#include <cstdint>

namespace rfb::keysym {

inline constexpr uint32_t kBackSpace = 0xff08;
inline constexpr uint32_t kTab = 0xff09;
inline constexpr uint32_t kReturn = 0xff0d;
inline constexpr uint32_t kPause = 0xff13;
inline constexpr uint32_t kScrollLock = 0xff14;
inline constexpr uint32_t kSysReq = 0xff15;
inline constexpr uint32_t kEscape = 0xff1b;
inline constexpr uint32_t kHome = 0xff50;
inline constexpr uint32_t kLeft = 0xff51;
inline constexpr uint32_t kUp = 0xff52;
inline constexpr uint32_t kRight = 0xff53;
inline constexpr uint32_t kDown = 0xff54;
inline constexpr uint32_t kPageUp = 0xff55;
inline constexpr uint32_t kPageDown = 0xff56;
inline constexpr uint32_t kEnd = 0xff57;
inline constexpr uint32_t kPrint = 0xff61;
inline constexpr uint32_t kInsert = 0xff63;
inline constexpr uint32_t kMenu = 0xff67;
inline constexpr uint32_t kNumLock = 0xff7f;
inline constexpr uint32_t kKeypadEnter = 0xff8d;
inline constexpr uint32_t kKeypad0 = 0xffb0;  // kKeypad0 + n for digit n
inline constexpr uint32_t kKeypadMultiply = 0xffaa;
inline constexpr uint32_t kKeypadAdd = 0xffab;
inline constexpr uint32_t kKeypadSubtract = 0xffad;
inline constexpr uint32_t kKeypadDecimal = 0xffae;
inline constexpr uint32_t kKeypadDivide = 0xffaf;
inline constexpr uint32_t kF1 = 0xffbe;  // kF1 + n - 1 for Fn, up to F35
inline constexpr uint32_t kShiftL = 0xffe1;
inline constexpr uint32_t kShiftR = 0xffe2;
inline constexpr uint32_t kControlL = 0xffe3;
inline constexpr uint32_t kControlR = 0xffe4;
inline constexpr uint32_t kCapsLock = 0xffe5;
inline constexpr uint32_t kMetaL = 0xffe7;
inline constexpr uint32_t kMetaR = 0xffe8;
inline constexpr uint32_t kAltL = 0xffe9;
inline constexpr uint32_t kAltR = 0xffea;
inline constexpr uint32_t kSuperL = 0xffeb;
inline constexpr uint32_t kSuperR = 0xffec;
inline constexpr uint32_t kDelete = 0xffff;

// The keysym for a typed character: Latin-1 characters are their own keysym, every other Unicode
// character is 0x01000000 + its code point. Control characters have no keysym of this kind
// (0 is returned): the keys that make them (Return, Tab, ...) are named above.
constexpr uint32_t KeysymForCharacter(char32_t c) {
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) {
        return static_cast<uint32_t>(c);
    }
    if (c < 0xa0 || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) {
        return 0;
    }
    return 0x01000000u + static_cast<uint32_t>(c);
}

}  // namespace rfb::keysym
