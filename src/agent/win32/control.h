// talagent.exe's event loop and its control connection to the directory server: connecting,
// TLS (tls.h), registering and proving the agent key, answering pings, reconnecting with the
// shared back-off, and turning valid `connect` orders into sessions.
//
// One thread does it all: Winsock sockets signal one event object each (WSAEventSelect), the
// thread waits on them and on its window messages at once (MsgWaitForMultipleObjects), and then
// asks select() with no wait which sockets are really ready. One thread because mbed TLS's
// random generator is not thread-safe as built, because the sessions' capture, input and
// clipboard calls belong on a thread with a message queue, and because the session core is
// sans-IO and never blocks.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "agent/key.h"
#include "agent/options.h"
#include "agent/protocol.h"
#include "agent/registration.h"
#include "agent/win32/clipboard.h"
#include "agent/win32/desktop.h"
#include "agent/win32/session.h"
#include "agent/win32/tls.h"

namespace talagent::win {

// Exit statuses, as talagent's.
inline constexpr int kExitStopped = 0;
inline constexpr int kExitUnusable = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitRefused = 3;

class Control {
public:
    // `tls` is null with --insecure. `stop` is signalled to end the agent (Ctrl+C, logoff).
    Control(Options options, Key key, std::unique_ptr<TlsContext> tls, HANDLE stop);
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Runs until `stop` or a refusal for good; returns the exit status.
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    enum class Link { Waiting, Connecting, Handshaking, Registering, Registered };

    void StartConnect();
    bool TryNextAddress();
    void OnSocket(bool readable, bool writable, bool failed);
    void OnConnected();
    void OnHandshake();
    void OnWritable();
    void OnReadable();
    void StartRegistering();
    void OnLine(const std::string& line);
    void OnConnectOrder(const Message& order);
    void OnAskAnswer(WPARAM number, bool allowed);
    void StartSession(const std::string& id, const Endpoint& target,
                      const std::string& operator_name, Right right);
    bool SelectReady();
    void Decline(const std::string& id, std::string_view reason);
    void Send(std::string_view bytes);
    void CloseSocket();
    void Drop(const std::string& why);
    void Finish(int status);
    void OnTimers();
    DWORD WaitMillis() const;

    Options options_;
    Key key_;
    Registration registration_{options_.name, key_};
    std::unique_ptr<TlsContext> tls_context_;
    HANDLE stop_;
    WSAEVENT socket_event_ = WSA_INVALID_EVENT;
    SOCKET sock_ = INVALID_SOCKET;
    std::unique_ptr<TlsStream> tls_;
    Link link_ = Link::Waiting;
    LineSplitter splitter_;
    std::string out_;
    Clock::time_point deadline_{};
    Clock::time_point registered_at_{};
    int failures_ = 0;
    std::vector<std::vector<char>> addresses_;  // sockaddr bytes, in getaddrinfo's order
    std::size_t next_address_ = 0;
    std::string server_address_;
    std::mt19937_64 random_;
    DWORD thread_ = GetCurrentThreadId();
    std::unique_ptr<Screen> screen_;
    std::unique_ptr<ClipboardWatch> clipboard_;
    std::list<std::unique_ptr<Session>> sessions_;
    // Orders waiting for the person at the screen (--ask).
    struct Asking {
        WPARAM number;
        std::string id;
        Endpoint target;
        std::string operator_name;
        Right right;
        Clock::time_point deadline;
    };
    std::list<Asking> asking_;
    WPARAM next_number_ = 1;
    int exit_status_ = -1;
};

}  // namespace talagent::win
