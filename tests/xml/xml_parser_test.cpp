// The parser: SetDocument's results and where it fails, the element index, slot sizing,
// the nesting limit, double-byte texts, and the fast scanners against character stepping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "launcher/xml/xml_document.h"
#include "platform/code_page.h"
#include "support/code_page_scope.h"

namespace {

struct XmlProbe : CXmlDocument {
    using CXmlDocument::kMaxNestingDepth, CXmlDocument::NextToken, CXmlDocument::ScanToChar,
        CXmlDocument::TakeSlot;
};

std::vector<int32_t> Fields(const ElementSpan& s) {
    return {s.startTagBegin, s.startTagEnd, s.endTagBegin, s.endTagEnd,
            s.parent,        s.firstChild,  s.nextSibling};
}

using S = XmlParseStatus;

const struct {
    const char* text;
    int elements;  // 0: SetDocument returns false
    XmlParseResult result;
} kParseCases[] = {
    {nullptr, 0, {S::kNoElement, 0}},
    {"", 0, {S::kNoElement, 0}},
    // Passed over before the root and between children.
    {"<?xml version=\"1.0\"?><!-- c --><!DOCTYPE x [ <!ENTITY y \"z\"> ]><a/>", 1, {S::kOk, 0}},
    {"<a><!-- c --><b/><?pi x?><![CDATA[<e>]]><c/></a>", 3, {S::kOk, 0}},
    {"<!--><?><a/>", 1, {S::kOk, 0}},       // terminators are sought from the '<'
    {"<![ \"--> ]]><a/>", 1, {S::kOk, 0}},  // the third byte alone decides: CDATA to "]]>"
    {"< ?xml?>< !-- c --><a>< !-- </a> --></a>", 1, {S::kOk, 0}},  // white space after '<'
    // Text after the root is never read.
    {"<a/>garbage", 1, {S::kOk, 0}},
    {"<a></a><b></c>", 1, {S::kOk, 0}},
    // Lenient tags.
    {"< a></a>", 1, {S::kOk, 0}},
    {"<a></ a >", 1, {S::kOk, 0}},
    {"<a></a junk>", 1, {S::kOk, 0}},
    {"<a x=\"/>\"></a>", 1, {S::kOk, 0}},
    {"<a[b></a>", 1, {S::kOk, 0}},  // the name's byte after the end tag's token may be '['
    // Failures: each status, at the root and inside it.
    {"   ", 0, {S::kNoElement, 3}},
    {"</a>", 0, {S::kNoElement, 0}},
    {"\n<a><b></b>", 0, {S::kUnclosedElement, 1}},
    {"<r><a>", 0, {S::kUnclosedElement, 3}},
    {"<a></b>", 0, {S::kEndTagMismatch, 3}},
    {"<a></A>", 0, {S::kEndTagMismatch, 3}},
    {"<ab></a>", 0, {S::kEndTagMismatch, 4}},
    {"<r><a></b></r>", 0, {S::kEndTagMismatch, 6}},
    {"<a></a \"x>", 0, {S::kEndTagNotCompleted, 3}},
    {"<r></r", 0, {S::kEndTagNotCompleted, 3}},
    {"<'a'>", 0, {S::kTagStartsWithQuote, 0}},
    {"<r><'a'>", 0, {S::kTagStartsWithQuote, 3}},
    {"<!-- x", 0, {S::kInvalidNode, 0}},
    {"<!D ] > ><a/>", 0, {S::kInvalidNode, 0}},  // a declaration ends at a '>' at depth 0
    {"<r><!-- x</r>", 0, {S::kInvalidNode, 3}},
    {"<  \r\n\t", 0, {S::kAbruptEndWithinTag, 0}},
    {"<r>< ", 0, {S::kAbruptEndWithinTag, 3}},
    {"<a", 0, {S::kEndOfTagNotFound, 0}},
    {"<r><a", 0, {S::kEndOfTagNotFound, 3}}};

TEST(XmlParser, ResultsAndWhereTheyFail) {
    CXmlDocument doc;  // reused: every text replaces the one before
    for (const auto& c : kParseCases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(doc.SetDocument(c.text), c.elements > 0);
        EXPECT_EQ(doc.ParseResult().status, c.result.status);
        EXPECT_EQ(doc.ParseResult().offset, c.result.offset);
        EXPECT_EQ(doc.NextFree(), c.elements + 1);
        EXPECT_EQ(doc.Spans()[0].firstChild, c.elements > 0 ? 1 : 0);
        if (c.elements == 0) {
            EXPECT_EQ(Fields(doc.Spans()[0]), Fields(ElementSpan{}));
        }
    }
}

TEST(XmlParser, SpansAndLinks) {
    // A text and the Fields of its slots 1, 2, ...
    const std::pair<const char*, std::vector<std::vector<int32_t>>> cases[] = {
        {"<a/>", {{0, 3, 2, 3, 0, 0, 0}}},
        {"<a></a>", {{0, 2, 3, 6, 0, 0, 0}}},
        {"<a x=\"/>\"></a>", {{0, 7, 6, 7, 0, 0, 0}}},  // empty: the tag ends at the first '>'
        {"<a><b><c/></b><d/></a>",
         {{0, 2, 18, 21, 0, 2, 0},
          {3, 5, 10, 13, 1, 3, 4},
          {6, 9, 8, 9, 2, 0, 0},
          {14, 17, 16, 17, 1, 0, 0}}},
    };
    for (const auto& [text, slots] : cases) {
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocument(text)) << text;
        ASSERT_EQ(static_cast<std::size_t>(doc.NextFree()), slots.size() + 1) << text;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            EXPECT_EQ(Fields(doc.Spans()[i + 1]), slots[i]) << text << " slot " << i + 1;
        }
    }
}

