// Sessions through the directory-server binary in wire bytes: agent keys, "view NAME", ID blocks,
// the relay and its pipes, hosts-file targets, bad input; last, the relay run in this process.
#include <linux/capability.h>
#include <sys/syscall.h>

#include "directory_server/relay.h"
#include "fixture.h"
#include "support/process_usage.h"

namespace {

using namespace std::literals;
using namespace dirsrv_test;
using process_usage::PipeBytes;
using process_usage::ResidentKiB;
namespace fs = std::filesystem;

const std::string kKeyHex(64, 'a');       // 32 bytes of 0xAA
const std::string kOtherKeyHex(64, 'B');  // key files take either case

std::ptrdiff_t OpenFds(pid_t pid) {
    return std::distance(fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {});
}

class Sessions : public DirectoryServer {
protected:
    // A viewer that has sent "view NAME" and the ID its agent was ordered to connect with.
    std::string View(Client& viewer, Client& agent, const std::string& name) {
        viewer.Send("view " + name + "\n");
        return OrderedId(agent);
    }
};

TEST_F(Sessions, RegistersOnlyAgentsThatProveTheirNamesKey) {
    WriteFile(dir_ / "keys",
              "# machines\npc-1 " + kKeyHex + "\n  two words\t" + kOtherKeyHex + "\nshort abcd\n");
    Start("", "--agent-keys keys");
    EXPECT_TRUE(LogHas("agent keys file keys read: 2 names, 1 line refused (line 4: \"short\""));
    EXPECT_TRUE(LogHas("it is open to other users, who can read every agent's key"));
    auto good = Register("pc-1", kKeyHex);
    auto spaced = Register("two words", kOtherKeyHex);
    // A proof seen on one connection: the next connection gets another challenge.
    Client first(port_);
    first.Send("register pc-1\n");
    const std::string challenge = first.Line();
    ASSERT_EQ(challenge.size(), "challenge \n"s.size() + 64);
    const std::string seen_proof = Proof(kKeyHex, challenge.substr(10, 64));

    struct Case {
        const char* what;
        std::string sent;  // after the challenge
        std::string answer;
    };
    for (const Case& c : std::vector<Case>{
             {"wrong key", "proof " + Proof(kOtherKeyHex, "x") + "\n", "refused wrong key\n"},
             {"a proof not in hex", "proof " + std::string(64, 'z') + "\n", "refused wrong key\n"},
             {"an empty proof", "proof \n", "refused wrong key\n"},
             {"replayed proof", "proof " + seen_proof + "\n", "refused wrong key\n"},
             {"no proof", "pong\n", ""},
             {"register again", "register pc-1\n", ""},
         }) {
        Client agent(port_);
        agent.Send("register pc-1\n");
        EXPECT_TRUE(agent.Line().starts_with("challenge ")) << c.what;
        agent.Send(c.sent);
        EXPECT_EQ(agent.UntilClosed(), c.answer) << c.what;
    }
    EXPECT_EQ(Answer("register pc-2\n"), "refused unknown name\n");
    EXPECT_EQ(Query(), "00ok|pc-1|two words");
    // Keys are re-read: a withdrawn key drops its agent, a new one lets its name in.
    WriteFile(dir_ / "keys", "pc-2 " + kKeyHex + "\n");
    EXPECT_EQ(good->UntilClosed(), "");
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok"; }));
    auto next = Register("pc-2", kKeyHex);
    EXPECT_EQ(Query(), "00ok|pc-2");
}

TEST_F(Sessions, RelaysAPairedSessionAndClosesBothSidesWhenOneLeaves) {
    Start("");
    auto agent = Register("pc");
    const auto idle_fds = OpenFds(pid_);
    for (const bool agent_leaves : {true, false}) {
        Client viewer(port_);
        const std::string id = View(viewer, *agent, "pc");
        auto session = Join(viewer, id);
        EXPECT_TRUE(viewer.Send("RFB 003.008\n"));
        EXPECT_EQ(session->Exactly(12), "RFB 003.008\n");
        EXPECT_TRUE(session->Send("\x01\x01"s));
        EXPECT_EQ(viewer.Exactly(2), "\x01\x01");
        // Mid-session one side goes: the other is closed, and nothing stays open in the server.
        (agent_leaves ? *session : viewer).Close();
        EXPECT_EQ((agent_leaves ? viewer : *session).UntilClosed(), "");
        EXPECT_TRUE(Eventually([&] { return OpenFds(pid_) == idle_fds; }));
        EXPECT_EQ(Answer(IdBlock(id) + "RFB 003.008\n"), "");  // the ID was for one session
    }
    // Each session's count: the agent's version, sent with its ID block, goes to the viewer.
    EXPECT_EQ(Count(Log(), "14 bytes to the viewer, 12 to the agent;"), 2u);
    EXPECT_TRUE(agent->Send("server") && agent->Recv() == "00ok|pc");  // still registered
}

TEST_F(Sessions, AnswersAViewerThatCannotHaveItsSession) {
    Start("", "--session-timeout 0.3 --id-timeout 0.3 --max-pending-per-agent 2");
    auto agent = Register("pc");
    for (const char* line : {"view nobody\n", "view a|b\r\n"})  // unknown, invalid
        EXPECT_EQ(Answer(line), "error not-connected\n") << line;
    // The agent never connects: the viewer hears so once the wait is over.
    Client waiting(port_);
    View(waiting, *agent, "pc");
    Client second(port_);
    View(second, *agent, "pc");
    EXPECT_EQ(Answer("view pc\n"), "error busy\n");  // the agent has as many waiting as it may
    EXPECT_EQ(waiting.UntilClosed(), "error timeout\n");
    EXPECT_EQ(second.UntilClosed(), "error timeout\n");
    // A viewer that leaves before pairing withdraws its ID.
    std::string id;
    {
        Client leaving(port_);
        id = View(leaving, *agent, "pc");
    }
    EXPECT_TRUE(LogHas("withdrawn: the viewer left before the session started"));
    // IDs that are not waiting, and an ID block that does not complete in time.
    for (const std::string& first : {IdBlock(id), IdBlock("1234567890123456789"), "ID:12"s})
        EXPECT_EQ(Answer(first), "") << first.substr(0, 12);
    EXPECT_TRUE(agent->Send("server") && agent->Recv() == "00ok|pc");
}

TEST_F(Sessions, AnswersAnOrderTheAgentDeclinesAtOnceAndForgetsItsId) {
    Start("", "--max-pending-per-agent 1");
    auto agent = Register("pc");
    auto other = Register("other");
    for (const auto& [reason, reply] : std::vector<std::pair<std::string, std::string>>{
             {"busy", "error busy\n"},
             {"denied", "error denied\n"},
             {"failed", "error failed\n"},
             {"x11vnc\tgone", "error failed\n"}}) {  // a reason of a later agent: a failure
        Client viewer(port_);
        const std::string id = View(viewer, *agent, "pc");
        // Another agent cannot end it, and IDs not waiting are ignored.
        other->Send("declined " + id + " busy\ndeclined 1234567890123456789 busy\n");
        EXPECT_TRUE(other->Send("server") && other->Recv() == "00ok|other|pc");
        agent->Send("declined " + id + " " + reason + "\r\n");
        EXPECT_EQ(viewer.UntilClosed(), reply) << reason;
        EXPECT_EQ(Answer(IdBlock(id) + "RFB 003.008\n"), "") << "a declined ID is gone";
    }
    EXPECT_TRUE(LogHas("its agent declined (\"x11vnc\\x09gone\")"));
    Client viewer(port_);
    View(viewer, *agent, "pc");  // its one waiting session was given back each time
}

TEST_F(Sessions, BadInputClosesOnlyThatConnection) {
    Start("other\n");
    auto agent = Register("pc");
    Client viewer(port_);
    auto session = Join(viewer, View(viewer, *agent, "pc"));
    Client launcher(port_);
    const std::string list = "00ok|other|pc";
    // `answer` is all the connection gets; one ending in "refused " is followed by the reason.
    const auto closes = [&](const std::string& input, const std::string& answer) {
        const std::string got = Answer(input);
        EXPECT_TRUE(got != kNothing &&
                    (answer.ends_with("refused ") ? got.starts_with(answer) : got == answer))
            << input << " -> " << got;
        EXPECT_TRUE(launcher.Send("server") && launcher.Recv() == list);
    };
    // Each kind of connection, sent what it must not send. The replies owed for what came
    // before the bad bytes are sent first, however the input is cut.
    for (const auto& [input, answer] : std::vector<std::pair<std::string, std::string>>{
             {"SERVER", ""},
             {"\x16\x03\x01", ""},  // TLS, and the server has no --cert
             {"serverx", list},
             {"server\r\nserver\npong\n", list + list},
             {"register a\nregister b\n", "registered\n"},
             {"server\nregister a|b\n", list + "refused "},
             {"register " + std::string(600, 'a'), ""},  // no line end within the input cap
             {"serverview pc\n", list},                  // a launcher turning viewer
             {"register x\nview pc\n", "registered\n"},  // an agent turning viewer
             {"viewpc\n", ""},
             {"View pc\n", ""},
             {"proof " + std::string(64, '0') + "\n", ""},   // proof without a challenge
             {"declined 1 busy\n", ""},                      // only an agent declines
             {"register a\ndeclined 12\n", "registered\n"},  // an ID and a reason
             {"register b\ndeclined x busy\n", "registered\n"},
             {"ID:"s + std::string(247, '\0'), ""},        // no digits
             {"ID:12a", ""},                               // not a digit
             {"ID:" + std::string(21, '7'), ""},           // too many digits
             {"ID:12" + std::string(10, '\0') + "3", ""},  // a digit in the padding
         }) {
        closes(input, answer);
    }
    // Names the shared rule refuses (its table: tests/common), a NUL and a look-alike among them.
    for (const std::string& name :
         {"a|b"s, ""s, "x\x1b[0m"s, "a\0b"s, std::string(196, 'n'), "\u202Eexe.pc"s})
        closes("register " + name + "\n", "refused ");
    // An agent's control connection that sends garbage is closed; its session goes on.
    agent->Send("hello\n");
    EXPECT_EQ(agent->UntilClosed(), "");
    EXPECT_TRUE(viewer.Send("still\n") && session->Exactly(6) == "still\n");
    EXPECT_TRUE(session->Send("here\n") && viewer.Exactly(5) == "here\n");
    EXPECT_TRUE(launcher.Send("server") && launcher.Recv() == "00ok|other");
}

TEST_F(Sessions, EndsARelayedSessionThatCarriesNoRfbHandshake) {
    Start("", "--handshake-timeout 0.5");
    auto agent = Register("pc");
    // A viewer sends at least its version and one byte more (3.3's ClientInit); a desktop its
    // version (sent with the ID block here) and at least one byte more.
    struct Case {
        std::string from_viewer, from_desktop;
        bool kept;
        std::unique_ptr<Client> viewer, session;
    };
    std::vector<Case> cases;
    cases.push_back({"", "\x01\x01", false, {}, {}});
    cases.push_back({"RFB 003.008\n", "\x01\x01", false, {}, {}});
    cases.push_back({"RFB 003.003\n\x01", "", false, {}, {}});
    cases.push_back({"RFB 003.003\n\x01", "\x01", true, {}, {}});
    for (Case& c : cases) {
        c.viewer = std::make_unique<Client>(port_);
        c.session = Join(*c.viewer, View(*c.viewer, *agent, "pc"));
        c.session->Send(c.from_desktop);
        c.viewer->Send(c.from_viewer);
    }
    std::this_thread::sleep_for(1s);
    for (Case& c : cases) {
        if (!c.kept) {
            EXPECT_EQ(c.viewer->UntilClosed(), c.from_desktop) << c.from_viewer;
            EXPECT_EQ(c.session->UntilClosed(), c.from_viewer);
            continue;
        }
        EXPECT_EQ(c.viewer->Exactly(1), c.from_desktop);
        EXPECT_TRUE(c.viewer->Send("x"));
        EXPECT_EQ(c.session->Exactly(c.from_viewer.size() + 1), c.from_viewer + "x");
    }
}

// Reads `expected.size()` bytes and compares them as they come, without keeping them all.
bool Receives(Client& c, std::string_view expected) {
    std::string chunk;
    for (std::size_t at = 0; at < expected.size(); at += chunk.size()) {
        chunk = c.Exactly(std::min<std::size_t>(1 << 20, expected.size() - at));
        if (chunk.empty() || expected.substr(at, chunk.size()) != chunk)
            return false;
    }
    return true;
}

// A pattern no two offsets of which repeat soon, so a lost, doubled or reordered block shows.
std::string Pattern(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed;
    for (auto& b : bytes)
        b = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    return bytes;
}

TEST_F(Sessions, ManyBulkSessionsShareRelayMemoryAndGiveItBackWhenQuiet) {
    // 8 sessions start with about 256 KiB of pipes; together they may grow to 2 MiB.
    constexpr std::size_t kLimit = 2 << 20, kDown = 16 << 20, kUp = 2 << 20;
    Start("", "--relay-memory " + std::to_string(kLimit));
    const std::size_t idle = PipeBytes(pid_);  // the standard streams it may have been given
    auto agent = Register("pc");
    // Each session and direction sends from its own offset, so bytes crossing sessions show.
    const std::string base = Pattern(kDown + (64 << 10), 10);
    struct Pair {
        std::unique_ptr<Client> viewer, session;
        std::string_view down, up;
    };
    std::vector<Pair> pairs(8);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        auto& p = pairs[i];
        p.viewer = std::make_unique<Client>(port_);
        p.session = Join(*p.viewer, View(*p.viewer, *agent, "pc"));
        p.down = std::string_view(base).substr(4099 * i, kDown);
        p.up = std::string_view(base).substr(4099 * i + 7, kUp);
    }
    const std::size_t start = PipeBytes(pid_) - idle;
    EXPECT_LE(start, kLimit);
    std::atomic<int> running{0};
    std::vector<std::thread> threads;
    // Every session both ways at once: a bulk download and a smaller upload.
    for (auto& p : pairs) {
        for (const bool down : {true, false}) {
            Client& from = down ? *p.session : *p.viewer;
            Client& to = down ? *p.viewer : *p.session;
            const std::string_view bytes = down ? p.down : p.up;
            ++running;
            threads.emplace_back(
                [&from, bytes] { send(from.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); });
            threads.emplace_back([&to, bytes, &running] {
                EXPECT_TRUE(Receives(to, bytes));
                --running;
            });
        }
    }
    // The bytes pass through pipes in the kernel: the server itself grows by little.
    [[maybe_unused]] const std::size_t resident = ResidentKiB(pid_);
    std::size_t most = 0;
    [[maybe_unused]] std::size_t most_resident = 0;
    while (running > 0) {
        most = std::max(most, PipeBytes(pid_) - idle);
        most_resident = std::max(most_resident, ResidentKiB(pid_));
        std::this_thread::sleep_for(2ms);
    }
    for (auto& t : threads)
        t.join();
    EXPECT_GT(most, start) << "a bulk transfer grows its buffers";
    EXPECT_LE(most, kLimit);
#ifndef LAUNCHER_ASAN  // whose quarantine and shadow memory, not the relay, set that figure
    EXPECT_LT(most_resident, resident + 4096) << "resident KiB before " << resident;
#endif
    // Quiet now: the grown pipes go back to their start size; closed, they are gone.
    EXPECT_TRUE(Eventually([&] { return PipeBytes(pid_) - idle <= start; }));
    for (auto& p : pairs) {
        p.viewer->Close();
        EXPECT_EQ(p.session->UntilClosed(), "");
    }
    EXPECT_TRUE(Eventually([&] { return PipeBytes(pid_) == idle; }));
}

