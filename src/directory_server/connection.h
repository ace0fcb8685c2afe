// One connection of the directory server: what every connection has (its socket, its place
// among its address's connections, the line protocol's buffers), and the part that depends on
// what it turned out to be: a launcher, an agent, one side of a session. The server
// (server.cpp, networking.cpp, agent_auth.cpp, session.cpp) owns and changes them.
#pragma once

#include <netinet/in.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "directory_server/access.h"
#include "directory_server/relay.h"
#include "directory_server/tls.h"

namespace dirsrv {

struct Connection {
    using Clock = std::chrono::steady_clock;

    // A launcher, or a connection that has not said what it is yet.
    struct Client {};
    // Sent "register NAME" under --agent-keys; the proof of NAME's key is awaited.
    struct Challenged {
        std::string name;
        std::string nonce;
    };
    // A registered agent's control connection.
    struct Agent {
        std::string name;
        std::string key;                   // the key it proved, to notice it withdrawn
        std::size_t pending_sessions = 0;  // sessions waiting for its session connection
    };
    // Sent "view NAME" under operator checks; the operator's answer to the challenge is awaited.
    struct Proving {
        std::string name;
        std::string nonce;
    };
    // Proved its operator, who may have a session with NAME: its session starts next.
    struct Proven {
        std::string name;
        Operator who;
    };
    // A viewer whose session waits for the other side; it is not read meanwhile.
    struct Viewer {
        std::string session;
    };
    // The server's own connection to a hosts-file target, while it is being made.
    struct Outgoing {
        std::string session;
    };
    // One side of a relayed session; its bytes are the relay's.
    struct Relayed {
        Relay* relay = nullptr;
        Relay::Side side = Relay::kViewer;
    };
    using Role =
        std::variant<Client, Challenged, Agent, Proving, Proven, Viewer, Outgoing, Relayed>;

    int fd = -1;
    std::uint32_t generation = 0;
    sockaddr_in peer{};
    Clock::time_point opened;    // on the serving clock
    std::uint32_t interest = 0;  // the epoll events asked for now: see UpdateInterest
    // The connections from the same address, oldest first.
    Connection* older = nullptr;
    Connection* newer = nullptr;

    // The line protocol (every role but Outgoing and Relayed).
    std::string in;                // start of a message not yet complete; a waiting viewer's
                                   // bytes after its line
    std::string out;               // reply bytes the socket has not taken yet
    Clock::time_point last_heard;  // on the serving clock
    bool asked = false;            // has sent at least one list request
    bool draining = false;         // peer has finished sending; close once `out` is sent
    bool hanging_up = false;       // bad input: send `out`, shut our side, wait for the peer
    Clock::time_point hangup_at;   // on the serving clock

    Role role;

    // An agent's control connection in TLS (its first byte was a handshake record); null for
    // every plain one. Its bytes go through it, never straight through the socket.
    std::unique_ptr<TlsStream> tls;
    bool sniffed = false;  // its first byte has been looked at

    template <class R>
    R* as() {
        return std::get_if<R>(&role);
    }
    template <class R>
    const R* as() const {
        return std::get_if<R>(&role);
    }
    // A waiting viewer, a connection being made for a session, or a relayed side.
    bool InSession() const { return as<Viewer>() || as<Outgoing>() || as<Relayed>(); }

    // The epoll token: the generation tells a reused descriptor from the one closed before.
    std::uint64_t token() const {
        return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
    }
};

}  // namespace dirsrv
