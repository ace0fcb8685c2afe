// CXmlDocument: parser and element index, navigation and value access.
//
// The scanners below find what stepping through the text one character at a time would
// find (a character as platform/code_page.h defines it). Under a code page without lead bytes they
// use memchr and character-class tables; under a double-byte code page they use memchr to find a
// candidate byte and then step by characters (skipping runs of bytes below 0x80 eight at a time)
// from the last known character boundary to prove that the candidate is not the second byte of a
// double-byte character. Both paths give the same results as stepping character by character.
#include "launcher/xml/xml_document.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>

// SSE2 blocks of 16 bytes where the target has them (x86-64 always); elsewhere, or with
// LAUNCHER_XML_NO_SSE2 (the tests build the document so too), words of 8 bytes.
#if !defined(LAUNCHER_XML_NO_SSE2) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#include <emmintrin.h>
#define LAUNCHER_XML_SSE2 1
#endif

#include "launcher/xml/xml_document_internal.h"
#include "platform/code_page.h"

namespace {

using u8 = unsigned char;

// Character classes.
constexpr u8 kWs = 1;     // " \t\n\r"
constexpr u8 kDelim = 2;  // white space and "<>=\\/?!"
constexpr u8 kStop = 4;   // ends an unquoted token: a delimiter or NUL

struct CharClasses {
    u8 c[256];
    constexpr CharClasses() : c() {
        const char ws[] = " \t\n\r";
        const char delim[] = " \t\n\r<>=\\/?!";
        for (const char* p = ws; *p != '\0'; ++p) {
            c[static_cast<u8>(*p)] |= kWs;
        }
        for (const char* p = delim; *p != '\0'; ++p) {
            c[static_cast<u8>(*p)] |= kDelim | kStop;
        }
        c[0] |= kStop;
    }
};
constexpr CharClasses kClasses;

inline const u8* U(const char* p) {
    return reinterpret_cast<const u8*>(p);
}

// The active code page, fetched once per operation.
struct CodePage {
    const u8* lead;
    bool dbcs;
};

inline CodePage ActiveCp() {
    return CodePage{LeadByteTable(), ActiveCodePageHasLeadBytes()};
}

// First position in [p, to) holding a byte >= 0x80 (to when none).
inline int32_t SkipLowBytes(const u8* u, int32_t p, int32_t to) {
#ifdef LAUNCHER_XML_SSE2
    while (p + 16 <= to) {
        const auto m = static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + p))));
        if (m != 0) {
            return p + static_cast<int32_t>(std::countr_zero(m));
        }
        p += 16;
    }
#endif
    while (p + 8 <= to) {
        uint64_t w;
        std::memcpy(&w, u + p, 8);
        if ((w & 0x8080808080808080ull) != 0) {
            break;
        }
        p += 8;
    }
    while (p < to && u[p] < 0x80) {
        ++p;
    }
    return p;
}

// Steps by characters from the boundary b until the position is at least target; returns
// target when target is a character boundary, target + 1 when it is a second byte.
inline int32_t StepTo(const u8* u, int32_t b, int32_t target, const u8* lead) {
    while (b < target) {
        const u8 c = u[b];
        if (lead[c] != 0) {
            b += (u[b + 1] != 0) ? 2 : 1;
        } else {
            b = SkipLowBytes(u, b + 1, target);
        }
    }
    return b;
}

inline uint64_t Load8(const u8* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) {
        // Byte 0 of the text in the low byte, as on little-endian machines.
        w = ((w & 0x00FF00FF00FF00FFull) << 8) | ((w >> 8) & 0x00FF00FF00FF00FFull);
        w = ((w & 0x0000FFFF0000FFFFull) << 16) | ((w >> 16) & 0x0000FFFF0000FFFFull);
        w = (w << 32) | (w >> 32);
    }
    return w;
}

