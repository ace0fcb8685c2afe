// Three directory-server nodes over one redis-server of the test's own (a free loopback port, its
// own directory), talked to in wire bytes with a stand-in agent: lists across nodes, a view at
// one node of another node's agent, a node or Redis gone. First, the orders nodes pass each
// other, which end up in lines to agents.
#include "directory_server/cluster.h"
#include "directory_server/cluster_sentinel.h"
#include "fixture.h"

namespace {

using namespace dirsrv_test;
using dirsrv::cluster::Order;

TEST(ClusterOrders, CarryOnlyWellFormedFieldsToAnAgent) {
    const std::string good = "connect c 1234 alice view 192.0.2.1:47010 front desk";
    const auto parsed = dirsrv::cluster::ParseOrder(good);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name, "front desk");
    EXPECT_EQ(dirsrv::cluster::FormatOrder(*parsed), good);
    for (const char* bad : {
             "connect c 1234 alice\nconnect 99 view 192.0.2.1:47010 pc",  // a second line
             "connect c 1234 alice admin 192.0.2.1:47010 pc",             // no such right
             "connect c 12x4 alice view 192.0.2.1:47010 pc",              // not an ID
             "connect c 1234 alice view $(reboot):47010 pc",              // not a host name
             "connect c 1234 alice view 192.0.2.1:47010",                 // no machine
             "connect c/d 1234 - view 192.0.2.1:47010 pc",                // not a node name
             "declined 1234 busy\nx",                                     // a control byte
             "joined",                                                    // no ID
         }) {
        EXPECT_FALSE(dirsrv::cluster::ParseOrder(bad)) << bad;
    }
}

TEST(ClusterSentinels, TakeOnlyAWellFormedUrlAndTheirOwnMastersSwitch) {
    dirsrv::ClusterOptions options;
    ASSERT_EQ(
        dirsrv::cluster::ParseUrl("sentinel://10.0.0.1:26379,10.0.0.2:26380/dir-1/3", options), "");
    EXPECT_EQ(options.sentinels,
              (std::vector<dirsrv::Endpoint>{{0x0A000001, 26379}, {0x0A000002, 26380}}));
    EXPECT_EQ(options.master_name, "dir-1");
    EXPECT_EQ(options.redis_db, 3u);
    EXPECT_TRUE(options.enabled());
    std::string many = "sentinel://10.0.0.1:1";
    for (int i = 0; i < 16; ++i)
        many += ",10.0.0.1:1";
    for (const std::string& bad : std::vector<std::string>{
             "sentinel://10.0.0.1:26379",           // no master
             "sentinel://10.0.0.1:26379/a b",       // not a master name
             "sentinel://10.0.0.1:26379,/dir",      // an empty sentinel
             "sentinel://redis.example:26379/dir",  // a name to look up
             "sentinel://10.0.0.1:26379/dir/x",     // not a database
             "sentinel://10.0.0.1:26379/dir/1/2",   // more after the database
             many + "/dir",                         // too many sentinels
         }) {
        dirsrv::ClusterOptions refused;
        EXPECT_NE(dirsrv::cluster::ParseUrl(bad, refused), "") << bad;
        EXPECT_FALSE(refused.enabled()) << bad;
    }
    using dirsrv::cluster::ParseSwitchMaster;
    EXPECT_EQ(ParseSwitchMaster("dir 10.0.0.1 6379 10.0.0.2 6380", "dir"),
              (dirsrv::Endpoint{0x0A000002, 6380}));
    EXPECT_FALSE(ParseSwitchMaster("other 10.0.0.1 6379 10.0.0.2 6380", "dir"));
    EXPECT_FALSE(ParseSwitchMaster("dir 10.0.0.1 6379 redis-2 6380", "dir"));
    EXPECT_FALSE(ParseSwitchMaster("dir 10.0.0.1 6379 10.0.0.2 6380 x", "dir"));
}

TEST(ClusterSentinels, AreAskedEachOnceARoundBeginningWithTheLastThatAnswered) {
    dirsrv::cluster::SentinelRound round(3);
    const auto asked = [&round] {
        std::vector<std::size_t> order{round.Begin()};
        while (const auto next = round.Next())
            order.push_back(*next);
        return order;
    };
    EXPECT_EQ(asked(), (std::vector<std::size_t>{0, 1, 2}));
    round.Begin();
    round.Next();
    round.Answered();
    EXPECT_EQ(asked(), (std::vector<std::size_t>{1, 2, 0}));
}

