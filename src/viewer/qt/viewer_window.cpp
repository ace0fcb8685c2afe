// The viewer's window and its dialogs (see viewer_window.h).
#include "viewer/qt/viewer_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProxyStyle>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "viewer/key_chords.h"
#include "viewer/qt/credentials_dialog.h"
#include "viewer/qt/timing.h"
#include "viewer/screen_choice.h"
#include "viewer/screenshot.h"

namespace talviewer {

bool DialogsOff() {
    const char* value = std::getenv("TALVIEWER_NO_DIALOGS");
    return value && std::string(value) == "1";
}

int Report(QWidget* parent, Failure failure, const QString& name, const QString& detail) {
    const QString text =
        QString::fromStdString(FailureText(failure, name.toStdString(), detail.toStdString()));
    if (DialogsOff()) {
        std::fprintf(stderr, "talviewer: %s\n", text.toLocal8Bit().constData());
    } else {
        QMessageBox::critical(parent,
                              name.isEmpty() ? QStringLiteral("talviewer")
                                             : name + QStringLiteral(" \u2014 talviewer"),
                              text);
    }
    std::fflush(stderr);
    return ExitStatus(failure);
}

namespace {

// The menu bar's style without its Alt navigation (a tap of Alt selecting the bar, which would
// then take the keys meant for the remote desktop, as some styles do).
class NoAltNavigation : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override {
        if (hint == SH_MenuBar_AltKeyNavigation) {
            return 0;
        }
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

}  // namespace

ViewerWindow::ViewerWindow(SessionParams params) : name_(params.display_name) {
    const viewer::Quality initial_quality = params.quality;
    session_ = std::make_unique<Session>(std::move(params), static_cast<SessionObserver&>(*this));
    view_ = new DesktopView(
        &session_->client(),
        {.key =
             [this](uint32_t keysym, bool down) {
                 if (!view_only_) {
                     session_->SendKey(keysym, down);
                 }
             },
         .pointer =
             [this](int x, int y, uint8_t buttons) {
                 if (!view_only_) {
                     session_->SendPointer(x, y, buttons);
                 }
             },
         .menu = [this] { popup_->popup(view_->mapToGlobal(view_->rect().center())); }});
    scroll_ = new QScrollArea;
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setAlignment(Qt::AlignCenter);
    scroll_->setWidget(view_);
    scroll_->setWidgetResizable(true);
    scroll_->setFocusPolicy(Qt::NoFocus);
    setCentralWidget(scroll_);
    setWindowTitle(name_);
    resize(640, 400);

    // No mnemonics: Alt+letter belongs to the remote desktop. The menus open from a click on
    // the menu bar or from F8 (DesktopView), all three in one popup. The shortcuts use
    // Ctrl+Alt+Shift, which a remote desktop seldom needs.
    auto* style = new NoAltNavigation;
    style->setParent(menuBar());
    menuBar()->setStyle(style);
    QMenu* view = menuBar()->addMenu(QStringLiteral("View"));
    auto* group = new QActionGroup(this);
    fit_action_ = view->addAction(QStringLiteral("Scale to fit"));
    fit_action_->setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+Shift+F")));
    actual_action_ = view->addAction(QStringLiteral("Actual size (1:1)"));
    actual_action_->setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+Shift+A")));
    for (QAction* action : {fit_action_, actual_action_}) {
        action->setCheckable(true);
        group->addAction(action);
    }
    fit_action_->setChecked(true);
    connect(fit_action_, &QAction::triggered, this, [this] { SetFit(true); });
    connect(actual_action_, &QAction::triggered, this, [this] { SetFit(false); });
    QMenu* quality = view->addMenu(QStringLiteral("Quality"));
    auto* qualities = new QActionGroup(this);
    for (const viewer::QualityName& q : viewer::kQualityNames) {
        QAction* action = quality->addAction(QString::fromLatin1(q.menu));
        action->setCheckable(true);
        action->setChecked(q.quality == initial_quality);
        qualities->addAction(action);
        connect(action, &QAction::triggered, this,
                [this, level = q.quality] { session_->SetQuality(level); });
    }
    view->addSeparator();
    full_screen_action_ = view->addAction(QStringLiteral("Full screen"));
    full_screen_action_->setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+Shift+Return")));
    full_screen_action_->setCheckable(true);
    connect(full_screen_action_, &QAction::toggled, this, [this](bool on) { SetFullScreen(on); });
    view_only_action_ = view->addAction(QStringLiteral("View only"));
    view_only_action_->setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+Shift+V")));
    view_only_action_->setCheckable(true);
    connect(view_only_action_, &QAction::toggled, this, [this](bool on) { SetViewOnly(on); });
    // Servers that can change their size (Xvnc) follow the window when asked to; the desktop of
    // a person at the machine is theirs, so this is off until the operator turns it on.
    resize_remote_action_ = view->addAction(QStringLiteral("Resize remote desktop to window"));
    resize_remote_action_->setCheckable(true);
    resize_remote_action_->setEnabled(false);
    connect(resize_remote_action_, &QAction::toggled, this, [this] { FitRemoteDesktop(); });
    resize_timer_ = new QTimer(this);
    resize_timer_->setSingleShot(true);
    resize_timer_->setInterval(300);  // one request when the operator stops dragging
    connect(resize_timer_, &QTimer::timeout, this, [this] { FitRemoteDesktop(); });
    screens_menu_ = view->addMenu(QStringLiteral("Screen"));
    screens_menu_->setEnabled(false);
    QMenu* keys = menuBar()->addMenu(QStringLiteral("Send keys"));
    for (const KeyChord& chord : kKeyChords) {
        connect(keys->addAction(QString::fromLatin1(chord.label)), &QAction::triggered, this,
                [this, &chord] {
                    if (!view_only_) {
                        SendChord(chord, [this](uint32_t keysym, bool down) {
                            session_->SendKey(keysym, down);
                        });
                    }
                });
    }
    QMenu* session = menuBar()->addMenu(QStringLiteral("Session"));
    QAction* screenshot = session->addAction(QStringLiteral("Save screenshot..."));
    screenshot->setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+Shift+S")));
    connect(screenshot, &QAction::triggered, this, [this] { SaveScreenshot(); });
    QAction* disconnect = session->addAction(QStringLiteral("Disconnect"));
    connect(disconnect, &QAction::triggered, this, &QWidget::close);
    popup_ = new QMenu(this);
    for (QMenu* menu : {view, keys, session}) {
        popup_->addMenu(menu);
    }

    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
            [this] { LocalClipboardChanged(); });
}

ViewerWindow::~ViewerWindow() = default;

void ViewerWindow::Start() {
    show();
    view_->setFocus();
    session_->Start();
}

void ViewerWindow::OnStatus(const QString& text) {
    view_->SetStatus(text);
}

void ViewerWindow::OnConnected(bool encrypted) {
    encrypted_ = encrypted;
    ShowTitle();
    view_->SetStatus({});
    SizeToDesktop();
    view_->DesktopChanged();
}

void ViewerWindow::SizeToDesktop() {
    // As large as the desktop at 1:1, within most of the screen.
    const QSize natural = view_->NaturalSize();
    if (natural.isEmpty()) {
        return;
    }
    const QSize frame = size() - scroll_->viewport()->size();
    QSize wanted = natural + frame;
    if (const QScreen* screen = this->screen()) {
        wanted = wanted.boundedTo(screen->availableGeometry().size() * 9 / 10);
    }
    resize(wanted);
    if (!view_->fit()) {
        view_->resize(natural);
    }
}

void ViewerWindow::SetFit(bool fit) {
    scroll_->setWidgetResizable(fit);
    if (!fit) {
        view_->resize(view_->NaturalSize());
    }
    view_->SetFit(fit);
    fit_action_->setChecked(fit);
    actual_action_->setChecked(!fit);
}

void ViewerWindow::ShowTitle() {
    QString title = name_;
    if (!encrypted_) {
        title += QStringLiteral(" (not encrypted)");
    }
    if (view_only_) {
        title += QStringLiteral(" (view only)");
    }
    setWindowTitle(title);
}

// The menu bar goes with the frame; F8 still opens the menus.
void ViewerWindow::SetFullScreen(bool on) {
    menuBar()->setVisible(!on);
    if (on) {
        showFullScreen();
    } else {
        showNormal();
    }
    full_screen_action_->setChecked(on);
}

void ViewerWindow::SetViewOnly(bool on) {
    if (on) {
        view_->ReleaseAll();  // nothing stays held on the remote side
    }
    view_only_ = on;
    view_only_action_->setChecked(on);
    ShowTitle();
}

// Offered as "NAME DATE TIME.png" in the pictures folder; without dialogs (tests) saved there
// at once, its path on stderr.
void ViewerWindow::SaveScreenshot() {
    if (!session_->client().connected()) {
        return;
    }
    // Taken now, before the dialog lets the desktop move on.
    const std::vector<uint8_t> png = EncodePng(session_->client().framebuffer());
    const std::time_t now = std::time(nullptr);
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QString path = QDir(folder).filePath(
        QString::fromStdString(ScreenshotFileName(name_.toStdString(), *std::localtime(&now))));
    if (!DialogsOff()) {
        path = QFileDialog::getSaveFileName(this, QStringLiteral("Save screenshot"), path,
                                            QStringLiteral("PNG images (*.png)"));
        if (path.isEmpty()) {
            return;
        }
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(png.data()), static_cast<qint64>(png.size())) !=
            static_cast<qint64>(png.size()) ||
        !file.commit()) {
        const QString text = QStringLiteral("The screenshot could not be saved to %1: %2")
                                 .arg(QDir::toNativeSeparators(path), file.errorString());
        if (DialogsOff()) {
            std::fprintf(stderr, "talviewer: %s\n", text.toLocal8Bit().constData());
        } else {
            QMessageBox::warning(this, name_, text);
        }
        return;
    }
    if (DialogsOff()) {
        std::fprintf(stderr, "talviewer: screenshot saved to %s\n", path.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

void ViewerWindow::OnFramebufferUpdated(const std::vector<rfb::Rect>& rects) {
    timing::FrameDecoded();
    view_->Updated(rects);
}

void ViewerWindow::OnDesktopResized() {
    if (!view_->fit()) {
        view_->resize(view_->NaturalSize());
    }
    view_->DesktopChanged();
}

// The Screen menu: all of the desktop, or one of its screens, when the server describes several.
void ViewerWindow::OnScreensChanged() {
    const auto& screens = session_->client().screens();
    resize_remote_action_->setEnabled(viewer::CanResizeRemote(screens));
    screens_menu_->clear();
    screens_menu_->setEnabled(screens.size() > 1);
    // The operator's choice stays while the server still has that screen.
    const int chosen = viewer::KeptScreen(view_->screen(), screens.size());
    view_->SetScreen(chosen);
    if (screens.size() < 2) {
        return;
    }
    auto* group = new QActionGroup(screens_menu_);
    const auto add = [&](const QString& label, int index) {
        QAction* action = screens_menu_->addAction(label);
        action->setCheckable(true);
        action->setChecked(index == chosen);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, index] {
            view_->SetScreen(index);
            SizeToDesktop();
        });
    };
    add(QString::fromLatin1(viewer::kAllScreensLabel), viewer::kAllScreens);
    for (std::size_t i = 0; i < screens.size(); ++i) {
        add(QString::fromStdString(viewer::ScreenLabel(i, screens[i].rect)), static_cast<int>(i));
    }
}

void ViewerWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (resize_remote_action_ && resize_remote_action_->isChecked()) {
        resize_timer_->start();
    }
}

