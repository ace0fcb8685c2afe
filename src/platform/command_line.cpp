#include "platform/command_line.h"

namespace platform {

namespace {

bool NeedsQuotes(const std::string& argument) {
    return argument.find_first_of(" \t\"") != std::string::npos;
}

}  // namespace

std::string QuoteArgument(const std::string& argument) {
    if (!NeedsQuotes(argument))
        return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them; then each
        // one needs a partner, and the quote a backslash of its own.
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // The closing quote follows: the trailing backslashes must not escape it.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string JoinCommandLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            line += ' ';
        line += QuoteArgument(arguments[i]);
    }
    return line;
}

}  // namespace platform
