// The texts of a cluster (cluster.h): the Redis URL, the agents' values and the orders between
// nodes, each parsed strictly, since every one of them comes over the network.
#include "directory_server/cluster.h"

#include <arpa/inet.h>
#include <algorithm>
#include <vector>

#include "common/command_line.h"
#include "common/operator_proof.h"
#include "common/wire.h"
#include "directory_server/cluster_sentinel.h"

namespace dirsrv::cluster {
namespace {

// Splits off the first `count` blank-separated fields; the rest (which may hold blanks) is left
// in `text`. Empty fields are refused.
bool TakeFields(std::string_view& text, std::size_t count, std::vector<std::string_view>& fields) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto blank = text.find(' ');
        const std::string_view field = text.substr(0, blank);
        if (field.empty())
            return false;
        fields.push_back(field);
        text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    }
    return true;
}

bool IsDigits(std::string_view text) {
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool ParseEndpoint(std::string_view text, std::uint32_t& address, std::uint16_t& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    const std::string host(text.substr(0, colon));
    in_addr parsed{};
    const auto number = tools::ParseWhole<unsigned>(text.substr(colon + 1), 1, 65535);
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1 || !number)
        return false;
    address = ntohl(parsed.s_addr);
    port = static_cast<std::uint16_t>(*number);
    return true;
}

std::string ParseUrl(std::string_view url, ClusterOptions& into) {
    constexpr std::string_view kScheme = "redis://";
    if (url.starts_with(kSentinelScheme))
        return ParseSentinelUrl(url.substr(kSentinelScheme.size()), into);
    if (!url.starts_with(kScheme))
        return "--cluster needs redis://HOST:PORT[/DB] or "
               "sentinel://HOST:PORT[,HOST:PORT...]/MASTER[/DB]";
    url.remove_prefix(kScheme.size());
    unsigned db = 0;
    if (const auto slash = url.find('/'); slash != std::string_view::npos) {
        const auto number = tools::ParseWhole<unsigned>(url.substr(slash + 1), 0, 1'000'000);
        if (!number)
            return "--cluster: the database after '/' is not a number";
        db = *number;
        url = url.substr(0, slash);
    }
    if (!ParseEndpoint(url, into.redis_address, into.redis_port) || into.redis_address == 0)
        return "--cluster: '" + std::string(url) + "' is not a dotted IPv4 HOST:PORT";
    into.redis_db = db;
    return {};
}

bool IsHostPort(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 253 ||
        !tools::ParseWhole<unsigned>(text.substr(colon + 1), 1, 65535))
        return false;
    const std::string_view host = text.substr(0, colon);
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-';
    });
}

bool IsNodeName(std::string_view name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

std::string FormatHolder(const Holder& holder) {
    return holder.node + " " + holder.address;
}

std::optional<Holder> ParseHolder(std::string_view value) {
    std::vector<std::string_view> fields;
    if (!TakeFields(value, 2, fields) || !value.empty() || !IsNodeName(fields[0]) ||
        !IsHostPort(fields[1]))
        return std::nullopt;
    return Holder{std::string(fields[0]), std::string(fields[1])};
}

std::string FormatOrder(const Order& order) {
    switch (order.kind) {
        case Order::Kind::Connect:
            return std::string(kConnectOrder) + " " + order.from + " " + order.id + " " +
                   order.who + " " + order.right + " " + order.address + " " + order.name;
        case Order::Kind::Declined:
            return std::string(kDeclinedOrder) + " " + order.id + " " + order.reason;
        case Order::Kind::Joined:
            return std::string(kJoinedOrder) + " " + order.id;
    }
    return {};
}

std::optional<Order> ParseOrder(std::string_view text) {
    std::vector<std::string_view> f;
    if (!TakeFields(text, 1, f))
        return std::nullopt;
    Order order;
    if (f[0] == kConnectOrder) {
        // Every field goes into a line to an agent: none may carry anything but its own word.
        if (!TakeFields(text, 5, f) || text.empty() || !IsNodeName(f[1]) || !IsDigits(f[2]) ||
            (f[3] != wire::kAnonymousOperator && opproof::WhyNotAnOperatorName(f[3])) ||
            (f[4] != wire::kRightControl && f[4] != wire::kRightView) || !IsHostPort(f[5]))
            return std::nullopt;
        order = {Order::Kind::Connect, std::string(f[1]), std::string(f[2]), std::string(f[3]),
                 std::string(f[4]),    std::string(f[5]), std::string(text), {}};
    } else if (f[0] == kDeclinedOrder) {
        if (!TakeFields(text, 2, f) || !text.empty() || !IsDigits(f[1]) ||
            !std::all_of(f[2].begin(), f[2].end(), [](char c) { return c > ' ' && c < 0x7F; }))
            return std::nullopt;
        order.kind = Order::Kind::Declined;
        order.id = f[1];
        order.reason = f[2];
    } else if (f[0] == kJoinedOrder) {
        if (!TakeFields(text, 1, f) || !text.empty() || !IsDigits(f[1]))
            return std::nullopt;
        order.kind = Order::Kind::Joined;
        order.id = f[1];
    } else {
        return std::nullopt;
    }
    return order;
}

}  // namespace dirsrv::cluster
