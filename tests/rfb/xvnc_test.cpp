// The RFB core against TigerVNC's Xvnc, a server that describes its screens and changes its size
// on request: the core reads the one screen, asks for another size (SetDesktopSize) and follows
// the server's answer. Skipped where Xvnc is not installed (scripts/deps session).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "rfb/client.h"
#include "support/loopback.h"

namespace {

bool Installed(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null").c_str()) == 0;
}

int ConnectTo(int port) {
    for (int tries = 0; tries < 200; ++tries, usleep(50 * 1000)) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a{
            AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            const timeval timeout{20, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            return s;
        }
        close(s);
    }
    return -1;
}

TEST(RfbXvnc, FollowsTheServersScreenAndResizesIt) {
    if (!Installed("Xvnc")) {
        GTEST_SKIP() << "Xvnc missing (scripts/deps session)";
    }
    const auto [listener, port] = wire_test::Listener();  // a free port, for Xvnc to take
    close(listener);
    const std::string out = std::filesystem::temp_directory_path() / "rfb-xvnc-display";
    // -displayfd: Xvnc picks a free display itself.
    const pid_t xvnc = wire_test::Spawn(
        {"Xvnc", "-displayfd", "1", "-geometry", "800x600", "-depth", "24", "-SecurityTypes",
         "None", "-rfbport", std::to_string(port), "-localhost", "-nolisten", "tcp"},
        {}, out, "/dev/null");
    const int s = ConnectTo(port);
    ASSERT_GE(s, 0) << "Xvnc did not listen";

    rfb::Options options;
    options.allow_insecure = true;
    rfb::Client client(options);
    enum { kWaitScreen, kWaitResize, kDone } stage = kWaitScreen;
    std::string failure;
    std::vector<uint8_t> buffer(65536);
    while (stage != kDone && failure.empty()) {
        const auto output = client.TakeOutput();
        if (!output.empty() && send(s, output.data(), output.size(), MSG_NOSIGNAL) < 0) {
            failure = "send failed";
            break;
        }
        const ssize_t got = recv(s, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            failure = "Xvnc closed or went quiet at stage " + std::to_string(stage);
            break;
        }
        client.Receive(std::span(buffer.data(), static_cast<std::size_t>(got)));
        while (auto event = client.PollEvent()) {
            if (auto* failed = std::get_if<rfb::event::Failed>(&*event)) {
                failure = failed->reason;
            }
        }
        const auto& screens = client.screens();
        if (stage == kWaitScreen && screens.size() == 1) {
            EXPECT_EQ(screens[0].rect, (rfb::Rect{0, 0, 800, 600}));
            ASSERT_TRUE(client.RequestDesktopSize(1024, 768));
            stage = kWaitResize;
        } else if (stage == kWaitResize && client.framebuffer().width == 1024 &&
                   screens.size() == 1 && screens[0].rect == rfb::Rect{0, 0, 1024, 768}) {
            EXPECT_EQ(client.framebuffer().height, 768);
            stage = kDone;
        }
    }
    EXPECT_EQ(failure, "");
    close(s);
    kill(xvnc, SIGTERM);
    wire_test::WaitExit(xvnc);
    std::filesystem::remove(out);
}

}  // namespace
