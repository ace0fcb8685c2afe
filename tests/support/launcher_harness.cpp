#include "support/launcher_harness.h"

#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "platform/controls.h"
#include "platform/testing.h"
#include "ui/launcher_dlg.h"
#include "ui/resource.h"

namespace test_support {

LauncherHarness::LauncherHarness(const std::string& ip, const std::string& port) {
    m_dir.Write("set.xml", "<xml>\n  <connect ip=\"" + ip + "\" port=\"" + port +
                               "\"/>\n  <title>Launcher under test</title>\n</xml>\n");
    auto& hooks = platform::testing::CurrentHooks();
    hooks.moduleFileName = [this] { return m_dir.File("launcher"); };
    hooks.messageBox = [this](const std::string& text, unsigned) {
        m_messageBoxes.push_back(text);
        if (whileMessageBoxOpen)
            whileMessageBoxOpen();
    };
    hooks.sleep = [this](unsigned ms) { m_sleeps.push_back(ms); };
}

LauncherHarness::~LauncherHarness() {
    platform::testing::ResetHooks();
}

void LauncherHarness::Run(const std::function<void(CLauncherDlg&)>& body) {
    platform::testing::CurrentHooks().dialogShown = [&body](CDialog& shown) {
        auto& dialog = static_cast<CLauncherDlg&>(shown);
        body(dialog);
        dialog.EndDialog(IDCANCEL);
    };
    CLauncherDlg dialog;
    dialog.DoModal();
    platform::testing::CurrentHooks().dialogShown = nullptr;
}

QListWidget* HostList(CLauncherDlg& dialog) {
    return qobject_cast<QListWidget*>(reinterpret_cast<QWidget*>(dialog.GetDlgItem(IDC_HOST_LIST)));
}

QPushButton* RefreshButton(CLauncherDlg& dialog) {
    return qobject_cast<QPushButton*>(reinterpret_cast<QWidget*>(dialog.GetDlgItem(IDC_REFRESH)));
}

std::vector<std::string> ListEntries(CLauncherDlg& dialog) {
    CListBox list(dialog.GetDlgItem(IDC_HOST_LIST));
    std::vector<std::string> entries;
    for (int i = 0; i < list.GetCount(); ++i) {
        std::string text;
        list.GetText(i, text);
        entries.push_back(text);
    }
    return entries;
}

void DoubleClickHostList(CLauncherDlg& dialog, int row) {
    QListWidget* list = HostList(dialog);
    QWidget* viewport = list->viewport();
    QPoint at;
    if (row >= 0) {
        at = list->visualItemRect(list->item(row)).center();
    } else {
        at = QPoint(viewport->width() / 2, viewport->height() - 3);
    }
    // A double-click is press, release, press (the double-click) and release.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
}

}  // namespace test_support
