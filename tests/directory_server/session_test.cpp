// Sessions through the directory-server binary, spoken in wire bytes: agent keys (challenge and
// proof), "view NAME" and its replies, the agent's session connection with its ID block, the
// relay, hosts-file targets, and what each kind of bad input closes.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "fixture.h"

namespace {

using namespace std::literals;
using namespace dirsrv_test;
namespace fs = std::filesystem;

const std::string kKeyHex(64, 'a');  // 32 bytes of 0xAA
const std::string kOtherKeyHex(64, 'b');

std::string Proof(const std::string& key_hex, const std::string& nonce) {
    std::string key;
    for (std::size_t i = 0; i < key_hex.size(); i += 2)
        key += static_cast<char>(std::stoi(key_hex.substr(i, 2), nullptr, 16));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size(), digest, &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

std::string IdBlock(const std::string& id) {
    std::string block = "ID:" + id;
    block.resize(250, '\0');
    return block;
}

std::size_t OpenFds(pid_t pid) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++n;
    return n;
}

std::size_t ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stoul(line.substr(6));
    return 0;
}

class Sessions : public DirectoryServer {
protected:
    // An agent's control connection, registered (with `key_hex` when the server checks keys).
    std::unique_ptr<Client> Register(const std::string& name, const std::string& key_hex = {}) {
        auto agent = std::make_unique<Client>(port_);
        agent->Send("register " + name + "\n");
        std::string line = agent->Line();
        if (line.starts_with("challenge ")) {
            agent->Send("proof " + Proof(key_hex, line.substr(10, line.size() - 11)) + "\n");
            line = agent->Line();
        }
        EXPECT_EQ(line, "registered\n") << name;
        return agent;
    }
    // A viewer that has sent "view NAME" and the ID its agent was ordered to connect with.
    std::string View(Client& viewer, Client& agent, const std::string& name) {
        viewer.Send("view " + name + "\n");
        const std::string order = agent.Line();
        EXPECT_TRUE(order.starts_with("connect ")) << order;
        const std::string id = order.substr(8, order.size() - 9);
        EXPECT_EQ(id.size(), 19u);
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
        return id;
    }
    // A paired session: the agent's session connection has sent its ID block and version.
    std::unique_ptr<Client> Join(Client& viewer, const std::string& id) {
        auto session = std::make_unique<Client>(port_);
        session->Send(IdBlock(id) + "RFB 003.008\n");
        EXPECT_EQ(viewer.Exactly(15), "ok\nRFB 003.008\n");
        return session;
    }
};

TEST_F(Sessions, RegistersOnlyAgentsThatProveTheirNamesKey) {
    WriteFile(dir_ / "keys",
              "# machines\npc-1 " + kKeyHex + "\n  two words\t" + kOtherKeyHex + "\nshort abcd\n");
    Start("", "--agent-keys keys");
    EXPECT_TRUE(LogHas("agent keys file keys read: 2 names, 1 lines refused (line 4: \"short\""));
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
    Client unknown(port_);
    unknown.Send("register pc-2\n");
    EXPECT_EQ(unknown.UntilClosed(), "refused unknown name\n");
    EXPECT_EQ(Query(), "00ok|pc-1|two words");
    // Keys are re-read: a withdrawn key drops its agent, a new one lets its name in.
    WriteFile(dir_ / "keys", "pc-2 " + kKeyHex + "\n");
    EXPECT_EQ(good->UntilClosed(), "");
    EXPECT_TRUE(Eventually([&] { return Query() == "00ok"; }));
    auto next = Register("pc-2", kKeyHex);
    EXPECT_EQ(Query(), "00ok|pc-2");
}

TEST_F(Sessions, SaysWhenRegistrationIsOpen) {
    Start("");
    EXPECT_TRUE(LogHas("no --agent-keys: any agent may register any name"));
    EXPECT_EQ(Wait(Spawn("--listen 127.0.0.1:0 --agent-keys missing", "other.log")), 1);
}

TEST_F(Sessions, RelaysAPairedSessionAndClosesBothSidesWhenOneLeaves) {
    Start("");
    auto agent = Register("pc");
    const std::size_t idle_fds = OpenFds(pid_);
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
        // The ID was for one session only.
        Client again(port_);
        again.Send(IdBlock(id) + "RFB 003.008\n");
        EXPECT_EQ(again.UntilClosed(), "");
    }
    EXPECT_TRUE(LogHas("bytes to the viewer, 12 to the agent; agent closed"));
    EXPECT_TRUE(LogHas("bytes to the viewer, 12 to the agent; viewer closed"));
    EXPECT_TRUE(LogHas("is unknown, used or expired"));
    EXPECT_TRUE(agent->Send("server") && agent->Recv() == "00ok|pc");  // still registered
}

