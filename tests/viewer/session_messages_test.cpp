// What both viewers say to the operator: the core's failures the session table does not reach,
// the texts, and the names a request cannot carry. Every reply line's row is checked through
// the session driver (session_driver_test.cpp).
#include <gtest/gtest.h>

#include <string>

#include "viewer/session_messages.h"

namespace talviewer {
namespace {

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
        {"too many authentication attempts", true, Failure::kWrongPassword},
        {"too many authentication attempts", false, Failure::kConnectionFailed},
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
