// The server's side of agent authentication: the --agent-keys file kept current, the challenge
// sent for "register NAME", and the check of the agent's "proof". The file format, the nonce
// and the HMAC are in agent_keys.cpp; the connections and the log are the event loop's
// (server.cpp).
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
    next_keys_poll_ = now_ + options_.hosts_poll;
    std::string error;
    auto content = keys_file_->Poll(error);
    if (!error.empty()) {
        if (starting)
            return error;
        Log(Level::Warning, error + "; keeping the last good keys of " +
                                std::to_string(keys_.keys.size()) + " names");
    }
    if (!content)
        return {};
    std::string what = "agent keys file " + keys_file_->path() +
                       (starting ? " read: " : " re-read: ") +
                       std::to_string(content->keys.size()) + " names";
    if (content->refused > 0) {
        what += ", " + std::to_string(content->refused) + " lines refused (";
        for (std::size_t i = 0; i < content->examples.size(); ++i)
            what += (i ? "; " : "") + content->examples[i];
        what += content->refused > content->examples.size() ? "; ...)" : ")";
    }
    if (content->open_to_others)
        what += "; it is open to other users, who can read every agent's key: chmod 600 it";
    for (auto& [name, key] : keys_.keys)
        OPENSSL_cleanse(key.data(), key.size());
    keys_ = std::move(*content);
    std::size_t dropped = 0;
    for (auto& slot : by_fd_) {
        Connection* c = slot.get();
        if (!c || !c->is_agent)
            continue;
        const auto it = keys_.keys.find(c->agent);
        if (it == keys_.keys.end() || it->second != c->key) {
            ++dropped;
            Close(*c, "its key was withdrawn");
        }
    }
    if (dropped > 0)
        what += "; dropped " + std::to_string(dropped) + " agents whose key was withdrawn";
    Log(keys_.refused > 0 || keys_.open_to_others ? Level::Warning : Level::Info, what);
    return {};
}

bool Server::Challenge(Connection& c, std::string_view name) {
    if (!keys_.keys.contains(name)) {
        Note(kNameRefused, Level::Warning,
             "refused to register " + Printable(name) + " from " + Peer(c) +
                 ": the agent keys file has no key for it");
        batch_ += std::string(kRefusedPrefix) + "unknown name\n";
        return false;
    }
    c.nonce = MakeNonce();
    if (c.nonce.empty()) {
        Log(Level::Error, "the random number generator failed; refusing " + Peer(c));
        batch_ += std::string(kRefusedPrefix) + "busy: server error\n";
        return false;
    }
    c.agent.assign(name);
    batch_ += std::string(kChallengePrefix) + c.nonce + "\n";
    return true;
}

bool Server::HandleProof(Connection& c, std::string_view proof) {
    if (c.nonce.empty()) {
        Note(kBadInput, Level::Info, "closing " + Peer(c) + ": proof without a challenge");
        return false;
    }
    const std::string nonce = std::move(c.nonce);
    c.nonce.clear();
    const std::string name = std::move(c.agent);
    c.agent.clear();
    const auto it = keys_.keys.find(name);
    if (it == keys_.keys.end() || !CheckProof(it->second, nonce, proof)) {
        Note(kNameRefused, Level::Warning,
             "refused to register " + Printable(name) + " from " + Peer(c) +
                 (it == keys_.keys.end() ? ": its key was withdrawn" : ": wrong proof of its key"));
        batch_ += std::string(kRefusedPrefix) + "wrong key\n";
        return false;
    }
    return AcceptAgent(c, name, it->second);
}

}  // namespace dirsrv
