// The encrypted session's process (see secure_session.h): the sockets, OpenSSL as the viewer's
// TLS server, and x11vnc, around the sans-IO handshake of session_gate.h. One thread: every wait
// is a poll on the viewer's connection and x11vnc's socket, bounded by the gate's deadline until
// the handshake is done.
#include "agent/secure_session.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "agent/log.h"
#include "agent/session.h"
#include "agent/session_gate.h"

namespace talagent {
namespace {

using Clock = SessionGate::Clock;

// "within 30 s", for the log.
const std::string kWithin = "within " + std::to_string(SessionGate::kHandshakeTime.count()) + " s";

// Bytes held for a side that is not reading before the other side is read no more.
constexpr std::size_t kMaxPending = 256 * 1024;

std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "unknown TLS error";
}

// The revocation lists of the PEM file `path` (talpki writes one; a file may hold several).
bool AddCrls(X509_STORE* store, const std::string& path) {
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (!file)
        return false;
    int added = 0;
    while (X509_CRL* crl = PEM_read_bio_X509_CRL(file, nullptr, nullptr, nullptr)) {
        added += X509_STORE_add_crl(store, crl) == 1;
        X509_CRL_free(crl);
    }
    BIO_free(file);
    ERR_clear_error();  // the end of the file reads as an error
    X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    return added > 0;
}

// The viewer's TLS: TLS 1.2 or later, the agent's own certificate, and a client certificate for
// TLS clients from the deployment's CA (never the system's), not revoked, required.
SSL_CTX* ServerContext(const Options& options, std::string& error) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        error = OpenSslError();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A viewer that closes without close_notify has still left (killed, or a window closed).
    SSL_CTX_set_options(context,
                        SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    if (SSL_CTX_use_certificate_chain_file(context, options.cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, options.cert.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "--cert " + options.cert + ": " + OpenSslError();
    } else if (SSL_CTX_load_verify_locations(context, options.ca.c_str(), nullptr) != 1) {
        error = "--ca " + options.ca + ": " + OpenSslError();
    } else if (!options.crl.empty() && !AddCrls(SSL_CTX_get_cert_store(context), options.crl)) {
        error = "--crl " + options.crl + ": no revocation list";
    } else {
        // The CA named in the certificate request lets a viewer holding several pick its own.
        SSL_CTX_set_client_CA_list(context, SSL_load_client_CA_file(options.ca.c_str()));
        return context;
    }
    SSL_CTX_free(context);
    return nullptr;
}

// Waits for `events` on `fd` until `deadline`; false when it passed.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return false;
    pollfd p{fd, events, 0};
    return poll(&p, 1, static_cast<int>(left.count())) != 0 || errno == EINTR;
}

bool SendPlain(int fd, std::string_view bytes, Clock::time_point deadline) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0)
            bytes.remove_prefix(static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        else if (!WaitFor(fd, POLLOUT, deadline))
            return false;
    }
    return true;
}

