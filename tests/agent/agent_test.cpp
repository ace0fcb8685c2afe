// talagent's control connection and start-up, run as a child process against the stand-in
// directory server of agent_fixture.h: keys, back-off, refusals, TLS, a bad set-up, and the
// checks of its certificate.
#include <ctime>

#include "agent/certificate.h"
#include "agent_fixture.h"

namespace agent_test {
namespace {

// A private key and a self-signed certificate for `name`, valid from now for two days, made by
// the openssl program as talpki does: {key PEM, certificate PEM}. Encrypted with "x" if asked.
std::pair<std::string, std::string> MakeCertificate(const fs::path& dir, const std::string& name,
                                                    bool encrypted = false) {
    const fs::path key = dir / (name + ".key"), cert = dir / (name + ".crt");
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 " +
                                std::string(encrypted ? "-passout pass:x" : "-nodes") +
                                " -days 2 -subj /CN=" + name +
                                " -addext subjectAltName=DNS:" + name + " -keyout '" +
                                key.string() + "' -out '" + cert.string() + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return {ReadFile(key), ReadFile(cert)};
}

// The key (131 bytes of 0xAA) and message of RFC 4231's sixth HMAC-SHA256 test case.
const std::string kRfcKey(262, 'a');
constexpr const char* kRfcNonce = "Test Using Larger Than Block-Size Key - Hash Key First";
constexpr const char* kRfcHmac = "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54";

TEST_F(AgentTest, ProvesItsKeyAnswersPingsAndRegistersAgainAfterADrop) {
    WriteFile(dir_ / "key",
              "# agent keys\nother-pc " + std::string(64, 'b') + "\npc-1 " + kRfcKey + "\n");
    Start({"--key-file", (dir_ / "key").string()});
    auto peer = Accept();
    ASSERT_TRUE(peer);
    peer->Send("challenge "s + kRfcNonce + "\n");
    EXPECT_EQ(peer->Line(), "proof "s + kRfcHmac + "\n");
    peer->Send("registered\n");
    EXPECT_TRUE(LogHas("registered as pc-1 (key proven)"));
    // Several pings in one packet, one split across two, a CR before the LF.
    peer->Send("ping\nping\r\npi");
    peer->Send("ng\n");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(peer->Line(), "pong\n") << i;
    pollfd more{peer->fd, POLLIN, 0};
    EXPECT_EQ(poll(&more, 1, 200), 0) << "a fourth pong";

    // Dropped: the agent comes back by itself, nothing of the last connection left over.
    peer.reset();
    peer = Accept();
    ASSERT_TRUE(peer);
    peer->Send("challenge "s + kRfcNonce + "\n");
    EXPECT_EQ(peer->Line(), "proof "s + kRfcHmac + "\n");
}

// A server that is busy for now is tried again, after waits that grow to a cap.
TEST_F(AgentTest, RetriesABusyServerWithGrowingCappedBackOff) {
    Start({"--retry-min", "0.2", "--retry-max", "0.8"});
    std::vector<Clock::time_point> accepted;
    for (int i = 0; i < 5; ++i) {
        auto peer = Accept();
        ASSERT_TRUE(peer) << "no connection " << i;
        accepted.push_back(Clock::now());
        if (i == 0)
            peer->Send("refused busy: 5000 agents\n");  // the others are dropped
    }
    EXPECT_TRUE(LogHas("refused for now: busy: 5000 agents"));
    // Each wait is drawn from the upper half of 0.2, 0.4, 0.8, 0.8 s (never below --retry-min),
    // as logged; the agent really waits that long before it connects again.
    const double lowest[] = {0.2, 0.2, 0.4, 0.4}, highest[] = {0.2, 0.4, 0.8, 0.8};
    const std::string log = Log(), mark = "connecting again in ";
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < accepted.size(); ++i) {
        at = log.find(mark, at);
        ASSERT_NE(at, std::string::npos) << "wait " << i;
        at += mark.size();
        const double wait = std::stod(log.substr(at));
        EXPECT_GE(wait, lowest[i]) << "wait " << i;
        EXPECT_LE(wait, highest[i]) << "wait " << i;
        const std::chrono::duration<double> gap = accepted[i + 1] - accepted[i];
        EXPECT_GE(gap.count(), wait - 0.05) << "wait " << i;
    }
    Stop();
}

TEST_F(AgentTest, RefusalsForGoodEndTheAgent) {
    // The reply to "register", whether the agent has a key file, what it logs.
    const std::tuple<std::string, bool, std::string> cases[] = {
        {"refused unknown name\n", false, "refused pc-1 for good: unknown name"},
        {"challenge 1234\n", false, "no --key-file"},
        {"challenge 1234\nrefused wrong key\n", true, "for good: wrong key"},
        {"refused\n", false, "(no reason given)"},
        {"refused tls-required\n", false, "only over TLS"},
    };
    WriteFile(dir_ / "key", std::string(64, 'c') + "\n", fs::perms::owner_read);
    for (const auto& [reply, key, log] : cases) {
        SCOPED_TRACE(reply);
        fs::remove(dir_ / "log");
        Start(Words(key ? "--key-file " + (dir_ / "key").string() : ""));
        auto peer = Accept();
        ASSERT_TRUE(peer);
        peer->Send(reply);
        EXPECT_TRUE(LogHas(log));
        EXPECT_EQ(Wait(), 3);
    }
}

// The agent speaks the line protocol only to a server whose certificate the deployment's CA
// issued for the --server host, IP address or DNS name: any other gets nothing but the TLS
// handshake, and the agent tries again. With a key file, it also drops a server that lists it
// without asking for the key.
TEST_F(AgentTest, SpeaksOnlyToTheServerItsCaVouchesFor) {
    WriteFile(dir_ / "key", std::string(64, 'c') + "\n");
    server_pem_ = Pki("ca/servers/localhost.pem");
    const std::string tls =
        "--cert " + Pki("ca/agents/pc-1.pem").string() + " --ca " + Pki("ca/ca.pem").string();
    Start(Words(tls + " --key-file " + (dir_ / "key").string()));
    // The server's key and certificate; empty: a server that speaks no TLS.
    for (const fs::path& pem : {Pki("other/servers/localhost.pem"),
                                Pki("ca/servers/elsewhere.example.pem"), fs::path()}) {
        SCOPED_TRACE(pem.string());
        auto peer = AcceptRaw();
        ASSERT_TRUE(peer);
        if (pem.empty()) {
            EXPECT_EQ(peer->Exactly(1), "\x16");  // a TLS handshake record
            peer->Client::Send("challenge 1234\n");
            EXPECT_EQ(peer->UntilClosed().find("register"), std::string::npos);
        } else {
            EXPECT_FALSE(peer->Tls(pem));
            EXPECT_EQ(peer->Line(), "");
        }
    }
    auto peer = Accept();
    ASSERT_TRUE(peer);
    peer->Send("registered\n");
    EXPECT_EQ(peer->Line(), "");  // dropped
    peer = Accept();
    ASSERT_TRUE(peer);
    peer->Send("challenge 1234\n");
    EXPECT_TRUE(peer->Line().starts_with("proof "));
    peer->Send("registered\n");
    EXPECT_TRUE(LogHas("registered as pc-1 (key proven)"));
    Stop();

    // The server named by DNS name, as its certificate holds it.
    Start(Words(tls + " --server localhost:" + server_.substr(server_.find(':') + 1)));
    EXPECT_TRUE(Accept());
}

TEST_F(AgentTest, RefusesABadSetUpWithAMessage) {
    const auto secret = fs::perms::owner_read | fs::perms::owner_write;
    WriteFile(dir_ / "open-key", std::string(64, 'd'), secret | fs::perms::group_read);
    WriteFile(dir_ / "short-key", std::string(62, 'd'));
    WriteFile(dir_ / "other-key", "other-pc " + std::string(64, 'd'));
    WriteFile(dir_ / "cert-only.pem", "-----BEGIN CERTIFICATE-----\n");
    // Arguments split at blanks; nothing here finds an x11vnc on PATH unless it is named.
    const std::string base = "--server " + server_ + " --name a ", open = base + "--insecure ",
                      fake = open + "--x11vnc " FAKE_X11VNC " ", d = dir_.string() + "/",
                      ca = Pki("ca/ca.pem"),
                      certified = "--server " + server_ + " --name pc-1 --x11vnc " FAKE_X11VNC +
                                  " --cert " + Pki("ca/agents/pc-1.pem").string() + " ";
    const std::tuple<std::string, int, std::string> cases[] = {
        {"", 2, "--server HOST:PORT is required"},
        {"--server " + server_, 2, "--name NAME is required"},
        {base, 2, "give --cert FILE"},
        {open + "--cert x", 2, "--insecure excludes"},
        {base + "--cert x", 2, "--cert needs --ca"},
        {open + "--display remote:0", 2, "local display"},
        {open + "--max-sessions 0", 2, "1 to 64"},
        {open + "--frobnicate", 2, "unknown argument"},
        {open, 1, "x11vnc is not on PATH"},
        {open + "--x11vnc /nonexistent", 1, "not an executable program"},
        {fake + "--key-file " + d + "missing", 1, "cannot open"},
        {fake + "--key-file " + d + "open-key", 1, "chmod 600"},
        {fake + "--key-file " + d + "short-key", 1, "for 32 to 512 bytes"},
        {fake + "--key-file " + d + "other-key", 1, "no line holds a key for 'a'"},
        {certified + "--ca " + d + "missing", 1, "--ca: cannot read"},
        {certified + "--ca " + d + "cert-only.pem", 1, "no certificate in it"},
        {certified + "--ca " + ca + " --crl " + ca, 1, "not a revocation list"},
        {fake + "--ask --ask-program /nonexistent", 1, "--ask-program"},
        {fake + "--display :" + std::to_string(display_number_ + 10000), 1,
         "no X server answers on display"},
    };
    for (const auto& [args, status, message] : cases) {
        SCOPED_TRACE(message);
        fs::remove(dir_ / "log");
        pid_ = Spawn(Words(args), {"PATH=/nonexistent"});
        EXPECT_EQ(Wait(), status);
        EXPECT_NE(Log().find(message), std::string::npos) << Log();
    }
    pid_ = Spawn({"--help"});
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(ReadFile(dir_ / "out").find("Usage: talagent"), std::string::npos);
}

// What the agent says of its --cert file before serving, at times around its two days.
TEST(AgentCertificate, RefusesAFileThatCannotServeAndWarnsOfOneViewersWillRefuse) {
    const fs::path dir = fs::path(testing::TempDir()) / "agent-certificates";
    fs::create_directories(dir);
    const auto [key, cert] = MakeCertificate(dir, "pc-1");
    const auto [other_key, other_cert] = MakeCertificate(dir, "pc-2");
    const auto [locked_key, locked_cert] = MakeCertificate(dir, "pc-3", true);
    const std::time_t now = std::time(nullptr), day = 24 * 3600;
    // The file, the --name, the time, parts of the error and of the warning expected (or none).
    const std::tuple<std::string, std::string, std::time_t, std::string, std::string> cases[] = {
        {cert + key, "pc-1", now + day, "", ""},
        // Listed names are bytes: a certificate for pc-1 is not for PC-1.
        {key + cert, "PC-1", now, "", "the certificate is not for 'PC-1'"},
        {key + cert, "pc 1", now, "cannot serve --name 'pc 1'", ""},
        {key + cert, "pc-1", now + 3 * day, "", "the certificate expired on"},
        {key + cert, "pc-1", now - day, "", "valid only from"},
        {other_key + cert, "pc-1", now, "not its certificate's", ""},
        {locked_key + locked_cert, "pc-3", now, "unencrypted", ""},
        {cert, "pc-1", now, "does not hold both", ""},
    };
    for (const auto& [pem, name, at, error, warning] : cases) {
        SCOPED_TRACE(name + ": " + error + warning);
        const talagent::CertificateCheck check = talagent::CheckCertificate(pem, name, at);
        EXPECT_NE(check.error.find(error), std::string::npos) << check.error;
        EXPECT_EQ(check.error.empty(), error.empty()) << check.error;
        ASSERT_EQ(check.warnings.size(), warning.empty() ? 0u : 1u);
        if (!warning.empty()) {
            EXPECT_NE(check.warnings[0].find(warning), std::string::npos) << check.warnings[0];
        }
    }
}

}  // namespace
}  // namespace agent_test