#ifndef LAUNCHER_XML_SSE2
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// High bit set in each byte of w equal to the byte whose pattern is kOnes * byte (the lowest
// flagged byte is always exact).
inline uint64_t EqualBytes(uint64_t w, uint64_t pattern) {
    const uint64_t x = w ^ pattern;
    return (x - kOnes) & ~x & kHighs;
}

inline int32_t LowestByte(uint64_t mask) {
    return static_cast<int32_t>(std::countr_zero(mask) >> 3);
}
#endif

// Bytes looked at in blocks before handing a scan to memchr.
constexpr int32_t kShortScan = 64;

#ifdef LAUNCHER_XML_SSE2
constexpr int32_t kBlock = 16;
// Bit i set when byte i of the 16 at p equals ch; with dbcs also when it is >= 0x80.
inline uint32_t BlockMask(const u8* p, __m128i pattern, bool highs) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, pattern)));
    if (highs) {
        m |= static_cast<uint32_t>(_mm_movemask_epi8(v));
    }
    return m;
}
inline int32_t LowestBit(uint32_t m) {
    return static_cast<int32_t>(std::countr_zero(m));
}
#endif

// End of an unquoted token that starts at p (the first byte that is a delimiter or NUL),
// stepping over double-byte characters whole.
inline int32_t TokenEnd(const u8* u, int32_t p, CodePage cp) {
    if (!cp.dbcs) {
        for (;;) {
            if ((kClasses.c[u[p]] & kStop) != 0) {
                return p;
            }
            if ((kClasses.c[u[p + 1]] & kStop) != 0) {
                return p + 1;
            }
            if ((kClasses.c[u[p + 2]] & kStop) != 0) {
                return p + 2;
            }
            if ((kClasses.c[u[p + 3]] & kStop) != 0) {
                return p + 3;
            }
            p += 4;
        }
    }
    for (;;) {
        const u8 b = u[p];
        if ((kClasses.c[b] & kStop) != 0) {
            return p;
        }
        p += (cp.lead[b] != 0 && u[p + 1] != 0) ? 2 : 1;
    }
}

// ScanToChar: position of the first character ch at or after pos, or size (the NUL).
inline int32_t ScanTo(const char* t, int32_t size, int32_t pos, char ch, CodePage cp) {
    const u8* u = U(t);
    int32_t p = pos;
    const int32_t shortEnd = size - pos > kShortScan ? pos + kShortScan : size;
#ifdef LAUNCHER_XML_SSE2
    const __m128i pattern = _mm_set1_epi8(ch);
    if (!cp.dbcs) {
        while (p + kBlock <= shortEnd) {
            const uint32_t m = BlockMask(u + p, pattern, false);
            if (m != 0) {
                return p + LowestBit(m);
            }
            p += kBlock;
        }
    } else {
        // Double-byte: stop at ch or at a byte >= 0x80 and step over characters exactly.
        while (p + kBlock <= shortEnd) {
            const uint32_t m = BlockMask(u + p, pattern, true);
            if (m == 0) {
                p += kBlock;
                continue;
            }
            p += LowestBit(m);
            u8 c = u[p];
            if (c == static_cast<u8>(ch)) {
                return p;
            }
            // Step over the run of characters that begin with a byte >= 0x80.
            do {
                p += (cp.lead[c] != 0 && u[p + 1] != 0) ? 2 : 1;
                c = u[p];
            } while (c >= 0x80);
        }
    }
#else
    const uint64_t pattern = kOnes * static_cast<u8>(ch);
    if (!cp.dbcs) {
        while (p + 8 <= shortEnd) {
            const uint64_t m = EqualBytes(Load8(u + p), pattern);
            if (m != 0) {
                return p + LowestByte(m);
            }
            p += 8;
        }
    } else {
        // Double-byte: stop at ch or at a byte >= 0x80 and step over characters exactly.
        while (p + 8 <= shortEnd) {
            const uint64_t w = Load8(u + p);
            const uint64_t m = (w & kHighs) | EqualBytes(w, pattern);
            if (m == 0) {
                p += 8;
                continue;
            }
            p += LowestByte(m);
            const u8 c = u[p];
            if (c == static_cast<u8>(ch)) {
                return p;
            }
            p += (cp.lead[c] != 0 && u[p + 1] != 0) ? 2 : 1;
        }
    }
#endif
    if (!cp.dbcs) {
        const void* r = std::memchr(t + p, ch, static_cast<std::size_t>(size - p));
        return r != nullptr ? static_cast<int32_t>(static_cast<const char*>(r) - t) : size;
    }
    // Longer: memchr finds a candidate; stepping from the last boundary proves it.
    int32_t boundary = p;
    for (;;) {
        const void* r = std::memchr(t + p, ch, static_cast<std::size_t>(size - p));
        if (r == nullptr) {
            return size;
        }
        const auto cand = static_cast<int32_t>(static_cast<const char*>(r) - t);
        boundary = StepTo(u, boundary, cand, cp.lead);
        if (boundary == cand) {
            return cand;
        }
        p = cand + 1;  // cand was a second byte; boundary == cand + 1
    }
}

