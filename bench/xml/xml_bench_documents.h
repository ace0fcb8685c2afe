// Documents of the XML benchmark: generated deterministically, plus an optional system file.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace xml_bench {

// Some double-byte text in code page 949 ("원격 지원", "한글 설정 값").
inline const char* kKorean[] = {"\xBF\xF8\xB0\xDD \xC1\xF6\xBF\xF8",
                                "\xC7\xD1\xB1\xDB \xBC\xB3\xC1\xA4 \xB0\xAA"};

class Rng {
public:
    explicit Rng(uint32_t seed) : m_state(seed) {}
    uint32_t Next() {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }
    uint32_t Below(uint32_t n) { return Next() % n; }

private:
    uint32_t m_state;
};

// (a) A settings file like set.xml.
inline std::string SettingsDocument() {
    return "<?xml version=\"1.0\" encoding=\"euc-kr\"?>\n"
           "<xml>\n"
           "  <connect ip=\"192.168.10.20\" port=\"5900\"/>\n"
           "  <title>" +
           std::string(kKorean[0]) +
           " - Launcher</title>\n"
           "</xml>\n";
}

// (b) A configuration-like document of about targetBytes: sections of key/value entries,
// comments and a few text elements.
inline std::string ConfigDocument(std::size_t targetBytes) {
    Rng rng(12345);
    std::string out =
        "<?xml version=\"1.0\" encoding=\"euc-kr\"?>\n<configuration version=\"2\">\n";
    int section = 0;
    while (out.size() < targetBytes) {
        out += "  <!-- section " + std::to_string(section) + " -->\n";
        out += "  <section name=\"section" + std::to_string(section) + "\" enabled=\"true\">\n";
        const int entries = 5 + static_cast<int>(rng.Below(20));
        for (int i = 0; i < entries; ++i) {
            out += "    <add key=\"Setting." + std::to_string(section) + "." + std::to_string(i) +
                   "\" value=\"" + std::to_string(rng.Next()) + "\" type=\"int\"/>\n";
            if (rng.Below(8) == 0) {
                out += "    <description>Value &lt;" + std::to_string(i) + "&gt; for " +
                       kKorean[rng.Below(2)] + " &amp; more</description>\n";
            }
        }
        out += "  </section>\n";
        ++section;
    }
    out += "</configuration>\n";
    return out;
}

// (c) A large document with nesting, attributes, comments, CDATA, entities and some
// double-byte text.
inline std::string LargeDocument(std::size_t targetBytes) {
    Rng rng(777);
    std::string out =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE catalog [ <!ENTITY x \"y\"> ]>\n<catalog>\n";
    int group = 0;
    while (out.size() < targetBytes) {
        out += "<group id=\"g" + std::to_string(group) + "\" kind=\"k" +
               std::to_string(rng.Below(9)) + "\">\n";
        const int items = 3 + static_cast<int>(rng.Below(10));
        for (int i = 0; i < items; ++i) {
            out += " <item id=\"" + std::to_string(group * 100 + i) + "\" name=\"item name " +
                   std::to_string(rng.Next()) + "\" price='" + std::to_string(rng.Below(10000)) +
                   ".99'>\n";
            out += "  <title>Title of the item &amp; its " + std::string(kKorean[rng.Below(2)]) +
                   "</title>\n";
            switch (rng.Below(4)) {
                case 0:
                    out += "  <!-- a comment about the item, with some words in it -->\n";
                    break;
                case 1:
                    out += "  <code><![CDATA[if (a < b && c > d) { return \"x\"; }]]></code>\n";
                    break;
                case 2:
                    out += "  <tags><tag>alpha</tag><tag>beta</tag><tag v=\"1\"/></tags>\n";
                    break;
                default:
                    out +=
                        "  <note lang=\"en\">Lorem ipsum dolor sit amet, consectetur adipiscing "
                        "elit, sed do eiusmod tempor incididunt ut labore.</note>\n";
                    break;
            }
            out += "  <detail><a x=\"1\"><b y=\"2\"><c>deep text</c></b></a></detail>\n";
            out += " </item>\n";
        }
        out += "</group>\n";
        ++group;
    }
    out += "</catalog>\n";
    return out;
}

// (d) A file of the system, or "" when it is missing.
inline std::string FileDocument(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::string();
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The UTF-8 text converted to code page 949 (UHC) as far as it can be: every character
// that 949 lacks becomes '?'. Under 949 the UTF-8 original is no valid text (a lead byte can
// join the '<' after it); the converted text is what a 949 system would hold.
std::string ToCodePage949(const std::string& utf8);

}  // namespace xml_bench
