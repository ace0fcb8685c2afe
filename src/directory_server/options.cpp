// The command line of directory-server (see options.h): parsed into Options for the server,
// with --help's text; main.cpp prints what it returns.
#include "directory_server/options.h"

#include <arpa/inet.h>

#include "common/command_line.h"
#include "directory_server/cluster.h"

namespace dirsrv {
namespace {

bool ParseListen(std::string_view text, Options& options) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    const std::string host(text.substr(0, colon));
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1)
        return false;
    const auto port = tools::ParseWhole<unsigned>(text.substr(colon + 1), 0, 65535);
    if (!port)
        return false;
    options.listen_address = ntohl(address.s_addr);
    options.listen_port = static_cast<std::uint16_t>(*port);
    return true;
}

std::optional<Network> ParseNetwork(std::string_view text) {
    const auto slash = text.find('/');
    const std::string host(text.substr(0, slash));
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1)
        return std::nullopt;
    unsigned bits = 32;
    if (slash != std::string_view::npos) {
        const auto parsed = tools::ParseWhole<unsigned>(text.substr(slash + 1), 0, 32);
        if (!parsed)
            return std::nullopt;
        bits = *parsed;
    }
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    // The address's bits beyond the prefix are dropped, as routers read "192.0.2.7/24".
    return Network{ntohl(address.s_addr) & mask, mask};
}

std::string ParseClusterOption(std::string_view name, std::optional<std::string_view> value,
                               Options& options) {
    if (!DIRSRV_CLUSTER)
        return "this directory-server was built without hiredis: no " + std::string(name);
    ClusterOptions& cluster = options.cluster;
    if (name == "--cluster")
        return value ? cluster::ParseUrl(*value, cluster)
                     : "--cluster needs redis://HOST:PORT or sentinel://HOST:PORT/MASTER";
    if (name == "--node") {
        if (!value || !cluster::IsNodeName(*value))
            return "--node needs 1-64 letters, digits, '.', '_' or '-'";
        cluster.node = *value;
        return {};
    }
    if (!value || !cluster::IsHostPort(*value))
        return "--advertise needs the HOST:PORT agents reach this node at, as their --server "
               "names it";
    cluster.advertise = *value;
    return {};
}

std::string CheckCluster(const ClusterOptions& cluster) {
    if (!cluster.enabled())
        return cluster.node.empty() && cluster.advertise.empty() && cluster.password_file.empty()
                   ? std::string()
                   : "--node, --advertise and --cluster-password-file need --cluster";
    if (cluster.node.empty() || cluster.advertise.empty())
        return "--cluster needs --node and --advertise";
    if (cluster.ttl < Millis(1000))
        return "--cluster-ttl needs at least 1 second";
    return {};
}

}  // namespace

std::optional<std::vector<Network>> ParseNetworks(std::string_view text) {
    std::vector<Network> networks;
    while (true) {
        const auto comma = text.find(',');
        const auto network = ParseNetwork(text.substr(0, comma));
        if (!network)
            return std::nullopt;
        networks.push_back(*network);
        if (comma == std::string_view::npos)
            return networks;
        text.remove_prefix(comma + 1);
    }
}

