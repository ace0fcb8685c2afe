// Loopback sockets, child processes, their log files and bounded waits (a broken program fails a
// test, never hangs the run) for the tests that speak wire bytes to directory-server or talagent.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace wire_test {

using namespace std::literals;
namespace fs = std::filesystem;

template <typename Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(10ms))
        if (condition())
            return true;
    return false;
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// `text` split at blanks.
inline std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// Starts `argv` (looked up on PATH) in `dir` ("": here), `env` ("NAME=VALUE") winning over the
// inherited one, stdin /dev/null, stdout to `out`, stderr appended to `err` ("": inherited).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& out, const std::string& err, const std::string& dir = "") {
    std::vector<char*> args, vars;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env)
        vars.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e; ++e)
        vars.push_back(*e);
    args.push_back(nullptr);
    vars.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (!dir.empty())
        posix_spawn_file_actions_addchdir_np(&files, dir.c_str());
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    if (!out.empty())
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    if (!err.empty())
        posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawnp(&pid, args[0], &files, nullptr, args.data(), vars.data()), 0) << argv[0];
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

// Whether the file at `path` comes to hold `text` in time.
inline bool FileGets(const fs::path& path, const std::string& text) {
    return Eventually([&] { return ReadFile(path).find(text) != std::string::npos; });
}

// The exit status of the child `pid`; one still running after the bound is killed and gives -1.
inline int WaitExit(pid_t pid) {
    int status = -1;
    if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
        kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// How often `part` occurs in `text`.
inline std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
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
    struct Adopt {
        int fd;  // a connection accepted by the test, seen from the server's side
    };
    explicit Client(Adopt accepted) : fd(accepted.fd) {}
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

}  // namespace wire_test
