// Sessions: a viewer's "view NAME" becomes a "connect ID" order on NAME's agent (or the server's
// own connection to a hosts-file target), the agent's session connection is paired with the
// waiting viewer by its ID block, and the pair is relayed (relay.cpp) until either side closes.
// The connections' events come here from networking.cpp; the "view" and ID block messages from
// server.cpp.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "directory_server/protocol.h"
#include "directory_server/server.h"

namespace dirsrv {
namespace {

// How long a session whose one side has finished may take to deliver the rest to the other.
constexpr std::chrono::seconds kHalfClosedLinger{10};

// What the audit file says of every session: who, with what right, with which machine, between
// which addresses.
AuditRecord SessionRecord(std::string_view event, const Relay& r) {
    AuditRecord record(event);
    record.Text("session", r.id)
        .Text("operator", r.who.name.empty() ? wire::kAnonymousOperator : r.who.name)
        .Text("right", RightWord(r.who.right))
        .Text("machine", r.name)
        .Text("viewer", r.viewer_peer)
        .Text("agent", r.agent_peer);
    return record;
}

std::string Duration(std::chrono::steady_clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

}  // namespace

// Connections that belong to a session take their events here; false for every other one.
bool Server::SessionEvent(Connection& c, std::uint32_t mask) {
    if (c.as<Connection::Relayed>()) {
        RelayEvent(c, mask);
    } else if (c.as<Connection::Outgoing>()) {
        ConnectDone(c, mask);
    } else if (c.as<Connection::Viewer>()) {
        // A waiting viewer is watched for its hang-up only.
        Close(c, "the viewer left before the session started");
    } else {
        return false;
    }
    return true;
}

std::string Server::MintSessionId() {
    // 19 decimal digits: 63 bits of chance, never 0, never a leading zero.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::uint64_t random = 0;
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&random), sizeof random) != 1)
            return {};
        constexpr std::uint64_t kLowest = 1'000'000'000'000'000'000ull;
        std::string id = std::to_string(kLowest + random % (9 * kLowest));
        if (!pending_.contains(id))
            return id;
    }
    return {};
}

// Answers a viewer with `reply` and closes its connection once that is sent.
void Server::Refuse(Connection& viewer, std::string_view reply, std::string_view why) {
    Note(kSessionRefused, Level::Info,
         "session for " + Peer(viewer) + " refused (" +
             std::string(reply.substr(0, reply.size() - 1)) + "): " + std::string(why));
    viewer.role = Connection::Client{};
    viewer.in.clear();
    // Not through batch_: an agent's "declined" refuses a viewer while the agent's own replies
    // are being gathered there.
    HangUp(viewer, reply);
}

