// The remote desktop on screen, and the operator's mouse and keyboard sent back to it.
//
// It paints the core's framebuffer (all of it, or one of the remote desktop's screens) through a
// QImage over the same memory (no copy), either
// scaled to fit the widget with its aspect ratio kept or at one remote pixel per device pixel
// (HiDPI screens included), and maps pointer positions back through the same rectangle. Keys
// pressed are remembered by their physical key so that the release sends the keysym the press
// sent, whatever the modifiers did in between. Every key goes to the remote desktop, Alt, Super
// and Tab included, except F8 on its own, which opens the viewer's menu (the menu sends F8 on),
// and the window's Ctrl+Alt+Shift shortcuts. Losing the focus (a menu opening included) releases
// them all, so no key stays stuck down on the remote machine.
#pragma once

#include <QHash>
#include <QRectF>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "rfb/client.h"

namespace talviewer {

class DesktopView : public QWidget {
public:
    struct Input {
        std::function<void(uint32_t keysym, bool down)> key;
        std::function<void(int x, int y, uint8_t buttons)> pointer;
        std::function<void()> menu;  // F8: the viewer's menu, which sends F8 on if asked
    };

    DesktopView(const rfb::Client* client, Input input, QWidget* parent = nullptr);

    // Shown centred while there is no desktop yet.
    void SetStatus(const QString& text);
    // The desktop is there (Connected) or has a new size.
    void DesktopChanged();
    void Updated(const std::vector<rfb::Rect>& rects);
    void CursorChanged();
    void SetFit(bool fit);
    bool fit() const { return fit_; }
    // The size of the desktop at one remote pixel per device pixel, in this widget's units.
    QSize NaturalSize() const;
    // Shows only the remote desktop's screen `index` (rfb::Client::screens()), or all of it (-1).
    void SetScreen(int index);
    int screen() const { return screen_; }
    void ReleaseAll();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;  // Tab goes to the remote desktop

private:
    bool HasDesktop() const;
    QRect Source() const;
    void UpdateTarget();
    void Pointer(QPointF position, Qt::MouseButtons buttons);
    void SendButtons(uint8_t buttons);

    const rfb::Client* client_;
    Input input_;
    QString status_;
    bool fit_ = true;
    QRectF target_;    // where the desktop is drawn, in widget units
    int screen_ = -1;  // the remote screen shown, or -1 for all
    int remote_x_ = 0;
    int remote_y_ = 0;
    uint8_t buttons_ = 0;
    int wheel_x_ = 0;  // angle not yet sent as wheel clicks
    int wheel_y_ = 0;
    QHash<quint64, uint32_t> held_;  // physical key -> keysym sent for its press
};

}  // namespace talviewer
