// The agent's side of its control connection once it is open, the same for talagent (agent.cpp)
// and talagent.exe (win32/control.cpp): registering, proving the agent key, what each line of the
// server asks of the agent (protocol.h reads the lines), which servers an order may name, and
// which server to try next. No I/O: the front ends own the socket, the TLS and the sessions, feed
// the server's lines in and carry out what comes back.
#pragma once

#include <string>
#include <string_view>

#include "agent/key.h"
#include "agent/options.h"
#include "agent/protocol.h"

namespace talagent {

class Registration {
public:
    // What a line of the server asks of the agent.
    struct Outcome {
        enum class Step {
            kNone,        // nothing (logged where it was worth a line)
            kSend,        // send `text`
            kRegistered,  // the server lists the agent now
            kDrop,        // drop the connection (`text` says why) and connect again later
            kRefused,     // the server refused this agent for good: stop (exit status 3)
            kConnect,     // an order for a session: `order`
        };
        Step step = Step::kNone;
        std::string text;
        Message order;
    };

    Registration(std::string name, const Key& key) : name_(std::move(name)), key_(key) {}

    // The connection is open (and verified, with TLS): the line that registers the agent.
    std::string Start();
    // The connection is gone.
    void Reset() { state_ = State::kIdle; }
    Outcome OnLine(const std::string& line);
    bool registered() const { return state_ == State::kRegistered; }

private:
    enum class State { kIdle, kRegistering, kRegistered };
    std::string name_;
    const Key& key_;
    State state_ = State::kIdle;
    bool proof_sent_ = false;
};

// Whether a session order may send the screen to `target`: one of the agent's --server options,
// or the address of the server it is connected to (`connected_address`, with the current port).
// Only those servers prove operators.
bool IsConfiguredServer(const Options& options, std::string_view connected_address,
                        const Endpoint& target);

// The server to try after `current` failed: the next --server option, round the list.
Endpoint NextServer(const Options& options, const Endpoint& current);

}  // namespace talagent
