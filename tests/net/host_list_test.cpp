// The host list through the real dialog: its connection to a scripted
// directory server on loopback, the request it sends and the list it shows.
#include <QCoreApplication>
#include <QMetaObject>
#include <QPushButton>

#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "support/event_wait.h"
#include "support/launcher_harness.h"
#include "support/scripted_server.h"
#include "ui/launcher_dlg.h"

namespace {

using namespace test_support;
using Entries = std::vector<std::string>;

constexpr char kSendFail[] = "Server Data Send Fail!";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

std::string PortText(const ScriptedServer& server) {
    return std::to_string(server.Port());
}

// Presses Refresh as the user does, through the button's own signal.
void ClickRefresh(CLauncherDlg& dialog) {
    RefreshButton(dialog)->click();
}

bool ListIs(CLauncherDlg& dialog, const Entries& expected) {
    return ListEntries(dialog) == expected;
}

TEST(HostList, ShowsTheRepliedNamesSortedAndClosesTheConnectionAtTheEnd) {
    ScriptedServer server(ReplyToEveryRequest("xxok|zeta|Alpha|beta"));
    LauncherHarness launcher("127.0.0.1", PortText(server));
    launcher.Run([&](CLauncherDlg& dialog) {
        EXPECT_TRUE(WaitUntil([&] { return ListIs(dialog, {"Alpha", "beta", "zeta"}); }));
        EXPECT_EQ(server.Received(0), "server");
    });
    EXPECT_TRUE(WaitUntil([&] { return server.ConnectionsClosedByClient() == 1; }));
    EXPECT_TRUE(launcher.MessageBoxes().empty());
    EXPECT_EQ(server.Connections(), 1);
}

TEST(HostList, EachReplyReplacesTheList) {
    // Reply n answers request n; the list after it.
    const struct {
        const char* reply;
        Entries list;
    } steps[] = {
        {"xxok|b|a", {"a", "b"}}, {"xxok|c", {"c"}}, {"xx", {}}, {"xxok|d", {"d"}}, {"xxno|e", {}},
    };
    ServerScript script;
    script.onRequest = [&](Peer& peer, int index) { peer.Send(steps[index].reply); };
    ScriptedServer server(script);
    LauncherHarness launcher("127.0.0.1", PortText(server));
    launcher.Run([&](CLauncherDlg& dialog) {
        for (std::size_t i = 0; i < std::size(steps); ++i) {
            SCOPED_TRACE(steps[i].reply);
            if (i > 0)
                ClickRefresh(dialog);
            ASSERT_TRUE(WaitUntil([&] { return server.Requests() == int(i) + 1; }));
            ASSERT_TRUE(WaitUntil([&] { return ListIs(dialog, steps[i].list); }));
        }
    });
    EXPECT_EQ(server.Received(0), "serverserverserverserverserver");
}

TEST(HostList, RefusedConnectionShowsTheSendFailureOnce) {
    std::uint16_t closedPort;
    {
        ScriptedServer gone;
        closedPort = gone.Port();
    }
    LauncherHarness launcher("127.0.0.1", std::to_string(closedPort));
    launcher.Run([&](CLauncherDlg&) {
        ASSERT_TRUE(WaitUntil([&] { return launcher.MessageBoxes().size() == 1; }));
        RunEventLoopFor(300ms);
    });
    EXPECT_EQ(launcher.MessageBoxes(), std::vector<std::string>{kSendFail});
}

TEST(HostList, UnresolvableNameSendsNothingUntilRefreshFails) {
    ScriptedServer server(ReplyToEveryRequest("xxok|a"));
    LauncherHarness launcher("no-such-host.invalid", PortText(server));
    launcher.Run([&](CLauncherDlg& dialog) {
        RunEventLoopFor(300ms);
        EXPECT_TRUE(launcher.MessageBoxes().empty());
        ClickRefresh(dialog);
        EXPECT_EQ(launcher.MessageBoxes(), std::vector<std::string>{kSendFail});
        EXPECT_TRUE(ListIs(dialog, {}));
    });
    EXPECT_EQ(server.Connections(), 0);
}

// The port setting as atoi reads it, the low 16 bits of the number, and a
// host name for the address all reach the server.
TEST(HostList, ConnectsWithTheSettingsAsWritten) {
    ScriptedServer server(ReplyToEveryRequest("xxok|reached"));
    const unsigned port = server.Port();
    const struct {
        const char* ip;
        std::string port;
    } cases[] = {
        {"127.0.0.1", std::to_string(port) + "x"},
        {"127.0.0.1", std::to_string(port + 65536)},
        {"127.0.0.1", " +" + std::to_string(port)},
        {"localhost", std::to_string(port)},
    };
    int connections = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ip) + " port \"" + c.port + "\"");
        LauncherHarness launcher(c.ip, c.port);
        launcher.Run([&](CLauncherDlg& dialog) {
            EXPECT_TRUE(WaitUntil([&] { return ListIs(dialog, {"reached"}); }));
        });
        EXPECT_EQ(server.Connections(), ++connections);
        EXPECT_TRUE(launcher.MessageBoxes().empty());
    }
}

TEST(HostList, ReplyInTwoPiecesIsTwoReplies) {
    ScriptedServer server(ReplyToEveryRequest("xxok|Alpha|be"));
    LauncherHarness launcher("127.0.0.1", PortText(server));
    launcher.Run([&](CLauncherDlg& dialog) {
        ASSERT_TRUE(WaitUntil([&] { return ListIs(dialog, {"Alpha", "be"}); }));
        server.Connection(0)->Send("ta|gamma");
        EXPECT_TRUE(WaitUntil([&] { return ListIs(dialog, {}); }));
        server.Connection(0)->Send("yyok|again");
        EXPECT_TRUE(WaitUntil([&] { return ListIs(dialog, {"again"}); }));
    });
}

