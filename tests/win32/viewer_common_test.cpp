// talviewer.exe's portable parts: the session reply's meaning for the operator, the core's
// failures as error rows, and Windows keys as X keysyms.
#include <gtest/gtest.h>

#include <string>

#include "keymap.h"
#include "messages.h"
#include "rfb/keysyms.h"

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
         "The server answered: ?[31m"},
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
    EXPECT_EQ(FailureText(Failure::kNotConnected, "pc-1", ""),
              "pc-1 is not connected to the server right now. The support program on that "
              "machine must be running.");
    EXPECT_EQ(FailureText(Failure::kEnded, "a%1b", "Closed."),
              "The session with a%1b has ended.\n\nClosed.");
    EXPECT_EQ(ExitStatus(Failure::kUsage), 2);
    EXPECT_EQ(ExitStatus(Failure::kProtocol), 10);
}

TEST(ViewerKeys, VirtualKeysWithoutTextHaveKeysyms) {
    namespace ks = rfb::keysym;
    struct Row {
        unsigned vk;
        bool extended;
        uint32_t keysym;
    };
    const Row rows[] = {
        {0x0d, false, ks::kReturn},
        {0x0d, true, ks::kKeypadEnter},
        {0x11, false, ks::kControlL},
        {0x11, true, ks::kControlR},
        {0x12, false, ks::kAltL},
        {0x12, true, ks::kAltR},
        {0x10, false, ks::kShiftL},
        {0xa1, false, ks::kShiftR},
        {0x70, false, ks::kF1},
        {0x7b, false, ks::kF1 + 11},
        {0x87, false, ks::kF1 + 23},
        {0x60, false, ks::kKeypad0},
        {0x69, false, ks::kKeypad0 + 9},
        {0x2e, true, ks::kDelete},
        {0x25, true, ks::kLeft},
        {0x5b, true, ks::kSuperL},
        {0x41, false, 0},  // 'A' types text: ToUnicode decides
        {0xba, false, 0},  // the ';' key of a US layout, likewise
    };
    for (const Row& row : rows)
        EXPECT_EQ(KeysymForVirtualKey(row.vk, row.extended), row.keysym) << row.vk;
}

TEST(ViewerKeys, TypedTextAsKeysyms) {
    EXPECT_EQ(KeysymForText(L"a", 1), 0x61u);
    EXPECT_EQ(KeysymForText(L"\u00e9", 1), 0xe9u);
    EXPECT_EQ(KeysymForText(L"\u20ac", 1), 0x010020acu);
    EXPECT_EQ(KeysymForText(L"\U0001f600", 2), 0x0101f600u);  // a surrogate pair
    EXPECT_EQ(KeysymForText(L"\x03", 1), 0u);                 // Ctrl+C's control character
    EXPECT_EQ(KeysymForText(L"ab", 2), 0u);                   // two characters: no one key
    EXPECT_EQ(KeysymForText(L"\xd800", 1), 0u);
}

}  // namespace
}  // namespace talviewer
