// This server as a node of a cluster (cluster_node.h): its agents' keys in Redis, the other
// nodes' names read from there, and orders to and from the other nodes. Everything is sent
// without waiting; replies come back through callbacks on the event loop.
#include "directory_server/cluster_node.h"

#include <hiredis/hiredis.h>
#include <sys/stat.h>

#include <fstream>

#include <utility>

#include "directory_server/log.h"
#include "directory_server/protocol.h"

namespace dirsrv {
namespace {

using namespace std::chrono_literals;

constexpr auto kAnswerLimit = 5s;    // Redis that has not answered by then is taken as lost
constexpr auto kSentinelLimit = 2s;  // a sentinel that has not answered by then is passed
constexpr auto kResyncEvery = 30s;   // a full reading of the names, in case a message was lost
constexpr std::size_t kBatch = 100;  // keys per refresh script

// Refreshes this node's keys: a key that still names this node gets its TTL again, a missing one
// (expired while Redis was away, or deleted by the node of a newer agent that has left since) is
// set again and announced; one that names another node is that node's newer agent and is left.
// ARGV: this node's value, the TTL in ms, the changes channel, the key prefix's length.
constexpr const char* kRefreshScript = R"(local set = 0
for _, key in ipairs(KEYS) do
  local value = redis.call('GET', key)
  if value == ARGV[1] then
    redis.call('PEXPIRE', key, ARGV[2])
  elseif not value then
    redis.call('SET', key, ARGV[1], 'PX', ARGV[2])
    redis.call('PUBLISH', ARGV[3], string.sub(key, tonumber(ARGV[4]) + 1))
    set = set + 1
  end
end
return set)";

// Deletes a key only while it names this node: a newer agent elsewhere keeps its own.
// ARGV: this node's value, the changes channel, the name.
constexpr const char* kLeaveScript = R"(if redis.call('GET', KEYS[1]) == ARGV[1] then
  redis.call('DEL', KEYS[1])
  redis.call('PUBLISH', ARGV[2], ARGV[3])
end
return 0)";

}  // namespace

ClusterNode::ClusterNode(const ClusterOptions& options, EventLoop& loop, Hooks hooks)
    : options_(options),
      loop_(loop),
      hooks_(std::move(hooks)),
      commands_(loop),
      subscriber_(loop),
      sentinel_(loop),
      round_(options.sentinels.size()),
      redis_{options.redis_address, options.redis_port},
      own_value_(cluster::FormatHolder({options.node, options.advertise})),
      where_(sentinels() ? "the master " + options.master_name
                         : "Redis at " + FormatAddress(redis_.address, redis_.port)) {}

ClusterNode::~ClusterNode() {
    closing_ = true;
    commands_.Drop();
    subscriber_.Drop();
    sentinel_.Drop();
}

std::string ClusterNode::Key(std::string_view name) const {
    return std::string(cluster::kAgentKeyPrefix) + std::string(name);
}

std::string ClusterNode::Start() {
    if (!options_.password_file.empty()) {
        struct stat info {};
        std::ifstream file(options_.password_file, std::ios::binary);
        if (!file || ::stat(options_.password_file.c_str(), &info) != 0)
            return "cannot read the Redis password file " + options_.password_file;
        std::getline(file, password_);
        if (!password_.empty() && password_.back() == '\r')
            password_.pop_back();
        if (password_.empty())
            return "the Redis password file " + options_.password_file + " is empty";
        if (info.st_mode & (S_IRWXG | S_IRWXO)) {
            Log(Level::Warning, "the Redis password file " + options_.password_file +
                                    " is open to other users: chmod 600 it");
        }
    }
    std::string through = where_;
    for (std::size_t i = 0; i < options_.sentinels.size(); ++i) {
        through += (i == 0 ? " named by the sentinels at " : ", ") +
                   FormatAddress(options_.sentinels[i].address, options_.sentinels[i].port);
    }
    Log(Level::Info, "cluster: node " + options_.node + ", reached by agents at " +
                         options_.advertise + ", through " + through);
    Connect();
    return {};
}

// First on each connection; a refused password ends it, said once like any other outage.
void ClusterNode::Authenticate(RedisLink& link) {
    if (password_.empty())
        return;
    link.Command({"AUTH", password_}, [this](redisReply* reply) {
        if (!closing_ && reply && reply->type == REDIS_REPLY_ERROR)
            Lost("the password was refused: " + ReplyText(reply));
    });
}