// ScanTo(..., '>', ...) that also tells where the next '<' after the '>' is when it lies in
// the block that holds the '>' or the two after it (else nextLt = -1): what a search for
// '<' from just after the '>' would find, without waiting for the '>' to start it. Single-byte code
// pages only, where every byte is a character.
inline int32_t ScanToGt(const char* t, int32_t size, int32_t pos, CodePage cp, int32_t& nextLt) {
    nextLt = -1;
#ifdef LAUNCHER_XML_SSE2
    if (!cp.dbcs) {
        const u8* u = U(t);
        const __m128i gtPattern = _mm_set1_epi8('>');
        const __m128i ltPattern = _mm_set1_epi8('<');
        const int32_t shortEnd = size - pos > kShortScan ? pos + kShortScan : size;
        for (int32_t p = pos; p + kBlock <= shortEnd; p += kBlock) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + p));
            const auto gts = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, gtPattern)));
            if (gts == 0) {
                continue;
            }
            const int32_t bit = LowestBit(gts);
            const uint32_t lts =
                static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, ltPattern))) >> bit;
            if (lts != 0) {
                nextLt = p + bit + LowestBit(lts);
            } else {
                // The next blocks' addresses do not depend on where the '>' is: they are
                // read while the '>' is still being found.
                for (int32_t q = p + kBlock; q <= p + 2 * kBlock && q + kBlock <= size;
                     q += kBlock) {
                    const uint32_t more = BlockMask(u + q, ltPattern, false);
                    if (more != 0) {
                        nextLt = q + LowestBit(more);
                        break;
                    }
                }
            }
            return p + bit;
        }
        return ScanTo(t, size, pos + (shortEnd - pos) / kBlock * kBlock, '>', cp);
    }
#endif
    return ScanTo(t, size, pos, '>', cp);
}

// First position in [p, end) holding the byte ch, or end: blocks first, as most runs are
// short, then memchr.
inline int32_t FindByte(const char* t, int32_t p, int32_t end, char ch) {
#ifdef LAUNCHER_XML_SSE2
    const __m128i pattern = _mm_set1_epi8(ch);
    for (const int32_t stop = std::min(end, p + kShortScan); p + kBlock <= stop; p += kBlock) {
        const uint32_t m = BlockMask(U(t) + p, pattern, false);
        if (m != 0) {
            return p + LowestBit(m);
        }
    }
#endif
    const void* r = std::memchr(t + p, ch, static_cast<std::size_t>(end - p));
    return r != nullptr ? static_cast<int32_t>(static_cast<const char*>(r) - t) : end;
}

