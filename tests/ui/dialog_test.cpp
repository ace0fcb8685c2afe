// The main dialog with the real widgets: what initialisation sets up, the
// keyboard, the list's order and scroll bar, and how the dialog ends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QScrollBar>
#include <QTest>
#include <string>
#include <utility>

#include "launcher/ui/launcher_template.h"
#include "launcher/ui/resource.h"
#include "platform/controls.h"
#include "platform/dialog_template.h"
#include "platform/posix_qt/dialog_window.h"
#include "support/code_page_scope.h"
#include "support/event_wait.h"
#include "support/launcher_harness.h"

namespace {

using test_support::Control;
using test_support::LauncherHarness;
using namespace std::chrono_literals;

// Without an address there is no connection attempt and so no connect event:
// the only way to a send (and its failure message) is the Refresh button.
constexpr char kOffline[] = "<xml><connect ip=\"\" port=\"7\"/><title>Desk Help</title></xml>";

void PressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

// The caption comes from the settings; one the active code page can hold reads back byte for
// byte; the list and the button keep fonts of their own; Return and Enter press nothing (no
// default button) wherever the focus is.
TEST(Dialog, InitialisationTakesTheSettingsAndSetsUpTheControls) {
    const std::pair<unsigned int, std::string> captions[] = {
        {65001, "Caf\xc3\xa9 \xec\x84\x9c\xec\x9a\xb8"},
        {949, "\xbc\xad\xbf\xef \xc1\xf6\xbf\xf8"},
        {1252, "Caf\xe9 d\xe9j\xe0"},
    };
    for (const auto& [codePage, caption] : captions) {
        CodePageScope scope(codePage);
        LauncherHarness f(kOffline);
        std::string fromSettings, readBack;
        HFONT listFont = nullptr, buttonFont = nullptr;
        LogFont listDescription, buttonDescription;
        CLauncherDlg dialog;
        const INT_PTR result = f.Run(dialog, [&, &caption = caption](CLauncherDlg& d) {
            fromSettings = d.GetWindowText();
            for (int id : {IDC_HOST_LIST, IDC_REFRESH}) {
                Control<QWidget>(d, id)->setFocus();
                PressKey(Control<QWidget>(d, id), Qt::Key_Return);
                PressKey(Control<QWidget>(d, id), Qt::Key_Enter);
            }
            test_support::RunEventLoopFor(50ms);
            d.SetWindowText(caption);
            readBack = d.GetWindowText();
            // Each handle stays the font of its own control after the other is asked for.
            buttonFont = CListBox(d.GetDlgItem(IDC_REFRESH)).GetFont();
            listFont = CListBox(d.GetDlgItem(IDC_HOST_LIST)).GetFont();
            GetFontDescription(listFont, &listDescription);
            GetFontDescription(buttonFont, &buttonDescription);
        });
        EXPECT_EQ(fromSettings, "Desk Help");
        EXPECT_EQ(result, LauncherHarness::kEndedByTest);
        EXPECT_TRUE(f.messageBoxes.empty()) << "Refresh was pressed";
        EXPECT_EQ(readBack, caption) << codePage;
        EXPECT_NE(listFont, buttonFont);
        EXPECT_NEAR(listDescription.lfHeight, 20, 2);
        EXPECT_LT(buttonDescription.lfHeight, 18) << "the dialog's own, smaller font";
    }
}

// Windows builds the dialog from the template table in memory. These are the
// bytes the resource compiler made of the dialog's DIALOGEX statement (ids,
// styles, sizes in dialog units, caption, 9-point Gulim), so Windows lays the
// dialog out as it did from the resource.
TEST(Dialog, WindowsTemplateHasTheResourceCompilersBytes) {
    const std::string kCompiled =
        "0100ffff0000000000000400c000c8900200000000008700b300000000006c00610075006e00630068006500"
        "7200000009000000000174adbcb9000000000000000000000301a150050005007b008a00e8030000ffff8300"
        "000000000000000000000000000001500600940079001900e9030000ffff8000520065006600720065007300"
        "680000000000";
    std::string bytes;
    for (unsigned char b : DialogTemplateBytes(LauncherDialogTemplate())) {
        const char* digits = "0123456789abcdef";
        bytes += digits[b >> 4];
        bytes += digits[b & 15];
    }
    EXPECT_EQ(bytes, kCompiled);
}

TEST(Dialog, EscapeAndTheCloseBoxEndTheDialogAndItsConnection) {
    for (bool escape : {true, false}) {
        LauncherHarness f(kOffline);
        CLauncherDlg dialog;
        platform::testing::CurrentHooks().dialogShown = [&](CDialog& d) {
            QTimer::singleShot(0, [&d, escape] {
                if (escape)
                    PressKey(Control<QWidget>(d, IDC_HOST_LIST), Qt::Key_Escape);
                else
                    platform::qt::FromHwnd(d.GetSafeHwnd())->close();
            });
        };
        EXPECT_EQ(dialog.DoModal(), IDCANCEL) << escape;
        EXPECT_EQ(dialog.Socket().m_hSocket, INVALID_SOCKET);
    }
}

TEST(Dialog, EntriesKeepListBoxOrderAndOverflowGivesAScrollBar) {
    LauncherHarness f(kOffline);
    CLauncherDlg dialog;
    std::vector<std::string> shown;
    bool fewScroll = true, manyScroll = false;
    f.Run(dialog, [&](CLauncherDlg& d) {
        CListBox list(d.GetDlgItem(IDC_HOST_LIST));
        auto* widget = Control<QListWidget>(d, IDC_HOST_LIST);
        for (const char* name : {"zeta", "Alpha", "beta", "", "alpha", "Beta2"})
            list.AddString(name);
        for (int i = 0; i < list.GetCount(); ++i)
            list.GetText(i, shown.emplace_back());
        // A single click selects and nothing more: no viewer, no pause.
        QTest::mouseClick(widget->viewport(), Qt::LeftButton, {},
                          widget->visualItemRect(widget->item(1)).center());
        EXPECT_EQ(list.GetCurSel(), 1);
        test_support::RunEventLoopFor(20ms);
        fewScroll = widget->verticalScrollBar()->isVisible();
        for (int i = 0; i < 100; ++i)
            list.AddString("host-" + std::to_string(i));
        test_support::RunEventLoopFor(20ms);
        manyScroll = widget->verticalScrollBar()->isVisible();
    });
    // Case does not order: "Alpha" and "alpha" stay in the order they came.
    EXPECT_EQ(shown, (std::vector<std::string>{"", "Alpha", "alpha", "beta", "Beta2", "zeta"}));
    EXPECT_TRUE(f.sleeps.empty());
    EXPECT_FALSE(fewScroll);
    EXPECT_TRUE(manyScroll);
}

}  // namespace