void ClusterNode::Connect() {
    next_attempt_ = loop_.now() + kRetry;
    if (!sentinels())
        return ConnectTo(redis_);
    // While a sentinel would announce a failover, the master it named is tried again; after a
    // few failed tries (that sentinel may be cut off from the others) the sentinels are asked.
    constexpr int kTriesBeforeAsking = 3;
    if (watching_ && unwatched_tries_ < kTriesBeforeAsking) {
        ++unwatched_tries_;
        return ConnectTo(redis_);
    }
    sentinel_.Drop();
    watching_ = false;
    unwatched_tries_ = 0;
    discovering_ = true;
    AskSentinel(round_.Begin());
}

void ClusterNode::ConnectTo(Endpoint redis) {
    ping_sent_ = loop_.now();  // the whole joining is held to kAnswerLimit
    std::string host = FormatAddress(redis.address, redis.port);
    if (sentinels())
        where_ = "the master " + options_.master_name + " at " + host;
    host.resize(host.rfind(':'));
    const auto lost = [this](std::string why) {
        if (!closing_)
            Lost(why);
    };
    std::string error = commands_.Connect(
        host, redis.port, [this] { CommandsUp(); }, lost);
    if (error.empty()) {
        error = subscriber_.Connect(
            host, redis.port,
            [this] {
                const std::string db = std::to_string(options_.redis_db);
                Authenticate(subscriber_);
                const auto on_message = [this](redisReply* reply) { OnMessage(reply); };
                subscriber_.Subscribe({"SUBSCRIBE", std::string(cluster::kChangesChannel),
                                       std::string(cluster::kNodeChannelPrefix) + options_.node,
                                       "__keyevent@" + db + "__:expired"},
                                      on_message);
            },
            lost);
    }
    if (!error.empty())
        Lost(error);
}

void ClusterNode::CommandsUp() {
    Authenticate(commands_);
    if (options_.redis_db != 0)
        commands_.Command({"SELECT", std::to_string(options_.redis_db)});
    sentinels() ? CheckRole() : Ready();
}

// Sets up the commands connection, publishes this node's agents and, once the subscriptions
// are confirmed too, reads the others'.
void ClusterNode::Ready() {
    // Expired keys are announced only when Redis is told to ("Ex"); add those flags to what
    // it has. A Redis that refuses CONFIG still works: expired names leave at the next full
    // reading instead.
    commands_.Command({"CONFIG", "GET", "notify-keyspace-events"}, [this](redisReply* reply) {
        if (closing_ || !reply)
            return;
        std::string flags;
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 2)
            flags = ReplyText(reply->element[1]);
        if (flags.find('E') != std::string::npos &&
            (flags.find('x') != std::string::npos || flags.find('A') != std::string::npos))
            return;
        commands_.Command(
            {"CONFIG", "SET", "notify-keyspace-events", flags + "Ex"}, [this](redisReply* answer) {
                if (!closing_ && answer && answer->type == REDIS_REPLY_ERROR) {
                    Log(Level::Warning, "cluster: Redis refuses to announce expired keys (" +
                                            ReplyText(answer) +
                                            "): agents of a node that stopped leave the lists "
                                            "only at the next full reading, every 30 s");
                }
            });
    });
    std::vector<std::string> names;
    for (const auto& [name, count] : local_)
        names.push_back(name);
    Refresh(std::move(names));
    next_refresh_ = loop_.now() + options_.ttl / 3;
    ready_ = true;
    if (confirmations_ == 3)
        StartResync();
}

void ClusterNode::Subscribed() {
    if (ready_)
        StartResync();
}

void ClusterNode::Lost(const std::string& why) {
    if (!outage_said_) {
        outage_said_ = true;
        lost_at_ = loop_.now();
        Log(Level::Warning, "cluster: " + where_ + ": " + why +
                                "; this node serves its own agents and lists alone until Redis "
                                "is back");
    }
    Disconnect();
}

// Leaves Redis; what this node lists stays until it joins again (or for one TTL, Tick).
void ClusterNode::Disconnect() {
    commands_.Drop();
    subscriber_.Drop();
    ready_ = false;
    joined_ = false;
    confirmations_ = 0;
    resync_.reset();
    changed_meanwhile_.clear();
    ping_sent_.reset();
}

