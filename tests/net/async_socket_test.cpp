// The asynchronous socket's delivery rules, against real sockets on loopback:
// what the launcher relies on from the socket layer, event by event.
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/async_socket.h"
#include "support/event_wait.h"
#include "support/scripted_server.h"

namespace {

using namespace test_support;

// A socket that records its events; a test may add behaviour per event.
class RecordingSocket : public CAsyncSocket {
public:
    struct Event {
        char kind;  // C connect, R read, W write, X close
        int error;
    };
    std::vector<Event> events;
    std::function<void(int)> onConnect;
    std::function<void(int)> onReceive;

    int Count(char kind) const {
        int n = 0;
        for (const Event& e : events)
            n += e.kind == kind ? 1 : 0;
        return n;
    }
    int ErrorOf(char kind) const {
        for (const Event& e : events)
            if (e.kind == kind)
                return e.error;
        return -1;
    }

    void OnConnect(int error) override {
        events.push_back({'C', error});
        if (onConnect)
            onConnect(error);
    }
    void OnReceive(int error) override {
        events.push_back({'R', error});
        if (onReceive)
            onReceive(error);
    }
    void OnSend(int error) override { events.push_back({'W', error}); }
    void OnClose(int error) override { events.push_back({'X', error}); }
};

// A loopback port on which nothing listens.
std::uint16_t ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// Creates `socket` and connects it to the server, waiting for the outcome.
void ConnectTo(RecordingSocket& socket, const ScriptedServer& server) {
    ASSERT_TRUE(socket.Create());
    socket.Connect("127.0.0.1", server.Port());
    ASSERT_TRUE(WaitUntil([&] { return socket.Count('C') == 1; }));
    ASSERT_EQ(socket.ErrorOf('C'), 0);
}

// A quiet spell long enough for any stray event to have been delivered.
void Settle() {
    RunEventLoopFor(300ms);
}

TEST(AsyncSocket, CreateBindsAnyAddressAndAPortOfTheSystemsChoice) {
    RecordingSocket socket;
    ASSERT_TRUE(socket.Create(0, SOCK_STREAM, kAllSocketEvents, nullptr));
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ASSERT_EQ(
        ::getsockname(static_cast<int>(socket.m_hSocket), reinterpret_cast<sockaddr*>(&sa), &len),
        0);
    EXPECT_EQ(sa.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(sa.sin_port, 0);
}

TEST(AsyncSocket, ConnectReportsOnceThenTheSocketIsWritable) {
    ScriptedServer server;
    RecordingSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("127.0.0.1", server.Port()));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(WaitUntil([&] { return socket.Count('W') == 1; }));
    Settle();
    ASSERT_EQ(socket.events.size(), 2u);
    EXPECT_EQ(socket.events[0].kind, 'C');
    EXPECT_EQ(socket.events[0].error, 0);
    EXPECT_EQ(socket.events[1].kind, 'W');
    EXPECT_EQ(server.Connections(), 1);
}

TEST(AsyncSocket, RefusedConnectionIsOneConnectEventCarryingTheError) {
    RecordingSocket socket;
    ASSERT_TRUE(socket.Create());
    socket.Connect("127.0.0.1", ClosedPort());
    ASSERT_TRUE(WaitUntil([&] { return socket.Count('C') == 1; }));
    Settle();
    ASSERT_EQ(socket.events.size(), 1u);
    EXPECT_EQ(socket.events[0].error, WSAECONNREFUSED);
    // Nothing is connected: a send fails (and raises no signal).
    EXPECT_EQ(socket.Send("server", 6), SOCKET_ERROR);
}

TEST(AsyncSocket, UnresolvableNameFailsAtOnceWithoutAnyEvent) {
    RecordingSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("no-such-host.invalid", 80));
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEINVAL);
    Settle();
    EXPECT_TRUE(socket.events.empty());
}

// Names and port numbers that reach the server: a host name is looked up,
// and only the low 16 bits of the port number count.
TEST(AsyncSocket, ConnectsByNameAndByTheLow16BitsOfThePort) {
    ScriptedServer server;
    struct Case {
        const char* address;
        UINT port;
    } cases[] = {
        {"localhost", server.Port()},
        {"127.0.0.1", server.Port() + 0x10000u},
        {"127.0.0.1", server.Port() + 0x30000u},
    };
    int expected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + " " + std::to_string(c.port));
        RecordingSocket other;
        ASSERT_TRUE(other.Create());
        other.Connect(c.address, c.port);
        ASSERT_TRUE(WaitUntil([&] { return other.Count('C') == 1; }));
        EXPECT_EQ(other.ErrorOf('C'), 0);
        expected += 1;
        EXPECT_TRUE(WaitUntil([&] { return server.Connections() == expected; }));
    }
}

