// Runs the real CLauncherDlg in-process against a test server: set.xml in a
// temporary directory that stands for the executable's directory, message
// boxes and the pause after a viewer start recorded instead of performed,
// and the test's body run while the modal dialog is up.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "support/event_wait.h"

class CLauncherDlg;
class QListWidget;
class QPushButton;

namespace test_support {

class LauncherHarness {
public:
    // set.xml names `ip` and `port` exactly as given.
    LauncherHarness(const std::string& ip, const std::string& port);
    ~LauncherHarness();
    LauncherHarness(const LauncherHarness&) = delete;
    LauncherHarness& operator=(const LauncherHarness&) = delete;

    // The directory the launcher takes for its own.
    const TempDir& Dir() const { return m_dir; }

    // Runs the dialog modally; `body` runs once it is shown, then the dialog
    // is closed as by Escape.
    void Run(const std::function<void(CLauncherDlg&)>& body);

    const std::vector<std::string>& MessageBoxes() const { return m_messageBoxes; }
    const std::vector<unsigned>& Sleeps() const { return m_sleeps; }
    // Runs inside each message box, as its nested loop would.
    std::function<void()> whileMessageBoxOpen;

private:
    TempDir m_dir;
    std::vector<std::string> m_messageBoxes;
    std::vector<unsigned> m_sleeps;
};

// The dialog's controls as Qt widgets (a window handle of the Qt backend is
// the address of its widget).
QListWidget* HostList(CLauncherDlg& dialog);
QPushButton* RefreshButton(CLauncherDlg& dialog);
// The host list's entries as the launcher holds them (bytes), in list order.
std::vector<std::string> ListEntries(CLauncherDlg& dialog);
// Double-clicks row `row` of the host list with real mouse events, or the
// list's empty area below the rows when `row` is -1.
void DoubleClickHostList(CLauncherDlg& dialog, int row);

}  // namespace test_support