class Cluster : public DirectoryServer {
protected:
    void SetUp() override {
        DirectoryServer::SetUp();
        fs::create_directories(dir_ / "redis");
        const auto [fd, port] = Listener();
        close(fd);
        redis_port_ = port;
        StartRedis();
        for (const char* node : {"a", "b", "c"})
            StartNode(node);
    }
    void TearDown() override {
        for (const auto& [name, pid] : nodes_)
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        StopRedis();
        DirectoryServer::TearDown();
    }
    void StartRedis() {
        redis_ = wire_test::Spawn(
            {"redis-server", "--port", std::to_string(redis_port_), "--bind", "127.0.0.1", "--save",
             "", "--appendonly", "no", "--dir", (dir_ / "redis").string()},
            {}, dir_ / "redis.log", "");
        ASSERT_TRUE(FileGets(dir_ / "redis.log", "Ready to accept connections"));
    }
    void StopRedis() {
        if (redis_ > 0)
            kill(redis_, SIGKILL), waitpid(redis_, nullptr, 0);
        redis_ = -1;
    }
    // A node on a free port, advertising it, with a TTL of 2 s.
    void StartNode(const std::string& node) {
        const auto [fd, port] = Listener();
        close(fd);
        const std::string address = "127.0.0.1:" + std::to_string(port);
        nodes_[node] = Spawn("--listen " + address +
                                 " --cluster redis://127.0.0.1:" + std::to_string(redis_port_) +
                                 " --node " + node + " --advertise " + address + " --cluster-ttl 2",
                             (node + ".log").c_str());
        ports_[node] = port;
        ASSERT_TRUE(FileGets(dir_ / (node + ".log"), "cluster: joined"));
    }
    void KillNode(const std::string& node) {
        kill(nodes_[node], SIGKILL), waitpid(nodes_[node], nullptr, 0);
        nodes_.erase(node);
    }
    std::string List(const std::string& node) {
        Client c(ports_[node]);
        c.Send("server");
        return c.Recv();
    }
    bool Lists(const std::string& node, const std::string& reply) {
        return Eventually([&] { return List(node) == reply; });
    }
    std::unique_ptr<Client> RegisterAt(const std::string& node, const std::string& name) {
        port_ = ports_[node];
        return Register(name);
    }
    // A viewer at `node` asks for `name`; another node's agent must be sent to `node` itself,
    // its own agent gets the order of one server. Returns the viewer, paired with the agent's
    // session connection in `session`.
    std::unique_ptr<Client> ViewThrough(const std::string& node, Client& agent,
                                        const std::string& name, std::unique_ptr<Client>& session,
                                        bool own_agent = false) {
        auto viewer = std::make_unique<Client>(ports_[node]);
        viewer->Send("view " + name + "\n");
        const std::string id = OrderedId(
            agent, own_agent ? "- control" : "- control 127.0.0.1:" + std::to_string(ports_[node]));
        port_ = ports_[node];
        session = Join(*viewer, id);
        return viewer;
    }
    // Bytes pass both ways between a viewer and an agent's session connection.
    static void Relays(Client& viewer, Client& session) {
        viewer.Send("ping from the viewer");
        EXPECT_EQ(session.Exactly(20), "ping from the viewer");
        session.Send("pong from the desktop");
        EXPECT_EQ(viewer.Exactly(21), "pong from the desktop");
    }

    int redis_port_ = 0;
    pid_t redis_ = -1;
    std::map<std::string, pid_t> nodes_;
    std::map<std::string, int> ports_;
};

TEST_F(Cluster, ListsEveryNodesAgentsAndPairsAViewWhereTheViewerWaits) {
    auto agent = RegisterAt("a", "pc-1");
    for (const char* node : {"a", "b", "c"})
        EXPECT_TRUE(Lists(node, "00ok|pc-1")) << node;
    std::unique_ptr<Client> session;
    auto viewer = ViewThrough("c", *agent, "pc-1", session);
    Relays(*viewer, *session);

    // A's agents leave the lists within the TTL; until then a view of them is refused at once,
    // since no node takes the order.
    KillNode("a");
    Client refused(ports_["c"]);
    refused.Send("view pc-1\n");
    EXPECT_EQ(refused.UntilClosed(), "error not-connected\n");
    EXPECT_TRUE(Lists("b", "00ok"));
    EXPECT_TRUE(Lists("c", "00ok"));

    // The agent comes back at B: C lists it and sends it to C.
    auto again = RegisterAt("b", "pc-1");
    EXPECT_TRUE(Lists("c", "00ok|pc-1"));
    viewer = ViewThrough("c", *again, "pc-1", session);
    Relays(*viewer, *session);
}

TEST_F(Cluster, ServesOnWithoutRedisAndConvergesWhenItReturns) {
    auto agent = RegisterAt("a", "pc-1");
    ASSERT_TRUE(Lists("c", "00ok|pc-1"));
    std::unique_ptr<Client> session;
    auto viewer = ViewThrough("c", *agent, "pc-1", session);

    StopRedis();
    auto late = RegisterAt("b", "pc-2");
    Relays(*viewer, *session);
    // The machine moves to B meanwhile: B's own agent is used, not A's that B cannot reach.
    auto moved = RegisterAt("b", "pc-1");
    std::unique_ptr<Client> local_session;
    auto local_viewer = ViewThrough("b", *moved, "pc-1", local_session, true);
    Relays(*local_viewer, *local_session);
    EXPECT_TRUE(Lists("a", "00ok|pc-1"));  // its own agent, however long Redis is away
    EXPECT_TRUE(Lists("c", "00ok"));       // A's and B's names gone after the TTL
    EXPECT_EQ(Count(ReadFile(dir_ / "a.log"), "warning: cluster: Redis"), 1u);

    StartRedis();
    for (const char* node : {"a", "b", "c"})
        EXPECT_TRUE(Lists(node, "00ok|pc-1|pc-2")) << node;
    Relays(*viewer, *session);
    auto second = ViewThrough("a", *late, "pc-2", session);
    Relays(*second, *session);
}

}  // namespace