// Closed only once the viewer has closed, or 2 s have passed: closing with its bytes unread
// would reset the connection, and the relay could lose what the viewer was told (a refusal,
// TLS's alert).
void Linger(int viewer) {
    shutdown(viewer, SHUT_WR);
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    char buffer[4096];
    while (WaitFor(viewer, POLLIN, deadline)) {
        const ssize_t n = ::recv(viewer, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

// RFB with the viewer up to TLS. Reads exactly what the gate takes, so that the viewer's TLS
// hello stays in the socket for OpenSSL. Empty, or why the viewer was refused.
std::string GreetViewer(int viewer, SessionGate& gate) {
    const auto deadline = *gate.deadline();
    while (gate.step() == SessionGate::Step::kViewer) {
        if (!SendPlain(viewer, gate.TakeToViewer(), deadline))
            return "the viewer's connection failed";
        char buffer[16];
        const ssize_t n = ::recv(viewer, buffer, gate.ViewerWants(), 0);
        if (n > 0)
            gate.FromViewer({buffer, static_cast<std::size_t>(n)});
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return "the viewer left";
        else if (!WaitFor(viewer, POLLIN, deadline))
            return "the viewer did not answer " + kWithin;
    }
    // A refusal is sent before the connection is closed.
    SendPlain(viewer, gate.TakeToViewer(), deadline);
    return gate.step() == SessionGate::Step::kFailed ? gate.error() : "";
}

std::string HandshakeFailure(SSL* ssl, int result) {
    const int kind = SSL_get_error(ssl, result);
    if (kind == SSL_ERROR_ZERO_RETURN || (kind == SSL_ERROR_SYSCALL && ERR_peek_error() == 0))
        return "the viewer left during TLS";
    const long verdict = SSL_get_verify_result(ssl);
    if (verdict != X509_V_OK) {
        ERR_clear_error();
        return std::string("the viewer's certificate is refused: ") +
               X509_verify_cert_error_string(verdict);
    }
    return "TLS failed: " + OpenSslError();
}

std::string AcceptTls(SSL* ssl, int viewer, Clock::time_point deadline) {
    for (;;) {
        const int result = SSL_accept(ssl);
        if (result == 1)
            return "";
        const int kind = SSL_get_error(ssl, result);
        if (kind != SSL_ERROR_WANT_READ && kind != SSL_ERROR_WANT_WRITE)
            return HandshakeFailure(ssl, result);
        if (!WaitFor(viewer, kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
            return "the viewer did not finish TLS " + kWithin;
    }
}

// The two directions of a running session: what each side has sent that the other has not
// taken yet, and what each side's next step waits for.
struct Pump {
    std::string to_x11vnc;
    std::string to_viewer;
    bool viewer_open = true;
    bool x11vnc_open = true;
    short viewer_events = 0;  // OpenSSL's wants, from the last reads and writes
    short x11vnc_events = 0;
    bool moved = false;
    std::string error;
};

// OpenSSL's verdict on one call: what it waits for, or the end of the viewer's side.
void OnTls(Pump& pump, SSL* ssl, int result) {
    switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
            pump.viewer_events |= POLLIN;
            return;
        case SSL_ERROR_WANT_WRITE:
            pump.viewer_events |= POLLOUT;
            return;
        case SSL_ERROR_ZERO_RETURN:
            break;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0)
                break;
            [[fallthrough]];
        default:
            pump.error = "the viewer's TLS failed: " + OpenSslError();
    }
    pump.viewer_open = false;
}

// One round: read what each side has (while the other's backlog is short), then write.
void Move(Pump& pump, SessionGate& gate, SSL* ssl, int x11vnc) {
    pump.viewer_events = pump.x11vnc_events = 0;
    pump.moved = false;
    char buffer[16384];
    if (pump.viewer_open && pump.to_x11vnc.size() < kMaxPending) {
        std::size_t n = 0;
        const int result = SSL_read_ex(ssl, buffer, sizeof buffer, &n);
        if (result == 1) {
            gate.FromViewer({buffer, n});
            pump.moved = true;
        } else {
            OnTls(pump, ssl, result);
        }
    }
    if (pump.x11vnc_open && pump.to_viewer.size() < kMaxPending) {
        const ssize_t n = ::read(x11vnc, buffer, sizeof buffer);
        if (n > 0) {
            gate.FromX11vnc({buffer, static_cast<std::size_t>(n)});
            pump.moved = true;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pump.x11vnc_events |= POLLIN;
        } else {
            pump.x11vnc_open = false;
        }
    }
    pump.to_x11vnc += gate.TakeToX11vnc();
    pump.to_viewer += gate.TakeToViewer();
    if (!pump.to_x11vnc.empty() && pump.x11vnc_open) {
        const ssize_t n =
            ::send(x11vnc, pump.to_x11vnc.data(), pump.to_x11vnc.size(), MSG_NOSIGNAL);
        if (n > 0) {
            pump.to_x11vnc.erase(0, static_cast<std::size_t>(n));
            pump.moved = true;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pump.x11vnc_events |= POLLOUT;
        } else {
            pump.x11vnc_open = false;
        }
    }
    if (!pump.to_viewer.empty() && pump.viewer_open) {
        std::size_t n = 0;
        const int result = SSL_write_ex(ssl, pump.to_viewer.data(), pump.to_viewer.size(), &n);
        if (result == 1) {
            pump.to_viewer.erase(0, n);
            pump.moved = true;
        } else {
            OnTls(pump, ssl, result);
        }
    }
}

// x11vnc's side of the handshake through the gate, then the session, until either side ends.
// Empty, or why the session failed.
std::string Splice(SessionGate& gate, SSL* ssl, int viewer, int x11vnc) {
    Pump pump;
    for (;;) {
        Move(pump, gate, ssl, x11vnc);
        const bool failed = gate.step() == SessionGate::Step::kFailed;
        // The viewer's end ends the session; x11vnc's (or the gate's refusal), once what it
        // said has reached the viewer.
        if (!pump.viewer_open)
            return failed ? gate.error() : pump.error;
        if ((!pump.x11vnc_open || failed) && pump.to_viewer.empty()) {
            SSL_shutdown(ssl);
            return failed ? gate.error() : "";
        }
        if (pump.moved)
            continue;
        pollfd fds[] = {{viewer, pump.viewer_events, 0}, {x11vnc, pump.x11vnc_events, 0}};
        int wait = -1;
        if (const auto deadline = gate.deadline()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0)
                return "x11vnc did not answer " + kWithin;
            wait = static_cast<int>(left.count());
        }
        if (poll(fds, 2, wait) < 0 && errno != EINTR)
            return std::string("poll: ") + std::strerror(errno);
    }
}

// x11vnc serving the viewer's session on one end of a socket pair; the other end, or -1.
int StartX11vnc(const Options& options, Right right, std::string& error) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return -1;
    }
    const pid_t pid = Spawn(X11vncArgv(options, right), options.x11vnc_log, error, pair[1], false);
    ::close(pair[1]);
    if (pid < 0) {
        ::close(pair[0]);
        return -1;
    }
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    return pair[0];
}

