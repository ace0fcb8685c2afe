// talagent.exe's TLS on mbed TLS (see tls.h).
#include "agent/win32/tls.h"

#include <ws2tcpip.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/oid.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crl.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/machine_name.h"

namespace talagent::win {
namespace {

// TLS 1.2 with forward secrecy and an AEAD cipher, nothing else.
const int kCiphersuites[] = {
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    0,
};

std::string Describe(int code) {
    char text[200];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

// mbed TLS reads PEM only from a NUL-terminated buffer whose length counts the NUL.
const unsigned char* Pem(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.c_str());
}

}  // namespace

struct TlsContext::State {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_x509_crt ca;
    mbedtls_x509_crl crl;
    bool have_crl = false;
    mbedtls_x509_crt own;
    mbedtls_pk_context key;
    mbedtls_ssl_config client;
    mbedtls_ssl_config server;
    bool have_server = false;

    State() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&random);
        mbedtls_x509_crt_init(&ca);
        mbedtls_x509_crl_init(&crl);
        mbedtls_x509_crt_init(&own);
        mbedtls_pk_init(&key);
        mbedtls_ssl_config_init(&client);
        mbedtls_ssl_config_init(&server);
    }
    ~State() {
        mbedtls_ssl_config_free(&server);
        mbedtls_ssl_config_free(&client);
        mbedtls_pk_free(&key);
        mbedtls_x509_crt_free(&own);
        mbedtls_x509_crl_free(&crl);
        mbedtls_x509_crt_free(&ca);
        mbedtls_ctr_drbg_free(&random);
        mbedtls_entropy_free(&entropy);
    }

    // The settings both ends share. Empty on success, else why not.
    std::string Configure(mbedtls_ssl_config& config, int endpoint) {
        if (const int r = mbedtls_ssl_config_defaults(
                &config, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT))
            return Describe(r);
        mbedtls_ssl_conf_rng(&config, mbedtls_ctr_drbg_random, &random);
        mbedtls_ssl_conf_min_version(&config, MBEDTLS_SSL_MAJOR_VERSION_3,
                                     MBEDTLS_SSL_MINOR_VERSION_3);
        mbedtls_ssl_conf_ciphersuites(&config, kCiphersuites);
        mbedtls_ssl_conf_authmode(&config, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&config, &ca, have_crl ? &crl : nullptr);
        mbedtls_ssl_conf_renegotiation(&config, MBEDTLS_SSL_RENEGOTIATION_DISABLED);
        return {};
    }
};

TlsContext::TlsContext() : state_(std::make_unique<State>()) {}
TlsContext::~TlsContext() = default;

std::unique_ptr<TlsContext> TlsContext::Make(const std::string& ca, const std::string& crl,
                                             const std::string& cert, const std::string& name,
                                             std::string& error) {
    std::unique_ptr<TlsContext> context(new TlsContext());
    State& s = *context->state_;
    static constexpr char kPersonal[] = "talagent";
    if (const int r = mbedtls_ctr_drbg_seed(&s.random, mbedtls_entropy_func, &s.entropy,
                                            reinterpret_cast<const unsigned char*>(kPersonal),
                                            sizeof kPersonal - 1)) {
        error = "no random numbers: " + Describe(r);
        return nullptr;
    }
    if (const int r = mbedtls_x509_crt_parse(&s.ca, Pem(ca), ca.size() + 1);
        r != 0 || s.ca.version == 0) {
        error = "--ca: no usable CA certificate: " + Describe(r);
        return nullptr;
    }
    if (!crl.empty()) {
        if (const int r = mbedtls_x509_crl_parse(&s.crl, Pem(crl), crl.size() + 1)) {
            error = "--crl: not a revocation list: " + Describe(r);
            return nullptr;
        }
        s.have_crl = true;
    }
    if (std::string why = s.Configure(s.client, MBEDTLS_SSL_IS_CLIENT); !why.empty()) {
        error = why;
        return nullptr;
    }
    if (cert.empty())
        return context;
    if (const int r = mbedtls_x509_crt_parse(&s.own, Pem(cert), cert.size() + 1);
        r != 0 || s.own.version == 0) {
        error = "--cert: no certificate: " + Describe(r);
        return nullptr;
    }
    if (const int r = mbedtls_pk_parse_key(&s.key, Pem(cert), cert.size() + 1, nullptr, 0)) {
        error = "--cert: no private key: " + Describe(r);
        return nullptr;
    }
    if (mbedtls_pk_check_pair(&s.own.pk, &s.key) != 0) {
        error = "--cert: the private key is not the certificate's";
        return nullptr;
    }
    std::vector<std::string> dns_names;
    for (const mbedtls_x509_sequence* san = &s.own.subject_alt_names; san && san->buf.p;
         san = san->next) {
        if (san->buf.tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 2))  // dNSName [2]
            dns_names.emplace_back(reinterpret_cast<const char*>(san->buf.p), san->buf.len);
    }
    if (!names::CertificateIsFor(dns_names, name)) {
        context->warnings_.push_back("--cert: the certificate is not for '" + name +
                                     "': viewers will refuse it (talpki agent DIR " + name +
                                     " makes one)");
    }
    if (mbedtls_x509_time_is_past(&s.own.valid_to) ||
        mbedtls_x509_time_is_future(&s.own.valid_from))
        context->warnings_.push_back(
            "--cert: the certificate is outside its validity: viewers "
            "will refuse it");
    if (std::string why = s.Configure(s.server, MBEDTLS_SSL_IS_SERVER); !why.empty()) {
        error = why;
        return nullptr;
    }
    if (const int r = mbedtls_ssl_conf_own_cert(&s.server, &s.own, &s.key)) {
        error = "--cert: the key does not fit the certificate: " + Describe(r);
        return nullptr;
    }
    s.have_server = true;
    return context;
}

