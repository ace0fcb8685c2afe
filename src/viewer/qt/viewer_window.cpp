// The viewer's window and its dialogs (see viewer_window.h).
#include "viewer/qt/viewer_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "viewer/key_chords.h"
#include "viewer/qt/timing.h"

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
        {.key = [this](uint32_t keysym, bool down) { session_->SendKey(keysym, down); },
         .pointer = [this](int x, int y, uint8_t buttons) { session_->SendPointer(x, y, buttons); },
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
    QMenu* keys = menuBar()->addMenu(QStringLiteral("Send keys"));
    for (const KeyChord& chord : kKeyChords) {
        connect(keys->addAction(QString::fromLatin1(chord.label)), &QAction::triggered, this,
                [this, &chord] {
                    SendChord(chord, [this](uint32_t keysym, bool down) {
                        session_->SendKey(keysym, down);
                    });
                });
    }
    QMenu* session = menuBar()->addMenu(QStringLiteral("Session"));
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
    setWindowTitle(encrypted ? name_ : name_ + QStringLiteral(" (not encrypted)"));
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
    if (text.isEmpty() || text == clipboard_from_remote_) {
        return;
    }
    session_->SendClipboard(text);
}

void ViewerWindow::OnBell() {
    QApplication::beep();
}

void ViewerWindow::OnCredentialsNeeded() {
    // Out of the socket's signal: the dialog runs an event loop of its own.
    QTimer::singleShot(0, this, [this] { AskPassword(); });
}

void ViewerWindow::AskPassword() {
    QString password;
    if (DialogsOff()) {
        std::string line;
        if (!std::getline(std::cin, line)) {
            QCoreApplication::exit(1);
            return;
        }
        password = QString::fromLocal8Bit(line);
    } else {
        bool ok = false;
        password = QInputDialog::getText(this, name_ + QStringLiteral(" \u2014 password"),
                                         QStringLiteral("Password for %1:").arg(name_),
                                         QLineEdit::Password, {}, &ok);
        if (!ok) {
            QCoreApplication::exit(1);  // the operator chose not to go on
            return;
        }
    }
    session_->SetPassword(password);
}

void ViewerWindow::OnFailed(Failure failure, const QString& detail) {
    view_->ReleaseAll();
    QTimer::singleShot(0, this, [this, failure, detail] {
        QCoreApplication::exit(Report(this, failure, name_, detail));
    });
}

}  // namespace talviewer
