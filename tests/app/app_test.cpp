// Start-up: the two platform layers and what their failures do.
#include <gtest/gtest.h>

#include <QTimer>

#include "launcher/app/launcher_app.h"
#include "support/launcher_harness.h"

namespace {

using test_support::LauncherHarness;

struct StartupCase {
    const char* name;
    bool socketLayer;
    bool componentLayer;
    std::vector<std::string> messages;
    bool dialogShown;
};

class Startup : public ::testing::TestWithParam<StartupCase> {};

TEST_P(Startup, ShowsTheFailureAndRunsTheDialogOnlyWithSockets) {
    const StartupCase& c = GetParam();
    LauncherHarness f("<xml><title>T</title></xml>");
    bool settingsRead = false;
    bool shown = false;
    auto& hooks = platform::testing::CurrentHooks();
    hooks.socketLayerStartup = [&] { return c.socketLayer; };
    hooks.componentLayerStartup = [&] { return c.componentLayer; };
    auto moduleFileName = hooks.moduleFileName;
    hooks.moduleFileName = [&] {
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

INSTANTIATE_TEST_SUITE_P(
    Cases, Startup,
    ::testing::Values(StartupCase{"Normal", true, true, {}, true},
                      StartupCase{"NoSockets", false, true, {"socket init fail!"}, false},
                      StartupCase{
                          "NoSocketsNorComponents", false, false, {"socket init fail!"}, false},
                      StartupCase{"NoComponents", true, false, {"ole init fail!"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
