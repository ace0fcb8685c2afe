// Load generator for directory-server, loopback only. One thread and one epoll set, like the
// server, so on a two-core machine each side gets a core (as redis-benchmark and redis-server do).
//
//   directory-server-load rps  --port P --clients N [--seconds S] [--warmup S] [--redis 1]
//       N connections each send "server", wait for the whole reply, send again. With --redis 1
//       they send redis' inline "PING\r\n" and count "+PONG\r\n" replies instead, so both
//       servers are driven by the same client. Prints
//       "replies_per_s=... p50_us=... p99_us=... p999_us=... max_us=... reply_bytes=... errors=...
//       total_replies=..." (total: warm-up included)
//   directory-server-load idle --port P --clients N --pid PID [--hold S]
//       Opens N connections, asks once on each so the server has surely taken them, then reads
//       the server's memory from /proc/PID/status. Prints "connections=... rss_before_kb=...
//       rss_kb=... hwm_kb=... setup_s=...".
//   directory-server-load floor --port P --like Q
//       A server that does nothing but answer: asks the directory server on port Q once, then
//       listens on P and answers every "server" with those same bytes, one read and one write
//       per request in one epoll loop. What the load generator can reach against it is the
//       most any server can show with this client on this machine. Prints "listening" once
//       ready; runs until killed.
//   directory-server-load free-port
//       Prints a loopback port that was free a moment ago.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
// The request the load loop sends: the directory server's, or redis' inline PING.
std::string_view g_request = "server";

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "directory-server-load: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int ConnectBlocking(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Die("socket");
    const sockaddr_in address = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Die("connect");
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

void SendRequest(int fd) {
    if (::send(fd, g_request.data(), g_request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(g_request.size())) {
        Die("send");
    }
}

// The reply to one request, received on a fresh connection; its length tells the load loop when
// a reply is complete (the list does not change during a run).
std::string ProbeReply(int port) {
    const int fd = ConnectBlocking(port);
    SendRequest(fd);
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        Die("no reply to the probe request");
    const std::string reply(buffer, static_cast<std::size_t>(n));
    if (g_request.starts_with("PING") && reply != "+PONG\r\n")
        Die("the reply to PING is not +PONG");
    ::close(fd);
    return reply;
}

std::size_t ProbeReplyLength(int port) {
    return ProbeReply(port).size();
}

std::map<std::string, std::string> Arguments(int argc, char** argv) {
    std::map<std::string, std::string> args;
    for (int i = 2; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    return args;
}

double Number(const std::map<std::string, std::string>& args, const std::string& name,
              double fallback) {
    const auto it = args.find(name);
    return it == args.end() ? fallback : std::atof(it->second.c_str());
}

int RunRequests(int port, int clients, double seconds, double warmup) {
    const std::size_t reply_length = ProbeReplyLength(port);
    struct Client {
        int fd;
        std::size_t received = 0;
        Clock::time_point sent;
    };
    std::vector<Client> conns;
    conns.reserve(static_cast<std::size_t>(clients));
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < clients; ++i) {
        const int fd = ConnectBlocking(port);
        fcntl(fd, F_SETFL, O_NONBLOCK);
        conns.push_back({fd, 0, Clock::time_point()});
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    }
    std::vector<std::uint32_t> latencies_ns;
    latencies_ns.reserve(1 << 22);
    long errors = 0;
    std::size_t total = 0;  // warm-up included, for CPU time per reply
    const auto start = Clock::now();
    const auto measure_from =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmup));
    const auto measure_until = measure_from + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(seconds));
    for (auto& c : conns) {
        c.sent = Clock::now();
        SendRequest(c.fd);
    }
    std::vector<epoll_event> events(1024);
    char buffer[4096];
    int open = clients;
    Clock::time_point now = start;
    while (now < measure_until && open > 0) {
        const int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        if (n < 0 && errno != EINTR)
            Die("epoll_wait");
        now = Clock::now();
        for (int i = 0; i < n; ++i) {
            Client& c = conns[events[static_cast<std::size_t>(i)].data.u32];
            const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                if (got < 0 && errno == EAGAIN)
                    continue;
                ++errors;
                --open;
                epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
                continue;
            }
            c.received += static_cast<std::size_t>(got);
            if (c.received < reply_length)
                continue;
            if (c.received > reply_length)
                ++errors;  // a reply of another length: list changed?
            c.received = 0;
            ++total;
            if (now >= measure_from) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.sent);
                latencies_ns.push_back(
                    static_cast<std::uint32_t>(std::min<std::int64_t>(ns.count(), UINT32_MAX)));
            }
            c.sent = now;
            if (::send(c.fd, g_request.data(), g_request.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(g_request.size())) {
                ++errors;
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(now - measure_from).count();
    for (auto& c : conns)
        ::close(c.fd);
    ::close(epoll);
    std::sort(latencies_ns.begin(), latencies_ns.end());
    const auto quantile = [&](double q) -> double {
        if (latencies_ns.empty())
            return 0;
        const auto index =
            static_cast<std::size_t>(q * static_cast<double>(latencies_ns.size() - 1));
        return latencies_ns[index] / 1000.0;
    };
    std::printf(
        "clients=%d replies=%zu seconds=%.2f replies_per_s=%.0f p50_us=%.1f p99_us=%.1f "
        "p999_us=%.1f max_us=%.1f reply_bytes=%zu errors=%ld total_replies=%zu\n",
        clients, latencies_ns.size(), elapsed,
        elapsed > 0 ? static_cast<double>(latencies_ns.size()) / elapsed : 0.0, quantile(0.5),
        quantile(0.99), quantile(0.999), quantile(1.0), reply_length, errors, total);
    return errors == 0 ? 0 : 1;
}

long StatusKb(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

int RunIdle(int port, int clients, int pid, double hold) {
    const std::size_t reply_length = ProbeReplyLength(port);
    const long rss_before = StatusKb(pid, "VmRSS");
    const auto start = Clock::now();
    std::vector<int> fds;
    fds.reserve(static_cast<std::size_t>(clients));
    for (int i = 0; i < clients; ++i) {
        fds.push_back(ConnectBlocking(port));
        SendRequest(fds.back());
    }
    char buffer[512];
    for (const int fd : fds) {
        std::size_t received = 0;
        while (received < reply_length) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                Die("a connection was closed before it was answered");
            received += static_cast<std::size_t>(n);
        }
    }
    const double setup = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long rss = StatusKb(pid, "VmRSS");
    const long hwm = StatusKb(pid, "VmHWM");
    std::printf("connections=%d rss_before_kb=%ld rss_kb=%ld hwm_kb=%ld setup_s=%.2f\n", clients,
                rss_before, rss, hwm, setup);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(hold));
    for (const int fd : fds)
        ::close(fd);
    return rss > 0 ? 0 : 1;
}

