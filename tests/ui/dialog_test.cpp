// The main dialog with the real widgets: what initialisation sets up, the
// keyboard, the list's order and scroll bar, and how the dialog ends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "platform/controls.h"
#include "platform/posix_qt/dialog_window.h"
#include "ui/dialog_fixture.h"
#include "ui/resource.h"

namespace {

// Without an address there is no connection attempt and so no connect event:
// the only way to a send (and its failure message) is the Refresh button.
constexpr char kOffline[] = "<xml><connect ip=\"\" port=\"7\"/><title>Desk Help</title></xml>";

QWidget* Control(CDialog& d, int id) {
    return platform::qt::FromHwnd(d.GetDlgItem(id));
}

void PressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

// The dialog without the launcher's keyboard rule: what Return would do.
class PlainDialog : public CLauncherDlg {
public:
    BOOL PreTranslateMessage(const WindowMessage& msg) override {
        return CDialog::PreTranslateMessage(msg);
    }
};

TEST(Dialog, InitialisationTakesTheSettingsAndSetsUpTheControls) {
    DialogFixture f(kOffline);
    CLauncherDlg dialog;
    std::string caption;
    int cellHeight = 0;
    bool refreshIsDefault = true;
    f.Run(dialog, [&](CLauncherDlg& d) {
        caption = d.GetWindowText();
        cellHeight = QFontMetrics(Control(d, IDC_HOST_LIST)->font()).height();
        auto* refresh = static_cast<QPushButton*>(Control(d, IDC_REFRESH));
        refreshIsDefault = refresh->isDefault() || refresh->autoDefault();
    });
    EXPECT_EQ(caption, "Desk Help");
    EXPECT_EQ(dialog.ServerPort(), "7");
    EXPECT_NEAR(cellHeight, 20, 2);
    EXPECT_FALSE(refreshIsDefault);
}

TEST(Dialog, ReturnDoesNothingAnywhereThoughWithoutTheRuleItWouldPressTheButton) {
    DialogFixture f(kOffline);
    CLauncherDlg dialog;
    const INT_PTR result = f.Run(dialog, [&](CLauncherDlg& d) {
        for (int id : {IDC_HOST_LIST, IDC_REFRESH}) {
            Control(d, id)->setFocus();
            PressKey(Control(d, id), Qt::Key_Return);
            PressKey(Control(d, id), Qt::Key_Enter);
        }
        DialogFixture::Pump(50);
    });
    EXPECT_EQ(result, DialogFixture::kEndedByTest);
    EXPECT_TRUE(f.messages.empty()) << "Refresh was pressed";

    PlainDialog plain;
    f.Run(plain, [&](CLauncherDlg& d) {
        Control(d, IDC_REFRESH)->setFocus();
        PressKey(Control(d, IDC_REFRESH), Qt::Key_Return);
    });
    EXPECT_EQ(f.messages, std::vector<std::string>{"Server Data Send Fail!"});
}

TEST(Dialog, EscapeAndTheCloseBoxEndTheDialogAndItsConnection) {
    for (bool escape : {true, false}) {
        DialogFixture f(kOffline);
        CLauncherDlg dialog;
        platform::testing::CurrentHooks().dialogShown = [&](CDialog& d) {
            QTimer::singleShot(0, [&d, escape] {
                if (escape)
                    PressKey(Control(d, IDC_HOST_LIST), Qt::Key_Escape);
                else
                    platform::qt::FromHwnd(d.GetSafeHwnd())->close();
            });
        };
        EXPECT_EQ(dialog.DoModal(), IDCANCEL) << escape;
        EXPECT_EQ(dialog.Socket().m_hSocket, INVALID_SOCKET);
    }
}

TEST(Dialog, EntriesKeepListBoxOrderAndOverflowGivesAScrollBar) {
    DialogFixture f(kOffline);
    CLauncherDlg dialog;
    std::vector<std::string> shown;
    bool fewScroll = true, manyScroll = false;
    f.Run(dialog, [&](CLauncherDlg& d) {
        CListBox list(d.GetDlgItem(IDC_HOST_LIST));
        auto* widget = static_cast<QListWidget*>(Control(d, IDC_HOST_LIST));
        for (const char* name : {"zeta", "Alpha", "beta", "", "alpha", "Beta2"})
            list.AddString(name);
        for (int i = 0; i < list.GetCount(); ++i)
            list.GetText(i, shown.emplace_back());
        // A single click selects and nothing more: no viewer, no pause.
        QTest::mouseClick(widget->viewport(), Qt::LeftButton, {},
                          widget->visualItemRect(widget->item(1)).center());
        EXPECT_EQ(list.GetCurSel(), 1);
        DialogFixture::Pump(20);
        fewScroll = widget->verticalScrollBar()->isVisible();
        for (int i = 0; i < 100; ++i)
            list.AddString("host-" + std::to_string(i));
        DialogFixture::Pump(20);
        manyScroll = widget->verticalScrollBar()->isVisible();
    });
    // Case does not order: "Alpha" and "alpha" stay in the order they came.
    EXPECT_EQ(shown, (std::vector<std::string>{"", "Alpha", "alpha", "beta", "Beta2", "zeta"}));
    EXPECT_TRUE(f.sleeps.empty());
    EXPECT_FALSE(fewScroll);
    EXPECT_TRUE(manyScroll);
}

}  // namespace
