// How one reply block becomes host-list entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/host_list_reply.h"
#include "platform/code_page.h"
#include "support/code_page_scope.h"

namespace {

using Entries = std::vector<std::string>;

struct ReplyCase {
    const char* name;
    std::string bytes;
    int length;  // as the receive reported it
    unsigned int codePage;
    Entries expected;
};

std::string Bytes(const char* text) {
    return text;
}
std::string Bytes(const char* text, std::size_t n) {
    return std::string(text, n);
}

TEST(HostListEntries, SplitsAStatusOkReplyIntoEveryPiece) {
    const ReplyCase cases[] = {
        {"server order kept", Bytes("xxok|zeta|Alpha|beta"), 20, 1252, {"zeta", "Alpha", "beta"}},
        {"exactly five bytes", Bytes("xxok|"), 5, 1252, {""}},
        {"no separator", Bytes("xxok|one host"), 13, 1252, {"one host"}},
        {"separator at the end", Bytes("xxok|a|"), 7, 1252, {"a", ""}},
        {"separator at the start", Bytes("xxok||a"), 7, 1252, {"", "a"}},
        {"bytes 0, 1 and 4 are not read", Bytes("\x01\x02ok\x7fz"), 6, 1252, {"z"}},
        {"zero byte ends the text", Bytes("xxok|a|b\0|c", 11), 11, 1252, {"a", "b"}},
        {"only the bytes received count", Bytes("xxok|abc|def"), 8, 1252, {"abc"}},
        {"double-byte character keeps its 0x7C byte",
         Bytes("xxok|\xb0\x7c|b"),
         9,
         949,
         {"\xb0\x7c", "b"}},
        {"single-byte code page splits the same bytes",
         Bytes("xxok|\xb0\x7c|b"),
         9,
         1252,
         {"\xb0", "", "b"}},
        {"lead byte before a separator pair",
         Bytes("xxok|\xb0\x7c\x7c|b"),
         10,
         949,
         {"\xb0\x7c", "", "b"}},
        {"lead byte as the last byte", Bytes("xxok|a|\xb0"), 8, 949, {"a", "\xb0"}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        CodePageScope scope(c.codePage);
        EXPECT_EQ(HostListEntries(c.bytes.data(), c.length), c.expected);
    }
}

TEST(HostListEntries, GivesNothingWithoutAStatusOkAndFiveBytes) {
    const ReplyCase cases[] = {
        {"receive error", Bytes(""), -1, 1252, {}},
        {"connection closed", Bytes(""), 0, 1252, {}},
        {"four bytes", Bytes("xxok"), 4, 1252, {}},
        {"zero byte before offset 5", Bytes("xxok\0|a", 7), 7, 1252, {}},
        {"status is case-sensitive", Bytes("xxOK|a"), 6, 1252, {}},
        {"other status", Bytes("xxno|a|b"), 8, 1252, {}},
        {"status at the wrong offset", Bytes("okxx|a"), 6, 1252, {}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        CodePageScope scope(c.codePage);
        EXPECT_EQ(HostListEntries(c.bytes.data(), c.length), c.expected);
    }
}

}  // namespace
