// The RFB core against TigerVNC's Xvnc, a server that describes its screens, changes its size on
// request and speaks the Extended Clipboard: the core reads the one screen, asks for another size
// (SetDesktopSize) and follows the server's answer; Korean text copied on either side arrives
// whole on the other (xclip on Xvnc's display). Skipped where Xvnc or xclip is missing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "rfb/client.h"
#include "support/loopback.h"

namespace {

const std::string kKorean = "\xed\x95\x9c\xea\xb5\xad\xec\x96\xb4 caf\xc3\xa9";  // 한국어 café

bool Installed(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null").c_str()) == 0;
}

class XvncDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Installed("Xvnc") || !Installed("xclip")) {
            GTEST_SKIP() << "Xvnc or xclip missing (scripts/deps session)";
        }
        const auto [listener, port] = wire_test::Listener();  // a free port, for Xvnc to take
        close(listener);
        display_file_ =
            std::filesystem::temp_directory_path() / ("rfb-xvnc-" + std::to_string(getpid()));
        // -displayfd: Xvnc picks a free display itself and writes its number.
        xvnc_ = wire_test::Spawn(
            {"Xvnc", "-displayfd", "1", "-geometry", "800x600", "-depth", "24", "-SecurityTypes",
             "None", "-rfbport", std::to_string(port), "-localhost", "-nolisten", "tcp"},
            {}, display_file_, "/dev/null");
        for (int tries = 0; tries < 200 && socket_ < 0; ++tries, usleep(50 * 1000)) {
            const int s = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in a{
                AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
            if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
                const timeval timeout{0, 200 * 1000};  // Pump's turns
                setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
                socket_ = s;
            } else {
                close(s);
            }
        }
        ASSERT_GE(socket_, 0) << "Xvnc did not listen";
        ASSERT_TRUE(wire_test::Eventually(
            [&] { return !wire_test::Words(wire_test::ReadFile(display_file_)).empty(); }));
        display_ = ":" + wire_test::Words(wire_test::ReadFile(display_file_))[0];
    }

    void TearDown() override {
        if (socket_ >= 0) {
            close(socket_);
        }
        if (xvnc_ > 0) {
            kill(xvnc_, SIGTERM);
            wire_test::WaitExit(xvnc_);
        }
        std::error_code ignored;
        std::filesystem::remove(display_file_, ignored);
    }

    // Runs the session until `done` holds (checked after each read or quiet turn), for at most
    // 20 seconds; returns the core's failure, "" if none.
    std::string Pump(const std::function<bool()>& done) {
        std::vector<uint8_t> buffer(65536);
        for (int turn = 0; turn < 100 && !done(); ++turn) {
            const auto output = client_.TakeOutput();
            if (!output.empty() && send(socket_, output.data(), output.size(), MSG_NOSIGNAL) < 0) {
                return "send failed";
            }
            const ssize_t got = recv(socket_, buffer.data(), buffer.size(), 0);
            if (got == 0) {
                return "Xvnc closed the connection";
            }
            if (got > 0) {
                client_.Receive(std::span(buffer.data(), static_cast<std::size_t>(got)));
            }
            while (auto event = client_.PollEvent()) {
                if (auto* failed = std::get_if<rfb::event::Failed>(&*event)) {
                    return failed->reason;
                }
                if (auto* clip = std::get_if<rfb::event::Clipboard>(&*event)) {
                    clipboard_ = clip->text;
                }
            }
        }
        return done() ? "" : "timed out";
    }

    // xclip on Xvnc's display: `args` (redirections included) with `input` on its stdin.
    void Xclip(const std::string& args, const std::string& input = "") const {
        const std::string command = "printf %s '" + input + "' | DISPLAY=" + display_ +
                                    " timeout 10 xclip -selection clipboard " + args;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }

    static rfb::Options Plain() {
        rfb::Options options;
        options.allow_insecure = true;
        return options;
    }

    rfb::Client client_{Plain()};
    std::string clipboard_;
    std::string display_;
    std::filesystem::path display_file_;
    pid_t xvnc_ = -1;
    int socket_ = -1;
};

TEST_F(XvncDesktopTest, FollowsTheServersScreenAndResizesIt) {
    ASSERT_EQ(Pump([&] { return client_.screens().size() == 1; }), "");
    EXPECT_EQ(client_.screens()[0].rect, (rfb::Rect{0, 0, 800, 600}));
    ASSERT_TRUE(client_.RequestDesktopSize(1024, 768));
    EXPECT_EQ(Pump([&] {
                  return client_.framebuffer().width == 1024 &&
                         client_.framebuffer().height == 768 &&
                         client_.screens().at(0).rect == rfb::Rect{0, 0, 1024, 768};
              }),
              "");
}

TEST_F(XvncDesktopTest, KoreanTextCrossesBothWays) {
    ASSERT_EQ(Pump([&] { return client_.screens().size() == 1; }), "");
    // Copied on the remote side (xclip stays behind as the selection's owner, its output away
    // from our pipe).
    Xclip("-i >/dev/null 2>&1", kKorean);
    EXPECT_EQ(Pump([&] { return clipboard_ == kKorean; }), "") << "received " << clipboard_;
    // Copied on the operator's side, then pasted there: Xvnc asks the viewer for the text while
    // xclip waits, so xclip runs beside the session, into a file.
    const std::string ours = "\xea\xb8\x80 " + kKorean;  // 글 ...
    client_.SendClipboard(ours);
    const std::string pasted = display_file_.string() + ".pasted";
    ASSERT_EQ(Pump([&] { return client_.HasOutput() == false; }), "");
    Xclip("-o >" + pasted + " 2>/dev/null &");
    EXPECT_EQ(Pump([&] { return wire_test::ReadFile(pasted) == ours; }), "")
        << "remote has " << wire_test::ReadFile(pasted);
    std::filesystem::remove(pasted);
}

}  // namespace
