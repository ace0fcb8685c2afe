// The directory-server binary with talpki's certificates, made at test time. Operators proving
// who they are: the access file's verdict, the per-operator limit, no order for a refused viewer.
// Agents' control connections in TLS, checked by an OpenSSL client as talagent
// checks them: the key's proof, the order and its answer inside TLS; plain agents refused by a
// --cert server; a silent handshake closed in time.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include "common/operator_proof.h"
#include "common/test_pki.h"
#include "fixture.h"

namespace {

using namespace std::literals;
using namespace dirsrv_test;
using test_pki::Pki;
namespace fs = std::filesystem;

// An agent's control connection in TLS, the server's certificate checked against the CA and the
// address 127.0.0.1 (as its subjectAltName holds it). Blocking, each read bounded by 10 s.
struct TlsAgent : Client {
    TlsAgent(int port, const fs::path& ca) : Client(port) {
        const timeval bound{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(context, ca.c_str(), nullptr);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        ssl = SSL_new(context);
        SSL_CTX_free(context);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
        SSL_set_fd(ssl, fd);
        connected = SSL_connect(ssl) == 1;
    }
    ~TlsAgent() { SSL_free(ssl); }
    bool Send(const std::string& bytes) {
        return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
    }
    // The next line with its LF (everything until the server ends the connection, when not
    // `line`), or what came of it before the end.
    std::string Read(bool line) {
        std::string all;
        for (char byte = 0; !(line && all.ends_with('\n')) && SSL_read(ssl, &byte, 1) == 1;)
            all += byte;
        return all;
    }
    SSL* ssl = nullptr;
    bool connected = false;
};

class Operators : public DirectoryServer {
protected:
    // The certificate and key of operator `who`: alice, bob and carol (revoked) of this
    // deployment, mallory of another.
    static std::string Pem(const std::string& who) {
        return test_pki::Pem((who == "mallory" ? "other" : "ca") + "/operators/"s + who + ".pem");
    }
    // Made before any server starts: a key made mid-test takes long enough for a waiting
    // connection to time out.
    static void SetUpTestSuite() {
        for (const char* who : {"alice", "bob", "carol", "mallory"})
            Pem(who);
        Pki("ca/crl.pem");
    }

