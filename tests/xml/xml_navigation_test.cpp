// Navigation: FindNextElement, EnterElement and the value accessors.
#include <gtest/gtest.h>

#include <string>

#include "xml_test_support.h"

namespace {

class XmlNavigationTest : public ::testing::Test {
protected:
    CodePageScope m_codePage{1252};
    CXmlDocument m_doc;
};

const char* kSettings = "<xml><connect ip=\"h\" port=\"7\"/><title>T</title></xml>";

TEST_F(XmlNavigationTest, SettingsWalk) {
    ASSERT_TRUE(m_doc.SetDocument(kSettings));
    EXPECT_FALSE(m_doc.EnterElement());
    EXPECT_EQ(m_doc.GetElementName(), "");
    ASSERT_TRUE(m_doc.FindNextElement(nullptr));
    EXPECT_EQ(m_doc.GetElementName(), "xml");
    EXPECT_FALSE(m_doc.FindNextElement(nullptr)) << "the root has no sibling";
    EXPECT_EQ(m_doc.GetElementName(), "xml") << "state unchanged";
    ASSERT_TRUE(m_doc.EnterElement());
    EXPECT_EQ(m_doc.GetElementName(), "");
    ASSERT_TRUE(m_doc.FindNextElement(nullptr));
    EXPECT_EQ(m_doc.GetElementName(), "connect");
    EXPECT_EQ(m_doc.GetAttribute("ip"), "h");
    EXPECT_EQ(m_doc.GetAttribute("port"), "7");
    EXPECT_EQ(m_doc.GetText(), "");
    ASSERT_TRUE(m_doc.FindNextElement(nullptr));
    EXPECT_EQ(m_doc.GetElementName(), "title");
    EXPECT_EQ(m_doc.GetText(), "T");
    EXPECT_FALSE(m_doc.FindNextElement(nullptr));
    EXPECT_EQ(m_doc.GetElementName(), "title");
}

TEST_F(XmlNavigationTest, FindByName) {
    ASSERT_TRUE(m_doc.SetDocument(kSettings));
    ASSERT_TRUE(m_doc.FindNextElement(""));
    ASSERT_TRUE(m_doc.EnterElement());
    EXPECT_FALSE(m_doc.FindNextElement("missing"));
    EXPECT_EQ(m_doc.GetElementName(), "");
    ASSERT_TRUE(m_doc.FindNextElement("title"));
    EXPECT_EQ(m_doc.GetElementName(), "title");
    EXPECT_FALSE(m_doc.FindNextElement("connect")) << "the walk never moves backward";
    EXPECT_EQ(m_doc.GetElementName(), "title");
}

TEST_F(XmlNavigationTest, FindByNameIsCaseSensitiveAndUsesTokenEquals) {
    ASSERT_TRUE(m_doc.SetDocument("<r><Title/><title x='1'/><titles/></r>"));
    ASSERT_TRUE(m_doc.FindNextElement("r"));
    ASSERT_TRUE(m_doc.EnterElement());
    ASSERT_TRUE(m_doc.FindNextElement("title"));
    EXPECT_EQ(m_doc.GetAttribute("x"), "1");
    ASSERT_TRUE(m_doc.SetDocument("<r><titles/><title/></r>"));
    ASSERT_TRUE(m_doc.FindNextElement("r"));
    ASSERT_TRUE(m_doc.EnterElement());
    ASSERT_TRUE(m_doc.FindNextElement("title x")) << "the name's byte after the token may be ' '";
    EXPECT_EQ(m_doc.GetElementName(), "title");
    EXPECT_FALSE(m_doc.FindNextElement("title"));
}

TEST_F(XmlNavigationTest, FindAtDocumentLevelByName) {
    ASSERT_TRUE(m_doc.SetDocument("<root/>"));
    EXPECT_FALSE(m_doc.FindNextElement("other"));
    EXPECT_TRUE(m_doc.FindNextElement("root"));
    EXPECT_FALSE(m_doc.FindNextElement("root"));
}

TEST_F(XmlNavigationTest, EnterEmptyElement) {
    ASSERT_TRUE(m_doc.SetDocument("<a/>"));
    ASSERT_TRUE(m_doc.FindNextElement());
    EXPECT_TRUE(m_doc.EnterElement());
    EXPECT_FALSE(m_doc.FindNextElement());
    EXPECT_FALSE(m_doc.EnterElement()) << "no current element";
}

TEST_F(XmlNavigationTest, SetDocumentResetsNavigation) {
    ASSERT_TRUE(m_doc.SetDocument(kSettings));
    ASSERT_TRUE(m_doc.FindNextElement());
    ASSERT_TRUE(m_doc.EnterElement());
    ASSERT_TRUE(m_doc.FindNextElement());
    ASSERT_TRUE(m_doc.SetDocument("<b>x</b>"));
    EXPECT_EQ(m_doc.GetElementName(), "");
    EXPECT_EQ(m_doc.GetText(), "");
    ASSERT_TRUE(m_doc.FindNextElement());
    EXPECT_EQ(m_doc.GetText(), "x");
    EXPECT_FALSE(m_doc.SetDocument("<b>"));
    EXPECT_FALSE(m_doc.FindNextElement());
    EXPECT_EQ(m_doc.GetAttribute(""), "");
}

TEST_F(XmlNavigationTest, DeepWalk) {
    ASSERT_TRUE(m_doc.SetDocument("<a><b><c><d k='v'>t</d></c></b><e/></a>"));
    const char* path[] = {"a", "b", "c", "d"};
    for (const char* name : path) {
        ASSERT_TRUE(m_doc.FindNextElement());
        EXPECT_EQ(m_doc.GetElementName(), name);
        if (std::string(name) != "d") {
            ASSERT_TRUE(m_doc.EnterElement());
        }
    }
    EXPECT_EQ(m_doc.GetAttribute("k"), "v");
    EXPECT_EQ(m_doc.GetText(), "t");
    EXPECT_FALSE(m_doc.FindNextElement("e")) << "e is not a sibling of d";
}

TEST_F(XmlNavigationTest, ElementNameAsWritten) {
    ASSERT_TRUE(m_doc.SetDocument("< a ></a>"));
    ASSERT_TRUE(m_doc.FindNextElement());
    EXPECT_EQ(m_doc.GetElementName(), "a");
    ASSERT_TRUE(m_doc.SetDocument("<ns:Name.x-y/>"));
    ASSERT_TRUE(m_doc.FindNextElement("ns:Name.x-y"));
    EXPECT_EQ(m_doc.GetElementName(), "ns:Name.x-y");
}

// ---- GetAttribute ----

struct AttributeCase {
    const char* element;
    const char* name;  // null for a null name
    const char* value;
};

void PrintTo(const AttributeCase& c, std::ostream* os) {
    *os << Escaped(c.element) << " " << Escaped(c.name);
}

class XmlAttributeTable : public ::testing::TestWithParam<AttributeCase> {
protected:
    CodePageScope m_codePage{1252};
};

TEST_P(XmlAttributeTable, Value) {
    const AttributeCase& c = GetParam();
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(c.element)) << c.element;
    ASSERT_TRUE(doc.FindNextElement());
    EXPECT_EQ(doc.GetAttribute(c.name), c.value)
        << c.element << " / " << (c.name ? c.name : "null");
}

