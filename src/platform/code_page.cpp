// Portable part of the code page: lead-byte tables, the active code page and the
// character-aware search helpers. The default code page comes from the platform file.
#include "platform/code_page.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

using Table = std::array<unsigned char, 256>;

constexpr Table MakeTable(std::initializer_list<std::pair<int, int>> ranges) {
    Table t{};
    for (const auto& r : ranges) {
        for (int b = r.first; b <= r.second; ++b) {
            t[static_cast<std::size_t>(b)] = 1;
        }
    }
    return t;
}

constexpr Table kNoLeadBytes = MakeTable({});
constexpr Table kLeadCjk = MakeTable({{0x81, 0xFE}});                     // 936, 949, 950
constexpr Table kLeadShiftJis = MakeTable({{0x81, 0x9F}, {0xE0, 0xFC}});  // 932
constexpr Table kLeadJohab = MakeTable({{0x84, 0xD3}, {0xD8, 0xDE}, {0xE0, 0xF9}});  // 1361

// 0 = not yet determined (no real code page has the number 0 here).
std::atomic<unsigned int> g_codePage{0};
std::atomic<const unsigned char*> g_leadTable{nullptr};

void Activate(unsigned int codePage) {
    g_leadTable.store(LeadByteTableFor(codePage), std::memory_order_relaxed);
    g_codePage.store(codePage, std::memory_order_release);
}

inline const unsigned char* Table_() {
    const unsigned char* t = g_leadTable.load(std::memory_order_relaxed);
    if (t == nullptr) {
        Activate(DefaultCodePage());
        t = g_leadTable.load(std::memory_order_relaxed);
    }
    return t;
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool AllDigits(const char* s) {
    if (*s == '\0') {
        return false;
    }
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9') {
            return false;
        }
    }
    return true;
}

unsigned int ToNumber(const char* s) {
    unsigned long v = 0;
    for (; *s != '\0' && v < 100000; ++s) {
        v = v * 10 + static_cast<unsigned long>(*s - '0');
    }
    return static_cast<unsigned int>(v);
}

}  // namespace

const unsigned char* LeadByteTableFor(unsigned int codePage) {
    switch (codePage) {
        case 936:
        case 949:
        case 950:
            return kLeadCjk.data();
        case 932:
            return kLeadShiftJis.data();
        case 1361:
            return kLeadJohab.data();
        default:
            return kNoLeadBytes.data();
    }
}

bool CodePageHasLeadBytes(unsigned int codePage) {
    return LeadByteTableFor(codePage) != kNoLeadBytes.data();
}

unsigned int ActiveCodePage() {
    Table_();
    return g_codePage.load(std::memory_order_acquire);
}

void SetActiveCodePage(unsigned int codePage) {
    Activate(codePage);
}

bool IsLeadByte(unsigned char byte) {
    return Table_()[byte] != 0;
}

bool ActiveCodePageHasLeadBytes() {
    return Table_() != kNoLeadBytes.data();
}

const unsigned char* LeadByteTable() {
    return Table_();
}

unsigned int CodePageFromCharsetName(const char* name) {
    if (name == nullptr) {
        return 20127;
    }
    // Normalise: upper case, without separators.
    char n[64];
    std::size_t len = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        const char c = *p;
        if (c == '-' || c == '_' || c == '.' || c == ' ' || c == ':') {
            continue;
        }
        if (len + 1 >= sizeof n) {
            return 1252;
        }
        n[len++] = Upper(c);
    }
    n[len] = '\0';
    if (len == 0) {
        return 20127;
    }
    struct Entry {
        const char* name;
        unsigned int codePage;
    };
    static constexpr Entry kNames[] = {
        {"UTF8", 65001},        {"EUCKR", 949},      {"CP949", 949},      {"UHC", 949},
        {"MS949", 949},         {"WINDOWS949", 949}, {"KSC5601", 949},    {"KSC56011987", 949},
        {"GBK", 936},           {"GB2312", 936},     {"GB18030", 936},    {"EUCCN", 936},
        {"CP936", 936},         {"MS936", 936},      {"WINDOWS936", 936}, {"BIG5", 950},
        {"BIG5HKSCS", 950},     {"CP950", 950},      {"MS950", 950},      {"WINDOWS950", 950},
        {"SHIFTJIS", 932},      {"SJIS", 932},       {"CP932", 932},      {"MS932", 932},
        {"MSKANJI", 932},       {"WINDOWS31J", 932}, {"WINDOWS932", 932}, {"JOHAB", 1361},
        {"ANSIX341968", 20127}, {"ASCII", 20127},    {"USASCII", 20127},  {"646", 20127},
        {"LATIN1", 28591},
    };
    for (const Entry& e : kNames) {
        if (std::strcmp(n, e.name) == 0) {
            return e.codePage;
        }
    }
    if (std::strncmp(n, "ISO8859", 7) == 0 && AllDigits(n + 7)) {
        const unsigned int part = ToNumber(n + 7);
        if (part >= 1 && part <= 16) {
            return 28590 + part;
        }
    }
    if (std::strncmp(n, "CP", 2) == 0 && AllDigits(n + 2)) {
        return ToNumber(n + 2);
    }
    if (std::strncmp(n, "WINDOWS", 7) == 0 && AllDigits(n + 7)) {
        return ToNumber(n + 7);
    }
    return 1252;
}

const char* FindChar(const char* begin, const char* end, char ch) {
    if (begin >= end) {
        return end;
    }
    const unsigned char* lead = Table_();
    if (lead == kNoLeadBytes.data()) {
        const void* r = std::memchr(begin, ch, static_cast<std::size_t>(end - begin));
        return r != nullptr ? static_cast<const char*>(r) : end;
    }
    const char* p = begin;
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        if (*p == ch) {
            return p;
        }
        p += (lead[c] != 0 && p + 1 < end && p[1] != '\0') ? 2 : 1;
    }
    return end;
}