TEST(XmlParser, SlotsSizedFromTheTextGrowByHalfKeepTheirRecordsAndNeverShrink) {
    // 600 bytes reserve 600 / 64 + 8 slots; seeking a 17th child of r at "</r>" takes one more.
    const std::string text = "<!--" + std::string(526, 'x') + "--><r>" +
                             "<e/><e/><e/><e/><e/><e/><e/><e/><e/><e/><e/><e/><e/><e/><e/>" +
                             "</r>";
    XmlProbe doc;
    ASSERT_TRUE(doc.SetDocument(text.c_str()));
    EXPECT_EQ(doc.Spans().size(), 25u);
    ASSERT_TRUE(doc.SetDocument("<a><b/></a>"));
    const std::vector<int32_t> root = Fields(doc.Spans()[1]), child = Fields(doc.Spans()[2]);
    for (std::size_t slots = 25; doc.NextFree() < 1000;) {
        if (static_cast<std::size_t>(doc.TakeSlot()) == slots)
            slots += slots / 2;
        ASSERT_EQ(doc.Spans().size(), slots);
    }
    EXPECT_EQ(Fields(doc.Spans()[1]), root);
    EXPECT_EQ(Fields(doc.Spans()[2]), child);
}

TEST(XmlParser, CopiesAreIndependent) {
    // A small text lives in the object and a large one outside it: both must be copied.
    const std::string large = "<r>" + std::string(5000, ' ') + "<e a=\"v\"/></r>";
    for (const std::string& text : {std::string("<r><e a=\"v\"/></r>"), large}) {
        auto original = std::make_unique<CXmlDocument>();
        ASSERT_TRUE(original->SetDocument(text.c_str()));
        ASSERT_TRUE(original->FindNextElement());
        ASSERT_TRUE(original->EnterElement());
        CXmlDocument copy(*original);
        CXmlDocument assigned;
        assigned = *original;
        const std::size_t slots = original->Spans().size();
        original.reset();
        for (CXmlDocument* doc : {&copy, &assigned}) {
            EXPECT_EQ(doc->Spans().size(), slots);
            EXPECT_TRUE(doc->ParseResult());
            ASSERT_EQ(doc->NextFree(), 3);
            ASSERT_TRUE(doc->FindNextElement("e")) << "the walk's place is copied too";
            EXPECT_EQ(doc->GetAttribute("a"), "v");
        }
    }
}

