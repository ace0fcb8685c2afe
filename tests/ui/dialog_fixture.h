// A launcher installation in a temporary directory (set.xml beside a
// stand-in module path), message boxes and pauses recorded instead of shown,
// and the real dialog run modally with a test body inside its modal loop.
#pragma once

#include <QEventLoop>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/testing.h"
#include "ui/launcher_dlg.h"

class DialogFixture {
public:
    static constexpr int kEndedByTest = 3;

    explicit DialogFixture(const std::string& settings = "") {
        char pattern[] = "/tmp/launcher-ui-XXXXXX";
        dir_ = mkdtemp(pattern);
        if (!settings.empty())
            std::ofstream(dir_ + "/set.xml", std::ios::binary) << settings;
        auto& hooks = platform::testing::CurrentHooks();
        hooks.moduleFileName = [this] { return dir_ + "/launcher"; };
        hooks.messageBox = [this](const std::string& text, unsigned int) {
            messages.push_back(text);
        };
        hooks.sleep = [this](unsigned int ms) { sleeps.push_back(ms); };
    }
    ~DialogFixture() {
        platform::testing::ResetHooks();
        std::filesystem::remove_all(dir_);
    }

    // DoModal's result; the body runs once the dialog is up, then the dialog
    // ends with kEndedByTest unless the body ended it.
    INT_PTR Run(CLauncherDlg& dialog, const std::function<void(CLauncherDlg&)>& body) {
        platform::testing::CurrentHooks().dialogShown = [&](CDialog&) {
            QTimer::singleShot(0, [&] {
                body(dialog);
                dialog.EndDialog(kEndedByTest);
            });
        };
        return dialog.DoModal();
    }

    static void Pump(int milliseconds) {
        QEventLoop loop;
        QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
        loop.exec();
    }

    std::vector<std::string> messages;
    std::vector<unsigned int> sleeps;

private:
    std::string dir_;
};
