// The --access file's lines and the first-match decision (see access.h). The server re-reads
// the file through operators.cpp and asks Decide for each proven operator's "view".
#include "directory_server/access.h"

#include "common/operator_proof.h"
#include "common/text.h"
#include "common/wire.h"
#include "directory_server/hosts_file.h"
#include "directory_server/protocol.h"

namespace dirsrv {
namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr std::string_view kAnyOperator = "*";

std::optional<Right> ParseRight(std::string_view word) {
    for (const Right right : {Right::kView, Right::kControl}) {
        if (word == RightWord(right))
            return right;
    }
    return std::nullopt;
}

}  // namespace

std::string_view RightWord(Right right) {
    return right == Right::kControl ? wire::kRightControl : wire::kRightView;
}

AccessRules ParseAccess(std::string_view text) {
    AccessRules access;
    std::size_t line_number = 0;
    const auto refuse = [&](std::string why) {
        if (access.examples.size() < kRefusedExamples)
            access.examples.push_back("line " + std::to_string(line_number) + ": " + why);
        ++access.refused;
    };
    while (!text.empty()) {
        ++line_number;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = tools::Trim(line.substr(0, line.find('#')), kBlanks);
        if (line.empty())
            continue;
        const auto first = line.find_first_of(" \t");
        const auto last = line.find_last_of(" \t");
        const std::string_view who = line.substr(0, first);
        const std::string_view glob = first == std::string_view::npos
                                          ? std::string_view()
                                          : tools::Trim(line.substr(first, last - first), kBlanks);
        const auto right = ParseRight(line.substr(last + 1));
        if (glob.empty()) {
            refuse(Printable(line) + ": not \"OPERATOR MACHINE-GLOB RIGHT\"");
        } else if (who != kAnyOperator && opproof::WhyNotAnOperatorName(who)) {
            refuse(Printable(who) + ": not an operator name or '*'");
        } else if (!right) {
            refuse(Printable(line.substr(last + 1)) +
                   ": the right must be \"control\" or \"view\"");
        } else {
            access.rules.push_back({std::string(who), std::string(glob), *right});
        }
    }
    return access;
}

// Matching with one point to come back to: on a mismatch after a '*', the star takes one byte
// more. Time is at most the product of the lengths, never exponential.
bool GlobMatches(std::string_view glob, std::string_view text) {
    std::size_t g = 0, t = 0;
    std::size_t star = std::string_view::npos, star_text = 0;
    while (t < text.size()) {
        if (g < glob.size() && (glob[g] == '?' || (glob[g] != '*' && glob[g] == text[t]))) {
            ++g, ++t;
        } else if (g < glob.size() && glob[g] == '*') {
            star = g++;
            star_text = t;
        } else if (star != std::string_view::npos) {
            g = star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*')
        ++g;
    return g == glob.size();
}

std::optional<Right> Decide(const AccessRules& access, std::string_view operator_name,
                            std::string_view machine) {
    for (const AccessRule& rule : access.rules) {
        if ((rule.operator_name == kAnyOperator || rule.operator_name == operator_name) &&
            GlobMatches(rule.machine_glob, machine)) {
            return rule.right;
        }
    }
    return std::nullopt;
}

}  // namespace dirsrv
