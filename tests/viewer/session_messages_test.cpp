// What both viewers say to the directory server and to the operator: every reply line's row,
// the core's failures as rows, the texts, and the names a request cannot carry.
#include <gtest/gtest.h>

#include <string>

#include "viewer/session_messages.h"

namespace talviewer {
namespace {

TEST(ViewerReply, EachLineGivesItsRow) {
    struct Row {
        std::string line;
        ReplyKind kind;
        Failure failure;
        std::string detail;
    };
    const Row rows[] = {
        {"error not-connected", ReplyKind::kNotConnected, Failure::kNotConnected, ""},
        {"error timeout\r", ReplyKind::kTimeout, Failure::kTimeout, ""},
        {"error busy", ReplyKind::kBusy, Failure::kBusy, ""},
        {"error no such thing", ReplyKind::kOtherError, Failure::kConnectionFailed,
         "The server answered: no such thing"},
        {"error \x1b[31m", ReplyKind::kOtherError, Failure::kConnectionFailed,
         "The server answered: \\x1b[31m"},
        {"error ", ReplyKind::kMalformed, Failure::kConnectionFailed,
         "The server's answer was not understood: \"error \""},
        {"RFB 003.008", ReplyKind::kMalformed, Failure::kConnectionFailed,
         "The server's answer was not understood: \"RFB 003.008\""},
        {"", ReplyKind::kMalformed, Failure::kConnectionFailed,
         "The server's answer was not understood: \"\""},
    };
    for (const Row& row : rows) {
        const Reply reply = ParseReply(row.line);
        EXPECT_EQ(reply.kind, row.kind) << row.line;
        const Outcome outcome = ReplyOutcome(reply);
        EXPECT_EQ(outcome.failure, row.failure) << row.line;
        EXPECT_EQ(outcome.detail, row.detail) << row.line;
    }
    EXPECT_EQ(ParseReply("ok").kind, ReplyKind::kOk);
    EXPECT_EQ(ParseReply("ok\r").kind, ReplyKind::kOk);
    EXPECT_EQ(ParseReply("okay").kind, ReplyKind::kMalformed);
}

TEST(ViewerReply, NamesThatWouldBreakTheRequestLineAreRefused) {
    EXPECT_FALSE(CheckName("pc-1"));
    EXPECT_FALSE(CheckName("\xec\x9b\x90\xea\xb2\xa9 \"pc\""));  // UTF-8 and spaces pass
    EXPECT_TRUE(CheckName(""));
    EXPECT_TRUE(CheckName("pc\nregister evil"));
    EXPECT_TRUE(CheckName(std::string("pc\0x", 4)));
    EXPECT_TRUE(CheckName("a\x7f"));
    EXPECT_EQ(ViewRequest("pc-1"), "view pc-1\n");
}

TEST(ViewerFailure, CoreReasonsMapToRows) {
    struct Row {
        std::string reason;
        bool password_given;
        Failure failure;
    };
    const Row rows[] = {
        {"authentication failed", true, Failure::kWrongPassword},
        {"authentication failed: bad password", false, Failure::kConnectionFailed},
        {"too many authentication attempts", true, Failure::kWrongPassword},
        {"the server offers no encryption, and unencrypted sessions are not allowed", false,
         Failure::kSecurity},
        {"the server sent an unknown message (type 77)", false, Failure::kProtocol},
    };
    for (const Row& row : rows)
        EXPECT_EQ(CoreFailure(row.reason, row.password_given).failure, row.failure) << row.reason;
    EXPECT_EQ(CoreFailure("the server sent junk", false).detail, "The server sent junk.");
}

TEST(ViewerFailure, TextsNameTheMachineAndCarryTheDetail) {
    EXPECT_EQ(FailureText(Failure::kBusy, "pc-1", ""),
              "The server is busy and cannot open a session with pc-1 now.");
    EXPECT_EQ(FailureText(Failure::kEnded, "a%1b", "Closed."),
              "The session with a%1b has ended.\n\nClosed.");
    EXPECT_EQ(ExitStatus(Failure::kUsage), 2);
    EXPECT_EQ(ExitStatus(Failure::kProtocol), 10);
}

}  // namespace
}  // namespace talviewer
