// Command line of directory-server.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dirsrv {

using Millis = std::chrono::milliseconds;

// The most a session's pipe holds per direction, as --relay-buffer or grown: the kernel's default
// for what an unprivileged process may ask (/proc/sys/fs/pipe-max-size).
constexpr std::size_t kRelayBufferLargest = 1 << 20;

// An IPv4 network of --list-from: an address belongs to it when address & mask == network.
struct Network {
    std::uint32_t network = 0;  // host byte order
    std::uint32_t mask = 0;
    bool Holds(std::uint32_t address) const { return (address & mask) == network; }
};

// An IPv4 address and port, host byte order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// A node of a cluster of directory servers that share their agents through Redis (cluster.h).
// Redis is either one fixed address (redis://) or the master that sentinels name (sentinel://).
struct ClusterOptions {
    std::uint32_t redis_address = 0;  // host byte order; 0: none fixed
    std::uint16_t redis_port = 0;
    std::vector<Endpoint> sentinels;  // asked in turn for the master of `master_name`
    std::string master_name;
    unsigned redis_db = 0;
    std::string advertise;      // HOST:PORT other nodes' agents reach this node at
    std::string node;           // this node's name
    Millis ttl{15'000};         // how long Redis keeps an agent its node no longer refreshes
    std::string password_file;  // Redis's password (AUTH); empty: none
    bool enabled() const { return redis_address != 0 || !sentinels.empty(); }
};

struct Options {
    std::uint32_t listen_address = 0x7F000001;  // host byte order; loopback unless told otherwise
    std::uint16_t listen_port = 47010;
    std::string hosts_path;  // empty: only agents are listed
    std::size_t max_connections = 20000;
    std::size_t max_per_address = 256;  // an office behind one NAT address fits
    std::size_t max_output = 64 * 1024;
    Millis ping_interval{20'000};
    Millis agent_timeout{60'000};
    Millis idle_timeout{300'000};
    Millis hosts_poll{1'000};
    // Sessions.
    std::string agent_keys_path;  // empty: any agent may register any name
    std::string cert_path;  // the server's key and certificate; empty: agents' connections plain
    std::size_t max_sessions = 1000;        // waiting and relayed at once
    std::size_t max_pending_per_agent = 4;  // sessions waiting for one agent's connection
    std::size_t relay_buffer = 16 * 1024;   // bytes held per direction of a session at its start
    // The sessions' pipes grow only while all of them together stay within this: half the
    // kernel's default soft pipe quota of a user (64 MiB), so growing never makes new sessions'
    // pipes small.
    std::size_t relay_memory = 32 << 20;
    Millis session_timeout{30'000};    // from "connect ID" to the agent's session connection
    Millis id_timeout{5'000};          // from connecting to a complete ID block
    Millis handshake_timeout{60'000};  // from pairing to the RFB handshake's bytes both ways
    // Operators. Without a CA anyone who reaches the server may open sessions.
    std::string operators_ca_path;
    std::string crl_path;                   // only with operators_ca_path
    std::string access_path;                // only with operators_ca_path; empty: all may control
    Millis auth_timeout{5'000};             // from connecting to a proven operator
    std::size_t max_operator_sessions = 8;  // one operator's sessions, waiting and relayed
    std::vector<Network> list_from;         // who may ask for the list; empty: everyone
    std::string audit_path;                 // the audit file; empty: none
    ClusterOptions cluster;
};

struct ParsedOptions {
    std::optional<Options> options;  // set when the server should run
    bool help = false;               // --help was given: print Usage() and exit 0
    bool version = false;            // --version was given: print Version() and exit 0
    std::string error;               // set on a bad command line
};

ParsedOptions ParseOptions(const std::vector<std::string_view>& args);
std::string Usage();
std::string Version();  // "directory-server X.Y.Z\n"
std::string FormatAddress(std::uint32_t address, std::uint16_t port);
// "A.B.C.D/N" or "A.B.C.D" (/32), comma-separated; nullopt if any is not.
std::optional<std::vector<Network>> ParseNetworks(std::string_view text);

}  // namespace dirsrv