struct TlsStream::State {
    mbedtls_ssl_context ssl;
    State() { mbedtls_ssl_init(&ssl); }
    ~State() { mbedtls_ssl_free(&ssl); }
};

TlsStream::TlsStream(const TlsContext& context, Role role, SOCKET socket, const std::string& host,
                     std::string received)
    : state_(std::make_unique<State>()),
      socket_(socket),
      host_(host),
      received_(std::move(received)) {
    const TlsContext::State& shared = *context.state_;
    if (role == Role::Server && !shared.have_server) {
        error_ = "no --cert to serve sessions with";
        return;
    }
    mbedtls_ssl_context* ssl = &state_->ssl;
    if (const int r =
            mbedtls_ssl_setup(ssl, role == Role::Client ? &shared.client : &shared.server)) {
        error_ = Describe(r);
        return;
    }
    mbedtls_ssl_set_bio(ssl, this, &TlsStream::Send, &TlsStream::Receive, nullptr);
    if (role == Role::Client) {
        // A DNS name is checked by mbed TLS; an IP address, which it does not look for among
        // the certificate's addresses, by Verify().
        in_addr address{};
        if (inet_pton(AF_INET, host.c_str(), &address) != 1)
            mbedtls_ssl_set_hostname(ssl, host.c_str());
        else
            mbedtls_ssl_set_verify(ssl, &TlsStream::Verify, this);
    }
}

TlsStream::~TlsStream() = default;

int TlsStream::Verify(void* self, mbedtls_x509_crt* certificate, int depth, std::uint32_t* flags) {
    if (depth != 0)
        return 0;
    const auto* stream = static_cast<const TlsStream*>(self);
    in_addr want{};
    inet_pton(AF_INET, stream->host_.c_str(), &want);
    bool named = false;
    for (const mbedtls_x509_sequence* san = &certificate->subject_alt_names; san && san->buf.p;
         san = san->next) {
        // iPAddress [7], four bytes for IPv4.
        if (san->buf.tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7) && san->buf.len == 4 &&
            std::memcmp(san->buf.p, &want, 4) == 0)
            named = true;
    }
    if (!named)
        *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    return 0;
}

int TlsStream::Send(void* self, const unsigned char* data, std::size_t size) {
    auto* stream = static_cast<TlsStream*>(self);
    const int n = ::send(stream->socket_, reinterpret_cast<const char*>(data),
                         static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n >= 0)
        return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? MBEDTLS_ERR_SSL_WANT_WRITE
                                               : MBEDTLS_ERR_NET_SEND_FAILED;
}

int TlsStream::Receive(void* self, unsigned char* data, std::size_t size) {
    auto* stream = static_cast<TlsStream*>(self);
    if (!stream->received_.empty()) {
        const std::size_t n = std::min(size, stream->received_.size());
        std::memcpy(data, stream->received_.data(), n);
        stream->received_.erase(0, n);
        return static_cast<int>(n);
    }
    const int n = ::recv(stream->socket_, reinterpret_cast<char*>(data),
                         static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n >= 0)
        return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? MBEDTLS_ERR_SSL_WANT_READ
                                               : MBEDTLS_ERR_NET_RECV_FAILED;
}

TlsStream::Status TlsStream::Result(int result) {
    wants_write_ = result == MBEDTLS_ERR_SSL_WANT_WRITE;
    if (result == MBEDTLS_ERR_SSL_WANT_READ)
        return Status::WantRead;
    if (result == MBEDTLS_ERR_SSL_WANT_WRITE)
        return Status::WantWrite;
    if (result == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || result == MBEDTLS_ERR_SSL_CONN_EOF ||
        result == 0)
        return Status::Closed;
    if (result == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
        char why[512];
        const int n = mbedtls_x509_crt_verify_info(why, sizeof why, "",
                                                   mbedtls_ssl_get_verify_result(&state_->ssl));
        std::string text(why, n > 0 ? static_cast<std::size_t>(n) : 0);
        std::replace(text.begin(), text.end(), '\n', ';');
        while (!text.empty() && (text.back() == ';' || text.back() == ' '))
            text.pop_back();
        error_ = "the peer's certificate is not accepted: " + text;
    } else {
        error_ = Describe(result);
    }
    return Status::Failed;
}

TlsStream::Status TlsStream::Handshake() {
    if (!error_.empty())
        return Status::Failed;
    const int r = mbedtls_ssl_handshake(&state_->ssl);
    return r == 0 ? Status::Done : Result(r);
}

TlsStream::Status TlsStream::Read(std::string& into) {
    unsigned char buffer[16384];
    const int n = mbedtls_ssl_read(&state_->ssl, buffer, sizeof buffer);
    if (n > 0) {
        into.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
        wants_write_ = false;
        return Status::Done;
    }
    return Result(n);
}

TlsStream::Status TlsStream::Write(std::string_view bytes, std::size_t& written) {
    written = 0;
    const int n = mbedtls_ssl_write(
        &state_->ssl, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (n >= 0) {
        written = static_cast<std::size_t>(n);
        wants_write_ = false;
        return Status::Done;
    }
    return Result(n);
}

std::string TlsStream::version() const {
    return mbedtls_ssl_get_version(&state_->ssl);
}

std::string TlsStream::peer_subject() const {
    const mbedtls_x509_crt* peer = mbedtls_ssl_get_peer_cert(&state_->ssl);
    if (!peer)
        return {};
    char name[512];
    const int n = mbedtls_x509_dn_gets(name, sizeof name, &peer->subject);
    return n > 0 ? std::string(name, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace talagent::win
