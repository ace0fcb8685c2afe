// One operator's session in talagent.exe: the connection out to the directory server that the
// server pairs with the viewer (the session's ID block first, as x11vnc sends it, then RFB),
// the RFB server core (rfbserver/server.h) fed with its bytes, the TLS it asks for (tls.h), and
// the core's events turned into captures, input and clipboard text. The event loop
// (control.cpp) owns the sessions and calls them when their socket is ready or their time is up.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "agent/protocol.h"
#include "agent/win32/desktop.h"
#include "agent/win32/tls.h"
#include "rfbserver/server.h"

namespace talagent::win {

// Starts a non-blocking TCP connection to `address` (sockaddr bytes, as getaddrinfo gave them)
// whose events signal `event`: the socket, or INVALID_SOCKET when it cannot be started. The
// control connection and the sessions connect alike.
SOCKET StartConnection(const std::vector<char>& address, WSAEVENT event);

class Session {
public:
    using Clock = std::chrono::steady_clock;

    // `tls` is null for a plain session (--insecure). `socket_event` is signalled for the
    // session's socket.
    Session(std::string id, Endpoint target, std::string operator_name, Right right,
            const TlsContext* tls, WSAEVENT socket_event, Screen& screen);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts the connection; false (with the reason logged) when it cannot.
    bool Start(const std::vector<std::vector<char>>& addresses);

    SOCKET socket() const { return sock_; }
    bool wants_read() const;
    bool wants_write() const;
    void OnSocket(bool readable, bool writable, bool failed);
    // Captures and sends what the viewer waits for, and gives up on a handshake past its time.
    void OnTimers();
    // When OnTimers() next has work.
    Clock::time_point next_time() const;
    // Text copied on this desktop (UTF-8).
    void OnClipboard(const std::string& text);

    bool ended() const { return ended_; }
    const std::string& id() const { return id_; }

private:
    void OnConnected();
    void Pump();
    void Flush();
    void HandleEvents();
    void End(const std::string& why);
    void Quicken();

    std::string id_;
    Endpoint target_;
    std::string operator_;
    Right right_;
    const TlsContext* tls_context_;
    WSAEVENT socket_event_;
    Screen& screen_;
    Input input_;
    Screen::CursorSeen cursor_seen_;
    SOCKET sock_ = INVALID_SOCKET;
    bool connecting_ = false;
    std::unique_ptr<TlsStream> tls_;
    bool tls_handshaking_ = false;
    std::vector<uint8_t> pending_tls_;  // bytes for TLS that came with the VeNCrypt choice
    bool tls_pending_ = false;          // StartTls asked; the plain output goes out first
    rfbserver::Server core_;
    std::string out_;  // bytes for the socket (plain) or for TLS
    Clock::time_point deadline_;
    Clock::time_point next_capture_{};
    std::chrono::milliseconds capture_interval_{40};
    bool ready_ = false;
    bool ended_ = false;
};

}  // namespace talagent::win