[[noreturn]] void RunFloor(int port, int like) {
    const std::string reply = ProbeReply(like);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4096) != 0) {
        Die("listen");
    }
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    std::vector<std::size_t> received;  // request bytes not yet answered, by descriptor
    std::printf("listening\n");
    std::fflush(stdout);
    std::vector<epoll_event> events(256);
    char buffer[4096];
    for (;;) {
        const int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == listener) {
                int client;
                while ((client = accept4(listener, nullptr, nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    if (received.size() <= static_cast<std::size_t>(client))
                        received.resize(static_cast<std::size_t>(client) + 1);
                    received[static_cast<std::size_t>(client)] = 0;
                    event.data.fd = client;
                    epoll_ctl(epoll, EPOLL_CTL_ADD, client, &event);
                }
                continue;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                if (got == 0 || errno != EAGAIN)
                    ::close(fd);
                continue;
            }
            std::size_t& pending = received[static_cast<std::size_t>(fd)];
            for (pending += static_cast<std::size_t>(got); pending >= g_request.size();
                 pending -= g_request.size()) {
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
    }
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Die("bind");
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("%d\n", ntohs(address.sin_port));
    ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto args = Arguments(argc, argv);
    const int port = static_cast<int>(Number(args, "--port", 0));
    const int clients = static_cast<int>(Number(args, "--clients", 100));
    if (mode == "free-port")
        return FreePort();
    if (mode == "floor" && port > 0)
        RunFloor(port, static_cast<int>(Number(args, "--like", 0)));
    if (port <= 0 || clients <= 0 || (mode != "rps" && mode != "idle")) {
        std::fprintf(stderr,
                     "usage: directory-server-load rps --port P --clients N [--seconds S] "
                     "[--warmup S]\n"
                     "       directory-server-load idle --port P --clients N --pid PID "
                     "[--hold S]\n"
                     "       directory-server-load floor --port P --like Q\n"
                     "       directory-server-load free-port\n");
        return 2;
    }
    if (mode == "rps") {
        if (Number(args, "--redis", 0) != 0)
            g_request = "PING\r\n";
        return RunRequests(port, clients, Number(args, "--seconds", 10),
                           Number(args, "--warmup", 1));
    }
    return RunIdle(port, clients, static_cast<int>(Number(args, "--pid", 0)),
                   Number(args, "--hold", 0));
}