const AttributeCase kAttributeCases[] = {
    {"<connect ip=\"h\"/>", "ip", "h"},
    {"<connect ip=\"h\"/>", "IP", ""},
    {"<connect ip = 'h'></connect>", "ip", "h"},
    {"<connect ip=h></connect>", "ip", ""},
    {"<connect ip=\"\"></connect>", "ip", ""},
    {"<connect ip ip=\"h\"></connect>", "ip", ""},
    {"<connect ip=\"h\" ip=\"k\"></connect>", "ip", "h"},
    {"<connect ip x \"h\"></connect>", "ip", "h"},
    {"<a / ip=\"h\"></a>", "ip", ""},
    {"<a ip=\"x&amp;y\"></a>", "ip", "x&y"},
    {"<a ip=\"&lt;&gt;&apos;&quot;&amp;\"/>", "ip", "<>'\"&"},
    {"<a ip=\"&#60;&LT;&nbsp;&\"/>", "ip", "&#60;&LT;&nbsp;&"},
    {"<a ip=\"&amp;amp;\"/>", "ip", "&amp;"},
    {"<a ip='say \"hi\"'/>", "ip", "say \"hi\""},
    {"<a ip=\"it's\"/>", "ip", "it's"},
    {"<a port=\"7\" ip=\"h\"/>", "ip", "h"},
    {"<a ip=\"h\"/>", "", "ip"},
    {"<a  first = \"1\" second=\"2\"/>", "", "first"},
    {"<a \"q\" x=\"1\"/>", "", "x"},
    {"<a/>", "", ""},
    {"<a ip=\"h\"/>", nullptr, ""},
    {"<a ip=\"h\"/>", "a", ""},  // the tag name is never compared
    {"<a ipx=\"h\"/>", "ip", ""},
    {"<a ip=\"h\"/>", "ipx", ""},
    {"<a ip=\"h\"/>", "ip=", "h"},  // TokenEquals: '=' after the token's bytes
    {"<a ip=\"h\"/>", "ip x", "h"},
    {"<a ip=\"h\"/>", "i", ""},
    {"<a ip=\"h>\">x</a>", "ip", "h>"},  // tokens are read past the start tag's first '>'
    {"<a x=1 ip=\"h\"/>", "ip", "h"},
    {"<a ip=\"h\"?>x</a>", "ip", "h"},
    {"<a ?ip=\"h\"/>", "ip", ""},                        // '?' ends the start tag for the lookup
    {"<a ip=\"unterminated/>", "ip", "unterminated/>"},  // runs to the end of the text
    {"<a\nip\n=\n\"multi\nline\"/>", "ip", "multi\nline"},
};

