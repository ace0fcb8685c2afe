// Starting the viewer from the real dialog: a double-click on the host list
// (real mouse events on the list), the stand-in viewer recording its argv,
// and the refresh after the pause.
#include "support/launcher_harness.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <set>

#include "support/event_wait.h"
#include "viewer/arguments.h"

namespace {

using namespace test_support;
using Argv = std::vector<std::string>;

// The argv of every viewer run so far, in no particular order.
std::vector<Argv> ViewerRuns(const LauncherHarness& launcher) {
    return talviewer::ReadRecords(launcher.File("viewer-record"));
}

// Whether this process has no child left, running or ended (a zombie).
bool NoChildren() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

// Each value reaches the viewer as one argument, byte for byte: no shell sees
// it. An empty entry gives an empty argument; the port goes as written in the
// settings. Without a viewer the list is still asked for again after the
// pause; no zombie is left behind.
TEST(ViewerLaunch, DoubleClickStartsTheViewerWithTheEntryAsOneUnchangedArgument) {
    const struct {
        std::string name;  // the only entry of the list, double-clicked
        bool installed = true;
    } cases[] = {{"Alpha"}, {"two  words it's \"q\" ;a && $(echo b) `c`"}, {""}, {"Alpha", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " viewer " << c.installed);
        ScriptedServer server("xxok|" + c.name);
        const std::string port = std::to_string(server.Port()) + "x";  // "x" is ignored
        LauncherHarness launcher("127.0.0.1", port);
        if (c.installed)
            std::filesystem::copy_file(FAKE_VIEWER_PATH, launcher.File("talviewer"));
        launcher.Run([&](CLauncherDlg& dialog) {
            ASSERT_TRUE(WaitUntil(
                [&] { return server.Requests() == 1 && ListEntries(dialog).size() == 1; }));
            DoubleClickHostList(dialog, 0);
            EXPECT_TRUE(WaitUntil([&] { return server.Requests() == 2 && NoChildren(); }));
        });
        const Argv argv{launcher.File("talviewer"), "TALVERO-VNC", "127.0.0.1", port, c.name};
        EXPECT_EQ(ViewerRuns(launcher), std::vector<Argv>(c.installed ? 1 : 0, argv));
        EXPECT_EQ(launcher.sleeps, std::vector<unsigned>{1000});
        EXPECT_EQ(launcher.messageBoxes, Argv{});
    }
}

// A double-click on the blank space below the entries, or on an empty list,
// selects nothing and does nothing: no viewer, no pause, no request, even
// with an entry still selected from before.
TEST(ViewerLaunch, DoubleClickOnNoEntryDoesNothing) {
    for (const char* reply : {"xxno", "xxok|Alpha"}) {
        SCOPED_TRACE(reply);
        ScriptedServer server(reply);
        LauncherHarness launcher("127.0.0.1", std::to_string(server.Port()));
        std::filesystem::copy_file(FAKE_VIEWER_PATH, launcher.File("talviewer"));
        launcher.Run([&](CLauncherDlg& dialog) {
            ASSERT_TRUE(WaitUntil([&] { return server.Requests() == 1; }));
            RunEventLoopFor(100ms);  // the reply
            CListBox(dialog.GetDlgItem(IDC_HOST_LIST)).SetCurSel(0);
            DoubleClickHostList(dialog, -1);
            RunEventLoopFor(300ms);
        });
        EXPECT_EQ(server.Requests(), 1);
        EXPECT_EQ(ViewerRuns(launcher), std::vector<Argv>{});
        EXPECT_EQ(launcher.sleeps, std::vector<unsigned>{});
    }
}

// Every double-click starts another viewer; the launcher goes on without
// waiting for them.
TEST(ViewerLaunch, EachDoubleClickStartsAViewerThatRunsOnItsOwn) {
    ScriptedServer server("xxok|Alpha|beta");
    LauncherHarness launcher("127.0.0.1", std::to_string(server.Port()));
    std::filesystem::copy_file(FAKE_VIEWER_PATH, launcher.File("talviewer"));
    std::ofstream(launcher.File("hold")).close();
    launcher.Run([&](CLauncherDlg& dialog) {
        ASSERT_TRUE(WaitUntil([&] { return ListEntries(dialog).size() == 2; }));
        DoubleClickHostList(dialog, 0);
        ASSERT_TRUE(WaitUntil([&] { return server.Requests() == 2; }));
        DoubleClickHostList(dialog, 1);
        ASSERT_TRUE(
            WaitUntil([&] { return server.Requests() == 3 && ViewerRuns(launcher).size() == 2; }));
        std::ofstream(launcher.File("release")).close();
        EXPECT_TRUE(WaitUntil([&] { return NoChildren(); })) << "a zombie left behind";
    });
    std::multiset<std::string> names;
    for (const Argv& argv : ViewerRuns(launcher))
        names.insert(argv.back());
    EXPECT_EQ(names, (std::multiset<std::string>{"Alpha", "beta"}));
    EXPECT_EQ(launcher.sleeps, (std::vector<unsigned>{1000, 1000}));
}

}  // namespace
