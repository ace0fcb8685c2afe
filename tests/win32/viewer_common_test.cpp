// talviewer.exe's key table: Windows keys as X keysyms. (The texts and the session request both
// viewers share are tested in tests/viewer/session_messages_test.cpp.)
#include <gtest/gtest.h>

#include <string>

#include "rfb/keysyms.h"
#include "viewer/win32/keymap.h"

namespace talviewer {
namespace {

TEST(ViewerKeys, VirtualKeysWithoutTextHaveKeysyms) {
    namespace ks = rfb::keysym;
    struct Row {
        unsigned vk;
        bool extended;
        uint32_t keysym;
    };
    const Row rows[] = {
        {0x0d, false, ks::kReturn},
        {0x0d, true, ks::kKeypadEnter},
        {0x11, false, ks::kControlL},
        {0x11, true, ks::kControlR},
        {0x12, false, ks::kAltL},
        {0x12, true, ks::kAltR},
        {0x10, false, ks::kShiftL},
        {0xa1, false, ks::kShiftR},
        {0x70, false, ks::kF1},
        {0x7b, false, ks::kF1 + 11},
        {0x87, false, ks::kF1 + 23},
        {0x60, false, ks::kKeypad0},
        {0x69, false, ks::kKeypad0 + 9},
        {0x2e, true, ks::kDelete},
        {0x25, true, ks::kLeft},
        {0x5b, true, ks::kSuperL},
        {0x41, false, 0},  // 'A' types text: ToUnicode decides
        {0xba, false, 0},  // the ';' key of a US layout, likewise
    };
    for (const Row& row : rows)
        EXPECT_EQ(KeysymForVirtualKey(row.vk, row.extended), row.keysym) << row.vk;
}

TEST(ViewerKeys, TypedTextAsKeysyms) {
    EXPECT_EQ(KeysymForText(L"a", 1), 0x61u);
    EXPECT_EQ(KeysymForText(L"\u00e9", 1), 0xe9u);
    EXPECT_EQ(KeysymForText(L"\u20ac", 1), 0x010020acu);
    EXPECT_EQ(KeysymForText(L"\U0001f600", 2), 0x0101f600u);  // a surrogate pair
    EXPECT_EQ(KeysymForText(L"\x03", 1), 0u);                 // Ctrl+C's control character
    EXPECT_EQ(KeysymForText(L"ab", 2), 0u);                   // two characters: no one key
    EXPECT_EQ(KeysymForText(L"\xd800", 1), 0u);
}

}  // namespace
}  // namespace talviewer
