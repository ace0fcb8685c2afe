// CDialog, its controls and painting on Qt.
#include "platform/dialog.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QStyle>
#include <cstring>
#include <memory>

#include "platform/controls.h"
#include "platform/posix_qt/dialog_window.h"
#include "platform/posix_qt/list_box.h"
#include "platform/posix_qt/text.h"
#include "platform/testing.h"

using platform::qt::DialogWindow;
using platform::qt::FromHwnd;
using platform::qt::ListBoxWidget;
using platform::qt::ToHwnd;

namespace {

// The control's property that holds the HFONT last given to SetFont.
constexpr char kSetFontProperty[] = "launcherSetFont";

DialogWindow* WindowOf(const CDialog& d) {
    return static_cast<DialogWindow*>(d.m_backend);
}

ListBoxWidget* ListOf(HWND h) {
    return dynamic_cast<ListBoxWidget*>(FromHwnd(h));
}

}  // namespace

INT_PTR CDialog::DoModal() {
    const DialogTemplate* t = FindDialogTemplate(m_templateId);
    if (t == nullptr)
        return -1;
    auto window = std::make_unique<DialogWindow>(*this, *t);
    m_backend = window.get();
    m_hWnd = ToHwnd(window.get());

    // As with a Windows dialog, initialisation runs before the window is
    // shown; a dialog may end itself from there.
    int result = -1;
    QObject::connect(window.get(), &QDialog::finished, window.get(),
                     [&result](int r) { result = r; });
    OnInitDialog();
    if (!window->property("ended").toBool()) {
        window->show();
        if (auto& hook = platform::testing::CurrentHooks().dialogShown)
            hook(*this);
        if (!window->property("ended").toBool())
            window->exec();
    }
    LRESULT ignored = 0;
    DispatchEvent(WM_DESTROY, 0, 0, ignored);
    window.reset();
    m_backend = nullptr;
    m_hWnd = nullptr;
    return result;
}

void CDialog::EndDialog(int result) {
    DialogWindow* w = WindowOf(*this);
    if (w == nullptr)
        return;
    w->setProperty("ended", true);
    w->done(result);
}

HWND CDialog::GetDlgItem(int id) const {
    DialogWindow* w = WindowOf(*this);
    if (w == nullptr)
        return nullptr;
    for (QWidget* child : w->findChildren<QWidget*>())
        if (child->property("controlId").toInt() == id && child->property("controlId").isValid())
            return ToHwnd(child);
    return nullptr;
}

void CDialog::SetWindowText(const std::string& text) {
    if (DialogWindow* w = WindowOf(*this))
        w->setWindowTitle(platform::qt::ToDisplay(text));
}

std::string CDialog::GetWindowText() const {
    DialogWindow* w = WindowOf(*this);
    return w == nullptr ? std::string() : platform::qt::FromDisplay(w->windowTitle());
}

HICON CDialog::SetIcon(HICON icon, BOOL bigIcon) {
    DialogWindow* w = WindowOf(*this);
    if (w == nullptr || icon == nullptr)
        return nullptr;
    // Qt keeps one icon with all its sizes: the large and the small icon of
    // Windows are the same QIcon here.
    (void)bigIcon;
    w->setWindowIcon(*reinterpret_cast<QIcon*>(icon));
    return icon;
}

void CDialog::MoveWindow(const CRect& rect) {
    DialogWindow* w = WindowOf(*this);
    if (w == nullptr)
        return;
    // The dialog has a fixed size (the template's). A top-level widget is
    // moved by its frame but sized by its inside: the frame's margins come off.
    const QSize frame = w->frameGeometry().size() - w->size();
    w->setFixedSize(rect.Width() - frame.width(), rect.Height() - frame.height());
    w->move(rect.left, rect.top);
}

void CDialog::WantDefaultProcessing() {}

LRESULT SendWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* w = dynamic_cast<DialogWindow*>(FromHwnd(window));
    return w == nullptr ? 0 : w->Dispatch(message, wParam, lParam);
}

HICON LoadAppIcon(UINT) {
    // Drawn once: a screen with a pointer, the launcher's mark.
    static QIcon* icon = [] {
        auto* result = new QIcon;
        for (int size : {16, 32, 48}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            const qreal u = size / 16.0;
            p.setBrush(QColor(0x1f, 0x4e, 0x8c));
            p.setPen(Qt::NoPen);
            p.drawRoundedRect(QRectF(1 * u, 2 * u, 14 * u, 10 * u), 1.5 * u, 1.5 * u);
            p.setBrush(QColor(0x9f, 0xd3, 0xff));
            p.drawRect(QRectF(2.5 * u, 3.5 * u, 11 * u, 7 * u));
            p.setBrush(QColor(0x1f, 0x4e, 0x8c));
            p.drawRect(QRectF(6 * u, 12 * u, 4 * u, 2 * u));
            p.drawRect(QRectF(4 * u, 14 * u, 8 * u, 1 * u));
            result->addPixmap(pixmap);
        }
        return result;
    }();
    return reinterpret_cast<HICON>(icon);
}

