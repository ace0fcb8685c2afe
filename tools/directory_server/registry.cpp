#include "registry.h"

#include <algorithm>
#include <iterator>

namespace dirsrv {

HostRegistry::HostRegistry() : reply_(BuildReply(merged_)) {}

bool HostRegistry::SetStaticNames(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names == static_)
        return false;
    static_ = std::move(names);
    return Rebuild();
}

bool HostRegistry::AddAgent(std::string_view name) {
    const auto it = agents_.find(name);
    if (it != agents_.end()) {
        ++it->second;
        return false;
    }
    agents_.emplace(std::string(name), 1);
    return Rebuild();
}

bool HostRegistry::RemoveAgent(std::string_view name) {
    const auto it = agents_.find(name);
    if (it == agents_.end())
        return false;
    if (--it->second > 0)
        return false;
    agents_.erase(it);
    return Rebuild();
}

bool HostRegistry::Rebuild() {
    // std::string orders by unsigned byte value, which is the order the reply promises.
    std::vector<std::string> merged;
    merged.reserve(static_.size() + agents_.size());
    auto agent = agents_.begin();
    for (const auto& name : static_) {
        for (; agent != agents_.end() && agent->first < name; ++agent)
            merged.push_back(agent->first);
        if (agent != agents_.end() && agent->first == name)
            ++agent;
        merged.push_back(name);
    }
    for (; agent != agents_.end(); ++agent)
        merged.push_back(agent->first);
    if (merged == merged_)
        return false;
    merged_ = std::move(merged);
    reply_ = BuildReply(merged_);
    return true;
}

}  // namespace dirsrv
