// JoinCommandLine: plain arguments stay byte for byte, others are quoted so
// that a Windows program splits the line back into exactly the arguments.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

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
// "" inside quotes is a literal quote.
Args SplitLikeWindows(const std::string& line) {
    Args args;
    for (std::size_t i = line.find_first_not_of(" \t"); i < line.size();
         i = line.find_first_not_of(" \t", i)) {
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
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

TEST(JoinCommandLine, QuotesOnlyWhatNeedsIt) {
    const std::pair<Args, const char*> cases[] = {
        {{"TALVERO-VNC", "10.0.0.1", "8080", "Alpha"}, "TALVERO-VNC 10.0.0.1 8080 Alpha"},
        // Plain concatenation: an empty last value leaves the trailing space.
        {{"TALVERO-VNC", "10.0.0.1", "8080", ""}, "TALVERO-VNC 10.0.0.1 8080 "},
        // Backslashes and other punctuation alone need no quotes.
        {{"a\\b\\", "C:\\dir\\", "x&y|z<>^%!'"}, "a\\b\\ C:\\dir\\ x&y|z<>^%!'"},
        {{"my host", "tab\there"}, "\"my host\" \"tab\there\""},
        {{"say \"hi\""}, "\"say \\\"hi\\\"\""},
        // Backslashes before a quote, and before the closing one, double;
        // elsewhere they stay single.
        {{"a\\\"b"}, "\"a\\\\\\\"b\""},
        {{"dir with space\\"}, "\"dir with space\\\\\""},
        {{"a\\b c"}, "\"a\\b c\""},
    };
    for (const auto& [args, line] : cases)
        EXPECT_EQ(platform::JoinCommandLine(args), line) << line;
}

#ifdef _WIN32
// The system's own splitter.
Args SplitOnWindows(const std::string& line) {
    const std::wstring wide = L"prog.exe " + std::wstring(line.begin(), line.end());
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(wide.c_str(), &count);
    Args args;
    for (int i = 1; i < count; ++i)
        args.emplace_back(argv[i], argv[i] + lstrlenW(argv[i]));
    LocalFree(argv);
    return args;
}
#endif

TEST(JoinCommandLine, SplitsBackIntoTheSameArguments) {
    std::vector<Args> samples = {
        {"TALVERO-VNC", "10.0.0.1", "8080", "my host"},
        {"\xea\xb5\xb4\xeb\xa6\xbc host", "\x81\\\"x", "\t", "a\"\"b"},
    };
    // Every argument of up to four characters that matter, before one that
    // ends in a backslash.
    for (int code = 1; code < 6 * 6 * 6 * 6; ++code) {
        std::string arg;
        for (int c = code; c != 0; c /= 6)
            if (c % 6 != 0)
                arg += " \t\"\\a"[c % 6 - 1];
        samples.push_back({arg, arg + "\\", "x"});
    }
    for (const Args& args : samples) {
        const std::string line = platform::JoinCommandLine(args);
        EXPECT_EQ(SplitLikeWindows(line), args) << line;
#ifdef _WIN32
        EXPECT_EQ(SplitOnWindows(line), args) << line;  // and the real splitter agrees
#endif
    }
}

}  // namespace
