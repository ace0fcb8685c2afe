// The sentinels' texts (cluster_sentinel.h), parsed strictly: the URL comes from the command
// line, the rest over the network.
#include "directory_server/cluster_sentinel.h"

#include <vector>

#include "common/command_line.h"
#include "directory_server/cluster.h"

namespace dirsrv::cluster {
namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

}  // namespace

std::string ParseSentinelUrl(std::string_view rest, ClusterOptions& into) {
    const auto parts = Split(rest, '/');
    if (parts.size() < 2 || parts.size() > 3)
        return "--cluster needs sentinel://HOST:PORT[,HOST:PORT...]/MASTER[/DB]";
    const auto hosts = Split(parts[0], ',');
    if (hosts.size() > kMaxSentinels)
        return "--cluster: at most " + std::to_string(kMaxSentinels) + " sentinels";
    std::vector<Endpoint> sentinels;
    for (const auto host : hosts) {
        Endpoint sentinel;
        if (!ParseEndpoint(host, sentinel.address, sentinel.port) || sentinel.address == 0)
            return "--cluster: sentinel '" + std::string(host) + "' is not a dotted IPv4 HOST:PORT";
        sentinels.push_back(sentinel);
    }
    if (!IsNodeName(parts[1]))
        return "--cluster: the master's name needs 1-64 letters, digits, '.', '_' or '-'";
    unsigned db = 0;
    if (parts.size() == 3) {
        const auto number = tools::ParseWhole<unsigned>(parts[2], 0, 1'000'000);
        if (!number)
            return "--cluster: the database after the master's name is not a number";
        db = *number;
    }
    into.sentinels = std::move(sentinels);
    into.master_name = parts[1];
    into.redis_db = db;
    return {};
}

std::optional<Endpoint> ParseMasterAddress(std::string_view ip, std::string_view port) {
    Endpoint master;
    if (!ParseEndpoint(std::string(ip) + ":" + std::string(port), master.address, master.port) ||
        master.address == 0)
        return std::nullopt;
    return master;
}

std::optional<Endpoint> ParseSwitchMaster(std::string_view payload, std::string_view master) {
    const auto fields = Split(payload, ' ');
    if (fields.size() != 5 || fields[0] != master)
        return std::nullopt;
    return ParseMasterAddress(fields[3], fields[4]);
}

}  // namespace dirsrv::cluster
