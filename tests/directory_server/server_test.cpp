// The directory-server binary over real loopback sockets.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "server_process.h"

namespace dirsrv_test {
namespace {

bool ExitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class DirectoryServer : public ::testing::Test {
protected:
    // Starts the server with a hosts file holding `hosts` (when given) and fast timers.
    void Start(std::optional<std::string> hosts, std::vector<std::string> args = {}) {
        if (hosts) {
            WriteFile(server_.Path("hosts"), *hosts);
            args.insert(args.end(), {"--hosts", server_.Path("hosts"), "--hosts-poll", "0.05"});
        }
        ASSERT_TRUE(server_.Start(args)) << server_.Log();
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "server log:\n" << server_.Log();
    }
    std::string Query() { return dirsrv_test::Query(server_.port()); }
    bool LogHas(const std::string& text) {
        return Eventually([&] { return server_.Log().find(text) != std::string::npos; });
    }

    ServerProcess server_;
};

TEST_F(DirectoryServer, RepliesWithSortedNamesAsBytes) {
    Start("beta\n  alpha  \n# comment\n\nbeta\n\xED\x95\x9C\n\xC7\xD1\xB1\xB9\r\n");
    EXPECT_EQ(Query(), "00ok|alpha|beta|\xC7\xD1\xB1\xB9|\xED\x95\x9C");
}

TEST_F(DirectoryServer, EmptyListIsAnOkReplyWithoutEntries) {
    Start(std::nullopt);
    EXPECT_EQ(Query(), "00ok");
}

TEST_F(DirectoryServer, AnswersEveryRequestOnOneConnectionHoweverSplit) {
    Start("pc-01\npc-02\n");
    const std::string reply = "00ok|pc-01|pc-02";
    Socket s(Connect(server_.port()));
    SendAll(s.fd, "ser");
    std::this_thread::sleep_for(50ms);
    SendAll(s.fd, "verserver");
    EXPECT_EQ(ReceiveExactly(s.fd, 2 * reply.size()), reply + reply);
    for (const char c : std::string("server")) {
        SendAll(s.fd, std::string(1, c));
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(ReceiveExactly(s.fd, reply.size()), reply);
    SendAll(s.fd, "server\r\nserver\n");
    EXPECT_EQ(ReceiveExactly(s.fd, 2 * reply.size()), reply + reply);
}

TEST_F(DirectoryServer, AgentsAreListedWhileConnectedAndAnswering) {
    Start("static\n", {"--ping-interval", "0.2", "--agent-timeout", "1"});
    Socket live(Connect(server_.port()));
    SendAll(live.fd, "register pc-live\n");
    EXPECT_EQ(ReceiveExactly(live.fd, 11), "registered\n");
    EXPECT_EQ(Query(), "00ok|pc-live|static");

    Socket twin(Connect(server_.port()));  // same name twice, and a name the file already has
    SendAll(twin.fd, "register pc-live\n");
    Socket clash(Connect(server_.port()));
    SendAll(clash.fd, "register static\n");
    EXPECT_EQ(ReceiveExactly(clash.fd, 11), "registered\n");
    EXPECT_EQ(ReceiveExactly(twin.fd, 11), "registered\n");
    EXPECT_EQ(Query(), "00ok|pc-live|static");
    ::close(twin.fd);
    twin.fd = -1;
    ::close(clash.fd);
    clash.fd = -1;

    Socket silent(Connect(server_.port()));
    SendAll(silent.fd, "register pc-silent\n");
    EXPECT_EQ(ReceiveExactly(silent.fd, 11), "registered\n");
    EXPECT_EQ(Query(), "00ok|pc-live|pc-silent|static");

    // The live agent answers pings well past the timeout; the silent one never does.
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        const auto ping = ReceiveSome(live.fd, 2s);
        ASSERT_TRUE(ping && !ping->empty());
        EXPECT_EQ(ping->substr(0, 5), "ping\n");
        SendAll(live.fd, "pong\n");
    }
    EXPECT_EQ(Query(), "00ok|pc-live|static");
    EXPECT_TRUE(WaitClosed(silent.fd));
    EXPECT_TRUE(LogHas("agent \"pc-silent\""));

    ::close(live.fd);
    live.fd = -1;
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|static"; }));
}

TEST_F(DirectoryServer, RereadsTheHostsFileAndKeepsTheLastGoodList) {
    Start("a\n");
    const std::string path = server_.Path("hosts");
    EXPECT_EQ(Query(), "00ok|a");
    WriteFile(path, "c\nb\n");
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|b|c"; }));

    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_TRUE(LogHas("not a regular file; keeping the last good list of 2 names"));
    EXPECT_EQ(Query(), "00ok|b|c");
    std::filesystem::remove(path);
    EXPECT_TRUE(LogHas("No such file or directory; keeping the last good list"));
    EXPECT_EQ(Query(), "00ok|b|c");

    WriteFile(path, "d\n");
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|d"; }));
}

TEST_F(DirectoryServer, NeverSendsMoreThan200Bytes) {
    std::string hosts;
    std::string expected = "00ok";
    for (int i = 0; i < 30; ++i) {
        const std::string name = "host-" + std::to_string(10000 + i);
        hosts += name + "\n";
        if (i < 17)
            expected += "|" + name;
    }
    Start(hosts);
    EXPECT_EQ(Query(), expected);
    EXPECT_TRUE(LogHas("the reply holds only the first 17 of 30 names"));

    const std::string longest(195, 'x');
    WriteFile(server_.Path("hosts"), longest + "\n" + std::string(196, 'y') + "\n");
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|" + longest; }));
    EXPECT_TRUE(LogHas("line 2: \"yyy"));
}

TEST_F(DirectoryServer, RefusesBadNamesFromAgentsAndTheFile) {
    Start("good\nbad|name\nctl\x01name\n");
    EXPECT_EQ(Query(), "00ok|good");
    EXPECT_TRUE(LogHas("line 2: \"bad|name\" refused"));
    EXPECT_TRUE(LogHas("line 3: \"ctl\\x01name\" refused"));
    const std::string refused[] = {"register a|b\n", "register \n", "register x\x1b[0m\n",
                                   std::string("register a\0b\n", 13),
                                   "register " + std::string(196, 'n') + "\n"};
    for (const auto& line : refused) {
        Socket agent(Connect(server_.port()));
        SendAll(agent.fd, line);
        const auto answer = ReceiveSome(agent.fd);
        EXPECT_TRUE(answer && answer->starts_with("refused ")) << answer.value_or("<none>");
        EXPECT_TRUE(WaitClosed(agent.fd));
    }
    EXPECT_EQ(Query(), "00ok|good");
}

TEST_F(DirectoryServer, BadInputClosesOnlyThatConnection) {
    Start("pc\n");
    Socket good(Connect(server_.port()));
    const std::string bad[] = {
        "GET / HTTP/1.1\r\n\r\n",   "SERVER", std::string("\0", 1), "serverx", "pong\n",
        "register a\nregister b\n", "ping\n"};
    for (const auto& input : bad) {
        Socket s(Connect(server_.port()));
        SendAll(s.fd, input);
        EXPECT_TRUE(WaitClosed(s.fd)) << input;
        SendAll(good.fd, "server");
        EXPECT_EQ(ReceiveSome(good.fd), "00ok|pc");
    }
}

TEST_F(DirectoryServer, SurvivesRandomBytes) {
    Start("pc\n");
    std::mt19937 random(1);
    for (int i = 0; i < 200; ++i) {
        Socket s(Connect(server_.port()));
        std::string noise(1 + random() % 300, '\0');
        for (auto& c : noise)
            c = static_cast<char>(random());
        if (i % 2)
            noise = "register " + noise;
        ::send(s.fd, noise.data(), noise.size(), MSG_NOSIGNAL);
    }
    EXPECT_EQ(Query(), "00ok|pc");
}

TEST_F(DirectoryServer, HoldsTheConnectionLimit) {
    Start("pc\n", {"--max-connections", "3"});
    std::vector<std::unique_ptr<Socket>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<Socket>(Connect(server_.port())));
        SendAll(held.back()->fd, "server");
        EXPECT_EQ(ReceiveSome(held.back()->fd), "00ok|pc");
    }
    Socket extra(Connect(server_.port()));
    EXPECT_TRUE(WaitClosed(extra.fd));
    EXPECT_TRUE(LogHas("connection limit of 3 reached"));
    held.pop_back();
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok|pc"; }));
}

