// The TLS client of the agent's control connection to the directory server, over the
// non-blocking socket that the event loop (agent.cpp) owns and polls. OpenSSL does the work;
// here it is set up the way the agent trusts a server: TLS 1.2 or later, a certificate issued by
// the deployment's CA (--ca) for the host the agent was told (--server: a DNS name, or an IP
// address as the certificate's subjectAltName holds it), all checked before the handshake ends,
// so that nothing of the line protocol reaches a server that is not the one meant.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "agent/tls_status.h"

struct ssl_st;
struct ssl_ctx_st;

namespace talagent {

// The trust every connection shares: the CA certificates of `ca_file` (PEM).
class TlsTrust {
public:
    explicit TlsTrust(const std::string& ca_file);
    ~TlsTrust();
    TlsTrust(const TlsTrust&) = delete;
    TlsTrust& operator=(const TlsTrust&) = delete;

    // Why the CA file cannot be used; empty when it can.
    const std::string& error() const { return error_; }

private:
    friend class TlsLink;
    ssl_ctx_st* context_ = nullptr;
    std::string error_;
};

// One connection's TLS. Each call does what the socket allows now and says what it waits for.
class TlsLink {
public:
    using Status = TlsStatus;

    TlsLink(const TlsTrust& trust, int fd, const std::string& host);
    ~TlsLink();
    TlsLink(const TlsLink&) = delete;
    TlsLink& operator=(const TlsLink&) = delete;

    Status Handshake();
    // Appends what the server's records hold now to `into`: WantRead when that was all, Done
    // when there may be more (call again once `into` is handled).
    Status Read(std::string& into);
    // Sends a prefix of `bytes`, `written` bytes long (0 when the socket is full).
    Status Write(std::string_view bytes, std::size_t& written);

    // The last call waits for the socket to be writable.
    bool wants_write() const { return wants_write_; }
    // The protocol version, once the handshake is done ("TLSv1.3").
    std::string version() const;
    const std::string& error() const { return error_; }

private:
    Status Fail(int result);

    ssl_st* ssl_ = nullptr;
    bool wants_write_ = false;
    std::string error_;
};

}  // namespace talagent
