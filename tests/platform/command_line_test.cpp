// JoinCommandLine: plain arguments stay byte for byte, others are quoted so
// that a Windows program splits the line back into exactly the arguments,
// under single-byte and double-byte code pages alike.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/code_page.h"
#include "support/code_page_scope.h"

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

using Args = std::vector<std::string>;

// How a Windows program splits the arguments after its own name (the rules
// of CommandLineToArgvW and the C runtime): white space separates outside
// quotes; 2n backslashes before a quote give n and the quote toggles
// quoting, 2n+1 give n and a literal quote; other backslashes are literal;
// "" inside quotes is a literal quote. A lead byte of `codePage` and the
// byte after it are one character, never white space, quote or backslash.
Args SplitLikeWindows(const std::string& line, unsigned int codePage) {
    const unsigned char* lead = LeadByteTableFor(codePage);
    Args args;
    for (std::size_t i = line.find_first_not_of(" \t"); i < line.size();
         i = line.find_first_not_of(" \t", i)) {
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (lead[static_cast<unsigned char>(line[i])] && i + 1 < line.size()) {
                arg.append(line, i, 2);
                i += 2;
                continue;
            }
            const std::size_t k = std::min(line.find_first_not_of('\\', i), line.size()) - i;
            i += k;
            if (line[i] != '"') {  // line[line.size()] is NUL
                arg.append(k, '\\');
                if (k == 0)
                    arg += line[i++];
                continue;
            }
            arg.append(k / 2, '\\');
            if (k % 2 == 1 || (quoted && line[i + 1] == '"')) {
                arg += '"';
                i += k % 2 == 1 ? 1 : 2;
            } else {
                quoted = !quoted;
                ++i;
            }
        }
        args.push_back(arg);
    }
    return args;
}

// 0x95 is a lead byte in 932, 936, 949 and 950, a character of its own in
// 1252 and part of no valid sequence in UTF-8.
TEST(JoinCommandLine, QuotesOnlyWhatNeedsIt) {
    const std::tuple<unsigned int, Args, const char*> cases[] = {
        {1252, {"TALVERO-VNC", "10.0.0.1", "8080", "Alpha"}, "TALVERO-VNC 10.0.0.1 8080 Alpha"},
        // An empty value is still one argument.
        {1252, {"TALVERO-VNC", "", "8080", ""}, "TALVERO-VNC \"\" 8080 \"\""},
        // Backslashes and other punctuation alone need no quotes.
        {1252, {"a\\b\\", "C:\\dir\\", "x&y|z<>^%!'"}, "a\\b\\ C:\\dir\\ x&y|z<>^%!'"},
        {1252, {"my host", "tab\there"}, "\"my host\" \"tab\there\""},
        // Backslashes stay single where no quote follows.
        {1252, {"a\\b c"}, "\"a\\b c\""},
        // The second byte of a double-byte character is no backslash, quote
        // or space: no quotes, and none doubled.
        {949, {"\x95\"", "\x95 x", "\x95\\\\\""}, "\x95\" \x95 x \"\x95\\\\\\\\\"\""},
        // A lead byte at the end gets a space as its second byte, so it
        // takes neither the separator nor the closing quote.
        {950, {"ab\x95", "c d\x95", "e"}, "ab\x95  \"c d\x95 \" e"},
        {65001, {"ab\x95", "c"}, "ab\x95 c"},
    };
    for (const auto& [codePage, args, line] : cases) {
        CodePageScope scope(codePage);
        EXPECT_EQ(platform::JoinCommandLine(args), line) << codePage << ": " << line;
    }
}

#ifdef _WIN32
// Text of `codePage` as the system decodes it.
std::wstring Decode(const std::string& text, unsigned int codePage) {
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), size)));
    return wide;
}

// The system's own splitter, given the line decoded from `codePage`, as the
// system does for a program started through the ANSI functions.
std::vector<std::wstring> SplitOnWindows(const std::string& line, unsigned int codePage) {
    const std::wstring wide = Decode("prog.exe " + line, codePage);
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(wide.c_str(), &count);
    std::vector<std::wstring> args(argv + (count > 0 ? 1 : 0), argv + count);
    LocalFree(argv);
    return args;
}
#endif

TEST(JoinCommandLine, SplitsBackIntoTheSameArguments) {
    // Characters that matter: blanks, quote, backslash, a letter, and
    // double-byte characters whose second byte is a backslash, a quote or a
    // space (two characters under a single-byte code page).
    const char* const characters[] = {" ", "\t", "\"", "\\", "a", "\x95\\", "\x95\"", "\x95 "};
    for (const unsigned int codePage : {1252u, 65001u, 932u, 936u, 949u, 950u}) {
        CodePageScope scope(codePage);
        const bool doubleByte = CodePageHasLeadBytes(codePage);
#ifdef _WIN32
        // The system knows the code page: "\x95\\" is one character under a
        // double-byte one (U+8868 under 932), two under the others.
        ASSERT_EQ(Decode("\x95\\", codePage).size(), doubleByte ? 1u : 2u) << codePage;
#endif
        std::vector<std::pair<Args, Args>> samples = {
            {{"TALVERO-VNC", "10.0.0.1", "8080", "my host"}, {}},
            {{"\xea\xb5\xb4\xeb\xa6\xbc host", "\x81\\\"x", "\t", "a\"\"b"}, {}},
        };
        // Every argument of up to four such characters: alone, before a
        // backslash, before a lead byte with nothing after it, and an empty one.
        for (int code = 1; code < 9 * 9 * 9 * 9; ++code) {
            std::string arg;
            for (int c = code; c != 0; c /= 9)
                if (c % 9 != 0)
                    arg += characters[c % 9 - 1];
            samples.push_back({{arg, arg + "\\", arg + "\x95", ""},
                               {arg, arg + "\\", arg + (doubleByte ? "\x95 " : "\x95"), ""}});
        }
        for (auto& [args, want] : samples) {
            if (want.empty())
                want = args;
            const std::string line = platform::JoinCommandLine(args);
            EXPECT_EQ(SplitLikeWindows(line, codePage), want) << codePage << ": " << line;
#ifdef _WIN32
            // The real splitter agrees, character for character.
            std::vector<std::wstring> decoded;
            for (const std::string& arg : want)
                decoded.push_back(Decode(arg, codePage));
            EXPECT_EQ(SplitOnWindows(line, codePage), decoded) << codePage << ": " << line;
#endif
        }
    }
}

}  // namespace
