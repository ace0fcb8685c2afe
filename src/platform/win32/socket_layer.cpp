// The socket layer on Windows Sockets 1.1. Events come from WSAAsyncSelect
// through a hidden window of the user-interface thread, as the framework
// does it; that window hands them to the portable dispatcher, which keeps
// the pending list and the map of closed handles.
// The SDK first, before any header of the layer (see win_includes.h).
#include "platform/win32/win_includes.h"

#include <cstring>

#include "platform/async_socket.h"
#include "platform/socket_layer.h"

namespace platform::sock {

namespace {

// Private messages of the hidden window: a socket event, and the
// dispatcher's note that a closed handle's earlier events have all passed.
constexpr UINT kSocketNotify = WM_APP + 0x73;
constexpr UINT kSocketDead = WM_APP + 0x74;
constexpr char kSinkClass[] = "LauncherSocketSink";
constexpr char kSinkTitle[] = "Socket Notification Sink";

HWND g_sink = nullptr;

LRESULT CALLBACK SinkProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kSocketNotify:
            CAsyncSocket::DispatchNotification(static_cast<SOCKET>(wParam), lParam);
            return 0;
        case kSocketDead:
            CAsyncSocket::DispatchDeadSocket(static_cast<SOCKET>(wParam));
            return 0;
        default:
            return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

// The hidden window, created when the first socket selects its events.
HWND Sink() {
    if (g_sink != nullptr)
        return g_sink;
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    if (!GetClassInfoA(instance, kSinkClass, &wc)) {
        wc = WNDCLASSA{};
        wc.lpfnWndProc = SinkProcedure;
        wc.hInstance = instance;
        wc.lpszClassName = kSinkClass;
        if (RegisterClassA(&wc) == 0)
            return nullptr;
    }
    g_sink = CreateWindowExA(0, kSinkClass, kSinkTitle, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                             instance, nullptr);
    return g_sink;
}

sockaddr_in Address(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    return sa;
}

}  // namespace

bool Startup() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return false;
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
        WSACleanup();
        return false;
    }
    return true;
}

SOCKET Open(int type) {
    return ::socket(AF_INET, type, 0);
}

int AsyncSelect(SOCKET s, long events) {
    const HWND sink = Sink();
    if (sink == nullptr) {
        WSASetLastError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
    return WSAAsyncSelect(s, sink, kSocketNotify, events);
}

int Bind(SOCKET s, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in sa = Address(address, port);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

std::uint32_t InetAddr(const char* text) {
    return ::inet_addr(text);
}

bool ResolveHost(const char* name, std::uint32_t* address) {
    const hostent* host = ::gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
        return false;
    std::memcpy(address, host->h_addr_list[0], 4);
    return true;
}

int Connect(SOCKET s, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in sa = Address(address, port);
    return ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

int SelectReadable(SOCKET s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval now{0, 0};
    return ::select(0, &readable, nullptr, nullptr, &now);
}

int Send(SOCKET s, const void* buffer, int length, int flags) {
    return ::send(s, static_cast<const char*>(buffer), length, flags);
}

int Recv(SOCKET s, void* buffer, int length, int flags) {
    return ::recv(s, static_cast<char*>(buffer), length, flags);
}

int Shutdown(SOCKET s, int how) {
    return ::shutdown(s, how);
}

int Close(SOCKET s) {
    return ::closesocket(s);
}

int LastError() {
    return WSAGetLastError();
}

void SetLastError(int error) {
    WSASetLastError(error);
}

void PostDeadSocket(SOCKET s) {
    if (g_sink != nullptr)
        PostMessageA(g_sink, kSocketDead, static_cast<WPARAM>(s), 0);
}

void ReleaseSink() {
    // Events still queued for the window go with it.
    if (g_sink != nullptr)
        DestroyWindow(g_sink);
    g_sink = nullptr;
}

}  // namespace platform::sock
