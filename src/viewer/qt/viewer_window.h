// The viewer's window: the desktop view in a scroll area, the View (with Quality), Send keys and
// Session menus
// (on the menu bar, and together in a popup that F8 opens), the title, and what the operator is
// told when the session cannot start or ends. It is the session's observer and sends the view's
// input and the local clipboard to the session.
#pragma once

#include <QMainWindow>
#include <QScrollArea>
#include <QString>
#include <QTimer>
#include <memory>

#include "viewer/qt/desktop_view.h"
#include "viewer/qt/session.h"
#include "viewer/session_messages.h"

class QAction;
class QMenu;

namespace talviewer {

// With TALVIEWER_NO_DIALOGS=1 (tests), a message goes to stderr instead of a message box and a
// password (after a user name, when the server asks for one) is read from stdin, a line each.
bool DialogsOff();

// Tells the operator why the viewer stops; returns the exit status to end with.
int Report(QWidget* parent, Failure failure, const QString& name, const QString& detail);

class ViewerWindow : public QMainWindow, private SessionObserver {
public:
    ViewerWindow(SessionParams params);
    ~ViewerWindow() override;
    void Start();

private:
    void OnStatus(const QString& text) override;
    void OnConnected(bool encrypted) override;
    void OnFramebufferUpdated(const std::vector<rfb::Rect>& rects) override;
    void OnDesktopResized() override;
    void OnCursorChanged() override;
    void OnScreensChanged() override;
    void OnClipboard(const QString& text) override;
    void OnBell() override;
    void OnCredentialsNeeded(bool user_name) override;
    void OnFailed(Failure failure, const QString& detail) override;

    void AskCredentials(bool user_name);
    void SetFit(bool fit);
    void SizeToDesktop();
    void LocalClipboardChanged();
    void SetFullScreen(bool on);
    void SetViewOnly(bool on);
    void SaveScreenshot();
    void ShowTitle();
    void FitRemoteDesktop();
    void resizeEvent(QResizeEvent* event) override;

    QString name_;
    std::unique_ptr<Session> session_;
    QScrollArea* scroll_ = nullptr;
    DesktopView* view_ = nullptr;
    QAction* fit_action_ = nullptr;
    QAction* actual_action_ = nullptr;
    QAction* full_screen_action_ = nullptr;
    QAction* view_only_action_ = nullptr;
    bool view_only_ = false;  // no keys, pointer or clipboard go to the remote side
    QAction* resize_remote_action_ = nullptr;
    QMenu* screens_menu_ = nullptr;  // one item per remote screen, when there are several
    QTimer* resize_timer_ = nullptr;
    bool encrypted_ = true;
    QMenu* popup_ = nullptr;         // F8: the menu bar's menus in one
    QString clipboard_from_remote_;  // not sent back when it comes round
};

}  // namespace talviewer