TEST(HostList, LongReplyIsReadInBlocksOf200Bytes) {
    // 350 bytes in one send: the second block, bytes 200 to 349, is a reply
    // of its own only when the first read takes exactly 200 bytes.
    auto block = [](const std::string& head, char fill, std::size_t size) {
        return head + std::string(size - head.size(), fill);
    };
    const std::string reply = block("xxok|first|", 'f', 200) + block("yyok|second|", 's', 150);
    ScriptedServer server(ReplyToEveryRequest(reply));
    LauncherHarness launcher("127.0.0.1", PortText(server));
    launcher.Run([&](CLauncherDlg& dialog) {
        EXPECT_TRUE(WaitUntil([&] { return ListIs(dialog, {"second", std::string(138, 's')}); }));
    });
}

// After the server goes away the dialog idles, and a request reports the
// failure instead of crashing or spinning.
TEST(HostList, ServerThatClosesOrResetsLeavesTheDialogIdleAndRefreshReportsIt) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset in the middle of a reply" : "orderly close after the reply");
        ServerScript script;
        script.onRequest = [reset](Peer& peer, int) {
            if (reset) {
                peer.Send("xxok|Al");
                peer.Reset();
            } else {
                peer.Send("xxok|Alpha");
                peer.Close();
            }
        };
        ScriptedServer server(script);
        LauncherHarness launcher("127.0.0.1", PortText(server));
        launcher.Run([&](CLauncherDlg& dialog) {
            if (!reset) {
                ASSERT_TRUE(WaitUntil([&] { return ListIs(dialog, {"Alpha"}); }));
            }
            ASSERT_TRUE(WaitUntil([&] { return server.Requests() == 1; }));
            RunEventLoopFor(200ms);
            const double cpu = ProcessCpuSeconds();
            RunEventLoopFor(1s);
            EXPECT_LT(ProcessCpuSeconds() - cpu, 0.3) << "busy after the server went away";

            // The first request after an orderly close may still be taken
            // by the system; the server's reset makes the next one fail.
            ClickRefresh(dialog);
            RunEventLoopFor(100ms);
            ClickRefresh(dialog);
            EXPECT_TRUE(WaitUntil([&] { return !launcher.MessageBoxes().empty(); }));
            const double cpuAfter = ProcessCpuSeconds();
            RunEventLoopFor(1s);
            EXPECT_LT(ProcessCpuSeconds() - cpuAfter, 0.3) << "busy after the failed request";
        });
        EXPECT_GE(launcher.MessageBoxes().size(), 1u);
        EXPECT_LE(launcher.MessageBoxes().size(), 2u);
        for (const std::string& text : launcher.MessageBoxes())
            EXPECT_EQ(text, kSendFail);
        EXPECT_EQ(server.Requests(), 1);
    }
}

int PendingBytes(CLauncherDlg& dialog) {
    int pending = 0;
    ioctl(static_cast<int>(dialog.Socket().m_hSocket), FIONREAD, &pending);
    return pending;
}

TEST(HostList, FloodOfTenMegabytesKeepsTheDialogResponsiveAndMemoryFlat) {
    constexpr std::size_t kFlood = 10 * 1024 * 1024;
    ServerScript script;
    script.onRequest = [&](Peer& peer, int index) {
        if (index == 0)
            peer.Flood("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA|", kFlood);
    };
    ScriptedServer server(script);
    LauncherHarness launcher("127.0.0.1", PortText(server));
    launcher.Run([&](CLauncherDlg& dialog) {
        ASSERT_TRUE(WaitUntil([&] { return server.Connection(0) != nullptr; }));
        Peer& peer = *server.Connection(0);
        ASSERT_TRUE(WaitUntil([&] { return peer.FloodSent() > 0; }));
        const long long rssBefore = ResidentBytes();

        // A call posted now runs while the flood is still coming in, and a
        // Refresh pressed now is sent.
        std::size_t sentWhenHandled = 0;
        bool handled = false;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&] {
                sentWhenHandled = peer.FloodSent();
                handled = true;
                ClickRefresh(dialog);
            },
            Qt::QueuedConnection);
        ASSERT_TRUE(WaitUntil([&] { return handled; }));
        EXPECT_LT(sentWhenHandled, kFlood) << "the dialog was not handling events during the flood";

        ASSERT_TRUE(WaitUntil(
            [&] { return peer.FloodSent() == kFlood && PendingBytes(dialog) == 0; }, 120s));
        // Under AddressSanitizer freed memory waits in its quarantine.
        if (!kAddressSanitizer) {
            EXPECT_LT(ResidentBytes() - rssBefore, 20LL * 1024 * 1024);
        }
        // The connection still works: the Refresh made during the flood was
        // sent, and a reply after it is shown.
        EXPECT_TRUE(WaitUntil([&] { return server.Requests() == 2; }));
        peer.Send("xxok|after");
        EXPECT_TRUE(WaitUntil([&] { return ListIs(dialog, {"after"}); }));
    });
    EXPECT_TRUE(launcher.MessageBoxes().empty());
}

TEST(HostList, ClosingTheDialogDuringTheConnectAttemptReachesNothing) {
    ScriptedServer server(ReplyToEveryRequest("xxok|a"));
    {
        LauncherHarness launcher("127.0.0.1", PortText(server));
        // Ended before its loop ever ran: the attempt's outcome is still to
        // be reported when the dialog and its socket are gone.
        launcher.Run([](CLauncherDlg&) {});
        RunEventLoopFor(300ms);
        EXPECT_TRUE(launcher.MessageBoxes().empty());
    }
    EXPECT_EQ(server.Requests(), 0);
}

}  // namespace
