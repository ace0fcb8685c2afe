// talagent.exe's start without a command prompt: talagent.ini's lines as arguments, the Run
// key's quoting (read back by Windows' own CommandLineToArgvW), and --autostart taken out of a
// command line. Run under Wine by ctest in build-win.
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include "agent/win32/startup.h"

namespace talagent::win {
namespace {

using Args = std::vector<std::string>;

TEST(AgentStartup, ReadsIniLinesAsOptions) {
    const struct {
        const char* text;
        Args args;
        bool error;
    } kCases[] = {
        {"server = 10.0.0.1:47010\r\nname=pc-1\n\n# comment\n; comment\nask\n",
         {"--server", "10.0.0.1:47010", "--name", "pc-1", "--ask"},
         false},
        {"cert = C:\\Users\\a b\\pc-1.pem", {"--cert", "C:\\Users\\a b\\pc-1.pem"}, false},
        {"name = pc-1\n--server = x\n", {}, true},  // the name is given without dashes
        {"= value\n", {}, true},
        {"Name Of Thing\n", {}, true},
    };
    for (const auto& c : kCases) {
        std::string error;
        EXPECT_EQ(IniArguments(c.text, error), c.args) << c.text;
        EXPECT_EQ(!error.empty(), c.error) << c.text;
    }
}

TEST(AgentStartup, QuotesArgumentsAsWindowsReadsThemBack) {
    const std::wstring kArguments[] = {L"C:\\Program Files\\talagent\\talagent.exe",
                                       L"C:\\dir with space\\",
                                       L"a\"b",
                                       L"\\\\server\\share\\\"x\"\\",
                                       L"",
                                       L"plain"};
    std::wstring line = L"talagent.exe";
    for (const auto& argument : kArguments)
        line += L" " + QuoteArgument(argument);
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_EQ(count, 1 + static_cast<int>(std::size(kArguments)));
    for (int i = 1; i < count; ++i)
        EXPECT_EQ(argv[i], kArguments[i - 1]);
    LocalFree(argv);
}

TEST(AgentStartup, TakesAutostartOutOfTheCommandLine) {
    const struct {
        Args args;
        std::string value;
        Args rest;
        bool error;
    } kCases[] = {
        {{"--server", "a:1", "--autostart", "on", "--ask"},
         "on",
         {"--server", "a:1", "--ask"},
         false},
        {{"--autostart=off"}, "off", {}, false},
        {{"--name", "pc-1"}, "", {"--name", "pc-1"}, false},
        {{"--autostart", "yes"}, "", {}, true},
        {{"--autostart"}, "", {}, true},
    };
    for (auto c : kCases) {
        std::string error;
        const std::string value = TakeAutostart(c.args, error);
        EXPECT_EQ(!error.empty(), c.error);
        if (!c.error) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(c.args, c.rest);
        }
    }
}

}  // namespace
}  // namespace talagent::win