// First occurrence of needle (n bytes, ASCII) at a character boundary at or after from,
// lying wholly before limit; -1 when there is none. The needle's last byte is sought (the
// '>' of "?>", "-->", "]]>"), as its first byte is also the construct's own opening one.
inline int32_t FindTerm(const char* t, int32_t limit, int32_t from, const char* needle, int32_t n,
                        CodePage cp) {
    const u8* u = U(t);
    int32_t boundary = from;
    for (int32_t p = from + n - 1; p < limit;) {
        const int32_t end = FindByte(t, p, limit, needle[n - 1]);
        if (end >= limit) {
            return -1;
        }
        p = end + 1;
        const int32_t cand = end - (n - 1);
        int32_t i = 0;  // needles are a few bytes: compared in place
        while (i < n - 1 && t[cand + i] == needle[i]) {
            ++i;
        }
        if (i < n - 1) {
            continue;
        }
        if (!cp.dbcs) {
            return cand;
        }
        boundary = StepTo(u, boundary, cand, cp.lead);
        if (boundary == cand) {
            return cand;
        }
    }
    return -1;
}

// The n bytes at a and at b of the text u (of size bytes) are equal.
inline bool BytesEqual(const u8* u, int32_t size, int32_t at, int32_t bt, int32_t n) {
    const u8* a = u + at;
    const u8* b = u + bt;
    if (n <= 8 && at + 8 <= size && bt + 8 <= size) {
        const uint64_t diff = Load8(a) ^ Load8(b);
        return n == 8 ? diff == 0 : (diff & ((uint64_t{1} << (8 * n)) - 1)) == 0;
    }
    while (n >= 8) {
        if (Load8(a) != Load8(b)) {
            return false;
        }
        a += 8;
        b += 8;
        n -= 8;
    }
    while (n > 0) {
        if (*a++ != *b++) {
            return false;
        }
        --n;
    }
    return true;
}

inline int32_t SkipWs(const u8* u, int32_t p) {
    while ((kClasses.c[u[p]] & kWs) != 0) {
        ++p;
    }
    return p;
}

bool NextTokenImpl(ScanToken& k, CodePage cp) {
    const char* t = k.text.data();
    const u8* u = U(t);
    k.quoted = false;
    int32_t p = SkipWs(u, k.next);
    const u8 c = u[p];
    if (c == 0) {
        k.begin = k.end = k.next = p;
        return false;
    }
    if (c == '"' || c == '\'') {
        k.quoted = true;
        k.begin = p + 1;
        const int32_t q =
            ScanTo(t, static_cast<int32_t>(k.text.size()), p + 1, static_cast<char>(c), cp);
        k.end = q - 1;
        k.next = (u[q] == c) ? q + 1 : q;
        return true;
    }
    k.begin = p;
    int32_t q = TokenEnd(u, p, cp);
    if (q == p) {
        q = p + 1;  // the delimiter is the token
    }
    k.end = q - 1;
    k.next = q;
    return true;
}

// TokenEquals against a name given as bytes and length (the name's byte at index length
// reads as NUL).
inline bool TokenEqualsBytes(const ScanToken& k, const char* name, int32_t nameLen) {
    const int32_t len = k.end - k.begin + 1;
    if (len > nameLen || len < 0) {
        return false;
    }
    if (std::memcmp(k.text.data() + k.begin, name, static_cast<std::size_t>(len)) != 0) {
        return false;
    }
    if (len == nameLen) {
        return true;
    }
    const char c = name[len];
    return c == ' ' || c == '=' || c == '/' || c == '[';
}

// What a '<' opens, as SkipSpecialNode tells it.
enum class NodeKind {
    kNone,                   // nothing complete: the text ends first, or "</" (an end tag)
    kElement,                // a start tag: nothing is skipped
    kProcessingInstruction,  // "<?" ... "?>", the XML declaration included
    kCData,                  // "<![" ... "]]>"
    kComment,                // "<!-" ... "-->"
    kDeclaration,            // "<!" ... '>' at bracket depth 0, e.g. a DOCTYPE with its subset
};

