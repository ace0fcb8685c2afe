// The directory-server binary run as a child process and talked to over loopback sockets: the
// launchers' list (and who may ask for it) and the agents' registration.
#include <sys/stat.h>

#include "fixture.h"

namespace {

using namespace std::literals;
using namespace dirsrv_test;
namespace fs = std::filesystem;

TEST_F(DirectoryServer, RepliesWithTheHostsFileAndKeepsTheLastGoodOne) {
    Start("# nothing yet\n");
    EXPECT_EQ(Query(), "00ok");
    // Names are bytes (EUC-KR, UTF-8) sorted by value; names that would break a reply are skipped.
    WriteFile(dir_ / "hosts",
              "\xEF\xBB\xBF"
              "beta\n  alpha  # desk\n\nbeta\n\xED\x95\x9C\n"
              "\xC7\xD1\xB1\xB9\r\nbad|name\nctl\x01name\n"
              "\xB0\xA1\xE2\x81\xA6\xA9\nrlo\xE2\x80\xAE\n");
    // The CP949 name holds the bytes of U+2066 but is not UTF-8; the last one is.
    const std::string good =
        "00ok|alpha|beta|\xB0\xA1\xE2\x81\xA6\xA9|\xC7\xD1\xB1\xB9|\xED\x95\x9C";
    EXPECT_TRUE(Eventually([&] { return Query() == good; })) << Query();
    fs::remove(dir_ / "hosts");
    EXPECT_TRUE(LogHas("No such file or directory; keeping the last good list"));
    EXPECT_EQ(Query(), good);
    // Back again: a reply holds only the whole names that fit in 200 bytes.
    const std::string a(60, 'a'), b(60, 'b'), c(60, 'c'), x(195, 'x');
    WriteFile(dir_ / "hosts", a + "\n" + b + "\n" + c + "\n" + std::string(60, 'd') + "\n");
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|" + a + "|" + b + "|" + c; }));
    WriteFile(dir_ / "hosts", x + "\n" + std::string(196, 'y') + "\n");
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|" + x; }));
}

TEST_F(DirectoryServer, KeepsTheHostsFileNamesWhenNotAllNamesFit) {
    const std::string a(60, 'a'), b(60, 'b');
    Start(b + "\n" + a + "\n");
    // Sorted first and a reply's worth alone; too long for what the file leaves; fits.
    auto rogue = Register(std::string("!").append(194, 'x')), big = Register(std::string(80, 'c'));
    auto small = Register("pc");
    EXPECT_EQ(Query(), "00ok|" + a + "|" + b + "|pc");
    EXPECT_TRUE(LogHas("listing 5 names; the reply holds 3 of them"));
    rogue.reset(), big.reset();
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|" + a + "|" + b + "|pc"; }));
}

TEST_F(DirectoryServer, ListsAgentsWhileConnectedAndAnswering) {
    Start("static\n", "--ping-interval 0.2 --agent-timeout 1 --list-from 10.0.0.0/8,127.0.0.1");
    EXPECT_EQ(Answer("server", "127.0.0.2"), "");  // outside the networks: no list
    auto live = Register("pc-live");
    Client silent(port_);
    silent.Send("register  pc-silent \r\n");  // registered after `live`, so it times out no sooner
    EXPECT_TRUE(silent.Recv().starts_with("registered\n"));
    EXPECT_EQ(Query(), "00ok|pc-live|pc-silent|static");
    EXPECT_TRUE(Eventually([&] {
        return live->Recv().starts_with("ping\n") && live->Send("pong\n") &&
               Query() == "00ok|pc-live|static";
    }));
    EXPECT_NE(silent.UntilClosed(), kNothing);
    // The server stalls past the agent timeout, sending no ping: that is not the agent's silence.
    kill(pid_, SIGSTOP);
    std::this_thread::sleep_for(1500ms);
    kill(pid_, SIGCONT);
    EXPECT_TRUE(Eventually([&] { return live->Recv().starts_with("ping\n"); }));
    live->Send("pong\n");
    EXPECT_EQ(Query(), "00ok|pc-live|static");
    EXPECT_EQ(Count(Log(), "did not answer"), 1u);
    live->Close();
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|static"; }));
}

TEST_F(DirectoryServer, KeepsServingWhenNobodyReadsItsLog) {
    // The log is a pipe, read here only when the test says so.
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    const int log = open((dir_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    fcntl(log, F_SETPIPE_SZ, 4096);  // the smallest pipe, to fill it soon
    pid_ = Spawn("--listen 127.0.0.1:0", "fifo");
    std::string text;
    const auto read_log = [&] {
        pollfd p{log, POLLIN, 0};
        char buffer[4096];
        if (poll(&p, 1, 100) > 0)
            text.append(buffer, std::max<ssize_t>(0, read(log, buffer, sizeof buffer)));
    };
    const std::string marker = "listening on 127.0.0.1:";
    ASSERT_TRUE(Eventually(
        [&] { return read_log(), text.find('\n', text.find(marker)) != std::string::npos; }));
    port_ = std::stoi(text.substr(text.find(marker) + marker.size()));
    // Nobody reads the log now: agents with long names log far more than the buffers hold.
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<Client>> agents;
        for (int i = 0; i < 100; ++i)
            agents.push_back(Register(std::string(120, 'a') + std::to_string(i)));
    }
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok"; }));
    // Once the log is read again, it says how much was lost.
    EXPECT_TRUE(
        Eventually([&] { return read_log(), text.find("dropped: stderr") != std::string::npos; }));
    kill(pid_, SIGINT);
    EXPECT_EQ(WaitExit(std::exchange(pid_, -1)), 0);
    close(log);
}

TEST_F(DirectoryServer, ThrottlesEachKindOfLogLineAndSaysWhatItLeftOut) {
    Start("");
    for (int i = 0; i < 300; ++i)
        Register("churn-" + std::to_string(i));
    EXPECT_EQ(Answer("x"), "");  // another kind of line: not held back by the flood of agents
    kill(pid_, SIGTERM);
    EXPECT_EQ(WaitExit(std::exchange(pid_, -1)), 0);
    const std::string log = Log();
    std::size_t logged = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        logged += line.find("info: agent \"churn-") != std::string::npos &&
                  line.find(" registered from ") != std::string::npos;
    const auto at = log.find(" more 'agent registered' lines were not logged, the first: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(logged, 60u);
    EXPECT_EQ(logged + std::stoul(log.substr(log.rfind(' ', at - 1) + 1)), 300u);
    EXPECT_EQ(Count(log, "unexpected bytes \"x\""), 1u);
}

TEST_F(DirectoryServer, KeepsOneAddressFromHoldingEverySlot) {
    Start("pc\n", "--max-connections 4 --max-per-address 3");
    const char* const kOffice = "127.0.0.2";
    Client busy(port_, kOffice), idle(port_, kOffice), asked(port_, kOffice);
    busy.Send("serv");  // mid-request: not idle
    for (Client* c : {&idle, &asked})
        EXPECT_TRUE(c->Send("server") && c->Recv() == "00ok|pc");
    EXPECT_EQ(Answer("", kOffice), "");  // a fourth from the same address
    Client other(port_, "127.0.0.3");
    EXPECT_TRUE(other.Send("server") && other.Recv() == "00ok|pc");
    // Full: a newcomer takes the place of the busiest address's oldest idle connection.
    Client newcomer(port_, "127.0.0.4");
    EXPECT_TRUE(newcomer.Send("server") && newcomer.Recv() == "00ok|pc");
    EXPECT_EQ(idle.UntilClosed(), "");
    EXPECT_TRUE(busy.Send("er") && busy.Recv() == "00ok|pc");
    // Now no address holds two more than another: the server is full for everyone.
    EXPECT_EQ(Answer("", "127.0.0.3"), "");
    EXPECT_TRUE(asked.Send("server") && asked.Recv() == "00ok|pc");
    asked.Close();  // a closed connection gives its place back
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|pc"; }));
}

TEST_F(DirectoryServer, AnswersPipelinedRequestsAndClosesIdleConnectionsButKeepsLaunchers) {
    Start("pc\n", "--max-output 4096 --idle-timeout 0.5");
    Client launcher(port_), quiet(port_), partial(port_);
    EXPECT_TRUE(launcher.Send("server") && launcher.Recv() == "00ok|pc");
    partial.Send("serv");
    // Far more requests at once than --max-output holds: all answered as the client reads.
    std::string burst;
    for (int i = 0; i < 1000000; ++i)
        burst += "server";
    Client eager(port_, nullptr, 4096);
    std::thread writer([&] {
        EXPECT_EQ(send(eager.fd, burst.data(), burst.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(burst.size()));
        shutdown(eager.fd, SHUT_WR);
    });
    std::this_thread::sleep_for(200ms);  // the client reads only once it has sent a lot
    const std::string replies = eager.UntilClosed();
    writer.join();
    EXPECT_EQ(replies.size(), 1000000 * "00ok|pc"s.size());
    EXPECT_EQ(replies.find_first_not_of("00ok|pc"), std::string::npos);
    // One that never reads is dropped once its replies stand unread for the idle timeout.
    Client deaf(port_);
    EXPECT_TRUE(Eventually([&] {
        send(deaf.fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return Log().find("has not read its replies") != std::string::npos;
    }));
    EXPECT_NE(deaf.UntilClosed(), kNothing);
    EXPECT_EQ(quiet.UntilClosed(), "");  // never asked
    EXPECT_EQ(partial.UntilClosed(), "");
    // The launcher never reconnects: quiet for longer than the idle timeout, it is kept.
    EXPECT_TRUE(launcher.Send("server") && launcher.Recv() == "00ok|pc");
}

}  // namespace
