// The viewer's window: the desktop view in a scroll area, the View (with Quality), Send keys and
// Session menus
// (on the menu bar, and together in a popup that F8 opens), the title, and what the operator is
// told when the session cannot start or ends. It is the session's observer and sends the view's
// input and the local clipboard to the session.
#pragma once

#include <QMainWindow>
#include <QScrollArea>
#include <QString>
#include <memory>

#include "viewer/qt/desktop_view.h"
#include "viewer/qt/session.h"
#include "viewer/session_messages.h"

class QAction;
class QMenu;

namespace talviewer {

// With TALVIEWER_NO_DIALOGS=1 (tests), a message goes to stderr instead of a message box and a
// password is read from one line of stdin instead of a dialog.
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
    void OnClipboard(const QString& text) override;
    void OnBell() override;
    void OnCredentialsNeeded() override;
    void OnFailed(Failure failure, const QString& detail) override;

    void AskPassword();
    void SetFit(bool fit);
    void SizeToDesktop();
    void LocalClipboardChanged();

    QString name_;
    std::unique_ptr<Session> session_;
    QScrollArea* scroll_ = nullptr;
    DesktopView* view_ = nullptr;
    QAction* fit_action_ = nullptr;
    QAction* actual_action_ = nullptr;
    QMenu* popup_ = nullptr;         // F8: the menu bar's menus in one
    QString clipboard_from_remote_;  // not sent back when it comes round
};

}  // namespace talviewer
