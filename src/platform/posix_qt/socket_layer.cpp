// Windows Sockets' asynchronous select, emulated on POSIX sockets and the Qt
// event loop.
//
// Windows re-enables each event by the call that consumes it; the emulation
// keeps the same bookkeeping per socket:
//   - connect: one FD_CONNECT per attempt, with the attempt's error;
//   - read: the read notifier is switched off as soon as FD_READ is posted
//     and switched on again by Recv, so one event is pending at most, and
//     data left unread after a receive brings the next one;
//   - close: the peer's orderly close or reset posts FD_CLOSE once and the
//     notifier stays off, so a closed peer costs no CPU.
// Write, out-of-band and accept events are not emulated: the dispatcher
// drops them on every platform, so the write notifier only watches a
// connect attempt.
// Events are posted to the UI thread's queue, so they are handled from any
// running event loop, nested ones included, in the order they occurred.
#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "platform/async_socket.h"
#include "platform/socket_layer.h"

namespace platform::sock {

namespace {

thread_local int t_lastError = 0;

struct SocketState {
    long events = 0;
    bool connecting = false;
    bool readArmed = true;     // FD_READ may be posted
    bool closePosted = false;  // FD_CLOSE went out: nothing more to read
    bool connected = false;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
};

std::map<SOCKET, SocketState>& Sockets() {
    static std::map<SOCKET, SocketState> sockets;
    return sockets;
}

// Bumped when the dispatcher lets go of every socket: events still queued
// from before belong to handles that no longer exist, whatever number a new
// socket may get.
unsigned g_generation = 0;

int FromErrno(int e) {
    switch (e) {
        case 0:
            return 0;
        case EWOULDBLOCK:
            return WSAEWOULDBLOCK;
        case EINPROGRESS:
            return WSAEWOULDBLOCK;
        case EALREADY:
            return WSAEALREADY;
        case EBADF:
        case ENOTSOCK:
            return WSAENOTSOCK;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ENOTCONN:
            return WSAENOTCONN;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETRESET:
            return WSAENETRESET;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EINTR:
            return WSAEINTR;
        case EFAULT:
            return WSAEFAULT;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        default:
            return WSAEINVAL;
    }
}

int Fail(int wsaError) {
    t_lastError = wsaError;
    return SOCKET_ERROR;
}

void Post(SOCKET s, long event, int error) {
    const unsigned generation = g_generation;
    const LPARAM reply = MakeSelectReply(event, error);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [s, reply, generation] {
            if (generation == g_generation)
                CAsyncSocket::DispatchNotification(s, reply);
        },
        Qt::QueuedConnection);
}

SocketState* Find(SOCKET s) {
    auto it = Sockets().find(s);
    return it == Sockets().end() ? nullptr : &it->second;
}

void UpdateReadNotifier(SocketState& st) {
    if (st.readNotifier)
        st.readNotifier->setEnabled(st.connected && !st.closePosted && st.readArmed &&
                                    (st.events & (FD_READ | FD_CLOSE)) != 0);
}

void PostClose(SOCKET s, SocketState& st, int error) {
    if (st.closePosted)
        return;
    st.closePosted = true;
    UpdateReadNotifier(st);
    if (st.events & FD_CLOSE)
        Post(s, FD_CLOSE, error);
}

void OnReadable(SOCKET s) {
    SocketState* st = Find(s);
    if (st == nullptr)
        return;
    char probe;
    const ssize_t n = ::recv(static_cast<int>(s), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        st->readArmed = false;
        UpdateReadNotifier(*st);
        if (st->events & FD_READ)
            Post(s, FD_READ, 0);
        return;
    }
    if (n == 0) {
        PostClose(s, *st, 0);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return;
    PostClose(s, *st, FromErrno(errno));
}

void OnWritable(SOCKET s) {
    SocketState* st = Find(s);
    if (st == nullptr)
        return;
    st->writeNotifier->setEnabled(false);
    if (!st->connecting)
        return;
    st->connecting = false;
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &error, &len);
    if (st->events & FD_CONNECT)
        Post(s, FD_CONNECT, FromErrno(error));
    if (error != 0)
        return;
    st->connected = true;
    UpdateReadNotifier(*st);
}

}  // namespace

bool Startup() {
    return true;
}

SOCKET Open(int type) {
    const int fd = ::socket(AF_INET, (type == SOCK_STREAM ? SOCK_STREAM : type) | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        t_lastError = FromErrno(errno);
        return INVALID_SOCKET;
    }
    Sockets()[static_cast<SOCKET>(fd)];
    return static_cast<SOCKET>(fd);
}