// Passes over the construct whose '<' is at k.next when it is no element: on return k.next
// is just after its terminator. The third byte alone tells a CDATA section ("<![") and a
// comment ("<!-") from a declaration, and terminators are sought from the '<' itself, so
// "<!-->" is a whole comment.
NodeKind SkipSpecialNode(ScanToken& k, CodePage cp) {
    const char* t = k.text.data();
    const u8* u = U(t);
    const int32_t lt = k.next;
    k.begin = lt;
    // White space between '<' and '?' or '!' is passed over: "< !-- -->" is skipped like
    // "<!-- -->" (hand-edited files have it; see the header).
    const int32_t q = SkipWs(u, lt + 1);
    const u8 c1 = u[q];
    if (c1 == 0) {
        return NodeKind::kNone;
    }
    const u8 c2 = u[q + 1];
    if (c2 == 0) {
        return NodeKind::kNone;
    }
    NodeKind kind;
    const char* terminator;
    int32_t n;
    if (c1 == '?') {
        kind = NodeKind::kProcessingInstruction;
        terminator = "?>";
        n = 2;
    } else if (c1 == '!' && c2 == '[') {
        kind = NodeKind::kCData;
        terminator = "]]>";
        n = 3;
    } else if (c1 == '!' && c2 == '-') {
        kind = NodeKind::kComment;
        terminator = "-->";
        n = 3;
    } else if (c1 == '!') {
        // Declaration: tokens from the '<' itself; the first '>' outside brackets ends it.
        k.next = lt;
        int depth = 0;
        while (NextTokenImpl(k, cp)) {
            if (k.quoted) {
                continue;
            }
            const u8 first = u[k.begin];
            if (first == '[') {
                ++depth;
            } else if (first == ']') {
                --depth;
            } else if (first == '>' && depth == 0) {
                return NodeKind::kDeclaration;
            }
        }
        return NodeKind::kNone;
    } else if (c1 == '/') {
        return NodeKind::kNone;
    } else {
        return NodeKind::kElement;
    }
    const int32_t at = FindTerm(t, static_cast<int32_t>(k.text.size()), lt, terminator, n, cp);
    if (at < 0) {
        return NodeKind::kNone;
    }
    k.next = at + n;
    return kind;
}

// Copies the length bytes at from and the NUL after them to to, and returns at least the
// number of '<' among them that no '/' follows: a bound of the elements the text can hold
// (each begins with such a '<'), for reserving the index.
int32_t CopyCountingOpens(char* to, const char* from, std::size_t length) {
    int64_t opens = 0;
    std::size_t i = 0;
#ifdef LAUNCHER_XML_SSE2
    // Per block of 16: the '<' whose next byte in the block is no '/' (a '<' that ends a
    // block is counted whatever follows: an upper bound is all the count must be). Byte
    // lanes count them (each match subtracts -1), summed before a lane can overflow.
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i zero = _mm_setzero_si128();
    const auto opensIn = [&](std::size_t at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), v);
        const __m128i slashAfter = _mm_srli_si128(_mm_cmpeq_epi8(v, slash), 1);
        return _mm_andnot_si128(slashAfter, _mm_cmpeq_epi8(v, lt));
    };
    while (i + 32 <= length) {
        __m128i counts = zero;
        for (int round = 0; round < 127 && i + 32 <= length; ++round, i += 32) {
            counts = _mm_sub_epi8(_mm_sub_epi8(counts, opensIn(i)), opensIn(i + 16));
        }
        const __m128i sums = _mm_sad_epu8(counts, zero);  // two 64-bit lanes
        opens += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
    if (i + 16 <= length) {
        const __m128i sums = _mm_sad_epu8(_mm_sub_epi8(zero, opensIn(i)), zero);
        opens += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
        i += 16;
    }
#endif
    for (; i < length; ++i) {
        to[i] = from[i];
        opens += (from[i] == '<' && from[i + 1] != '/') ? 1 : 0;
    }
    to[length] = '\0';
    return static_cast<int32_t>(std::min<int64_t>(opens, INT32_MAX));
}

XmlParseFailureHook g_failureHook = nullptr;

struct EntityRow {
    const char* name;
    int32_t length;
    char character;
};
constexpr EntityRow kEntities[] = {
    {"lt;", 3, '<'}, {"amp;", 4, '&'}, {"gt;", 3, '>'}, {"apos;", 5, '\''}, {"quot;", 5, '"'},
};

}  // namespace

