// Starting the viewer from the real dialog: a double-click on the host list
// (real mouse events on the list), the stand-in viewer recording its argv,
// and the refresh that follows.
#include <QListWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "support/code_page_scope.h"
#include "support/event_wait.h"
#include "support/launcher_harness.h"
#include "support/scripted_server.h"
#include "ui/launcher_dlg.h"

namespace {

using namespace test_support;
using Argv = std::vector<std::string>;

// Puts the stand-in viewer beside the launcher as "talviewer".
void InstallViewer(const TempDir& dir) {
    std::filesystem::copy_file(FAKE_VIEWER_PATH, dir.File("talviewer"));
}

// The argv of every viewer run so far, in no particular order.
std::vector<Argv> ViewerRuns(const TempDir& dir) {
    std::vector<Argv> runs;
    const std::filesystem::path folder = dir.File("viewer-runs");
    if (!std::filesystem::exists(folder))
        return runs;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".argv")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        Argv argv;
        std::size_t start = 0;
        for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
            argv.push_back(bytes.substr(start, end - start));
        runs.push_back(argv);
    }
    return runs;
}

int RowOf(CLauncherDlg& dialog, const std::string& entry) {
    const std::vector<std::string> entries = ListEntries(dialog);
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == entry)
            return static_cast<int>(i);
    return -1;
}

// Serves a list holding `name` (and "other"), double-clicks `name`, and
// returns the argv the viewer got.
Argv LaunchFor(const std::string& name, const std::string& portSuffix = "") {
    ScriptedServer server(ReplyToEveryRequest("xxok|" + name + "|other"));
    const std::string port = std::to_string(server.Port()) + portSuffix;
    LauncherHarness launcher("127.0.0.1", port);
    InstallViewer(launcher.Dir());
    Argv argv;
    launcher.Run([&](CLauncherDlg& dialog) {
        ASSERT_TRUE(WaitUntil([&] { return RowOf(dialog, name) >= 0; }));
        DoubleClickHostList(dialog, RowOf(dialog, name));
        ASSERT_TRUE(WaitUntil([&] { return ViewerRuns(launcher.Dir()).size() == 1; }));
        argv = ViewerRuns(launcher.Dir()).front();
        EXPECT_TRUE(WaitUntil([&] { return server.Requests() == 2; }));
    });
    EXPECT_EQ(launcher.Sleeps(), std::vector<unsigned>{1000});
    const Argv expected{launcher.Dir().File("talviewer"), "TALVERO-VNC", "127.0.0.1", port, name};
    EXPECT_EQ(argv, expected);
    EXPECT_TRUE(launcher.MessageBoxes().empty());
    return argv;
}

// Each value reaches the viewer as one argument, byte for byte: no shell
// sees it, so spaces, quotes and shell syntax mean nothing.
TEST(ViewerLaunch, HostNameArrivesAsOneUnchangedArgument) {
    TempDir witness;
    const std::string names[] = {
        "Alpha",
        "two words  and more",
        "it's \"quoted\"",
        "semi;colon && true",
        "$(touch " + witness.File("substituted") + ")",
        "`touch " + witness.File("backquoted") + "`",
        "* ? [a] ~ > " + witness.File("redirected"),
        "-dash",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        LaunchFor(name);
    }
    EXPECT_TRUE(std::filesystem::is_empty(witness.Path())) << "a shell ran the command line";
}

TEST(ViewerLaunch, PortTextIsPassedAsWrittenInTheSettings) {
    // The connection uses 8080 of "8080x"; the viewer gets the text itself.
    LaunchFor("Alpha", "x");
}

TEST(ViewerLaunch, DoubleByteNameWhoseSecondByteIsTheSeparatorStaysWhole) {
    CodePageScope scope(949);
    LaunchFor("\xb0\x7c");
    LaunchFor("\xc7\xd1\xb1\xdb \xb0\x7c\xb0\x7c");
}

