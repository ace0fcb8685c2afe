// Start-up: the two platform layers and what their failures do.
#include <gtest/gtest.h>

#include <QTimer>

#include "launcher/app/launcher_app.h"
#include "support/launcher_harness.h"

namespace {

using test_support::LauncherHarness;

// Without the socket layer the failure is shown and neither the settings nor the dialog are
// touched; without the component layer the failure is shown and the dialog runs all the same.
TEST(Startup, ShowsTheFailureAndRunsTheDialogOnlyWithSockets) {
    const struct {
        bool socketLayer, componentLayer;
        std::vector<std::string> messages;
        bool dialogShown;
    } cases[] = {{true, true, {}, true},
                 {false, true, {"socket init fail!"}, false},
                 {false, false, {"socket init fail!"}, false},
                 {true, false, {"ole init fail!"}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "sockets " << c.socketLayer << " components " << c.componentLayer);
        LauncherHarness f("<xml><title>T</title></xml>");
        bool settingsRead = false, shown = false;
        auto& hooks = platform::testing::CurrentHooks();
        hooks.socketLayerStartup = [&] { return c.socketLayer; };
        hooks.componentLayerStartup = [&] { return c.componentLayer; };
        hooks.moduleFileName = [&, moduleFileName = hooks.moduleFileName] {
            settingsRead = true;
            return moduleFileName();
        };
        hooks.dialogShown = [&](CDialog& d) {
            shown = true;
            QTimer::singleShot(0, [&d] { d.EndDialog(IDCANCEL); });
        };
        EXPECT_EQ(theApp.InitInstance(), FALSE);
        EXPECT_EQ(f.messageBoxes, c.messages);
        EXPECT_EQ(shown, c.dialogShown);
        EXPECT_EQ(settingsRead, c.dialogShown) << "no settings are read without the dialog";
    }
}

}  // namespace
