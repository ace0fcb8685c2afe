// The control connection's TLS client (see tls_link.h), with OpenSSL.
#include "agent/tls_link.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <cerrno>
#include <cstring>

namespace talagent {
namespace {

// The reason of the oldest error on OpenSSL's queue, which is then emptied.
std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "unknown TLS error";
}

}  // namespace

TlsTrust::TlsTrust(const std::string& ca_file) {
    context_ = SSL_CTX_new(TLS_client_method());
    if (!context_) {
        error_ = "cannot set up TLS: " + OpenSslError();
        return;
    }
    SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
    // Only the deployment's CA, never the system's: a server any public CA vouches for is not
    // thereby the deployment's server.
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(context_, ca_file.c_str(), nullptr) != 1)
        error_ = "cannot load the CA certificates of " + ca_file + ": " + OpenSslError();
    // A server that closes without close_notify has still closed: the line protocol has no
    // message that a truncation could cut in a harmful way (each line ends with its LF).
    // No renegotiation either, so that a write never waits for a read.
    SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

TlsTrust::~TlsTrust() {
    SSL_CTX_free(context_);
}

TlsLink::TlsLink(const TlsTrust& trust, int fd, const std::string& host) {
    ssl_ = SSL_new(trust.context_);
    if (!ssl_ || SSL_set_fd(ssl_, fd) != 1) {
        error_ = "cannot set up TLS: " + OpenSslError();
        return;
    }
    X509_VERIFY_PARAM* const param = SSL_get0_param(ssl_);
    in_addr ipv4{};
    if (inet_pton(AF_INET, host.c_str(), &ipv4) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
        SSL_set_tlsext_host_name(ssl_, host.c_str());
    }
    SSL_set_connect_state(ssl_);
}

TlsLink::~TlsLink() {
    SSL_free(ssl_);
}

TlsLink::Status TlsLink::Fail(int result) {
    wants_write_ = false;
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            return Status::WantRead;
        case SSL_ERROR_WANT_WRITE:
            wants_write_ = true;
            return Status::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Status::Closed;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            if (errno == 0)
                return Status::Closed;
            error_ = std::strerror(errno);
            return Status::Failed;
        default:
            break;
    }
    const long verdict = SSL_get_verify_result(ssl_);
    if (verdict != X509_V_OK) {
        ERR_clear_error();
        error_ = std::string("the server's certificate is refused: ") +
                 X509_verify_cert_error_string(verdict);
    } else {
        error_ = OpenSslError();
    }
    return Status::Failed;
}

TlsLink::Status TlsLink::Handshake() {
    if (!error_.empty())
        return Status::Failed;
    errno = 0;
    const int result = SSL_do_handshake(ssl_);
    wants_write_ = false;
    return result == 1 ? Status::Done : Fail(result);
}

TlsLink::Status TlsLink::Read(std::string& into) {
    char buffer[4096];
    // Done after this much, so that the caller handles it before reading on.
    for (std::size_t taken = 0; taken < 64 * 1024;) {
        std::size_t n = 0;
        errno = 0;
        const int result = SSL_read_ex(ssl_, buffer, sizeof buffer, &n);
        if (result != 1)
            return Fail(result);
        into.append(buffer, n);
        taken += n;
    }
    return Status::Done;
}

TlsLink::Status TlsLink::Write(std::string_view bytes, std::size_t& written) {
    written = 0;
    errno = 0;
    const int result = SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written);
    wants_write_ = false;
    return result == 1 ? Status::Done : Fail(result);
}

std::string TlsLink::version() const {
    return SSL_get_version(ssl_);
}

}  // namespace talagent
