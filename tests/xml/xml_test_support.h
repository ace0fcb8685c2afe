// Shared helpers of the XML document tests.
#pragma once

#include <string>
#include <vector>

#include "platform/code_page.h"
#include "support/code_page_scope.h"
#include "xml/xml_document.h"
#include "xml/xml_document_internal.h"

// Collects the ParseFailure messages of one scope.
class FailureMessages {
public:
    FailureMessages() {
        m_previous = SetXmlParseFailureHook(&Record);
        Log().clear();
    }
    ~FailureMessages() { SetXmlParseFailureHook(m_previous); }
    FailureMessages(const FailureMessages&) = delete;
    FailureMessages& operator=(const FailureMessages&) = delete;

    const std::vector<std::string>& Messages() const { return Log(); }
    void Clear() { Log().clear(); }
    // The one message of the last parse, or "" when there was none.
    std::string Last() const { return Log().empty() ? std::string() : Log().back(); }

private:
    static std::vector<std::string>& Log() {
        static std::vector<std::string> log;
        return log;
    }
    static void Record(const std::string& message) { Log().push_back(message); }
    XmlParseFailureHook m_previous;
};

// Opens the document's internal operations to the tests.
class XmlProbe : public CXmlDocument {
public:
    using CXmlDocument::DecodeEntities;
    using CXmlDocument::kMaxNestingDepth;
    using CXmlDocument::NextToken;
    using CXmlDocument::ReturnSlot;
    using CXmlDocument::ScanToChar;
    using CXmlDocument::SeekAttribute;
    using CXmlDocument::SkipSpecialNode;
    using CXmlDocument::SkipWhiteSpace;
    using CXmlDocument::TakeSlot;
    using CXmlDocument::TokenEquals;
    using CXmlDocument::TokenText;
};

// Element names in slot order, read through the public walk is not possible for the whole
// tree; this reads the name at each slot's start tag instead.
inline std::string NameAtSlot(const std::string& text, const ElementSpan& span) {
    ScanToken token;
    token.text = text;
    token.next = span.startTagBegin + 1;
    struct Reader : CXmlDocument {
        static std::string Read(ScanToken& t) {
            NextToken(t);
            return TokenText(t);
        }
    };
    return Reader::Read(token);
}

// Printable form of a test text (for test names and messages): non-ASCII and control bytes
// as \xNN, at most 40 characters.
inline std::string Escaped(const char* text) {
    if (text == nullptr) {
        return "(null)";
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char* p = text; *p != '\0' && out.size() < 40; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
