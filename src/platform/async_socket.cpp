// CAsyncSocket and the event dispatcher of the user-interface thread.
//
// The backend posts every socket event to the UI thread; the dispatcher
// appends it to the pending list and works the list off oldest first,
// dropping what must not be delivered: events of a closed handle (until the
// handle's dead-socket message has passed, so that a reused handle number
// does not inherit them), and events of a handle no object owns. A read
// event is first checked with a zero time-out select, so a stale one that an
// earlier receive already satisfied delivers nothing.
#include "platform/async_socket.h"

#include <bit>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>

#include "platform/socket_layer.h"

namespace {

struct Dispatcher {
    std::map<SOCKET, CAsyncSocket*> live;
    std::map<SOCKET, int> closed;  // handle -> dead-socket messages still to come
    std::deque<std::pair<SOCKET, LPARAM>> pending;
};

Dispatcher& TheDispatcher() {
    static Dispatcher d;
    return d;
}

std::uint16_t HostToNet16(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::uint16_t>((v >> 8) | (v << 8));
    return v;
}

void Deliver(SOCKET handle, LPARAM selectReply) {
    Dispatcher& d = TheDispatcher();
    if (handle == 0 && selectReply == 0)
        return;
    if (d.closed.count(handle) != 0)
        return;
    auto it = d.live.find(handle);
    if (it == d.live.end())
        return;
    CAsyncSocket* socket = it->second;

    const long event = static_cast<long>(selectReply & 0xFFFF);
    int error = static_cast<int>((static_cast<unsigned long>(selectReply) >> 16) & 0xFFFF);
    switch (event) {
        case FD_READ: {
            const int readable = platform::sock::SelectReadable(handle);
            if (readable == SOCKET_ERROR)
                error = platform::sock::LastError();
            if (readable == 1 || error != 0)
                socket->OnReceive(error);
            break;
        }
        case FD_CONNECT:
            socket->OnConnect(error);
            break;
        case FD_CLOSE:
            socket->OnClose(error);
            break;
        default:
            break;
    }
}

}  // namespace

void CAsyncSocket::DispatchNotification(SOCKET handle, LPARAM selectReply) {
    Dispatcher& d = TheDispatcher();
    d.pending.emplace_back(handle, selectReply);
    // Each event leaves the list before it is delivered. A handler that runs
    // a nested loop (a message box) gets further notifications delivered
    // from inside that loop, oldest first, as Windows delivers them; the
    // outer loop then finds the list emptied.
    while (!d.pending.empty()) {
        auto [h, reply] = d.pending.front();
        d.pending.pop_front();
        Deliver(h, reply);
    }
}

void CAsyncSocket::DispatchDeadSocket(SOCKET handle) {
    Dispatcher& d = TheDispatcher();
    auto it = d.closed.find(handle);
    if (it == d.closed.end())
        return;
    if (--it->second <= 0)
        d.closed.erase(it);
}

CAsyncSocket::~CAsyncSocket() {
    if (m_hSocket != INVALID_SOCKET)
        CAsyncSocket::Close();
}

BOOL CAsyncSocket::Create(UINT socketPort, int socketType, long events, const char* socketAddress) {
    m_hSocket = platform::sock::Open(socketType);
    if (m_hSocket == INVALID_SOCKET)
        return FALSE;
    Dispatcher& d = TheDispatcher();
    // A closed earlier socket with this number may still have events queued;
    // its closed-map entry drops them until its dead-socket message passes.
    // This socket's own events are queued after that message.
    d.live[m_hSocket] = this;
    if (platform::sock::AsyncSelect(m_hSocket, events) == SOCKET_ERROR)
        return FALSE;

    std::uint32_t address = 0;  // INADDR_ANY
    if (socketAddress != nullptr) {
        address = platform::sock::InetAddr(socketAddress);
        if (address == platform::sock::kAddressNone) {
            platform::sock::SetLastError(WSAEINVAL);
            return FALSE;
        }
    }
    if (platform::sock::Bind(m_hSocket, address,
                             HostToNet16(static_cast<std::uint16_t>(socketPort))) == SOCKET_ERROR) {
        const int error = platform::sock::LastError();
        Close();
        platform::sock::SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL CAsyncSocket::Connect(const char* hostAddress, UINT hostPort) {
    if (hostAddress == nullptr)
        return FALSE;
    std::uint32_t address = platform::sock::InetAddr(hostAddress);
    if (address == platform::sock::kAddressNone) {
        if (!platform::sock::ResolveHost(hostAddress, &address)) {
            platform::sock::SetLastError(WSAEINVAL);
            return FALSE;
        }
    }
    const std::uint16_t port = HostToNet16(static_cast<std::uint16_t>(hostPort & 0xFFFF));
    return platform::sock::Connect(m_hSocket, address, port) == 0 ? TRUE : FALSE;
}

int CAsyncSocket::Receive(void* buffer, int length, int flags) {
    return platform::sock::Recv(m_hSocket, buffer, length, flags);
}

int CAsyncSocket::Send(const void* buffer, int length, int flags) {
    return platform::sock::Send(m_hSocket, buffer, length, flags);
}

BOOL CAsyncSocket::ShutDown(int how) {
    return platform::sock::Shutdown(m_hSocket, how) == SOCKET_ERROR ? FALSE : TRUE;
}

void CAsyncSocket::Close() {
    if (m_hSocket == INVALID_SOCKET)
        return;
    const SOCKET handle = m_hSocket;
    platform::sock::Close(handle);
    Dispatcher& d = TheDispatcher();
    d.live.erase(handle);
    if (d.live.empty()) {
        d.closed.clear();
        d.pending.clear();
        platform::sock::ReleaseSink();
    } else {
        ++d.closed[handle];
        platform::sock::PostDeadSocket(handle);
    }
    m_hSocket = INVALID_SOCKET;
}

int CAsyncSocket::GetLastError() {
    return platform::sock::LastError();
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
