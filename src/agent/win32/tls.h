// talagent.exe's TLS, on mbed TLS over the non-blocking Winsock sockets that the event loop
// (control.cpp) owns: the client of the control connection, which trusts only a directory server
// whose certificate the deployment's CA (--ca) issued for the host in --server, and the server
// of the sessions, which shows this machine's certificate (--cert) and requires a viewer's
// certificate from the same CA, not revoked (--crl). TLS 1.2 with ECDHE and AES-GCM or
// ChaCha20-Poly1305 only, checked before any byte of the protocols inside passes.
//
// mbed TLS's random generator is not thread-safe as built: everything here runs on the event
// loop's one thread.
#pragma once

#include <winsock2.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/tls_status.h"

struct mbedtls_x509_crt;

namespace talagent::win {

// What every connection shares: the generator, the CA, its revocation list, this machine's
// certificate and key, and the two configurations.
class TlsContext {
public:
    // `ca` and `crl` are PEM texts (crl may be empty); `cert` is the PEM with this machine's
    // private key and certificate, for the agent named `name`. Why not, in `error`: also a key
    // that is not the certificate's, which would fail every session.
    static std::unique_ptr<TlsContext> Make(const std::string& ca, const std::string& crl,
                                            const std::string& cert, const std::string& name,
                                            std::string& error);
    // What viewers will refuse though the agent can serve: a certificate for another name (the
    // server may be the one told a new name), or one outside its validity.
    const std::vector<std::string>& warnings() const { return warnings_; }
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

private:
    friend class TlsStream;
    TlsContext();
    struct State;
    std::unique_ptr<State> state_;
    std::vector<std::string> warnings_;
};

// One connection's TLS. Each call does what the socket allows now and says what it waits for.
class TlsStream {
public:
    using Status = TlsStatus;
    enum class Role { Client, Server };

    // Client: `host` is what the server's certificate must name (a DNS name or an IPv4
    // address). Server: `host` is unused and `received` holds TLS bytes already read from the
    // socket, taken before any new ones.
    TlsStream(const TlsContext& context, Role role, SOCKET socket, const std::string& host,
              std::string received = {});
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    Status Handshake();
    // Appends what the peer's records hold now to `into`: WantRead when that was all, Done when
    // there may be more.
    Status Read(std::string& into);
    // Sends a prefix of `bytes`, `written` bytes long.
    Status Write(std::string_view bytes, std::size_t& written);

    bool wants_write() const { return wants_write_; }
    std::string version() const;
    // The verified peer certificate's subject (the viewer's operator), once the handshake is done.
    std::string peer_subject() const;
    const std::string& error() const { return error_; }

private:
    Status Result(int result);
    static int Send(void* self, const unsigned char* data, std::size_t size);
    static int Receive(void* self, unsigned char* data, std::size_t size);
    static int Verify(void* self, ::mbedtls_x509_crt* certificate, int depth, std::uint32_t* flags);

    struct State;
    std::unique_ptr<State> state_;
    SOCKET socket_;
    std::string host_;
    std::string received_;
    bool wants_write_ = false;
    std::string error_;
};

}  // namespace talagent::win
