// The agent's event loop: one thread, one poll() over the control connection and a signalfd.
// It keeps the control connection to the directory server up (connecting, TLS with the
// server's certificate checked (tls_link.h), registering, proving its key, answering pings,
// reconnecting with back-off), turns valid `connect` orders into sessions (the question first with
// --ask, then x11vnc; a refusal the viewer can show when the X display is gone), and reaps the
// children on SIGCHLD. It never waits on a child: the dialog and x11vnc run on their own while
// pings are answered.
#pragma once

#include <sys/socket.h>
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
#include "agent/tls_link.h"

namespace talagent {

// Exit statuses (see Usage()).
inline constexpr int kExitStopped = 0;
inline constexpr int kExitUnusable = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitRefused = 3;

// "1 session", "2 sessions".
std::string Sessions(std::size_t count);

class Agent {
public:
    Agent(Options options, Key key);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Runs until SIGTERM/SIGINT or a refusal for good; returns the exit status.
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    enum class Link { Waiting, Connecting, Handshaking, Registering, Registered };
    struct Session {
        std::string id;
        Endpoint target;
        std::string operator_name;  // empty: not proven
        Right right = Right::Control;
        pid_t dialog = -1;
        pid_t x11vnc = -1;
        pid_t refusal = -1;  // telling the viewer that the display is gone
        Clock::time_point ask_deadline{};
        bool dialog_timed_out = false;
    };

    void StartConnect();
    bool TryNextAddress();
    short PollEvents() const;
    void OnWritable();
    void OnHandshake();
    void StartRegistering();
    void OnReadable();
    void OnBytes(std::string_view bytes);
    void OnLine(const std::string& line);
    void Send(std::string_view bytes);
    void Drop(const std::string& why);
    void Finish(int status);
    void OnConnectOrder(const Message& order);
    void Decline(const std::string& id, std::string_view reason);
    void StartX11vnc(Session& session);
    void Refuse(Session& session, const std::string& why);
    void OnSignal();
    void Reap(pid_t pid, int status);
    void OnTimers();
    int PollTimeout() const;

    Options options_;
    Key key_;
    Registration registration_{options_.name, key_};
    int signals_ = -1;
    int sock_ = -1;
    std::unique_ptr<TlsTrust> trust_;  // null with --insecure: a plain control connection
    std::unique_ptr<TlsLink> tls_;     // this connection's TLS
    Link link_ = Link::Waiting;
    LineSplitter splitter_;
    std::string out_;
    // Waiting: when to connect next; Connecting/Registering: when to give up on this attempt.
    Clock::time_point deadline_{};
    Clock::time_point registered_at_{};
    int failures_ = 0;
    struct Address {
        sockaddr_storage storage;
        socklen_t length;
    };
    std::vector<Address> addresses_;
    std::string server_address_;  // the numeric address of the server connected to
    std::size_t next_address_ = 0;
    std::list<Session> sessions_;
    std::mt19937_64 random_;
    int exit_status_ = -1;  // set: stopping; the loop ends once the children are gone
    Clock::time_point stop_deadline_{};
};

}  // namespace talagent
