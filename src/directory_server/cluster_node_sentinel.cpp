// The node's conversation with the sentinels (cluster_node.h, cluster_sentinel.h): asking them
// in turn for the master, checking that the server it joins through is a master, and following
// the failovers a sentinel announces. Like the rest of the node it never waits: each sentinel
// gets a bounded time (Tick), and every answer comes back through a callback on the event loop.
#include <hiredis/hiredis.h>

#include "directory_server/cluster_node.h"
#include "directory_server/log.h"
#include "directory_server/protocol.h"

namespace dirsrv {

void ClusterNode::AskSentinel(std::size_t index) {
    const Endpoint& sentinel = options_.sentinels[index];
    std::string host = FormatAddress(sentinel.address, sentinel.port);
    host.resize(host.rfind(':'));
    sentinel_asked_ = loop_.now();
    const std::string error = sentinel_.Connect(
        host, sentinel.port,
        [this] {
            // Sentinels that keep a password share Redis's; one without refuses AUTH, and the
            // question after it is answered all the same.
            if (!password_.empty())
                sentinel_.Command({"AUTH", password_});
            sentinel_.Command({"SENTINEL", "get-master-addr-by-name", options_.master_name},
                              [this](redisReply* reply) {
                                  if (!closing_ && reply)
                                      SentinelAnswered(reply);
                              });
        },
        [this](std::string why) {
            if (!closing_)
                SentinelFailed(why);
        });
    if (!error.empty())
        SentinelFailed(error);
}

void ClusterNode::SentinelAnswered(const redisReply* reply) {
    if (reply->type == REDIS_REPLY_ERROR)
        return SentinelFailed(ReplyText(reply));
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2)
        return SentinelFailed("it knows no master " + options_.master_name);
    const std::string ip = ReplyText(reply->element[0]);
    const auto master = cluster::ParseMasterAddress(ip, ReplyText(reply->element[1]));
    if (!master)
        return SentinelFailed("it names the master '" + Printable(ip.substr(0, 80)) +
                              "', not a dotted IPv4 address");
    const Endpoint& sentinel = options_.sentinels[round_.current()];
    round_.Answered();
    sentinel_asked_.reset();
    discovering_ = false;
    watching_ = true;
    sentinel_.Subscribe({"SUBSCRIBE", std::string(cluster::kSwitchMasterChannel)},
                        [this](redisReply* message) {
                            if (!closing_)
                                OnSentinelMessage(message);
                        });
    Follow(*master,
           "as the sentinel at " + FormatAddress(sentinel.address, sentinel.port) + " names it");
}

// The sentinel asked did not answer (or the one watched was lost): while asking, the next one is
// asked; when none named the master, Redis counts as unreachable, and the round starts again at
// the next attempt.
void ClusterNode::SentinelFailed(const std::string& why) {
    const Endpoint& sentinel = options_.sentinels[round_.current()];
    const std::string said =
        "the sentinel at " + FormatAddress(sentinel.address, sentinel.port) + ": " + why;
    const bool asking = sentinel_asked_.has_value();
    sentinel_.Drop();
    sentinel_asked_.reset();
    watching_ = false;
    if (asking) {
        if (const auto next = round_.Next())
            return AskSentinel(*next);
    }
    next_watch_ = loop_.now() + kRetry;
    if (discovering_) {
        discovering_ = false;
        Lost("no sentinel named it (last, " + said + ")");
    }
}

void ClusterNode::OnSentinelMessage(const redisReply* reply) {
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 ||
        ReplyText(reply->element[0]) != "message")
        return;
    if (const auto master =
            cluster::ParseSwitchMaster(ReplyText(reply->element[2]), options_.master_name)) {
        const Endpoint& sentinel = options_.sentinels[round_.current()];
        Follow(*master, "after a failover the sentinel at " +
                            FormatAddress(sentinel.address, sentinel.port) + " announced");
    }
}

// Joins through `master` unless already joined or joining through it; a new master is said.
void ClusterNode::Follow(Endpoint master, const std::string& how) {
    const bool moved = redis_.address != 0 && master != redis_;
    if (moved) {
        Log(Level::Info, "cluster: following the new master " + options_.master_name + " at " +
                             FormatAddress(master.address, master.port) + " (was " +
                             FormatAddress(redis_.address, redis_.port) + "), " + how);
    }
    if (commands_.open() && !moved)
        return;
    Disconnect();
    redis_ = master;
    ConnectTo(master);
}

// A sentinel that has not seen a failover yet names a former master, which may be back as a
// replica: writes there would fail, so the node leaves it and asks the sentinels afresh.
void ClusterNode::CheckRole() {
    commands_.Command({"ROLE"}, [this](redisReply* reply) {
        if (closing_ || !reply)
            return;
        const std::string role = reply->type == REDIS_REPLY_ARRAY && reply->elements > 0
                                     ? ReplyText(reply->element[0])
                                     : ReplyText(reply);
        if (role == "master")
            return Ready();
        sentinel_.Drop();
        watching_ = false;
        sentinel_asked_.reset();
        Lost("it is not a master (its role: " + Printable(role.substr(0, 40)) + ")");
    });
}

}  // namespace dirsrv
