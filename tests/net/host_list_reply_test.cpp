// How one reply block becomes host-list entries.
#include <gtest/gtest.h>

#include "launcher/net/host_list_reply.h"
#include "support/code_page_scope.h"

namespace {

using namespace std::string_view_literals;

TEST(HostListEntries, SplitsOnlyAStatusOkReplyOfFiveBytesOrMore) {
    // Bytes, length as the receive reported it, code page, entries.
    const std::tuple<std::string_view, int, unsigned int, std::vector<std::string>> cases[] = {
        {"xxok|zeta|Alpha|beta", 20, 1252, {"zeta", "Alpha", "beta"}},
        {"xxok|", 5, 1252, {""}},
        {"xxok|one host", 13, 1252, {"one host"}},
        {"xxok|a|", 7, 1252, {"a", ""}},
        {"\x01\x02ok\x7fz", 6, 1252, {"z"}},  // bytes 0, 1 and 4 are not read
        {"xxok|a|b\0|c"sv, 11, 1252, {"a", "b"}},
        {"xxok|abc|def", 8, 1252, {"abc"}},
        {"xxok|\xb0\x7c|b", 9, 949, {"\xb0\x7c", "b"}},
        {"xxok|a|\xb0", 8, 949, {"a", "\xb0"}},
        {"", -1, 1252, {}},
        {"xxok", 4, 1252, {}},
        {"xxno|a|b", 8, 1252, {}},
        {"xxox|a", 6, 1252, {}},
    };
    for (const auto& [bytes, length, codePage, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(bytes)) + " in " +
                     std::to_string(codePage));
        CodePageScope scope(codePage);
        EXPECT_EQ(HostListEntries(bytes.data(), length), expected);
    }
}

}  // namespace
