// CXmlDocument's value access: the current element's tag name, an attribute's quoted value
// and the element's text (or its leading CDATA section), taken from the document text when
// asked for, with the five predefined entities decoded.
#include <cstring>

#include "launcher/xml/xml_document.h"
#include "launcher/xml/xml_scan.h"

using namespace xml_scan;

namespace {

struct EntityRow {
    const char* name;
    int32_t length;
    char character;
};
constexpr EntityRow kEntities[] = {
    {"lt;", 3, '<'}, {"amp;", 4, '&'}, {"gt;", 3, '>'}, {"apos;", 5, '\''}, {"quot;", 5, '"'},
};

}  // namespace

std::string CXmlDocument::GetElementName() const {
    if (m_current == 0) {
        return std::string();
    }
    ScanToken token;
    token.text = std::string_view(m_text, static_cast<std::size_t>(m_size));
    token.next = m_spans[m_current].startTagBegin + 1;
    NextTokenImpl(token, ActiveCp());
    return TokenText(token);
}

bool CXmlDocument::SeekAttribute(ScanToken& token, const char* name) {
    const CodePage cp = ActiveCp();
    const u8* u = U(token.text.data());
    int32_t i = 0;
    int32_t m = 0;
    for (;; ++i) {
        if (!NextTokenImpl(token, cp)) {
            return false;
        }
        if (!token.quoted) {
            const u8 first = u[token.begin];
            if (first == '>' || first == '/' || first == '?') {
                return false;  // the start tag is over
            }
            if (first == '=') {
                continue;
            }
            if (m == 0 && i > 0) {
                if (*name == '\0') {
                    return true;  // the first attribute's name
                }
                if (TokenEquals(token, name)) {
                    m = i;
                }
            }
        } else if (m != 0 && i == m + 2) {
            return true;  // the quoted value
        }
    }
}

std::string CXmlDocument::GetAttribute(const char* name) const {
    if (m_current == 0 || name == nullptr) {
        return std::string();
    }
    ScanToken token;
    token.text = std::string_view(m_text, static_cast<std::size_t>(m_size));
    token.next = m_spans[m_current].startTagBegin + 1;
    if (!SeekAttribute(token, name)) {
        return std::string();
    }
    int32_t last = token.end;
    if (last >= m_size) {
        --last;
    }
    return DecodeEntities(token.begin, last);
}

std::string CXmlDocument::GetText() const {
    if (m_current == 0) {
        return std::string();
    }
    const ElementSpan& e = m_spans[m_current];
    if (e.firstChild != 0 || e.startTagEnd == e.endTagBegin + 1) {
        return std::string();
    }
    const char* t = m_text;
    const int32_t p = SkipWs(U(t), e.startTagEnd + 1);
    if (t[p] == '<' && e.endTagBegin - p > 11 && std::memcmp(t + p, "<![CDATA[", 9) == 0) {
        const int32_t q = FindTerm(t, e.endTagBegin, p + 9, "]]>", 3, ActiveCp());
        if (q >= 0 && q < e.endTagBegin) {
            return std::string(t + p + 9, static_cast<std::size_t>(q - (p + 9)));
        }
    }
    return DecodeEntities(e.startTagEnd + 1, e.endTagBegin - 1);
}

std::string CXmlDocument::DecodeEntities(int32_t first, int32_t last) const {
    std::string out;
    if (last < first) {
        return out;
    }
    out.reserve(static_cast<std::size_t>(last - first) + 1);
    const char* t = m_text;
    const u8* u = U(t);
    const CodePage cp = ActiveCp();
    int32_t pos = first;
    while (pos <= last) {
        if (!cp.dbcs) {
            // Copy the run up to the next '&' at once.
            const void* r = std::memchr(t + pos, '&', static_cast<std::size_t>(last - pos + 1));
            const int32_t amp =
                r != nullptr ? static_cast<int32_t>(static_cast<const char*>(r) - t) : last + 1;
            out.append(t + pos, static_cast<std::size_t>(amp - pos));
            pos = amp;
            if (pos > last) {
                break;
            }
        }
        const u8 c = u[pos];
        if (c == '&') {
            bool matched = false;
            for (const EntityRow& row : kEntities) {
                if (pos + row.length <= last &&
                    std::memcmp(t + pos + 1, row.name, static_cast<std::size_t>(row.length)) == 0) {
                    out.push_back(row.character);
                    pos += row.length + 1;
                    matched = true;
                    break;
                }
            }
            if (!matched) {
                out.push_back('&');
                ++pos;
            }
        } else if (cp.lead[c] != 0 && pos + 1 <= last && u[pos + 1] != 0) {
            out.append(t + pos, 2);
            pos += 2;
        } else {
            out.push_back(static_cast<char>(c));
            ++pos;
        }
    }
    return out;
}
