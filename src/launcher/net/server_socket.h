// The dialog's connection to the directory server: an asynchronous socket
// that tells its owner window of the connect and read events, synchronously.
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

    // Starts the connection to the settings' address and port text (read by
    // PortNumberFromText).
    BOOL ConnectTo(const std::string& address, const std::string& portText);

private:
    HWND m_hOwner = nullptr;
};

// The port text as the C runtime's atoi reads it on Windows: leading white
// space and a sign, then digits up to the first non-digit; no digits give 0,
// and a number too large saturates (where atoi itself would be undefined).
int PortNumberFromText(const std::string& text);
