// The dialog's connection to the directory server: an asynchronous socket
// that tells its owner window of the connect and read events, synchronously,
// and knows when the connection is gone so that the owner can open it again.
#pragma once

#include <string>

#include "platform/async_socket.h"
#include "platform/types.h"

inline constexpr UINT WM_SERVER_CONNECT = WM_USER + 255;  // 0x4FF
inline constexpr UINT WM_SERVER_RECEIVE = WM_USER + 254;  // 0x4FE

class CServerSocket : public CAsyncSocket {
public:
    // Must come before Connect: every notification goes to this window.
    void SetOwner(HWND owner) { m_hOwner = owner; }

    // A failed attempt is reported exactly like a successful one: the owner
    // sends its request either way and learns of the failure from the send.
    void OnConnect(int errorCode) override;
    // The owner reads the data itself, inside this call.
    void OnReceive(int errorCode) override;
    // The server closed the connection (or it was reset): it is gone.
    void OnClose(int errorCode) override;

    // Starts the connection to the settings' address and port text (read by
    // PortNumberFromText). True while the attempt goes on: its outcome comes
    // as the connect event. False when it could not start (no socket, a name
    // that cannot be looked up): the connection is then gone at once.
    BOOL ConnectTo(const std::string& address, const std::string& portText);
    // Drops the socket and starts a connection on a fresh one, as ConnectTo.
    BOOL Reconnect(const std::string& address, const std::string& portText);

    // No connection to send on, nor one on its way: the socket could not be
    // made, the attempt failed, or the server closed the connection. A
    // request then needs Reconnect first.
    bool Gone() const { return m_gone || m_hSocket == INVALID_SOCKET; }

private:
    HWND m_hOwner = nullptr;
    bool m_gone = false;
};

// The port text as the C runtime's atoi reads it on Windows: leading white
// space and a sign, then digits up to the first non-digit; no digits give 0,
// and a number too large saturates (where atoi itself would be undefined).
int PortNumberFromText(const std::string& text);
