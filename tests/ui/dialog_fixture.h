// A launcher installation in a temporary directory, and a way to run the
// real dialog modally with a test body inside its modal loop.
#pragma once

#include <QApplication>
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
    DialogFixture() {
        char pattern[] = "/tmp/launcher-ui-XXXXXX";
        dir_ = mkdtemp(pattern);
        auto& hooks = platform::testing::CurrentHooks();
        hooks.moduleFileName = [this] { return dir_ + "/launcher"; };
        hooks.messageBox = [this](const std::string& text, unsigned int codePage) {
            messages.push_back(text);
            codePages.push_back(codePage);
        };
        hooks.sleep = [this](unsigned int ms) { sleeps.push_back(ms); };
    }
    ~DialogFixture() {
        platform::testing::ResetHooks();
        std::filesystem::remove_all(dir_);
    }

    void WriteSettings(const std::string& text) {
        std::ofstream(dir_ + "/set.xml", std::ios::binary) << text;
    }

    // Runs `body` once the dialog is up, inside its modal loop; DoModal's
    // result is returned. The body ends the dialog, or the test does it.
    INT_PTR RunDialog(CLauncherDlg& dialog, const std::function<void(CLauncherDlg&)>& body) {
        platform::testing::CurrentHooks().dialogShown = [&](CDialog&) {
            QTimer::singleShot(0, [&] {
                body(dialog);
                dialog.EndDialog(IDABORT_FOR_TEST);
            });
        };
        return dialog.DoModal();
    }

    // Lets the event loop run for a while.
    static void Pump(int milliseconds) {
        QEventLoop loop;
        QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
        loop.exec();
    }

    static constexpr int IDABORT_FOR_TEST = 3;
    std::vector<std::string> messages;
    std::vector<unsigned int> codePages;
    std::vector<unsigned int> sleeps;

private:
    std::string dir_;
};
