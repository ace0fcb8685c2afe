// Which operator may do what with which machine: the --access file.
//
// File: text; from '#' to the end of a line is a comment; blank lines are skipped. Every other
// line is "OPERATOR MACHINE-GLOB RIGHT": OPERATOR an operator name (common/operator_proof.h) or
// '*' for every operator, RIGHT the last field ("control" or "view"), MACHINE-GLOB everything
// between (blanks around it dropped, so a glob may hold a blank), in which '*' stands for any
// run of bytes and '?' for any one byte. The first line that matches the operator and the
// machine decides; when none does, the operator may not open a session with the machine.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory_server/watched_file.h"

namespace dirsrv {

// What a session lets the operator do; kept with the session for the agent.
enum class Right { kView, kControl };

// The right's word in the access file and in the agent's "connect" order.
std::string_view RightWord(Right right);

// An operator as a session knows them. Without operator checks the name is empty and the
// right is control, as it always was.
struct Operator {
    std::string name;
    Right right = Right::kControl;
};

struct AccessRule {
    std::string operator_name;  // "*": every operator
    std::string machine_glob;
    Right right = Right::kView;
};

struct AccessRules {
    std::vector<AccessRule> rules;      // in the file's order
    std::size_t refused = 0;            // lines that were not used
    std::vector<std::string> examples;  // the first few "line N: why"
};

AccessRules ParseAccess(std::string_view text);

// Whether `glob` matches all of `text` ('*' any run of bytes, '?' one byte, others themselves).
bool GlobMatches(std::string_view glob, std::string_view text);

// The right of the first rule for `operator_name` and `machine`; nullopt when no rule matches.
std::optional<Right> Decide(const AccessRules& access, std::string_view operator_name,
                            std::string_view machine);

}  // namespace dirsrv