// Fonts: an HFONT is the address of a QFont the backend owns.

bool GetFontDescription(HFONT font, LogFont* description) {
    if (font == nullptr || description == nullptr)
        return false;
    const QFont& f = *reinterpret_cast<const QFont*>(font);
    LogFont d;
    const QFontMetrics fm(f);
    d.lfHeight = fm.height();
    d.lfWeight = f.bold() ? 700 : 400;
    d.lfItalic = f.italic() ? 1 : 0;
    d.lfUnderline = f.underline() ? 1 : 0;
    d.lfStrikeOut = f.strikeOut() ? 1 : 0;
    const QByteArray face = f.family().toUtf8();
    std::strncpy(d.lfFaceName, face.constData(), sizeof d.lfFaceName - 1);
    *description = d;
    return true;
}

CFont::~CFont() {
    delete reinterpret_cast<QFont*>(m_hFont);
}

bool CFont::CreateFontIndirect(const LogFont& d) {
    auto* font = new QFont;
    QStringList families{QString::fromUtf8(d.lfFaceName)};
    families << QApplication::font().families();
    font->setFamilies(families);
    // A positive height is the character cell's height; Qt sizes fonts by
    // the em, which is the cell less its internal leading.
    const int cell = d.lfHeight < 0 ? -d.lfHeight : d.lfHeight;
    if (cell > 0) {
        font->setPixelSize(cell);
        const QFontMetrics fm(*font);
        if (d.lfHeight > 0 && fm.height() > 0)
            font->setPixelSize(std::max(1, cell * cell / fm.height()));
    }
    font->setBold(d.lfWeight >= 600);
    font->setItalic(d.lfItalic != 0);
    font->setUnderline(d.lfUnderline != 0);
    font->setStrikeOut(d.lfStrikeOut != 0);
    delete reinterpret_cast<QFont*>(m_hFont);
    m_hFont = reinterpret_cast<HFONT>(font);
    return true;
}

// The list box.

int CListBox::AddString(const std::string& text) {
    ListBoxWidget* list = ListOf(m_hWnd);
    return list == nullptr ? LB_ERR : list->AddString(text);
}

void CListBox::ResetContent() {
    if (ListBoxWidget* list = ListOf(m_hWnd))
        list->ResetContent();
}

int CListBox::GetCount() const {
    ListBoxWidget* list = ListOf(m_hWnd);
    return list == nullptr ? LB_ERR : list->count();
}

int CListBox::GetCurSel() const {
    ListBoxWidget* list = ListOf(m_hWnd);
    if (list == nullptr)
        return LB_ERR;
    const int row = list->currentRow();
    return (row >= 0 && list->item(row)->isSelected()) ? row : LB_ERR;
}

int CListBox::SetCurSel(int index) {
    ListBoxWidget* list = ListOf(m_hWnd);
    return list == nullptr ? LB_ERR : list->SetCurSel(index);
}

int CListBox::GetText(int index, std::string& text) const {
    ListBoxWidget* list = ListOf(m_hWnd);
    if (list == nullptr || index < 0 || index >= list->count())
        return LB_ERR;
    text = list->Text(index);
    return static_cast<int>(text.size());
}

int CListBox::GetDoubleClickedItem() const {
    ListBoxWidget* list = ListOf(m_hWnd);
    const int row = list == nullptr ? -1 : list->DoubleClickedRow();
    return row >= 0 && row < list->count() ? row : LB_ERR;
}

HFONT CListBox::GetFont() const {
    QWidget* w = FromHwnd(m_hWnd);
    if (w == nullptr)
        return nullptr;
    // As WM_GETFONT: the font last set on the control, which its owner keeps
    // alive, or else the dialog's own font, which lives as long as the dialog.
    const QVariant set = w->property(kSetFontProperty);
    if (set.isValid())
        return static_cast<HFONT>(set.value<void*>());
    auto* dialog = dynamic_cast<DialogWindow*>(w->window());
    return dialog == nullptr ? nullptr : dialog->DialogFont();
}

void CListBox::SetFont(HFONT font, BOOL redraw) {
    QWidget* w = FromHwnd(m_hWnd);
    if (w == nullptr || font == nullptr)
        return;
    w->setFont(*reinterpret_cast<QFont*>(font));
    w->setProperty(kSetFontProperty, QVariant::fromValue(static_cast<void*>(font)));
    if (redraw)
        w->update();
}
