// The server's side of operator checks (--operators-ca): a viewer's "view NAME" is answered with
// a challenge, its "operator CERT SIG" is judged by the OperatorGate (operators.h), and a proven
// operator within the per-operator limit goes on to the session (session.cpp). A viewer that
// has not proven an operator within --auth-timeout is turned away. Also who may ask for the
// list (--list-from). The messages come from server.cpp.
#include <arpa/inet.h>

#include <ctime>

#include "directory_server/protocol.h"
#include "directory_server/server.h"

namespace dirsrv {

// The name is not judged yet: a stranger learns nothing about the machines before proving who
// they are.
Server::Next Server::ChallengeViewer(Connection& c, std::string_view name) {
    if (const std::string& why = operators_->CaMissing(); !why.empty()) {
        Note(kOperatorRefused, Level::Warning, "view from " + Peer(c) + " refused: " + why);
        AuditRefused(c, kErrorNotAuthorized, {}, name, "no operators' CA");
        batch_ += kErrorNotAuthorized;
        return Next::HangUp;
    }
    std::string nonce = MakeNonce();
    if (nonce.empty()) {
        Log(Level::Error, "the random number generator failed; refusing " + Peer(c));
        batch_ += kErrorBusy;
        return Next::HangUp;
    }
    batch_ += std::string(kChallengePrefix) + nonce + "\n";
    c.role = Connection::Proving{std::string(name), std::move(nonce)};
    return Next::Continue;
}

Server::Next Server::HandleOperator(Connection& c, std::string_view body) {
    auto* proving = c.as<Connection::Proving>();
    if (!proving) {
        Note(kBadInput, Level::Info, "closing " + Peer(c) + ": an operator answer unasked");
        return Next::HangUp;
    }
    const Connection::Proving sent = std::move(*proving);
    c.role = Connection::Client{};
    const std::string shown = Printable(sent.name);
    const auto decision = operators_->Check(body, sent.name, sent.nonce, std::time(nullptr));
    switch (decision.outcome) {
        case OperatorGate::Outcome::kNotAuthorized:
            Note(kOperatorRefused, Level::Warning,
                 "view " + shown + " from " + Peer(c) + " refused: " + decision.why);
            AuditRefused(c, kErrorNotAuthorized, decision.claimed, sent.name, decision.why);
            batch_ += kErrorNotAuthorized;
            return Next::HangUp;
        case OperatorGate::Outcome::kForbidden:
            Note(kOperatorRefused, Level::Warning,
                 "view " + shown + " by operator " + decision.who.name + " from " + Peer(c) +
                     " refused: " + decision.why);
            AuditRefused(c, kErrorForbidden, decision.who.name, sent.name, decision.why);
            batch_ += kErrorForbidden;
            return Next::HangUp;
        case OperatorGate::Outcome::kProven:
            break;
    }
    if (const std::size_t open = SessionsOf(decision.who.name);
        open >= options_.max_operator_sessions) {
        Note(kSessionRefused, Level::Info,
             "view " + shown + " by operator " + decision.who.name +
                 " refused: " + Counted(open, "session") + " already (--max-operator-sessions)");
        AuditRefused(c, kErrorBusy, decision.who.name, sent.name, "--max-operator-sessions");
        batch_ += kErrorBusy;
        return Next::HangUp;
    }
    c.role = Connection::Proven{sent.name, decision.who};
    return Next::View;
}

// A viewer still owes its proof past --auth-timeout (counted from its connecting, so a "view"
// line sent slowly counts too): it is told so and let go. True when it was.
bool Server::ProofOverdue(Connection& c) {
    const bool owing = c.as<Connection::Proving>() || (!c.asked && c.as<Connection::Client>() &&
                                                       c.in.starts_with(kViewPrefix.substr(0, 1)));
    if (!operators_ || !owing || loop_.serving_now() - c.opened < options_.auth_timeout)
        return false;
    Note(kOperatorRefused, Level::Info, "closing " + Peer(c) + ": no operator proof in time");
    const auto* proving = c.as<Connection::Proving>();
    AuditRefused(c, kErrorNotAuthorized, {}, proving ? proving->name : std::string(),
                 "no proof in time");
    c.role = Connection::Client{};
    c.in.clear();
    HangUp(c, kErrorNotAuthorized);
    return true;
}

// The audit file's record of a viewer refused at the operator check: the verdict (the error the
// viewer got), the certificate's name when it carried one, the machine it asked for.
void Server::AuditRefused(const Connection& c, std::string_view reply, std::string_view name,
                          std::string_view machine, std::string_view why) {
    Audit(AuditRecord("operator-refused")
              .Text("verdict", wire::Word(reply).substr(kErrorPrefix.size()))
              .Text("operator", name)
              .Text("machine", machine)
              .Text("address", Peer(c))
              .Text("reason", why));
}

// An operator's sessions, waiting and relayed. Counted when asked: the sessions are few, and
// no count can drift from them.
std::size_t Server::SessionsOf(std::string_view operator_name) const {
    std::size_t count = 0;
    for (const auto& [id, pending] : pending_)
        count += pending.who.name == operator_name;
    for (const auto& [relay, owned] : relays_)
        count += relay->who.name == operator_name;
    return count;
}

bool Server::MayList(const Connection& c) const {
    if (options_.list_from.empty())
        return true;
    const std::uint32_t address = ntohl(c.peer.sin_addr.s_addr);
    for (const Network& network : options_.list_from) {
        if (network.Holds(address))
            return true;
    }
    return false;
}

}  // namespace dirsrv
