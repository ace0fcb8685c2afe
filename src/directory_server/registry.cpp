// The registry: which names are listed, and the one reply block built from them (protocol.h).
#include "directory_server/registry.h"

#include <algorithm>

namespace dirsrv {

HostRegistry::HostRegistry() : reply_(BuildReply({})) {}

bool HostRegistry::IsStatic(std::string_view name) const {
    return std::binary_search(static_.begin(), static_.end(), name, std::less<>());
}

bool HostRegistry::SetStaticNames(std::vector<std::string> names) {
    if (!std::is_sorted(names.begin(), names.end()))
        std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names == static_)
        return false;
    static_ = std::move(names);
    agent_only_ = 0;
    for (auto& [name, holders] : agents_) {
        holders.static_ = IsStatic(name);
        agent_only_ += !holders.static_;
    }
    Rebuild();
    return true;
}

bool HostRegistry::AddAgent(std::string_view name, bool rebuild) {
    auto it = agents_.find(name);
    if (it == agents_.end()) {
        it = agents_.emplace(std::string(name), Holders{0, IsStatic(name)}).first;
        ++lengths_[name.size()];
    }
    if (it->second.agents++ > 0 || it->second.static_)
        return false;
    ++agent_only_;
    if (rebuild)
        Rebuild();
    return true;
}

bool HostRegistry::RemoveAgent(std::string_view name, bool rebuild) {
    const auto it = agents_.find(name);
    if (it == agents_.end() || --it->second.agents > 0)
        return false;
    const bool listed_elsewhere = it->second.static_;
    agents_.erase(it);
    if (const auto length = lengths_.find(name.size()); --length->second == 0)
        lengths_.erase(length);
    if (listed_elsewhere)
        return false;
    --agent_only_;
    if (rebuild)
        Rebuild();
    return true;
}

void HostRegistry::Rebuild() {
    // Every name costs its length plus a separator: "00ok" + "|name" per name.
    std::size_t room = kMaxReply - (kReplyHeader.size() - 1);
    std::vector<std::string_view> chosen;
    bool all_static = true;
    for (const auto& name : static_) {
        if (name.size() + 1 > room) {
            all_static = false;
            break;
        }
        room -= name.size() + 1;
        chosen.push_back(name);
    }
    const std::size_t static_chosen = chosen.size();
    const std::size_t shortest = lengths_.empty() ? 1 : lengths_.begin()->first;
    for (auto it = agents_.begin(); all_static && room >= shortest + 1 && it != agents_.end();
         ++it) {
        if (it->second.static_ || it->first.size() + 1 > room)
            continue;
        room -= it->first.size() + 1;
        chosen.push_back(it->first);
    }
    // std::string_view orders by unsigned byte value, which is the order the reply promises.
    std::inplace_merge(chosen.begin(), chosen.begin() + static_cast<long>(static_chosen),
                       chosen.end());
    reply_ = BuildReply(chosen);
}

}  // namespace dirsrv