TEST_F(Sessions, ConnectsToAHostsFileTargetItselfAndHoldsItToOneWaitingSession) {
    // A VNC server the directory server can reach, a port nobody listens on, and a target that
    // takes no connection: its one-place backlog is full, so connecting waits.
    const auto [vnc, vnc_port] = Listener();
    const auto [closed, closed_port] = Listener();
    close(closed);
    const auto [slow, slow_port] = Listener();
    listen(slow, 0);
    Client filler(slow_port);
    Start("desk = 127.0.0.1:" + std::to_string(vnc_port) + "\ngone=127.0.0.1:" +
              std::to_string(closed_port) + "\nslow = 127.0.0.1:" + std::to_string(slow_port) +
              "\nbad = 127.0.0.1:99999\nplain=name\n",
          "--max-pending-per-agent 1 --session-timeout 1");
    EXPECT_EQ(Query(), "00ok|desk|gone|plain=name|slow");
    Client viewer(port_);
    viewer.Send("view desk\n");
    const int server_side = accept(vnc, nullptr, nullptr);
    ASSERT_GE(server_side, 0);
    send(server_side, "RFB 003.008\n", 12, MSG_NOSIGNAL);
    EXPECT_EQ(viewer.Exactly(15), "ok\nRFB 003.008\n");
    viewer.Send("RFB 003.008\n");
    char buffer[12];
    EXPECT_EQ(recv(server_side, buffer, sizeof buffer, MSG_WAITALL), 12);
    close(server_side);
    EXPECT_EQ(viewer.UntilClosed(), "");
    EXPECT_EQ(Answer("view gone\n"), "error not-connected\n");
    Client waiting(port_);
    waiting.Send("view slow\n");
    EXPECT_TRUE(Eventually([&] { return Answer("view slow\n") == "error busy\n"; }));
    EXPECT_EQ(waiting.UntilClosed(), "error timeout\n");
    close(vnc);
    close(slow);
}

