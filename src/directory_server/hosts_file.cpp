// Reading the hosts file's bytes into names and hosts-file targets (see hosts_file.h); the
// worker of hosts_reader.cpp calls it, the names are checked by protocol.h's rule.
#include "directory_server/hosts_file.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "directory_server/protocol.h"

namespace dirsrv {
namespace {

// What counts as blank around a field.
constexpr std::string_view kBlanks = " \t\r\v\f";

// "HOST:PORT" with HOST a dotted IPv4 address and PORT 1-65535.
bool ParseTarget(std::string_view text, DirectTarget& target) {
    const auto colon = text.rfind(':');
    const std::string host(text.substr(0, colon));
    const std::string_view port = text.substr(colon + 1);
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1 || port.empty() || port.size() > 5 ||
        port.front() == '0' || port.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    const int number = std::stoi(std::string(port));
    if (number > 65535)
        return false;
    target.address = ntohl(address.s_addr);
    target.port = static_cast<std::uint16_t>(number);
    return true;
}

}  // namespace

HostsContent ParseHosts(std::string_view text) {
    // Editors on Windows like to start UTF-8 files with a byte order mark; it is not a name.
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    HostsContent content;
    std::size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = tools::Trim(line.substr(0, line.find('#')), kBlanks);
        if (line.empty())
            continue;
        std::optional<DirectTarget> target;
        if (const auto eq = line.rfind('=');
            eq != std::string_view::npos && line.find(':', eq) != std::string_view::npos) {
            target.emplace();
            const std::string_view where = tools::Trim(line.substr(eq + 1), kBlanks);
            if (!ParseTarget(where, *target)) {
                if (content.examples.size() < kRefusedExamples) {
                    content.examples.push_back("line " + std::to_string(line_number) + ": " +
                                               Printable(where) +
                                               " refused: not an IPv4 HOST:PORT");
                }
                ++content.refused;
                continue;
            }
            line = tools::Trim(line.substr(0, eq), kBlanks);
        }
        if (auto why = CheckName(line)) {
            if (content.examples.size() < kRefusedExamples) {
                content.examples.push_back("line " + std::to_string(line_number) + ": " +
                                           Printable(line) + " refused: " + *why);
            }
            ++content.refused;
            continue;
        }
        content.names.emplace_back(line);
        if (target) {
            target->name.assign(line);
            content.direct.push_back(std::move(*target));
        }
    }
    // The first line that names a target for a name decides.
    std::stable_sort(content.direct.begin(), content.direct.end(),
                     [](const auto& a, const auto& b) { return a.name < b.name; });
    content.direct.erase(std::unique(content.direct.begin(), content.direct.end(),
                                     [](const auto& a, const auto& b) { return a.name == b.name; }),
                         content.direct.end());
    // Sort and unique rather than a look-up per name: a search of the names so far made a file
    // of short names quadratic, and the server does nothing else while it reads.
    std::sort(content.names.begin(), content.names.end());
    const auto end = std::unique(content.names.begin(), content.names.end());
    content.duplicates = static_cast<std::size_t>(content.names.end() - end);
    content.names.erase(end, content.names.end());
    return content;
}

std::optional<HostsContent> HostsFile::Poll(std::string& error) {
    auto text = file_.Poll(error, true);
    if (!text)
        return std::nullopt;
    return ParseHosts(text->bytes);
}

}  // namespace dirsrv
