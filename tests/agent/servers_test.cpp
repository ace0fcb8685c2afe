// talagent with several --server options (the nodes of a cluster of directory servers), against
// the stand-in of agent_fixture.h: it tries them in turn, and sends x11vnc to the one an order
// names (which orders pass is control_link_test.cpp's table).
#include "agent_fixture.h"

namespace agent_test {
namespace {

TEST_F(AgentTest, TriesItsServersInTurnAndSendsSessionsToTheOneNamed) {
    const auto [fd, port] = Listener();
    close(fd);  // nobody listens there: the second server is down
    const std::string down = "127.0.0.1:" + std::to_string(port);
    Start({"--server", down});
    auto peer = Registered();
    ASSERT_TRUE(peer);
    peer->Send("connect 82 - control " + down + "\n");
    Sync(*peer);
    ASSERT_TRUE(Eventually([&] { return Started("x11vnc").size() == 1; }));
    const auto argv = Started("x11vnc").front();
    EXPECT_NE(std::find(argv.begin(), argv.end(), "repeater=ID:82+" + down), argv.end());
    // Its first server gone, the agent tries the second, and then the first again.
    peer.reset();
    EXPECT_TRUE(LogHas("cannot connect to " + down));
    EXPECT_TRUE(Registered());
}

}  // namespace
}  // namespace agent_test
