// The directory server's policy: what each message on a connection means, the time limits the
// tick enforces (agents' silence, idle connections, hang-ups, ID blocks), and the list the
// launchers get, from the hosts file (hosts_reader.h) and the agents. The sockets are
// networking.cpp's, the waiting and dispatching event_loop.cpp's; agent keys are in
// agent_auth.cpp, operators in operator_auth.cpp and sessions in session.cpp.
#include "directory_server/server.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

namespace dirsrv {
namespace {

// How long a connection closed for bad input may still send before it is cut off.
constexpr std::chrono::seconds kHangUpLinger{2};

std::string Seconds(std::chrono::milliseconds d) {
    const auto ms = d.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03lld", static_cast<long long>(ms % 1000));
        text += fraction;
        while (text.back() == '0')
            text.pop_back();
    }
    return text + " s";
}

}  // namespace

Server::Server(Options options) : options_(std::move(options)) {
    relay_memory_.limit = options_.relay_memory;
    if (!options_.hosts_path.empty())
        hosts_ = std::make_unique<HostsReader>(options_.hosts_path);
    if (!options_.agent_keys_path.empty())
        keys_file_.emplace(options_.agent_keys_path);
    if (!options_.cert_path.empty())
        tls_ = std::make_unique<TlsServer>();
    if (!options_.audit_path.empty())
        audit_ = std::make_unique<AuditLog>(options_.audit_path);
    if (!options_.operators_ca_path.empty()) {
        operators_ = std::make_unique<OperatorGate>(options_.operators_ca_path, options_.crl_path,
                                                    options_.access_path);
    }
}

Server::~Server() {
    for (auto& c : by_fd_) {
        if (c)
            ::close(c->fd);
    }
    for (const int fd : {listener_, spare_fd_}) {
        if (fd >= 0)
            ::close(fd);
    }
    LogRestore();
}

std::string Server::Open() {
    // From here on a stderr nobody reads costs log lines, never service.
    LogWithoutBlocking();
    // Timeouts and the hosts file are checked on a tick fine enough for the shortest of them.
    auto tick = std::min({options_.ping_interval, options_.agent_timeout / 4,
                          options_.idle_timeout / 4, Millis(1000)});
    if (hosts_)
        tick = std::min(tick, options_.hosts_poll);
    if (operators_ || tls_)
        tick = std::min(tick, options_.auth_timeout / 4);
    if (audit_)
        loop_.OnHangUp([this] { ReopenAudit(); });
    std::string error = loop_.Open(std::max(tick, Millis(10)), [this] { Tick(); });
    if (error.empty() && audit_)
        error = audit_->Open();
    if (error.empty()) {
        RaiseFileLimit();
        CheckRelayMemory();
        spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        error = Listen();
    }
    if (error.empty() && hosts_) {
        error = hosts_->fd() < 0 ? "cannot watch the hosts file: no eventfd"
                                 : loop_.Watch(hosts_->fd(), [this] {
                                       if (auto result = hosts_->Take())
                                           ApplyHosts(std::move(*result), false);
                                   });
    }
    if (error.empty())
        error = LoadAgentKeys(true);
    if (error.empty() && operators_)
        error = operators_->Open();
    if (error.empty())
        error = LoadCertificate();
    if (!error.empty())
        return error;
    if (!operators_) {
        Log(Level::Warning,
            "no --operators-ca: anyone who can reach the server may open sessions with every "
            "machine");
    }
    next_operators_poll_ = loop_.now() + options_.hosts_poll;
    next_hosts_poll_ = loop_.now() + options_.hosts_poll;
    next_ping_ = loop_.now() + options_.ping_interval;
    if (hosts_)
        ApplyHosts(hosts_->ReadNow(), true);
    if (options_.cluster.enabled()) {
        if (std::string error = StartCluster(); !error.empty())
            return error;
    }
    Log(Level::Info, "listening on " + FormatAddress(options_.listen_address, port_) +
                         (hosts_ ? ", hosts file " + hosts_->path() : ", no hosts file") +
                         "; agents pinged every " + Seconds(options_.ping_interval) +
                         ", dropped after " + Seconds(options_.agent_timeout) + " of silence");
    return {};
}

// With --cert agents register in TLS only; without it their control connections (names, keys'
// proofs, orders) cross the network readable, which is said once.
std::string Server::LoadCertificate() {
    if (!tls_) {
        Log(Level::Warning,
            "no --cert: agents' control connections are not encrypted, and agents that open TLS "
            "are turned away");
        return {};
    }
    bool open_to_others = false;
    if (std::string error = tls_->Load(options_.cert_path, open_to_others); !error.empty())
        return error;
    Log(open_to_others ? Level::Warning : Level::Info,
        "agents' control connections in TLS with the key and certificate of " + options_.cert_path +
            (open_to_others ? "; it is open to other users, who can read the server's key: "
                              "chmod 600 it"
                            : ""));
    return {};
}

