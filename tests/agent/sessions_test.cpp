// talagent's sessions, run as a child process against the stand-in directory server of
// agent_fixture.h: which orders start x11vnc and with what command line, the limit, the question
// at the screen, the declines, and the refusal of a display that is gone.
#include "agent_fixture.h"

namespace agent_test {
namespace {

// Orders that do not parse never reach x11vnc (orders to other servers are control_link_test.cpp's
// table); well-formed ones start it (plain here: it connects out itself) with the session's
// right and the agent's password; one that cannot be started is declined.
TEST_F(AgentTest, StartsX11vncOnlyForWellFormedOrdersToItsServer) {
    WriteFile(dir_ / "vncpasswd", "secret\n");
    fs::copy_file(FAKE_X11VNC, dir_ / "x11vnc");
    Start(Words("--password-file " + dir_.string() + "/vncpasswd --x11vnc " + dir_.string() +
                "/x11vnc"));
    auto peer = Registered();
    ASSERT_TRUE(peer);
    // One order a line; the last, too long to keep and split across sends, is dropped whole.
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
    // The orders of older servers (control, anonymous) and of this one.
    peer->Send("connect 77\nconnect 78 " + server_ + "\nconnect 79 alice view\n" +
               "connect 80 - control\n");
    ASSERT_TRUE(Eventually([&] { return Started("x11vnc").size() == 4; }));
    const auto argv = [&](const std::string& id, bool view) {
        return Words("-display " + display_ + " -rfbport 0 -noxdamage -nopw -noprimary " +
                     "-once -timeout 30 -connect_or_exit repeater=ID:" + id + "+" + server_ +
                     (view ? " -viewonly" : "") + " -passwdfile " + (dir_ / "vncpasswd").string());
    };
    EXPECT_EQ(Started("x11vnc"), (std::vector{argv("77", false), argv("78", false),
                                              argv("79", true), argv("80", false)}));
    Stop();
    // x11vnc gone since the agent started: the order is declined at once.
    Start({"--x11vnc", (dir_ / "x11vnc").string()});
    peer = Registered();
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

// The question names the operator and the right; any answer but Allow declines the order (an
// order naming no proven operator never raises the question: control_link_test.cpp's table).
TEST_F(AgentTest, AsksFirstAndKeepsAnsweringPings) {
    const struct {
        std::string order;
        std::vector<std::string> env;  // the dialog's: its answer, how long it stays
        std::string question;
        bool started;  // whether x11vnc starts
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
    };
    for (const auto& [order, env, question, started] : cases) {
        SCOPED_TRACE(order + " " + env.back());
        for (const auto& entry : fs::directory_iterator(dir_))
            fs::remove(entry.path());
        Start({"--ask", "--ask-timeout", "1"}, env);
        auto peer = Registered();
        ASSERT_TRUE(peer);
        peer->Send("connect 9 " + order + "\n");
        ASSERT_TRUE(Eventually([&] { return Started("ask").size() == 1; }));
        if (env.back().starts_with("FAKE_ASK_SECONDS"))
            Sync(*peer);  // while the question is open
        EXPECT_EQ(Started("ask")[0],
                  (std::vector<std::string>{"-display", display_, "-center", "-title",
                                            "Remote support", "-buttons", "Allow:101,Deny:102",
                                            "-default", "Deny", "-timeout", "1", question}));
        if (started) {
            EXPECT_TRUE(Eventually([&] { return Started("x11vnc").size() == 1; }));
        } else {
            EXPECT_EQ(peer->Line(), "declined 9 denied\n");
        }
        Sync(*peer);
        EXPECT_EQ(Started("x11vnc").size(), started ? 1u : 0u);
        EXPECT_EQ(Started("ask").size(), 1u);
        Stop();
    }
}

// Plays the viewer of session `id` on `relay`, the connection the test accepted for the server:
// the ID block and RFB's version, then `hello`; if that is RFB 3.8, VeNCrypt's `subtype`, which
// must be the one offered, then TLS with the certificate in `pem` (none if empty). Returns the
// first `count` bytes said inside the TLS: empty when refused.
std::string ViewerHears(Peer& relay, const std::string& id, const std::string& hello,
                        uint32_t subtype, const fs::path& pem, std::size_t count) {
    const timeval wait{20, 0};
    setsockopt(relay.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    EXPECT_EQ(relay.Exactly(262),
              "ID:" + id + std::string(247 - id.size(), '\0') + "RFB 003.008\n");
    relay.Send(hello);
    if (hello != "RFB 003.008\n")
        return relay.UntilClosed();
    const std::string subtype_bytes = {0, 0, 1, static_cast<char>(subtype & 0xff)};
    EXPECT_EQ(relay.Exactly(2), "\x01\x13");  // VeNCrypt only
    relay.Send("\x13\0\x02"s);                // and its version 0.2
    EXPECT_EQ(relay.Exactly(8), "\0\x02\0\x01"s + subtype_bytes);
    relay.Send(subtype_bytes);
    if (relay.Exactly(1) != "\x01")
        return "";
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!pem.empty()) {
        SSL_CTX_use_certificate_chain_file(context, pem.c_str());
        SSL_CTX_use_PrivateKey_file(context, pem.c_str(), SSL_FILETYPE_PEM);
    }
    SSL* ssl = SSL_new(context);
    SSL_CTX_free(context);
    SSL_set_fd(ssl, relay.fd);
    std::string heard(count, '\0');
    std::size_t n = 0;
    // With TLS 1.3 the refusal of the client's certificate arrives after the handshake, at
    // the first read.
    if (SSL_connect(ssl) != 1 || SSL_read_ex(ssl, heard.data(), count, &n) != 1)
        n = 0;
    SSL_free(ssl);
    return heard.substr(0, n);
}

// Encrypted, the agent is the viewer's TLS server and starts x11vnc (plain, on a socket pair)
// only for a viewer with an operator's certificate from the deployment's CA that the CRL does not
// list. x11vnc is then asked for the security type that matches the viewer's subtype, and what
// it answers reaches the viewer; ending the agent ends x11vnc too.
TEST_F(AgentTest, StartsX11vncOnlyForAViewerWithTheCasCertificate) {
    const fs::path alice = Pki("ca/operators/alice.pem"), bob = Pki("ca/operators/bob.pem");
    const fs::path ca = Pki("ca/ca.pem");
    ASSERT_EQ(test_pki::Talpki("revoke ca bob"), 0);
    WriteFile(dir_ / "vncpasswd", "secret\n");
    server_pem_ = Pki("ca/servers/localhost.pem");
    const std::string rfb = "RFB 003.008\n", result_ok = "\0\0\0\0"s;
    const struct {
        std::string order;  // id and right
        std::string hello;
        fs::path pem;
        bool password;      // --password-file: X509Vnc, x11vnc's challenge
        std::string heard;  // empty: refused, and no x11vnc
    } rows[] = {
        {"31 alice control", rfb, {}, false, ""},
        {"32 alice control", rfb, Pki("ca/agents/pc-1.pem"), false, ""},  // not a client's
        {"33 alice control", rfb, Pki("other/operators/mallory.pem"), false, ""},
        {"34 bob control", rfb, bob, false, ""},  // revoked
        {"35 alice control", "GET / HTTP/1.1\r\n", alice, false, ""},
        {"36 alice control", rfb, alice, false, result_ok},
        {"37 alice view", rfb, alice, true, "challenge16bytes"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.order);
        for (const fs::path& file : Files("x11vnc"))
            fs::remove(file);
        std::vector<std::string> options = {"--cert", Pki("ca/agents/pc-1.pem"), "--ca", ca,
                                            "--crl",  Pki("ca/crl.pem")};
        if (row.password)
            options.insert(options.end(), {"--password-file", (dir_ / "vncpasswd").string()});
        Start(options, {"FAKE_X11VNC_SECONDS=30"});
        auto peer = Registered();
        ASSERT_TRUE(peer);
        peer->Send("connect " + row.order + "\n");
        auto relay = AcceptRaw();
        ASSERT_TRUE(relay);
        const std::string id = row.order.substr(0, 2);
        const uint32_t subtype = row.password ? 261 : 260;
        EXPECT_EQ(ViewerHears(*relay, id, row.hello, subtype, row.pem, row.heard.size() + 4),
                  row.heard);
        if (row.heard.empty()) {
            EXPECT_TRUE(LogHas("session " + id + " ended"));
            EXPECT_TRUE(Started("x11vnc").empty());
            Stop();
            continue;
        }
        const bool view = row.order.ends_with("view");
        EXPECT_EQ(
            Started("x11vnc"),
            std::vector<std::vector<std::string>>{Words(
                "-display " + display_ + " -rfbport 0 -noxdamage -nopw -noprimary -inetd -nonap" +
                (view ? " -viewonly" : "") +
                (row.password ? " -passwdfile " + (dir_ / "vncpasswd").string() : ""))});
        const std::string x11vnc = Files("x11vnc").at(0).extension().string().substr(1);
        Stop();
        EXPECT_TRUE(Eventually([&] { return kill(std::stoi(x11vnc), 0) != 0; }))
            << "x11vnc outlived the agent";
    }
}

}  // namespace
}  // namespace agent_test