INSTANTIATE_TEST_SUITE_P(Elements, XmlAttributeTable, ::testing::ValuesIn(kAttributeCases));

TEST_F(XmlNavigationTest, AttributeNeedsCurrentElement) {
    ASSERT_TRUE(m_doc.SetDocument("<a ip=\"h\"><b/></a>"));
    EXPECT_EQ(m_doc.GetAttribute("ip"), "");
    ASSERT_TRUE(m_doc.FindNextElement());
    ASSERT_TRUE(m_doc.EnterElement());
    EXPECT_EQ(m_doc.GetAttribute("ip"), "");
}

// ---- GetText ----

struct TextCase {
    const char* element;
    const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << Escaped(c.element);
}

class XmlTextTable : public ::testing::TestWithParam<TextCase> {
protected:
    CodePageScope m_codePage{1252};
};

TEST_P(XmlTextTable, Text) {
    const TextCase& c = GetParam();
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(c.element)) << c.element;
    ASSERT_TRUE(doc.FindNextElement());
    EXPECT_EQ(doc.GetText(), c.text) << c.element;
}

const TextCase kTextCases[] = {
    {"<title>T</title>", "T"},
    {"<title>  A  </title>", "  A  "},
    {"<title>A &lt;B&gt;</title>", "A <B>"},
    {"<title><![CDATA[A & <B>]]></title>", "A & <B>"},
    {"<title> <![CDATA[x]]> tail</title>", "x"},
    {"<title>\n\t<![CDATA[&amp;]]></title>", "&amp;"},
    {"<title><![CDATA[]]></title>", ""},
    {"<title><![CDATA[a]]></title>", "a"},
    {"<title><![CDATA[a]]]></title>", "a]"},
    {"<title>x<![CDATA[y]]></title>", "x<![CDATA[y]]>"},
    {"<title>&amp;<![CDATA[y]]></title>", "&<![CDATA[y]]>"},
    {"<title><![cdata[y]]></title>", "<![cdata[y]]>"},
    {"<title>a<!--c-->b</title>", "a<!--c-->b"},
    {"<title>a<?pi x?>b</title>", "a<?pi x?>b"},
    {"<title><b/>x</title>", ""},
    {"<title/>", ""},
    {"<title></title>", ""},
    {"<title>   </title>", "   "},
    {"<title>&#60;&LT;&nbsp;&</title>", "&#60;&LT;&nbsp;&"},
    {"<title>&amp;amp;</title>", "&amp;"},
    {"<title>&amp</title>", "&amp"},
    {"<title>&lt</title>", "&lt"},
    {"<title>a&gt;</title>", "a>"},
    {"<title>&apos;&quot;</title>", "'\""},
    {"<title>x > y &amp; z</title>", "x > y & z"},
};

