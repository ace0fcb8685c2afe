// The fast scanners (memchr, 16-byte blocks, run stepping) against plain character-stepping
// references written straight from the character-stepping rules, on random texts rich in lead bytes, markup
// characters and the bytes that follow lead bytes, under 1252, 949 and 932.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "xml_test_support.h"

namespace {

class Random {
public:
    explicit Random(uint32_t seed) : m_state(seed) {}
    uint32_t Below(uint32_t n) {
        m_state = m_state * 1103515245u + 12345u;
        return (m_state >> 8) % n;
    }

private:
    uint32_t m_state;
};

// A text of length bytes (no NUL) mixing ASCII runs, markup and double-byte material.
std::string RandomText(Random& rng, std::size_t length) {
    static const char kPieces[] = "<>/?!=\"' \t\r\n-[]&;|\\ab";
    std::string out;
    while (out.size() < length) {
        switch (rng.Below(6)) {
            case 0:
            case 1:
                out += kPieces[rng.Below(sizeof kPieces - 1)];
                break;
            case 2:
                out += static_cast<char>(0x80 + rng.Below(0x80));  // lead bytes and others
                break;
            case 3: {
                const int run = static_cast<int>(rng.Below(40));  // a plain ASCII run
                for (int i = 0; i < run; ++i) {
                    out += static_cast<char>('a' + rng.Below(26));
                }
                break;
            }
            case 4:
                out += "\xC7\xD1";
                break;
            default:
                out += "-->";
                break;
        }
    }
    out.resize(length);
    return out;
}

int32_t ReferenceScanTo(const std::string& text, int32_t pos, char ch) {
    while (text[static_cast<std::size_t>(pos)] != '\0' &&
           text[static_cast<std::size_t>(pos)] != ch) {
        pos += CharLength(text.c_str() + pos);
    }
    return pos;
}

bool IsDelimiter(char c) {
    return c != '\0' && std::strchr(" \t\n\r<>=\\/?!", c) != nullptr;
}

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

ScanToken ReferenceNextToken(const std::string& text, int32_t next, bool& result) {
    ScanToken t;
    t.text = text;
    const auto at = [&text](int32_t i) { return text[static_cast<std::size_t>(i)]; };
    int32_t p = next;
    while (at(p) != '\0' && IsWhiteSpace(at(p))) {
        ++p;
    }
    if (at(p) == '\0') {
        t.begin = t.end = t.next = p;
        result = false;
        return t;
    }
    result = true;
    if (at(p) == '"' || at(p) == '\'') {
        t.quoted = true;
        t.begin = p + 1;
        const int32_t q = ReferenceScanTo(text, p + 1, at(p));
        t.end = q - 1;
        t.next = at(q) == at(p) ? q + 1 : q;
        return t;
    }
    t.begin = p;
    int32_t q = p;
    while (at(q) != '\0' && !IsDelimiter(at(q))) {
        q += CharLength(text.c_str() + q);
    }
    if (q == p) {
        q = p + 1;
    }
    t.end = q - 1;
    t.next = q;
    return t;
}

// Character-aware search for an ASCII needle from pos; -1 when absent.
int32_t ReferenceFind(const std::string& text, int32_t pos, const char* needle) {
    const std::size_t n = std::strlen(needle);
    while (text[static_cast<std::size_t>(pos)] != '\0') {
        if (text.compare(static_cast<std::size_t>(pos), n, needle) == 0) {
            return pos;
        }
        pos += CharLength(text.c_str() + pos);
    }
    return -1;
}

class XmlScannerReference : public ::testing::TestWithParam<unsigned int> {};

TEST_P(XmlScannerReference, ScanToCharAndNextToken) {
    CodePageScope cp(GetParam());
    Random rng(GetParam());
    for (int round = 0; round < 300; ++round) {
        const std::string text = RandomText(rng, 1 + rng.Below(400));
        const auto size = static_cast<int32_t>(text.size());
        for (int k = 0; k < 8; ++k) {
            // Start positions are character boundaries, as every scan's are.
            int32_t start = 0;
            const int32_t want = static_cast<int32_t>(rng.Below(static_cast<uint32_t>(size)));
            while (start < want) {
                start += CharLength(text.c_str() + start);
            }
            for (const char ch : {'<', '>', '"', '\'', '|', ']'}) {
                int32_t pos = start;
                const bool found = XmlProbe::ScanToChar(text, pos, ch);
                const int32_t expected = ReferenceScanTo(text, start, ch);
                ASSERT_EQ(pos, expected)
                    << Escaped(text.c_str()) << " from " << start << " for " << ch;
                ASSERT_EQ(found, expected < size);
            }
            ScanToken fast;
            fast.text = text;
            fast.next = start;
            bool expectedResult = false;
            const ScanToken slow = ReferenceNextToken(text, start, expectedResult);
            ASSERT_EQ(XmlProbe::NextToken(fast), expectedResult);
            ASSERT_EQ(fast.begin, slow.begin);
            ASSERT_EQ(fast.end, slow.end);
            ASSERT_EQ(fast.next, slow.next);
            ASSERT_EQ(fast.quoted, slow.quoted);
        }
    }
}

TEST_P(XmlScannerReference, SpecialNodeTerminators) {
    CodePageScope cp(GetParam());
    Random rng(GetParam() + 1);
    const struct {
        const char* open;
        const char* terminator;
        int kind;
    } kNodes[] = {{"<?", "?>", 16}, {"<![", "]]>", 8}, {"<!-", "-->", 32}};
    for (int round = 0; round < 400; ++round) {
        for (const auto& node : kNodes) {
            const std::string text = node.open + RandomText(rng, rng.Below(300));
            ScanToken t;
            t.text = text;
            t.next = 0;
            const int kind = XmlProbe::SkipSpecialNode(t);
            const int32_t at = ReferenceFind(text, 0, node.terminator);
            if (text.size() < 3) {
                continue;  // "<?" alone: the second byte after '<' is NUL
            }
            if (at < 0) {
                ASSERT_EQ(kind, 0) << Escaped(text.c_str());
            } else {
                ASSERT_EQ(kind, node.kind) << Escaped(text.c_str());
                ASSERT_EQ(t.next, at + static_cast<int32_t>(std::strlen(node.terminator)));
            }
        }
    }
}

TEST_P(XmlScannerReference, ParseAgreesAcrossLongTexts) {
    // Documents whose elements hold long random text (no '<'), so that the long-range scan
    // paths run: the element structure must come out the same as for short texts.
    CodePageScope cp(GetParam());
    Random rng(GetParam() + 2);
    for (int round = 0; round < 100; ++round) {
        std::string body = RandomText(rng, 50 + rng.Below(2000));
        for (char& c : body) {
            if (c == '<' || c == '>') {
                c = 'x';
            }
        }
        const std::string text = "<r a=\"" + std::string(100, 'v') + "\">" + body + "<e/></r>";
        // Where is the '<' of "<e/>" under character stepping? A lead byte just before it
        // may swallow it.
        const int32_t lt = ReferenceScanTo(text, static_cast<int32_t>(text.find('>') + 1), '<');
        CXmlDocument doc;
        const bool ok = doc.SetDocument(text.c_str());
        if (lt == static_cast<int32_t>(text.size() - 8)) {
            ASSERT_TRUE(ok) << Escaped(text.c_str());
            ASSERT_EQ(doc.NextFree(), 3);
            EXPECT_EQ(doc.Spans()[2].startTagBegin, lt);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(CodePages, XmlScannerReference, ::testing::Values(1252u, 949u, 932u));

}  // namespace
