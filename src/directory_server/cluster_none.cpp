// A directory server built without hiredis: the options refuse --cluster (options.cpp), so no
// node is ever made; these stand in for the real ones (cluster_node.cpp) to keep the server whole.
#include "directory_server/cluster_node.h"

namespace dirsrv {

RedisLink::~RedisLink() = default;

ClusterNode::ClusterNode(const ClusterOptions& options, EventLoop& loop, Hooks hooks)
    : options_(options),
      loop_(loop),
      hooks_(std::move(hooks)),
      commands_(loop),
      subscriber_(loop) {}
ClusterNode::~ClusterNode() = default;
std::string ClusterNode::Start() {
    return {};
}
void ClusterNode::Tick() {}
void ClusterNode::AgentJoined(const std::string&) {}
void ClusterNode::AgentLeft(const std::string&) {}
const cluster::Holder* ClusterNode::RemoteHolder(std::string_view) const {
    return nullptr;
}
void ClusterNode::Send(const std::string&, const cluster::Order&, std::function<void()> unheard) {
    unheard();
}

}  // namespace dirsrv