void Server::StartView(Connection& c, std::string_view view_name, std::string_view held) {
    // What the viewer sent after its line goes to the agent once the session is paired.
    c.in.assign(held);
    // With operator checks on, only a proven operator gets this far.
    Operator who;
    std::string proven_name;
    if (auto* proven = c.as<Connection::Proven>()) {
        proven_name = std::move(proven->name);
        who = std::move(proven->who);
        c.role = Connection::Client{};
        view_name = proven_name;
    } else if (operators_) {
        Refuse(c, kErrorNotAuthorized, "no operator proof");
        return;
    }
    const std::string_view name = view_name;
    const std::string shown = Printable(name);
    if (CheckName(name)) {
        Refuse(c, kErrorNotConnected, "view " + shown + ": not a valid name");
        return;
    }
    if (pending_.size() + relays_.size() >= options_.max_sessions) {
        Refuse(c, kErrorBusy,
               "view " + shown + ": --max-sessions " + std::to_string(options_.max_sessions) +
                   " reached");
        return;
    }
    // The administrator's hosts-file target comes first, as the hosts file's names do.
    if (const auto it = direct_.find(name); it != direct_.end()) {
        // A target is held to the same number of waiting sessions as an agent: a viewer cannot
        // make the server open connection after connection to it.
        if (const std::size_t waiting = PendingFor(name);
            waiting >= options_.max_pending_per_agent) {
            Refuse(c, kErrorBusy,
                   "view " + shown + ": " + Counted(waiting, "session") +
                       " already waiting for its target");
            return;
        }
        const std::string id = MintSessionId();
        if (id.empty()) {
            Refuse(c, kErrorBusy, "the random number generator failed");
            return;
        }
        ConnectOut(c, id, it->second, who);
        return;
    }
    const auto agents = agents_by_name_.find(name);
    // In a cluster the newest registration may be another node's. Without Redis no order can
    // reach that node, and an agent here is the better choice.
    if (const auto* holder = cluster_ ? cluster_->RemoteHolder(name) : nullptr;
        holder && (cluster_->joined() || agents == agents_by_name_.end())) {
        ViewElsewhere(c, name, *holder, std::move(who));
        return;
    }
    Connection* agent = agents == agents_by_name_.end() ? nullptr : Find(agents->second.back());
    auto* registered = agent ? agent->as<Connection::Agent>() : nullptr;
    if (!registered) {
        Refuse(c, kErrorNotConnected, "view " + shown + ": no agent holds the name");
        return;
    }
    if (registered->pending_sessions >= options_.max_pending_per_agent) {
        Refuse(c, kErrorBusy,
               "view " + shown + ": " + Counted(registered->pending_sessions, "session") +
                   " already waiting for its agent");
        return;
    }
    const std::string id = MintSessionId();
    if (id.empty()) {
        Refuse(c, kErrorBusy, "the random number generator failed");
        return;
    }
    // The order names the operator and the right, so the agent can ask its user and keep a
    // view-only session from sending input.
    const std::string order =
        std::string(kConnectPrefix) + id + " " +
        (who.name.empty() ? std::string(wire::kAnonymousOperator) : who.name) + " " +
        std::string(RightWord(who.right)) + "\n";
    if (!Send(*agent, order)) {
        Close(*agent, "connection lost");
        Refuse(c, kErrorNotConnected, "view " + shown + ": its agent's connection failed");
        return;
    }
    ++registered->pending_sessions;
    pending_[id] = {std::string(name),
                    c.token(),
                    agent->token(),
                    0,
                    loop_.serving_now() + options_.session_timeout,
                    std::move(who),
                    {}};
    c.role = Connection::Viewer{id};
    UpdateInterest(c);
}

// Sessions waiting for the connection to hosts-file target `target`. Counted when asked, as an
// operator's are: no count can drift from the sessions.
std::size_t Server::PendingFor(std::string_view target) const {
    std::size_t count = 0;
    for (const auto& [id, pending] : pending_)
        count += pending.agent == 0 && pending.node.empty() && pending.name == target;
    return count;
}

// An agent cannot take an order: its viewer is answered at once and the ID is forgotten. An ID
// that is not waiting, or waits for another agent, is ignored: the order may have ended already
// (the viewer left, the time ran out), and no agent may end another's session.
Server::Next Server::HandleDeclined(Connection& agent, std::string_view body) {
    if (!agent.as<Connection::Agent>()) {
        Note(kBadInput, Level::Info, "closing " + Peer(agent) + ": declined before register");
        return Next::HangUp;
    }
    const auto declined = ParseDeclined(body);
    if (!declined) {
        Note(kBadInput, Level::Info,
             "closing " + Peer(agent) + ": not \"declined ID REASON\": " + Printable(body));
        return Next::HangUp;
    }
    if (cluster_ && ForwardDeclined(agent, declined->id, declined->reason))
        return Next::Continue;
    const auto it = pending_.find(std::string(declined->id));
    if (it == pending_.end() || it->second.agent != agent.token())
        return Next::Continue;
    const PendingSession pending = std::move(it->second);
    pending_.erase(it);
    ReleasePending(pending);
    if (Connection* viewer = Find(pending.viewer)) {
        Refuse(*viewer, declined->reply,
               "session with " + Printable(pending.name) + ": its agent declined (" +
                   Printable(declined->reason) + ")");
    }
    return Next::Continue;
}