void ClusterNode::Tick() {
    const auto now = loop_.now();
    if (sentinel_asked_ && now - *sentinel_asked_ >= kSentinelLimit)
        SentinelFailed("no answer within 2 s");
    if (!commands_.open() && !discovering_ && now >= next_attempt_)
        Connect();
    // Joined but deaf to failovers (the sentinel watched was lost): ask the sentinels again.
    if (sentinels() && commands_.open() && !watching_ && !sentinel_asked_ && now >= next_watch_)
        AskSentinel(round_.Begin());
    if (ping_sent_ && now - *ping_sent_ >= kAnswerLimit) {
        Lost("no answer within 5 s");
        return;
    }
    if (!joined_) {
        // Redis would have let the other nodes' keys expire by now: so does this node's list.
        if (outage_said_ && now - lost_at_ >= options_.ttl && !remote_.empty()) {
            for (const auto& [name, holder] : std::exchange(remote_, {}))
                hooks_.listed(name, false);
            hooks_.settled();
        }
        return;
    }
    if (!ping_sent_) {
        ping_sent_ = now;
        commands_.Command({"PING"}, [this](redisReply* reply) {
            if (!closing_ && reply)
                ping_sent_.reset();
        });
    }
    if (now >= next_refresh_) {
        next_refresh_ = now + options_.ttl / 3;
        std::vector<std::string> names;
        for (const auto& [name, count] : local_)
            names.push_back(name);
        Refresh(std::move(names));
    }
    if (now >= next_resync_)
        StartResync();
}

// Refreshes `names` one batch at a time, the next when Redis has run the last: Redis runs a
// script to its end before anything else, so a node's thousands of keys sent at once would hold
// up every other node's orders (and the viewers waiting on them) for as long as all of them take.
// A new round replaces one still running.
void ClusterNode::Refresh(std::vector<std::string> names) {
    refresh_queue_ = std::move(names);
    refresh_next_ = 0;
    ++refresh_round_;
    RefreshStep();
}

void ClusterNode::RefreshStep() {
    const std::size_t first = refresh_next_;
    const std::size_t count = std::min(kBatch, refresh_queue_.size() - first);
    if (count == 0) {
        refresh_queue_.clear();
        return;
    }
    std::vector<std::string> argv{"EVAL", kRefreshScript, std::to_string(count)};
    for (std::size_t i = first; i < first + count; ++i)
        argv.push_back(Key(refresh_queue_[i]));
    argv.insert(argv.end(), {own_value_, std::to_string(options_.ttl.count()),
                             std::string(cluster::kChangesChannel),
                             std::to_string(cluster::kAgentKeyPrefix.size())});
    refresh_next_ += count;
    commands_.Command(argv, [this, round = refresh_round_](redisReply* reply) {
        if (!closing_ && reply && round == refresh_round_)
            RefreshStep();
    });
}

void ClusterNode::AgentJoined(const std::string& name) {
    ++local_[name];
    // The newest registration wins: this node's value replaces any other's.
    if (commands_.up()) {
        commands_.Command(
            {"SET", Key(name), own_value_, "PX", std::to_string(options_.ttl.count())});
        commands_.Command({"PUBLISH", std::string(cluster::kChangesChannel), name});
    }
}

void ClusterNode::AgentLeft(const std::string& name) {
    const auto it = local_.find(name);
    if (it == local_.end() || --it->second > 0)
        return;
    local_.erase(it);
    if (commands_.up()) {
        commands_.Command({"EVAL", kLeaveScript, "1", Key(name), own_value_,
                           std::string(cluster::kChangesChannel), name});
    }
}

const cluster::Holder* ClusterNode::RemoteHolder(std::string_view name) const {
    const auto it = remote_.find(name);
    return it == remote_.end() ? nullptr : &it->second;
}

void ClusterNode::Send(const std::string& node, const cluster::Order& order,
                       std::function<void()> unheard) {
    const bool sent =
        joined_ &&
        commands_.Command({"PUBLISH", std::string(cluster::kNodeChannelPrefix) + node,
                           cluster::FormatOrder(order)},
                          [this, unheard](redisReply* reply) {
                              // PUBLISH says how many subscribers took it.
                              if (!closing_ && (!reply || reply->type != REDIS_REPLY_INTEGER ||
                                                reply->integer == 0))
                                  unheard();
                          });
    if (sent)
        commands_.Flush();  // a viewer waits on the order
    else
        unheard();
}

void ClusterNode::OnMessage(redisReply* reply) {
    if (closing_ || reply->type != REDIS_REPLY_ARRAY || reply->elements != 3)
        return;
    const std::string kind = ReplyText(reply->element[0]);
    if (kind == "subscribe") {
        if (++confirmations_ == 3)
            Subscribed();
        return;
    }
    if (kind != "message")
        return;
    const std::string channel = ReplyText(reply->element[1]);
    const std::string payload = ReplyText(reply->element[2]);
    if (channel == cluster::kChangesChannel) {
        Fetch(payload);
    } else if (channel.starts_with("__keyevent@")) {
        if (payload.starts_with(cluster::kAgentKeyPrefix))
            Fetch(payload.substr(cluster::kAgentKeyPrefix.size()));
    } else if (auto order = cluster::ParseOrder(payload)) {
        hooks_.order(*order);
    } else {
        Log(Level::Warning, "cluster: a message this node does not understand: " +
                                Printable(payload.substr(0, 80)));
    }
}

