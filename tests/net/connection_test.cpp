// The connection to the directory server, against a scripted server on
// loopback: first the socket layer's delivery rules, event by event, as the
// launcher relies on them; then the host list through the real dialog, the
// requests it sends and the list it shows.
#include "support/launcher_harness.h"

#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <climits>

#include "platform/async_socket.h"
#include "support/event_wait.h"
#include "support/process_usage.h"

namespace {

using namespace test_support;
using Strings = std::vector<std::string>;

// Records its events as "C0 R0 R10054 ": the kind (Connect, Read, X for
// close) and the error (10054 is WSAECONNRESET).
class RecordingSocket : public CAsyncSocket {
public:
    std::string events;
    std::function<void(char)> after;  // runs after each event is recorded

    void Record(char kind, int error) {
        events += kind + std::to_string(error) + ' ';
        if (after)
            after(kind);
    }
    void OnConnect(int error) override { Record('C', error); }
    void OnReceive(int error) override { Record('R', error); }
    void OnClose(int error) override { Record('X', error); }
};

// Connects and waits for the connect event.
void ConnectTo(RecordingSocket& socket, const ScriptedServer& server) {
    ASSERT_TRUE(socket.Create());
    socket.Connect("127.0.0.1", server.Port());
    ASSERT_TRUE(WaitUntil([&] { return socket.events == "C0 " && server.Connected(); }));
}

// A read event comes once per arrival, again after a Receive that leaves data
// unread, and not at all when it is stale (nothing to read and no error).
// Write, out-of-band and accept events reach no handler.
TEST(AsyncSocket, ReadEventsComeOnlyWhenTheyMeanSomething) {
    ScriptedServer server;
    RecordingSocket socket;
    ConnectTo(socket, server);
    server.Send("0123456789");
    ASSERT_TRUE(WaitUntil([&] { return socket.events == "C0 R0 "; }));
    RunEventLoopFor(300ms);  // for any stray event
    char buffer[100];
    ASSERT_EQ(socket.Receive(buffer, 4), 4);
    ASSERT_TRUE(WaitUntil([&] { return socket.events == "C0 R0 R0 "; }));
    ASSERT_EQ(socket.Receive(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    RunEventLoopFor(300ms);  // for any stray event
    for (long event : {FD_READ, FD_WRITE, FD_OOB, FD_ACCEPT})
        CAsyncSocket::DispatchNotification(socket.m_hSocket, MakeSelectReply(event, 0));
    CAsyncSocket::DispatchNotification(socket.m_hSocket, MakeSelectReply(FD_READ, WSAECONNRESET));
    EXPECT_EQ(socket.events, "C0 R0 R0 R10054 ");
}

// After Close nothing of that socket is delivered, neither its pending
// connect outcome nor an event already queued, even when a new socket gets
// the same handle; with and without another socket keeping the dispatcher up.
TEST(AsyncSocket, CloseDropsPendingEventsEvenWhenTheHandleIsReused) {
    for (bool otherSocketLive : {false, true}) {
        SCOPED_TRACE(otherSocketLive ? "another socket live" : "the only socket");
        ScriptedServer server, keeperServer;
        RecordingSocket keeper, first, second;
        if (otherSocketLive)
            ConnectTo(keeper, keeperServer);
        ASSERT_TRUE(first.Create());
        first.Connect("127.0.0.1", ScriptedServer().Port());  // refused
        const SOCKET handle = first.m_hSocket;
        // An event queued but not yet handed over. (When the last socket
        // closes, the platform drops its own queued events wholesale.)
        if (otherSocketLive)
            QTimer::singleShot(0, [=] {
                CAsyncSocket::DispatchNotification(handle, MakeSelectReply(FD_CLOSE, 0));
            });
        first.Close();
        ASSERT_TRUE(second.Create());
        EXPECT_EQ(second.m_hSocket, handle) << "the system reuses the lowest free descriptor";
        RunEventLoopFor(300ms);  // for any stray event
        EXPECT_EQ(first.events + second.events, "");
        // The new socket's own events do arrive.
        second.Connect("127.0.0.1", server.Port());
        EXPECT_TRUE(WaitUntil([&] { return second.events == "C0 "; }));
    }
}

// A handler that runs a nested loop (as a message box does) goes on getting
// the socket's events while it waits.
TEST(AsyncSocket, NestedLoopInsideAHandlerKeepsDeliveringEvents) {
    ScriptedServer server("xxok|a");
    RecordingSocket socket;
    bool readInsideConnectHandler = false;
    socket.after = [&](char kind) {
        if (kind == 'C' && socket.Send("server", 6) == 6)
            readInsideConnectHandler =
                WaitUntil([&] { return socket.events.find('R') != std::string::npos; });
    };
    ASSERT_TRUE(socket.Create());
    socket.Connect("127.0.0.1", server.Port());
    EXPECT_TRUE(WaitUntil([&] { return readInsideConnectHandler; }));
    EXPECT_EQ(socket.events.substr(0, 3), "C0 ");
}

const Strings kSendFail{"Server Data Send Fail!"};

TEST(PortNumberFromText, ReadsLikeAtoi) {
    const std::pair<const char*, int> cases[] = {
        {"8080x", 8080}, {"70000", 70000}, {" \t+42", 42},           {"-1", -1},
        {"x8080", 0},    {"", 0},          {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(PortNumberFromText(text), expected) << '"' << text << '"';
}

// One connection for the dialog's life, one request "server" at the start and
// one per Refresh; each reply block (a read of at most 200 bytes) replaces
// the list with its names, sorted, even a block that only ends a reply.
TEST(HostList, EachReplyBlockReplacesTheListWithItsNamesSorted) {
    const std::string block200 = "xxok|first|" + std::string(189, 'f'), s138(138, 's');
    const std::tuple<bool, std::string, Strings> steps[] = {
        {false, "xxok|zeta|Alpha|beta", {"Alpha", "beta", "zeta"}},
        {true, "xxok|c", {"c"}},
        {true, "xx", {}},
        {true, "xxok|Alpha|be", {"Alpha", "be"}},
        {false, "ta|gamma", {}},
        {false, "yyok|again", {"again"}},
        {true, block200 + "yyok|second|" + s138, {"second", s138}},
        {true, "xxno|e", {}}};
    ScriptedServer server;
    LauncherHarness launcher("127.0.0.1", std::to_string(server.Port()));
    launcher.Run([&](CLauncherDlg& dialog) {
        int requests = 0;
        for (const auto& [refresh, reply, list] : steps) {
            SCOPED_TRACE(reply);
            if (refresh)
                Control<QPushButton>(dialog, IDC_REFRESH)->click();
            requests += refresh || requests == 0 ? 1 : 0;
            ASSERT_TRUE(WaitUntil([&] { return server.Requests() == requests; }));
            EXPECT_EQ(server.BytesReceived(), 6u * requests) << "more than \"server\" sent";
            server.Send(reply);
            ASSERT_TRUE(WaitUntil([&, &list = list] { return ListEntries(dialog) == list; }));
        }
    });
    EXPECT_TRUE(WaitUntil([&] { return server.Ended(); })) << "the connection outlived the dialog";
    EXPECT_EQ(launcher.messageBoxes, Strings{});
}

// The low 16 bits of the port number and a host name reach the server (the
// port as atoi reads it: ViewerLaunch); a refused connection is reported
// once; a name that cannot be looked up connects nowhere and reports nothing.
TEST(HostList, ConnectsWithTheSettingsAsWritten) {
    const std::tuple<const char*, int, Strings, Strings> cases[] = {
        {"127.0.0.1", 65536, {"reached"}, {}},
        {"localhost", 0, {"reached"}, {}},
        {"127.0.0.1", -1, {}, kSendFail},  // -1: a port where nothing listens
        {"no-such-host.invalid", 0, {}, {}},
    };
    for (const auto& [ip, add, list, boxes] : cases) {
        ScriptedServer server("xxok|reached");
        const std::string port =
            std::to_string(add < 0 ? ScriptedServer().Port() : server.Port() + add);
        SCOPED_TRACE(std::string(ip) + " port " + port);
        LauncherHarness launcher(ip, port);
        launcher.Run([&, &list = list, &boxes = boxes](CLauncherDlg& dialog) {
            EXPECT_TRUE(WaitUntil(
                [&] { return ListEntries(dialog) == list && launcher.messageBoxes == boxes; }));
            RunEventLoopFor(300ms);
        });
        EXPECT_EQ(launcher.messageBoxes, boxes);
        EXPECT_EQ(server.Connected(), !list.empty());
    }
}

// When the server goes away (closed, or reset) the dialog idles; Refresh then
// connects again: while no server listens that fails, once, with the send
// failure; once the server is back, the list comes from it.
TEST(HostList, AfterTheServerRestartsRefreshConnectsAgain) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        auto server = std::make_unique<ScriptedServer>([reset](ScriptedServer& s, int) {
            s.Send("xxok|Alpha");
            s.Close(reset);
        });
        const unsigned port = server->Port();
        LauncherHarness launcher("127.0.0.1", std::to_string(port));
        launcher.Run([&](CLauncherDlg& dialog) {
            const auto refresh = [&] { Control<QPushButton>(dialog, IDC_REFRESH)->click(); };
            // The reply before the close is still read.
            ASSERT_TRUE(WaitUntil(
                [&] { return server->Ended() && ListEntries(dialog) == Strings{"Alpha"}; }));
            EXPECT_LT(CpuSecondsWhileRunningFor(1s), 0.3) << "busy after the server went away";
            server.reset();
            refresh();
            ASSERT_TRUE(WaitUntil([&] { return launcher.messageBoxes == kSendFail; }));
            server = std::make_unique<ScriptedServer>("xxok|Beta", port);
            refresh();
            EXPECT_TRUE(WaitUntil([&] { return ListEntries(dialog) == Strings{"Beta"}; }));
            EXPECT_EQ(server->Requests(), 1);
        });
        EXPECT_EQ(launcher.messageBoxes, kSendFail);
    }
}

TEST(HostList, FloodOfTenMegabytesKeepsTheDialogResponsiveAndMemoryFlat) {
    const std::string flood(10 * 1024 * 1024, 'A');
    std::atomic<bool> flooding{false};
    ScriptedServer server([&](ScriptedServer& s, int request) {
        if (request == 0)
            flooding = true, s.Send(flood), flooding = false;
    });
    LauncherHarness launcher("127.0.0.1", std::to_string(server.Port()));
    launcher.Run([&](CLauncherDlg& dialog) {
        ASSERT_TRUE(WaitUntil([&] { return flooding.load(); }));
        [[maybe_unused]] const std::size_t rssBefore = process_usage::ResidentKiB(getpid());
        // A call posted now runs while the flood is still coming in, and a
        // Refresh pressed then is sent.
        int handledDuringFlood = -1;
        QTimer::singleShot(0, [&] {
            handledDuringFlood = flooding;
            Control<QPushButton>(dialog, IDC_REFRESH)->click();
        });
        ASSERT_TRUE(WaitUntil([&] { return handledDuringFlood >= 0; }));
        EXPECT_EQ(handledDuringFlood, 1) << "no events handled during the flood";
        // Once all of the flood has been read, a reply after it is shown.
        int unread = 1;
        ASSERT_TRUE(WaitUntil(
            [&] {
                ioctl(int(dialog.Socket().m_hSocket), FIONREAD, &unread);
                return unread == 0 && server.Requests() == 2;
            },
            120s));
        server.Send("xxok|after");
        ASSERT_TRUE(WaitUntil([&] { return ListEntries(dialog) == Strings{"after"}; }));
#ifndef LAUNCHER_ASAN  // whose quarantine holds on to freed memory
        EXPECT_LT(process_usage::ResidentKiB(getpid()), rssBefore + 20 * 1024);
#endif
    });
    EXPECT_EQ(launcher.messageBoxes, Strings{});
}

}  // namespace
