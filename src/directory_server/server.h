// The directory server's event loop: one serving thread, one epoll set, every socket non-blocking
// (the hosts file is read on a thread of its own: hosts_reader.h).
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
#include "directory_server/hosts_reader.h"
#include "directory_server/log.h"
#include "directory_server/options.h"
#include "directory_server/registry.h"
#include "directory_server/relay.h"

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

    struct Connection {
        int fd = -1;
        std::uint32_t generation = 0;
        sockaddr_in peer{};
        std::string in;                // start of a message not yet complete
        std::string out;               // reply bytes the socket has not taken yet
        Clock::time_point last_heard;  // on the serving clock: see AdvanceClock
        std::string agent;             // the registered name, for agents
        bool is_agent = false;
        bool asked = false;           // has sent at least one list request
        std::uint32_t interest = 0;   // the epoll events asked for now: see UpdateInterest
        bool draining = false;        // peer has finished sending; close once `out` is sent
        bool hanging_up = false;      // bad input: send `out`, shut our side, wait for the peer
        Clock::time_point hangup_at;  // on the serving clock
        // The connections from the same address, oldest first.
        Connection* older = nullptr;
        Connection* newer = nullptr;
        // Authentication and sessions (agent_auth.cpp, session.cpp).
        Clock::time_point opened;  // on the serving clock
        std::string nonce;         // an agent's challenge while its proof is awaited
        std::string key;           // the key an agent proved, to notice it withdrawn
        std::string session;       // a viewer's (or the server's own outgoing connection's)
                                   // session that waits to be paired
        Relay* relay = nullptr;    // set while the connection carries a session
        Relay::Side side = Relay::kViewer;
        std::size_t pending_sessions = 0;  // agents: sessions waiting for their connection
        bool connecting = false;           // the server's own connection to a hosts-file target
    };

    // A session from the viewer's "view" until the agent's (or a target's) connection arrives.
    struct PendingSession {
        std::string name;
        std::uint64_t viewer = 0;    // the viewer's connection
        std::uint64_t agent = 0;     // the agent's control connection; 0 for a hosts-file target
        std::uint64_t outgoing = 0;  // the server's own connection to a hosts-file target
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
        kNoticeKinds,
    };

    std::string WatchStopSignals();
    void RaiseFileLimit();
    std::string Listen();
    std::string StartTimer();
    void AdvanceClock(Clock::time_point now);
    Connection* Find(std::uint64_t token) const;
    void HandleEvent(std::uint64_t token, std::uint32_t mask);
    void Accept();
    Connection* Adopt(int fd, const sockaddr_in& peer, std::uint32_t interest);
    bool Reading(const Connection& c) const;
    void Read(Connection& c);
    void HandleInput(Connection& c, std::string_view data);
    bool HandlePending(Connection& c);
    bool HandleMessage(Connection& c, const Message& message);
    bool HandleRegister(Connection& c, std::string_view name);
    void HangUp(Connection& c);
    // Sends or queues bytes; false when the connection is dead.
    bool Send(Connection& c, std::string_view bytes);
    void Flush(Connection& c);
    void UpdateInterest(Connection& c);
    void Close(Connection& c, std::string_view agent_reason);
    void Track(Connection& c);
    void Untrack(Connection& c);
    // Makes room for a connection from `address` when the server is full; false if it should not.
    bool MakeRoom(std::uint32_t address);
    static bool Settled(const Connection& c);
    void Note(Notice kind, Level level, std::string_view message);
    void Tick();
    void ApplyHosts(HostsReader::Result result, bool starting);
    void ListChanged(std::string_view why, std::optional<Notice> kind = std::nullopt);
    std::string Peer(const Connection& c) const;
    static std::uint64_t Token(const Connection& c) {
        return (static_cast<std::uint64_t>(c.generation) << 32) | static_cast<std::uint32_t>(c.fd);
    }
    // Takes an agent off the list and off its name's agents; true when the list changed.
    bool ForgetAgent(Connection& c, const std::string& name);

    // Authentication (agent_auth.cpp).
    std::string LoadAgentKeys(bool starting);
    bool Challenge(Connection& c, std::string_view name);
    bool HandleProof(Connection& c, std::string_view proof);
    bool AcceptAgent(Connection& c, std::string_view name, std::string key);

    // Sessions (session.cpp).
    bool SessionEvent(Connection& c, std::uint32_t mask);
    void StartView(Connection& c, std::string_view name, std::string_view held);
    void JoinSession(Connection& c, std::string_view id, std::string_view held);
    void ConnectOut(Connection& viewer, const std::string& id, const DirectTarget& target);
    void ConnectDone(Connection& c, std::uint32_t mask);
    void Pair(Connection& viewer, Connection& agent, std::string_view held, const std::string& id,
              const std::string& name);
    void RelayEvent(Connection& c, std::uint32_t mask);
    void EndSession(Relay& relay, std::string_view reason);
    void SessionClosing(Connection& c, std::string_view reason);
    void Refuse(Connection& viewer, std::string_view reply, std::string_view why);
    std::string MintSessionId();
    void DropPending(const std::string& id);
    void TickSessions();
    void CheckRelayMemory();
    Options options_;
    HostRegistry registry_;
    std::unique_ptr<HostsReader> hosts_;
    std::optional<AgentKeysFile> keys_file_;
    AgentKeysContent keys_;
    std::map<std::string, DirectTarget, std::less<>> direct_;  // hosts-file targets
    std::map<std::string, std::vector<std::uint64_t>, std::less<>> agents_by_name_;
    std::unordered_map<std::string, PendingSession> pending_;  // by session ID
    RelayMemory relay_memory_;                                 // outlives relays_
    std::unordered_map<Relay*, std::unique_ptr<Relay>> relays_;
    enum class Switch { None, View, SessionId } switch_ = Switch::None;
    std::string switch_arg_;  // the name or ID of the message that made the connection switch
    bool pipe_quota_logged_ = false;    // new pipes were smaller than --relay-buffer
    bool pipe_refusal_logged_ = false;  // the kernel refused to grow a pipe
    int epoll_ = -1;
    int listener_ = -1;
    int timer_ = -1;
    int signals_ = -1;
    int spare_fd_ = -1;  // given up to accept-and-close a connection when out of descriptors
    std::uint16_t port_ = 0;
    std::vector<std::unique_ptr<Connection>> by_fd_;
    std::size_t open_connections_ = 0;
    std::unordered_map<std::uint32_t, Address> addresses_;
    std::set<std::pair<std::size_t, std::uint32_t>> busiest_;  // (count, address), fullest last
    std::uint32_t next_generation_ = 1;
    bool stopping_ = false;
    bool at_limit_ = false;
    // now_ is the real time of the batch of events being handled; serving_now_ is the same time
    // less every stretch in which the loop could not serve (a long hosts-file read, the process
    // stopped), so that time is never counted as a peer's silence.
    Clock::time_point now_;
    Clock::time_point serving_now_;
    Clock::duration tick_{};
    Clock::time_point next_hosts_poll_;
    Clock::time_point next_keys_poll_;
    Clock::time_point next_ping_;
    std::array<Throttle, kNoticeKinds> notices_{
        Throttle("agent registered"),   Throttle("agent left"),      Throttle("name refused"),
        Throttle("bad input"),          Throttle("idle connection"), Throttle("unread replies"),
        Throttle("connection refused"), Throttle("session"),         Throttle("session refused"),
    };
    std::string batch_;
    char read_buffer_[16 * 1024];
};

}  // namespace dirsrv
