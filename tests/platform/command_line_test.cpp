// JoinCommandLine: plain arguments stay byte for byte, others are quoted so
// that a Windows program splits the line back into exactly the arguments.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
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
    std::size_t i = 0;
    const std::size_t n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i == n)
            break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                std::size_t k = 0;
                while (i + k < n && line[i + k] == '\\')
                    ++k;
                if (i + k < n && line[i + k] == '"') {
                    arg.append(k / 2, '\\');
                    if (k % 2 == 1) {
                        arg += '"';
                        i += k + 1;
                    } else {
                        i += k;
                    }
                } else {
                    arg.append(k, '\\');
                    i += k;
                }
            } else if (line[i] == '"') {
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(arg);
    }
    return args;
}

TEST(JoinCommandLine, QuotesOnlyWhatNeedsIt) {
    struct Case {
        Args args;
        std::string line;
    };
    const Case cases[] = {
        {{"TALVERO-VNC", "10.0.0.1", "8080", "Alpha"}, "TALVERO-VNC 10.0.0.1 8080 Alpha"},
        // Plain concatenation: an empty last value leaves the trailing space.
        {{"TALVERO-VNC", "10.0.0.1", "8080", ""}, "TALVERO-VNC 10.0.0.1 8080 "},
        {{"TALVERO-VNC", "", "", "x"}, "TALVERO-VNC   x"},
        // Backslashes and other punctuation alone need no quotes.
        {{"a\\b\\", "C:\\dir\\", "x&y|z<>^%!'"}, "a\\b\\ C:\\dir\\ x&y|z<>^%!'"},
        {{"my host"}, "\"my host\""},
        {{"tab\there"}, "\"tab\there\""},
        {{"say \"hi\""}, "\"say \\\"hi\\\"\""},
        {{"\""}, "\"\\\"\""},
        // Backslashes before a quote, and before the closing one, double.
        {{"a\\\"b"}, "\"a\\\\\\\"b\""},
        {{"dir with space\\"}, "\"dir with space\\\\\""},
        {{"x \\\\"}, "\"x \\\\\\\\\""},
        // Backslashes elsewhere in a quoted argument stay single.
        {{"a\\b c"}, "\"a\\b c\""},
        {{}, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::JoinCommandLine(c.args), c.line) << c.line;
}

TEST(JoinCommandLine, SplitsBackIntoTheSameArguments) {
    std::vector<Args> samples = {
        {"TALVERO-VNC", "10.0.0.1", "8080", "my host"},
        {"TALVERO-VNC", "server name", "80 80", "\"quoted\" \\path\\"},
        {"\\\\\"", "\\ \\", "\t", " ", "a\"\"b"},
        {"\xea\xb5\xb4\xeb\xa6\xbc host", "\x81\\\"x"},
    };
    // And many arguments drawn from the characters that matter.
    const char alphabet[] = {'a', ' ', '\t', '"', '\\', 'x', '\xb1'};
    std::uint32_t state = 12345;
    auto next = [&state] { return state = state * 1103515245u + 12345u, (state >> 16) & 0x7FFF; };
    for (int round = 0; round < 2000; ++round) {
        Args args(1 + next() % 4);
        for (std::string& a : args) {
            a.resize(1 + next() % 8);
            for (char& c : a)
                c = alphabet[next() % sizeof alphabet];
        }
        samples.push_back(args);
    }
    for (const Args& args : samples) {
        const std::string line = platform::JoinCommandLine(args);
        EXPECT_EQ(SplitLikeWindows(line), args) << line;
    }
}

#ifdef _WIN32
// The system's own splitter agrees with the one above.
TEST(JoinCommandLine, CommandLineToArgvAgrees) {
    const std::vector<Args> samples = {
        {"TALVERO-VNC", "127.0.0.1", "8080", "my host"},
        {"say \"hi\" \\a\\\\", "end\\", "a\\\"b", "\\\\\"", "x \\\\"},
    };
    for (const Args& args : samples) {
        const std::string line = "prog.exe " + platform::JoinCommandLine(args);
        std::wstring wide(line.begin(), line.end());
        int count = 0;
        LPWSTR* argv = CommandLineToArgvW(wide.c_str(), &count);
        ASSERT_NE(argv, nullptr);
        Args split;
        for (int i = 1; i < count; ++i)
            split.emplace_back(argv[i], argv[i] + lstrlenW(argv[i]));
        LocalFree(argv);
        EXPECT_EQ(split, args) << line;
    }
}
#endif

}  // namespace
