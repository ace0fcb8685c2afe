#include "platform/posix_qt/list_box.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <algorithm>

#include "platform/posix_qt/text.h"

namespace platform::qt {

namespace {
constexpr int kBytesRole = Qt::UserRole + 1;
}

ListBoxWidget::ListBoxWidget(QWidget* parent, const DialogItemTemplate& item)
    : QListWidget(parent), m_sorted((item.style & LBS_SORT) != 0) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollBarPolicy((item.style & WS_VSCROLL) ? Qt::ScrollBarAsNeeded
                                                         : Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape((item.style & WS_BORDER) ? QFrame::Box : QFrame::NoFrame);
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

const QCollator& ListBoxWidget::Collator() {
    if (!m_collator) {
        m_collator.emplace();
        m_collator->setCaseSensitivity(Qt::CaseInsensitive);
        m_collator->setNumericMode(false);
    }
    return *m_collator;
}

int ListBoxWidget::AddString(const std::string& bytes) {
    const QString display = ToDisplay(bytes);
    int row = count();
    if (m_sorted) {
        // After the entries that sort equal or before, as a sorted list box
        // places a new entry.
        const QCollator& collator = Collator();
        int lo = 0, hi = count();
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            if (collator.compare(item(mid)->text(), display) <= 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        row = lo;
    }
    auto* entry = new QListWidgetItem(display);
    entry->setData(kBytesRole, QByteArray(bytes.data(), qsizetype(bytes.size())));
    m_quiet = true;
    insertItem(row, entry);
    m_quiet = false;
    return row;
}

void ListBoxWidget::ResetContent() {
    m_quiet = true;
    clear();
    m_quiet = false;
}

int ListBoxWidget::SetCurSel(int index) {
    // As LB_SETCURSEL: an index out of range clears the selection and
    // reports LB_ERR.
    const bool valid = index >= 0 && index < count();
    m_quiet = true;
    setCurrentRow(valid ? index : -1);
    m_quiet = false;
    return valid ? index : LB_ERR;
}

std::string ListBoxWidget::Text(int index) const {
    const QListWidgetItem* entry = item(index);
    if (entry == nullptr)
        return std::string();
    const QByteArray bytes = entry->data(kBytesRole).toByteArray();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

void ListBoxWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    // Windows reports the double-click wherever it falls in the client area
    // and leaves the selection as the first click made it.
    QListWidget::mouseDoubleClickEvent(event);
    const QListWidgetItem* hit = itemAt(event->position().toPoint());
    m_doubleClickedRow = hit != nullptr ? row(hit) : -1;
    if (event->button() == Qt::LeftButton && onDoubleClick)
        onDoubleClick();
}

}  // namespace platform::qt
