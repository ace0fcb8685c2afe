// The control connection's core that both agents drive (talagent with x11vnc, talagent.exe with
// its own server), fed bytes and times directly: which orders start a session, and the
// connection's life (time-outs, the back-off and its reset, the bound on what the server does
// not read, a line that ends the batch).
#include "agent/control_link.h"

#include <gtest/gtest.h>

#include <string>

namespace talagent {
namespace {

using namespace std::chrono_literals;
using Kind = LinkEvent::Kind;
using State = ControlLink::State;
using Time = ControlLink::Clock::time_point;

Options MakeOptions(bool insecure = true) {
    Options options;
    options.servers = {{"dir.example", 7000}, {"10.0.0.9", 7000}};
    options.server = options.servers.front();
    options.name = "pc1";
    options.insecure = insecure;
    return options;
}

std::string Kinds(ControlLink& link) {
    std::string kinds;
    for (const LinkEvent& event : link.TakeEvents())
        kinds += "CTXOS"[static_cast<int>(event.kind)];
    return kinds;
}

// Connects at `now` to the numeric address 192.0.2.1 and registers (no key).
void Register(ControlLink& link, Time now) {
    link.OnTime(now);
    link.Connected("192.0.2.1", now);
    if (!link.options().insecure)
        link.Handshaken(TlsStatus::Done, "TLSv1.3", now);
    link.out().clear();
    link.Received("registered\n", now);
    ASSERT_EQ(link.state(), State::kRegistered);
    link.TakeEvents();
}

// One row per rule an order must pass; both agents count an order being asked about as open.
TEST(ControlLink, AdmitsOnlyOrdersThatPassEveryRule) {
    struct Row {
        const char* rule;
        const char* line;
        bool ask;
        bool already_open;
        std::size_t open;
        Admission admission;
        const char* sent;
    } const rows[] = {
        {"the connected server", "connect 7 alice control", false, false, 0, Admission::kStart, ""},
        {"its address", "connect 7 192.0.2.1:7000", false, false, 0, Admission::kStart, ""},
        {"another --server", "connect 7 10.0.0.9:7000", false, false, 0, Admission::kStart, ""},
        {"another host", "connect 7 192.0.2.66:7000", false, false, 0, Admission::kIgnore, ""},
        {"another port", "connect 7 192.0.2.1:7001", false, false, 0, Admission::kIgnore, ""},
        {"an open id", "connect 7 alice view", false, true, 1, Admission::kIgnore, ""},
        {"below the limit", "connect 7 alice view", false, false, 3, Admission::kStart, ""},
        {"at the limit", "connect 7 alice view", false, false, 4, Admission::kDecline,
         "declined 7 busy\n"},
        {"ask, an operator", "connect 7 alice view", true, false, 0, Admission::kStart, ""},
        {"ask, nobody", "connect 7 - control", true, false, 0, Admission::kDecline,
         "declined 7 denied\n"},
        {"ask, an older server's order", "connect 7", true, false, 0, Admission::kDecline,
         "declined 7 denied\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        Options options = MakeOptions();
        options.ask = row.ask;
        ControlLink link(options, {}, 1);
        Register(link, Time{});
        link.Received(std::string(row.line) + "\n", Time{});
        const auto events = link.TakeEvents();
        ASSERT_EQ(events.size(), 1u);
        ASSERT_EQ(events[0].kind, Kind::kOrder);
        EXPECT_EQ(link.Admit(events[0].order, row.already_open, row.open), row.admission);
        EXPECT_EQ(link.out(), row.sent);
    }
}

TEST(ControlLink, TimesOutAttemptsAndBacksOffUntilAConnectionHolds) {
    Options options = MakeOptions(false);
    options.retry_min = 1s;
    options.retry_max = 60s;
    ControlLink link(options, {}, 1);
    Time now{};
    // Each attempt that never connects doubles the wait, up to the cap.
    for (const auto most : {1s, 2s, 4s, 8s}) {
        link.OnTime(now);
        EXPECT_EQ(Kinds(link), "C");
        link.OnTime(now + 10s - 1ms);
        EXPECT_EQ(Kinds(link), "");
        now += 10s;
        link.OnTime(now);
        EXPECT_EQ(Kinds(link), "X");
        EXPECT_LE(link.deadline() - now, most);
        EXPECT_GE(link.deadline() - now, most / 2);
        now = link.deadline();
    }
    // The TLS handshake counts against registering; nothing is sent before it is done.
    link.OnTime(now);
    link.Connected("192.0.2.1", now);
    EXPECT_EQ(Kinds(link), "CT");
    EXPECT_EQ(link.out(), "");
    link.Handshaken(TlsStatus::WantRead, "", now);
    EXPECT_EQ(link.out(), "");
    link.Handshaken(TlsStatus::Done, "TLSv1.3", now);
    EXPECT_EQ(link.out(), "register pc1\n");
    link.OnTime(now + 30s);
    EXPECT_EQ(Kinds(link), "X");
    EXPECT_GE(link.deadline() - (now + 30s), 8s);
    // A registration that held 30 s starts the back-off again.
    now = link.deadline();
    Register(link, now);
    EXPECT_EQ(link.deadline(), Time::max());
    link.Failed("the server closed the connection", now + 30s);
    EXPECT_EQ(Kinds(link), "X");
    EXPECT_LE(link.deadline() - (now + 30s), 1s);
}

TEST(ControlLink, DropsAServerThatDoesNotReadAndStopsAtARefusal) {
    ControlLink link(MakeOptions(), {}, 1);
    Register(link, Time{});
    std::string pings;
    for (int i = 0; i < 64 * 1024 / 5 + 1; ++i)
        pings += "ping\n";
    link.Received(pings, Time{});
    EXPECT_EQ(Kinds(link), "X");
    EXPECT_EQ(link.out(), "");
    EXPECT_EQ(link.state(), State::kWaiting);
    // The next attempt goes to the next --server.
    EXPECT_EQ(link.server().host, "10.0.0.9");

    // A refusal for good ends the batch: the order after it is not taken.
    Register(link, link.deadline());
    link.Received("refused unknown\nconnect 8 alice control\n", Time{});
    EXPECT_EQ(Kinds(link), "S");
    EXPECT_EQ(link.deadline(), Time::max());
}

}  // namespace
}  // namespace talagent
