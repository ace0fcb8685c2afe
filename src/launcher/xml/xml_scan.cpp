// CXmlDocument's scanning that is not on the parser's hot path: passing over processing
// instructions, comments, CDATA sections and declarations, copying a text in while counting
// the elements it can hold, and the tokenizer's entry points (xml_scan.h has the scanners).
#include <climits>

#include "launcher/xml/xml_document.h"
#include "launcher/xml/xml_scan.h"

namespace xml_scan {

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

}  // namespace xml_scan

using namespace xml_scan;

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
