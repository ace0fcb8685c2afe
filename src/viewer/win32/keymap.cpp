// Virtual-key codes to X keysyms (see keymap.h).
#include "viewer/win32/keymap.h"

#include "rfb/keysyms.h"

namespace talviewer {

namespace {

namespace ks = rfb::keysym;

// The virtual-key numbers used here (winuser.h), so this file needs no Windows header.
enum : unsigned {
    kVkBack = 0x08,
    kVkTab = 0x09,
    kVkClear = 0x0c,
    kVkReturn = 0x0d,
    kVkShift = 0x10,
    kVkControl = 0x11,
    kVkMenu = 0x12,
    kVkPause = 0x13,
    kVkCapital = 0x14,
    kVkEscape = 0x1b,
    kVkPrior = 0x21,
    kVkNext = 0x22,
    kVkEnd = 0x23,
    kVkHome = 0x24,
    kVkLeft = 0x25,
    kVkUp = 0x26,
    kVkRight = 0x27,
    kVkDown = 0x28,
    kVkSnapshot = 0x2c,
    kVkInsert = 0x2d,
    kVkDelete = 0x2e,
    kVkLWin = 0x5b,
    kVkRWin = 0x5c,
    kVkApps = 0x5d,
    kVkNumpad0 = 0x60,
    kVkNumpad9 = 0x69,
    kVkMultiply = 0x6a,
    kVkAdd = 0x6b,
    kVkSubtract = 0x6d,
    kVkDecimal = 0x6e,
    kVkDivide = 0x6f,
    kVkF1 = 0x70,
    kVkF24 = 0x87,
    kVkNumLock = 0x90,
    kVkScroll = 0x91,
    kVkLShift = 0xa0,
    kVkRShift = 0xa1,
    kVkLControl = 0xa2,
    kVkRControl = 0xa3,
    kVkLMenu = 0xa4,
    kVkRMenu = 0xa5,
};

}  // namespace

uint32_t KeysymForVirtualKey(unsigned vk, bool extended) {
    if (vk >= kVkF1 && vk <= kVkF24) {
        return ks::kF1 + (vk - kVkF1);
    }
    if (vk >= kVkNumpad0 && vk <= kVkNumpad9) {
        return ks::kKeypad0 + (vk - kVkNumpad0);
    }
    switch (vk) {
        case kVkBack:
            return ks::kBackSpace;
        case kVkTab:
            return ks::kTab;
        case kVkReturn:
            return extended ? ks::kKeypadEnter : ks::kReturn;
        case kVkPause:
            return ks::kPause;
        case kVkScroll:
            return ks::kScrollLock;
        case kVkEscape:
            return ks::kEscape;
        case kVkHome:
            return ks::kHome;
        case kVkLeft:
            return ks::kLeft;
        case kVkUp:
            return ks::kUp;
        case kVkRight:
            return ks::kRight;
        case kVkDown:
            return ks::kDown;
        case kVkPrior:
            return ks::kPageUp;
        case kVkNext:
            return ks::kPageDown;
        case kVkEnd:
            return ks::kEnd;
        case kVkSnapshot:
            return ks::kPrint;
        case kVkInsert:
            return ks::kInsert;
        case kVkDelete:
            return ks::kDelete;
        case kVkApps:
            return ks::kMenu;
        case kVkNumLock:
            return ks::kNumLock;
        case kVkCapital:
            return ks::kCapsLock;
        case kVkMultiply:
            return ks::kKeypadMultiply;
        case kVkAdd:
            return ks::kKeypadAdd;
        case kVkSubtract:
            return ks::kKeypadSubtract;
        case kVkDecimal:
            return ks::kKeypadDecimal;
        case kVkDivide:
            return ks::kKeypadDivide;
        case kVkShift:
        case kVkLShift:
            return ks::kShiftL;
        case kVkRShift:
            return ks::kShiftR;
        case kVkControl:
            return extended ? ks::kControlR : ks::kControlL;
        case kVkLControl:
            return ks::kControlL;
        case kVkRControl:
            return ks::kControlR;
        case kVkMenu:
            return extended ? ks::kAltR : ks::kAltL;
        case kVkLMenu:
            return ks::kAltL;
        case kVkRMenu:
            return ks::kAltR;
        case kVkLWin:
            return ks::kSuperL;
        case kVkRWin:
            return ks::kSuperR;
        case kVkClear:
            return ks::kKeypad0 + 5;  // the keypad's 5 without Num Lock
        default:
            return 0;
    }
}

uint32_t KeysymForText(const wchar_t* text, int length) {
    if (length == 1) {
        return ks::KeysymForCharacter(static_cast<char32_t>(text[0]));
    }
    if (length == 2 && text[0] >= 0xd800 && text[0] <= 0xdbff && text[1] >= 0xdc00 &&
        text[1] <= 0xdfff) {
        const char32_t c = 0x10000 + ((static_cast<char32_t>(text[0]) - 0xd800) << 10) +
                           (static_cast<char32_t>(text[1]) - 0xdc00);
        return ks::KeysymForCharacter(c);
    }
    return 0;
}

}  // namespace talviewer