void Server::ConnectOut(Connection& viewer, const std::string& id, const DirectTarget& target,
                        Operator who) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(target.address);
    to.sin_port = htons(target.port);
    const std::string where = FormatAddress(target.address, target.port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Refuse(viewer, kErrorBusy, std::string("socket: ") + std::strerror(errno));
        return;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        Refuse(viewer, kErrorNotConnected,
               "view " + Printable(target.name) + ": cannot connect to " + where + ": " +
                   std::strerror(error));
        return;
    }
    Connection* out = Adopt(fd, to, EPOLLOUT);
    if (!out) {
        Refuse(viewer, kErrorBusy, "cannot watch the connection to " + where);
        return;
    }
    out->role = Connection::Outgoing{id};
    pending_[id] = {target.name,
                    viewer.token(),
                    0,
                    out->token(),
                    loop_.serving_now() + options_.session_timeout,
                    std::move(who),
                    {}};
    viewer.role = Connection::Viewer{id};
    UpdateInterest(viewer);
}

void Server::ConnectDone(Connection& c, std::uint32_t mask) {
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0 && (mask & (EPOLLERR | EPOLLHUP)))
        error = ECONNREFUSED;
    if (error != 0) {
        Close(c, "cannot connect to " + Peer(c) + ": " + std::strerror(error));
        return;
    }
    const auto it = pending_.find(c.as<Connection::Outgoing>()->session);
    Connection* viewer = it == pending_.end() ? nullptr : Find(it->second.viewer);
    c.role = Connection::Client{};
    if (!viewer) {
        if (it != pending_.end())
            pending_.erase(it);
        Close(c, {});
        return;
    }
    const std::string id = it->first;
    const PendingSession pending = std::move(it->second);
    pending_.erase(it);
    viewer->role = Connection::Client{};
    Pair(*viewer, c, {}, id, pending);
}

void Server::JoinSession(Connection& c, std::string_view id, std::string_view held) {
    const auto it = pending_.find(std::string(id));
    // A session waits for an agent here, or for another node's agent sent here.
    if (it == pending_.end() || (it->second.agent == 0 && it->second.node.empty())) {
        Note(kBadInput, Level::Info,
             "closing " + Peer(c) + ": session ID " + Printable(id) +
                 " is unknown, used or expired");
        Close(c, {});
        return;
    }
    const PendingSession pending = std::move(it->second);
    const std::string session_id = it->first;
    pending_.erase(it);
    ReleasePending(pending);
    Connection* viewer = Find(pending.viewer);
    if (!viewer) {
        Close(c, {});
        return;
    }
    viewer->role = Connection::Client{};
    if (!pending.node.empty()) {
        cluster::Order joined;
        joined.kind = cluster::Order::Kind::Joined;
        joined.id = session_id;
        cluster_->Send(pending.node, joined, [] {});
    }
    Pair(*viewer, c, held, session_id, pending);
}

void Server::Pair(Connection& viewer, Connection& agent, std::string_view held,
                  const std::string& id, const PendingSession& pending) {
    const std::string& name = pending.name;
    auto relay = std::make_unique<Relay>();
    if (const std::string error = relay->Open(viewer.fd, agent.fd, options_.relay_buffer,
                                              kRelayBufferLargest, relay_memory_);
        !error.empty()) {
        Log(Level::Error, "session with " + Printable(name) + ": " + error);
        Close(agent, {});
        Refuse(viewer, kErrorBusy, error);
        return;
    }
    const std::size_t capacity =
        std::min(relay->Capacity(Relay::kViewer), relay->Capacity(Relay::kAgent));
    if (capacity < options_.relay_buffer && !pipe_quota_logged_) {
        pipe_quota_logged_ = true;
        Log(Level::Warning, "sessions get pipes of " + std::to_string(capacity) +
                                " bytes, not --relay-buffer " +
                                std::to_string(options_.relay_buffer) +
                                ": the user's pipe quota (/proc/sys/fs/pipe-user-pages-soft) is "
                                "used up; sessions work, with less throughput");
    }
    relay->Queue(Relay::kViewer, kViewOk, false);
    relay->Queue(Relay::kViewer, held, true);
    relay->Queue(Relay::kAgent, viewer.in, true);
    relay->id = id;
    relay->name = name;
    relay->who = pending.who;
    relay->viewer_peer = Peer(viewer);
    relay->agent_peer = Peer(agent);
    relay->started = loop_.serving_now();
    Audit(SessionRecord("session-start", *relay));
    viewer.in.clear();
    agent.in.clear();
    Relay* r = relay.get();
    relays_.emplace(r, std::move(relay));
    viewer.role = Connection::Relayed{r, Relay::kViewer};
    agent.role = Connection::Relayed{r, Relay::kAgent};
    // "ok" and the held bytes leave now.
    RelayEvent(viewer, EPOLLOUT);
}

