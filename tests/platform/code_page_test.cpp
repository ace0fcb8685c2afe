// The code page: default detection, lead-byte tables and the character-aware helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "support/code_page_scope.h"

namespace {

// Defined first: in a fresh process (ctest runs each test alone) nothing has set the code
// page yet, so the first use takes the platform default.
TEST(CodePageDefault, FirstUseTakesThePlatformDefault) {
    EXPECT_EQ(ActiveCodePage(), DefaultCodePage());
    EXPECT_EQ(ActiveCodePageHasLeadBytes(), CodePageHasLeadBytes(DefaultCodePage()));
}

TEST(CodePageDefault, SetOverridesTheDefault) {
    CodePageScope cp(949);
    EXPECT_EQ(ActiveCodePage(), 949u);
    SetActiveCodePage(65001);
    EXPECT_EQ(ActiveCodePage(), 65001u);
    EXPECT_FALSE(ActiveCodePageHasLeadBytes());
}

struct CharsetCase {
    const char* name;
    unsigned int codePage;
};

void PrintTo(const CharsetCase& c, std::ostream* os) {
    *os << (c.name != nullptr ? c.name : "(null)");
}

class CharsetNameTable : public ::testing::TestWithParam<CharsetCase> {};

TEST_P(CharsetNameTable, Maps) {
    const CharsetCase& c = GetParam();
    EXPECT_EQ(CodePageFromCharsetName(c.name), c.codePage) << (c.name ? c.name : "null");
}

const CharsetCase kCharsets[] = {
    {"EUC-KR", 949},
    {"euc-kr", 949},
    {"EUCKR", 949},
    {"CP949", 949},
    {"UHC", 949},
    {"GBK", 936},
    {"GB2312", 936},
    {"GB18030", 936},
    {"EUC-CN", 936},
    {"BIG5", 950},
    {"Big5", 950},
    {"BIG5-HKSCS", 950},
    {"SHIFT_JIS", 932},
    {"Shift_JIS", 932},
    {"SJIS", 932},
    {"CP932", 932},
    {"WINDOWS-31J", 932},
    {"JOHAB", 1361},
    {"UTF-8", 65001},
    {"utf8", 65001},
    {"ANSI_X3.4-1968", 20127},
    {"ASCII", 20127},
    {"", 20127},
    {nullptr, 20127},
    {"ISO-8859-1", 28591},
    {"ISO-8859-15", 28605},
    {"CP1252", 1252},
    {"WINDOWS-1251", 1251},
    {"KOI8-R", 1252},
    {"EUC-JP", 1252},
    {"a-name-that-is-much-too-long-to-be-any-character-set-name-at-all-really", 1252},
};

INSTANTIATE_TEST_SUITE_P(Names, CharsetNameTable, ::testing::ValuesIn(kCharsets));

TEST(CodePageLeadBytes, RangesPerCodePage) {
    struct Range {
        unsigned int codePage;
        std::vector<std::pair<int, int>> lead;
    };
    const Range ranges[] = {
        {949, {{0x81, 0xFE}}},
        {936, {{0x81, 0xFE}}},
        {950, {{0x81, 0xFE}}},
        {932, {{0x81, 0x9F}, {0xE0, 0xFC}}},
        {1361, {{0x84, 0xD3}, {0xD8, 0xDE}, {0xE0, 0xF9}}},
        {1252, {}},
        {65001, {}},
        {20127, {}},
    };
    for (const Range& r : ranges) {
        CodePageScope cp(r.codePage);
        EXPECT_EQ(ActiveCodePageHasLeadBytes(), !r.lead.empty()) << r.codePage;
        EXPECT_EQ(CodePageHasLeadBytes(r.codePage), !r.lead.empty()) << r.codePage;
        for (int b = 0; b < 256; ++b) {
            bool expected = false;
            for (const auto& range : r.lead) {
                expected = expected || (b >= range.first && b <= range.second);
            }
            EXPECT_EQ(IsLeadByte(static_cast<unsigned char>(b)), expected)
                << r.codePage << " " << b;
            EXPECT_EQ(LeadByteTable()[b] != 0, expected);
            EXPECT_EQ(LeadByteTableFor(r.codePage)[b] != 0, expected);
        }
    }
}

TEST(CodePageChars, CharLength) {
    CodePageScope cp(949);
    EXPECT_EQ(CharLength("\xC7\xD1"), 2);
    EXPECT_EQ(CharLength("\x81|"), 2);
    EXPECT_EQ(CharLength("\x81"), 1) << "a lead byte before NUL";
    EXPECT_EQ(CharLength("a"), 1);
    EXPECT_EQ(CharLength(""), 1);
    const char range[] = "\x81|";
    EXPECT_EQ(CharLength(range, range + 2), 2);
    EXPECT_EQ(CharLength(range, range + 1), 1) << "a lead byte at the end of the range";
    CodePageScope single(1252);
    EXPECT_EQ(CharLength("\xC7\xD1"), 1);
}

// Splits on '|' with FindChar, as the host-list reply splitter does.
std::vector<std::string> Split(const std::string& body) {
    std::vector<std::string> parts;
    const char* p = body.data();
    const char* end = p + body.size();
    for (;;) {
        const char* bar = FindChar(p, end, '|');
        parts.emplace_back(p, bar);
        if (bar == end) {
            return parts;
        }
        p = bar + 1;
    }
}

TEST(CodePageChars, FindCharSplitsOnBarsOnly) {
    CodePageScope cp(949);
    // "\x81|" is one character under 949: its '|' is no separator.
    EXPECT_EQ(Split("a|b|c"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(Split("\xB0\xA1|\x81|x|"), (std::vector<std::string>{"\xB0\xA1", "\x81|x", ""}));
    EXPECT_EQ(Split(""), (std::vector<std::string>{""}));
    EXPECT_EQ(Split("|"), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(Split("ab\x81"), (std::vector<std::string>{"ab\x81"}));
    CodePageScope single(1252);
    EXPECT_EQ(Split("\xB0\xA1|\x81|x|"), (std::vector<std::string>{"\xB0\xA1", "\x81", "x", ""}));
}

TEST(CodePageChars, FindCharInRangeStopsAtTheRange) {
    CodePageScope cp(949);
    const std::string s = "ab\x81|c|";
    const char* b = s.data();
    EXPECT_EQ(FindChar(b, b + s.size(), '|'), b + 5);
    EXPECT_EQ(FindChar(b, b + 3, '|'), b + 3) << "lead byte last in range is one char";
    EXPECT_EQ(FindChar(b + 3, b + s.size(), '|'), b + 3) << "search from a second byte";
    EXPECT_EQ(FindChar(b, b, '|'), b);
    const std::string withNul("\x81\0|", 3);
    EXPECT_EQ(FindChar(withNul.data(), withNul.data() + 3, '|'), withNul.data() + 2)
        << "a lead byte followed by NUL is one character";
}

TEST(CodePageChars, FindCharNulTerminated) {
    CodePageScope cp(949);
    const char* s = "x\x81|y|";
    EXPECT_EQ(FindChar(s, '|'), s + 4);
    EXPECT_EQ(FindChar(s, 'z'), nullptr);
    EXPECT_EQ(FindChar(s, '\0'), s + 5);
    EXPECT_EQ(FindChar("\x81", 'x'), nullptr);
    CodePageScope single(1252);
    EXPECT_EQ(FindChar(s, '|'), s + 2);
}

TEST(CodePageChars, FindSubstring) {
    CodePageScope cp(949);
    const char* s = "<!--\x81-->-->";
    EXPECT_EQ(FindSubstring(s, "-->"), s + 8);
    EXPECT_EQ(FindSubstring(s, "<!"), s);
    EXPECT_EQ(FindSubstring(s, "]]>"), nullptr);
    EXPECT_EQ(FindSubstring(s, ""), s);
    const std::string r = "a]]>";
    EXPECT_EQ(FindSubstring(r.data(), r.data() + 3, "]]>"), r.data() + 3) << "must fit the range";
    EXPECT_EQ(FindSubstring(r.data(), r.data() + 4, "]]>"), r.data() + 1);
    CodePageScope single(1252);
    EXPECT_EQ(FindSubstring(s, "-->"), s + 5);
    const char* aab = "aab";
    EXPECT_EQ(FindSubstring(aab, "ab"), aab + 1);
}

TEST(CodePageChars, SingleAndDoubleByteAgreeOnAscii) {
    const std::string text = "plain | ascii ]]> text --> with ?> markers";
    for (const char* needle : {"|", "]]>", "-->", "?>", "x"}) {
        const char* a;
        const char* b;
        {
            CodePageScope cp(1252);
            a = FindSubstring(text.c_str(), needle);
        }
        {
            CodePageScope cp(949);
            b = FindSubstring(text.c_str(), needle);
        }
        EXPECT_EQ(a, b) << needle;
    }
}

}  // namespace
