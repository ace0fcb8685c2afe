// CXmlDocument's navigation: a cursor that walks the element index level by level, forward
// only, comparing names in place in the document text.
#include "launcher/xml/xml_document.h"
#include "launcher/xml/xml_scan.h"

using namespace xml_scan;

void CXmlDocument::MoveTo(int32_t parent, int32_t current) {
    m_parent = parent;
    m_current = current;
}

int32_t CXmlDocument::SeekSibling(int32_t parent, int32_t current, const char* name) const {
    int32_t candidate = current != 0 ? m_spans[current].nextSibling : m_spans[parent].firstChild;
    if (name == nullptr || *name == '\0') {
        return candidate;
    }
    const CodePage cp = ActiveCp();
    while (candidate != 0) {
        ScanToken token;
        token.text = std::string_view(m_text, static_cast<std::size_t>(m_size));
        token.next = m_spans[candidate].startTagBegin + 1;
        NextTokenImpl(token, cp);
        if (TokenEquals(token, name)) {
            return candidate;
        }
        candidate = m_spans[candidate].nextSibling;
    }
    return 0;
}

bool CXmlDocument::FindNextElement(const char* name) {
    const int32_t s = SeekSibling(m_parent, m_current, name);
    if (s == 0) {
        return false;
    }
    MoveTo(m_spans[s].parent, s);
    return true;
}

bool CXmlDocument::EnterElement() {
    if (m_current == 0) {
        return false;
    }
    MoveTo(m_current, 0);
    return true;
}
