// The RFB core against TigerVNC's Xvnc, the server with continuous updates, fences, screens,
// resizing on request and the Extended Clipboard: on a desktop that keeps changing the core takes
// continuous updates and answers the fences Xvnc paces itself by; it reads the one screen, asks
// for another size and follows the answer; Korean text copied on either side arrives whole on the
// other (xclip on Xvnc's display). Skipped where Xvnc (or, for the clipboard, xclip) is missing.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

#include "real_server.h"
#include "rfb_test_util.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>

namespace {

const std::string kKorean = "\xed\x95\x9c\xea\xb5\xad\xec\x96\xb4 caf\xc3\xa9";  // 한국어 café

bool Installed(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null").c_str()) == 0;
}

class XvncTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Installed("Xvnc")) {
            GTEST_SKIP() << "Xvnc missing (scripts/deps session)";
        }
        const int port = rfbtest::FreePort();
        display_file_ =
            std::filesystem::temp_directory_path() / ("rfb-xvnc-" + std::to_string(getpid()));
        // -displayfd: Xvnc picks a free display itself and writes its number.
        xvnc_ = wire_test::Spawn(
            {"Xvnc", "-displayfd", "1", "-geometry", "800x600", "-depth", "24", "-SecurityTypes",
             "None", "-rfbport", std::to_string(port), "-localhost", "-nolisten", "tcp"},
            {}, display_file_, "/dev/null");
        socket_ = rfbtest::ConnectWhenListening(port);
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

    // Runs the session until `done` holds; returns the core's failure or why it stopped, "" if
    // none. Counts the updates and keeps the last text from the server's clipboard.
    std::string Pump(const std::function<bool()>& done, std::vector<uint8_t>* sent = nullptr) {
        const auto seen = [&](const rfb::Event& e) {
            updates_ += std::holds_alternative<rfb::event::FramebufferUpdated>(e);
            if (const auto* clip = std::get_if<rfb::event::Clipboard>(&e)) {
                clipboard_ = clip->text;
            }
        };
        return rfbtest::Drive(client_, socket_, done, seen, sent);
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
    int updates_ = 0;
    std::string clipboard_;
    std::string display_;
    std::filesystem::path display_file_;
    pid_t xvnc_ = -1;
    int socket_ = -1;
};

// The desktop changes every 10 ms: after the first update, the updates keep coming with no more
// than a request or two beside them.
TEST_F(XvncTest, TakesContinuousUpdatesAndAnswersFences) {
    Display* x = XOpenDisplay(display_.c_str());
    ASSERT_NE(x, nullptr);
    auto next_paint = std::chrono::steady_clock::now();
    unsigned long colour = 0;
    std::vector<uint8_t> sent;
    EXPECT_EQ(Pump(
                  [&] {
                      if (std::chrono::steady_clock::now() >= next_paint) {
                          XSetForeground(x, DefaultGC(x, 0), (colour += 0x10305) & 0xffffff);
                          XFillRectangle(x, DefaultRootWindow(x), DefaultGC(x, 0), 0, 0, 800, 300);
                          XFlush(x);
                          next_paint += std::chrono::milliseconds(10);
                      }
                      return updates_ >= 100;
                  },
                  &sent),
              "")
        << updates_ << " updates";
    XCloseDisplay(x);
    const auto messages = rfbtest::Messages(sent);
    const auto count = [&](const std::string& prefix) {
        return std::count_if(messages.begin(), messages.end(),
                             [&](const std::string& m) { return m.starts_with(prefix); });
    };
    EXPECT_EQ(count("cu 800x600"), 1) << "once, for the whole desktop";
    EXPECT_LE(count("inc ") + count("full "), 3) << "requests go on beside continuous updates";
    EXPECT_GT(count("fence "), 0) << "Xvnc's fences were not answered";
    EXPECT_EQ(count("unexpected"), 0);
}

TEST_F(XvncTest, FollowsTheServersScreenAndResizesIt) {
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

TEST_F(XvncTest, KoreanTextCrossesBothWays) {
    if (!Installed("xclip")) {
        GTEST_SKIP() << "xclip missing (scripts/deps session)";
    }
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
    // Until Xvnc has read our message, xclip still owns the selection: paste again while the
    // remote side still shows its own text.
    Xclip("-o >" + pasted + " 2>/dev/null &");
    EXPECT_EQ(Pump([&] {
                  const std::string got = wire_test::ReadFile(pasted);
                  if (got == kKorean) {
                      Xclip("-o >" + pasted + " 2>/dev/null &");
                  }
                  return got == ours;
              }),
              "")
        << "remote has " << wire_test::ReadFile(pasted);
    std::filesystem::remove(pasted);
}

}  // namespace
