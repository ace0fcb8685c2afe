// A directory server for the start-up benchmark: listens on 127.0.0.1 at a
// free port (written to PORT_FILE), answers every request "server" with
// REPLY, and logs "<wall-clock ns> request" for each one. Single-threaded.
//   bench_server PORT_FILE LOG_FILE REPLY
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {
long long WallNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT_FILE LOG_FILE REPLY\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string reply = argv[3];
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(listener, 16) != 0)
        return 1;
    getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    FILE* log = std::fopen(argv[2], "w");
    const std::string portFile = argv[1];
    FILE* port = std::fopen((portFile + ".partial").c_str(), "w");
    if (log == nullptr || port == nullptr)
        return 1;
    std::fprintf(port, "%u\n", static_cast<unsigned>(ntohs(sa.sin_port)));
    std::fclose(port);
    std::rename((portFile + ".partial").c_str(), portFile.c_str());

    std::map<int, std::string> streams;
    for (;;) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const auto& [fd, stream] : streams)
            fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0)
                streams[fd];
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[512];
            const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                close(fds[i].fd);
                streams.erase(fds[i].fd);
                continue;
            }
            std::string& stream = streams[fds[i].fd];
            stream.append(buffer, static_cast<std::size_t>(n));
            std::size_t at;
            while ((at = stream.find("server")) != std::string::npos) {
                stream.erase(0, at + 6);
                std::fprintf(log, "%lld request\n", WallNanoseconds());
                std::fflush(log);
                send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
    }
}