TEST(XmlParser, NestingDepthIsLimited) {
    std::string open, close;
    for (int depth = 0; depth < XmlProbe::kMaxNestingDepth; ++depth) {
        open += "<a>";
        close += "</a>";
    }
    CXmlDocument doc;
    EXPECT_TRUE(doc.SetDocument((open + close).c_str()));
    EXPECT_FALSE(doc.SetDocument((open + "<a></a>" + close).c_str()));
    EXPECT_EQ(doc.ParseResult(),
              (XmlParseResult{XmlParseStatus::kNestingTooDeep, 3 * XmlProbe::kMaxNestingDepth}));
    while (open.size() < 3000000) {  // a million "<a>"
        open += open;
    }
    EXPECT_FALSE(doc.SetDocument(open.c_str()));
}

TEST(XmlParser, DoubleByteCharactersUnder949) {
    const std::tuple<const char*, bool, bool> cases[] = {
        // text, result under 1252 and 949
        {"<a>\x81</a>", true, false},           // "\x81<": no end tag follows
        {"<a v=\"\x81>\"/>", false, true},      // "\x81>" does not end the start tag
        {"<!D \"\x81\"\" ><a/>", false, true},  // "\x81\"" does not end the quoted token
        {"<!--\x81-->x<a/>", true, false},      // "\x81-" hides the comment's terminator
        {"<\xC7\xD1\xB1\xDB></\xC7\xD1\xB1\xDB>", true, true},
        {"<\xC7\xD1\xB1\xDB></\xC7\xD1>", false, false},
    };
    CXmlDocument doc;
    for (const auto& [text, ok1252, ok949] : cases) {
        CodePageScope single(1252);
        EXPECT_EQ(doc.SetDocument(text), ok1252) << testing::PrintToString(text);
        CodePageScope dbcs(949);
        EXPECT_EQ(doc.SetDocument(text), ok949) << testing::PrintToString(text);
    }
}

// Length of the character at pos: two bytes for a lead byte followed by a byte other than
// NUL, else one.
int32_t CharAt(const std::string& s, int32_t pos) {
    return IsLeadByte(static_cast<unsigned char>(s[pos])) && s[pos + 1] != '\0' ? 2 : 1;
}

// The first character at or after pos whose byte is in stops (or the NUL), stepping by
// characters: what the fast scanners must agree with.
int32_t StepToAny(const std::string& s, int32_t pos, const char* stops) {
    while (s[pos] != '\0' && std::strchr(stops, s[pos]) == nullptr) {
        pos += CharAt(s, pos);
    }
    return pos;
}

TEST(XmlParser, FastScannersAgreeWithCharacterStepping) {
    uint32_t seed = 1;
    const auto below = [&seed](std::size_t n) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int32_t>((seed >> 8) % n);
    };
    const char kBytes[] = "<>/?!=\"' \t\v-]x\x81\xC7\xD1\xE0";
    for (const unsigned int codePage : {1252u, 949u, 932u}) {
        CodePageScope cp(codePage);
        for (int round = 0; round < 300; ++round) {
            std::string s;  // long enough for the block and memchr paths
            while (s.size() < 20u + static_cast<std::size_t>(round)) {
                s += below(4) == 0 ? std::string(below(40), 'a')
                                   : std::string(1, kBytes[below(sizeof kBytes - 1)]);
            }
            int32_t start = 0;
            for (const int32_t at = below(s.size()); start < at;) {
                start += CharAt(s, start);
            }
            for (const char ch : {'<', '|'}) {  // '|' does not occur: the scan runs to the end
                int32_t pos = start;
                XmlProbe::ScanToChar(s, pos, ch);
                ASSERT_EQ(pos, StepToAny(s, start, std::string(1, ch).c_str())) << s << ch;
            }
            ScanToken token{.next = start, .text = s};
            const auto p = static_cast<int32_t>(s.find_first_not_of(" \t\n\r", start));
            ASSERT_EQ(XmlProbe::NextToken(token), p >= 0) << s;
            const bool quoted = p >= 0 && (s[p] == '"' || s[p] == '\'');
            if (p >= 0) {  // the token's end: the closing quote, or the first delimiter
                const int32_t end = quoted ? StepToAny(s, p + 1, std::string(1, s[p]).c_str())
                                           : std::max(StepToAny(s, p, " \t\n\r<>=\\/?!"), p + 1);
                ASSERT_EQ(token.begin, quoted ? p + 1 : p) << s;
                ASSERT_EQ(token.end, end - 1) << s;
                ASSERT_EQ(token.next, quoted && s[end] != '\0' ? end + 1 : end) << s;
            }
        }
    }
}

}  // namespace
