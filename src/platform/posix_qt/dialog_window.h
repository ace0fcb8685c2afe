// The Qt window behind a CDialog, and the handle conventions of the backend:
// an HWND is the address of the QWidget that stands for the window.
#pragma once

#include <QDialog>
#include <QFont>

#include "platform/dialog.h"
#include "platform/dialog_template.h"

namespace platform::qt {

inline HWND ToHwnd(QWidget* w) {
    return reinterpret_cast<HWND>(w);
}
// The widget of a window handle of this backend, or null when it is gone.
QWidget* FromHwnd(HWND h);

class DialogWindow : public QDialog {
public:
    DialogWindow(CDialog& owner, const DialogTemplate& t);
    ~DialogWindow() override;

    // Sends a message to the owning dialog's event table.
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    void SendCommand(int id, UINT code, QWidget* control);

    void reject() override;
    void accept() override;

    // The template's font as an HFONT, valid as long as the window.
    HFONT DialogFont() { return reinterpret_cast<HFONT>(&m_dialogFont); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Build(const DialogTemplate& t);
    CDialog& m_owner;
    QFont m_dialogFont;
};

// Converts dialog units to pixels with the font's dialog base units.
QRect DialogUnitsToPixels(const QFont& font, int x, int y, int cx, int cy);

// The dialog font of a template: its face when installed, else a font with
// Korean glyphs, at the template's point size.
QFont TemplateFont(const DialogTemplate& t);

}  // namespace platform::qt
