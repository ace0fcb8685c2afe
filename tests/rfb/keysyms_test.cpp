// Typed characters to X keysyms: Latin-1 as itself, the rest of Unicode offset by 0x01000000,
// control characters and non-characters none.
#include "rfb/keysyms.h"

#include <gtest/gtest.h>

namespace {

TEST(Keysyms, CharactersMapByRange) {
    struct Case {
        char32_t c;
        uint32_t keysym;
    };
    const Case cases[] = {
        {U' ', 0x20},      {U'~', 0x7e},           {U'\u00a0', 0xa0},
        {U'\u00ff', 0xff}, {U'\u0100', 0x1000100}, {U'\U0001f600', 0x101f600},
        {U'\n', 0},        {U'\x7f', 0},           {U'\u0085', 0},
        {0xd800, 0},       {0x110000, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rfb::keysym::KeysymForCharacter(c.c), c.keysym)
            << std::hex << static_cast<uint32_t>(c.c);
    }
}

}  // namespace