    void StartChecking(const std::string& access, const std::string& args = "") {
        WriteFile(dir_ / "access", access);
        Start("", "--operators-ca " + Pki("ca/ca.pem").string() + " --crl " +
                      Pki("ca/crl.pem").string() + " --access access " + args);
    }
    // Sends "view MACHINE" and answers the challenge as `who` would, signing `signed_name` (and
    // a nonce other than the one sent, when `other_nonce`). Returns the challenge's nonce.
    std::string View(Client& viewer, const std::string& machine, const std::string& who,
                     const std::string& signed_name, bool other_nonce = false) {
        viewer.Send("view " + machine + "\n");
        const std::string challenge = viewer.Line();
        EXPECT_TRUE(challenge.starts_with("challenge ") && challenge.size() == 75) << challenge;
        std::string nonce = challenge.substr(10, 64);
        if (other_nonce)
            nonce[0] = nonce[0] == '0' ? '1' : '0';
        const std::string pem = Pem(who);
        viewer.Send(opproof::FormatAnswer({opproof::CertificateDer(pem).value(),
                                           opproof::Sign(pem, signed_name, nonce).value()}));
        return nonce;
    }
    // The agent's next line is its order for a session, naming the operator and their right;
    // the session joins, the viewer is paired.
    void ExpectPaired(Client& viewer, Client& agent, const std::string& who_and_right) {
        Join(viewer, OrderedId(agent, who_and_right));
    }
    // Nothing was ordered on the agent's connection: the next thing on it answers this request.
    void ExpectNoOrder(Client& agent, const std::string& list) {
        EXPECT_TRUE(agent.Send("server"));
        EXPECT_EQ(agent.Recv(), list);
    }
};

TEST_F(Operators, OnlyAProvenOperatorAllowedTheMachineGetsASession) {
    StartChecking(
        "# who        machines   right\nalice        pc-*       control\n"
        "bob          pc-1       view\nbob pc-2\n",
        "--auth-timeout 1");
    auto pc1 = Register("pc-1");
    auto pc2 = Register("pc-2");
    const std::string list = "00ok|pc-1|pc-2";

    struct Case {
        const char* what;
        std::string machine, who, signed_name;
        bool other_nonce = false;
        std::string reply;  // all the viewer gets after its challenge; the right for a session
    };
    for (const Case& c : std::vector<Case>{
             {"alice, allowed every pc-*", "pc-2", "alice", "pc-2", false, "control"},
             {"bob, allowed to view pc-1", "pc-1", "bob", "pc-1", false, "view"},
             {"bob, not allowed pc-2", "pc-2", "bob", "pc-2", false, "error forbidden\n"},
             {"carol, revoked", "pc-1", "carol", "pc-1", false, "error not-authorized\n"},
             {"mallory, from another CA", "pc-1", "mallory", "pc-1", false,
              "error not-authorized\n"},
             {"alice's proof for another machine", "pc-1", "alice", "pc-2", false,
              "error not-authorized\n"},
             {"alice's proof for another nonce", "pc-1", "alice", "pc-1", true,
              "error not-authorized\n"},
         }) {
        Client viewer(port_);
        View(viewer, c.machine, c.who, c.signed_name, c.other_nonce);
        Client& agent = c.machine == "pc-1" ? *pc1 : *pc2;
        if (!c.reply.starts_with("error ")) {
            ExpectPaired(viewer, agent, c.who + " " + c.reply);
        } else {
            EXPECT_EQ(viewer.UntilClosed(), c.reply) << c.what;
            ExpectNoOrder(agent, list);
        }
    }
    EXPECT_TRUE(LogHas("session with \"pc-1\" by operator bob (view) ended"));
    // Anonymous viewers: ignoring the challenge, no proof, an endless line, silent until timeout.
    for (const auto& [sent, reply] : std::vector<std::pair<std::string, std::string>>{
             {"RFB 003.008\n", ""},
             {"operator Zm9v Zm9v\n", "error not-authorized\n"},
             {"operator " + std::string(9000, 'A'), ""},
             {"", "error not-authorized\n"}}) {
        Client viewer(port_);
        viewer.Send("view pc-1\n");
        EXPECT_TRUE(viewer.Line().starts_with("challenge "));
        if (!sent.empty())
            viewer.Send(sent);
        EXPECT_EQ(viewer.UntilClosed(), reply) << sent.substr(0, 20);
    }
    ExpectNoOrder(*pc1, list);
    // The access file is re-read: bob may control pc-2 now.
    WriteFile(dir_ / "access", "bob pc-2 control\n");
    EXPECT_TRUE(LogHas("access file access re-read: 1 rule"));
    Client viewer(port_);
    View(viewer, "pc-2", "bob", "pc-2");
    ExpectPaired(viewer, *pc2, "bob control");
}

TEST_F(Operators, KeepsEachOperatorWithinTheirSessionLimit) {
    StartChecking("* * control\n", "--max-operator-sessions 2");
    auto agent = Register("pc-1");
    Client first(port_), second(port_), third(port_), other(port_);
    for (Client* viewer : {&first, &second}) {
        View(*viewer, "pc-1", "alice", "pc-1");
        EXPECT_TRUE(agent->Line().starts_with("connect "));  // waiting for the agent
    }
    View(third, "pc-1", "alice", "pc-1");
    EXPECT_EQ(third.UntilClosed(), "error busy\n");
    View(other, "pc-1", "bob", "pc-1");
    EXPECT_TRUE(agent->Line().starts_with("connect ")) << "another operator is not held up";
    // A session that ends gives its place back.
    first.Close();
    EXPECT_TRUE(LogHas("withdrawn"));
    Client again(port_);
    View(again, "pc-1", "alice", "pc-1");
    EXPECT_TRUE(agent->Line().starts_with("connect "));
}

// As the package starts it before the administrator has made a CA: machines are listed, and
// no viewer gets a session (nor a challenge).
TEST_F(Operators, AServerWithoutItsCaFileListsMachinesButRefusesEveryView) {
    Start("pc-1\n", "--operators-ca missing.pem");
    EXPECT_EQ(Query(), "00ok|pc-1");
    EXPECT_EQ(Answer("view pc-1\n"), "error not-authorized\n");
}

// The audit file's lines as Python's json module reads them: per line the event, operator,
// machine (in hex when it is not UTF-8), verdict, transport and bytes to the viewer.
std::string AuditEvents(const fs::path& file) {
    const fs::path out = fs::path(file) += ".read";
    const std::string script =
        "import json, sys\n"
        "for line in open(sys.argv[1], encoding='ascii'):\n"
        "    r = json.loads(line)\n"
        "    assert r['time'].endswith('Z') and line.endswith('}\\n')\n"
        "    print(*(str(r.get(k, '')) for k in ('event', 'operator', 'machine_hex', 'machine',\n"
        "          'verdict', 'transport', 'bytes_to_viewer')), sep='|')\n";
    const std::string command =
        "python3 -c \"" + script + "\" " + file.string() + " > " + out.string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(out);
    return ReadFile(out);
}

TEST_F(Operators, WritesOneJsonLinePerEventToTheAuditFileAndAnotherAfterSighup) {
    StartChecking("alice * control\n", "--audit audit.jsonl");
    const std::string euc_kr = "pc-\xb0\xa1";  // not UTF-8: its bytes go in hex beside it
    auto agent = Register(euc_kr);
    {
        Client viewer(port_);
        View(viewer, euc_kr, "alice", euc_kr);
        ExpectPaired(viewer, *agent, "alice control");  // and the agent's side closes
        EXPECT_EQ(viewer.UntilClosed(), "");
    }
    for (const std::string who : {"mallory", "bob"}) {
        Client viewer(port_);
        View(viewer, euc_kr, who, euc_kr);
        EXPECT_TRUE(viewer.UntilClosed().starts_with("error ")) << who;
    }
    // logrotate moves the file and sends SIGHUP: the next record starts a new file.
    fs::rename(dir_ / "audit.jsonl", dir_ / "audit.jsonl.1");
    kill(pid_, SIGHUP);
    EXPECT_TRUE(LogHas("audit file audit.jsonl opened again"));
    Register("pc-2");
    EXPECT_EQ(AuditEvents(dir_ / "audit.jsonl.1"),
              "agent-registered||70632db0a1|pc-\u00b0\u00a1||plain|\n"
              "session-start|alice|70632db0a1|pc-\u00b0\u00a1|||\n"
              "session-end|alice|70632db0a1|pc-\u00b0\u00a1|||12\n"
              "operator-refused|mallory|70632db0a1|pc-\u00b0\u00a1|not-authorized||\n"
              "operator-refused|bob|70632db0a1|pc-\u00b0\u00a1|forbidden||\n");
    EXPECT_EQ(AuditEvents(dir_ / "audit.jsonl"), "agent-registered|||pc-2||plain|\n");
}

// Exit 2 for a bad command line, 1 for a busy port or a file it cannot use.
TEST_F(Operators, RefusesToStartOnABadCommandLineABusyPortOrFilesItCannotUse) {
    Start("");
    WriteFile(dir_ / "not-a-ca.pem", ReadFile(Pki("ca/operators/alice.crt")));
    const std::string ca = "--listen 127.0.0.1:0 --operators-ca " + Pki("ca/ca.pem").string();
    for (const auto& [args, status] : std::vector<std::pair<std::string, int>>{
             {"--listen", 2},
             {"--listen localhost:80", 2},
             {"--listen 127.0.0.1:65536", 2},
             {"--ping-interval 5 --agent-timeout 5", 2},
             {"extra", 2},
             {"--listen 127.0.0.1:" + std::to_string(port_), 1},
             {"--listen 127.0.0.1:0 --agent-keys missing", 1},
             {"--listen 127.0.0.1:0 --operators-ca not-a-ca.pem", 1},
             {"--listen 127.0.0.1:0 --cert missing.pem", 1},
             {"--listen 127.0.0.1:0 --cert not-a-ca.pem", 1},  // a certificate without its key
             {ca + " --crl " + Pki("other/crl.pem").string(), 1},
             {ca + " --access missing", 1}})
        EXPECT_EQ(WaitExit(Spawn(args, "other.log")), status) << args;
}

using Tls = Operators;

TEST_F(Tls, AnAgentRegistersAndTakesOrdersInTlsOnlyWhenTheServerHasACertificate) {
    WriteFile(dir_ / "keys", "pc " + std::string(64, 'a') + "\n");
    Start("", "--cert " + Pki("ca/servers/localhost.pem").string() +
                  " --agent-keys keys --auth-timeout 0.5 --audit audit");
    // The key's proof runs inside TLS.
    TlsAgent agent(port_, Pki("ca/ca.pem"));
    ASSERT_TRUE(agent.connected);
    agent.Send("register pc\n");
    const std::string challenge = agent.Read(true);
    ASSERT_TRUE(challenge.starts_with("challenge ")) << challenge;
    agent.Send("proof " + Proof(std::string(64, 'a'), challenge.substr(10, 64)) + "\n");
    EXPECT_EQ(agent.Read(true), "registered\n");
    EXPECT_NE(ReadFile(dir_ / "audit").find(R"("machine":"pc","address":"127.0.0.1:)"),
              std::string::npos);
    EXPECT_TRUE(ReadFile(dir_ / "audit")
                    .ends_with(R"("transport":"tls"})"
                               "\n"));
    EXPECT_EQ(Query(), "00ok|pc");  // launchers stay plain
    // The order and its answer cross inside TLS.
    Client viewer(port_);
    viewer.Send("view pc\n");
    const std::string order = agent.Read(true);
    ASSERT_TRUE(order.starts_with("connect ") && order.ends_with(" - control\n")) << order;
    agent.Send("declined " + order.substr(8, 19) + " denied\n");
    EXPECT_EQ(viewer.UntilClosed(), "error denied\n");
    // A plain agent is told to use TLS; TLS carries nothing but the control connection; a
    // handshake that never comes ends within --auth-timeout.
    EXPECT_EQ(Answer("register other\n"), "refused tls-required\n");
    TlsAgent session(port_, Pki("ca/ca.pem"));
    ASSERT_TRUE(session.connected);
    session.Send("view pc\n");
    EXPECT_EQ(session.Read(false), "");
    EXPECT_EQ(Answer("\x16\x03\x01"), "");
    EXPECT_TRUE(LogHas("no TLS handshake within 0.5 s"));
    EXPECT_EQ(Query(), "00ok|pc");  // the agent is still registered
}

}  // namespace
