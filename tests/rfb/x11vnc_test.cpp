// The RFB core against the real x11vnc: a private Xvfb gets a known picture, x11vnc serves it on
// loopback, and a small blocking socket driver feeds the core until its framebuffer equals the X
// server's own image (read with XGetImage), away from the pointer in the centre. Each encoding is
// forced in turn by narrowing the core's encoding list; VNC authentication is tried right and
// wrong; VeNCrypt with a certificate from a CA made for the test, the TLS done by OpenSSL in the
// driver the way a front end does it (trusting only that CA, checking the machine's name).
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

#include <openssl/err.h>
#include <openssl/ssl.h>

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kCursorBox = 24;  // half-size of the area around the centre left out of comparisons
constexpr const char* kMachineName = "demo-machine";  // the agent certificate's name

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
        // RFB_TEST_VERBOSE=1 shows what the servers say.
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        if (!std::getenv("RFB_TEST_VERBOSE")) {
            dup2(null, 1);
            dup2(null, 2);
        }
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
    bool encrypted = false;
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
        char dir[] = "/tmp/rfb-x11vnc-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }

    void TearDown() override {
        Stop(x11vnc_);
        if (!dir_.empty()) {
            std::system(("rm -rf " + dir_).c_str());
        }
    }

    // A password file for x11vnc's -passwdfile in the test's directory.
    std::string PasswordFile(const std::string& password) const {
        const std::string path = dir_ + "/passwd";
        std::ofstream(path) << password << "\n";
        return path;
    }

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
    Session Run(rfb::Options options, const char* password, SSL_CTX* tls = nullptr) {
        Session result;
        const int s = Connect();
        if (s < 0) {
            result.failure = "could not connect to x11vnc";
            return result;
        }
        rfb::Client client(std::move(options));
        SSL* ssl = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::vector<uint8_t> buffer(65536);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto out = client.TakeOutput();
            if (!out.empty() && !Send(s, ssl, out)) {
                break;
            }
            // TLS may hold decrypted bytes the socket no longer shows.
            if (!(ssl && SSL_pending(ssl) > 0)) {
                pollfd p{s, POLLIN, 0};
                if (poll(&p, 1, 200) <= 0) {
                    continue;
                }
            }
            const ssize_t n = Recv(s, ssl, buffer);
            if (n == 0) {
                continue;  // a TLS record not yet whole
            }
            if (n < 0) {
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
                } else if (std::holds_alternative<rfb::event::StartTls>(*e)) {
                    ssl = tls ? StartTls(s, tls) : nullptr;
                    if (!ssl) {
                        result.failure = "TLS handshake failed";
                        break;
                    }
                    client.TlsEstablished();
                    result.encrypted = client.encrypted();
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
        if (ssl) {
            SSL_free(ssl);
        }
        close(s);
        return result;
    }

    // What a front end does on StartTls: the handshake on the same socket, trusting the
    // deployment CA only and checking the certificate against the machine's name.
    static SSL* StartTls(int s, SSL_CTX* ctx) {
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, s);
        SSL_set1_host(ssl, kMachineName);
        if (SSL_connect(ssl) != 1) {
            ERR_print_errors_fp(stderr);
            SSL_free(ssl);
            return nullptr;
        }
        // From now on reads must not block: poll decides when to read.
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        return ssl;
    }

    static bool Send(int s, SSL* ssl, const std::vector<uint8_t>& out) {
        std::size_t sent = 0;
        while (sent < out.size()) {
            const int n =
                ssl ? SSL_write(ssl, out.data() + sent, static_cast<int>(out.size() - sent))
                    : static_cast<int>(send(s, out.data() + sent, out.size() - sent, MSG_NOSIGNAL));
            if (n <= 0) {
                if (ssl && SSL_get_error(ssl, n) == SSL_ERROR_WANT_WRITE) {
                    continue;
                }
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Bytes read, 0 for none yet, -1 for the end of the connection.
    static ssize_t Recv(int s, SSL* ssl, std::vector<uint8_t>& buffer) {
        if (!ssl) {
            const ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
            return n > 0 ? n : -1;
        }
        const int n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
        if (n > 0) {
            return n;
        }
        const int error = SSL_get_error(ssl, n);
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
    }

    static inline pid_t xvfb_ = -1;
    static inline std::string display_name_;
    static inline Display* display_ = nullptr;
    pid_t x11vnc_ = -1;
    int port_ = 0;
    std::string dir_;
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
    StartX11vnc({"-passwdfile", PasswordFile("sesame")});
    rfb::Options options;
    options.allow_insecure = true;
    const Session right = Run(options, "sesame");
    EXPECT_EQ(right.failure, "");
    EXPECT_TRUE(right.matched) << right.mismatches << " pixels differ";

    const Session wrong = Run(options, "guess");
    EXPECT_NE(wrong.failure.find("authentication failed"), std::string::npos) << wrong.failure;
}

// A CA and an agent certificate for kMachineName, made with the openssl command as the
// deployment's script does, in the test's directory.
class X11vncTlsTest : public X11vncTest {
protected:
    void SetUp() override {
        X11vncTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        const std::string script =
            "cd " + dir_ +
            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2"
            " -subj /CN=test-ca"
            " && openssl req -newkey rsa:2048 -nodes -keyout agent.key -out agent.csr"
            " -subj /CN=" +
            std::string(kMachineName) + " && printf 'subjectAltName=DNS:" + kMachineName +
            "\\n' > ext"
            " && openssl x509 -req -in agent.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
            " -out agent.crt -days 2 -extfile ext"
            " && cat agent.key agent.crt > agent.pem";
        ASSERT_EQ(std::system(("(" + script + ") >/dev/null 2>&1").c_str()), 0) << script;
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        ASSERT_EQ(SSL_CTX_load_verify_locations(ctx_, (dir_ + "/ca.pem").c_str(), nullptr), 1);
    }
    void TearDown() override {
        X11vncTest::TearDown();
        if (ctx_) {
            SSL_CTX_free(ctx_);
        }
    }
    SSL_CTX* ctx_ = nullptr;
};

// x11vnc with the options the agent gives it for encryption, with no password (VeNCrypt
// X509None) and with one (X509Vnc); plain sessions are not allowed in the core.
TEST_F(X11vncTlsTest, VeNCryptWithTheDeploymentCa) {
    for (const std::string password : {"", "sesame"}) {
        SCOPED_TRACE("password '" + password + "'");
        Stop(std::exchange(x11vnc_, -1));
        std::vector<std::string> options = {
            "-ssl",      dir_ + "/agent.pem", "-env",     "X11VNC_DISABLE_SSL_CLIENT_MODE=1",
            "-vencrypt", "nodh:only",         "-anontls", "never"};
        if (password.empty()) {
            options.push_back("-nopw");
        } else {
            options.insert(options.end(), {"-passwdfile", PasswordFile(password)});
        }
        StartX11vnc(options);
        const Session right = Run(rfb::Options{}, password.c_str(), ctx_);
        EXPECT_EQ(right.failure, "");
        EXPECT_TRUE(right.encrypted);
        EXPECT_TRUE(right.matched) << right.mismatches << " pixels differ";
    }
    // x11vnc's TLS bridge sometimes closes before its SecurityResult reaches the client, so a
    // wrong password shows as either; what matters is that the session does not start.
    const Session wrong = Run(rfb::Options{}, "guess", ctx_);
    EXPECT_FALSE(wrong.matched);
    EXPECT_TRUE(wrong.failure.find("authentication failed") != std::string::npos ||
                wrong.failure == "connection closed")
        << wrong.failure;
}

}  // namespace
