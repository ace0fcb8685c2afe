// Joining arguments into one Windows command line.
//
// Windows hands a program its command line as one string, and the program
// splits it again (CommandLineToArgvW and the C runtime share the rules):
// white space separates arguments, double quotes group them, and a
// backslash escapes a quote. JoinCommandLine writes a string that splits
// back into exactly the given arguments wherever they can be told apart by
// those rules, and leaves plain arguments exactly as they are.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The arguments joined by one space each. An argument that holds a space, a
// tab or a double quote is quoted: backslashes before a quote, and before the
// closing quote, are doubled, and each quote gets a backslash of its own.
// Every other argument is copied byte for byte, so plain values give the
// plain concatenation (an empty last argument leaves a trailing space).
std::string JoinCommandLine(const std::vector<std::string>& arguments);

// One argument, quoted as above when it needs it.
std::string QuoteArgument(const std::string& argument);

}  // namespace platform
