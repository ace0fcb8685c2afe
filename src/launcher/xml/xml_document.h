// CXmlDocument: an XML document held as one byte string plus an index of its elements:
// a one-pass parser that builds the index, and navigation and value access over it.
//
// SetDocument copies the text and scans it once, recording for every element the byte
// offsets of its start and end tags and its parent / first-child / next-sibling links in
// an array of ElementSpan records (slot 0 = the document, slot 1 = the root element).
// Names, attribute values and text are taken from the text by offset when asked for.
//
// The index has len / 64 + 8 slots for a text of len bytes, grows by half when the scan
// needs one more, and never shrinks. Only the slots below NextFree() hold records: the
// memory behind the rest is obtained without being initialised, and is reserved once per
// text for the slots the scan can reach (see SetDocument in xml_parse.cpp), so that growing the index
// does not move it. A small text and its index live in the document object itself.
//
// Text is a byte string in the active code page (platform/code_page.h); scanners step over
// double-byte characters whole, so their second byte never counts as markup.
//
// A text that holds no complete first element leaves the document empty, and ParseResult()
// says why and where, as a status and a byte offset.
//
// Choices of this document:
//   - White space between '<' and '?' or '!' ("< ?xml ...?>", "< !-- -->") is passed over,
//     and the construct is skipped exactly like its unseparated form.
//   - Element nesting is limited to kMaxNestingDepth (512) levels (the root is level 1); a
//     deeper element ends the scan as a failure (kNestingTooDeep). The scan does
//     not recurse on the machine stack, so deep texts never exhaust it.
//   - Offsets are signed 32-bit: a text of 2 GiB (2^31 bytes) or more is not copied or
//     indexed; SetDocument returns false and the document holds the empty text.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// One record per element; slot 0 in a link field means "none". A trivial type, so that the
// index is allocated without initialisation; ElementSpan{} is all zero.
struct ElementSpan {
    int32_t startTagBegin;  // offset of the '<' that opens the start tag
    int32_t startTagEnd;    // offset of the '>' that closes the start tag
    int32_t endTagBegin;    // '<' of the end tag; '/' before '>' for an empty element
                            // (the child-scan cursor while the content is scanned)
    int32_t endTagEnd;      // '>' of the end tag; = startTagEnd for an empty element
    int32_t parent;         // slot of the parent; 0 for the root element
    int32_t firstChild;     // slot of the first child; 0 when none
    int32_t nextSibling;    // slot of the next sibling; 0 when none
};

// Why SetDocument found no complete first element. Each failure stops the scan at a byte
// offset (XmlParseResult): the '<' of the tag or construct at fault unless said otherwise.
enum class XmlParseStatus {
    kOk,
    kNoElement,           // the text holds no element (offset: its end), or an end tag first
    kUnclosedElement,     // the text ends before an element's end tag (its start tag's '<')
    kAbruptEndWithinTag,  // only white space follows a '<'
    kTagStartsWithQuote,  // the first token after a '<' is a quoted string
    kInvalidNode,         // a "<?" or "<!" construct is cut short or never terminated
    kEndOfTagNotFound,    // no '>' follows an element name
    kEndTagMismatch,      // an end tag names another element
    kEndTagNotCompleted,  // the text ends inside an end tag
    kNestingTooDeep,      // an element deeper than the document accepts
    kTooLarge,            // 2 GiB or more (offset 0): not even copied
};

struct XmlParseResult {
    XmlParseStatus status = XmlParseStatus::kNoElement;
    int32_t offset = 0;  // byte offset into the text where the scan stopped
    explicit operator bool() const { return status == XmlParseStatus::kOk; }
    bool operator==(const XmlParseResult&) const = default;
};

// The tokenizer's cursor.
struct ScanToken {
    int32_t begin = 0;      // first byte of the token (after the opening quote if quoted)
    int32_t end = -1;       // last byte, inclusive; begin - 1 for an empty quoted token
    int32_t next = 0;       // where the next token is sought
    std::string_view text;  // the text being read; text.data()[text.size()] must be NUL
    bool quoted = false;    // the token was a quoted string
};

