// The main dialog with the real widgets: caption, keyboard, list order,
// scroll bar, the list font, and what closing it does to the connection.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>

#include "platform/controls.h"
#include "platform/posix_qt/dialog_window.h"
#include "platform/posix_qt/list_box.h"
#include "ui/dialog_fixture.h"
#include "ui/resource.h"

namespace {

constexpr char kSettings[] = R"(<xml><connect ip="127.0.0.1" port="1"/><title>Desk Help</title></xml>)";
// Without an address there is no connection attempt and so no connect event:
// the only way to a send (and its failure message) is the Refresh button.
constexpr char kOffline[] = "<xml><title>Desk Help</title></xml>";

void PressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
}

QWidget* Control(CDialog& d, int id) { return platform::qt::FromHwnd(d.GetDlgItem(id)); }

// A dialog without the launcher's keyboard rule, to show what Return would
// otherwise do.
class PlainDialog : public CLauncherDlg {
public:
    BOOL PreTranslateMessage(const WindowMessage& msg) override { return CDialog::PreTranslateMessage(msg); }
};

TEST(Dialog, CaptionComesFromTheTitleSetting) {
    DialogFixture f;
    f.WriteSettings(kSettings);
    CLauncherDlg dialog;
    std::string caption;
    f.RunDialog(dialog, [&](CLauncherDlg& d) { caption = d.GetWindowText(); });
    EXPECT_EQ(caption, "Desk Help");
    EXPECT_EQ(dialog.ServerIp(), "127.0.0.1");
    EXPECT_EQ(dialog.ServerPort(), "1");
}

TEST(Dialog, ReturnIsSwallowedEverywhere) {
    DialogFixture f;
    f.WriteSettings(kOffline);
    CLauncherDlg dialog;
    bool stillOpen = false;
    const INT_PTR result = f.RunDialog(dialog, [&](CLauncherDlg& d) {
        f.messages.clear();
        for (int id : {IDC_HOST_LIST, IDC_REFRESH}) {
            QWidget* w = Control(d, id);
            w->setFocus();
            PressKey(w, Qt::Key_Return);
            PressKey(w, Qt::Key_Enter);
        }
        DialogFixture::Pump(50);
        stillOpen = platform::qt::FromHwnd(d.GetSafeHwnd())->isVisible();
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(result, DialogFixture::IDABORT_FOR_TEST) << "Return must not end the dialog";
    // Refresh was not pressed: it would have tried to send and failed.
    EXPECT_TRUE(f.messages.empty());
}

TEST(Dialog, WithoutTheKeyboardRuleReturnWouldPressTheFocusedButton) {
    DialogFixture f;
    f.WriteSettings(kOffline);
    PlainDialog dialog;
    f.RunDialog(dialog, [&](CLauncherDlg& d) {
        f.messages.clear();
        QWidget* refresh = Control(d, IDC_REFRESH);
        refresh->setFocus();
        PressKey(refresh, Qt::Key_Return);
    });
    // Refresh was pressed: its send on the unconnected socket fails.
    EXPECT_EQ(f.messages, std::vector<std::string>{"Server Data Send Fail!"});
}

TEST(Dialog, EscapeEndsTheDialogAndClosesTheConnection) {
    DialogFixture f;
    f.WriteSettings(kSettings);
    CLauncherDlg dialog;
    platform::testing::CurrentHooks().dialogShown = [&](CDialog& d) {
        QTimer::singleShot(0, [&] { PressKey(Control(d, IDC_HOST_LIST), Qt::Key_Escape); });
    };
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.Socket().m_hSocket, INVALID_SOCKET);
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
}

TEST(Dialog, TheCloseBoxEndsTheDialogLikeEscape) {
    DialogFixture f;
    f.WriteSettings(kSettings);
    CLauncherDlg dialog;
    platform::testing::CurrentHooks().dialogShown = [&](CDialog& d) {
        QTimer::singleShot(0, [&] { platform::qt::FromHwnd(d.GetSafeHwnd())->close(); });
    };
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
}

TEST(Dialog, EntriesAppearInListBoxOrder) {
    DialogFixture f;
    f.WriteSettings(kSettings);
    CLauncherDlg dialog;
    std::vector<std::string> shown;
    f.RunDialog(dialog, [&](CLauncherDlg& d) {
        CListBox list(d.GetDlgItem(IDC_HOST_LIST));
        for (const char* name : {"zeta", "Alpha", "beta", "", "alpha", "Beta2"}) list.AddString(name);
        for (int i = 0; i < list.GetCount(); ++i) {
            std::string text;
            list.GetText(i, text);
            shown.push_back(text);
        }
    });
    // Case does not order: "Alpha" and "alpha" stay in the order they came.
    const std::vector<std::string> expected{"", "Alpha", "alpha", "beta", "Beta2", "zeta"};
    EXPECT_EQ(shown, expected);
}

TEST(Dialog, ManyEntriesGiveAScrollBarAndAFewDoNot) {
    DialogFixture f;
    f.WriteSettings(kSettings);
    CLauncherDlg dialog;
    bool fewScroll = true, manyScroll = false;
    f.RunDialog(dialog, [&](CLauncherDlg& d) {
        CListBox list(d.GetDlgItem(IDC_HOST_LIST));
        auto* widget = static_cast<QListWidget*>(Control(d, IDC_HOST_LIST));
        list.AddString("one");
        DialogFixture::Pump(20);
        fewScroll = widget->verticalScrollBar()->isVisible();
        for (int i = 0; i < 100; ++i) list.AddString("host-" + std::to_string(i));
        DialogFixture::Pump(20);
        manyScroll = widget->verticalScrollBar()->isVisible();
    });
    EXPECT_FALSE(fewScroll);
    EXPECT_TRUE(manyScroll);
}

TEST(Dialog, HostListGetsTheLargerFontAndRefreshIsNoDefaultButton) {
    DialogFixture f;
    f.WriteSettings(kSettings);
    CLauncherDlg dialog;
    int cellHeight = 0;
    bool isDefault = true, autoDefault = true;
    f.RunDialog(dialog, [&](CLauncherDlg& d) {
        cellHeight = QFontMetrics(Control(d, IDC_HOST_LIST)->font()).height();
        auto* refresh = static_cast<QPushButton*>(Control(d, IDC_REFRESH));
        isDefault = refresh->isDefault();
        autoDefault = refresh->autoDefault();
    });
    EXPECT_NEAR(cellHeight, 20, 2);
    EXPECT_FALSE(isDefault);
    EXPECT_FALSE(autoDefault);
}

TEST(Dialog, SingleClickSelectsWithoutActing) {
    DialogFixture f;
    f.WriteSettings(kSettings);
    CLauncherDlg dialog;
    f.RunDialog(dialog, [&](CLauncherDlg& d) {
        CListBox list(d.GetDlgItem(IDC_HOST_LIST));
        list.AddString("Alpha");
        auto* widget = static_cast<QListWidget*>(Control(d, IDC_HOST_LIST));
        const QPoint at = widget->visualItemRect(widget->item(0)).center();
        QMouseEvent press(QEvent::MouseButtonPress, at, widget->viewport()->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, widget->viewport()->mapToGlobal(at),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(widget->viewport(), &press);
        QApplication::sendEvent(widget->viewport(), &release);
        EXPECT_EQ(list.GetCurSel(), 0);
    });
    EXPECT_TRUE(f.sleeps.empty()) << "no viewer start, so no pause";
}

}  // namespace
