// This directory server as a node of a cluster (--cluster): it keeps its agents' names in Redis
// (cluster.h says how), follows the other nodes' agents there, and passes session orders to and
// from the other nodes. The server (server.cpp, session.cpp) tells it of its agents and asks it
// where a name's agent is; it tells the server when another node's name enters or leaves the
// list and when another node has an order for this one. It talks to Redis over two connections
// on the server's event loop (cluster_redis.h): one for commands, one for what it subscribes to.
//
// Redis unreachable: the node serves its own agents and the hosts file's names alone, says so
// once, tries again every second without ever waiting for Redis, and on its return publishes
// its agents again and reads the others' afresh. Names of other nodes stay listed for one TTL
// after Redis was lost, as long as Redis itself would have kept them.
//
// With sentinels (sentinel://) a third connection asks them for the master, and stays
// subscribed on the one that answered to hear of a failover: the node then drops the old master
// and joins through the new one, publishing its agents again as when Redis returns
// (cluster_node_sentinel.cpp).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "directory_server/cluster.h"
#include "directory_server/cluster_redis.h"
#include "directory_server/cluster_sentinel.h"
#include "directory_server/event_loop.h"
#include "directory_server/options.h"

namespace dirsrv {

class ClusterNode {
public:
    struct Hooks {
        // Another node's name enters (true) or leaves (false) the list.
        std::function<void(const std::string& name, bool listed)> listed;
        // A batch of such changes is complete: the list may be rebuilt.
        std::function<void()> settled;
        // Another node's message for this one.
        std::function<void(const cluster::Order& order)> order;
    };

    ClusterNode(const ClusterOptions& options, EventLoop& loop, Hooks hooks);
    ~ClusterNode();
    ClusterNode(const ClusterNode&) = delete;
    ClusterNode& operator=(const ClusterNode&) = delete;

    // Reads the password file, if any, and connects (and, when that fails, goes on trying from
    // Tick). Returns why the node cannot start, or "".
    std::string Start();
    // Reconnects, refreshes this node's agents, watches Redis's answers. Call every tick.
    void Tick();

    // An agent of this node registered `name` (it becomes the name's newest holder), or left.
    void AgentJoined(const std::string& name);
    void AgentLeft(const std::string& name);

    // The other node that holds the newest agent of `name`, if another does.
    const cluster::Holder* RemoteHolder(std::string_view name) const;
    // Sends `order` to `node`; `unheard` is called (perhaps at once) when no node took it.
    void Send(const std::string& node, const cluster::Order& order, std::function<void()> unheard);

    // Connected to Redis, with the other nodes' names read.
    bool joined() const { return joined_; }
    const std::string& node() const { return options_.node; }
    const std::string& advertise() const { return options_.advertise; }

private:
    using Clock = EventLoop::Clock;
    static constexpr auto kRetry = std::chrono::seconds(1);  // between attempts to reach Redis

    void Connect();
    void ConnectTo(Endpoint redis);
    void Authenticate(RedisLink& link);
    void CommandsUp();
    void Ready();
    void Subscribed();
    void Lost(const std::string& why);
    void Disconnect();
    void OnMessage(redisReply* reply);
    void Fetch(const std::string& name);
    void Apply(const std::string& name, std::optional<cluster::Holder> holder);
    void Refresh(std::vector<std::string> names);
    void RefreshStep();
    void StartResync();
    void ResyncStep(const std::string& cursor);
    void EndResync();
    std::string Key(std::string_view name) const;

    // The sentinels (cluster_node_sentinel.cpp).
    bool sentinels() const { return !options_.sentinels.empty(); }
    void AskSentinel(std::size_t index);
    void SentinelAnswered(const redisReply* reply);
    void SentinelFailed(const std::string& why);
    void OnSentinelMessage(const redisReply* reply);
    void Follow(Endpoint master, const std::string& how);
    void CheckRole();

    bool closing_ = false;  // being destroyed: replies cut short reach nobody

    ClusterOptions options_;
    EventLoop& loop_;
    Hooks hooks_;
    RedisLink commands_;
    RedisLink subscriber_;
    RedisLink sentinel_;
    cluster::SentinelRound round_;
    Endpoint redis_;         // Redis, or the master a sentinel named; address 0: none named yet
    std::string own_value_;  // this node's holder value
    std::string password_;   // for AUTH; empty: none
    std::string where_;      // Redis and its address, for the log
    std::map<std::string, int, std::less<>> local_;  // this node's agents' names, and how many
    std::map<std::string, cluster::Holder, std::less<>> remote_;  // names other nodes hold
    int confirmations_ = 0;     // subscriptions confirmed on this connection
    bool ready_ = false;        // the commands connection set up (and Redis a master)
    bool joined_ = false;       // both connections up and the names read
    bool discovering_ = false;  // asking the sentinels before connecting
    bool watching_ = false;     // subscribed to failovers on sentinel_
    int unwatched_tries_ = 0;   // tries of the last master named since joining
    std::optional<Clock::time_point> sentinel_asked_;  // a sentinel is being asked since
    Clock::time_point next_watch_{};
    bool outage_said_ = false;
    Clock::time_point lost_at_{};
    Clock::time_point next_attempt_{};
    Clock::time_point next_refresh_{};
    Clock::time_point next_resync_{};
    std::optional<Clock::time_point> ping_sent_;
    // A reading of every name, while it runs, and the names that changed meanwhile.
    std::optional<std::map<std::string, cluster::Holder, std::less<>>> resync_;
    std::set<std::string> changed_meanwhile_;
    // The names a refresh round still has to send from refresh_next_ on, and the round's number.
    std::vector<std::string> refresh_queue_;
    std::size_t refresh_next_ = 0;
    unsigned refresh_round_ = 0;
};

}  // namespace dirsrv
