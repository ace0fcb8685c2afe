// The RFB core against the real x11vnc serving a known picture on a private Xvfb: a blocking socket
// driver feeds the core until its framebuffer shows the picture, for each encoding and each
// security type the agent sets up, with OpenSSL doing the TLS as a front end does (talpki's CA, the
// name).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "rfb/jpeg.h"
#include "rfb_stream.h"
#include "support/loopback.h"

#include <openssl/ssl.h>

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kCursorBox = 24;  // half-size of the area around the centre left out of comparisons
constexpr const char* kMachineName = "demo-machine";  // the agent certificate's name
constexpr const char* kClosed = "connection closed, or 20 s without data";

// SIGTERM, then SIGKILL: x11vnc now and then ignores SIGTERM while it tears a client down. Xvfb
// is not our child (scripts/xvfb.sh starts it): it is not waited for.
void Stop(pid_t pid) {
    if (pid > 0 && kill(pid, SIGTERM) == 0 && !wire_test::Eventually([&] {
            return waitpid(pid, nullptr, WNOHANG) == pid || kill(pid, 0) != 0;
        })) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// How a session through the driver ended.
struct Session {
    bool matched = false, encrypted = false;
    std::string failure;
    int mismatches = -1;
    double psnr = 0;  // dB, of the last update
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
        Stop(std::exchange(xvfb_, -1));
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
        SSL_CTX_free(tls_);
        std::error_code ignored;  // a directory left in /tmp fails no test
        std::filesystem::remove_all(dir_, ignored);
    }

    // x11vnc with a password ("" for none) and, with `tls`, the agent's options for encryption.
    void StartX11vnc(const std::string& password, bool tls) {
        Stop(std::exchange(x11vnc_, -1));
        const auto [listener, port] = wire_test::Listener();  // a free port, for x11vnc to take
        close(listener);
        port_ = port;
        std::vector<std::string> argv = {
            "x11vnc",     "-display", display_name_, "-rfbport",   std::to_string(port_),
            "-localhost", "-forever", "-shared",     "-noxdamage", "-quiet"};
        if (password.empty()) {
            argv.push_back("-nopw");
        } else {
            std::ofstream(dir_ + "/passwd") << password << "\n";
            argv.insert(argv.end(), {"-passwdfile", dir_ + "/passwd"});
        }
        if (tls && !tls_) {
            const std::string talpki = LAUNCHER_SOURCE_DIR "/tools/pki/talpki ";
            const std::string make = "(" + talpki + "ca --days 2 " + dir_ + " && " + talpki +
                                     "agent --days 2 " + dir_ + " " + kMachineName +
                                     ") >/dev/null 2>&1";
            EXPECT_EQ(std::system(make.c_str()), 0) << make;
            tls_ = SSL_CTX_new(TLS_client_method());
            SSL_CTX_set_verify(tls_, SSL_VERIFY_PEER, nullptr);
            EXPECT_EQ(SSL_CTX_load_verify_locations(tls_, (dir_ + "/ca.pem").c_str(), nullptr), 1);
        }
        if (tls) {
            argv.insert(argv.end(), {"-ssl", dir_ + "/agents/" + kMachineName + ".pem", "-env",
                                     "X11VNC_DISABLE_SSL_CLIENT_MODE=1", "-vencrypt", "nodh:only",
                                     "-anontls", "never"});
        }
        const std::string quiet = std::getenv("RFB_TEST_VERBOSE") ? "" : "/dev/null";  // =1: shown
        x11vnc_ = wire_test::Spawn(argv, {}, quiet, quiet);
    }

    // A blocking socket to x11vnc, once it listens; reads give up after 20 seconds.
    int Connect() const {
        for (int tries = 0; tries < 200; ++tries) {
            const int s = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in a{
                AF_INET, htons(static_cast<uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
            if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
                const timeval timeout{20, 0};
                setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
                return s;
            }
            close(s);
            usleep(100 * 1000);
        }
        return -1;
    }

    // Pixels of the client's framebuffer that differ from the picture, the pointer's box aside.
    static int Mismatches(const rfb::Framebuffer& fb) {
        if (fb.width != kWidth || fb.height != kHeight) {
            return -1;
        }
        int wrong = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                wrong += (std::abs(x - kWidth / 2) >= kCursorBox ||
                          std::abs(y - kHeight / 2) >= kCursorBox) &&
                         fb.At(x, y) != picture_.At(x, y);
            }
        }
        return wrong;
    }

    // Peak signal-to-noise ratio of the framebuffer against the picture, the pointer's box aside.
    static double Psnr(const rfb::Framebuffer& fb) {
        double squares = 0;
        int samples = 0;
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
        return squares == 0 ? 99 : 10 * std::log10(255.0 * 255 * samples / squares);
    }

    // Runs a session until the framebuffer shows the screen, the core fails, or the server goes
    // quiet or away. On StartTls the driver does TLS on the same socket.
    // With `min_psnr`, a lossy session ends once an update brings the screen that close.
    Session Run(rfb::Options options, const std::string& password, double min_psnr = 0) {
        Session result;
        const int s = Connect();
        if (s < 0) {
            result.failure = "could not connect to x11vnc";
            return result;
        }
        rfb::Client client(std::move(options));
        SSL* ssl = nullptr;
        std::vector<uint8_t> buffer(65536);
        while (result.failure.empty() && !result.matched) {
            const auto out = client.TakeOutput();
            const int n = static_cast<int>(out.size());
            const bool sent = n == 0 || (ssl ? SSL_write(ssl, out.data(), n)
                                             : send(s, out.data(), out.size(), MSG_NOSIGNAL)) == n;
            const int got = !sent ? -1
                            : ssl ? SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()))
                                  : static_cast<int>(recv(s, buffer.data(), buffer.size(), 0));
            if (got <= 0) {
                result.failure = kClosed;
                break;
            }
            client.Receive(std::span(buffer.data(), static_cast<std::size_t>(got)));
            while (auto e = client.PollEvent()) {
                if (std::holds_alternative<rfb::event::CredentialsNeeded>(*e)) {
                    client.SetPassword(password);
                } else if (std::holds_alternative<rfb::event::StartTls>(*e)) {
                    ssl = tls_ ? SSL_new(tls_) : nullptr;
                    if (!ssl || !SSL_set_fd(ssl, s) || !SSL_set1_host(ssl, kMachineName) ||
                        SSL_connect(ssl) != 1) {
                        result.failure = "TLS handshake failed";
                        break;
                    }
                    client.TlsEstablished();
                    result.encrypted = client.encrypted();
                } else if (const auto* f = std::get_if<rfb::event::Failed>(&*e)) {
                    result.failure = f->reason;
                } else if (std::holds_alternative<rfb::event::FramebufferUpdated>(*e)) {
                    result.mismatches = Mismatches(client.framebuffer());
                    result.psnr = Psnr(client.framebuffer());
                    result.matched =
                        min_psnr > 0 ? result.psnr >= min_psnr : result.mismatches == 0;
                }
            }
        }
        SSL_free(ssl);
        close(s);
        return result;
    }

    static inline const rfbtest::Image picture_ = rfbtest::MakeDesktop(kWidth, kHeight, 11);
    static inline pid_t xvfb_ = -1;
    static inline std::string display_name_;
    static inline Display* display_ = nullptr;
    pid_t x11vnc_ = -1;
    int port_ = 0;
    std::string dir_;
    SSL_CTX* tls_ = nullptr;  // trusts the test's CA only
};