// The session past TLS: x11vnc, and the bytes both ways. The exit status.
int Run(const Options& options, const std::string& id, Right right, SessionGate& gate, SSL* ssl,
        int viewer) {
    gate.TlsDone();
    std::string error;
    const int x11vnc = StartX11vnc(options, right, error);
    if (x11vnc < 0) {
        Log(Level::Error, "session " + id + ": x11vnc not started: " + error);
        return 1;
    }
    if (error = Splice(gate, ssl, viewer, x11vnc); !error.empty()) {
        Log(Level::Warning, "session " + id + ": " + error);
        return 1;
    }
    return 0;
}

int Serve(const Options& options, const std::string& id, const Endpoint& target, Right right) {
    std::string error;
    SSL_CTX* context = ServerContext(options, error);
    if (!context) {
        Log(Level::Error, "session " + id + ": cannot set up TLS: " + error);
        return 1;
    }
    const int viewer = ConnectTo(target);
    if (viewer < 0) {
        Log(Level::Warning, "session " + id + ": cannot connect to " + target.ToString());
        return 1;
    }
    fcntl(viewer, F_SETFL, O_NONBLOCK);
    SessionGate gate(id, !options.password_file.empty(), Clock::now());
    if (error = GreetViewer(viewer, gate); error.empty()) {
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, viewer);
        if (error = AcceptTls(ssl, viewer, *gate.deadline()); error.empty())
            return Run(options, id, right, gate, ssl, viewer);
    }
    Log(Level::Warning, "session " + id + ": viewer refused: " + error);
    Linger(viewer);
    return 2;
}

}  // namespace

pid_t SpawnSecureSession(const Options& options, const std::string& id, const Endpoint& target,
                         Right right, std::string& error) {
    return SpawnProcess([&] { return Serve(options, id, target, right); }, error);
}

}  // namespace talagent
