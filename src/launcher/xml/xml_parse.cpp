// CXmlDocument's parser: SetDocument copies the text and builds the element index in one
// forward pass, recording where a text that is not well formed fails (XmlParseResult); the
// index's slots and the text's room are managed here too. Navigation and value access read
// what this builds (xml_navigation.cpp, xml_values.cpp).
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "launcher/xml/xml_document.h"
#include "launcher/xml/xml_scan.h"

using namespace xml_scan;

CXmlDocument::CXmlDocument() {
    SetDocument(nullptr);
}
int32_t CXmlDocument::TakeSlot() {
    if (m_nextFree == m_slots) {
        const int32_t grown = m_slots + m_slots / 2;
        if (grown > m_slotCapacity) {
            // SetDocument reserves every slot the scan can reach, so this copy is a safeguard.
            SlotRoom(grown, m_nextFree);
        }
        m_slots = grown;
    }
    return m_nextFree++;
}

void CXmlDocument::ReturnSlot() {
    --m_nextFree;
}

int CXmlDocument::ParseFailure(XmlParseStatus status, int32_t offset) {
    m_result = XmlParseResult{status, offset};
    return -1;
}

char* CXmlDocument::TextRoom(std::size_t bytes) {
    if (bytes > m_textCapacity) {
        m_ownText.reset(new char[bytes]);  // not initialised: the caller writes the text
        m_text = m_ownText.get();
        m_textCapacity = bytes;
    }
    return m_text;
}

void CXmlDocument::SlotRoom(int32_t capacity, int32_t keep) {
    // ElementSpan is trivial: new[] leaves the slots uninitialised, and no slot is read
    // before the scan writes it (the scan writes every field of a slot it delivers, and
    // slot 0 is set before the scan starts), so untouched slots cost no memory traffic and,
    // where the memory comes fresh from the system, no page faults.
    std::unique_ptr<ElementSpan[]> room(new ElementSpan[static_cast<std::size_t>(capacity)]);
    std::copy_n(m_spans, keep, room.get());
    m_ownSpans = std::move(room);
    m_spans = m_ownSpans.get();
    m_slotCapacity = capacity;
}

CXmlDocument::CXmlDocument(const CXmlDocument& other) {
    *this = other;
}

CXmlDocument& CXmlDocument::operator=(const CXmlDocument& other) {
    if (this != &other) {
        const auto bytes = static_cast<std::size_t>(other.m_size) + 1;
        std::memcpy(TextRoom(bytes), other.m_text, bytes);
        m_size = other.m_size;
        if (other.m_slots > m_slotCapacity) {
            SlotRoom(other.m_slots, 0);
        }
        std::copy_n(other.m_spans, other.m_nextFree, m_spans);
        m_slots = other.m_slots;
        m_nextFree = other.m_nextFree;
        m_parent = other.m_parent;
        m_current = other.m_current;
        m_result = other.m_result;
    }
    return *this;
}

bool CXmlDocument::SetDocument(const char* text) {
    m_nextFree = 1;
    MoveTo(0, 0);
    if (text == nullptr) {
        text = "";
    }
    const std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(INT32_MAX)) {
        // 2 GiB or more cannot be addressed by 32-bit offsets: keep nothing of it.
        m_ownText.reset();
        m_text = m_inlineText;
        m_textCapacity = kInlineText;
        m_text[0] = '\0';
        m_size = 0;
        m_spans[0] = ElementSpan{};
        m_result = XmlParseResult{XmlParseStatus::kTooLarge, 0};
        return false;
    }
    const int32_t opens = CopyCountingOpens(TextRoom(length + 1), text, length);
    m_size = static_cast<int32_t>(length);

    // The slot-sizing rule: len / 64 + 8 slots, never fewer than before. The scan can reach
    // slot e + 1 at most for e elements; an element has its own '<' that no "</" follows
    // and at least 4 bytes of its own ("<a/>"), so e <= min(opens, len / 4). Reserving the
    // size the growth rule reaches past that slot means that the index never moves while
    // it grows; the slots beyond what the scan uses are never touched.
    const auto slots = std::max<int32_t>(m_slots, static_cast<int32_t>(length / 64 + 8));
    const int64_t reach = std::min<int64_t>(opens, static_cast<int64_t>(length / 4)) + 1;
    int64_t capacity = slots;
    while (capacity <= reach) {
        capacity += capacity / 2;
    }
    if (capacity > m_slotCapacity) {
        SlotRoom(static_cast<int32_t>(capacity), 0);
    }
    m_slots = slots;

    // Empty, or an end tag first (the scan then stops on its '<'), unless the scan says more.
    m_result = XmlParseResult{XmlParseStatus::kNoElement, 0};
    bool result = false;
    if (length != 0) {
        m_spans[0] = ElementSpan{};
        const int r = ScanElement(0, 1);
        if (r > 0) {
            m_spans[0].firstChild = r;
            m_result = XmlParseResult{XmlParseStatus::kOk, 0};
            result = true;
        } else if (r == 0) {
            m_result.offset = m_spans[0].endTagBegin;
        }
    }
    if (!result) {
        m_spans[0] = ElementSpan{};
        m_nextFree = 1;
    }
    MoveTo(0, 0);
    return result;
}

