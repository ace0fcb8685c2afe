// The session request's wire texts and the reading of every answer the server gives.
#include <gtest/gtest.h>

#include "session_request.h"

namespace {

using talviewer::ParseReply;
using talviewer::ReplyKind;

TEST(SessionRequest, AnswersAreReadByTheirWireText) {
    const struct {
        std::string_view line;
        ReplyKind kind;
        std::string reason;
    } cases[] = {
        {"ok", ReplyKind::kOk, ""},
        {"ok\r", ReplyKind::kOk, ""},
        {"error not-connected", ReplyKind::kNotConnected, ""},
        {"error timeout", ReplyKind::kTimeout, ""},
        {"error busy", ReplyKind::kBusy, ""},
        {"error no such name", ReplyKind::kOtherError, "no such name"},
        {"error \x1b[2J", ReplyKind::kOtherError, "\\x1b[2J"},  // shown, not obeyed
        {"error ", ReplyKind::kMalformed, "error "},
        {"ok go", ReplyKind::kMalformed, "ok go"},
        {"RFB 003.008", ReplyKind::kMalformed, "RFB 003.008"},
        {"", ReplyKind::kMalformed, ""},
    };
    for (const auto& c : cases) {
        const talviewer::Reply reply = ParseReply(c.line);
        EXPECT_EQ(reply.kind, c.kind) << c.line;
        EXPECT_EQ(reply.reason, c.reason) << c.line;
    }
}

TEST(SessionRequest, NamesThatWouldBreakTheRequestLineAreRefused) {
    EXPECT_EQ(talviewer::ViewRequest("front desk \xED\x95\x9C"), "view front desk \xED\x95\x9C\n");
    EXPECT_FALSE(talviewer::CheckName("front desk \xC7\xD1"));
    for (const std::string_view bad : {std::string_view(""), std::string_view("a\nview b"),
                                       std::string_view("a\r"), std::string_view("a\x7f")}) {
        EXPECT_TRUE(talviewer::CheckName(bad)) << bad;
    }
}

}  // namespace
