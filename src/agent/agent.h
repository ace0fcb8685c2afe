// The agent's event loop: one thread, one poll() over the control connection and a signalfd.
// It carries out what the control connection's core (control_link.h) decides: connecting, TLS
// with the server's certificate checked (tls_link.h), reading and writing the socket; turns
// admitted `connect` orders into sessions (the question first with --ask, then x11vnc; a refusal
// the viewer can show when the X display is gone), and reaps the children on SIGCHLD. It never
// waits on a child: the dialog and x11vnc run on their own while pings are answered.
#pragma once

#include <sys/socket.h>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "agent/control_link.h"
#include "agent/key.h"
#include "agent/options.h"
#include "agent/protocol.h"
#include "agent/tls_link.h"

namespace talagent {

class Agent : private ControlLink::Driver {
public:
    Agent(Options options, Key key);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Runs until SIGTERM/SIGINT or a refusal for good; returns the exit status.
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    struct Session {
        std::string id;
        Endpoint target;
        std::string operator_name;  // empty: not proven
        Right right = Right::Control;
        pid_t dialog = -1;
        pid_t server = -1;   // x11vnc, or the encrypted session's process that starts it
        pid_t refusal = -1;  // telling the viewer that the display is gone
        Clock::time_point ask_deadline{};
        bool dialog_timed_out = false;
    };

    // What the control connection's core asks for.
    void Connect() override;
    void StartTls() override;
    void Close() override;
    void Order(const Message& order) override;
    void Stop() override;
    void Flush() override;
    bool stopping() const override { return exit_status_ >= 0; }

    bool TryNextAddress();
    short PollEvents() const;
    void OnSocket(short revents);
    void OnConnected();
    void OnHandshake();
    void OnReadable();
    void Finish(int status);
    void Decline(const std::string& id, std::string_view reason);
    void StartX11vnc(Session& session);
    // What serves a session's screen, as the log names it.
    std::string ServerName() const;
    void Refuse(Session& session, const std::string& why);
    void OnSignal();
    void Reap(pid_t pid, int status);
    void OnTimers();
    int PollTimeout() const;

    ControlLink link_;
    const Options& options_ = link_.options();
    int signals_ = -1;
    int sock_ = -1;
    std::unique_ptr<TlsTrust> trust_;  // null with --insecure: a plain control connection
    std::unique_ptr<TlsLink> tls_;     // this connection's TLS
    struct Address {
        sockaddr_storage storage;
        socklen_t length;
    };
    std::vector<Address> addresses_;
    std::size_t next_address_ = 0;
    std::list<Session> sessions_;
    int exit_status_ = -1;  // set: stopping; the loop ends once the children are gone
    Clock::time_point stop_deadline_{};
};

}  // namespace talagent
