// A QListWidget that behaves as a Windows list box: sorted on insertion the
// way a sorted list box sorts (case-insensitive, by the user's locale),
// keeping each entry's original bytes, and reporting a double-click anywhere
// in its client area.
#pragma once

#include <QCollator>
#include <QListWidget>
#include <functional>
#include <optional>
#include <string>

#include "platform/dialog_template.h"

namespace platform::qt {

class ListBoxWidget : public QListWidget {
public:
    ListBoxWidget(QWidget* parent, const DialogItemTemplate& item);

    int AddString(const std::string& bytes);
    void ResetContent();
    int SetCurSel(int index);
    std::string Text(int index) const;
    // False while the list itself changes the selection (insertion, reset).
    bool Notifying() const { return !m_quiet; }

    // The row of the last double-click, -1 for blank space.
    int DoubleClickedRow() const { return m_doubleClickedRow; }

    std::function<void()> onDoubleClick;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Made on the first sorted insertion: opening a collator loads the
    // locale's collation data, which an empty list never needs.
    const QCollator& Collator();

    bool m_sorted;
    bool m_quiet = false;
    int m_doubleClickedRow = -1;
    std::optional<QCollator> m_collator;
};

}  // namespace platform::qt