TEST(AsyncSocket, ReadEventWaitsForAReceiveAndComesAgainWhileDataIsLeft) {
    ScriptedServer server;
    RecordingSocket socket;
    ConnectTo(socket, server);
    ASSERT_TRUE(WaitUntil([&] { return server.Connection(0) != nullptr; }));
    server.Connection(0)->Send("0123456789");

    // Unread data brings one read event, not a stream of them.
    ASSERT_TRUE(WaitUntil([&] { return socket.Count('R') == 1; }));
    Settle();
    EXPECT_EQ(socket.Count('R'), 1);

    char buffer[100];
    ASSERT_EQ(socket.Receive(buffer, 4), 4);
    ASSERT_TRUE(WaitUntil([&] { return socket.Count('R') == 2; }));
    ASSERT_EQ(socket.Receive(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    Settle();
    EXPECT_EQ(socket.Count('R'), 2);
    EXPECT_EQ(socket.ErrorOf('R'), 0);
}

TEST(AsyncSocket, StaleReadEventDeliversNothingUnlessItCarriesAnError) {
    ScriptedServer server;
    RecordingSocket socket;
    ConnectTo(socket, server);
    Settle();
    const std::size_t before = socket.events.size();

    CAsyncSocket::DispatchNotification(socket.m_hSocket, MakeSelectReply(FD_READ, 0));
    EXPECT_EQ(socket.events.size(), before);

    CAsyncSocket::DispatchNotification(socket.m_hSocket, MakeSelectReply(FD_READ, WSAECONNRESET));
    ASSERT_EQ(socket.events.size(), before + 1);
    EXPECT_EQ(socket.events.back().kind, 'R');
    EXPECT_EQ(socket.events.back().error, WSAECONNRESET);

    // Events of no registered socket, and the empty event, reach nobody.
    CAsyncSocket::DispatchNotification(socket.m_hSocket + 1000, MakeSelectReply(FD_CLOSE, 0));
    CAsyncSocket::DispatchNotification(0, 0);
    EXPECT_EQ(socket.events.size(), before + 1);
}

// The peer's close, orderly or by reset, is one close event; afterwards the
// socket costs no CPU, and sending on it neither succeeds forever nor raises
// SIGPIPE.
TEST(AsyncSocket, PeerCloseIsOneEventAndLeavesTheLoopIdle) {
    struct Case {
        const char* name;
        bool reset;
        const char* dataFirst;
    } cases[] = {
        {"orderly", false, ""},
        {"reset", true, ""},
        {"orderly after data", false, "xxok|a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        RecordingSocket socket;
        std::string received;
        socket.onReceive = [&](int) {
            char buffer[200];
            const int n = socket.Receive(buffer, sizeof buffer);
            if (n > 0)
                received.append(buffer, size_t(n));
        };
        ConnectTo(socket, server);
        ASSERT_TRUE(WaitUntil([&] { return server.Connection(0) != nullptr; }));
        Peer& peer = *server.Connection(0);
        if (*c.dataFirst != '\0')
            peer.Send(c.dataFirst);
        if (c.reset)
            peer.Reset();
        else
            peer.Close();

        ASSERT_TRUE(WaitUntil([&] { return socket.Count('X') == 1; }));
        EXPECT_EQ(socket.ErrorOf('X'), c.reset ? WSAECONNRESET : 0);
        EXPECT_EQ(received, c.dataFirst);

        const double cpu = ProcessCpuSeconds();
        RunEventLoopFor(1s);
        EXPECT_LT(ProcessCpuSeconds() - cpu, 0.3) << "the event loop keeps busy after the close";
        EXPECT_EQ(socket.Count('X'), 1);
        EXPECT_EQ(socket.Count('R'), *c.dataFirst != '\0' ? 1 : 0);

        char buffer[16];
        const int last = socket.Receive(buffer, sizeof buffer);
        if (c.reset)
            EXPECT_LE(last, 0);
        else
            EXPECT_EQ(last, 0);
        // The first send after an orderly close may still be taken; the
        // peer's answer to it makes the next one fail.
        bool failed = false;
        for (int i = 0; i < 50 && !failed; ++i) {
            failed = socket.Send("server", 6) == SOCKET_ERROR;
            if (!failed)
                RunEventLoopFor(20ms);
        }
        EXPECT_TRUE(failed);
    }
}

TEST(AsyncSocket, SendThatWouldBlockBringsAWriteEventOnceThereIsRoom) {
    // A listener that accepts and does not read, so the client's buffers fill.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);

    RecordingSocket socket;
    ASSERT_TRUE(socket.Create());
    socket.Connect("127.0.0.1", ntohs(sa.sin_port));
    ASSERT_TRUE(WaitUntil([&] { return socket.Count('W') == 1; }));
    const int accepted = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);

    const std::string chunk(64 * 1024, 'x');
    int sent;
    while ((sent = socket.Send(chunk.data(), int(chunk.size()))) > 0) {
    }
    EXPECT_EQ(CAsyncSocket::GetLastError(), WSAEWOULDBLOCK);
    Settle();
    EXPECT_EQ(socket.Count('W'), 1) << "no write event while the buffers are full";

    char sink[64 * 1024];
    EXPECT_TRUE(WaitUntil([&] {
        while (::recv(accepted, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        return socket.Count('W') == 2;
    }));
    ::close(accepted);
    ::close(listener);
}

// After Close nothing of that socket is delivered: neither what was already
// queued nor what comes later, even when a new socket gets the same handle.
TEST(AsyncSocket, CloseDropsQueuedEventsEvenWhenTheHandleIsReused) {
    ScriptedServer server;
    RecordingSocket keeper;  // another live socket, so the dispatcher stays up
    ConnectTo(keeper, server);
    RecordingSocket first;
    ConnectTo(first, server);
    Settle();
    const SOCKET handle = first.m_hSocket;
    const std::size_t before = first.events.size();

    // An event the platform has queued but not yet handed over.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [handle] {
            CAsyncSocket::DispatchNotification(handle, MakeSelectReply(FD_CLOSE, WSAECONNRESET));
        },
        Qt::QueuedConnection);
    first.Close();
    RecordingSocket second;
    ASSERT_TRUE(second.Create());
    EXPECT_EQ(second.m_hSocket, handle) << "the system reuses the lowest free descriptor";

    Settle();
    EXPECT_EQ(first.events.size(), before);
    EXPECT_TRUE(second.events.empty());

    // The new socket's own events do arrive.
    second.Connect("127.0.0.1", server.Port());
    EXPECT_TRUE(WaitUntil([&] { return second.Count('C') == 1; }));
}

TEST(AsyncSocket, CloseWhileConnectingDropsTheConnectEvent) {
    for (bool otherSocketLive : {false, true}) {
        SCOPED_TRACE(otherSocketLive ? "another socket live" : "the only socket");
        ScriptedServer server;
        RecordingSocket keeper;
        if (otherSocketLive)
            ConnectTo(keeper, server);
        RecordingSocket socket;
        ASSERT_TRUE(socket.Create());
        socket.Connect("127.0.0.1", server.Port());
        socket.Close();
        EXPECT_TRUE(WaitUntil([&] { return server.Connections() == (otherSocketLive ? 2 : 1); }));
        Settle();
        EXPECT_TRUE(socket.events.empty());
    }
}

// A handler that runs a nested loop (as a message box does) goes on getting
// the socket's events while it waits.
TEST(AsyncSocket, NestedLoopInsideAHandlerKeepsDeliveringEvents) {
    ScriptedServer server(ReplyToEveryRequest("xxok|a"));
    RecordingSocket socket;
    bool receivedInsideConnectHandler = false;
    socket.onReceive = [&](int) {
        char buffer[200];
        socket.Receive(buffer, sizeof buffer);
    };
    socket.onConnect = [&](int) {
        socket.Send("server", 6);
        receivedInsideConnectHandler = WaitUntil([&] { return socket.Count('R') == 1; }, 10s);
    };
    ASSERT_TRUE(socket.Create());
    socket.Connect("127.0.0.1", server.Port());
    ASSERT_TRUE(WaitUntil([&] { return socket.Count('C') == 1 && socket.Count('R') == 1; }));
    EXPECT_TRUE(receivedInsideConnectHandler);
    EXPECT_EQ(socket.events.front().kind, 'C');
}

}  // namespace
