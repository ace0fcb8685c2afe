// The agent's control connection to the directory server, without I/O: the same for talagent
// (agent.cpp, OpenSSL, x11vnc sessions) and talagent.exe (win32/control.cpp, mbed TLS, its own
// sessions). It decides when to connect and when to give up on an attempt, keeps the back-off
// and the round of --server options, queues what the agent sends (bounded), splits the server's
// bytes into lines for the registration (registration.h), and checks each session order against
// the agent's rules. The front ends feed it what their sockets and TLS did, write out() to the
// socket, carry out the events it returns, and wake it at deadline().
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "agent/key.h"
#include "agent/options.h"
#include "agent/protocol.h"
#include "agent/registration.h"
#include "agent/tls_status.h"

namespace talagent {

// Exit statuses, the same for both agents (see Usage()).
inline constexpr int kExitStopped = 0;
inline constexpr int kExitUnusable = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitRefused = 3;

// "1 session", "2 sessions".
std::string Sessions(std::size_t count);

// What the front end is to do, in the order the core decided it.
struct LinkEvent {
    enum class Kind {
        kConnect,   // look up server() and connect to it; then Connected() or Failed()
        kStartTls,  // the connection is up: the TLS handshake, then Secured() or Failed()
        kClose,     // close the socket and its TLS (the core has logged why)
        kOrder,     // a session order from the server: `order`, for Admit() to judge
        kStop,      // the server refused this agent for good: stop with kExitRefused
    };
    Kind kind;
    Message order;
};

// What Admit() decided about an order.
enum class Admission {
    kIgnore,   // not acted on (another server, or a session already open); logged
    kDecline,  // declined to the server (busy, or --ask without a proven operator); logged
    kStart,    // start the session (ask first with --ask)
};

class ControlLink {
public:
    using Clock = std::chrono::steady_clock;
    enum class State { kWaiting, kConnecting, kHandshaking, kRegistering, kRegistered };

    // What a front end does for the core: one call per event kind, and Flush() to write out().
    class Driver {
    public:
        virtual void Connect() = 0;
        virtual void StartTls() = 0;
        virtual void Close() = 0;
        virtual void Order(const Message& order) = 0;
        virtual void Stop() = 0;
        virtual void Flush() = 0;
        // The agent is stopping: nothing more is carried out.
        virtual bool stopping() const = 0;

    protected:
        ~Driver() = default;
    };

    // `options` is the agent's (TLS unless --insecure). The seed randomises the back-off.
    ControlLink(Options options, Key key, std::uint64_t seed);
    ControlLink(const ControlLink&) = delete;
    ControlLink& operator=(const ControlLink&) = delete;

    // Inputs: what the time, the socket and the TLS did.
    void OnTime(Clock::time_point now);
    // The connection to server() is up; `address` is the numeric address reached.
    void Connected(std::string address, Clock::time_point now);
    // A step of the TLS handshake came to `status`; `detail` is the protocol's version when Done
    // ("TLSv1.3"), else the TLS's error.
    void Handshaken(TlsStatus status, const std::string& detail, Clock::time_point now);
    void Received(std::string_view bytes, Clock::time_point now);
    // The server closed the connection (`error` empty) or it broke (`error` says how).
    void ReceiveEnded(const std::string& error, Clock::time_point now);
    // Sending failed: `error` says why, empty when the connection was closed.
    void SendFailed(const std::string& error, Clock::time_point now);
    // The attempt or the connection failed: back off and connect again.
    void Failed(const std::string& why, Clock::time_point now);

    // Outputs.
    std::deque<LinkEvent> TakeEvents() { return std::exchange(events_, {}); }
    // Carries out the events in their order with `driver`, then writes what is queued; handling
    // an event may raise more (a connection that fails at once, a declined order).
    void Drive(Driver& driver);
    // Bytes for the server; the front end erases what it sent.
    std::string& out() { return out_; }
    bool has_out() const { return !out_.empty(); }
    // When OnTime() is next due; max() when nothing is timed.
    Clock::time_point deadline() const;

    // Judges an order of a kOrder event: `already_open` tells whether a session of its id is open
    // or being asked about, `open` how many are. Declines go to the server.
    Admission Admit(const Message& order, bool already_open, std::size_t open);
    // Tells the server that the session `id` will not come (the wire reason).
    void Decline(const std::string& id, std::string_view reason);

    State state() const { return state_; }
    // Past the handshake: the line protocol runs (what is queued may be written, what is read
    // is taken).
    bool open() const { return state_ == State::kRegistering || state_ == State::kRegistered; }
    const Options& options() const { return options_; }
    // The server to connect to now: one of the --server options, in turn.
    const Endpoint& server() const { return options_.server; }
    // Where an order's target goes unless it names another of the agent's servers.
    Endpoint Target(const Message& order) const { return order.target.value_or(options_.server); }

private:
    void Send(std::string_view bytes, Clock::time_point now);
    void Drop(const std::string& why, Clock::time_point now);
    void OnLine(const std::string& line, Clock::time_point now);

    Options options_;
    Key key_;
    Registration registration_{options_.name, key_};
    State state_ = State::kWaiting;
    LineSplitter splitter_;
    std::string out_;
    std::deque<LinkEvent> events_;
    // Waiting: when to connect next; later, until registered: when to give up on this attempt.
    Clock::time_point deadline_{};
    Clock::time_point registered_at_{};
    bool stopped_ = false;
    int failures_ = 0;
    std::string server_address_;  // the numeric address of the server connected to
    std::mt19937_64 random_;
};

}  // namespace talagent