TEST_F(DirectoryServer, DropsOverlongInputAndClientsThatDoNotRead) {
    Start("pc\n", {"--max-output", "4096"});
    Socket endless(Connect(server_.port()));
    SendAll(endless.fd, "register " + std::string(600, 'a'));
    EXPECT_TRUE(WaitClosed(endless.fd));

    // Small receive buffer, lots of requests, never a read: the replies pile up in the server.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    Socket deaf(fd);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(server_.port()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string burst;
    for (int i = 0; i < 1000; ++i)
        burst += "server";
    bool dropped = false;
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!dropped && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        dropped = ::send(fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                  errno != EAGAIN;
        if (!dropped)
            dropped = server_.Log().find("does not read") != std::string::npos;
    }
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(LogHas("does not read its replies"));
    EXPECT_EQ(Query(), "00ok|pc");
}

TEST_F(DirectoryServer, ClosesIdleConnectionsButKeepsLaunchers) {
    Start("pc\n", {"--idle-timeout", "0.2"});
    Socket launcher(Connect(server_.port()));
    SendAll(launcher.fd, "server");
    EXPECT_EQ(ReceiveSome(launcher.fd), "00ok|pc");
    Socket quiet(Connect(server_.port()));
    Socket partial(Connect(server_.port()));
    SendAll(partial.fd, "serv");
    EXPECT_TRUE(WaitClosed(quiet.fd));
    EXPECT_TRUE(WaitClosed(partial.fd));
    // The launcher never reconnects: its connection must outlive any quiet spell.
    std::this_thread::sleep_for(600ms);
    SendAll(launcher.fd, "server");
    EXPECT_EQ(ReceiveSome(launcher.fd), "00ok|pc");
}

