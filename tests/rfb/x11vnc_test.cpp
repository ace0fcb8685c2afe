// The RFB core against the real x11vnc serving a known picture on a private Xvfb: driven over a
// socket until its framebuffer shows the picture, pixel-exact in each lossless encoding (also
// behind VNC authentication), and close to it with Tight's JPEG.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "real_server.h"
#include "rfb/jpeg.h"
#include "rfb_stream.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kCursorBox = 24;  // half-size of the area around the centre left out of comparisons
constexpr double kExact = 99;   // the PSNR of a framebuffer with no pixel wrong

// SIGTERM, then SIGKILL after a while: x11vnc now and then ignores SIGTERM while it tears a client
// down.
void Stop(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        wire_test::WaitExit(pid);
    }
}

// How a session ended: the core's failure, and how far its framebuffer was from the picture.
struct Session {
    std::string failure;
    double psnr = 0;  // dB
};

class X11vncTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The project's one way to start a private X server; it tells the display and the pid.
        const std::string start =
            "bash -c 'type -P Xvfb x11vnc >/dev/null && . " LAUNCHER_SOURCE_DIR
            "/scripts/xvfb.sh && xvfb_start " +
            std::to_string(kWidth) + "x" + std::to_string(kHeight) +
            "x24 && echo $DISPLAY $XVFB_PID'";
        if (FILE* xvfb = popen(start.c_str(), "r")) {
            char display[32] = "";
            if (fscanf(xvfb, "%31s %d", display, &xvfb_) == 2) {
                display_name_ = display;
                display_ = XOpenDisplay(display);
            }
            pclose(xvfb);
        }
        if (display_) {
            const Window root = DefaultRootWindow(display_);
            XImage* image = XGetImage(display_, root, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
            for (int y = 0; y < kHeight; ++y) {
                for (int x = 0; x < kWidth; ++x) {
                    XPutPixel(image, x, y, picture_.At(x, y) & 0xffffff);
                }
            }
            XPutImage(display_, root, DefaultGC(display_, DefaultScreen(display_)), image, 0, 0, 0,
                      0, kWidth, kHeight);
            XDestroyImage(image);
            XSync(display_, False);
        }
    }

    static void TearDownTestSuite() {
        if (display_) {
            XCloseDisplay(std::exchange(display_, nullptr));
        }
        if (xvfb_ > 0) {
            kill(std::exchange(xvfb_, -1), SIGTERM);  // not our child (scripts/xvfb.sh starts it)
        }
    }

    void SetUp() override {
        if (!display_) {
            GTEST_SKIP() << "Xvfb or x11vnc missing (scripts/deps session)";
        }
        char dir[] = "/tmp/rfb-x11vnc-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }

    void TearDown() override {
        Stop(x11vnc_);
        std::error_code ignored;  // a directory left in /tmp fails no test
        std::filesystem::remove_all(dir_, ignored);
    }

    // x11vnc with a password ("" for none).
    void StartX11vnc(const std::string& password) {
        Stop(std::exchange(x11vnc_, -1));
        port_ = rfbtest::FreePort();
        std::vector<std::string> argv = {
            "x11vnc",     "-display", display_name_, "-rfbport",   std::to_string(port_),
            "-localhost", "-forever", "-shared",     "-noxdamage", "-quiet"};
        if (password.empty()) {
            argv.push_back("-nopw");
        } else {
            std::ofstream(dir_ + "/passwd") << password << "\n";
            argv.insert(argv.end(), {"-passwdfile", dir_ + "/passwd"});
        }
        const std::string quiet = std::getenv("RFB_TEST_VERBOSE") ? "" : "/dev/null";  // =1: shown
        x11vnc_ = wire_test::Spawn(argv, {}, quiet, quiet);
    }

    // The framebuffer's peak signal-to-noise ratio against the picture (kExact when no pixel
    // differs), the pointer's box aside.
    static double Psnr(const rfb::Framebuffer& fb) {
        if (fb.width != kWidth || fb.height != kHeight) {
            return 0;
        }
        double squares = 0, samples = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (std::abs(x - kWidth / 2) < kCursorBox &&
                    std::abs(y - kHeight / 2) < kCursorBox) {
                    continue;
                }
                for (int shift : {0, 8, 16}) {
                    const int d = static_cast<int>((fb.At(x, y) >> shift) & 0xff) -
                                  static_cast<int>((picture_.At(x, y) >> shift) & 0xff);
                    squares += d * d;
                    ++samples;
                }
            }
        }
        return squares == 0 ? kExact : 10 * std::log10(255.0 * 255 * samples / squares);
    }

    // A session until the framebuffer is within `min_psnr` of the picture, the core fails, or
    // the server goes away or stays short of it.
    Session Run(rfb::Options options, const std::string& password, double min_psnr) {
        Session s;
        rfb::Client client(std::move(options));
        if (!password.empty()) {
            client.SetPassword(password);  // given ahead: answered without asking
        }
        const int fd = rfbtest::ConnectWhenListening(port_);
        s.failure = fd < 0 ? "x11vnc did not listen" : rfbtest::Drive(client, fd, [&] {
            return (s.psnr = Psnr(client.framebuffer())) >= min_psnr;
        });
        close(fd);
        return s;
    }

    static inline const rfbtest::Image picture_ = rfbtest::MakeDesktop(kWidth, kHeight, 11);
    static inline pid_t xvfb_ = -1;
    static inline std::string display_name_;
    static inline Display* display_ = nullptr;
    pid_t x11vnc_ = -1;
    int port_ = 0;
    std::string dir_;
};

// Raw, Hextile and Tight (lossless) forced by narrowing the core's encoding list, ZRLE by the
// default list behind VNC authentication; Tight's JPEG at quality 8, lossy but close.
TEST_F(X11vncTest, EachEncodingShowsTheScreen) {
    struct Case {
        rfb::Encoding encoding;  // the only one asked for; kZrle for the default list
        std::string password;
        std::optional<int> jpeg_quality = {};
        double min_psnr = kExact;
    };
    for (const Case& c : {Case{rfb::Encoding::kRaw, ""}, Case{rfb::Encoding::kHextile, ""},
                          Case{rfb::Encoding::kTight, ""}, Case{rfb::Encoding::kZrle, "sesame"},
                          Case{rfb::Encoding::kTight, "", 8, 35}}) {
        SCOPED_TRACE("encoding " + std::to_string(static_cast<int>(c.encoding)) + ", password '" +
                     c.password + "', JPEG quality " + std::to_string(c.jpeg_quality.value_or(-1)));
        StartX11vnc(c.password);
        rfb::Options options;
        options.allow_insecure = true;
        if (c.encoding != rfb::Encoding::kZrle) {
            options.encodings = {c.encoding};
        }
        if (c.jpeg_quality) {
            options.jpeg_quality = c.jpeg_quality;
            options.jpeg = rfb::MakeJpegDecoder();
        }
        const Session s = Run(options, c.password, c.min_psnr);
        EXPECT_EQ(s.failure, "") << s.psnr << " dB";
        EXPECT_EQ(s.psnr < kExact, c.jpeg_quality.has_value()) << "JPEG sent where asked for";
    }
}

}  // namespace
