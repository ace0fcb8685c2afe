// Loopback benchmark of directory-server's session relay, against a direct connection and
// against socat as a plain TCP relay, in one run: bulk throughput one way, the round-trip time
// of small messages, and the server's resident memory with many open sessions.
//
//   relay-bench DIRECTORY_SERVER SOCAT [MIB] [SESSIONS] [SERVER_OPTION]...
//
// The far end of every path is in this process: a sink that counts bytes and acknowledges, or an
// echo. For the relay, this process is also the agent: it registers, takes the server's
// "connect ID" orders and opens the session connections with their ID blocks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/process_usage.h"

namespace {

using process_usage::PipeBytes;
using process_usage::ResidentKiB;

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMessage = 64;
constexpr int kRoundTrips = 20000;

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "relay-bench: %s\n", why.c_str());
    std::exit(1);
}

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        Die("connect to port " + std::to_string(port) + ": " + std::strerror(errno));
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

int Listen(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 128) != 0)
        Die("listen");
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    port = ntohs(at.sin_port);
    return fd;
}

bool ReadAll(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = recv(fd, p, size, 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (line.empty() || line.back() != '\n') {
        if (recv(fd, &c, 1, 0) != 1)
            Die("connection closed while reading a line");
        line += c;
    }
    return line;
}

// The far end: 'S' + 8-byte count: read that many bytes, answer one byte; 'E': echo until EOF.
void FarEnd(int fd) {
    char mode = 0;
    if (!ReadAll(fd, &mode, 1)) {
        close(fd);
        return;
    }
    static thread_local std::vector<char> buffer(1 << 20);
    if (mode == 'S') {
        std::uint64_t left = 0;
        ReadAll(fd, &left, sizeof left);
        while (left > 0) {
            const ssize_t n =
                recv(fd, buffer.data(), std::min<std::uint64_t>(left, buffer.size()), 0);
            if (n <= 0)
                break;
            left -= static_cast<std::uint64_t>(n);
        }
        WriteAll(fd, "!", 1);
    } else {
        for (ssize_t n; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0;)
            if (!WriteAll(fd, buffer.data(), static_cast<std::size_t>(n)))
                break;
    }
    close(fd);
}

double Throughput(int fd, std::uint64_t bytes) {
    std::vector<char> chunk(256 << 10, 'x');
    const auto start = Clock::now();
    WriteAll(fd, "S", 1);
    WriteAll(fd, &bytes, sizeof bytes);
    for (std::uint64_t sent = 0; sent < bytes; sent += chunk.size())
        WriteAll(fd, chunk.data(), std::min<std::uint64_t>(chunk.size(), bytes - sent));
    char ack;
    if (!ReadAll(fd, &ack, 1))
        Die("no acknowledgement");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return static_cast<double>(bytes) / seconds / (1 << 20);
}

// Round-trip times in microseconds, sorted.
std::vector<double> RoundTrips(int fd) {
    WriteAll(fd, "E", 1);
    char message[kMessage] = {};
    std::vector<double> times;
    for (int i = 0; i < kRoundTrips + 1000; ++i) {
        const auto start = Clock::now();
        WriteAll(fd, message, sizeof message);
        ReadAll(fd, message, sizeof message);
        if (i >= 1000)  // warm-up left out
            times.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(fd);
    std::sort(times.begin(), times.end());
    return times;
}

double Percentile(const std::vector<double>& sorted, double p) {
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// CPU seconds (user and system) a process has used so far.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t Spawn(std::vector<std::string> args, int stderr_fd) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (stderr_fd >= 0)
            dup2(stderr_fd, STDERR_FILENO);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        Die("usage: relay-bench DIRECTORY_SERVER SOCAT [MIB] [SESSIONS] [SERVER_OPTION]...");
    const std::uint64_t bytes = (argc > 3 ? std::stoull(argv[3]) : 1024) << 20;
    const int sessions = argc > 4 ? std::stoi(argv[4]) : 1000;
    signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    int sink_port = 0;
    const int sink = Listen(sink_port);
    std::thread([sink] {
        for (int fd; (fd = accept4(sink, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            std::thread(FarEnd, fd).detach();
    }).detach();

    // The directory server, its log on a pipe read by a thread of its own.
    int log[2];
    if (pipe2(log, O_CLOEXEC) != 0)
        Die("pipe");
    std::vector<std::string> server_args = {argv[1],
                                            "--listen",
                                            "127.0.0.1:0",
                                            "--max-sessions",
                                            std::to_string(sessions + 16),
                                            "--max-pending-per-agent",
                                            std::to_string(sessions + 16),
                                            "--max-per-address",
                                            std::to_string(4 * sessions + 64),
                                            "--max-connections",
                                            std::to_string(4 * sessions + 64)};
    server_args.insert(server_args.end(), argv + std::min(argc, 5), argv + argc);
    const pid_t server = Spawn(server_args, log[1]);
    close(log[1]);
    std::string text;
    for (char c; text.find("listening on 127.0.0.1:") == std::string::npos ||
                 text.find('\n', text.find("listening on")) == std::string::npos;) {
        if (read(log[0], &c, 1) != 1)
            Die("directory-server did not start: " + text);
        text += c;
    }
    const int server_port = std::stoi(text.substr(text.find("listening on 127.0.0.1:") + 23));
    std::thread([fd = log[0]] {
        char b[4096];
        while (read(fd, b, sizeof b) > 0) {
        }
    }).detach();

    int socat_port = 0;
    close(Listen(socat_port));  // a free port for socat
    const pid_t socat = Spawn(
        {argv[2], "TCP-LISTEN:" + std::to_string(socat_port) + ",bind=127.0.0.1,reuseaddr,fork",
         "TCP:127.0.0.1:" + std::to_string(sink_port)},
        -1);
    for (int i = 0; i < 100; ++i) {
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{
            AF_INET, htons(static_cast<std::uint16_t>(socat_port)), {htonl(INADDR_LOOPBACK)}, {}};
        const bool up = connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        close(probe);
        if (up)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // This process as the agent "bench".
    const int control = Connect(server_port);
    WriteAll(control, "register bench\n", 15);
    if (ReadLine(control) != "registered\n")
        Die("not registered");
    // A relayed session: the viewer's socket; the agent's end runs `far_end` (or is kept).
    std::vector<int> kept;
    const auto relayed = [&](bool serve) {
        const int viewer = Connect(server_port);
        WriteAll(viewer, "view bench\n", 11);
        // The server pings its agents now and then: answered, as an agent does.
        std::string order = ReadLine(control);
        for (; order == "ping\n"; order = ReadLine(control))
            WriteAll(control, "pong\n", 5);
        if (!order.starts_with("connect "))
            Die("no connect order: " + order);
        // "connect ID OPERATOR RIGHT\n": the ID is the first field.
        const std::size_t id_end = order.find_first_of(" \n", 8);
        std::string block = std::string("ID:").append(order, 8, id_end - 8);
        block.resize(250, '\0');
        const int session = Connect(server_port);
        WriteAll(session, block.data(), block.size());
        char ok[3];
        if (!ReadAll(viewer, ok, 3) || std::memcmp(ok, "ok\n", 3) != 0)
            Die("the session was not paired");
        if (serve)
            std::thread(FarEnd, session).detach();
        else
            kept.push_back(session);
        return viewer;
    };
    const std::vector<std::pair<const char*, std::function<int()>>> paths = {
        {"direct", [&] { return Connect(sink_port); }},
        {"relay", [&] { return relayed(true); }},
        {"socat", [&] { return Connect(socat_port); }},
    };

    std::printf("relay benchmark: %llu MiB one way per trial, median of 5 trials, loopback\n",
                static_cast<unsigned long long>(bytes >> 20));
    if (argc > 5) {
        std::printf("  directory-server options:");
        for (int i = 5; i < argc; ++i)
            std::printf(" %s", argv[i]);
        std::printf("\n");
    }
    // Trials take turns between the paths, so a change in the machine's load meets all three.
    constexpr int kTrials = 5;
    std::vector<double> trials[3];
    double ends_cpu[3] = {}, relay_cpu = 0;
    for (int t = 0; t < kTrials; ++t) {
        for (std::size_t p = 0; p < paths.size(); ++p) {
            const int fd = paths[p].second();
            const double ends_before = CpuSeconds(getpid());
            const double server_before = CpuSeconds(server);
            trials[p].push_back(Throughput(fd, bytes));
            ends_cpu[p] += CpuSeconds(getpid()) - ends_before;
            if (p == 1)
                relay_cpu += CpuSeconds(server) - server_before;
        }
    }
    const double gib = kTrials * static_cast<double>(bytes) / (1 << 30);
    double mib_s[3];
    for (std::size_t p = 0; p < paths.size(); ++p) {
        std::sort(trials[p].begin(), trials[p].end());
        mib_s[p] = trials[p][kTrials / 2];
        std::printf(
            "  throughput %-6s %6.0f MiB/s (trials %.0f-%.0f)  CPU s per GiB: both ends %.2f",
            paths[p].first, mib_s[p], trials[p].front(), trials[p].back(), ends_cpu[p] / gib);
        if (p == 1)
            std::printf(", relay %.2f", relay_cpu / gib);
        std::printf("\n");
    }
    std::printf("  relay / direct %.2fx (goal >= 0.8x), relay / socat %.2fx (goal >= 1.5x)\n",
                mib_s[1] / mib_s[0], mib_s[1] / mib_s[2]);

    std::vector<double> rtt[3];
    for (std::size_t p = 0; p < paths.size(); ++p) {
        rtt[p] = RoundTrips(paths[p].second());
        std::printf("  round trip of %zu bytes %-6s p50 %6.1f us  p99 %6.1f us\n", kMessage,
                    paths[p].first, Percentile(rtt[p], 0.5), Percentile(rtt[p], 0.99));
    }
    std::printf(
        "  added by the relay: p50 %.1f us, p99 %.1f us (goal p99 < 200 us); by socat: "
        "p50 %.1f us, p99 %.1f us\n",
        Percentile(rtt[1], 0.5) - Percentile(rtt[0], 0.5),
        Percentile(rtt[1], 0.99) - Percentile(rtt[0], 0.99),
        Percentile(rtt[2], 0.5) - Percentile(rtt[0], 0.5),
        Percentile(rtt[2], 0.99) - Percentile(rtt[0], 0.99));

    const std::size_t before = ResidentKiB(server);
    std::vector<int> viewers;
    for (int i = 0; i < sessions; ++i)
        viewers.push_back(relayed(false));
    // A little traffic on each, so every session has been through its relay once.
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        char b = 'x';
        WriteAll(viewers[i], &b, 1);
        ReadAll(kept[i], &b, 1);
    }
    const std::size_t after = ResidentKiB(server);
    std::printf(
        "  %d open sessions: server resident %.1f MB (%.1f MB before them; goal < 64 MB), "
        "pipes %.1f MiB\n",
        sessions, static_cast<double>(after) / 1024, static_cast<double>(before) / 1024,
        static_cast<double>(PipeBytes(server)) / (1 << 20));
    kill(socat, SIGTERM);
    kill(server, SIGTERM);
    waitpid(socat, nullptr, 0);
    waitpid(server, nullptr, 0);
    return 0;
}
