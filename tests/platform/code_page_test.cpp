// The code page: default detection and lead-byte ranges. FindChar is checked through its
// caller, the host-list reply (tests/net).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "platform/code_page.h"
#include "support/code_page_scope.h"

namespace {

// Defined first: in a fresh process (ctest runs each test alone) nothing has set the code
// page yet, so the first use takes the platform default.
TEST(CodePage, FirstUseTakesThePlatformDefault) {
    EXPECT_EQ(ActiveCodePage(), DefaultCodePage());
}

// Names are compared in upper case without separators; numbered ISO and Windows names map by
// their number; anything else is 1252, and no name at all is ASCII.
TEST(CodePage, FromCharsetName) {
    const std::pair<const char*, unsigned int> cases[] = {
        {"euc_kr", 949},  {"GB18030", 936},       {"Big5-HKSCS", 950},       {"Shift_JIS", 932},
        {"JOHAB", 1361},  {"utf8", 65001},        {"ANSI_X3.4-1968", 20127}, {"iso8859-15", 28605},
        {"CP1251", 1251}, {"WINDOWS-1250", 1250}, {"KOI8-R", 1252},          {"EUC-JP", 1252},
        {"", 20127},      {nullptr, 20127},
    };
    for (const auto& [name, codePage] : cases)
        EXPECT_EQ(CodePageFromCharsetName(name), codePage) << (name ? name : "null");
    EXPECT_EQ(CodePageFromCharsetName(("CP" + std::string(80, '9')).c_str()), 1252u);
}

TEST(CodePage, LeadByteBoundaries) {
    // A code page, bytes at the ends of its lead-byte ranges, bytes just outside them.
    const std::tuple<unsigned int, const char*, const char*> cases[] = {
        {949, "\x81\xFE", "\x7F\x80\xFF"},
        {936, "\x81\xFE", "\x7F\x80\xFF"},
        {950, "\x81\xFE", "\x7F\x80\xFF"},
        {932, "\x81\x9F\xE0\xFC", "\x80\xA0\xDF\xFD"},
        {1361, "\x84\xD3\xD8\xDE\xE0\xF9", "\x83\xD4\xD7\xDF\xFA"},
        {1252, "", "\x81\xFE"},
        {65001, "", "\xC3\xE0"},
    };
    for (const auto& [codePage, leads, others] : cases) {
        CodePageScope cp(codePage);
        EXPECT_EQ(ActiveCodePageHasLeadBytes(), *leads != '\0') << codePage;
        for (const auto& [bytes, lead] : {std::pair{leads, true}, std::pair{others, false}}) {
            for (const char* b = bytes; *b != '\0'; ++b) {
                const auto byte = static_cast<unsigned char>(*b);
                EXPECT_EQ(IsLeadByte(byte), lead) << codePage << " " << int{byte};
                EXPECT_EQ(LeadByteTableFor(codePage)[byte] != 0, lead) << codePage;
            }
        }
    }
}

}  // namespace
