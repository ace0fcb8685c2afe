// The directory server: one serving thread that lists machines for the launchers, registers
// agents and pairs and relays sessions. Its parts, as files:
//   event_loop.*   epoll, the tick, the stop signals and SIGHUP (knows no connection)
//   networking.cpp accepting, reading, replying, closing; limits per address; read/write
//                  interest; TLS on agents' control connections (over tls.*)
//   server.cpp     the policy: what each message means, the tick's time limits, the list
//   agent_auth.cpp agent keys: challenge and proof
//   operator_auth.cpp operators: the viewer's challenge and proof, access, per-operator limits
//   session.cpp    sessions: "view", the ID block, "declined", pairing, the relay's end
//   audit.*        the audit file's JSON lines
//   cluster_sessions.cpp  sessions across the nodes of a cluster (cluster_node.h, --cluster)
// The hosts file is read on a thread of its own (hosts_reader.h).
#pragma once

#include <netinet/in.h>
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "directory_server/agent_keys.h"
#include "directory_server/audit.h"
#include "directory_server/cluster_node.h"
#include "directory_server/connection.h"
#include "directory_server/event_loop.h"
#include "directory_server/hosts_reader.h"
#include "directory_server/log.h"
#include "directory_server/operators.h"
#include "directory_server/options.h"
#include "directory_server/protocol.h"
#include "directory_server/registry.h"
#include "directory_server/relay.h"
#include "directory_server/tls.h"

