// What one step of a TLS connection over a non-blocking socket came to, the same for both agents'
// TLS (tls_link.h on OpenSSL, win32/tls.h on mbed TLS), so that the control connection's core
// (control_link.h) judges their outcomes by one rule.
#pragma once

namespace talagent {

enum class TlsStatus {
    Done,       // handshake complete; read or written what there was
    WantRead,   // call again once the socket is readable
    WantWrite,  // ... writable
    Closed,     // the peer ended the connection
    Failed,     // the connection's error() says why
};

}  // namespace talagent
