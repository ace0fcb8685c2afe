// The dialog's connection to the directory server: it forwards the connect
// and read events to its owner window as messages, synchronously, notes when
// the connection is gone, and reads the port text the way the settings give
// it.
#include "launcher/net/server_socket.h"

#include "platform/dialog.h"

void CServerSocket::OnConnect(int errorCode) {
    // Noted before the owner hears of it: its request goes out inside this
    // call and must not open yet another connection.
    m_gone = errorCode != 0;
    SendWindowMessage(m_hOwner, WM_SERVER_CONNECT, 0, 0);
    CAsyncSocket::OnConnect(errorCode);
}

void CServerSocket::OnReceive(int errorCode) {
    SendWindowMessage(m_hOwner, WM_SERVER_RECEIVE, 0, 0);
    CAsyncSocket::OnReceive(errorCode);
}

void CServerSocket::OnClose(int errorCode) {
    m_gone = true;
    CAsyncSocket::OnClose(errorCode);
}

BOOL CServerSocket::ConnectTo(const std::string& address, const std::string& portText) {
    // Only the low 16 bits of the number make the port: 70000 is 4464.
    const bool started =
        Connect(address.c_str(), static_cast<UINT>(PortNumberFromText(portText))) ||
        GetLastError() == WSAEWOULDBLOCK;
    m_gone = !started;
    return started ? TRUE : FALSE;
}

BOOL CServerSocket::Reconnect(const std::string& address, const std::string& portText) {
    // A fresh socket: a TCP socket connects once. Closing the old one drops
    // whatever of its events is still queued.
    Close();
    if (!Create(0, SOCK_STREAM, kAllSocketEvents, nullptr)) {
        m_gone = true;
        return FALSE;
    }
    return ConnectTo(address, portText);
}

int PortNumberFromText(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL)
            value = 2147483648LL;
    }
    if (negative)
        return value >= 2147483648LL ? (-2147483647 - 1) : static_cast<int>(-value);
    return value > 2147483647LL ? 2147483647 : static_cast<int>(value);
}
