// talagent.exe's event loop and the I/O of its control connection to the directory server: it
// carries out what the control connection's core (agent/control_link.h, talagent's too) decides
// (connecting, TLS (tls.h), reading and writing the socket), and turns admitted `connect` orders
// into sessions, asking the person at the screen first with --ask.
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
#include <string>
#include <vector>

#include "agent/control_link.h"
#include "agent/key.h"
#include "agent/options.h"
#include "agent/protocol.h"
#include "agent/win32/clipboard.h"
#include "agent/win32/desktop.h"
#include "agent/win32/session.h"
#include "agent/win32/tls.h"

namespace talagent::win {

class Control : private ControlLink::Driver {
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

    // What the control connection's core asks for.
    void Connect() override;
    void StartTls() override;
    void Close() override;
    void Order(const Message& order) override;
    void Stop() override;
    void Flush() override;
    bool stopping() const override { return exit_status_ >= 0; }

    bool TryNextAddress();
    void OnSocket(bool readable, bool writable, bool failed);
    void OnConnected();
    void OnHandshake();
    void OnReadable();
    void OnAskAnswer(WPARAM number, bool allowed);
    void StartSession(const std::string& id, const Endpoint& target,
                      const std::string& operator_name, Right right);
    bool SelectReady();
    void Finish(int status);
    void OnTimers();
    DWORD WaitMillis() const;

    ControlLink link_;
    const Options& options_ = link_.options();
    std::unique_ptr<TlsContext> tls_context_;
    HANDLE stop_;
    WSAEVENT socket_event_ = WSA_INVALID_EVENT;
    SOCKET sock_ = INVALID_SOCKET;
    std::unique_ptr<TlsStream> tls_;
    std::vector<std::vector<char>> addresses_;  // sockaddr bytes, in getaddrinfo's order
    std::size_t next_address_ = 0;
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
