// The stand-in world the agent's tests run talagent in: a scripted directory server on
// loopback that speaks the wire bytes (plain, or TLS with talpki's certificates), a stand-in X
// server, and fake x11vnc and dialog programs that record their argv.
#pragma once

#include <sys/stat.h>
#include <sys/un.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <openssl/ssl.h>

#include "common/test_pki.h"
#include "support/loopback.h"

namespace agent_test {

using namespace wire_test;
using test_pki::Pki;
using Clock = std::chrono::steady_clock;

inline void WriteFile(const fs::path& path, const std::string& bytes,
                      fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    std::ofstream(path, std::ios::binary) << bytes;
    fs::permissions(path, perms);
}

// The stand-in's end of a control connection: plain, or in TLS as a server with --cert speaks.
struct Peer : Client {
    using Client::Client;
    ~Peer() { SSL_free(ssl); }
    // Accepts TLS with the key and certificate of `pem`; false when the handshake fails.
    bool Tls(const fs::path& pem) {
        const timeval wait{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(context, pem.c_str());
        SSL_CTX_use_PrivateKey_file(context, pem.c_str(), SSL_FILETYPE_PEM);
        ssl = SSL_new(context);
        SSL_CTX_free(context);
        SSL_set_fd(ssl, fd);
        return SSL_accept(ssl) == 1;
    }
    bool Send(const std::string& b) {
        return ssl ? SSL_write(ssl, b.data(), static_cast<int>(b.size())) > 0 : Client::Send(b);
    }
    std::string Line() {
        if (!ssl)
            return Client::Line();
        std::string line;
        for (char c; !line.ends_with('\n') && SSL_read(ssl, &c, 1) == 1;)
            line += c;
        return line;
    }
    SSL* ssl = nullptr;
};

// A stand-in X server for display :N: a listening socket where X clients look for one.
inline int FakeXServer(int number) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    path.copy(address.sun_path + 1, path.size());  // the abstract namespace: no file to clean
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    listen(fd, 4);
    return fd;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_);
        int port = 0;
        std::tie(listener_, port) = Listener();
        server_ = "127.0.0.1:" + std::to_string(port);
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "agent log:\n" << Log();
        if (pid_ > 0)
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        close(listener_);
        close(x_server_);
        fs::remove_all(dir_);
    }

    // Runs talagent with `args` and the environment plus `env` ("NAME=VALUE"); its stderr goes
    // to the log.
    pid_t Spawn(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), TALAGENT_PATH);
        env.push_back("FAKE_DIR=" + dir_.string());
        return wire_test::Spawn(args, env, dir_ / "out", dir_ / "log");
    }
    // talagent against the stand-in with fake programs; `extra` adds to or overrides the options.
    void Start(const std::vector<std::string>& extra = {}, std::vector<std::string> env = {}) {
        std::vector<std::string> args = Words("--server " + server_ + " --name pc-1 --x11vnc " +
                                              FAKE_X11VNC " --ask-program " FAKE_ASK " --display " +
                                              display_ + " --retry-min 0.05 --retry-max 0.2");
        args.insert(args.end(), extra.begin(), extra.end());
        if (std::find(args.begin(), args.end(), "--cert") == args.end())
            args.push_back("--insecure");
        pid_ = Spawn(args, std::move(env));
    }
    // The next control connection, if the agent makes one in time.
    std::unique_ptr<Peer> AcceptRaw() {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return nullptr;
        return std::make_unique<Peer>(
            Peer::Adopt{accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)});
    }
    // The next control connection, in TLS with server_pem_ when set, read past its first line.
    std::unique_ptr<Peer> Accept() {
        auto peer = AcceptRaw();
        if (peer && !server_pem_.empty()) {
            EXPECT_TRUE(peer->Tls(server_pem_));
        }
        EXPECT_TRUE(peer && peer->Line() == "register pc-1\n");
        return peer;
    }
    // Accepts and registers the agent with open registration.
    std::unique_ptr<Peer> Registered() {
        auto peer = Accept();
        if (peer)
            peer->Send("registered\n");
        EXPECT_TRUE(peer && LogHas("registered as pc-1"));
        return peer;
    }
    int Wait() { return WaitExit(std::exchange(pid_, -1)); }
    void Stop() {
        kill(pid_, SIGTERM);
        EXPECT_EQ(Wait(), 0);
    }
    std::string Log() { return ReadFile(dir_ / "log"); }
    bool LogHas(const std::string& text) { return FileGets(dir_ / "log", text); }
    // The argv files the fake program `prefix` ("x11vnc" or "ask") left, named by its pid.
    std::vector<fs::path> Files(const std::string& prefix) {
        std::vector<fs::path> all;
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().filename().string().starts_with(prefix + "."))
                all.push_back(entry.path());
        return all;
    }
    // The argvs the fake program `prefix` was started with, sorted.
    std::vector<std::vector<std::string>> Started(const std::string& prefix) {
        std::vector<std::vector<std::string>> all;
        for (const fs::path& file : Files(prefix)) {
            std::istringstream text(ReadFile(file));
            std::vector<std::string>& argv = all.emplace_back();
            for (std::string arg; std::getline(text, arg, '\0');)
                argv.push_back(arg);
        }
        std::sort(all.begin(), all.end());
        return all;
    }
    // A ping answered proves the agent has read and handled everything sent before it.
    void Sync(Peer& peer) {
        peer.Send("ping\n");
        EXPECT_EQ(peer.Line(), "pong\n");
    }

    const fs::path dir_ = fs::temp_directory_path() / ("talagent-test-" + std::to_string(getpid()));
    // A display of this test's own, so that tests run side by side do not share one.
    const int display_number_ = 20000 + getpid() % 10000;
    const std::string display_ = std::string(":").append(std::to_string(display_number_));
    int x_server_ = FakeXServer(display_number_);
    int listener_ = -1;
    std::string server_;
    pid_t pid_ = -1;
    fs::path server_pem_;  // the stand-in's key and certificate: set, it speaks TLS
};

}  // namespace agent_test