void Server::RelayEvent(Connection& c, std::uint32_t mask) {
    const auto [relay, side] = *c.as<Connection::Relayed>();
    Relay& r = *relay;
    if (!r.Pump(side, mask)) {
        EndSession(r, r.reason());
        return;
    }
    if (r.HalfClosed() && r.half_closed_at == Clock::time_point{})
        r.half_closed_at = loop_.serving_now();
    for (const Relay::Side side : {Relay::kViewer, Relay::kAgent})
        UpdateInterest(*by_fd_[static_cast<std::size_t>(r.fd(side))]);
}

void Server::EndSession(Relay& r, std::string_view reason) {
    Note(kSession, Level::Info,
         "session with " + Printable(r.name) +
             (r.who.name.empty() ? std::string()
                                 : " by operator " + r.who.name + " (" +
                                       std::string(RightWord(r.who.right)) + ")") +
             " ended after " + Duration(loop_.serving_now() - r.started) + ": viewer " +
             r.viewer_peer + ", agent " + r.agent_peer + "; " +
             std::to_string(r.BytesToward(Relay::kViewer)) + " bytes to the viewer, " +
             std::to_string(r.BytesToward(Relay::kAgent)) + " to the agent; buffers up to " +
             std::to_string(r.Largest(Relay::kViewer)) + " bytes to the viewer, " +
             std::to_string(r.Largest(Relay::kAgent)) + " to the agent; " + std::string(reason));
    Audit(SessionRecord("session-end", r)
              .Number("bytes_to_viewer", r.BytesToward(Relay::kViewer))
              .Number("bytes_to_agent", r.BytesToward(Relay::kAgent))
              .Number("milliseconds", static_cast<std::uint64_t>(
                                          std::chrono::duration_cast<std::chrono::milliseconds>(
                                              loop_.serving_now() - r.started)
                                              .count()))
              .Text("reason", reason));
    const auto owned = relays_.find(&r);
    std::unique_ptr<Relay> relay = std::move(owned->second);
    relays_.erase(owned);
    for (const Relay::Side side : {Relay::kViewer, Relay::kAgent}) {
        Connection* c = by_fd_[static_cast<std::size_t>(r.fd(side))].get();
        if (const auto* relayed = c ? c->as<Connection::Relayed>() : nullptr;
            relayed && relayed->relay == &r) {
            c->role = Connection::Client{};
            Close(*c, {});
        }
    }
}

// A session's wait is over: its agent has one session less waiting for its connection.
void Server::ReleasePending(const PendingSession& pending) {
    Connection* agent = Find(pending.agent);
    if (auto* registered = agent ? agent->as<Connection::Agent>() : nullptr;
        registered && registered->pending_sessions > 0)
        --registered->pending_sessions;
}

// Close() of a connection that belongs to a session: a relayed one ends its session; a waiting
// viewer withdraws its session; the server's failed connection to a target fails its viewer's.
// The connection itself is closed by Close() again, now without a session.
void Server::SessionClosing(Connection& c, std::string_view reason) {
    if (const auto* relayed = c.as<Connection::Relayed>()) {
        EndSession(*relayed->relay, reason.empty() ? "closed by the server" : reason);
        return;
    }
    const auto* viewer_side = c.as<Connection::Viewer>();
    const std::string id =
        viewer_side ? viewer_side->session : c.as<Connection::Outgoing>()->session;
    c.role = Connection::Client{};
    if (const auto it = pending_.find(id); it != pending_.end()) {
        const PendingSession pending = std::move(it->second);
        pending_.erase(it);
        ReleasePending(pending);
        if (pending.viewer == c.token()) {
            Note(kSessionRefused, Level::Info,
                 "session with " + Printable(pending.name) + " for " + Peer(c) +
                     " withdrawn: " + std::string(reason));
            if (Connection* out = Find(pending.outgoing)) {
                out->role = Connection::Client{};
                Close(*out, {});
            }
        } else if (Connection* viewer = Find(pending.viewer)) {
            Refuse(*viewer, kErrorNotConnected,
                   "session with " + Printable(pending.name) + ": " + std::string(reason));
        }
    }
    Close(c, {});
}

