#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace dirsrv_test {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

}  // namespace

ServerProcess::ServerProcess() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dirsrv-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        Fail("mkdtemp");
    dir_ = pattern;
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

pid_t ServerProcess::Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string program = DIRECTORY_SERVER_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = Path("server.log");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        Fail("posix_spawn " + program);
    }
    return pid;
}

bool ServerProcess::Start(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--listen", "127.0.0.1:0"};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = Spawn(all);
    const std::string marker = "listening on 127.0.0.1:";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string log = Log();
        if (const auto at = log.find(marker); at != std::string::npos) {
            port_ = std::atoi(log.c_str() + at + marker.size());
            return port_ > 0;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

int ServerProcess::Stop(int signal) {
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    const auto status = WaitExit(pid_, 10s);
    if (!status)
        return -1;
    pid_ = -1;
    return *status;
}

int ServerProcess::RunToExit(const std::vector<std::string>& args) {
    const pid_t pid = Spawn(args);
    const auto status = WaitExit(pid, 10s);
    if (status)
        return *status;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

std::string ServerProcess::Log() const {
    std::ifstream in(Path("server.log"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    // Written beside the target and renamed over it, so the server never sees half a file.
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::filesystem::rename(temporary, path);
}

Socket::~Socket() {
    if (fd >= 0)
        ::close(fd);
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        Fail("connect");
    }
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            Fail("send");
        done += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> ReceiveSome(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0)
        return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return std::string();
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string ReceiveExactly(int fd, std::size_t count) {
    std::string data;
    while (data.size() < count) {
        const auto more = ReceiveSome(fd);
        if (!more || more->empty())
            break;
        data += *more;
    }
    return data;
}

bool WaitClosed(int fd, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const auto data = ReceiveSome(fd, left);
        if (!data)
            return false;
        if (data->empty())
            return true;
    }
}

std::string Query(int port) {
    Socket s(Connect(port));
    SendAll(s.fd, "server");
    return ReceiveSome(s.fd).value_or("<no reply>");
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace dirsrv_test
