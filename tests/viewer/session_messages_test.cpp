// What both viewers say to the operator beyond the session table: the core's failures that
// depend on whether a password was typed, and a machine name kept as text in the message. Every
// reply line, failure class and exit status is checked through the session driver
// (session_driver_test.cpp); the machine-name rule by tests/common.
#include <gtest/gtest.h>

#include <string>

#include "viewer/session_messages.h"

namespace talviewer {
namespace {

TEST(ViewerFailure, TooManyAttemptsIsAWrongPasswordOnlyWhenOneWasTyped) {
    EXPECT_EQ(CoreFailure("too many authentication attempts", true).failure,
              Failure::kWrongPassword);
    EXPECT_EQ(CoreFailure("too many authentication attempts", false).failure,
              Failure::kConnectionFailed);
    EXPECT_EQ(CoreFailure("the server sent junk", false).detail, "The server sent junk.");
}

TEST(ViewerFailure, TheTextNamesTheMachineVerbatimAndCarriesTheDetail) {
    // "%1" in a name is text, never a placeholder.
    EXPECT_EQ(FailureText(Failure::kEnded, "a%1b", "Closed."),
              "The session with a%1b has ended.\n\nClosed.");
}

}  // namespace
}  // namespace talviewer
