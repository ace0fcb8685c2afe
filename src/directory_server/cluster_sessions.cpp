// Sessions across the nodes of a cluster (cluster_node.h): a viewer's "view NAME" at this node
// whose newest agent registered at another node becomes an order to that node, which sends its
// agent "connect ID OPERATOR RIGHT HOST:PORT" with this node's advertised address; the agent's
// session connection then arrives here, where the viewer waits, and pairs as any other
// (session.cpp). The other way round, orders from other nodes reach this node's agents here.
// Operator checks and limits stay each node's own: the viewer's node checks the operator, the
// agent's node counts the sessions waiting for its agent.
#include <utility>

#include "directory_server/server.h"

namespace dirsrv {

std::string Server::StartCluster() {
    ClusterNode::Hooks hooks;
    hooks.listed = [this](const std::string& name, bool listed) {
        cluster_list_changed_ |=
            listed ? registry_.AddAgent(name, false) : registry_.RemoveAgent(name, false);
    };
    hooks.settled = [this] {
        if (!std::exchange(cluster_list_changed_, false))
            return;
        registry_.Rebuild();
        ListChanged("the cluster's names changed", kAgentJoined);
    };
    hooks.order = [this](const cluster::Order& order) { HandleOrder(order); };
    cluster_ = std::make_unique<ClusterNode>(options_.cluster, loop_, std::move(hooks));
    return cluster_->Start();
}

// The audit file says which node each line comes from.
AuditRecord Server::Stamped(AuditRecord record) const {
    if (cluster_)
        record.Text("node", cluster_->node());
    return record;
}

void Server::ViewElsewhere(Connection& c, std::string_view name, const cluster::Holder& holder,
                           Operator who) {
    const std::string id = MintSessionId();
    if (id.empty()) {
        Refuse(c, kErrorBusy, "the random number generator failed");
        return;
    }
    cluster::Order order;
    order.from = cluster_->node();
    order.id = id;
    order.who = who.name.empty() ? std::string(wire::kAnonymousOperator) : who.name;
    order.right = RightWord(who.right);
    order.address = cluster_->advertise();
    order.name = name;
    pending_[id] = {
        std::string(name), c.token(),  0, 0, loop_.serving_now() + options_.session_timeout,
        std::move(who),    holder.node};
    c.role = Connection::Viewer{id};
    UpdateInterest(c);
    cluster_->Send(holder.node, order, [this, id, node = holder.node] {
        EndRemotePending(id, kErrorNotConnected, "its node " + node + " did not take the order");
    });
}

// A session waiting for another node's agent ends before it started: its viewer hears `reply`.
void Server::EndRemotePending(const std::string& id, std::string_view reply, std::string_view why) {
    const auto it = pending_.find(id);
    if (it == pending_.end() || it->second.node.empty())
        return;
    const PendingSession pending = std::move(it->second);
    pending_.erase(it);
    if (Connection* viewer = Find(pending.viewer))
        Refuse(*viewer, reply, "session with " + Printable(pending.name) + ": " + std::string(why));
}

void Server::HandleOrder(const cluster::Order& order) {
    using Kind = cluster::Order::Kind;
    if (order.kind == Kind::Declined) {
        const std::string body = order.id + " " + order.reason;
        const auto declined = ParseDeclined(body);
        EndRemotePending(
            order.id,
            order.reason == cluster::kGone || !declined ? kErrorNotConnected : declined->reply,
            "its agent's node declined (" + Printable(order.reason) + ")");
        return;
    }
    if (order.kind == Kind::Joined) {
        if (const auto it = forwarded_.find(order.id); it != forwarded_.end()) {
            ReleaseForwarded(it->second);
            forwarded_.erase(it);
        }
        return;
    }
    OrderAgent(order);
}

// Another node's viewer wants this node's newest agent of the name.
void Server::OrderAgent(const cluster::Order& order) {
    const auto decline = [&](std::string_view reason) {
        cluster::Order answer;
        answer.kind = cluster::Order::Kind::Declined;
        answer.id = order.id;
        answer.reason = reason;
        cluster_->Send(order.from, answer, [] {});
    };
    const auto agents = agents_by_name_.find(order.name);
    Connection* agent = agents == agents_by_name_.end() ? nullptr : Find(agents->second.back());
    auto* registered = agent ? agent->as<Connection::Agent>() : nullptr;
    if (!registered)
        return decline(cluster::kGone);
    if (forwarded_.contains(order.id))
        return;
    if (registered->pending_sessions >= options_.max_pending_per_agent ||
        forwarded_.size() >= options_.max_sessions)
        return decline(wire::kDeclineBusy);
    const std::string line = std::string(kConnectPrefix) + order.id + " " + order.who + " " +
                             order.right + " " + order.address + "\n";
    if (!Send(*agent, line)) {
        Close(*agent, "connection lost");
        return decline(cluster::kGone);
    }
    ++registered->pending_sessions;
    forwarded_[order.id] = {order.from, agent->token(),
                            loop_.serving_now() + options_.session_timeout};
    Note(kSession, Level::Info,
         "session with " + Printable(order.name) + " for node " + order.from +
             ": its agent is sent to " + order.address);
}

// The agent's "declined" for another node's order goes back to that node.
bool Server::ForwardDeclined(const Connection& agent, std::string_view id,
                             std::string_view reason) {
    const auto it = forwarded_.find(std::string(id));
    if (it == forwarded_.end() || it->second.agent != agent.token())
        return false;
    cluster::Order answer;
    answer.kind = cluster::Order::Kind::Declined;
    answer.id = id;
    answer.reason = reason;
    cluster_->Send(it->second.from, answer, [] {});
    ReleaseForwarded(it->second);
    forwarded_.erase(it);
    return true;
}

void Server::ReleaseForwarded(const Forwarded& forwarded) {
    Connection* agent = Find(forwarded.agent);
    if (auto* registered = agent ? agent->as<Connection::Agent>() : nullptr;
        registered && registered->pending_sessions > 0)
        --registered->pending_sessions;
}

// Orders whose session connection was not reported within --session-timeout stop counting
// against their agent (the viewer's node has given up on them by then).
void Server::TickCluster() {
    cluster_->Tick();
    for (auto it = forwarded_.begin(); it != forwarded_.end();) {
        if (loop_.serving_now() < it->second.deadline) {
            ++it;
            continue;
        }
        ReleaseForwarded(it->second);
        it = forwarded_.erase(it);
    }
}

}  // namespace dirsrv