class CXmlDocument {
public:
    CXmlDocument();
    CXmlDocument(const CXmlDocument& other);
    CXmlDocument& operator=(const CXmlDocument& other);

    // Replaces the text (null reads as the empty text) and rebuilds the index.
    // True when the text holds a complete first element. Navigation is reset.
    bool SetDocument(const char* text);
    // The outcome of the last SetDocument: kOk, or why and where it failed.
    const XmlParseResult& ParseResult() const { return m_result; }

    // Makes the next child of the current parent (whose name equals name, when name is
    // neither null nor empty) the current element. False, state unchanged, when none.
    bool FindNextElement(const char* name = nullptr);
    // Makes the current element the parent (no current element). False when none.
    bool EnterElement();

    std::string GetElementName() const;                // empty with no current element
    std::string GetAttribute(const char* name) const;  // decoded quoted value, or empty
    std::string GetText() const;                       // text (or leading CDATA), or empty

    // Read-only inspection for tests and tools. Spans().size() is the number of slots; only
    // the first NextFree() hold records (the rest may be uninitialised: never read them).
    std::span<const ElementSpan> Spans() const {
        return {m_spans, static_cast<std::size_t>(m_slots)};
    }
    int NextFree() const { return m_nextFree; }

protected:
    // Deepest element nesting accepted by SetDocument (the root element is level 1).
    static constexpr int kMaxNestingDepth = 512;

    // ---- Parser internals (protected so that tests can reach them through a subclass) ----
    // text must be followed by a NUL byte in memory (std::string, literals) and hold no NUL.
    static bool ScanToChar(std::string_view text, int32_t& position, char ch);
    static bool NextToken(ScanToken& token);
    static std::string TokenText(const ScanToken& token);
    static bool TokenEquals(const ScanToken& token, const char* name);

    // Scans one element (and its subtree) at or after the parent's cursor; depth is the
    // element's nesting level (the root element is 1). Slot (> 0), 0 at the parent's end
    // tag, -1 on failure. Children are scanned by a loop over an explicit stack of at most
    // kMaxNestingDepth open elements, not by recursion on the machine stack.
    int ScanElement(int32_t parent, int depth);
    int32_t TakeSlot();
    void ReturnSlot();
    // Room for a text of bytes bytes (its NUL included); the text held before is dropped.
    char* TextRoom(std::size_t bytes);
    // Room for capacity slots; the first keep slots are kept.
    void SlotRoom(int32_t capacity, int32_t keep);
    // Records the failure and returns -1, which the scan hands up unchanged.
    int ParseFailure(XmlParseStatus status, int32_t offset);

    // ---- Navigation internals ----
    void MoveTo(int32_t parent, int32_t current);
    int32_t SeekSibling(int32_t parent, int32_t current, const char* name) const;
    static bool SeekAttribute(ScanToken& token, const char* name);
    std::string DecodeEntities(int32_t first, int32_t last) const;

private:
    struct ScanContext;  // the text and code page of one SetDocument
    int ScanElementIn(const ScanContext& context, int32_t parent, int depth);

    // Texts and indexes up to these sizes use the buffers inside the object.
    static constexpr std::size_t kInlineText = 256;  // bytes, the NUL included
    static constexpr int32_t kInlineSlots = 16;

    char* m_text = m_inlineText;  // the text, NUL-terminated: m_inlineText or m_ownText
    int32_t m_size = 0;           // its length
    std::size_t m_textCapacity = kInlineText;
    std::unique_ptr<char[]> m_ownText;  // when the inline buffer is too small
    ElementSpan* m_spans = m_inlineSpans;
    int32_t m_slots = 0;  // the index's slots
    int32_t m_slotCapacity = kInlineSlots;
    std::unique_ptr<ElementSpan[]> m_ownSpans;  // when the inline slots are too few
    int32_t m_parent = 0;
    int32_t m_current = 0;
    int32_t m_nextFree = 1;
    XmlParseResult m_result;
    ElementSpan m_inlineSpans[kInlineSlots];  // not initialised (a trivial type)
    char m_inlineText[kInlineText];           // not initialised
};