TEST_F(Sessions, AnswersAViewerThatCannotHaveItsSession) {
    Start("", "--session-timeout 0.3 --id-timeout 0.3 --max-pending-per-agent 2");
    auto agent = Register("pc");
    {
        // Unknown name, invalid name.
        for (const char* line : {"view nobody\n", "view a|b\r\n"}) {
            Client viewer(port_);
            viewer.Send(line);
            EXPECT_EQ(viewer.UntilClosed(), "error not-connected\n") << line;
        }
    }
    // The agent never connects: the viewer hears so once the wait is over.
    Client waiting(port_);
    View(waiting, *agent, "pc");
    Client second(port_);
    View(second, *agent, "pc");
    Client third(port_);
    third.Send("view pc\n");  // the agent has as many waiting as it may
    EXPECT_EQ(third.UntilClosed(), "error busy\n");
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
    for (const std::string& first : {IdBlock(id), IdBlock("1234567890123456789"), "ID:12"s}) {
        Client session(port_);
        session.Send(first);
        EXPECT_EQ(session.UntilClosed(), "") << first.substr(0, 12);
    }
    EXPECT_TRUE(LogHas("no complete ID block within 0.3 s"));
    EXPECT_TRUE(agent->Send("server") && agent->Recv() == "00ok|pc");
}

TEST_F(Sessions, BadInputClosesOnlyThatConnection) {
    Start("other\n");
    auto agent = Register("pc");
    Client viewer(port_);
    auto session = Join(viewer, View(viewer, *agent, "pc"));
    Client launcher(port_);
    // Each kind of connection, sent what it must not send.
    for (const std::string& bad : {
             "serverview pc\n"s,                      // a launcher turning viewer
             "register x\nview pc\n"s,                // an agent turning viewer
             "viewpc\n"s, "View pc\n"s,               // not a view line
             "proof " + std::string(64, '0') + "\n",  // proof without a challenge
             "ID:"s + std::string(247, '\0'),         // no digits
             "ID:12a"s,                               // not a digit
             "ID:" + std::string(21, '7'),            // too many digits
             "ID:12" + std::string(10, '\0') + "3",   // a digit in the padding
         }) {
        Client c(port_);
        c.Send(bad);
        const std::string got = c.UntilClosed();
        EXPECT_NE(got, kNothing) << bad.substr(0, 16);
        EXPECT_EQ(got.find("ok\n"), std::string::npos) << bad.substr(0, 16);
        EXPECT_TRUE(launcher.Send("server") && launcher.Recv() == "00ok|other|pc");
    }
    // An agent's control connection that sends garbage is closed; its session goes on.
    agent->Send("hello\n");
    EXPECT_EQ(agent->UntilClosed(), "");
    EXPECT_TRUE(viewer.Send("still\n") && session->Exactly(6) == "still\n");
    EXPECT_TRUE(session->Send("here\n") && viewer.Exactly(5) == "here\n");
    EXPECT_TRUE(launcher.Send("server") && launcher.Recv() == "00ok|other");
}

// A pattern no two offsets of which repeat soon, so a lost, doubled or reordered block shows.
std::string Pattern(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

TEST_F(Sessions, RelaysLargeTransfersBothWaysWithinBoundedMemory) {
    Start("");
    auto agent = Register("pc");
    Client viewer(port_, nullptr, 65536);
    auto session = Join(viewer, View(viewer, *agent, "pc"));
    const std::size_t before = ResidentKiB(pid_);
    constexpr std::size_t kSize = 48 << 20;
    const std::string down = Pattern(kSize, 1), up = Pattern(kSize, 2);
    std::size_t peak = before;
    // Both send at once; the viewer reads nothing for a while, so its direction backs up.
    std::thread agent_side([&] {
        std::thread writer([&] { send(session->fd, down.data(), down.size(), MSG_NOSIGNAL); });
        EXPECT_TRUE(session->Exactly(kSize) == up);
        writer.join();
    });
    std::thread viewer_writer([&] { send(viewer.fd, up.data(), up.size(), MSG_NOSIGNAL); });
    for (int i = 0; i < 10; ++i, std::this_thread::sleep_for(50ms))
        peak = std::max(peak, ResidentKiB(pid_));
    std::string got;
    while (got.size() < kSize) {
        const std::string more = viewer.Exactly(std::min<std::size_t>(1 << 20, kSize - got.size()));
        if (more.empty())
            break;
        got += more;
        peak = std::max(peak, ResidentKiB(pid_));
    }
    viewer_writer.join();
    agent_side.join();
    EXPECT_TRUE(got == down);
    // The bytes pass through pipes in the kernel: the server itself grows by little.
    EXPECT_LT(peak, before + 4096) << "resident KiB before " << before << ", at most " << peak;
    session->Close();
    EXPECT_EQ(viewer.UntilClosed(), "");
    // The agent's version string held with the ID block counts too.
    EXPECT_TRUE(LogHas(std::to_string(kSize + 12) + " bytes to the viewer, " +
                       std::to_string(kSize) + " to the agent; agent closed"));
}

TEST_F(Sessions, ConnectsToAHostsFileTargetItself) {
    // A VNC server the directory server can reach, and a port nobody listens on.
    const auto [vnc, vnc_port] = Listener();
    const auto [closed, closed_port] = Listener();
    close(closed);
    Start("desk = 127.0.0.1:" + std::to_string(vnc_port) + "\ngone=127.0.0.1:" +
          std::to_string(closed_port) + "\nbad = 127.0.0.1:99999\nplain=name\n");
    EXPECT_EQ(Query(), "00ok|desk|gone|plain=name");
    EXPECT_TRUE(LogHas("1 lines refused (line 3: \"127.0.0.1:99999\" refused: not an IPv4"));
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
    Client refused(port_);
    refused.Send("view gone\n");
    EXPECT_EQ(refused.UntilClosed(), "error not-connected\n");
    close(vnc);
}

}  // namespace
