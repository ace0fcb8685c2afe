// The RFB core against the real x11vnc: a private Xvfb gets a known picture, x11vnc serves it on
// loopback, and a small blocking socket driver feeds the core until its framebuffer equals the X
// server's own image (read with XGetImage), away from the pointer in the centre. Each encoding is
// forced in turn by narrowing the core's encoding list; VNC authentication is tried right and
// wrong. VeNCrypt needs a TLS driver and is left to the front ends' tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "rfb_stream.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kCursorBox = 24;  // half-size of the area around the centre left out of comparisons

bool OnPath(const char* program) {
    const std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

pid_t Spawn(const std::vector<std::string>& argv, int fd3 = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (fd3 >= 0) {
            dup2(fd3, 3);
        }
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// SIGTERM, then SIGKILL after a grace period: x11vnc now and then ignores SIGTERM while it tears
// a client down.
void Stop(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 30; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        usleep(100 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// How a session through the driver ended.
struct Session {
    bool matched = false;
    std::string failure;
    int mismatches = -1;
};

class X11vncTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!OnPath("Xvfb") || !OnPath("x11vnc")) {
            return;
        }
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        xvfb_ = Spawn({"Xvfb", "-displayfd", "3", "-noreset", "-nolisten", "tcp", "-screen", "0",
                       std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24"},
                      fds[1]);
        close(fds[1]);
        std::string number;
        char c;
        pollfd p{fds[0], POLLIN, 0};
        while (poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            return;
        }
        display_name_ = ":" + number;
        display_ = XOpenDisplay(display_name_.c_str());
        if (display_) {
            DrawPicture();
        }
    }

    static void TearDownTestSuite() {
        if (display_) {
            XCloseDisplay(display_);
            display_ = nullptr;
        }
        Stop(xvfb_);
        xvfb_ = -1;
    }

    void SetUp() override {
        if (!display_) {
            GTEST_SKIP() << "Xvfb or x11vnc missing (scripts/deps session)";
        }
    }

    void TearDown() override { Stop(x11vnc_); }

    // Flat areas, a gradient, glyph-like noise and a photo-like patch: every encoding's paths.
    static void DrawPicture() {
        const rfbtest::Image picture = rfbtest::MakeDesktop(kWidth, kHeight, 11);
        const int screen = DefaultScreen(display_);
        const Window root = RootWindow(display_, screen);
        XImage* image = XGetImage(display_, root, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                XPutPixel(image, x, y, picture.At(x, y) & 0xffffff);
            }
        }
        GC gc = XCreateGC(display_, root, 0, nullptr);
        XPutImage(display_, root, gc, image, 0, 0, 0, 0, kWidth, kHeight);
        XFreeGC(display_, gc);
        XDestroyImage(image);
        XSync(display_, False);
    }

    void StartX11vnc(const std::vector<std::string>& extra) {
        port_ = FreePort();
        std::vector<std::string> argv = {
            "x11vnc",     "-display", display_name_, "-rfbport",   std::to_string(port_),
            "-localhost", "-forever", "-shared",     "-noxdamage", "-quiet"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        x11vnc_ = Spawn(argv);
    }

    int Connect() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            const int s = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port_));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                return s;
            }
            close(s);
            usleep(100 * 1000);
        }
        return -1;
    }

    // Counts differing pixels between the client's framebuffer and the X server's screen.
    static int Mismatches(const rfb::Framebuffer& fb) {
        if (fb.width != kWidth || fb.height != kHeight) {
            return -1;
        }
        const Window root = RootWindow(display_, DefaultScreen(display_));
        XImage* image = XGetImage(display_, root, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
        int wrong = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (std::abs(x - kWidth / 2) < kCursorBox &&
                    std::abs(y - kHeight / 2) < kCursorBox) {
                    continue;
                }
                const uint32_t want = static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xffffff;
                wrong += (fb.At(x, y) & 0xffffff) != want;
            }
        }
        XDestroyImage(image);
        return wrong;
    }

    // Runs a session until the framebuffer shows the screen, the core fails, or time runs out.
    Session Run(rfb::Options options, const char* password) {
        Session result;
        const int s = Connect();
        if (s < 0) {
            result.failure = "could not connect to x11vnc";
            return result;
        }
        rfb::Client client(std::move(options));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::vector<uint8_t> buffer(65536);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto out = client.TakeOutput();
            if (!out.empty() && send(s, out.data(), out.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) {
                continue;
            }
            const ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                if (result.failure.empty()) {
                    result.failure = "connection closed";
                }
                break;
            }
            client.Receive(std::span(buffer.data(), static_cast<std::size_t>(n)));
            bool updated = false;
            while (auto e = client.PollEvent()) {
                if (std::holds_alternative<rfb::event::CredentialsNeeded>(*e)) {
                    client.SetPassword(password);
                } else if (const auto* f = std::get_if<rfb::event::Failed>(&*e)) {
                    result.failure = f->reason;
                } else if (std::holds_alternative<rfb::event::FramebufferUpdated>(*e)) {
                    updated = true;
                }
            }
            if (!result.failure.empty()) {
                break;
            }
            if (updated) {
                result.mismatches = Mismatches(client.framebuffer());
                if (result.mismatches == 0) {
                    result.matched = true;
                    break;
                }
            }
        }
        close(s);
        return result;
    }

    static inline pid_t xvfb_ = -1;
    static inline std::string display_name_;
    static inline Display* display_ = nullptr;
    pid_t x11vnc_ = -1;
    int port_ = 0;
};

TEST_F(X11vncTest, EveryEncodingShowsTheScreenPixelExact) {
    // The picture must really be on the screen, or a black screen would compare equal to a
    // framebuffer that was never drawn.
    const rfbtest::Image picture = rfbtest::MakeDesktop(kWidth, kHeight, 11);
    rfb::Framebuffer expected{kWidth, kHeight, kWidth, picture.pixels};
    ASSERT_EQ(Mismatches(expected), 0);
    StartX11vnc({"-nopw"});
    struct Case {
        const char* name;
        std::vector<rfb::Encoding> encodings;
    };
    const Case cases[] = {
        {"raw", {rfb::Encoding::kRaw}},
        {"hextile", {rfb::Encoding::kHextile}},
        {"zrle", {rfb::Encoding::kZrle}},
        {"default list", rfb::Options{}.encodings},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rfb::Options options;
        options.allow_insecure = true;
        options.encodings = c.encodings;
        const Session s = Run(options, "");
        EXPECT_EQ(s.failure, "");
        EXPECT_TRUE(s.matched) << s.mismatches << " pixels differ";
    }
}

TEST_F(X11vncTest, VncAuthenticationRightAndWrong) {
    char path[] = "/tmp/rfb-x11vnc-pw-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string line = "sesame\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
    StartX11vnc({"-passwdfile", path});

    rfb::Options options;
    options.allow_insecure = true;
    const Session right = Run(options, "sesame");
    EXPECT_EQ(right.failure, "");
    EXPECT_TRUE(right.matched) << right.mismatches << " pixels differ";

    const Session wrong = Run(options, "guess");
    EXPECT_NE(wrong.failure.find("authentication failed"), std::string::npos) << wrong.failure;

    // Without permission for plain sessions the core refuses before any password is sent.
    const Session refused = Run(rfb::Options{}, "sesame");
    EXPECT_NE(refused.failure.find("no encryption"), std::string::npos) << refused.failure;
    unlink(path);
}

}  // namespace