// Reads the key of `name` again. Its reply follows every change announced so far, so the last
// reading is the key's state.
void ClusterNode::Fetch(const std::string& name) {
    if (CheckName(name))
        return;
    if (resync_)
        changed_meanwhile_.insert(name);
    commands_.Command({"GET", Key(name)}, [this, name](redisReply* reply) {
        if (closing_ || !reply)
            return;
        Apply(name, reply->type == REDIS_REPLY_STRING ? cluster::ParseHolder(ReplyText(reply))
                                                      : std::nullopt);
        hooks_.settled();
    });
}

void ClusterNode::Apply(const std::string& name, std::optional<cluster::Holder> holder) {
    if (holder && holder->node == options_.node)
        holder.reset();
    const auto it = remote_.find(name);
    if (!holder) {
        if (it != remote_.end()) {
            remote_.erase(it);
            hooks_.listed(name, false);
        }
    } else if (it == remote_.end()) {
        remote_.emplace(name, std::move(*holder));
        hooks_.listed(name, true);
    } else {
        it->second = std::move(*holder);
    }
}

void ClusterNode::StartResync() {
    next_resync_ = loop_.now() + kResyncEvery;
    if (resync_)
        return;
    resync_.emplace();
    changed_meanwhile_.clear();
    ResyncStep("0");
}

void ClusterNode::ResyncStep(const std::string& cursor) {
    commands_.Command(
        {"SCAN", cursor, "MATCH", std::string(cluster::kAgentKeyPrefix) + "*", "COUNT", "1000"},
        [this](redisReply* reply) {
            if (closing_ || !reply || !resync_ || reply->type != REDIS_REPLY_ARRAY ||
                reply->elements != 2 || reply->element[1]->type != REDIS_REPLY_ARRAY)
                return;
            const std::string next = ReplyText(reply->element[0]);
            const redisReply* keys = reply->element[1];
            const bool last = next == "0";
            if (keys->elements == 0) {
                last ? EndResync() : ResyncStep(next);
                return;
            }
            std::vector<std::string> argv{"MGET"};
            for (std::size_t i = 0; i < keys->elements; ++i)
                argv.push_back(ReplyText(keys->element[i]));
            commands_.Command(argv, [this, argv, last](redisReply* values) {
                if (closing_ || !values || !resync_ || values->type != REDIS_REPLY_ARRAY)
                    return;
                for (std::size_t i = 0; i < values->elements && i + 1 < argv.size(); ++i) {
                    const std::string name = argv[i + 1].substr(cluster::kAgentKeyPrefix.size());
                    auto holder = cluster::ParseHolder(ReplyText(values->element[i]));
                    if (!holder || CheckName(name))
                        continue;
                    // A key of this node's that no agent here holds any more (it left while
                    // Redis was away, or the node restarted) is deleted.
                    if (holder->node == options_.node && !local_.contains(name)) {
                        commands_.Command({"EVAL", kLeaveScript, "1", argv[i + 1], own_value_,
                                           std::string(cluster::kChangesChannel), name});
                    }
                    resync_->emplace(name, std::move(*holder));
                }
                if (last)
                    EndResync();
            });
            if (!last)
                ResyncStep(next);
        });
}

void ClusterNode::EndResync() {
    auto read = std::move(*resync_);
    resync_.reset();
    for (auto it = remote_.begin(); it != remote_.end();) {
        const std::string name = it->first;
        ++it;
        if (!read.contains(name))
            Apply(name, std::nullopt);
    }
    for (auto& [name, holder] : read)
        Apply(name, std::move(holder));
    for (const auto& name : std::exchange(changed_meanwhile_, {}))
        Fetch(name);
    hooks_.settled();
    ping_sent_.reset();
    if (!joined_) {
        joined_ = true;
        unwatched_tries_ = 0;
        Log(Level::Info, "cluster: joined through " + where_ + " with " +
                             Counted(local_.size(), "agent name") + " of this node; " +
                             Counted(remote_.size(), "name") + " of other nodes listed");
        outage_said_ = false;
    }
}

}  // namespace dirsrv