// Raw, Hextile and Tight (lossless) forced by narrowing the core's encoding list, ZRLE by the
// default list; VNC authentication in the clear, VeNCrypt X509None without a password and X509Vnc
// with one.
TEST_F(X11vncTest, EachEncodingAndSecurityTypeShowsTheScreenPixelExact) {
    struct Case {
        rfb::Encoding encoding;  // the only one asked for; kZrle for the default list
        std::string password;
        bool tls;
    };
    for (const Case& c :
         {Case{rfb::Encoding::kRaw, "", false}, Case{rfb::Encoding::kHextile, "", false},
          Case{rfb::Encoding::kTight, "", false}, Case{rfb::Encoding::kZrle, "sesame", false},
          Case{rfb::Encoding::kZrle, "", true}, Case{rfb::Encoding::kZrle, "sesame", true}}) {
        SCOPED_TRACE("encoding " + std::to_string(static_cast<int>(c.encoding)) + ", password '" +
                     c.password + "'" + (c.tls ? ", TLS" : ""));
        StartX11vnc(c.password, c.tls);
        rfb::Options options;
        options.allow_insecure = !c.tls;
        if (c.encoding != rfb::Encoding::kZrle) {
            options.encodings = {c.encoding};
        }
        const Session right = Run(options, c.password);
        EXPECT_EQ(right.failure, "");
        EXPECT_EQ(right.encrypted, c.tls);
        EXPECT_TRUE(right.matched) << right.mismatches << " pixels differ";
        if (c.password.empty()) {
            continue;
        }
        // x11vnc's TLS bridge sometimes closes before its SecurityResult reaches the client, so a
        // wrong password shows as either; what matters is that the session does not start.
        const Session wrong = Run(options, "guess");
        EXPECT_FALSE(wrong.matched);
        EXPECT_TRUE(wrong.failure.find("authentication failed") != std::string::npos ||
                    (c.tls && wrong.failure == kClosed))
            << wrong.failure;
    }
}

// Tight with JPEG at quality 8 and 2: lossy, but close to the picture.
TEST_F(X11vncTest, TightJpegShowsTheScreenWithinItsQuality) {
    struct Case {
        int quality;
        double min_psnr;
    };
    StartX11vnc("", false);
    for (const Case& c : {Case{8, 35}, Case{2, 22}}) {
        SCOPED_TRACE("quality " + std::to_string(c.quality));
        rfb::Options options;
        options.allow_insecure = true;
        options.encodings = {rfb::Encoding::kTight};
        options.jpeg_quality = c.quality;
        options.jpeg = rfb::MakeJpegDecoder();
        const Session s = Run(options, "", c.min_psnr);
        EXPECT_EQ(s.failure, "");
        EXPECT_TRUE(s.matched) << s.psnr << " dB";
        EXPECT_GT(s.mismatches, 0) << "no JPEG was sent";
        std::printf("quality %d: %.1f dB\n", c.quality, s.psnr);
    }
}

}  // namespace
