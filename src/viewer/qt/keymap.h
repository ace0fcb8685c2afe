// Qt key events to X keysyms, the keys RFB carries whatever the viewer's platform.
//
// Keys that name themselves (Return, arrows, modifiers, F-keys, the keypad) come from a table;
// everything else is the character it types, as Latin-1 or 0x01000000 + its code point. With
// Control held, Qt's text is a control character, so the key's own character is taken instead
// (Ctrl+C sends Control and "c", as an X keyboard would).
#pragma once

#include <QString>
#include <Qt>
#include <cstdint>

namespace talviewer {

// The keysym for a key event, or 0 if the key has none this viewer knows.
uint32_t KeysymFor(int qt_key, const QString& text, Qt::KeyboardModifiers modifiers);

}  // namespace talviewer