TEST_F(DirectoryServer, StopsCleanlyOnSigtermAndSigint) {
    for (const int signal : {SIGTERM, SIGINT}) {
        ServerProcess server;
        ASSERT_TRUE(server.Start({}));
        Socket client(Connect(server.port()));
        Socket agent(Connect(server.port()));
        SendAll(agent.fd, "register pc\n");
        EXPECT_EQ(ReceiveExactly(agent.fd, 11), "registered\n");
        EXPECT_TRUE(ExitedWith(server.Stop(signal), 0)) << server.Log();
        EXPECT_TRUE(WaitClosed(client.fd));
    }
}

TEST_F(DirectoryServer, ReportsBadArgumentsAndABusyPort) {
    Start(std::nullopt);
    ServerProcess other;
    const std::string busy = "127.0.0.1:" + std::to_string(server_.port());
    EXPECT_TRUE(ExitedWith(other.RunToExit({"--listen", busy}), 1));
    EXPECT_NE(other.Log().find("Address already in use"), std::string::npos) << other.Log();

    EXPECT_TRUE(ExitedWith(other.RunToExit({"--listen", "nowhere"}), 2));
    EXPECT_NE(other.Log().find("not an IPv4 ADDR:PORT"), std::string::npos) << other.Log();
    EXPECT_TRUE(ExitedWith(other.RunToExit({"--help"}), 0));
}

}  // namespace
}  // namespace dirsrv_test