// A record the audit file cannot take (a full disk) is said in the log once, until one is taken
// again; the server serves on.
void Server::Audit(const AuditRecord& record) {
    if (!audit_)
        return;
    const bool written = audit_->Write(Stamped(record));
    if (written == !audit_failing_)
        return;
    audit_failing_ = !written;
    Log(written ? Level::Info : Level::Warning,
        "the audit file " + audit_->path() +
            (written ? " takes records again"
                     : " takes no records: " + std::string(strerror(errno))));
}

// logrotate has moved the file away (SIGHUP, from its postrotate): go on in a new one.
void Server::ReopenAudit() {
    if (const std::string error = audit_->Open(); !error.empty()) {
        Log(Level::Warning, error + "; the audit goes on in the file open before");
        return;
    }
    Log(Level::Info, "SIGHUP: the audit file " + audit_->path() + " opened again");
}

// Every connection is a descriptor; ask for as many as the hard limit allows.
void Server::RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    constexpr rlim_t kOwnDescriptors = 16;
    // A session holds two pipes besides its two connections.
    const rlim_t wanted = options_.max_connections + 4 * options_.max_sessions + kOwnDescriptors;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < wanted) {
        // Not an error: connections past the limit are refused like those past the maximum.
        Log(Level::Info,
            "the open-file limit of " + std::to_string(limit.rlim_cur) + " leaves room for about " +
                Counted(limit.rlim_cur - std::min(limit.rlim_cur, kOwnDescriptors), "connection") +
                " (--max-connections " + std::to_string(options_.max_connections) + ")");
    }
}

