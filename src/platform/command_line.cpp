// Quoting for the Windows command line the viewer is started with (see
// command_line.h). Portable: the Linux build tests it against a reference
// splitter, the Windows build against the system's own.
#include "platform/command_line.h"

#include "platform/code_page.h"

namespace platform {

namespace {

// The length of the character at `i`: 2 for a lead byte with a second byte.
std::size_t CharacterLength(const std::string& text, std::size_t i) {
    return IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
}

}  // namespace

std::string QuoteArgument(const std::string& argument) {
    // One pass over the characters: whether quotes are needed, and whether
    // the last character is a lead byte alone.
    bool needsQuotes = argument.empty();
    bool endsInLeadByte = false;
    for (std::size_t i = 0; i < argument.size(); i += CharacterLength(argument, i)) {
        const char c = argument[i];
        if (CharacterLength(argument, i) == 1) {
            needsQuotes = needsQuotes || c == ' ' || c == '\t' || c == '"';
            endsInLeadByte = IsLeadByte(static_cast<unsigned char>(c)) && i + 1 == argument.size();
        }
    }
    const std::string text = endsInLeadByte ? argument + ' ' : argument;
    if (!needsQuotes)
        return text;

    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = CharacterLength(text, i);
        const char c = text[i];
        if (length == 1 && c == '\\') {
            ++backslashes;
            ++i;
            continue;
        }
        // Backslashes are literal unless a quote follows them; then each
        // one needs a partner, and the quote a backslash of its own. A
        // double-byte character is never a quote, whatever its second byte.
        const bool quote = length == 1 && c == '"';
        quoted.append(quote ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.append(text, i, length);
        i += length;
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
