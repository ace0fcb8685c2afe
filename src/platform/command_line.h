// Joining arguments into one Windows command line.
//
// Windows hands a program its command line as one string, and the program
// splits it again (CommandLineToArgvW and the C runtime share the rules):
// white space separates arguments, double quotes group them, and a
// backslash escapes a quote. The line is text in the active code page, and
// both splitters see a double-byte character as one character: its second
// byte is never white space, a quote or a backslash to them, even when its
// value is 0x20, 0x22 or 0x5C. JoinCommandLine writes a string that splits
// back into exactly the given arguments, and leaves plain arguments exactly
// as they are.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The arguments joined by one space each, each quoted as QuoteArgument does.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

// One argument, stepping through it by characters of the active code page.
// An empty argument becomes "", so it still counts as one. An argument that
// holds a space, a tab or a double quote is quoted: backslashes before a
// quote, and before the closing quote, are doubled, and each quote gets a
// backslash of its own. Every other argument is copied byte for byte.
//
// An argument that ends in a lead byte with no second byte cannot end there:
// the splitter would take the next byte (a separating space or the closing
// quote) as its second byte and merge the arguments. A space is added as its
// second byte, so the argument reaches the program as the lead byte and a
// space, and its neighbours unchanged.
std::string QuoteArgument(const std::string& argument);

}  // namespace platform
