// The server's side of agent registration: the --agent-keys file kept current, the challenge
// sent for "register NAME", the check of the agent's "proof", and the agent taken onto the list.
// The file format, the nonce and the HMAC are in agent_keys.cpp; the messages come from
// server.cpp, the connections are networking.cpp's.
#include <openssl/crypto.h>

#include "directory_server/protocol.h"
#include "directory_server/server.h"

namespace dirsrv {

// At start a keys file that cannot be read stops the server: refusing every agent quietly would
// be worse. Later, the last good keys stay. Agents whose key was withdrawn or changed are
// dropped, so a revoked key does not keep receiving sessions.
std::string Server::LoadAgentKeys(bool starting) {
    if (!keys_file_) {
        if (starting) {
            Log(Level::Warning,
                "no --agent-keys: any agent may register any name (open registration)");
        }
        return {};
    }
    next_keys_poll_ = loop_.now() + options_.hosts_poll;
    std::string error;
    auto content = keys_file_->Poll(error);
    if (!error.empty()) {
        if (starting)
            return error;
        Log(Level::Warning,
            error + "; keeping the last good keys of " + Counted(keys_.keys.size(), "name"));
    }
    if (!content)
        return {};
    std::string what = "agent keys file " + keys_file_->path() +
                       (starting ? " read: " : " re-read: ") +
                       Counted(content->keys.size(), "name");
    if (content->refused > 0)
        what += ", " + RefusedLines(content->refused, content->examples);
    if (content->open_to_others)
        what += "; it is open to other users, who can read every agent's key: chmod 600 it";
    for (auto& [name, key] : keys_.keys)
        OPENSSL_cleanse(key.data(), key.size());
    keys_ = std::move(*content);
    std::size_t dropped = 0;
    for (auto& slot : by_fd_) {
        Connection* c = slot.get();
        const auto* agent = c ? c->as<Connection::Agent>() : nullptr;
        if (!agent)
            continue;
        const auto it = keys_.keys.find(agent->name);
        if (it == keys_.keys.end() || it->second != agent->key) {
            ++dropped;
            Close(*c, "its key was withdrawn");
        }
    }
    if (dropped > 0)
        what += "; dropped " + Counted(dropped, "agent") + " whose key was withdrawn";
    Log(keys_.refused > 0 || keys_.open_to_others ? Level::Warning : Level::Info, what);
    return {};
}

Server::Next Server::Challenge(Connection& c, std::string_view name) {
    if (!keys_.keys.contains(name)) {
        Note(kNameRefused, Level::Warning,
             "refused to register " + Printable(name) + " from " + Peer(c) +
                 ": the agent keys file has no key for it");
        batch_ += std::string(kRefusedPrefix) + "unknown name\n";
        return Next::HangUp;
    }
    std::string nonce = MakeNonce();
    if (nonce.empty()) {
        Log(Level::Error, "the random number generator failed; refusing " + Peer(c));
        batch_ += std::string(kRefusedPrefix) + "busy: server error\n";
        return Next::HangUp;
    }
    batch_ += std::string(kChallengePrefix) + nonce + "\n";
    c.role = Connection::Challenged{std::string(name), std::move(nonce)};
    return Next::Continue;
}

Server::Next Server::HandleProof(Connection& c, std::string_view proof) {
    auto* challenged = c.as<Connection::Challenged>();
    if (!challenged) {
        Note(kBadInput, Level::Info, "closing " + Peer(c) + ": proof without a challenge");
        return Next::HangUp;
    }
    const Connection::Challenged sent = std::move(*challenged);
    c.role = Connection::Client{};
    const auto it = keys_.keys.find(sent.name);
    if (it == keys_.keys.end() || !CheckProof(it->second, sent.nonce, proof)) {
        Note(kNameRefused, Level::Warning,
             "refused to register " + Printable(sent.name) + " from " + Peer(c) +
                 (it == keys_.keys.end() ? ": its key was withdrawn" : ": wrong proof of its key"));
        batch_ += std::string(kRefusedPrefix) + "wrong key\n";
        return Next::HangUp;
    }
    return AcceptAgent(c, sent.name, it->second);
}

// Lists the connection's name (the hosts file may list it already) and answers "registered".
Server::Next Server::AcceptAgent(Connection& c, std::string_view name, std::string key) {
    agents_by_name_[std::string(name)].push_back(c.token());
    c.role = Connection::Agent{std::string(name), std::move(key)};
    if (cluster_)
        cluster_->AgentJoined(std::string(name));
    if (registry_.AddAgent(name)) {
        ListChanged("agent " + Printable(name) + " registered from " + Peer(c), kAgentJoined);
    } else {
        Note(kAgentJoined, Level::Info,
             "agent " + Printable(name) + " registered from " + Peer(c) + ", already listed");
    }
    Audit(AuditRecord("agent-registered")
              .Text("machine", name)
              .Text("address", Peer(c))
              .Text("transport", c.tls ? "tls" : "plain"));
    batch_ += kRegistered;
    return Next::Continue;
}

}  // namespace dirsrv