XmlParseFailureHook SetXmlParseFailureHook(XmlParseFailureHook hook) {
    const XmlParseFailureHook previous = g_failureHook;
    g_failureHook = hook;
    return previous;
}

// ---------------------------------------------------------------------------------------
// Construction

CXmlDocument::CXmlDocument() {
    SetDocument(nullptr);
}

// ---------------------------------------------------------------------------------------
// Scanners and tokenizer

bool CXmlDocument::ScanToChar(std::string_view text, int32_t& position, char ch) {
    position = ScanTo(text.data(), static_cast<int32_t>(text.size()), position, ch, ActiveCp());
    return U(text.data())[position] == static_cast<u8>(ch) && ch != '\0';
}

bool CXmlDocument::NextToken(ScanToken& token) {
    return NextTokenImpl(token, ActiveCp());
}

std::string CXmlDocument::TokenText(const ScanToken& token) {
    if (token.end < token.begin) {
        return std::string();
    }
    const auto size = static_cast<int32_t>(token.text.size());
    if (token.begin >= size) {
        return std::string();
    }
    const int32_t last = token.end < size ? token.end : size - 1;
    return std::string(token.text.data() + token.begin,
                       static_cast<std::size_t>(last - token.begin + 1));
}

bool CXmlDocument::TokenEquals(const ScanToken& token, const char* name) {
    const int32_t len = token.end - token.begin + 1;
    if (len < 0) {
        return false;
    }
    const char* bytes = token.text.data() + token.begin;
    for (int32_t i = 0; i < len; ++i) {
        if (name[i] == '\0' || name[i] != bytes[i]) {
            return false;
        }
    }
    const char c = name[len];
    return c == '\0' || c == ' ' || c == '=' || c == '/' || c == '[';
}

// ---------------------------------------------------------------------------------------
// The element index

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

int CXmlDocument::ParseFailure(const char* message, std::string_view name) {
    if (g_failureHook != nullptr) {
        std::string text(message);
        const std::size_t at = text.find("%s");
        if (at != std::string::npos) {
            text.replace(at, 2, name.data() != nullptr ? std::string(name) : std::string());
        }
        g_failureHook(text);
    }
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

    bool result = false;
    if (length != 0) {
        m_spans[0] = ElementSpan{};
        const int r = ScanElement(0, 1);
        if (r > 0) {
            m_spans[0].firstChild = r;
            result = true;
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
                return ParseFailure("Element tag not found");
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
                    return ParseFailure("Invalid node");
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
                return ParseFailure("Abrupt end within tag");
            }
            if (token.quoted) {
                return ParseFailure("Tag starts with quote");
            }
            const u8 first = u[token.begin];
            if (first == '?' || first == '!') {
                token.next = lt;
                if (SkipSpecialNode(token, cp) == NodeKind::kNone) {
                    return ParseFailure("Invalid node");
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
            return ParseFailure("Element nesting too deep");
        }

        // The first '>' closes the start tag, even inside a quoted attribute value.
        const int32_t gt = ScanToGt(t, size, seekGt, cp, knownLt);
        if (gt >= size) {
            return ParseFailure(
                "End of tag not found",
                std::string_view(t + nameBegin, static_cast<std::size_t>(nameLength)));
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
        const std::string_view name(t + o.nameBegin, static_cast<std::size_t>(o.nameLength));
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
                    return ParseFailure("End tag not completed for element %s", name);
                }
                ++count;
                if (token.quoted) {
                    continue;
                }
                if (count == 2 && !TokenEqualsBytes(token, t + o.nameBegin, o.nameLength)) {
                    return ParseFailure("End tag does not correspond to %s", name);
                }
                if (u[token.begin] == '>') {
                    break;
                }
            }
            if (count < 2) {
                return ParseFailure("End tag not completed for element %s", name);
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

// ---------------------------------------------------------------------------------------
// Navigation

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

// ---------------------------------------------------------------------------------------
// Values

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
