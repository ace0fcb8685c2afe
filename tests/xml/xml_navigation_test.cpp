// Navigation (FindNextElement, EnterElement) and the value accessors, entity decoding
// included.
#include <gtest/gtest.h>

#include <string>

#include "launcher/xml/xml_document.h"
#include "support/code_page_scope.h"

namespace {

const char kSettings[] = "<xml><connect ip=\"h\" port=\"7\"/><title>T</title></xml>";

// The walk goes forward only, enters elements, empty ones included, and never leaves one; a
// failed step changes nothing.
TEST(XmlNavigation, WalksForwardOnlyAndNeverOutOfAnElement) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(kSettings));
    EXPECT_FALSE(doc.EnterElement());
    ASSERT_TRUE(doc.FindNextElement(nullptr));
    EXPECT_EQ(doc.GetElementName(), "xml");
    EXPECT_FALSE(doc.FindNextElement()) << "the root has no sibling";
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ(doc.GetAttribute("ip"), "") << "no current element";
    ASSERT_TRUE(doc.FindNextElement("title"));  // passing over connect
    EXPECT_EQ(doc.GetText(), "T");
    EXPECT_FALSE(doc.FindNextElement("connect")) << "the walk never moves backward";
    EXPECT_EQ(doc.GetElementName(), "title") << "a failed step changes nothing";
    ASSERT_TRUE(doc.SetDocument(kSettings));
    ASSERT_TRUE(doc.FindNextElement(""));
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.FindNextElement("connect"));
    EXPECT_EQ(doc.GetAttribute("ip"), "h");
    EXPECT_EQ(doc.GetAttribute("port"), "7");
    EXPECT_EQ(doc.GetText(), "");
    EXPECT_TRUE(doc.EnterElement()) << "an empty element can be entered";
    EXPECT_FALSE(doc.FindNextElement());
    EXPECT_FALSE(doc.FindNextElement("title")) << "nor left again";
    EXPECT_FALSE(doc.EnterElement());
}

TEST(XmlNavigation, GetAttribute) {
    // A start tag (completed by "</a>"), an attribute name, its value.
    const char* cases[][3] = {
        {"<a ip=\"h\"/>", "ip", "h"},
        {"<a ip=\"h\"/>", "IP", ""},
        {"<a ip = 'h'>", "ip", "h"},
        {"<a ip=h>", "ip", ""},
        {"<a ip=\"\">", "ip", ""},
        {"<a ip ip=\"h\">", "ip", ""},
        {"<a ip=\"h\" ip=\"k\">", "ip", "h"},
        {"<a ip x \"h\">", "ip", "h"},
        {"<a / ip=\"h\">", "ip", ""},
        {"<a ip=\"x&amp;y\">", "ip", "x&y"},
        {"<a port=\"7\" ip=\"h\">", "", "port"},
        {"<a ip=\"h\">", nullptr, ""},
        {"<a ip=\"h\">", "a", ""},     // the tag name is never compared
        {"<a ip=\"h\">", "ip=", "h"},  // the name's byte after the token may be '='
    };
    for (const auto& [startTag, name, value] : cases) {
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocument((std::string(startTag) + "</a>").c_str())) << startTag;
        ASSERT_TRUE(doc.FindNextElement());
        EXPECT_EQ(doc.GetAttribute(name), value) << startTag << " " << (name ? name : "null");
    }
}

TEST(XmlNavigation, GetTextAndEntities) {
    // The content of <t>, and its text.
    const char* cases[][2] = {
        {"", ""},
        {"  A  ", "  A  "},
        {"A &lt;B&gt;", "A <B>"},
        {"<![CDATA[A & <B>]]>", "A & <B>"},
        {" <![CDATA[x]]> tail", "x"},
        {"\n<![CDATA[&amp;]]>", "&amp;"},
        {"<![CDATA[a]]]>", "a]"},
        {"<![CDATA[]]>", ""},
        {"x<![CDATA[y]]>", "x<![CDATA[y]]>"},
        {"a<!--c-->b", "a<!--c-->b"},
        {"<b/>x", ""},
        {"&#60;&#x3C;&LT;&nbsp;&", "&#60;&#x3C;&LT;&nbsp;&"},
        {"&amp;amp;&amp;lt;", "&amp;&lt;"},
        {"&apos;&quot;&lt", "'\"&lt"},
    };
    for (const auto& [content, text] : cases) {
        CXmlDocument doc;
        ASSERT_TRUE(doc.SetDocument(("<t>" + std::string(content) + "</t>").c_str())) << content;
        ASSERT_TRUE(doc.FindNextElement());
        EXPECT_EQ(doc.GetText(), text) << content;
    }
}

TEST(XmlNavigation, DoubleByteNamesAndValues) {
    CodePageScope cp(949);  // "\x81" and the byte after it are one character
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(
        "<r><\xC7\xD1\xB1\xDB/><\xC7\xD1 v=\"\x81\"\" k='\x81''>\x81<\x81&amp;</\xC7\xD1></r>"));
    ASSERT_TRUE(doc.FindNextElement());
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.FindNextElement("\xC7\xD1")) << "passing over the longer name";
    EXPECT_EQ(doc.GetElementName(), "\xC7\xD1");
    EXPECT_EQ(doc.GetAttribute("v"), "\x81\"");
    EXPECT_EQ(doc.GetAttribute("k"), "\x81'");
    EXPECT_EQ(doc.GetText(), "\x81<\x81&amp;");
    ASSERT_TRUE(doc.SetDocument("<t><![CDATA[\x81]]>]]></t>"));
    ASSERT_TRUE(doc.FindNextElement());
    EXPECT_EQ(doc.GetText(), "\x81]]>");
}

}  // namespace
