// TLS on agents' control connections (--cert), with OpenSSL over the server's non-blocking
// sockets. TlsServer holds the server's key and certificate; each agent connection that opens
// with a TLS handshake record gets a TlsStream, through which networking.cpp reads and writes it
// inside the one epoll loop. Nothing here blocks or knows what the bytes mean: a call that
// cannot go on says which readiness it waits for (kWantRead, kWantWrite), and the caller asks
// epoll for that and calls again.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace dirsrv {

// The first byte of a TLS connection: a handshake record. No line of the plain protocol starts
// with it, so one port serves both.
inline constexpr unsigned char kTlsHandshakeRecord = 0x16;

class TlsStream {
public:
    enum class Status { kDone, kWantRead, kWantWrite, kClosed, kFailed };
    // What a read or a write moved, and why it moved no more.
    struct Io {
        std::size_t bytes = 0;
        Status status = Status::kDone;
    };

    explicit TlsStream(SSL* ssl) : ssl_(ssl) {}
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Goes on with the handshake: kDone once it is complete.
    Status Handshake();
    bool Handshaking() const { return handshaking_; }
    // Plaintext up to `size` bytes; kClosed at the peer's end (close_notify or the socket's).
    Io Read(char* buffer, std::size_t size);
    // Takes what it can of `bytes`; a write that waited must be called again with the same
    // bytes at the front (later ones may follow).
    Io Write(std::string_view bytes);
    // Plaintext OpenSSL holds already: epoll will not report it.
    std::size_t Pending() const;
    // Sends close_notify, once, without waiting for the answer.
    void Shutdown();
    // What the last call that could not go on waits for: whether the socket must be writable
    // (also for a read) or readable (also for a write).
    bool WaitsToWrite() const { return waits_ == Status::kWantWrite; }
    bool WaitsToRead() const { return waits_ == Status::kWantRead; }
    // Why the last call failed, and the protocol agreed ("TLSv1.3").
    const std::string& error() const { return error_; }
    std::string Version() const;

private:
    Status Judge(int result, const char* what);

    SSL* ssl_;
    bool handshaking_ = true;
    bool shut_ = false;
    Status waits_ = Status::kDone;
    std::string error_;
};

class TlsServer {
public:
    TlsServer() = default;
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Reads the key and certificate (PEM, one file, as `talpki server` writes it) and sets TLS
    // 1.2 at least. Returns why it cannot serve, or an empty string; `open_to_others` tells
    // that the file (the server's private key) can be read by other users.
    std::string Load(const std::string& path, bool& open_to_others);
    // A stream for the accepted socket `fd` (not owned); null when OpenSSL cannot make one.
    std::unique_ptr<TlsStream> Accept(int fd) const;

private:
    SSL_CTX* context_ = nullptr;
};

}  // namespace dirsrv
