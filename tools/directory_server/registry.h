// The set of names the server lists: the static names of the hosts file merged with the names
// that connected agents hold. The merged list and its reply are rebuilt only when something
// changes, so answering a request costs a copy of ready bytes.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace dirsrv {

class HostRegistry {
public:
    HostRegistry();

    // Each returns true when the merged list changed. Names must have passed CheckName.
    bool SetStaticNames(std::vector<std::string> names);
    bool AddAgent(std::string_view name);
    bool RemoveAgent(std::string_view name);

    std::size_t count() const { return merged_.size(); }
    std::size_t static_count() const { return static_.size(); }
    const Reply& reply() const { return reply_; }

private:
    bool Rebuild();

    std::vector<std::string> static_;  // sorted, unique
    // Several agents may announce the same name; it stays listed until the last of them leaves.
    std::map<std::string, int, std::less<>> agents_;
    std::vector<std::string> merged_;
    Reply reply_;
};

}  // namespace dirsrv
