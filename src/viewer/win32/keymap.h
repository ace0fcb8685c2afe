// Windows keys as X keysyms, for the RFB key events. Free of Windows headers apart from the
// virtual-key numbers it takes, so the table is unit-tested as it is.
#pragma once

#include <cstdint>

namespace talviewer {

// The keysym of a key that types no character (or whose character depends on nothing), from
// its virtual-key code and whether the key is an extended one (lParam bit 24: the right-hand
// Ctrl and Alt, the Enter of the keypad, the arrows and the block above them); 0 when the key
// types a character, which KeysymForText then gives.
uint32_t KeysymForVirtualKey(unsigned vk, bool extended);

// The keysym of the character(s) a key typed (UTF-16 from ToUnicode), or 0.
uint32_t KeysymForText(const wchar_t* text, int length);

}  // namespace talviewer