std::string Usage() {
    return "Usage: directory-server [OPTION]...\n"
           "Answers the launcher's host-list request with the names of reachable machines:\n"
           "the static names of a hosts file and the names announced by connected agents.\n"
           "\n"
           "  --listen ADDR:PORT       IPv4 address and port to listen on (default "
           "127.0.0.1:47010;\n"
           "                           port 0 picks a free one, shown in the log)\n"
           "  --hosts FILE             static names, one per line, '#' comments; re-read when it\n"
           "                           changes\n"
           "  --max-connections N      open connections at most; more are closed at once "
           "(20000);\n"
           "                           when full, the busiest address gives up its oldest idle "
           "one\n"
           "  --max-per-address N      open connections from one IPv4 address at most (256)\n"
           "  --max-output BYTES       unsent reply bytes a connection may hold; at that it is\n"
           "                           not read until it reads its replies (65536)\n"
           "  --ping-interval SECONDS  how often agents are sent \"ping\" (20)\n"
           "  --agent-timeout SECONDS  an agent not heard from for this long is dropped (60)\n"
           "  --idle-timeout SECONDS   a connection quiet this long is closed if it never asked,\n"
           "                           stopped mid-request or leaves replies unread (300);\n"
           "                           a launcher's connection is kept however long it is quiet\n"
           "  --hosts-poll SECONDS     how often the hosts, agent keys, revocation list and\n"
           "                           access files are checked for changes (1)\n"
           "\n"
           "Sessions (a viewer sends \"view NAME\\n\"; see directory-server(1)):\n"
           "  --agent-keys FILE        lines \"NAME KEYHEX\": only these names may register, each\n"
           "                           proving its key; re-read when it changes. Without it any\n"
           "                           agent may register any name\n"
           "  --cert FILE              the server's key and certificate (PEM, `talpki server`):\n"
           "                           agents' control connections in TLS, and only in TLS.\n"
           "                           Without it they are plain, and TLS ones are closed\n"
           "  --max-sessions N         sessions waiting or relayed at once (1000)\n"
           "  --max-pending-per-agent N  sessions waiting for one agent at once (4)\n"
           "  --relay-buffer BYTES     bytes held per direction of a session at its start\n"
           "                           (16384); a bulk transfer grows it up to 1048576\n"
           "  --relay-memory BYTES     sessions' buffers grow only while all together stay\n"
           "                           within this (33554432; 0: they never grow)\n"
           "  --session-timeout SECONDS  wait for the agent's session connection (30)\n"
           "  --id-timeout SECONDS     wait for a session connection's ID block (5)\n"
           "  --handshake-timeout SECONDS  a relayed session whose sides have not both sent\n"
           "                           an RFB handshake's bytes by then is closed (60)\n"
           "\n"
           "Operators (a viewer proves one with a certificate; see directory-server(1)):\n"
           "  --operators-ca FILE      the CA that issues operator certificates (PEM); with it\n"
           "                           \"view NAME\" is answered with a challenge, and only a\n"
           "                           proven operator gets a session. Without it anyone who\n"
           "                           reaches the server may open sessions\n"
           "  --crl FILE               the CA's revocation list (PEM); re-read when it changes\n"
           "  --access FILE            lines \"OPERATOR MACHINE-GLOB control|view\", first match\n"
           "                           wins, no match refuses; re-read when it changes. Without\n"
           "                           it every operator may control every machine\n"
           "  --auth-timeout SECONDS   a viewer must prove its operator, an agent complete its\n"
           "                           TLS handshake, this soon (5)\n"
           "  --max-operator-sessions N  one operator's sessions, waiting and relayed (8)\n"
           "  --list-from CIDR[,CIDR...]  who may ask for the list (default: everyone)\n"
           "  --audit FILE             one JSON line per session start and end, refused operator\n"
           "                           and agent registration; opened again on SIGHUP\n"
           "\n"
           "A cluster (several servers that list and reach each other's agents; see\n"
           "directory-server(1)):\n"
           "  --cluster redis://HOST:PORT[/DB]  the Redis the nodes share (dotted IPv4 HOST)\n"
           "  --cluster sentinel://HOST:PORT[,HOST:PORT...]/MASTER[/DB]  the master the\n"
           "                           sentinels name, followed through failovers\n"
           "  --node NAME              this node's name, unique in the cluster\n"
           "  --advertise HOST:PORT    where agents reach this node, written as one of their\n"
           "                           --server options names it\n"
           "  --cluster-password-file FILE  Redis's password (its requirepass), mode 600;\n"
           "                           sent to the sentinels too\n"
           "  --cluster-ttl SECONDS    how long Redis keeps the agents of a node that stopped\n"
           "                           (15)\n"
           "  --help                   show this text\n"
           "  --version                show the version\n"
           "\n"
           "Agents: send \"register NAME\\n\", read \"registered\\n\", answer every \"ping\\n\" "
           "with \"pong\\n\".\n"
           "SIGTERM or SIGINT stops the server (exit status 0).\n";
}

std::string Version() {
    return "directory-server " LAUNCHER_VERSION "\n";
}

std::string FormatAddress(std::uint32_t address, std::uint16_t port) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF) + ":" +
           std::to_string(port);
}

