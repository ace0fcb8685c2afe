// The RFB core against TigerVNC's Xvnc, the server that has continuous updates and fences: on a
// desktop that keeps changing, the core switches to continuous updates, answers the fences Xvnc
// paces itself by, and through a link with 100 ms round trips still gets at least half the
// updates it gets without delay (counted over the same 20 round trips).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "support/loopback.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Bytes held for half the round trip in each direction, as a distant link holds them.
struct DelayLine {
    std::chrono::milliseconds delay;
    std::deque<std::pair<Clock::time_point, std::vector<uint8_t>>> queue;

    void Push(std::vector<uint8_t> bytes) {
        if (!bytes.empty()) {
            queue.emplace_back(Clock::now() + delay, std::move(bytes));
        }
    }
    std::vector<uint8_t> PopDue() {
        std::vector<uint8_t> due;
        while (!queue.empty() && queue.front().first <= Clock::now()) {
            due.insert(due.end(), queue.front().second.begin(), queue.front().second.end());
            queue.pop_front();
        }
        return due;
    }
};

struct Outcome {
    std::string failure;
    int updates = 0;                               // in the window after the first frame
    int requests = 0, continuous = 0, fences = 0;  // the client's messages of each kind
};

// Counts the client's messages from the set-up on; `tail` keeps one cut between two calls.
void CountSent(std::vector<uint8_t>& tail, const std::vector<uint8_t>& sent, Outcome& o) {
    tail.insert(tail.end(), sent.begin(), sent.end());
    std::size_t at = 0;
    while (at < tail.size()) {
        const uint8_t* p = tail.data() + at;
        const std::size_t left = tail.size() - at;
        std::size_t length = p[0] == 0 ? 20 : p[0] == 3 || p[0] == 150 ? 10 : 0;
        if (p[0] == 2 && left >= 4) {
            length = 4 + 4 * std::size_t{p[2] * 256u + p[3]};
        } else if (p[0] == 248 && left >= 9) {
            length = 9 + std::size_t{p[8]};
        } else if (p[0] == 6 && left >= 8) {  // cut text; a negative length is Extended Clipboard
            const auto n = static_cast<int32_t>((uint32_t{p[4]} << 24) | (uint32_t{p[5]} << 16) |
                                                (uint32_t{p[6]} << 8) | p[7]);
            length = 8 + static_cast<std::size_t>(n < 0 ? -int64_t{n} : n);
        }
        if (length == 0 || left < length) {
            break;
        }
        o.requests += p[0] == 3;
        o.continuous += p[0] == 150;
        o.fences += p[0] == 248;
        at += length;
    }
    tail.erase(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(at));
}

class XvncTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v Xvnc >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "Xvnc missing (scripts/deps session)";
        }
        // A display number no X server holds.
        for (int n = 70; n < 200 && display_.empty(); ++n) {
            if (!std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock") &&
                !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) {
                display_ = std::string(":").append(std::to_string(n));  // GCC 12 -Wrestrict
            }
        }
        const auto [listener, port] = wire_test::Listener();  // a free port, for Xvnc to take
        close(listener);
        port_ = port;
        xvnc_ = wire_test::Spawn(
            {"Xvnc", display_, "-geometry", "320x240", "-depth", "24", "-SecurityTypes", "None",
             "-rfbport", std::to_string(port_), "-localhost", "-nolisten", "tcp", "-AlwaysShared"},
            {}, "/dev/null", "/dev/null");
        ASSERT_TRUE(wire_test::Eventually([&] { return (x_ = XOpenDisplay(display_.c_str())); }))
            << "Xvnc did not start on " << display_;
    }

    void TearDown() override {
        if (x_) {
            XCloseDisplay(x_);
        }
        if (xvnc_ > 0) {
            kill(xvnc_, SIGTERM);
            waitpid(xvnc_, nullptr, 0);
        }
    }

    int Connect() const {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a{
            AF_INET, htons(static_cast<uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            close(s);
            return -1;
        }
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return s;
    }

    // A session over a link of `rtt`; the desktop changes every 10 ms. Counts the updates of
    // `window` after the first frame.
    Outcome Run(std::chrono::milliseconds rtt, std::chrono::milliseconds window) {
        Outcome o;
        const int s = Connect();
        if (s < 0) {
            o.failure = "could not connect to Xvnc";
            return o;
        }
        rfb::Options options;
        options.allow_insecure = true;
        rfb::Client client(options);
        DelayLine down{rtt / 2, {}}, up{rtt / 2, {}};
        const GC gc = DefaultGC(x_, DefaultScreen(x_));
        std::vector<uint8_t> buffer(65536), sent_tail;
        const auto give_up = Clock::now() + 20s;
        std::optional<Clock::time_point> counting_until;
        auto next_paint = Clock::now();
        for (unsigned long colour = 0; o.failure.empty() && Clock::now() < give_up;) {
            if (counting_until && Clock::now() >= *counting_until) {
                break;
            }
            if (Clock::now() >= next_paint) {
                XSetForeground(x_, gc, (colour += 0x10305) & 0xffffff);
                XFillRectangle(x_, DefaultRootWindow(x_), gc, 0, 0, 320, 120);
                XFlush(x_);
                next_paint += 10ms;
            }
            pollfd p{s, POLLIN, 0};
            poll(&p, 1, 2);
            if (p.revents) {
                const ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    o.failure = "Xvnc closed the connection";
                    break;
                }
                down.Push({buffer.begin(), buffer.begin() + n});
            }
            if (const auto in = down.PopDue(); !in.empty()) {
                client.Receive(in);
            }
            while (auto e = client.PollEvent()) {
                if (const auto* f = std::get_if<rfb::event::Failed>(&*e)) {
                    o.failure = f->reason;
                } else if (std::holds_alternative<rfb::event::FramebufferUpdated>(*e)) {
                    if (counting_until) {
                        ++o.updates;
                    } else {
                        counting_until = Clock::now() + window;
                    }
                }
            }
            auto out = client.TakeOutput();
            if (client.connected()) {  // the batch it connects in starts with the set-up
                CountSent(sent_tail, out, o);
            }
            up.Push(std::move(out));
            if (const auto bytes = up.PopDue();
                !bytes.empty() && send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
                                      static_cast<ssize_t>(bytes.size())) {
                o.failure = "sending to Xvnc failed";
            }
        }
        close(s);
        if (o.failure.empty() && !counting_until) {
            o.failure = "no first frame within 20 s";
        }
        return o;
    }

    std::string display_;
    int port_ = 0;
    pid_t xvnc_ = -1;
    Display* x_ = nullptr;
};

TEST_F(XvncTest, ContinuousUpdatesKeepTheRateAcrossADistantLink) {
    const auto window = 20 * 100ms;  // 20 round trips of the distant link
    const Outcome near = Run(0ms, window);
    const Outcome far = Run(100ms, window);
    for (const Outcome& o : {near, far}) {
        ASSERT_EQ(o.failure, "");
        EXPECT_EQ(o.continuous, 1);  // once, for the whole desktop
        EXPECT_LE(o.requests, 3) << "requests go on beside continuous updates";
        EXPECT_GT(o.fences, 0) << "Xvnc's fences were not answered";
    }
    // With one request per update, 100 ms round trips would allow 20 at most.
    EXPECT_GE(far.updates * 2, near.updates) << "near " << near.updates << ", far " << far.updates;
    EXPECT_GT(far.updates, 20);
}

}  // namespace
