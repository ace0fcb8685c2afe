// The directory server's TCP connection, begun before Qt and the window are set up: loading Qt's
// platform plugin, fonts and the menus takes about a tenth of a second, and the connection's
// round trip and the server's first bytes can run meanwhile. Only numeric addresses start early
// (a name lookup could block); the Session adopts the socket once it is connected, and on any
// failure connects again the ordinary way, so errors read as they always have.
#pragma once

#include <cstdint>
#include <string>

namespace talviewer {

// A non-blocking socket whose connection to address:port has begun (TCP_NODELAY and keep-alive
// set, as the Session sets them), or -1 when the address is not numeric or the attempt failed
// at once.
int BeginConnect(const std::string& address, uint16_t port);

// Whether the connection begun on `fd` succeeded, once the socket is writable.
bool ConnectSucceeded(int fd);

}  // namespace talviewer