void Server::Run() {
    const int signal =
        loop_.Run([this](std::uint64_t token, std::uint32_t mask) { HandleEvent(token, mask); });
    if (signal == 0) {
        Log(Level::Error, std::string("epoll_wait: ") + std::strerror(errno));
    } else {
        Log(Level::Info, signal == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM");
    }
    const std::size_t open = open_connections_;
    for (auto& c : by_fd_) {
        if (c)
            Close(*c, "server stopping");
    }
    for (auto& notice : notices_)
        notice.Report(loop_.now(), true);
    Log(Level::Info, "stopped; closed " + Counted(open, "connection"));
}

// Handles complete messages in `data` until the connection owes --max-output bytes, keeps the
// rest in c.in and sends the replies in one write. May close the connection.
void Server::HandleInput(Connection& c, std::string_view data) {
    batch_.clear();
    bool heard = false;
    Next next = Next::Continue;
    std::string_view argument;  // of the message that made the connection a session's
    while (!data.empty() && next == Next::Continue) {
        if (c.out.size() + batch_.size() >= options_.max_output) {
            // A batch's worth: hand it to the socket, and stop if the socket does not take it.
            if (!c.out.empty())
                break;
            if (!Send(c, batch_)) {
                Close(c, "connection lost");
                return;
            }
            batch_.clear();
            continue;
        }
        const ParseResult r = ParseNext(data);
        if (r.status == ParseStatus::Bad) {
            Note(kBadInput, Level::Info,
                 "closing " + Peer(c) + ": unexpected bytes " + Printable(data.substr(0, 24)));
            next = Next::HangUp;
            break;
        }
        data.remove_prefix(r.consumed);
        if (r.status == ParseStatus::NeedMore) {
            // Only the answer to an operator challenge carries a certificate.
            const std::size_t most =
                c.as<Connection::Proving>() ? kMaxOperatorLine : kMaxPendingInput;
            if (data.size() > most) {
                Note(kBadInput, Level::Info,
                     "closing " + Peer(c) + ": more than " + std::to_string(most) +
                         " bytes without a complete message");
                next = Next::HangUp;
            }
            break;
        }
        heard = true;
        next = HandleMessage(c, r.message);
        argument = r.message.name;
    }
    if (heard)
        c.last_heard = loop_.serving_now();
    switch (next) {
        case Next::View:
        case Next::Join:
            // From here on the connection carries a session; what came after the line is its.
            c.in.clear();
            if (next == Next::View) {
                StartView(c, argument, data);
            } else {
                JoinSession(c, argument, data);
            }
            return;
        case Next::HangUp:
            // What the messages before the bad one are owed is sent first, however the input
            // was cut.
            c.in.clear();
            HangUp(c, batch_);
            return;
        case Next::Continue:
            break;
    }
    c.in.assign(data);
    if (!batch_.empty() && !Send(c, batch_))
        Close(c, "connection lost");
}

// Replies go to batch_.
Server::Next Server::HandleMessage(Connection& c, const Message& message) {
    // A challenged viewer answers, and does nothing else.
    if (c.as<Connection::Proving>() != nullptr && message.kind != MessageKind::Operator) {
        Note(kBadInput, Level::Info, "closing " + Peer(c) + ": no operator answer to a challenge");
        return Next::HangUp;
    }
    switch (message.kind) {
        case MessageKind::ListRequest:
            if (!MayList(c)) {
                Note(kListRefused, Level::Info,
                     "closing " + Peer(c) + ": not among --list-from's networks");
                return Next::HangUp;
            }
            c.asked = true;
            batch_ += registry_.reply().bytes;
            return Next::Continue;
        case MessageKind::Register:
            return HandleRegister(c, message.name);
        case MessageKind::Pong:
            if (!c.as<Connection::Agent>()) {
                Note(kBadInput, Level::Info, "closing " + Peer(c) + ": pong before register");
                return Next::HangUp;
            }
            return Next::Continue;
        case MessageKind::Proof:
            return HandleProof(c, message.name);
        case MessageKind::View:
        case MessageKind::SessionId:
            // Only as the first bytes of a connection: a viewer or a session is nothing else.
            if (c.asked || !c.as<Connection::Client>() || c.tls) {
                Note(kBadInput, Level::Info,
                     "closing " + Peer(c) + ": a session request after other requests");
                return Next::HangUp;
            }
            if (message.kind == MessageKind::View && operators_)
                return ChallengeViewer(c, message.name);
            return message.kind == MessageKind::View ? Next::View : Next::Join;
        case MessageKind::Operator:
            return HandleOperator(c, message.name);
        case MessageKind::Declined:
            return HandleDeclined(c, message.name);
    }
    return Next::HangUp;
}

Server::Next Server::HandleRegister(Connection& c, std::string_view name) {
    if (!c.as<Connection::Client>()) {
        Note(kBadInput, Level::Info, "closing " + Peer(c) + ": a second register");
        return Next::HangUp;
    }
    if (tls_ && !c.tls) {
        Note(kNameRefused, Level::Warning,
             "refused to register " + Printable(name) + " from " + Peer(c) +
                 ": not in TLS (this server has --cert; the agent needs --ca)");
        batch_ += std::string(kRefusedPrefix) + std::string(wire::kRefuseTlsRequired) + "\n";
        return Next::HangUp;
    }
    if (auto why = CheckName(name)) {
        Note(kNameRefused, Level::Warning,
             "refused to register " + Printable(name) + " from " + Peer(c) + ": " + *why);
        batch_ += "refused " + *why + "\n";
        return Next::HangUp;
    }
    if (keys_file_)
        return Challenge(c, name);
    return AcceptAgent(c, name, {});
}

// The launcher holds one connection for its whole run and never reconnects, so a connection
// that has asked and owes or holds nothing is left alone however long it is quiet. Only the
// ones that never asked, stopped mid-request or leave replies unread are closed when idle.
bool Server::Settled(const Connection& c) {
    return c.asked && c.in.empty() && c.out.empty() && !c.draining && !c.hanging_up;
}

void Server::Note(Notice kind, Level level, std::string_view message) {
    notices_[kind].Log(level, message, loop_.now());
}

void Server::Tick() {
    const auto now = loop_.now();
    for (auto& notice : notices_)
        notice.Report(now, false);
    LogFlush();
    if (hosts_ && now >= next_hosts_poll_) {
        next_hosts_poll_ = now + options_.hosts_poll;
        hosts_->Request();
    }
    if (operators_ && now >= next_operators_poll_) {
        next_operators_poll_ = now + options_.hosts_poll;
        operators_->Poll();
    }
    if (keys_file_ && now >= next_keys_poll_) {
        next_keys_poll_ = now + options_.hosts_poll;
        LoadAgentKeys(false);
    }
    TickSessions();
    if (cluster_)
        TickCluster();
    const bool ping = now >= next_ping_;
    if (ping)
        next_ping_ = now + options_.ping_interval;
    for (std::size_t fd = 0; fd < by_fd_.size(); ++fd) {
        // Sessions have time limits of their own (TickSessions); a relayed one has none.
        if (Connection* c = by_fd_[fd].get(); c && !c->InSession())
            TickConnection(*c, ping);
    }
}

// Closes `c` if it is past one of its time limits; pings it if it is an agent and `ping`.
void Server::TickConnection(Connection& c, bool ping) {
    const auto now = loop_.serving_now();
    if (!c.asked && c.in.starts_with(kIdBlockPrefix.substr(0, 1)) &&
        now - c.opened >= options_.id_timeout) {
        Note(
            kBadInput, Level::Info,
            "closing " + Peer(c) + ": no complete ID block within " + Seconds(options_.id_timeout));
        Close(c, {});
        return;
    }
    if (c.hanging_up) {
        if (now - c.hangup_at >= kHangUpLinger)
            Close(c, {});
        return;
    }
    if (ProofOverdue(c))
        return;
    // A TLS handshake is as unauthenticated as a viewer owing its proof, and as bounded.
    if (c.tls && c.tls->Handshaking() && now - c.opened >= options_.auth_timeout) {
        Note(kBadInput, Level::Info,
             "closing " + Peer(c) + ": no TLS handshake within " + Seconds(options_.auth_timeout));
        Close(c, {});
        return;
    }
    Connection* p = &c;
    if (c.as<Connection::Agent>() && now - c.last_heard >= options_.agent_timeout) {
        // Its answer may be waiting unread in the socket: take it before judging.
        const std::uint64_t token = c.token();
        Read(c);
        if (p = Find(token); !p)
            return;
    }
    const auto silent = now - p->last_heard;
    if (const auto* agent = p->as<Connection::Agent>()) {
        if (silent >= options_.agent_timeout) {
            Note(kAgentLeft, Level::Info,
                 "agent " + Printable(agent->name) + " at " + Peer(*p) + " did not answer for " +
                     Seconds(options_.agent_timeout));
            Close(*p, "silent");
        } else if (ping && !Send(*p, kPing)) {
            Close(*p, "connection lost");
        }
    } else if (!Settled(*p) && silent >= options_.idle_timeout) {
        if (p->out.empty()) {
            Note(kIdleClosed, Level::Info,
                 "closing " + Peer(*p) + ": idle for " + Seconds(options_.idle_timeout));
        } else {
            Note(kSlowReader, Level::Info,
                 "dropping " + Peer(*p) + ": it has not read its replies for " +
                     Seconds(options_.idle_timeout) + " (" + Counted(p->out.size(), "byte") +
                     " unsent)");
        }
        Close(*p, {});
    }
}

void Server::ApplyHosts(HostsReader::Result result, bool starting) {
    const std::string& error = result.error;
    auto& content = result.content;
    if (!error.empty()) {
        Log(Level::Warning, error + (starting ? "; starting without static names"
                                              : "; keeping the last good list of " +
                                                    Counted(registry_.static_count(), "name")));
    }
    if (!content)
        return;
    // One line per read however bad the file: counts, and the first few refused lines.
    std::string what = "hosts file " + hosts_->path() + (starting ? " read: " : " re-read: ") +
                       Counted(content->names.size(), "name");
    if (content->duplicates > 0)
        what += ", " + std::to_string(content->duplicates) + " repeated";
    if (content->refused > 0)
        what += ", " + RefusedLines(content->refused, content->examples);
    direct_.clear();
    for (auto& target : content->direct)
        direct_.emplace(target.name, std::move(target));
    const bool changed = registry_.SetStaticNames(std::move(content->names));
    char took[32];
    std::snprintf(took, sizeof took, " in %.1f ms",
                  std::chrono::duration<double, std::milli>(result.took).count());
    what += took;
    if (changed) {
        ListChanged(what);
    } else {
        Log(content->refused > 0 ? Level::Warning : Level::Info, what + "; list unchanged");
    }
}

void Server::ListChanged(std::string_view why, std::optional<Notice> kind) {
    const auto& reply = registry_.reply();
    const std::size_t count = registry_.count();
    std::string line = std::string(why) + "; listing " + Counted(count, "name");
    if (reply.names_included < count) {
        line += "; the reply holds " + std::to_string(reply.names_included) +
                " of them, the rest do not fit in " + std::to_string(kMaxReply) + " bytes";
    }
    const Level level = reply.names_included < count ? Level::Warning : Level::Info;
    if (kind) {
        Note(*kind, level, line);
    } else {
        Log(level, line);
    }
}

// Takes an agent's name off the list (unless another agent or the hosts file holds it too)
// and leaves the connection a plain client; nothing for other connections.
void Server::AgentLeaves(Connection& c, std::string_view why) {
    auto* agent = c.as<Connection::Agent>();
    if (!agent)
        return;
    const std::string name = std::move(agent->name);
    if (const auto it = agents_by_name_.find(name); it != agents_by_name_.end()) {
        std::erase(it->second, c.token());
        if (it->second.empty())
            agents_by_name_.erase(it);
    }
    c.role = Connection::Client{};
    if (cluster_)
        cluster_->AgentLeft(name);
    if (registry_.RemoveAgent(name)) {
        ListChanged("agent " + Printable(name) + " left" +
                        (why.empty() ? std::string() : ": " + std::string(why)),
                    kAgentLeft);
    }
}

}  // namespace dirsrv
