// Finding the cluster's Redis through sentinels (--cluster sentinel://...), without any I/O: the
// URL, the sentinels' answers and announcements, and the order they are asked in.
// cluster_node_sentinel.cpp speaks them over a Redis connection to one sentinel at a time.
//
// A node asks the sentinels in turn "SENTINEL get-master-addr-by-name MASTER", each for a
// bounded time, starting with the one that answered last; on the sentinel that answered it then
// subscribes to "+switch-master", whose messages ("MASTER OLD-IP OLD-PORT NEW-IP NEW-PORT") say
// that a failover made another server the master.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "directory_server/options.h"

namespace dirsrv::cluster {

inline constexpr std::string_view kSentinelScheme = "sentinel://";
inline constexpr std::string_view kSwitchMasterChannel = "+switch-master";
inline constexpr std::size_t kMaxSentinels = 16;

// "HOST:PORT[,HOST:PORT...]/MASTER[/DB]", what follows "sentinel://", into `into`; each HOST a
// dotted IPv4 address, MASTER 1-64 letters, digits, '.', '_' or '-'. Returns why not, or "".
std::string ParseSentinelUrl(std::string_view rest, ClusterOptions& into);
// The master's address as a sentinel gives it (its IP and port, two texts); sentinels that
// announce host names are refused, since the node never looks names up.
std::optional<Endpoint> ParseMasterAddress(std::string_view ip, std::string_view port);
// The new master's address in a "+switch-master" message, when the message is about `master`.
std::optional<Endpoint> ParseSwitchMaster(std::string_view payload, std::string_view master);

// Which sentinel to ask: a round asks each once, beginning with the last that answered.
class SentinelRound {
public:
    explicit SentinelRound(std::size_t count) : count_(count) {}
    // Starts a round; returns the sentinel to ask first.
    std::size_t Begin() {
        asked_ = 1;
        return current_ = preferred_;
    }
    // The sentinel asked gave no usable answer: the next one, or none when each has been asked.
    std::optional<std::size_t> Next() {
        if (asked_ >= count_)
            return std::nullopt;
        ++asked_;
        return current_ = (current_ + 1) % count_;
    }
    // The sentinel asked answered: rounds begin with it from now on.
    void Answered() { preferred_ = current_; }
    std::size_t current() const { return current_; }

private:
    std::size_t count_;
    std::size_t preferred_ = 0;
    std::size_t current_ = 0;
    std::size_t asked_ = 0;
};

}  // namespace dirsrv::cluster
