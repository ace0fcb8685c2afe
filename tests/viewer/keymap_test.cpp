// The viewer's key table: what each kind of key event becomes on the remote machine.
#include <gtest/gtest.h>

#include "viewer/qt/keymap.h"

namespace {

struct Case {
    const char* what;
    int key;
    QString text;
    Qt::KeyboardModifiers modifiers;
    uint32_t keysym;
};

TEST(Keymap, KeyEventsBecomeTheKeysymsAnXKeyboardSends) {
    const Case cases[] = {
        {"letter", Qt::Key_A, QStringLiteral("a"), Qt::NoModifier, 'a'},
        {"shifted letter", Qt::Key_A, QStringLiteral("A"), Qt::ShiftModifier, 'A'},
        {"Ctrl+C is Control and c", Qt::Key_C, QStringLiteral("\x03"), Qt::ControlModifier, 'c'},
        {"Ctrl+Shift+C", Qt::Key_C, QStringLiteral("\x03"), Qt::ControlModifier | Qt::ShiftModifier,
         'C'},
        {"Latin-1 character", Qt::Key_Adiaeresis, QStringLiteral("\u00e4"), Qt::NoModifier, 0xe4},
        {"character beyond Latin-1", Qt::Key_unknown, QStringLiteral("\u20ac"), Qt::NoModifier,
         0x010020ac},
        {"Return", Qt::Key_Return, QStringLiteral("\r"), Qt::NoModifier, 0xff0d},
        {"keypad Enter", Qt::Key_Enter, QStringLiteral("\r"), Qt::KeypadModifier, 0xff8d},
        {"Shift+Tab is Tab", Qt::Key_Backtab, QString(), Qt::ShiftModifier, 0xff09},
        {"Delete", Qt::Key_Delete, QStringLiteral("\x7f"), Qt::NoModifier, 0xffff},
        {"F12", Qt::Key_F12, QString(), Qt::NoModifier, 0xffc9},
        {"AltGr", Qt::Key_AltGr, QString(), Qt::NoModifier, 0xfe03},
        {"the Windows key, Meta to Qt, is Super", Qt::Key_Meta, QString(), Qt::MetaModifier,
         0xffeb},
        {"keypad digit", Qt::Key_7, QStringLiteral("7"), Qt::KeypadModifier, 0xffb7},
        {"keypad plus", Qt::Key_Plus, QStringLiteral("+"), Qt::KeypadModifier, 0xffab},
        {"keypad Home (Num Lock off)", Qt::Key_Home, QString(), Qt::KeypadModifier, 0xff50},
        {"dead acute", Qt::Key_Dead_Acute, QString(), Qt::NoModifier, 0xfe51},
        {"unknown key", Qt::Key_unknown, QString(), Qt::NoModifier, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(talviewer::KeysymFor(c.key, c.text, c.modifiers), c.keysym) << c.what;
    }
}

}  // namespace