// Without a selected entry, or on an empty entry, the name is an empty
// argument of its own.
TEST(ViewerLaunch, EmptyNameIsAnEmptyFourthArgument) {
    const struct {
        const char* name;
        const char* reply;
        int row;  // -1: below the entries
    } cases[] = {
        {"empty list, double-click on the empty area", "xxno", -1},
        {"the empty entry", "xxok|", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(ReplyToEveryRequest(c.reply));
        LauncherHarness launcher("127.0.0.1", std::to_string(server.Port()));
        InstallViewer(launcher.Dir());
        launcher.Run([&](CLauncherDlg& dialog) {
            ASSERT_TRUE(WaitUntil([&] { return server.Requests() == 1; }));
            ASSERT_TRUE(
                WaitUntil([&] { return HostList(dialog)->count() == (c.row < 0 ? 0 : 1); }));
            DoubleClickHostList(dialog, c.row);
            ASSERT_TRUE(WaitUntil([&] { return ViewerRuns(launcher.Dir()).size() == 1; }));
            EXPECT_TRUE(WaitUntil([&] { return server.Requests() == 2; }));
        });
        const std::vector<Argv> runs = ViewerRuns(launcher.Dir());
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0], (Argv{launcher.Dir().File("talviewer"), "TALVERO-VNC", "127.0.0.1",
                                 std::to_string(server.Port()), ""}));
    }
}

TEST(ViewerLaunch, MissingViewerStillRefreshesAfterThePause) {
    ScriptedServer server(ReplyToEveryRequest("xxok|Alpha"));
    LauncherHarness launcher("127.0.0.1", std::to_string(server.Port()));
    launcher.Run([&](CLauncherDlg& dialog) {
        ASSERT_TRUE(WaitUntil([&] { return HostList(dialog)->count() == 1; }));
        DoubleClickHostList(dialog, 0);
        EXPECT_TRUE(WaitUntil([&] { return server.Requests() == 2; }));
    });
    EXPECT_EQ(launcher.Sleeps(), std::vector<unsigned>{1000});
    EXPECT_TRUE(launcher.MessageBoxes().empty());
    EXPECT_TRUE(ChildProcesses().empty());
}

// Every double-click starts another viewer; the launcher goes on without
// waiting for them and leaves no zombie behind when they end.
TEST(ViewerLaunch, EachDoubleClickStartsAViewerThatRunsOnItsOwn) {
    ScriptedServer server(ReplyToEveryRequest("xxok|Alpha|beta"));
    LauncherHarness launcher("127.0.0.1", std::to_string(server.Port()));
    InstallViewer(launcher.Dir());
    launcher.Dir().Write("hold", "");
    launcher.Run([&](CLauncherDlg& dialog) {
        ASSERT_TRUE(WaitUntil([&] { return HostList(dialog)->count() == 2; }));
        DoubleClickHostList(dialog, 0);
        ASSERT_TRUE(WaitUntil([&] { return server.Requests() == 2; }));
        DoubleClickHostList(dialog, 1);
        ASSERT_TRUE(WaitUntil([&] { return server.Requests() == 3; }));
        // Both viewers are still running: the dialog did not wait for them.
        ASSERT_TRUE(WaitUntil([&] { return ViewerRuns(launcher.Dir()).size() == 2; }));
        EXPECT_EQ(ChildProcesses().size(), 2u);
        launcher.Dir().Write("release", "");
        EXPECT_TRUE(WaitUntil([] { return ChildProcesses().empty(); }))
            << "a viewer that ended is left as a zombie";
    });
    std::vector<std::string> names;
    for (const Argv& argv : ViewerRuns(launcher.Dir()))
        names.push_back(argv.size() == 5 ? argv[4] : "?");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta"}));
    EXPECT_EQ(launcher.Sleeps(), (std::vector<unsigned>{1000, 1000}));
}

}  // namespace
