// The character scanners and the tokenizer of CXmlDocument, shared by its parser
// (xml_parse.cpp), its navigation and its value access: internal to the document, not part
// of its interface.
//
// The scanners find what stepping through the text one character at a time would find (a
// character as platform/code_page.h defines it). Under a code page without lead bytes they
// use memchr and character-class tables; under a double-byte code page they use memchr to find
// a candidate byte and then step by characters (skipping runs of bytes below 0x80 eight at a
// time) from the last known character boundary to prove that the candidate is not the second
// byte of a double-byte character. Both paths give the same results as stepping character by
// character. They are inline here so that the parser's loop keeps them in its own body.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

// SSE2 blocks of 16 bytes where the target has them (x86-64 always); elsewhere, or with
// LAUNCHER_XML_NO_SSE2 (the tests build the document so too), words of 8 bytes.
#if !defined(LAUNCHER_XML_NO_SSE2) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#include <emmintrin.h>
#define LAUNCHER_XML_SSE2 1
#endif

#include "launcher/xml/xml_document.h"
#include "platform/code_page.h"

namespace xml_scan {

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

inline bool NextTokenImpl(ScanToken& k, CodePage cp) {
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
// is just after its terminator. kNone when the text ends first (or for "</").
NodeKind SkipSpecialNode(ScanToken& k, CodePage cp);

// Copies the length bytes at from and the NUL after them to to, and returns at least the
// number of '<' among them that no '/' follows: a bound of the elements the text can hold.
int32_t CopyCountingOpens(char* to, const char* from, std::size_t length);

}  // namespace xml_scan