struct CXmlDocument::ScanContext {
    const char* text;
    int32_t size;
    CodePage cp;
};

int CXmlDocument::ScanElement(int32_t parent, int depth) {
    const ScanContext context{m_text, m_size, ActiveCp()};
    return ScanElementIn(context, parent, depth);
}

// ScanElement's body. An element's children are scanned before the element's end tag, so
// the scan is naturally recursive; it runs instead as a loop over an explicit stack of the
// elements whose content is being scanned ("open" elements), so that a deeply nested text
// cannot exhaust the machine stack. The depth limit bounds that stack. The labels are the
// three states of the loop: start (scan one element of p), deliver (hand the result r to
// p) and next_child (look for p's next child).
int CXmlDocument::ScanElementIn(const ScanContext& context, int32_t parent, int depth) {
    struct Open {
        int32_t slot;
        int32_t nameBegin;
        int32_t nameLength;
        int32_t previous;  // the last child linked, 0 for none
    };
    Open open[kMaxNestingDepth];
    int top = 0;  // open elements; open[top - 1] is the parent of the next element scanned

    const char* t = context.text;
    const u8* u = U(t);
    const int32_t size = context.size;
    const CodePage cp = context.cp;

    ScanToken token;
    token.text = std::string_view(t, static_cast<std::size_t>(size));

    int32_t p = parent;    // parent of the element about to be scanned
    int r = 0;             // the result of the last element scan, for parent p
    int32_t rEnd = 0;      // when r > 0, the end of r (its endTagEnd)
    int32_t found = -1;    // offset of the next '<' from p's cursor when already known
    int32_t knownLt = -1;  // the first '<' after the last start tag's '>', when known
    ElementSpan* spans = m_spans;
    // p's cursor (spans[p].endTagBegin), also kept here: each position found is where the
    // next search starts, and reading it back from the slot just written would add a
    // store-to-load delay to every step of that chain.
    int32_t cursor = spans[p].endTagBegin;

start:
    // ---- One element of p: the first start tag at or after p's cursor, past processing
    // instructions, comments, CDATA sections and declarations; or p's end tag. ----
    {
        const int32_t s = m_nextFree < m_slots ? m_nextFree++ : TakeSlot();
        spans = m_spans;
        spans[s].parent = p;
        spans[s].firstChild = 0;
        spans[s].nextSibling = 0;
        token.next = cursor;

        // Start tag: pass over processing instructions, comments, CDATA and declarations.
        int32_t seekGt;  // where the '>' that ends the start tag is sought from
        for (;;) {
            const int32_t lt = found >= 0 ? found : ScanTo(t, size, token.next, '<', cp);
            found = -1;
            spans[s].startTagBegin = lt;
            if (lt >= size) {
                // No '<' left: none at all, or none for the end tag of an open element.
                return top == 0 ? ParseFailure(XmlParseStatus::kNoElement, size)
                                : ParseFailure(XmlParseStatus::kUnclosedElement,
                                               spans[open[top - 1].slot].startTagBegin);
            }
            spans[p].endTagBegin = lt;
            cursor = lt;
            // Fast dispatch on the byte after '<' when it is itself the first token's first
            // byte (no white space): the same decisions as the general path below.
            const u8 c1 = u[lt + 1];
            if (c1 == '/') {
                ReturnSlot();
                r = 0;  // p's end tag; its cursor stays on this '<'
                goto deliver;
            }
            if (c1 == '?' || c1 == '!') {
                token.next = lt;
                if (SkipSpecialNode(token, cp) == NodeKind::kNone) {
                    return ParseFailure(XmlParseStatus::kInvalidNode, lt);
                }
                continue;
            }
            if ((kClasses.c[c1] & kStop) == 0 && c1 != '"' && c1 != '\'') {
                // An unquoted name token, read in place. None of its characters is '>', so
                // the '>' that ends the tag is sought from the name's start: the search then
                // does not wait for the name's end.
                token.begin = lt + 1;
                token.next = TokenEnd(u, lt + 1, cp);
                token.end = token.next - 1;
                seekGt = lt + 1;
                break;
            }
            token.next = lt + 1;
            if (!NextTokenImpl(token, cp)) {
                return ParseFailure(XmlParseStatus::kAbruptEndWithinTag, lt);
            }
            if (token.quoted) {
                return ParseFailure(XmlParseStatus::kTagStartsWithQuote, lt);
            }
            const u8 first = u[token.begin];
            if (first == '?' || first == '!') {
                token.next = lt;
                if (SkipSpecialNode(token, cp) == NodeKind::kNone) {
                    return ParseFailure(XmlParseStatus::kInvalidNode, lt);
                }
                continue;
            }
            if (first == '/') {
                ReturnSlot();
                r = 0;
                goto deliver;
            }
            seekGt = token.next;
            break;
        }
        const int32_t nameBegin = token.begin;
        const int32_t nameLength = token.end - token.begin + 1;
        if (depth + top > kMaxNestingDepth || top >= kMaxNestingDepth) {
            return ParseFailure(XmlParseStatus::kNestingTooDeep, spans[s].startTagBegin);
        }

        // The first '>' closes the start tag, even inside a quoted attribute value.
        const int32_t gt = ScanToGt(t, size, seekGt, cp, knownLt);
        if (gt >= size) {
            return ParseFailure(XmlParseStatus::kEndOfTagNotFound, spans[s].startTagBegin);
        }
        spans[s].startTagEnd = gt;
        if (u[gt - 1] == '/') {
            spans[s].endTagBegin = gt - 1;
            spans[s].endTagEnd = gt;
            r = s;
            rEnd = gt;
            goto deliver;
        }
        // Not empty: the element's content follows. Its children are scanned from just
        // after the start tag; the element stays open until its end tag.
        spans[s].endTagBegin = gt + 1;
        cursor = gt + 1;
        open[top++] = Open{s, nameBegin, nameLength, 0};
        p = s;
        goto next_child;
    }

deliver:
    // ---- Hand the result r to parent p. ----
    if (top == 0) {
        return r;  // the element asked for (or 0 at the parent's end tag)
    }
    {
        Open& o = open[top - 1];
        if (r > 0) {
            spans = m_spans;
            if (o.previous == 0) {
                spans[o.slot].firstChild = r;
            } else {
                spans[o.previous].nextSibling = r;
            }
            spans[o.slot].endTagBegin = rEnd + 1;
            cursor = rEnd + 1;
            o.previous = r;
            goto next_child;
        }
        // No further child: o's cursor stands on the '<' of its end tag. The end tag's
        // second token must name o (the first is the '/'); the first '>' token ends it.
        spans = m_spans;
        const int32_t lt = cursor;  // o is p
        // Fast path for "</name>": the same bytes as the start tag's name (a token of
        // non-delimiter characters), read from a character boundary, form the same token,
        // and the '>' right after it ends the tag.
        const int32_t at = lt + 2;
        if (u[lt + 1] == '/' && (kClasses.c[u[o.nameBegin]] & kStop) == 0 &&
            size - at > o.nameLength && u[at + o.nameLength] == '>' &&
            BytesEqual(u, size, at, o.nameBegin, o.nameLength)) {
            rEnd = at + o.nameLength;
        } else {
            token.next = lt + 1;
            int count = 0;
            for (;;) {
                if (!NextTokenImpl(token, cp)) {
                    return ParseFailure(XmlParseStatus::kEndTagNotCompleted, lt);
                }
                ++count;
                if (token.quoted) {
                    continue;
                }
                if (count == 2 && !TokenEqualsBytes(token, t + o.nameBegin, o.nameLength)) {
                    return ParseFailure(XmlParseStatus::kEndTagMismatch, lt);
                }
                if (u[token.begin] == '>') {
                    break;
                }
            }
            if (count < 2) {
                return ParseFailure(XmlParseStatus::kEndTagNotCompleted, lt);
            }
            rEnd = token.begin;
        }
        spans[o.slot].endTagEnd = rEnd;
        r = o.slot;
        knownLt = -1;  // o's end tag is past the '>' it was found from
        --top;
        p = top > 0 ? open[top - 1].slot : parent;
        goto deliver;
    }

next_child:
    // ---- The next child of the open element p = open[top - 1], from its cursor. ----
    {
        // When the next '<' opens p's end tag ("</"), the child scan would only take a slot
        // and give it back: do just that here.
        spans = m_spans;
        const int32_t next = knownLt >= 0 ? knownLt : ScanTo(t, size, cursor, '<', cp);
        knownLt = -1;
        if (next < size) {
            spans[p].endTagBegin = next;  // the child scan would set the cursor here too
            cursor = next;
            if (u[next + 1] == '/') {
                if (m_nextFree == m_slots) {
                    TakeSlot();  // the same growth as the child scan's TakeSlot
                    ReturnSlot();
                }
                r = 0;
                goto deliver;
            }
            found = next;  // the child scan starts with this '<'
        }
        goto start;
    }
}
