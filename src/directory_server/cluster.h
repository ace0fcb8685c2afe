// What the directory servers of a cluster say to each other through Redis, without any I/O: the
// command-line options of a node, the keys and values it keeps there and the orders nodes pass
// on. cluster_node.cpp speaks them over the Redis connections of cluster_redis.cpp.
//
// Redis holds one key per agent name, "directory:agent:NAME", whose value is the node that holds
// the newest registration of NAME and the address viewers' agents reach it at ("NODE HOST:PORT"),
// with a TTL the node refreshes while the agent stays. Each node listens on its own channel,
// "directory:node:NODE", for the orders of the others:
//   connect FROM ID OPERATOR RIGHT HOST:PORT NAME   order NAME's agent to connect to HOST:PORT
//   declined ID REASON                              the agent (or its node) could not
//   joined ID                                       the agent's session connection arrived
// NAME comes last because a machine name may hold blanks; no other field may.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "directory_server/options.h"

namespace dirsrv::cluster {

inline constexpr std::string_view kAgentKeyPrefix = "directory:agent:";
inline constexpr std::string_view kNodeChannelPrefix = "directory:node:";
// Every node publishes here the name of each key it sets or deletes, so the others read it again.
inline constexpr std::string_view kChangesChannel = "directory:changes";
inline constexpr std::string_view kConnectOrder = "connect";
inline constexpr std::string_view kDeclinedOrder = "declined";
inline constexpr std::string_view kJoinedOrder = "joined";
// The reason a node gives when it holds no agent for the name any more.
inline constexpr std::string_view kGone = "gone";

// "redis://HOST:PORT[/DB]" or "sentinel://..." (cluster_sentinel.h) into `into`; HOST is a
// dotted IPv4 address (no name look-up ever holds the server up). Returns why not, or "".
std::string ParseUrl(std::string_view url, ClusterOptions& into);
// "HOST:PORT" with a dotted IPv4 HOST and PORT 1-65535.
bool ParseEndpoint(std::string_view text, std::uint32_t& address, std::uint16_t& port);
// "HOST:PORT" as agents are given it: a dotted IPv4 address or a DNS name (letters, digits, '.'
// and '-'), PORT 1-65535. The node never looks it up; agents do.
bool IsHostPort(std::string_view text);
// 1-64 letters, digits, '.', '_' and '-': fits a channel name, a value and a log line as it is.
bool IsNodeName(std::string_view name);

// Where a name's newest agent is: its node and the address that node's agents are sent to.
struct Holder {
    std::string node;
    std::string address;  // HOST:PORT
    bool operator==(const Holder&) const = default;
};
std::string FormatHolder(const Holder& holder);
std::optional<Holder> ParseHolder(std::string_view value);

// One node's message to another.
struct Order {
    enum class Kind { Connect, Declined, Joined } kind = Kind::Connect;
    std::string from;     // Connect: the node the viewer waits at
    std::string id;       // the session ID
    std::string who;      // Connect: the operator's name, or "-"
    std::string right;    // Connect: "control" or "view"
    std::string address;  // Connect: HOST:PORT of the node the viewer waits at
    std::string name;     // Connect: the machine
    std::string reason;   // Declined
};
std::string FormatOrder(const Order& order);
std::optional<Order> ParseOrder(std::string_view text);

}  // namespace dirsrv::cluster