INSTANTIATE_TEST_SUITE_P(Elements, XmlTextTable, ::testing::ValuesIn(kTextCases));

TEST_F(XmlNavigationTest, TextNeedsCurrentElement) {
    ASSERT_TRUE(m_doc.SetDocument("<a>x</a>"));
    EXPECT_EQ(m_doc.GetText(), "");
    ASSERT_TRUE(m_doc.FindNextElement());
    ASSERT_TRUE(m_doc.EnterElement());
    EXPECT_EQ(m_doc.GetText(), "");
}

// ---- Double-byte code page ----

TEST(XmlNavigationDbcs, ValuesAndTextUnder949) {
    CodePageScope cp(949);
    CXmlDocument doc;
    // "한" = C7 D1; 0x81 followed by '"', '<', '&', '>' forms one character under 949.
    ASSERT_TRUE(doc.SetDocument(
        "<\xC7\xD1 v=\"\x81\"\" w=\"\x81&amp;\" k='\x81''>\x81&amp;\x81<x &lt;</\xC7\xD1>"));
    ASSERT_TRUE(doc.FindNextElement("\xC7\xD1"));
    EXPECT_EQ(doc.GetElementName(), "\xC7\xD1");
    EXPECT_EQ(doc.GetAttribute("v"), "\x81\"");
    EXPECT_EQ(doc.GetAttribute("w"), "\x81&amp;");
    EXPECT_EQ(doc.GetAttribute("k"), "\x81'");
    EXPECT_EQ(doc.GetAttribute(""), "v");
    EXPECT_EQ(doc.GetText(), "\x81&amp;\x81<x <");
}

TEST(XmlNavigationDbcs, SameTextUnder1252) {
    CodePageScope cp(1252);
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument("<a v=\"\x81\" w=\"\x81&amp;\">\x81&amp;x</a>"));
    ASSERT_TRUE(doc.FindNextElement());
    EXPECT_EQ(doc.GetAttribute("v"), "\x81");
    EXPECT_EQ(doc.GetAttribute("w"), "\x81&");
    EXPECT_EQ(doc.GetText(), "\x81&x");
}

TEST(XmlNavigationDbcs, CdataWithSecondByteBracket) {
    const char* text = "<t><![CDATA[\x81]]>]]></t>";
    CXmlDocument doc;
    {
        CodePageScope cp(949);
        ASSERT_TRUE(doc.SetDocument(text));
        ASSERT_TRUE(doc.FindNextElement());
        EXPECT_EQ(doc.GetText(), "\x81]]>");
    }
    {
        CodePageScope cp(1252);
        ASSERT_TRUE(doc.SetDocument(text));
        ASSERT_TRUE(doc.FindNextElement());
        EXPECT_EQ(doc.GetText(), "\x81");
    }
}

TEST(XmlNavigationDbcs, NameComparisonCoversTokenBytes) {
    CodePageScope cp(949);
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument("<r><\xC7\xD1\xB1\xDB/><\xC7\xD1/></r>"));
    ASSERT_TRUE(doc.FindNextElement());
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.FindNextElement("\xC7\xD1"));
    EXPECT_EQ(doc.GetElementName(), "\xC7\xD1") << "the longer name is not equal";
}

TEST(XmlNavigationDbcs, ShiftJisLeadBytes) {
    // 932: 0x81-0x9F and 0xE0-0xFC lead; 0xA0-0xDF are single-byte katakana.
    CXmlDocument doc;
    CodePageScope cp(932);
    ASSERT_TRUE(doc.SetDocument("<a v=\"\xE0\"\"/>"));
    ASSERT_TRUE(doc.FindNextElement());
    EXPECT_EQ(doc.GetAttribute("v"), "\xE0\"");
    ASSERT_TRUE(doc.SetDocument("<a v=\"\xB1\"/>"));
    ASSERT_TRUE(doc.FindNextElement());
    EXPECT_EQ(doc.GetAttribute("v"), "\xB1");
}

}  // namespace
