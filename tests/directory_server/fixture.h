// What the tests of the directory-server binary share: the server run as a child process with
// its log in a file, and loopback clients. Every wait is bounded, so a broken server fails a
// test instead of hanging the run.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace dirsrv_test {

using namespace std::literals;
namespace fs = std::filesystem;

template <typename Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(10ms))
        if (condition())
            return true;
    return false;
}

// Written beside the target and renamed over it, so the server never reads half a file.
inline void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(fs::path(path) += ".new", std::ios::binary) << bytes;
    fs::rename(fs::path(path) += ".new", path);
}

inline constexpr const char* kNothing = "(nothing)";

// A listening loopback socket on a free port, and that port.
inline std::pair<int, int> Listener() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(fd, 4);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return {fd, ntohs(address.sin_port)};
}

struct Client {
    // `from`: the loopback address to connect from, as a host of its own (127.0.0.0/8 is local).
    // `receive_buffer`: a small one makes replies back up in the server soon.
    explicit Client(int port, const char* from = nullptr, int receive_buffer = 0) {
        if (receive_buffer)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        if (from) {
            sockaddr_in local{AF_INET, 0, {inet_addr(from)}, {}};
            EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        }
        sockaddr_in to{
            AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    }
    ~Client() { Close(); }
    void Close() { close(std::exchange(fd, -1)); }
    bool Send(const std::string& b) { return send(fd, b.data(), b.size(), MSG_NOSIGNAL) > 0; }
    // One receive: what has arrived, "" at end of stream or reset, kNothing when nothing comes.
    std::string Recv() {
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        if (poll(&p, 1, 10000) <= 0)
            return kNothing;
        return std::string(buffer, std::max<ssize_t>(0, recv(fd, buffer, sizeof buffer, 0)));
    }
    // Exactly `count` bytes, or what came before the connection closed or went quiet.
    std::string Exactly(std::size_t count) {
        std::string all;
        for (pollfd p{fd, POLLIN, 0}; all.size() < count && poll(&p, 1, 10000) > 0;) {
            char buffer[65536];
            const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - all.size()), 0);
            if (n <= 0)
                break;
            all.append(buffer, static_cast<std::size_t>(n));
        }
        return all;
    }
    // The next line with its LF, or what came of it before the connection closed or went quiet.
    std::string Line() {
        std::string line;
        for (std::string byte; !line.ends_with('\n') && !(byte = Exactly(1)).empty();)
            line += byte;
        return line;
    }
    // Everything the server sends until it closes the connection; kNothing if it stays open.
    std::string UntilClosed() {
        std::string all;
        for (std::string more; (more = Recv()) != kNothing; all += more)
            if (more.empty())
                return all;
        return kNothing;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

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
    // Runs the server with `args` (split at blanks) and its log in the file `log`.
    pid_t Spawn(const std::string& args, const char* log = "log") {
        const std::string command =
            "cd " + dir_.string() + " && exec '" DIRECTORY_SERVER_PATH "' " + args + " 2>" + log;
        const pid_t pid = fork();
        if (pid == 0)
            _exit(execl("/bin/sh", "sh", "-c", command.c_str(), nullptr));
        return pid;
    }
    // The exit status; a process still running after the bound is killed and gives -1.
    int Wait(pid_t pid) {
        int status = -1;
        if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    std::string Log() {
        std::ifstream in(dir_ / "log", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    bool LogHas(const std::string& text) {
        return Eventually([&] { return Log().find(text) != std::string::npos; });
    }
    std::string Query() {
        Client c(port_);
        c.Send("server");
        return c.Recv();
    }

    const fs::path dir_ = fs::temp_directory_path() / ("dirsrv-test-" + std::to_string(getpid()));
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace dirsrv_test