int AsyncSelect(SOCKET s, long events) {
    SocketState* st = Find(s);
    if (st == nullptr)
        return Fail(WSAENOTSOCK);
    const int fd = static_cast<int>(s);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return Fail(FromErrno(errno));
    st->events = events;
    if (!st->readNotifier) {
        st->readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        st->writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        QObject::connect(st->readNotifier.get(), &QSocketNotifier::activated,
                         [s] { OnReadable(s); });
        QObject::connect(st->writeNotifier.get(), &QSocketNotifier::activated,
                         [s] { OnWritable(s); });
        st->writeNotifier->setEnabled(false);
    }
    UpdateReadNotifier(*st);
    return 0;
}

int Bind(SOCKET s, std::uint32_t address, std::uint16_t port) {
    if (Find(s) == nullptr)
        return Fail(WSAENOTSOCK);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    if (::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return Fail(FromErrno(errno));
    return 0;
}

std::uint32_t InetAddr(const char* text) {
    return ::inet_addr(text);
}

bool ResolveHost(const char* name, std::uint32_t* address) {
    if (name == nullptr || *name == '\0')
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr)
        return false;
    *address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(result);
    return true;
}

int Connect(SOCKET s, std::uint32_t address, std::uint16_t port) {
    SocketState* st = Find(s);
    if (st == nullptr)
        return Fail(WSAENOTSOCK);
    if (st->connecting)
        return Fail(WSAEALREADY);
    if (st->connected)
        return Fail(WSAEISCONN);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ||
        errno == EINPROGRESS) {
        // Even a connection made at once reports through the events, as
        // on Windows: the caller sees "would block" and then FD_CONNECT.
        st->connecting = true;
        if (st->writeNotifier) {
            st->writeNotifier->setEnabled(true);
            // On loopback the attempt is usually over already. Its outcome is
            // queued now rather than after the loop's next poll, so it is
            // handled ahead of the first paint, as Windows handles a socket
            // message ahead of WM_PAINT.
            pollfd p{static_cast<int>(s), POLLOUT, 0};
            if (::poll(&p, 1, 0) > 0)
                OnWritable(s);
        }
        return Fail(WSAEWOULDBLOCK);
    }
    const int error = errno;
    switch (error) {
        case ECONNREFUSED:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ETIMEDOUT:
            // The attempt was made and failed: that is its outcome, which
            // Windows reports through the connect event.
            if (st->events & FD_CONNECT)
                Post(s, FD_CONNECT, FromErrno(error));
            return Fail(WSAEWOULDBLOCK);
        default:
            return Fail(FromErrno(error));
    }
}

int SelectReadable(SOCKET s) {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    const int r = ::poll(&p, 1, 0);
    if (r < 0)
        return Fail(FromErrno(errno));
    if (r > 0 && (p.revents & POLLNVAL))
        return Fail(WSAENOTSOCK);
    return (r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) ? 1 : 0;
}

int Send(SOCKET s, const void* buffer, int length, int flags) {
    SocketState* st = Find(s);
    if (st == nullptr)
        return Fail(WSAENOTSOCK);
    if (length < 0)
        return Fail(WSAEINVAL);
    const ssize_t n =
        ::send(static_cast<int>(s), buffer, size_t(length), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0)
        return static_cast<int>(n);
    return Fail(FromErrno(errno));
}

int Recv(SOCKET s, void* buffer, int length, int flags) {
    SocketState* st = Find(s);
    if (st == nullptr)
        return Fail(WSAENOTSOCK);
    if (length < 0)
        return Fail(WSAEINVAL);
    const ssize_t n = ::recv(static_cast<int>(s), buffer, size_t(length), flags | MSG_DONTWAIT);
    const int error = errno;
    // Receiving re-enables the read event.
    st->readArmed = true;
    UpdateReadNotifier(*st);
    if (n >= 0)
        return static_cast<int>(n);
    if (!st->connected && !st->connecting && error == ENOTCONN)
        return Fail(WSAENOTCONN);
    return Fail(FromErrno(error));
}

int Shutdown(SOCKET s, int how) {
    if (Find(s) == nullptr)
        return Fail(WSAENOTSOCK);
    if (::shutdown(static_cast<int>(s), how) != 0)
        return Fail(FromErrno(errno));
    return 0;
}

int Close(SOCKET s) {
    auto it = Sockets().find(s);
    if (it == Sockets().end())
        return Fail(WSAENOTSOCK);
    // The notifiers must go before the descriptor they watch.
    Sockets().erase(it);
    ::close(static_cast<int>(s));
    return 0;
}

int LastError() {
    return t_lastError;
}
void SetLastError(int error) {
    t_lastError = error;
}

void PostDeadSocket(SOCKET s) {
    const unsigned generation = g_generation;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [s, generation] {
            if (generation == g_generation)
                CAsyncSocket::DispatchDeadSocket(s);
        },
        Qt::QueuedConnection);
}

void ReleaseSink() {
    ++g_generation;
}

}  // namespace platform::sock
