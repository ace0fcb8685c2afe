// The set of names the server lists: the static names of the hosts file and the names that
// connected agents hold. The reply is rebuilt only when something changes, so answering a request
// costs a copy of ready bytes.
//
// When not every name fits in one reply, the administrator's names come first: the hosts file's
// names in sorted order, as many as fit before the first that does not, then every agent name
// that fits in the space left, in sorted order. The names chosen are listed sorted, so the reply
// looks the same whether or not all of them fit, and no registration can push a static name out.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "directory_server/protocol.h"

namespace dirsrv {

class HostRegistry {
public:
    HostRegistry();

    // Each returns true when the set of listed names changed. Names must have passed CheckName.
    // Many changes at once (a cluster's names, cluster_node.h) pass `rebuild` false and call
    // Rebuild once at the end.
    bool SetStaticNames(std::vector<std::string> names);
    bool AddAgent(std::string_view name, bool rebuild = true);
    bool RemoveAgent(std::string_view name, bool rebuild = true);
    void Rebuild();

    // Names listed, each once however many sources list it.
    std::size_t count() const { return static_.size() + agent_only_; }
    std::size_t static_count() const { return static_.size(); }
    const Reply& reply() const { return reply_; }

private:
    struct Holders {
        int agents = 0;        // several agents may announce the same name
        bool static_ = false;  // the hosts file lists it too
    };

    bool IsStatic(std::string_view name) const;

    std::vector<std::string> static_;  // sorted, unique
    std::map<std::string, Holders, std::less<>> agents_;
    // How many names of agents_ have each length: the shortest ends a rebuild's search for
    // names that still fit, so a rebuild costs the reply's names, not every agent's.
    std::map<std::size_t, std::size_t> lengths_;
    std::size_t agent_only_ = 0;  // agent names the hosts file does not list
    Reply reply_;
};

}  // namespace dirsrv
