// libFuzzer target of CXmlDocument.
//
// Input: the first byte chooses the code page (odd: 949, even: 1252); the rest, up to the
// first NUL, is the document text. The target parses it, checks the element index's
// invariants and where a failure stopped, parses it again to check that the result is the
// same, and then walks every element that has children: since a walk cannot leave an element,
// each such element is reached by a fresh SetDocument and a replayed path of
// FindNextElement/EnterElement, and all its children are visited with every accessor. Any
// violation calls abort().
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/xml/xml_document.h"
#include "platform/code_page.h"

namespace {

[[noreturn]] void Fail(const char* what, int slot) {
    std::fprintf(stderr, "xml_document_fuzz: invariant violated: %s (slot %d)\n", what, slot);
    std::abort();
}

#define CHECK(cond, slot)        \
    do {                         \
        if (!(cond)) {           \
            Fail(#cond, (slot)); \
        }                        \
    } while (0)

// The tag name at a slot, read with the document's own tokenizer.
struct Probe : CXmlDocument {
    static std::string NameAt(const std::string& text, int32_t startTagBegin) {
        ScanToken t;
        t.text = text;
        t.next = startTagBegin + 1;
        NextToken(t);
        return TokenText(t);
    }
};

bool IsEmpty(const ElementSpan& s) {
    return s.startTagEnd == s.endTagBegin + 1;
}

void CheckIndex(const CXmlDocument& doc, const std::string& text, bool ok) {
    const auto& spans = doc.Spans();
    const auto len = static_cast<int64_t>(text.size());
    const int n = doc.NextFree();
    CHECK(spans.size() >= 8, 0);
    CHECK(spans.size() >= text.size() / 64 + 8, 0);
    CHECK(n >= 1 && static_cast<std::size_t>(n) <= spans.size(), n);
    const ElementSpan& d = spans[0];
    if (!ok) {
        CHECK(n == 1, 0);
        CHECK(d.startTagBegin == 0 && d.startTagEnd == 0 && d.endTagBegin == 0 &&
                  d.endTagEnd == 0 && d.parent == 0 && d.firstChild == 0 && d.nextSibling == 0,
              0);
        return;
    }
    CHECK(n >= 2, 0);
    CHECK(d.firstChild == 1 && d.nextSibling == 0 && d.parent == 0, 0);
    std::vector<int> seen(static_cast<std::size_t>(n), 0);
    for (int i = 1; i < n; ++i) {
        const ElementSpan& s = spans[static_cast<std::size_t>(i)];
        CHECK(s.startTagBegin >= 0 && s.startTagBegin < s.startTagEnd && s.startTagEnd < len, i);
        CHECK(text[static_cast<std::size_t>(s.startTagBegin)] == '<', i);
        CHECK(text[static_cast<std::size_t>(s.startTagEnd)] == '>', i);
        if (IsEmpty(s)) {
            CHECK(s.endTagEnd == s.startTagEnd, i);
            CHECK(text[static_cast<std::size_t>(s.endTagBegin)] == '/', i);
            CHECK(s.firstChild == 0, i);
        } else {
            CHECK(s.startTagEnd < s.endTagBegin && s.endTagBegin < s.endTagEnd && s.endTagEnd < len,
                  i);
            CHECK(text[static_cast<std::size_t>(s.endTagBegin)] == '<', i);
            CHECK(text[static_cast<std::size_t>(s.endTagEnd)] == '>', i);
        }
        if (i == 1) {
            CHECK(s.parent == 0 && s.nextSibling == 0, i);
        } else {
            CHECK(s.parent >= 1 && s.parent < i, i);
            const ElementSpan& p = spans[static_cast<std::size_t>(s.parent)];
            CHECK(!IsEmpty(p), i);
            CHECK(s.startTagBegin > p.startTagEnd && s.endTagEnd < p.endTagBegin, i);
            CHECK(s.startTagBegin > spans[static_cast<std::size_t>(i - 1)].startTagBegin, i);
        }
        CHECK(s.firstChild == 0 || s.firstChild == i + 1, i);
        if (s.firstChild != 0) {
            CHECK(s.firstChild < n && spans[static_cast<std::size_t>(s.firstChild)].parent == i, i);
        }
        if (s.nextSibling != 0) {
            CHECK(s.nextSibling > i && s.nextSibling < n, i);
            const ElementSpan& next = spans[static_cast<std::size_t>(s.nextSibling)];
            CHECK(next.parent == s.parent && next.startTagBegin > s.endTagEnd, i);
        }
    }
    // Every element is reached exactly once through the links from slot 0.
    std::vector<int> stack{1};
    int visited = 0;
    while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        CHECK(i > 0 && i < n && seen[static_cast<std::size_t>(i)] == 0, i);
        seen[static_cast<std::size_t>(i)] = 1;
        ++visited;
        const ElementSpan& s = spans[static_cast<std::size_t>(i)];
        if (s.nextSibling != 0) {
            stack.push_back(s.nextSibling);
        }
        if (s.firstChild != 0) {
            stack.push_back(s.firstChild);
        }
    }
    CHECK(visited == n - 1, visited);
}

void CheckAccessors(const CXmlDocument& doc, const std::string& text,
                    const std::vector<ElementSpan>& spans, int slot) {
    const ElementSpan& s = spans[static_cast<std::size_t>(slot)];
    const std::string name = doc.GetElementName();
    CHECK(!name.empty(), slot);
    CHECK(name == Probe::NameAt(text, s.startTagBegin), slot);
    CHECK(doc.GetAttribute(nullptr).empty(), slot);
    for (const char* attribute : {"", "a", "id", "name", "x"}) {
        const std::string value = doc.GetAttribute(attribute);
        CHECK(value.size() < text.size(), slot);
    }
    const std::string body = doc.GetText();
    if (IsEmpty(s) || s.firstChild != 0) {
        CHECK(body.empty(), slot);
    } else {
        CHECK(body.size() <= static_cast<std::size_t>(s.endTagBegin - s.startTagEnd - 1), slot);
    }
}

// Children of a slot (0: the document) in order.
std::vector<int> Children(const std::vector<ElementSpan>& spans, int slot) {
    std::vector<int> out;
    for (int c = spans[static_cast<std::size_t>(slot)].firstChild; c != 0;
         c = spans[static_cast<std::size_t>(c)].nextSibling) {
        out.push_back(c);
    }
    return out;
}

// Positions among siblings of each element from the root down to slot.
std::vector<int> PathTo(const std::vector<ElementSpan>& spans, int slot) {
    std::vector<int> path;
    for (int i = slot; i != 0; i = spans[static_cast<std::size_t>(i)].parent) {
        int position = 0;
        for (int c = spans[static_cast<std::size_t>(spans[static_cast<std::size_t>(i)].parent)]
                         .firstChild;
             c != i; c = spans[static_cast<std::size_t>(c)].nextSibling) {
            CHECK(c != 0, i);
            ++position;
        }
        path.insert(path.begin(), position);
    }
    return path;
}

// Parses again and enters the element at the end of path (the document for an empty path).
void Replay(CXmlDocument& doc, const std::string& text, const std::vector<int>& path) {
    CHECK(doc.SetDocument(text.c_str()), 0);
    for (const int position : path) {
        for (int k = 0; k <= position; ++k) {
            CHECK(doc.FindNextElement(), k);
        }
        CHECK(doc.EnterElement(), position);
    }
}

void Walk(const std::string& text, const std::vector<ElementSpan>& spans, int n) {
    CXmlDocument doc;
    int replays = 0;
    for (int parent = 0; parent < n && replays < 64; ++parent) {
        const ElementSpan& p = spans[static_cast<std::size_t>(parent)];
        if (parent != 0 && p.firstChild == 0) {
            continue;
        }
        ++replays;
        const std::vector<int> children = Children(spans, parent);
        const std::vector<int> path = parent == 0 ? std::vector<int>{} : PathTo(spans, parent);
        Replay(doc, text, path);
        CHECK(doc.GetElementName().empty() && doc.GetText().empty(), parent);
        for (const int child : children) {
            CHECK(doc.FindNextElement(), child);
            CheckAccessors(doc, text, spans, child);
        }
        CHECK(!doc.FindNextElement(), parent);
        // The last child: entering it works; an element without children shows none.
        const int last = children.back();
        CHECK(doc.EnterElement(), last);
        CHECK(doc.FindNextElement() == (spans[static_cast<std::size_t>(last)].firstChild != 0),
              last);

        // Looking a child up by its own name from the start finds the first such child.
        Replay(doc, text, path);
        const std::string firstName =
            Probe::NameAt(text, spans[static_cast<std::size_t>(children[0])].startTagBegin);
        CHECK(doc.FindNextElement(firstName.c_str()), children[0]);
        CHECK(doc.GetElementName() == firstName, children[0]);
        CHECK(!doc.FindNextElement("\x01no such name"), children[0]);
        CHECK(doc.GetElementName() == firstName, children[0]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    SetActiveCodePage((data[0] & 1) != 0 ? 949 : 1252);
    const std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string text(raw.c_str());  // SetDocument reads up to the first NUL

    CXmlDocument doc;
    const bool ok = doc.SetDocument(text.c_str());
    CheckIndex(doc, text, ok);
    // The result agrees with the return value, and a failure stops inside the text, on a '<'
    // unless no '<' was left to stop on.
    const XmlParseResult result = doc.ParseResult();
    CHECK(static_cast<bool>(result) == ok, 0);
    CHECK(result.offset >= 0 && static_cast<std::size_t>(result.offset) <= text.size(), 0);
    CHECK(
        ok || static_cast<std::size_t>(result.offset) == text.size() || text[result.offset] == '<',
        0);
    const std::vector<ElementSpan> spans(doc.Spans().begin(), doc.Spans().begin() + doc.NextFree());
    const int n = doc.NextFree();

    // The same text parses to the same index, on a fresh document and on a reused one.
    CXmlDocument again;
    CHECK(again.SetDocument(text.c_str()) == ok && again.ParseResult() == result, 0);
    CHECK(doc.SetDocument(text.c_str()) == ok && doc.ParseResult() == result, 0);
    CHECK(again.NextFree() == n && doc.NextFree() == n, 0);
    for (int i = 0; i < n; ++i) {
        CHECK(std::memcmp(&again.Spans()[static_cast<std::size_t>(i)],
                          &spans[static_cast<std::size_t>(i)], sizeof(ElementSpan)) == 0,
              i);
    }

    if (!ok) {
        CHECK(!doc.FindNextElement() && !doc.EnterElement(), 0);
        CHECK(doc.GetElementName().empty() && doc.GetText().empty() && doc.GetAttribute("").empty(),
              0);
        return 0;
    }
    Walk(text, spans, n);
    return 0;
}
