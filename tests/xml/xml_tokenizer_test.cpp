// Tokenizer internals: ScanToChar, SkipWhiteSpace, NextToken, TokenText, TokenEquals,
// SkipSpecialNode (reached through the XmlProbe subclass).
#include <gtest/gtest.h>

#include <string>

#include "xml_test_support.h"

namespace {

ScanToken TokenAt(const std::string& text, int32_t next) {
    ScanToken t;
    t.text = text;
    t.next = next;
    return t;
}

TEST(XmlScanners, FreshTokenFields) {
    ScanToken t;
    EXPECT_EQ(t.begin, 0);
    EXPECT_EQ(t.end, -1);
    EXPECT_EQ(t.next, 0);
    EXPECT_FALSE(t.quoted);
    EXPECT_EQ(XmlProbe::TokenText(t), "");
}

TEST(XmlScanners, ScanToChar) {
    CodePageScope cp(949);
    const std::string text = "ab\x81<c<d";
    int32_t pos = 0;
    EXPECT_TRUE(XmlProbe::ScanToChar(text, pos, '<'));
    EXPECT_EQ(pos, 5);  // "\x81<" is one character
    pos = 0;
    EXPECT_FALSE(XmlProbe::ScanToChar(text, pos, '>'));
    EXPECT_EQ(pos, static_cast<int32_t>(text.size()));
    const std::string lone = "x\x81";
    pos = 0;
    EXPECT_FALSE(XmlProbe::ScanToChar(lone, pos, '<'));
    EXPECT_EQ(pos, 2);
    CodePageScope single(1252);
    pos = 0;
    EXPECT_TRUE(XmlProbe::ScanToChar(text, pos, '<'));
    EXPECT_EQ(pos, 3);
}

TEST(XmlScanners, SkipWhiteSpace) {
    const std::string text = " \t\r\nx \v";
    int32_t pos = 0;
    EXPECT_TRUE(XmlProbe::SkipWhiteSpace(text, pos));
    EXPECT_EQ(pos, 4);
    pos = 5;
    EXPECT_TRUE(XmlProbe::SkipWhiteSpace(text, pos)) << "vertical tab is not white space";
    EXPECT_EQ(pos, 6);
    const std::string blank = "  ";
    pos = 0;
    EXPECT_FALSE(XmlProbe::SkipWhiteSpace(blank, pos));
    EXPECT_EQ(pos, 2);
}

struct TokenCase {
    const char* text;
    int32_t next;
    bool result;
    int32_t begin;
    int32_t end;
    int32_t after;  // next after the call
    bool quoted;
    const char* tokenText;
};

void PrintTo(const TokenCase& c, std::ostream* os) {
    *os << Escaped(c.text) << " @" << c.next;
}

class XmlNextTokenTable : public ::testing::TestWithParam<TokenCase> {
protected:
    CodePageScope m_codePage{1252};
};

TEST_P(XmlNextTokenTable, Fields) {
    const TokenCase& c = GetParam();
    const std::string text = c.text;
    ScanToken t = TokenAt(text, c.next);
    EXPECT_EQ(XmlProbe::NextToken(t), c.result) << c.text;
    EXPECT_EQ(t.begin, c.begin) << c.text;
    EXPECT_EQ(t.end, c.end) << c.text;
    EXPECT_EQ(t.next, c.after) << c.text;
    EXPECT_EQ(t.quoted, c.quoted) << c.text;
    EXPECT_EQ(XmlProbe::TokenText(t), c.tokenText) << c.text;
}

const TokenCase kTokenCases[] = {
    {"abc def", 0, true, 0, 2, 3, false, "abc"},
    {"abc def", 3, true, 4, 6, 7, false, "def"},
    {"  \n", 0, false, 3, 3, 3, false, ""},
    {"", 0, false, 0, 0, 0, false, ""},
    {"ip=\"h\"", 0, true, 0, 1, 2, false, "ip"},
    {"ip=\"h\"", 2, true, 2, 2, 3, false, "="},
    {"ip=\"h\"", 3, true, 4, 4, 6, true, "h"},
    {"\"\"x", 0, true, 1, 0, 2, true, ""},
    {"'a\"b'", 0, true, 1, 3, 5, true, "a\"b"},
    {"\"a'b\"", 0, true, 1, 3, 5, true, "a'b"},
    {"\"open", 0, true, 1, 4, 5, true, "open"},
    {"'", 0, true, 1, 0, 1, true, ""},
    {"</a>", 1, true, 1, 1, 2, false, "/"},
    {"<", 0, true, 0, 0, 1, false, "<"},
    {"\\x", 0, true, 0, 0, 1, false, "\\"},
    {"?!", 0, true, 0, 0, 1, false, "?"},
    {"a[b]c>", 0, true, 0, 4, 5, false, "a[b]c"},
    {"a\"b\" c", 0, true, 0, 3, 4, false, "a\"b\""},  // quotes inside an unquoted token
    {"x\x81>y", 0, true, 0, 1, 2, false, "x\x81"},    // single-byte: '>' ends the token
};

INSTANTIATE_TEST_SUITE_P(Texts, XmlNextTokenTable, ::testing::ValuesIn(kTokenCases));

TEST(XmlScanners, NextTokenDoubleByte) {
    CodePageScope cp(949);
    const std::string text = "x\x81>y \"\x81\"\" \x81";
    ScanToken t = TokenAt(text, 0);
    ASSERT_TRUE(XmlProbe::NextToken(t));
    EXPECT_EQ(XmlProbe::TokenText(t), "x\x81>y");
    ASSERT_TRUE(XmlProbe::NextToken(t));
    EXPECT_TRUE(t.quoted);
    EXPECT_EQ(XmlProbe::TokenText(t), "\x81\"");
    ASSERT_TRUE(XmlProbe::NextToken(t));
    EXPECT_EQ(XmlProbe::TokenText(t), "\x81") << "a lead byte before NUL is one character";
    EXPECT_FALSE(XmlProbe::NextToken(t));
}

struct EqualsCase {
    const char* token;
    const char* name;
    bool equal;
};

void PrintTo(const EqualsCase& c, std::ostream* os) {
    *os << Escaped(c.token) << " vs " << Escaped(c.name);
}

class XmlTokenEqualsTable : public ::testing::TestWithParam<EqualsCase> {};

TEST_P(XmlTokenEqualsTable, Equals) {
    const EqualsCase& c = GetParam();
    const std::string text = c.token;
    ScanToken t = TokenAt(text, 0);
    ASSERT_TRUE(XmlProbe::NextToken(t));
    EXPECT_EQ(XmlProbe::TokenEquals(t, c.name), c.equal) << c.token << " vs " << c.name;
}

const EqualsCase kEqualsCases[] = {
    {"ip", "ip", true},  {"ip", "ip=", true},  {"ip", "ip x", true}, {"ip", "ip/", true},
    {"ip", "ip[", true}, {"ip", "i", false},   {"ip", "ipx", false}, {"ip", "IP", false},
    {"ip", "", false},   {"ip>", "ip", true},  {"a[b", "a", false},  {"a", "a[b", true},
    {"\"\"", "", true},  {"\"\"", "x", false}, {"\"\"", " ", true},
};

INSTANTIATE_TEST_SUITE_P(Tokens, XmlTokenEqualsTable, ::testing::ValuesIn(kEqualsCases));

struct SpecialCase {
    const char* text;
    int kind;
    int32_t next;  // after the call (unchanged when the kind is 0 or 1)
};

void PrintTo(const SpecialCase& c, std::ostream* os) {
    *os << Escaped(c.text);
}

class XmlSkipSpecialTable : public ::testing::TestWithParam<SpecialCase> {
protected:
    CodePageScope m_codePage{1252};
};

TEST_P(XmlSkipSpecialTable, KindAndNext) {
    const SpecialCase& c = GetParam();
    const std::string text = c.text;
    ScanToken t = TokenAt(text, 0);
    EXPECT_EQ(XmlProbe::SkipSpecialNode(t), c.kind) << c.text;
    if (c.kind != 0) {
        EXPECT_EQ(t.next, c.next) << c.text;
    }
    if (c.kind == 1 || c.kind == 8 || c.kind == 16 || c.kind == 32) {
        EXPECT_EQ(t.begin, 0) << c.text;
    }
}

const SpecialCase kSpecialCases[] = {
    {"<?xml?>x", 16, 7},
    {"<?>x", 16, 3},
    {"<![CDATA[a]]>x", 8, 13},
    {"<![x]]>", 8, 7},
    {"<!-- c -->x", 32, 10},
    {"<!-->x", 32, 5},
    {"<!-x-->", 32, 7},
    {"<!DOCTYPE a>x", 64, 12},
    {"<!DOCTYPE a [ <!ENTITY b 'c>'> ]>x", 64, 33},
    {"<!a [[ ]] >", 64, 11},
    {"<!a [[ ] ]>", 0, 0},  // the depth goes below 0
    {"< ?x?>", 16, 6},
    {"<a>", 1, 0},
    {"</a>", 0, 0},
    {"<?", 0, 0},
    {"<!", 0, 0},
    {"<", 0, 0},
    {"<?x", 0, 0},
    {"<!--", 0, 0},
    {"<!DOCTYPE", 0, 0},
    {"<!D [>", 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Texts, XmlSkipSpecialTable, ::testing::ValuesIn(kSpecialCases));

}  // namespace
