#include "platform/posix_qt/dialog_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPushButton>
#include <set>

#include "platform/posix_qt/list_box.h"
#include "platform/posix_qt/text.h"

namespace platform::qt {

namespace {

std::set<QWidget*>& LiveWidgets() {
    static std::set<QWidget*> widgets;
    return widgets;
}

// Windows' virtual-key code of a Qt key, for PreTranslateMessage.
WPARAM VirtualKey(const QKeyEvent& e) {
    const int key = e.key();
    switch (key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return VK_RETURN;
        case Qt::Key_Escape:
            return VK_ESCAPE;
        case Qt::Key_Tab:
            return 0x09;
        case Qt::Key_Backspace:
            return 0x08;
        case Qt::Key_Space:
            return 0x20;
        case Qt::Key_Up:
            return 0x26;
        case Qt::Key_Down:
            return 0x28;
        case Qt::Key_Left:
            return 0x25;
        case Qt::Key_Right:
            return 0x27;
        default:
            break;
    }
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return static_cast<WPARAM>(key);
    return 0;
}

}  // namespace

QWidget* FromHwnd(HWND h) {
    QWidget* w = reinterpret_cast<QWidget*>(h);
    return LiveWidgets().count(w) ? w : nullptr;
}

QRect DialogUnitsToPixels(const QFont& font, int x, int y, int cx, int cy) {
    // Windows' dialog base units: the average width of the Latin letters and
    // the character height of the dialog font; 4 units across and 8 down
    // per base unit.
    const QFontMetrics fm(font);
    const int avgWidth = (fm.horizontalAdvance(QStringLiteral(
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                              26 +
                          1) /
                         2;
    const int height = fm.height();
    auto mx = [&](int v) { return (v * avgWidth + 2) / 4; };
    auto my = [&](int v) { return (v * height + 4) / 8; };
    return QRect(mx(x), my(y), mx(cx), my(cy));
}

QFont TemplateFont(const DialogTemplate& t) {
    QFont font;
    QStringList families{QString::fromUtf8(t.faceName), QStringLiteral("Gulim")};
    const QStringList installed = QFontDatabase::families();
    for (const char* fallback : {"NanumGothic", "NanumBarunGothic", "Noto Sans CJK KR", "UnDotum"})
        if (installed.contains(QString::fromLatin1(fallback)))
            families << QString::fromLatin1(fallback);
    font.setFamilies(families);
    font.setPointSize(t.pointSize);
    return font;
}

DialogWindow::DialogWindow(CDialog& owner, const DialogTemplate& t) : m_owner(owner) {
    LiveWidgets().insert(this);
    Build(t);
    qApp->installEventFilter(this);
}

DialogWindow::~DialogWindow() {
    qApp->removeEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>())
        LiveWidgets().erase(child);
    LiveWidgets().erase(this);
}

void DialogWindow::Build(const DialogTemplate& t) {
    m_dialogFont = TemplateFont(t);
    setFont(m_dialogFont);
    // A fixed frame with a system menu and no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(t.caption));
    const QRect frame = DialogUnitsToPixels(font(), 0, 0, t.cx, t.cy);
    setFixedSize(frame.size());
    setModal(true);

    QWidget* firstTabStop = nullptr;
    for (const DialogItemTemplate& item : t.items) {
        QWidget* control = nullptr;
        if (item.kind == ControlKind::ListBox) {
            auto* list = new ListBoxWidget(this, item);
            list->onDoubleClick = [this, list, id = item.id] { SendCommand(id, LBN_DBLCLK, list); };
            QObject::connect(list, &QListWidget::currentRowChanged, this,
                             [this, list, id = item.id] {
                                 if (list->Notifying())
                                     SendCommand(id, LBN_SELCHANGE, list);
                             });
            control = list;
        } else {
            auto* button = new QPushButton(QString::fromUtf8(item.text), this);
            button->setAutoDefault(false);
            button->setDefault((item.style & BS_DEFPUSHBUTTON) != 0);
            QObject::connect(button, &QPushButton::clicked, this,
                             [this, button, id = item.id] { SendCommand(id, BN_CLICKED, button); });
            control = button;
        }
        control->setObjectName(QString::number(item.id));
        control->setProperty("controlId", item.id);
        control->setGeometry(DialogUnitsToPixels(font(), item.x, item.y, item.cx, item.cy));
        control->setFocusPolicy((item.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
        LiveWidgets().insert(control);
        if (firstTabStop == nullptr && (item.style & WS_TABSTOP))
            firstTabStop = control;
    }
    if (firstTabStop != nullptr)
        firstTabStop->setFocus();
}

LRESULT DialogWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    m_owner.DispatchEvent(message, wParam, lParam, result);
    return result;
}

void DialogWindow::SendCommand(int id, UINT code, QWidget* control) {
    Dispatch(WM_COMMAND, MakeWParam(static_cast<UINT>(id), code),
             reinterpret_cast<LPARAM>(control));
}

// Escape, the close box and Return without a default button become the
// commands the Windows dialog manager would send.
void DialogWindow::reject() {
    SendCommand(IDCANCEL, BN_CLICKED, nullptr);
}
void DialogWindow::accept() {
    SendCommand(IDOK, BN_CLICKED, nullptr);
}

void DialogWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (isVisible())
        reject();
}

bool DialogWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != this)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const WindowMessage msg{ToHwnd(widget), WM_KEYDOWN, VirtualKey(*key), 0};
    if (m_owner.PreTranslateMessage(msg) != FALSE)
        return true;
    if (msg.wParam != VK_RETURN)
        return false;
    // The dialog manager's Return: a focused push button is pressed,
    // otherwise the default button, otherwise the dialog gets IDOK.
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->click();
        return true;
    }
    for (QPushButton* button : findChildren<QPushButton*>()) {
        if (button->isDefault()) {
            button->click();
            return true;
        }
    }
    accept();
    return true;
}

}  // namespace platform::qt
