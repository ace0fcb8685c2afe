// talagent's sessions, run as a child process against the stand-in directory server of
// agent_fixture.h: which orders start x11vnc and with what command line, the limit, the question
// at the screen, the declines, and the refusal of a display that is gone.
#include "agent_fixture.h"

namespace agent_test {
namespace {

// Orders that do not parse never reach x11vnc (orders to other servers are control_link_test.cpp's
// table); well-formed ones start it with the session's right and the agent's TLS, CA, CRL and
// password; one that cannot be started is declined.
TEST_F(AgentTest, StartsX11vncOnlyForWellFormedOrdersToItsServer) {
    WriteFile(dir_ / "vncpasswd", "secret\n");
    fs::copy_file(FAKE_X11VNC, dir_ / "x11vnc");
    const std::string cert = Pki("ca/agents/pc-1.pem"), ca = Pki("ca/ca.pem");
    server_pem_ = Pki("ca/servers/localhost.pem");
    for (const bool crl : {false, true}) {
        SCOPED_TRACE(crl ? "with --crl" : "without --crl");
        Start(Words("--cert " + cert + " --ca " + ca + " --password-file " + dir_.string() +
                    "/vncpasswd --x11vnc " + dir_.string() + "/x11vnc" +
                    (crl ? " --crl " + Pki("ca/crl.pem").string() : "")));
        auto peer = Registered();
        ASSERT_TRUE(peer);
        if (!crl) {
            // One order a line; the last, too long to keep and split across sends, is dropped
            // whole.
            const std::string hostile =
                "connect\nconnect abc\nconnect 12 $(reboot):5900\nconnect 12 a+b:5900"
                "\nconnect 12 -evil:5900\nconnect 12 evil-.example:5900\nconnect 12 127.0.0.1"
                "\nconnect 12 127.0.0.1:0\nconnect 12 127.0.0.1:65536\nconnect 12  127.0.0.1:5900"
                "\nconnect 12 1.2.3.4.5:5900\nconnect 123456789012345678901\nconnect\t12"
                "\nconnect 12 127.0.0.1\0"
                "1:5900\nconnect 12\0 x\nconnect 12 alice admin\nconnect 12 -alice view"
                "\nconnect 12 al:ce view\nconnect 12 alice view more\nconnect 12 alice"
                "\nCONNECT 12\nping now\nconnect 5 "s;
            peer->Send(hostile + std::string(300, 'a'));
            peer->Send(std::string(300, 'a') + ":5900\n");
            Sync(*peer);
            EXPECT_EQ(Count(Log(), "ignoring a line"), Count(hostile, "\n") + 1);
            EXPECT_TRUE(Started("x11vnc").empty());
        }
        // The orders of older servers (control, anonymous) and of this one.
        peer->Send("connect 77\nconnect 78 " + server_ + "\nconnect 79 alice view\n" +
                   "connect 80 - control\n");
        ASSERT_TRUE(Eventually([&] { return Started("x11vnc").size() == 4; }));
        const auto argv = [&](const std::string& id, bool view) {
            return Words("-display " + display_ +
                         " -rfbport 0 -once -timeout 30 -noxdamage -nopw -noprimary " +
                         "-connect_or_exit repeater=ID:" + id + "+" + server_ +
                         (view ? " -viewonly" : "") + " -ssl " + cert + " -sslverify " + ca +
                         (crl ? " -sslCRL " + Pki("ca/crl.pem").string() : "") +
                         " -env X11VNC_DISABLE_SSL_CLIENT_MODE=1 -env SSL_INIT_TIMEOUT=30" +
                         " -vencrypt nodh:only -anontls never -passwdfile " +
                         (dir_ / "vncpasswd").string());
        };
        EXPECT_EQ(Started("x11vnc"), (std::vector{argv("77", false), argv("78", false),
                                                  argv("79", true), argv("80", false)}));
        for (const fs::path& file : Files("x11vnc"))
            fs::remove(file);
        Stop();
    }
    // x11vnc gone since the agent started: the order is declined at once.
    server_pem_.clear();
    Start({"--x11vnc", (dir_ / "x11vnc").string()});
    auto peer = Registered();
    ASSERT_TRUE(peer);
    fs::remove(dir_ / "x11vnc");
    peer->Send("connect 81\n");
    EXPECT_EQ(peer->Line(), "declined 81 failed\n");
}

// Sessions at once are bounded and reaped; stopping the agent ends those still open.
TEST_F(AgentTest, BoundsSessionsReapsThemAndEndsThemWhenStopped) {
    Start({"--max-sessions", "2"}, {"FAKE_X11VNC_SECONDS=3"});
    auto peer = Registered();
    ASSERT_TRUE(peer);
    // A second order for an open session is ignored; one past the limit is declined.
    peer->Send("connect 1\nconnect 1\nconnect 2\nconnect 3\n");
    EXPECT_EQ(peer->Line(), "declined 3 busy\n");
    Sync(*peer);
    // Pings are answered while the sessions run; once they end, their places are free again.
    ASSERT_TRUE(LogHas("session 2 ended"));
    ASSERT_TRUE(LogHas("session 1 ended"));
    for (const fs::path& file : Files("x11vnc"))
        fs::remove(file);
    peer->Send("connect 4\nconnect 5\n");
    ASSERT_TRUE(Eventually([&] { return Started("x11vnc").size() == 2; }));
    Sync(*peer);  // and nothing declined
    // Stopped while 4 and 5 run: they end with it, and no x11vnc outlives it.
    Stop();
    EXPECT_TRUE(LogHas("session 5 ended: x11vnc ended by signal 15"));
    for (const fs::path& file : Files("x11vnc"))
        EXPECT_NE(kill(std::stoi(file.extension().string().substr(1)), 0), 0) << "x11vnc outlived";
}

// The X server went away after the agent started: each order is answered at once, in
// x11vnc's place, with an RFB refusal in the viewer's own version that says why.
TEST_F(AgentTest, TellsTheViewerAtOnceWhenItsDisplayIsGone) {
    Start({"--ask"});
    auto peer = Registered();
    ASSERT_TRUE(peer);
    close(std::exchange(x_server_, -1));
    const int relay = listener_;  // the session connection comes to the agent's server
    for (const auto& [version, no_types] :
         {std::pair{"RFB 003.008\n"s, "\0"s}, std::pair{"RFB 003.003\n"s, "\0\0\0\0"s}}) {
        SCOPED_TRACE(version);
        const std::string id = std::to_string(4700 + version[10]);
        peer->Send("connect " + id + " alice control\n");
        pollfd p{relay, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        Peer viewer(Peer::Adopt{accept4(relay, nullptr, nullptr, SOCK_CLOEXEC)});
        EXPECT_EQ(viewer.Exactly(262),
                  "ID:" + id + std::string(250 - 3 - id.size(), '\0') + "RFB 003.008\n");
        viewer.Send(version);
        EXPECT_EQ(viewer.Exactly(no_types.size()), no_types);
        const std::string length = viewer.Exactly(4);
        ASSERT_EQ(length.size(), 4u);
        const std::string reason = viewer.UntilClosed();
        EXPECT_EQ(reason.size(), static_cast<unsigned char>(length[3]) + 0u);
        EXPECT_NE(reason.find("no X server runs on display " + display_), std::string::npos);
        viewer.Close();
        EXPECT_TRUE(LogHas("session " + id + ": the viewer was told that the display is gone"));
    }
    EXPECT_TRUE(Started("ask").empty());
    EXPECT_TRUE(Started("x11vnc").empty());
}

// The question names the operator and the right; any answer but Allow declines the order, and
// an order naming no proven operator never raises the question.
TEST_F(AgentTest, AsksFirstAndKeepsAnsweringPings) {
    const struct {
        std::string order;
        std::vector<std::string> env;  // the dialog's: its answer, how long it stays
        std::string question;          // "": no dialog
        bool started;                  // whether x11vnc starts
    } cases[] = {
        {"alice control",
         {"FAKE_ASK_STATUS=101", "FAKE_ASK_SECONDS=1"},
         "alice wants to control this screen.",
         true},
        {"op@example.org view",
         {"FAKE_ASK_STATUS=102"},
         "op@example.org wants to see this screen.",
         false},
        // The dialog's own time-out (status 0), as a crash or a closed window, denies.
        {"alice view", {"FAKE_ASK_STATUS=0"}, "alice wants to see this screen.", false},
        // A dialog that outstays its own time-out is ended by the agent.
        {"alice view", {"FAKE_ASK_SECONDS=60"}, "alice wants to see this screen.", false},
        {"- control", {}, "", false},
        {"", {}, "", false},
    };
    for (const auto& [order, env, question, started] : cases) {
        SCOPED_TRACE(order + " " + (env.empty() ? "" : env.back()));
        for (const auto& entry : fs::directory_iterator(dir_))
            fs::remove(entry.path());
        Start({"--ask", "--ask-timeout", "1"}, env);
        auto peer = Registered();
        ASSERT_TRUE(peer);
        peer->Send("connect 9" + (order.empty() ? "" : " " + order) + "\n");
        if (!question.empty()) {
            ASSERT_TRUE(Eventually([&] { return Started("ask").size() == 1; }));
            if (env.back().starts_with("FAKE_ASK_SECONDS"))
                Sync(*peer);  // while the question is open
            EXPECT_EQ(Started("ask")[0],
                      (std::vector<std::string>{"-display", display_, "-center", "-title",
                                                "Remote support", "-buttons", "Allow:101,Deny:102",
                                                "-default", "Deny", "-timeout", "1", question}));
        }
        if (started) {
            EXPECT_TRUE(Eventually([&] { return Started("x11vnc").size() == 1; }));
        } else {
            EXPECT_EQ(peer->Line(), "declined 9 denied\n");
        }
        Sync(*peer);
        EXPECT_EQ(Started("x11vnc").size(), started ? 1u : 0u);
        EXPECT_EQ(Started("ask").size(), question.empty() ? 0u : 1u);
        Stop();
    }
}

// Speaks the viewer's side of x11vnc's session on `fd`, which the test accepted for the server:
// past the ID block and RFB's version to VeNCrypt's X509None, then TLS with the operator's
// certificate in `client_pem` (none if empty). True when x11vnc answers inside the TLS.
bool ViewerGetsIn(Peer& x11vnc, const std::string& id, const fs::path& client_pem) {
    const timeval wait{20, 0};
    setsockopt(x11vnc.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    EXPECT_EQ(x11vnc.Exactly(262),
              "ID:" + id + std::string(247 - id.size(), '\0') + "RFB 003.008\n");
    x11vnc.Send("RFB 003.008\n");
    EXPECT_EQ(x11vnc.Exactly(2), "\x01\x13");  // VeNCrypt only
    x11vnc.Send("\x13\0\x02"s);                // and its version 0.2
    EXPECT_EQ(x11vnc.Exactly(3), "\0\x02\0"s);
    const std::string subtypes = x11vnc.Exactly(1);
    x11vnc.Exactly(subtypes.empty() ? 0 : 4u * static_cast<std::uint8_t>(subtypes[0]));
    x11vnc.Send("\0\0\x01\x04"s);  // X509None
    if (x11vnc.Exactly(1) != "\x01")
        return false;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!client_pem.empty()) {
        SSL_CTX_use_certificate_chain_file(context, client_pem.c_str());
        SSL_CTX_use_PrivateKey_file(context, client_pem.c_str(), SSL_FILETYPE_PEM);
    }
    SSL* ssl = SSL_new(context);
    SSL_CTX_free(context);
    SSL_set_fd(ssl, x11vnc.fd);
    char result[4];
    // With TLS 1.3 the refusal of the client's certificate arrives after the handshake, at
    // the first read; the security result is the first thing x11vnc says inside.
    const bool in = SSL_connect(ssl) == 1 && SSL_read(ssl, result, 4) == 4;
    SSL_free(ssl);
    return in;
}

// The real x11vnc, started by the agent on a private Xvfb, lets in only a viewer with a
// certificate from the deployment's CA, whatever the relay does.
TEST_F(AgentTest, X11vncTakesOnlyAViewerWithTheCasCertificate) {
    std::string display;
    int xvfb = -1;
    if (FILE* start = popen("bash -c 'type -P Xvfb x11vnc >/dev/null && . " XVFB_SCRIPT
                            " && xvfb_start 320x240x24 && echo $DISPLAY $XVFB_PID'",
                            "r")) {
        char text[32] = "";
        if (fscanf(start, "%31s %d", text, &xvfb) == 2)
            display = text;
        pclose(start);
    }
    if (display.empty())
        GTEST_SKIP() << "needs Xvfb and x11vnc";
    server_pem_ = Pki("ca/servers/localhost.pem");
    Start({"--cert", Pki("ca/agents/pc-1.pem"), "--ca", Pki("ca/ca.pem"), "--x11vnc", "x11vnc",
           "--display", display});
    auto peer = Registered();
    // No certificate; a machine's certificate from the CA, which is not for clients; an
    // operator's.
    for (const auto& [id, pem, in] :
         {std::tuple{"31"s, fs::path(), false}, std::tuple{"32"s, Pki("ca/agents/pc-1.pem"), false},
          std::tuple{"33"s, Pki("ca/operators/alice.pem"), true}}) {
        SCOPED_TRACE(id);
        ASSERT_TRUE(peer);
        peer->Send("connect " + id + " alice control\n");
        auto x11vnc = AcceptRaw();
        ASSERT_TRUE(x11vnc);
        EXPECT_EQ(ViewerGetsIn(*x11vnc, id, pem), in);
    }
    Stop();
    kill(xvfb, SIGTERM);
}

}  // namespace
}  // namespace agent_test
