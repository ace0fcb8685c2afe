// Agents' control connections in TLS to the directory-server binary, with a certificate talpki
// makes at test time and an OpenSSL client that checks it as talagent does: registering with
// the key's proof, the order and its answer inside TLS; plain agents refused by a --cert
// server, TLS ones by a server without; a silent handshake closed in time.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include "common/key_proof.h"
#include "fixture.h"

namespace {

using namespace std::literals;
using namespace dirsrv_test;
namespace fs = std::filesystem;

// An agent's control connection in TLS, the server's certificate checked against the CA and the
// address 127.0.0.1 (as its subjectAltName holds it). Blocking, each read bounded by 10 s.
class TlsAgent {
public:
    TlsAgent(int port, const fs::path& ca) : plain_(port) {
        const timeval bound{10, 0};
        setsockopt(plain_.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        context_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(context_, ca.c_str(), nullptr);
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        ssl_ = SSL_new(context_);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
        SSL_set_fd(ssl_, plain_.fd);
        connected_ = SSL_connect(ssl_) == 1;
    }
    ~TlsAgent() {
        SSL_free(ssl_);
        SSL_CTX_free(context_);
    }
    bool connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0;
    }
    // The next line with its LF, or what came of it before the end.
    std::string Line() {
        std::string line;
        for (char byte = 0; !line.ends_with('\n') && SSL_read(ssl_, &byte, 1) == 1;)
            line += byte;
        return line;
    }
    // Everything until the server ends the connection.
    std::string UntilClosed() {
        std::string all;
        for (char buffer[256]; const int n = SSL_read(ssl_, buffer, sizeof buffer);) {
            if (n < 0)
                break;
            all.append(buffer, static_cast<std::size_t>(n));
        }
        return all;
    }

private:
    Client plain_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    bool connected_ = false;
};

class Tls : public DirectoryServer {
protected:
    static void SetUpTestSuite() {
        fs::create_directories(pki_);
        for (const std::string& args :
             {"ca " + pki_.string(), "server " + pki_.string() + " localhost 127.0.0.1"}) {
            ASSERT_EQ(std::system(("sh " TALPKI_PATH " " + args + " 2>/dev/null").c_str()), 0)
                << args;
        }
    }
    static void TearDownTestSuite() { fs::remove_all(pki_); }

    static inline const fs::path pki_ =
        fs::temp_directory_path() / ("dirsrv-tls-" + std::to_string(getpid()));
    const fs::path ca_ = pki_ / "ca.pem";
};

TEST_F(Tls, AnAgentRegistersAndTakesOrdersInTlsOnlyWhenTheServerHasACertificate) {
    const std::string key(32, '\xAA');
    WriteFile(dir_ / "keys", "pc " + std::string(64, 'a') + "\n");
    Start("", "--cert " + (pki_ / "servers/localhost.pem").string() +
                  " --agent-keys keys --auth-timeout 0.5 --audit audit");
    // The key's proof runs inside TLS.
    TlsAgent agent(port_, ca_);
    ASSERT_TRUE(agent.connected());
    agent.Send("register pc\n");
    const std::string challenge = agent.Line();
    ASSERT_TRUE(challenge.starts_with("challenge ")) << challenge;
    agent.Send("proof " + keyproof::Proof(key, challenge.substr(10, 64)) + "\n");
    EXPECT_EQ(agent.Line(), "registered\n");
    EXPECT_NE(ReadFile(dir_ / "audit").find(R"("machine":"pc","address":"127.0.0.1:)"),
              std::string::npos);
    EXPECT_TRUE(ReadFile(dir_ / "audit")
                    .ends_with(R"("transport":"tls"})"
                               "\n"));
    EXPECT_EQ(Query(), "00ok|pc");  // launchers stay plain
    // The order and its answer cross inside TLS.
    Client viewer(port_);
    viewer.Send("view pc\n");
    const std::string order = agent.Line();
    ASSERT_TRUE(order.starts_with("connect ") && order.ends_with(" - control\n")) << order;
    agent.Send("declined " + order.substr(8, 19) + " denied\n");
    EXPECT_EQ(viewer.UntilClosed(), "error denied\n");
    // A plain agent is told to use TLS; TLS carries nothing but the control connection; a
    // handshake that never comes ends within --auth-timeout.
    EXPECT_EQ(Answer("register other\n"), "refused tls-required\n");
    TlsAgent session(port_, ca_);
    ASSERT_TRUE(session.connected());
    session.Send("view pc\n");
    EXPECT_EQ(session.UntilClosed(), "");
    EXPECT_EQ(Answer("\x16\x03\x01"), "");
    EXPECT_TRUE(LogHas("no TLS handshake within 0.5 s"));
    EXPECT_EQ(Query(), "00ok|pc");  // the agent is still registered
}

TEST_F(Tls, AServerWithoutACertificateTurnsTlsAgentsAway) {
    Start("");
    EXPECT_TRUE(LogHas("no --cert: agents' control connections are not encrypted"));
    TlsAgent agent(port_, ca_);
    EXPECT_FALSE(agent.connected());
    EXPECT_TRUE(LogHas("has no --cert"));
    EXPECT_EQ(Query(), "00ok");
}

}  // namespace
