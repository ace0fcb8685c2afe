// The RFB core as the WAN benchmark measures it: a plain-RFB client (security None) that
// connects to a VNC server, usually through bench/wan/link.py, decodes what it is sent and counts
// it. It draws nothing, so its CPU time is the core's (decoding, protocol), not a viewer's
// painting. It offers the core's default encodings, whatever they are in this build.
//
//   bench_wan_client HOST PORT SECONDS
//
// Prints, then exits 0 (1 on a failure, with the reason on stderr):
//   first-frame MS   from the start to the end of the first update
//   updates N        updates with changes decoded in the SECONDS from the start
//   bytes N          bytes received in those SECONDS
//   cpu MS           user and system CPU time of the whole run
//   continuous 0|1   whether the server took continuous updates
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rfb/client.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int Connect(const char* host, const char* port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0) {
        return -1;
    }
    int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

bool SendAll(int fd, const std::vector<uint8_t>& data) {
    for (std::size_t at = 0; at < data.size();) {
        const ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// Whether the core's messages (from the set-up on, so whole messages only) hold
// EnableContinuousUpdates; `tail` keeps a message cut between two calls.
bool HoldsContinuousUpdates(std::vector<uint8_t>& tail, const std::vector<uint8_t>& sent) {
    using namespace rfb::client_msg;
    tail.insert(tail.end(), sent.begin(), sent.end());
    bool found = false;
    std::size_t at = 0;
    for (;;) {
        const std::size_t left = tail.size() - at;
        const uint8_t* p = tail.data() + at;
        std::size_t length = 0;
        if (left < 1) {
            break;
        }
        switch (p[0]) {
            case kSetPixelFormat:
                length = 20;
                break;
            case kSetEncodings:
                length = left < 4 ? 0 : 4 + 4 * std::size_t{p[2] * 256u + p[3]};
                break;
            case kFramebufferUpdateRequest:
                length = 10;
                break;
            case kKeyEvent:
                length = 8;
                break;
            case kPointerEvent:
                length = 6;
                break;
            case kClientCutText:
                length =
                    left < 8 ? 0 : 8 + (std::size_t{p[4]} << 24 | p[5] << 16 | p[6] << 8 | p[7]);
                break;
            case kEnableContinuousUpdates:
                length = 10;
                found = true;
                break;
            case kClientFence:
                length = left < 9 ? 0 : 9 + std::size_t{p[8]};
                break;
            default:
                std::fprintf(stderr, "bench_wan_client: unknown message %d sent\n", p[0]);
                std::exit(1);
        }
        if (length == 0 || left < length) {
            break;
        }
        at += length;
    }
    tail.erase(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(at));
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_wan_client HOST PORT SECONDS\n");
        return 2;
    }
    const double seconds = std::atof(argv[3]);
    const auto start = Clock::now();
    const int fd = Connect(argv[1], argv[2]);
    if (fd < 0) {
        std::perror("bench_wan_client: connect");
        return 1;
    }
    rfb::Options options;
    options.allow_insecure = true;
    rfb::Client client(options);
    std::vector<uint8_t> buffer(256 * 1024);
    double first_frame = -1;
    long updates = 0;
    long long bytes = 0;
    bool continuous = false;
    std::vector<uint8_t> sent_tail;
    for (;;) {
        if (MsSince(start) >= seconds * 1000) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) < 0) {
            break;
        }
        if (p.revents != 0) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                std::fprintf(stderr, "bench_wan_client: the server closed the connection\n");
                return 1;
            }
            bytes += n;
            client.Receive(std::span(buffer.data(), static_cast<std::size_t>(n)));
        }
        while (auto event = client.PollEvent()) {
            if (const auto* failed = std::get_if<rfb::event::Failed>(&*event)) {
                std::fprintf(stderr, "bench_wan_client: %s\n", failed->reason.c_str());
                return 1;
            }
            if (std::holds_alternative<rfb::event::FramebufferUpdated>(*event)) {
                if (first_frame < 0) {
                    first_frame = MsSince(start);
                }
                ++updates;
            }
        }
        const std::vector<uint8_t> out = client.TakeOutput();
        // The batch the core connects in starts with the set-up: ClientInit went out before.
        if (client.connected()) {
            continuous = HoldsContinuousUpdates(sent_tail, out) || continuous;
        }
        if (!SendAll(fd, out)) {
            std::fprintf(stderr, "bench_wan_client: sending failed\n");
            return 1;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    std::printf("first-frame %.0f\nupdates %ld\nbytes %lld\ncpu %.0f\ncontinuous %d\n", first_frame,
                updates, bytes, cpu, continuous ? 1 : 0);
    close(fd);
    return 0;
}