namespace dirsrv {

class Server {
public:
    explicit Server(Options options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens, loads the hosts file and prepares the timer and signal handling. Returns why it
    // could not, or an empty string. Blocks SIGTERM and SIGINT for the calling thread.
    std::string Open();

    // Serves until SIGTERM or SIGINT arrives, then closes every connection.
    void Run();

private:
    using Clock = std::chrono::steady_clock;

    // A session from the viewer's "view" until the agent's (or a target's) connection arrives.
    struct PendingSession {
        std::string name;
        std::uint64_t viewer = 0;    // the viewer's connection
        std::uint64_t agent = 0;     // the agent's control connection; 0 for a hosts-file target
        std::uint64_t outgoing = 0;  // the server's own connection to a hosts-file target
        Clock::time_point deadline;  // on the serving clock
        Operator who;                // the proven operator, and their right
        std::string node;            // the other node whose agent was ordered; empty: this one
    };

    // Another node's order passed to one of this node's agents, until its session connection
    // has arrived there (or the time is up).
    struct Forwarded {
        std::string from;  // the node the viewer waits at
        std::uint64_t agent = 0;
        Clock::time_point deadline;  // on the serving clock
    };

    // Connections per peer address, so one address cannot hold every slot.
    struct Address {
        std::size_t count = 0;
        Connection* oldest = nullptr;
        Connection* newest = nullptr;
    };

    // Kinds of log line that peers can cause at will; each is throttled on its own, so a flood
    // of one kind neither fills the log nor hides the others.
    enum Notice : std::size_t {
        kAgentJoined,
        kAgentLeft,
        kNameRefused,
        kBadInput,
        kIdleClosed,
        kSlowReader,
        kConnectionLimit,
        kSession,
        kSessionRefused,
        kOperatorRefused,
        kListRefused,
        kNoticeKinds,
    };

    // What a handled message leaves the connection to do: go on with the next message, hang
    // up (its replies so far are in batch_), or become a session's viewer or agent side.
    enum class Next { Continue, HangUp, View, Join };

    // The policy (server.cpp).
    void RaiseFileLimit();
    std::string LoadCertificate();
    void Audit(const AuditRecord& record);
    void ReopenAudit();
    void HandleInput(Connection& c, std::string_view data);
    Next HandleMessage(Connection& c, const Message& message);
    Next HandleRegister(Connection& c, std::string_view name);
    static bool Settled(const Connection& c);
    void Note(Notice kind, Level level, std::string_view message);
    void Tick();
    void TickConnection(Connection& c, bool ping);
    void ApplyHosts(HostsReader::Result result, bool starting);
    void ListChanged(std::string_view why, std::optional<Notice> kind = std::nullopt);
    // An agent's connection ends or stops being an agent's, for `why` (may be empty).
    void AgentLeaves(Connection& c, std::string_view why);

    // Connections (networking.cpp).
    std::string Listen();
    Connection* Find(std::uint64_t token) const;
    void HandleEvent(std::uint64_t token, std::uint32_t mask);
    void Accept();
    Connection* Adopt(int fd, const sockaddr_in& peer, std::uint32_t interest);
    bool Reading(const Connection& c) const;
    void Read(Connection& c);
    bool ReadOnce(Connection& c);
    // Bytes the connection's socket (or its TLS) took: 0 when it takes none now, -1 when dead.
    std::ptrdiff_t Transmit(Connection& c, std::string_view bytes);
    void ShutOutput(Connection& c);
    // TLS on an agent's control connection (networking.cpp, over tls.h).
    bool StartTls(Connection& c);
    bool ContinueHandshake(Connection& c);
    // Sends `owed`, then ends the connection (see networking.cpp).
    void HangUp(Connection& c, std::string_view owed);
    // Sends or queues bytes; false when the connection is dead.
    bool Send(Connection& c, std::string_view bytes);
    void Flush(Connection& c);
    bool HandlePending(Connection& c);
    void UpdateInterest(Connection& c);
    void Close(Connection& c, std::string_view agent_reason);
    void Track(Connection& c);
    void Untrack(Connection& c);
    // Makes room for a connection from `address` when the server is full; false if it should not.
    bool MakeRoom(std::uint32_t address);
    std::string Peer(const Connection& c) const;

    // Authentication (agent_auth.cpp).
    std::string LoadAgentKeys(bool starting);
    Next Challenge(Connection& c, std::string_view name);
    Next HandleProof(Connection& c, std::string_view proof);
    Next AcceptAgent(Connection& c, std::string_view name, std::string key);

    // Operators (operator_auth.cpp).
    Next ChallengeViewer(Connection& c, std::string_view name);
    Next HandleOperator(Connection& c, std::string_view body);
    bool ProofOverdue(Connection& c);
    void AuditRefused(const Connection& c, std::string_view reply, std::string_view name,
                      std::string_view machine, std::string_view why);
    std::size_t SessionsOf(std::string_view operator_name) const;
    bool MayList(const Connection& c) const;

    // Sessions (session.cpp).
    bool SessionEvent(Connection& c, std::uint32_t mask);
    void StartView(Connection& c, std::string_view name, std::string_view held);
    Next HandleDeclined(Connection& agent, std::string_view body);
    std::size_t PendingFor(std::string_view target) const;
    void JoinSession(Connection& c, std::string_view id, std::string_view held);
    void ConnectOut(Connection& viewer, const std::string& id, const DirectTarget& target,
                    Operator who);
    void ConnectDone(Connection& c, std::uint32_t mask);
    void Pair(Connection& viewer, Connection& agent, std::string_view held, const std::string& id,
              const PendingSession& pending);
    void RelayEvent(Connection& c, std::uint32_t mask);
    void EndSession(Relay& relay, std::string_view reason);
    void SessionClosing(Connection& c, std::string_view reason);
    void Refuse(Connection& viewer, std::string_view reply, std::string_view why);
    std::string MintSessionId();
    void ReleasePending(const PendingSession& pending);
    void TickSessions();
    std::string Unshaken(Relay& relay);
    void CheckRelayMemory();

    // A cluster's sessions (cluster_sessions.cpp).
    std::string StartCluster();
    AuditRecord Stamped(AuditRecord record) const;
    void ViewElsewhere(Connection& c, std::string_view name, const cluster::Holder& holder,
                       Operator who);
    void EndRemotePending(const std::string& id, std::string_view reply, std::string_view why);
    void HandleOrder(const cluster::Order& order);
    void OrderAgent(const cluster::Order& order);
    bool ForwardDeclined(const Connection& agent, std::string_view id, std::string_view reason);
    void ReleaseForwarded(const Forwarded& forwarded);
    void TickCluster();

    Options options_;
    EventLoop loop_;
    HostRegistry registry_;
    std::unique_ptr<HostsReader> hosts_;
    std::optional<AgentKeysFile> keys_file_;
    std::unique_ptr<OperatorGate> operators_;               // null: anyone may open sessions
    std::unique_ptr<TlsServer> tls_;                        // null: agents' connections are plain
    std::unique_ptr<AuditLog> audit_;                       // null: no audit file
    std::unique_ptr<ClusterNode> cluster_;                  // null: not in a cluster
    std::unordered_map<std::string, Forwarded> forwarded_;  // by session ID
    bool cluster_list_changed_ = false;
    bool audit_failing_ = false;  // the last record could not be written
    AgentKeysContent keys_;
    std::map<std::string, DirectTarget, std::less<>> direct_;  // hosts-file targets
    std::map<std::string, std::vector<std::uint64_t>, std::less<>> agents_by_name_;
    std::unordered_map<std::string, PendingSession> pending_;  // by session ID
    RelayMemory relay_memory_;                                 // outlives relays_
    std::unordered_map<Relay*, std::unique_ptr<Relay>> relays_;
    bool pipe_quota_logged_ = false;    // new pipes were smaller than --relay-buffer
    bool pipe_refusal_logged_ = false;  // the kernel refused to grow a pipe
    int listener_ = -1;
    int spare_fd_ = -1;  // given up to accept-and-close a connection when out of descriptors
    std::uint16_t port_ = 0;
    std::vector<std::unique_ptr<Connection>> by_fd_;
    std::size_t open_connections_ = 0;
    std::unordered_map<std::uint32_t, Address> addresses_;
    std::set<std::pair<std::size_t, std::uint32_t>> busiest_;  // (count, address), fullest last
    std::uint32_t next_generation_ = 1;
    bool at_limit_ = false;
    Clock::time_point next_hosts_poll_;
    Clock::time_point next_keys_poll_;
    Clock::time_point next_operators_poll_;
    Clock::time_point next_ping_;
    std::array<Throttle, kNoticeKinds> notices_{
        Throttle("agent registered"),   Throttle("agent left"),      Throttle("name refused"),
        Throttle("bad input"),          Throttle("idle connection"), Throttle("unread replies"),
        Throttle("connection refused"), Throttle("session"),         Throttle("session refused"),
        Throttle("operator refused"),   Throttle("list refused"),
    };
    std::string batch_;
    char read_buffer_[16 * 1024];
};

}  // namespace dirsrv
