// Stand-ins for OS services, for tests only. Each hook that is set replaces
// the real service; the program itself never sets them.
#pragma once

#include <functional>
#include <string>
#include <vector>

class CDialog;

namespace platform::testing {

struct Hooks {
    std::function<bool()> socketLayerStartup;
    std::function<bool()> componentLayerStartup;
    // Called instead of showing a message box.
    std::function<void(const std::string& text, unsigned int codePage)> messageBox;
    std::function<void(unsigned int milliseconds)> sleep;
    // Called when a modal dialog has been initialised and shown.
    std::function<void(CDialog&)> dialogShown;
    std::function<std::string()> moduleFileName;
};

Hooks& CurrentHooks();
// Restores every hook to the real service.
void ResetHooks();

}  // namespace platform::testing
