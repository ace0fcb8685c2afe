// TLS on agents' control connections with OpenSSL (see tls.h): the server's context from the
// --cert file, and each connection's non-blocking handshake, reads and writes, whose "want read"
// and "want write" networking.cpp turns into epoll interest.
#include "directory_server/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

namespace dirsrv {
namespace {

// OpenSSL's queued errors as one text (and the queue emptied, so they do not show up later).
std::string Errors(std::string_view what) {
    std::string text(what);
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        text += text.size() == what.size() ? ": " : "; ";
        text += buffer;
    }
    return text;
}

}  // namespace

TlsStream::~TlsStream() {
    SSL_free(ssl_);
}

// One place turns OpenSSL's result into what the loop waits for next.
TlsStream::Status TlsStream::Judge(int result, const char* what) {
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_NONE:
            waits_ = Status::kDone;
            return Status::kDone;
        case SSL_ERROR_WANT_READ:
            waits_ = Status::kWantRead;
            return waits_;
        case SSL_ERROR_WANT_WRITE:
            waits_ = Status::kWantWrite;
            return waits_;
        case SSL_ERROR_ZERO_RETURN:
            waits_ = Status::kDone;
            return Status::kClosed;
        case SSL_ERROR_SYSCALL:
            // An end of the socket without close_notify: the agent's process went away.
            if (ERR_peek_error() == 0) {
                waits_ = Status::kDone;
                return Status::kClosed;
            }
            [[fallthrough]];
        default:
            error_ = Errors(what);
            ERR_clear_error();
            return Status::kFailed;
    }
}

TlsStream::Status TlsStream::Handshake() {
    ERR_clear_error();
    const Status status = Judge(SSL_accept(ssl_), "handshake");
    if (status == Status::kDone)
        handshaking_ = false;
    // The peer closing mid-handshake is a failed handshake.
    return status == Status::kClosed ? Status::kFailed : status;
}

TlsStream::Io TlsStream::Read(char* buffer, std::size_t size) {
    ERR_clear_error();
    std::size_t read = 0;
    const int result = SSL_read_ex(ssl_, buffer, size, &read);
    if (result == 1)
        waits_ = Status::kDone;
    return {read, result == 1 ? Status::kDone : Judge(result, "read")};
}

TlsStream::Io TlsStream::Write(std::string_view bytes) {
    if (bytes.empty())
        return {};
    ERR_clear_error();
    std::size_t written = 0;
    const int result = SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written);
    if (result == 1)
        waits_ = Status::kDone;
    return {written, result == 1 ? Status::kDone : Judge(result, "write")};
}

std::size_t TlsStream::Pending() const {
    return static_cast<std::size_t>(SSL_pending(ssl_));
}

void TlsStream::Shutdown() {
    if (shut_ || handshaking_)
        return;
    shut_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

std::string TlsStream::Version() const {
    return SSL_get_version(ssl_);
}

TlsServer::~TlsServer() {
    SSL_CTX_free(context_);
}

std::string TlsServer::Load(const std::string& path, bool& open_to_others) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return "--cert " + path + ": not a readable file";
    open_to_others = (info.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context)
        return Errors("--cert: OpenSSL cannot make a TLS context");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // The agents' connections are long and few: no session resumption to keep state for.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    // A write that waited is retried from the connection's output, which may have moved and
    // grown meanwhile; partial writes let the output be sent as the socket takes it.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context, path.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, path.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        SSL_CTX_free(context);
        return Errors("--cert " + path +
                      ": not a key and its certificate (PEM, as `talpki server` "
                      "writes them)");
    }
    SSL_CTX_free(context_);
    context_ = context;
    return {};
}

std::unique_ptr<TlsStream> TlsServer::Accept(int fd) const {
    SSL* ssl = context_ ? SSL_new(context_) : nullptr;
    if (!ssl)
        return nullptr;
    if (SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    return std::make_unique<TlsStream>(ssl);
}

}  // namespace dirsrv
