// The Qt-key-to-keysym table and the character fallback (see keymap.h).
#include "viewer/qt/keymap.h"

#include <QList>
#include <array>
#include <utility>

#include "rfb/keysyms.h"

namespace talviewer {

namespace {

namespace ks = rfb::keysym;

constexpr uint32_t kIsoLevel3Shift = 0xfe03;  // AltGr
// Qt numbers its dead keys as X does, from a different base.
constexpr int kQtDeadFirst = Qt::Key_Dead_Grave;
constexpr int kQtDeadLast = Qt::Key_Dead_Longsolidusoverlay;
constexpr uint32_t kXDeadGrave = 0xfe50;

constexpr std::array<std::pair<int, uint32_t>, 33> kNamedKeys = {{
    {Qt::Key_Backspace, ks::kBackSpace},
    {Qt::Key_Tab, ks::kTab},
    {Qt::Key_Backtab, ks::kTab},  // Shift+Tab: Shift is sent on its own
    {Qt::Key_Return, ks::kReturn},
    {Qt::Key_Enter, ks::kKeypadEnter},
    {Qt::Key_Escape, ks::kEscape},
    {Qt::Key_Insert, ks::kInsert},
    {Qt::Key_Delete, ks::kDelete},
    {Qt::Key_Pause, ks::kPause},
    {Qt::Key_Print, ks::kPrint},
    {Qt::Key_SysReq, ks::kSysReq},
    {Qt::Key_Home, ks::kHome},
    {Qt::Key_End, ks::kEnd},
    {Qt::Key_Left, ks::kLeft},
    {Qt::Key_Up, ks::kUp},
    {Qt::Key_Right, ks::kRight},
    {Qt::Key_Down, ks::kDown},
    {Qt::Key_PageUp, ks::kPageUp},
    {Qt::Key_PageDown, ks::kPageDown},
    {Qt::Key_Shift, ks::kShiftL},
    {Qt::Key_Control, ks::kControlL},
    // Qt names the Windows key Meta on X11 (Super keysyms become Key_Meta), while the remote
    // desktop knows it as Super: sent as Meta_L, it opened no start menu there.
    {Qt::Key_Meta, ks::kSuperL},
    {Qt::Key_Alt, ks::kAltL},
    {Qt::Key_AltGr, kIsoLevel3Shift},
    {Qt::Key_CapsLock, ks::kCapsLock},
    {Qt::Key_NumLock, ks::kNumLock},
    {Qt::Key_ScrollLock, ks::kScrollLock},
    {Qt::Key_Super_L, ks::kSuperL},
    {Qt::Key_Super_R, ks::kSuperR},
    {Qt::Key_Menu, ks::kMenu},
    {Qt::Key_Clear, 0xff0b},
    {Qt::Key_Help, 0xff6a},
    {Qt::Key_Cancel, 0xff69},
}};

// Keypad keys while Num Lock is on (with it off, Qt reports Home, End, ... with the keypad
// modifier, which the table above covers).
uint32_t KeypadKeysym(int qt_key) {
    if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) {
        return ks::kKeypad0 + static_cast<uint32_t>(qt_key - Qt::Key_0);
    }
    switch (qt_key) {
        case Qt::Key_Asterisk:
            return ks::kKeypadMultiply;
        case Qt::Key_Plus:
            return ks::kKeypadAdd;
        case Qt::Key_Minus:
            return ks::kKeypadSubtract;
        case Qt::Key_Period:
        case Qt::Key_Comma:
            return ks::kKeypadDecimal;
        case Qt::Key_Slash:
            return ks::kKeypadDivide;
        default:
            return 0;
    }
}

}  // namespace

uint32_t KeysymFor(int qt_key, const QString& text, Qt::KeyboardModifiers modifiers) {
    for (const auto& [key, keysym] : kNamedKeys) {
        if (key == qt_key) {
            return keysym;
        }
    }
    if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F35) {
        return ks::kF1 + static_cast<uint32_t>(qt_key - Qt::Key_F1);
    }
    if (qt_key >= kQtDeadFirst && qt_key <= kQtDeadLast) {
        return kXDeadGrave + static_cast<uint32_t>(qt_key - kQtDeadFirst);
    }
    if (modifiers & Qt::KeypadModifier) {
        if (const uint32_t keysym = KeypadKeysym(qt_key)) {
            return keysym;
        }
    }
    // The character typed, when it is one (not a control character made by Ctrl).
    const QList<uint> codes = text.toUcs4();
    if (codes.size() == 1) {
        if (const uint32_t keysym = ks::KeysymForCharacter(static_cast<char32_t>(codes[0]))) {
            return keysym;
        }
    }
    // Otherwise the key's own character: Qt names letter keys by their capital.
    if (qt_key > 0 && qt_key <= 0xff && qt_key != 0x7f) {
        QChar c(static_cast<char16_t>(qt_key));
        if (!(modifiers & Qt::ShiftModifier)) {
            c = c.toLower();
        }
        return ks::KeysymForCharacter(c.unicode());
    }
    return 0;
}

}  // namespace talviewer
