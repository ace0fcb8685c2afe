// The raw socket operations each backend provides (Windows Sockets 1.1 on
// Windows, an emulation of its asynchronous select on POSIX). Only the
// portable CAsyncSocket calls these. Addresses and ports are in network byte
// order; failures return SOCKET_ERROR (or INVALID_SOCKET) and leave a
// Winsock error code for LastError().
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace platform::sock {

inline constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

// WSAStartup for version 1.1; fails (after cleaning up) for any other version.
bool Startup();

SOCKET Open(int type);
// From now on the socket is non-blocking and its events are posted to the UI
// thread, which hands them to CAsyncSocket::DispatchNotification.
int AsyncSelect(SOCKET s, long events);
int Bind(SOCKET s, std::uint32_t address, std::uint16_t port);
// A dotted IPv4 address, or kAddressNone.
std::uint32_t InetAddr(const char* text);
// Blocking name lookup; the first IPv4 address found.
bool ResolveHost(const char* name, std::uint32_t* address);
int Connect(SOCKET s, std::uint32_t address, std::uint16_t port);
// select() with a zero time-out on this one socket: 1 readable, 0 not.
int SelectReadable(SOCKET s);
int Send(SOCKET s, const void* buffer, int length, int flags);
int Recv(SOCKET s, void* buffer, int length, int flags);
int Shutdown(SOCKET s, int how);
int Close(SOCKET s);
int LastError();
void SetLastError(int error);

// Posts the dispatcher's second private message for a closed handle; it is
// handled after every event already queued for that handle.
void PostDeadSocket(SOCKET s);
// The dispatcher has no socket left: the backend may release its event sink.
void ReleaseSink();

}  // namespace platform::sock