// Without CAP_SYS_RESOURCE a pipe cannot grow past /proc/sys/fs/pipe-max-size (EPERM, as over
// the user's quota). Capabilities belong to a thread, so only this test's thread gives them up.
TEST(Relay, GoesOnAtItsSizeWhenTheKernelRefusesToGrowItsPipe) {
    std::size_t kernel_max = 0;
    std::ifstream("/proc/sys/fs/pipe-max-size") >> kernel_max;
    ASSERT_GT(kernel_max, 65536u);
    std::thread([kernel_max] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, caps), 0);
        for (const int cap : {CAP_SYS_RESOURCE, CAP_SYS_ADMIN})
            caps[cap / 32].effective &= ~(1u << (cap % 32));
        ASSERT_EQ(syscall(SYS_capset, &header, caps), 0);

        // Sockets as the server has them: its ends of a viewer's and an agent's connection.
        const auto [listener, port] = Listener();
        Client viewer(port), agent(port);
        const int viewer_end = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        const int agent_end = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        close(listener);
        dirsrv::RelayMemory memory{.limit = 64 << 20};
        auto relay = std::make_unique<dirsrv::Relay>();
        ASSERT_EQ(relay->Open(viewer_end, agent_end, 65536, 2 * kernel_max, memory), "");
        fcntl(agent.fd, F_SETFL, O_NONBLOCK);

        // The agent sends a bulk transfer; one thread moves it all, as the event loop does.
        const std::string bulk = Pattern(64 << 20, 4);
        std::string got;
        std::size_t sent = 0;
        char buffer[65536];
        while (got.size() < bulk.size()) {
            pollfd fds[] = {
                {viewer_end, static_cast<short>(relay->Interest(dirsrv::Relay::kViewer)), 0},
                {agent_end, static_cast<short>(relay->Interest(dirsrv::Relay::kAgent)), 0},
                {viewer.fd, POLLIN, 0},  // read below, as much as is there
                {agent.fd, static_cast<short>(sent < bulk.size() ? POLLOUT : 0), 0}};
            ASSERT_GT(poll(fds, 4, 10000), 0);
            for (const auto side : {dirsrv::Relay::kViewer, dirsrv::Relay::kAgent})
                ASSERT_TRUE(!fds[side].revents ||
                            relay->Pump(side, static_cast<std::uint32_t>(fds[side].revents)))
                    << relay->reason();
            for (ssize_t n; (n = recv(viewer.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
                got.append(buffer, static_cast<std::size_t>(n));
            if (fds[3].revents & POLLOUT) {
                const ssize_t n =
                    send(agent.fd, bulk.data() + sent, bulk.size() - sent, MSG_NOSIGNAL);
                sent += static_cast<std::size_t>(std::max<ssize_t>(0, n));
            }
        }
        EXPECT_TRUE(got == bulk);
        // It grew, was refused, went on at the size it had, and counts what the kernel gave;
        // closed, it gives it all back (shrinking when quiet is the bulk sessions' test).
        EXPECT_GT(relay->Capacity(dirsrv::Relay::kViewer), 65536u);
        EXPECT_GE(memory.refusals, 1u);
        EXPECT_EQ(memory.total,
                  relay->Capacity(dirsrv::Relay::kViewer) + relay->Capacity(dirsrv::Relay::kAgent));
        relay.reset();
        EXPECT_EQ(memory.total, 0u);
        close(viewer_end);
        close(agent_end);
    }).join();
}

}  // namespace
