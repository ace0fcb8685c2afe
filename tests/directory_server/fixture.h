// What the tests of the directory-server binary share: the server run as a child process with
// its log in a file, and the loopback clients of support/loopback.h.
#pragma once

#include "common/key_proof.h"
#include "support/loopback.h"

namespace dirsrv_test {

using namespace wire_test;

// Written beside the target and renamed over it, so the server never reads half a file.
inline void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(fs::path(path) += ".new", std::ios::binary) << bytes;
    fs::rename(fs::path(path) += ".new", path);
}

// The agent's answer to the challenge `nonce` under the key `key_hex` (held to RFC 4231's values
// by talagent's test).
inline std::string Proof(const std::string& key_hex, const std::string& nonce) {
    return keyproof::Proof(keyproof::FromHex(key_hex).value(), nonce);
}

// What an agent's session connection sends first: "ID:" and the digits, padded to 250 bytes.
inline std::string IdBlock(const std::string& id) {
    std::string block = "ID:" + id;
    block.resize(250, '\0');
    return block;
}

class DirectoryServer : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir_); }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "server log:\n" << Log();
        if (pid_ > 0)
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        fs::remove_all(dir_);
    }
    // Runs the server in the test's directory with `args` (split at blanks) and its log in the
    // file `log` there.
    pid_t Spawn(const std::string& args, const char* log = "log") {
        std::vector<std::string> argv = Words(args);
        argv.insert(argv.begin(), DIRECTORY_SERVER_PATH);
        return wire_test::Spawn(argv, {}, "", dir_ / log, dir_);
    }
    // Starts the server on a free port with `hosts` as its hosts file, polled often.
    void Start(const std::string& hosts, const std::string& args = "") {
        WriteFile(dir_ / "hosts", hosts);
        fs::remove(dir_ / "log");
        pid_ = Spawn("--listen 127.0.0.1:0 --hosts hosts --hosts-poll 0.05 " + args);
        const std::string marker = "listening on 127.0.0.1:";
        ASSERT_TRUE(LogHas(marker));
        port_ = std::stoi(Log().substr(Log().find(marker) + marker.size()));
    }
    std::string Log() { return ReadFile(dir_ / "log"); }
    bool LogHas(const std::string& text) { return FileGets(dir_ / "log", text); }
    std::string Query() {
        Client c(port_);
        c.Send("server");
        return c.Recv();
    }
    // All a new connection (from `from`) that sends `input` gets before the server closes it.
    std::string Answer(const std::string& input, const char* from = nullptr) {
        Client c(port_, from);
        c.Send(input);
        return c.UntilClosed();
    }
    // An agent's control connection, registered as `name` (proving `key_hex` when challenged).
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
    // The ID of the agent's next line, an order for a session by `who_and_right`: 19 digits.
    static std::string OrderedId(Client& agent, const std::string& who_and_right = "- control") {
        const std::string order = agent.Line(), tail = " " + who_and_right + "\n";
        EXPECT_TRUE(order.starts_with("connect ") && order.ends_with(tail)) << order;
        const std::string id =
            order.substr(8, order.size() - std::min(order.size(), 8 + tail.size()));
        EXPECT_TRUE(id.size() == 19 && id.find_first_not_of("0123456789") == std::string::npos);
        return id;
    }
    // The agent's session connection joining `id`: the viewer hears "ok" and the agent's version.
    std::unique_ptr<Client> Join(Client& viewer, const std::string& id) {
        auto session = std::make_unique<Client>(port_);
        session->Send(IdBlock(id) + "RFB 003.008\n");
        EXPECT_EQ(viewer.Exactly(15), "ok\nRFB 003.008\n");
        return session;
    }

    const fs::path dir_ = fs::temp_directory_path() / ("dirsrv-test-" + std::to_string(getpid()));
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace dirsrv_test