ParsedOptions ParseOptions(const std::vector<std::string_view>& args) {
    ParsedOptions result;
    Options options;
    const auto bad = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    tools::OptionReader reader(args);
    while (reader.Next()) {
        const std::string_view name = reader.name();
        if (reader.argument() == "--help" || reader.argument() == "-h") {
            result.help = true;
            return result;
        }
        if (reader.argument() == "--version") {
            result.version = true;
            return result;
        }
        Millis* duration = nullptr;
        if (name == "--ping-interval")
            duration = &options.ping_interval;
        if (name == "--agent-timeout")
            duration = &options.agent_timeout;
        if (name == "--idle-timeout")
            duration = &options.idle_timeout;
        if (name == "--hosts-poll")
            duration = &options.hosts_poll;
        if (name == "--session-timeout")
            duration = &options.session_timeout;
        if (name == "--id-timeout")
            duration = &options.id_timeout;
        if (name == "--handshake-timeout")
            duration = &options.handshake_timeout;
        if (name == "--auth-timeout")
            duration = &options.auth_timeout;
        if (name == "--cluster-ttl")
            duration = &options.cluster.ttl;
        std::string* path = name == "--hosts"                   ? &options.hosts_path
                            : name == "--agent-keys"            ? &options.agent_keys_path
                            : name == "--operators-ca"          ? &options.operators_ca_path
                            : name == "--crl"                   ? &options.crl_path
                            : name == "--access"                ? &options.access_path
                            : name == "--cert"                  ? &options.cert_path
                            : name == "--audit"                 ? &options.audit_path
                            : name == "--cluster-password-file" ? &options.cluster.password_file
                                                                : nullptr;

        if (name == "--listen") {
            const auto text = reader.TakeValue();
            if (!text)
                return bad("--listen needs ADDR:PORT");
            if (!ParseListen(*text, options)) {
                return bad("--listen: '" + std::string(*text) +
                           "' is not an IPv4 ADDR:PORT such as 127.0.0.1:47010");
            }
        } else if (name == "--cluster" || name == "--node" || name == "--advertise") {
            if (const std::string error = ParseClusterOption(name, reader.TakeValue(), options);
                !error.empty())
                return bad(error);
        } else if (path) {
            const auto text = reader.TakeValue();
            if (!text || text->empty())
                return bad(std::string(name) + " needs a file name");
            *path = std::string(*text);
        } else if (name == "--list-from") {
            const auto text = reader.TakeValue();
            const auto networks = text ? ParseNetworks(*text) : std::nullopt;
            if (!networks) {
                return bad(
                    "--list-from needs IPv4 networks such as 192.0.2.0/24,10.1.2.3, "
                    "separated by commas");
            }
            options.list_from = *networks;
        } else if (name == "--max-sessions" || name == "--max-pending-per-agent" ||
                   name == "--max-operator-sessions" || name == "--relay-buffer") {
            const auto text = reader.TakeValue();
            const bool buffer = name == "--relay-buffer";
            const auto number =
                text ? tools::ParseWhole<std::size_t>(*text, buffer ? 4096 : 1,
                                                      buffer ? kRelayBufferLargest : 1'000'000)
                     : std::nullopt;
            if (!number) {
                return bad(std::string(name) +
                           (buffer ? " needs a number of bytes from 4096 to 1048576"
                                   : " needs a whole number from 1"));
            }
            (name == "--max-sessions"            ? options.max_sessions
             : name == "--max-pending-per-agent" ? options.max_pending_per_agent
             : name == "--max-operator-sessions" ? options.max_operator_sessions
                                                 : options.relay_buffer) = *number;
        } else if (name == "--relay-memory") {
            const auto text = reader.TakeValue();
            const auto number = text
                                    ? tools::ParseWhole<std::size_t>(*text, 0, std::size_t{1} << 40)
                                    : std::nullopt;
            if (!number)
                return bad("--relay-memory needs a number of bytes from 0 to 1099511627776");
            options.relay_memory = *number;
        } else if (name == "--max-connections" || name == "--max-per-address" ||
                   name == "--max-output") {
            const auto text = reader.TakeValue();
            const auto number =
                text ? tools::ParseWhole<std::size_t>(*text, 1, 100'000'000) : std::nullopt;
            if (!number)
                return bad(std::string(name) + " needs a whole number from 1");
            (name == "--max-connections"   ? options.max_connections
             : name == "--max-per-address" ? options.max_per_address
                                           : options.max_output) = *number;
        } else if (duration) {
            const auto text = reader.TakeValue();
            const auto parsed = text ? tools::ParseSeconds(*text, 1e6) : std::nullopt;
            if (!parsed)
                return bad(std::string(name) + " needs a number of seconds from 0.01");
            *duration = *parsed;
        } else {
            return bad("unknown argument '" + std::string(reader.argument()) + "'");
        }
    }
    if (options.agent_timeout <= options.ping_interval) {
        return bad("--agent-timeout must be longer than --ping-interval, or agents cannot answer");
    }
    if (options.operators_ca_path.empty() &&
        (!options.crl_path.empty() || !options.access_path.empty())) {
        return bad("--crl and --access need --operators-ca, or no operator is checked");
    }
    if (const std::string error = CheckCluster(options.cluster); !error.empty())
        return bad(error);
    result.options = std::move(options);
    return result;
}

}  // namespace dirsrv