// Asks the server for a desktop the size of the window's viewport, in device pixels.
void ViewerWindow::FitRemoteDesktop() {
    if (!resize_remote_action_->isChecked()) {
        return;
    }
    const QSize size = scroll_->viewport()->size() * devicePixelRatioF();
    session_->RequestDesktopSize(size.width(), size.height());
}

void ViewerWindow::OnCursorChanged() {
    view_->CursorChanged();
}

void ViewerWindow::OnClipboard(const QString& text) {
    clipboard_from_remote_ = text;
    QGuiApplication::clipboard()->setText(text);
}

void ViewerWindow::LocalClipboardChanged() {
    if (!session_->client().connected()) {
        return;
    }
    const QString text = QGuiApplication::clipboard()->text();
    if (view_only_ || text.isEmpty() || text == clipboard_from_remote_) {
        return;
    }
    session_->SendClipboard(text);
}

void ViewerWindow::OnBell() {
    QApplication::beep();
}

void ViewerWindow::OnCredentialsNeeded(bool user_name) {
    // Out of the socket's signal: the dialog runs an event loop of its own.
    QTimer::singleShot(0, this, [this, user_name] { AskCredentials(user_name); });
}

void ViewerWindow::AskCredentials(bool user_name) {
    Credentials credentials;
    if (DialogsOff()) {
        // Tests and scripts: the user name (when asked for) and the password, a line each.
        std::string user;
        std::string password;
        if ((user_name && !std::getline(std::cin, user)) || !std::getline(std::cin, password)) {
            QCoreApplication::exit(1);
            return;
        }
        credentials = {QString::fromLocal8Bit(user), QString::fromLocal8Bit(password)};
    } else if (!talviewer::AskCredentials(this, name_, user_name, &credentials)) {
        QCoreApplication::exit(1);  // the operator chose not to go on
        return;
    }
    session_->SetCredentials(credentials.user, credentials.password);
}

void ViewerWindow::OnFailed(Failure failure, const QString& detail) {
    view_->ReleaseAll();
    QTimer::singleShot(0, this, [this, failure, detail] {
        QCoreApplication::exit(Report(this, failure, name_, detail));
    });
}

}  // namespace talviewer
