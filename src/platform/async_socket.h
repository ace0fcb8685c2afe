// An asynchronous TCP socket whose events arrive on the user-interface
// thread, one at a time, through the thread's event dispatcher.
//
// The delivery rules are Windows' asynchronous select:
//   - events are handled from the UI thread's message loop (or the nested
//     loop of an open message box), oldest first, each with its error code;
//   - one connect event per attempt, success or failure alike;
//   - a read event only while data can be read without waiting or when it
//     carries an error, and after each receive that leaves data unread
//     another one;
//   - after Close nothing of that socket is delivered, pending events
//     included.
// The dispatcher (the map of live sockets, the map of closed handles and the
// pending-event list) is portable; the backend supplies the raw operations
// and the posting of events (socket_layer.h).
#pragma once

#include "platform/types.h"

inline constexpr long kAllSocketEvents =
    FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

class CAsyncSocket {
public:
    CAsyncSocket() = default;
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Makes the socket, registers it with the dispatcher, selects `events`
    // and binds it (any address when `socketAddress` is null).
    BOOL Create(UINT socketPort = 0, int socketType = SOCK_STREAM, long events = kAllSocketEvents,
                const char* socketAddress = nullptr);
    // A dotted IPv4 address is used as it is; any other text is looked up
    // as a host name (blocking). False with WSAEWOULDBLOCK while the attempt
    // goes on; the outcome arrives as the connect event.
    BOOL Connect(const char* hostAddress, UINT hostPort);
    virtual int Receive(void* buffer, int length, int flags = 0);
    virtual int Send(const void* buffer, int length, int flags = 0);
    BOOL ShutDown(int how = SD_SEND);
    virtual void Close();

    static int GetLastError();

    // The events a client of the layer acts on. Write, out-of-band and
    // accept events are selected with the rest, as Windows selects them,
    // and dropped by the dispatcher: a connection that only asks and reads
    // needs none of them.
    virtual void OnReceive(int errorCode);
    virtual void OnConnect(int errorCode);
    virtual void OnClose(int errorCode);

    // Entry points of the dispatcher, called by the backend on the UI thread.
    // `selectReply` carries the event in its low 16 bits and the error code
    // in the next 16, as Windows packs them.
    static void DispatchNotification(SOCKET handle, LPARAM selectReply);
    // The second private message: a closed handle's pending events are over.
    static void DispatchDeadSocket(SOCKET handle);

    SOCKET m_hSocket = INVALID_SOCKET;
};

inline constexpr LPARAM MakeSelectReply(long event, int error) {
    return static_cast<LPARAM>((event & 0xFFFF) |
                               ((static_cast<unsigned long>(error) & 0xFFFF) << 16));
}