// --relay-memory is meant to keep the sessions' pipes within the user's soft pipe quota, past
// which the kernel makes new pipes small; say so at start when it does not. (Unreadable under
// the service's restricted /proc: then nothing is said.)
void Server::CheckRelayMemory() {
    std::ifstream file("/proc/sys/fs/pipe-user-pages-soft");
    std::size_t pages = 0;
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (!(file >> pages) || pages == 0 || page_size <= 0)
        return;
    const std::size_t quota = pages * static_cast<std::size_t>(page_size);
    if (options_.relay_memory > quota) {
        Log(Level::Warning,
            "--relay-memory " + std::to_string(options_.relay_memory) +
                " is more than the user's soft pipe quota of " + std::to_string(quota) +
                " bytes (/proc/sys/fs/pipe-user-pages-soft): unless the server may exceed it "
                "(CAP_SYS_RESOURCE), growing pipes can leave new sessions with small ones");
    }
}

void Server::TickSessions() {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (loop_.serving_now() < it->second.deadline) {
            ++it;
            continue;
        }
        const PendingSession pending = std::move(it->second);
        it = pending_.erase(it);
        ReleasePending(pending);
        if (Connection* out = Find(pending.outgoing)) {
            out->role = Connection::Client{};
            Close(*out, {});
        }
        if (Connection* viewer = Find(pending.viewer)) {
            Refuse(*viewer, kErrorTimeout,
                   "session with " + Printable(pending.name) + ": no connection within " +
                       Duration(options_.session_timeout));
        }
    }
    std::vector<std::pair<Relay*, std::string>> ending;
    for (const auto& [relay, owned] : relays_) {
        relay->GiveBackIdle(loop_.serving_now());
        if (relay->HalfClosed() && loop_.serving_now() - relay->half_closed_at >= kHalfClosedLinger)
            ending.emplace_back(relay,
                                "one side closed and the other did not take the rest in time");
        else if (auto why = Unshaken(*relay); !why.empty())
            ending.emplace_back(relay, std::move(why));
    }
    if (relay_memory_.refusals > 0 && !pipe_refusal_logged_) {
        pipe_refusal_logged_ = true;
        Log(Level::Warning,
            std::string("the kernel refused to grow a session's pipe (") +
                std::strerror(relay_memory_.last_refusal) +
                "): the user's pipe quota (/proc/sys/fs/pipe-user-pages-soft) is used up, by "
                "sessions or other processes of the user, or /proc/sys/fs/pipe-max-size is "
                "below " +
                std::to_string(kRelayBufferLargest) + "; sessions go on at the size they have");
    }
    for (auto& [relay, why] : ending)
        EndSession(*relay, why);
}

// The server does not parse the relayed RFB (the bytes go through pipes), so it judges the
// handshake by counts: in every RFB version the viewer sends at least its 12-byte version and a
// ClientInit byte, the desktop its version and a security byte or more, before any update. A
// session that has not carried that much each way within --handshake-timeout is no remote
// desktop (a stuck VNC server, a stranger holding an ID) and is ended: why, or "" to keep it.
std::string Server::Unshaken(Relay& r) {
    constexpr std::uint64_t kLeastHandshake = 13;
    if (r.handshaken)
        return {};
    const std::uint64_t from_viewer = r.BytesToward(Relay::kAgent);
    const std::uint64_t from_desktop = r.BytesToward(Relay::kViewer);
    if (from_viewer >= kLeastHandshake && from_desktop >= kLeastHandshake) {
        r.handshaken = true;
        return {};
    }
    if (loop_.serving_now() - r.started < options_.handshake_timeout)
        return {};
    return "no RFB handshake within " + Duration(options_.handshake_timeout) + " (" +
           std::to_string(from_viewer) + " bytes from the viewer, " + std::to_string(from_desktop) +
           " from the desktop)";
}

}  // namespace dirsrv
