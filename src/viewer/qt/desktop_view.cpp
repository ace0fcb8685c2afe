// Painting and input of the remote desktop (see desktop_view.h).
#include "viewer/qt/desktop_view.h"

#include <QCursor>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "viewer/qt/keymap.h"
#include "viewer/qt/timing.h"
#include "viewer/screen_choice.h"

namespace talviewer {

namespace {

// Pointer button bits as RFB numbers them.
constexpr uint8_t kLeft = 1 << 0;
constexpr uint8_t kMiddle = 1 << 1;
constexpr uint8_t kRight = 1 << 2;
constexpr uint8_t kWheelUp = 1 << 3;
constexpr uint8_t kWheelDown = 1 << 4;
constexpr uint8_t kWheelLeft = 1 << 5;
constexpr uint8_t kWheelRight = 1 << 6;
constexpr int kWheelStep = 120;  // Qt's angle units for one wheel click

uint8_t ButtonMask(Qt::MouseButtons buttons) {
    uint8_t mask = 0;
    if (buttons & Qt::LeftButton) {
        mask |= kLeft;
    }
    if (buttons & Qt::MiddleButton) {
        mask |= kMiddle;
    }
    if (buttons & Qt::RightButton) {
        mask |= kRight;
    }
    return mask;
}

// The physical key of an event: the scan code where the platform gives one, else Qt's key.
quint64 PhysicalKey(const QKeyEvent* event) {
    if (event->nativeScanCode() != 0) {
        return (quint64{1} << 32) | event->nativeScanCode();
    }
    return static_cast<quint32>(event->key());
}

}  // namespace

DesktopView::DesktopView(const rfb::Client* client, Input input, QWidget* parent)
    : QWidget(parent), client_(client), input_(std::move(input)) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, false);  // keys, not composed text
}

bool DesktopView::HasDesktop() const {
    return client_->connected() && client_->framebuffer().width > 0 &&
           client_->framebuffer().height > 0;
}

void DesktopView::SetStatus(const QString& text) {
    status_ = text;
    update();
}

QSize DesktopView::NaturalSize() const {
    if (!HasDesktop()) {
        return {};
    }
    const qreal dpr = devicePixelRatioF();
    const QRect source = Source();
    return QSize(static_cast<int>(std::ceil(source.width() / dpr)),
                 static_cast<int>(std::ceil(source.height() / dpr)));
}

// The part of the framebuffer shown: the chosen screen while the server describes it, else all.
QRect DesktopView::Source() const {
    const rfb::Framebuffer& fb = client_->framebuffer();
    const rfb::Rect r = viewer::ShownArea(client_->screens(), screen_, fb.width, fb.height);
    return QRect(r.x, r.y, r.width, r.height);
}

void DesktopView::SetScreen(int index) {
    screen_ = index;
    DesktopChanged();
}

void DesktopView::SetFit(bool fit) {
    fit_ = fit;
    UpdateTarget();
    CursorChanged();
    update();
}

void DesktopView::DesktopChanged() {
    UpdateTarget();
    CursorChanged();
    update();
}

void DesktopView::resizeEvent(QResizeEvent* /*event*/) {
    UpdateTarget();
}

void DesktopView::UpdateTarget() {
    if (!HasDesktop()) {
        target_ = {};
        return;
    }
    const QRect source = Source();
    if (!fit_) {
        const qreal dpr = devicePixelRatioF();
        target_ = QRectF(0, 0, source.width() / dpr, source.height() / dpr);
        return;
    }
    const qreal scale =
        std::min(width() / qreal(source.width()), height() / qreal(source.height()));
    const QSizeF size(source.width() * scale, source.height() * scale);
    target_ = QRectF(QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

void DesktopView::Updated(const std::vector<rfb::Rect>& rects) {
    if (target_.isEmpty()) {
        return;
    }
    const QRect source = Source();
    const qreal sx = target_.width() / source.width();
    const qreal sy = target_.height() / source.height();
    for (const rfb::Rect& r : rects) {
        // One unit more on each side: smooth scaling blends neighbouring pixels.
        const QRectF area(target_.x() + (r.x - source.x()) * sx,
                          target_.y() + (r.y - source.y()) * sy, r.width * sx, r.height * sy);
        update(area.toAlignedRect().adjusted(-1, -1, 1, 1));
    }
}

void DesktopView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    if (!HasDesktop()) {
        painter.fillRect(rect(), QColor(0x30, 0x30, 0x30));
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, status_);
        return;
    }
    const rfb::Framebuffer& fb = client_->framebuffer();
    const QImage image(reinterpret_cast<const uchar*>(fb.pixels.data()), fb.width, fb.height,
                       static_cast<qsizetype>(fb.stride) * 4, QImage::Format_RGB32);
    const QRectF device(target_.topLeft() * devicePixelRatioF(),
                        target_.size() * devicePixelRatioF());
    const QRect source = Source();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, device.size().toSize() != source.size());
    painter.drawImage(target_, image, QRectF(source));
    // The bands beside a fitted desktop.
    const QRegion bands = QRegion(rect()) - QRegion(target_.toAlignedRect());
    for (const QRect& band : bands) {
        painter.fillRect(band, QColor(0x30, 0x30, 0x30));
    }
    timing::Painted();
}

void DesktopView::CursorChanged() {
    const rfb::Cursor& cursor = client_->cursor();
    if (!HasDesktop() || target_.isEmpty()) {
        unsetCursor();
        return;
    }
    if (cursor.width == 0 || cursor.height == 0) {
        setCursor(Qt::BlankCursor);
        return;
    }
    // The shape at the desktop's scale on screen: remote pixels to device pixels.
    const qreal dpr = devicePixelRatioF();
    const qreal scale = target_.width() / Source().width();
    QImage image = QImage(reinterpret_cast<const uchar*>(cursor.pixels.data()), cursor.width,
                          cursor.height, cursor.width * 4, QImage::Format_ARGB32_Premultiplied)
                       .copy();
    const QSize size(std::max(1, qRound(cursor.width * scale * dpr)),
                     std::max(1, qRound(cursor.height * scale * dpr)));
    if (size != image.size()) {
        image = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(dpr);
    setCursor(QCursor(pixmap, qRound(cursor.hotspot_x * scale), qRound(cursor.hotspot_y * scale)));
}

void DesktopView::Pointer(QPointF position, Qt::MouseButtons buttons) {
    if (!HasDesktop() || target_.isEmpty()) {
        return;
    }
    const QRect source = Source();
    const qreal x = (position.x() - target_.x()) * source.width() / target_.width();
    const qreal y = (position.y() - target_.y()) * source.height() / target_.height();
    remote_x_ = source.x() + std::clamp(static_cast<int>(std::floor(x)), 0, source.width() - 1);
    remote_y_ = source.y() + std::clamp(static_cast<int>(std::floor(y)), 0, source.height() - 1);
    buttons_ = ButtonMask(buttons);
    input_.pointer(remote_x_, remote_y_, buttons_);
}

void DesktopView::SendButtons(uint8_t buttons) {
    buttons_ = buttons;
    input_.pointer(remote_x_, remote_y_, buttons_);
}

void DesktopView::mousePressEvent(QMouseEvent* event) {
    Pointer(event->position(), event->buttons());
}

void DesktopView::mouseReleaseEvent(QMouseEvent* event) {
    Pointer(event->position(), event->buttons());
}

void DesktopView::mouseMoveEvent(QMouseEvent* event) {
    Pointer(event->position(), event->buttons());
}

void DesktopView::wheelEvent(QWheelEvent* event) {
    if (!HasDesktop()) {
        return;
    }
    Pointer(event->position(), event->buttons());
    // Each whole wheel click is one press and release of its button; high-resolution wheels
    // and touchpads send parts of clicks, which add up here.
    wheel_y_ += event->angleDelta().y();
    wheel_x_ += event->angleDelta().x();
    const auto clicks = [this](int& accumulated, uint8_t positive, uint8_t negative) {
        while (accumulated >= kWheelStep || accumulated <= -kWheelStep) {
            const uint8_t button = accumulated > 0 ? positive : negative;
            accumulated += accumulated > 0 ? -kWheelStep : kWheelStep;
            SendButtons(buttons_ | button);
            SendButtons(buttons_ & ~button);
        }
    };
    clicks(wheel_y_, kWheelUp, kWheelDown);
    clicks(wheel_x_, kWheelLeft, kWheelRight);
    event->accept();
}

void DesktopView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F8 && event->modifiers() == Qt::NoModifier) {
        if (!event->isAutoRepeat()) {
            input_.menu();
        }
        return;
    }
    if (!HasDesktop()) {
        return;
    }
    const quint64 key = PhysicalKey(event);
    uint32_t keysym = held_.value(key, 0);
    if (keysym == 0) {
        keysym = KeysymFor(event->key(), event->text(), event->modifiers());
        if (keysym == 0) {
            return;
        }
        held_.insert(key, keysym);
    }
    // An auto-repeated press sends the same keysym down again, as X does.
    input_.key(keysym, true);
}

void DesktopView::keyReleaseEvent(QKeyEvent* event) {
    if (event->isAutoRepeat()) {
        return;  // the key is still down
    }
    const auto it = held_.find(PhysicalKey(event));
    if (it == held_.end()) {
        return;
    }
    const uint32_t keysym = it.value();
    held_.erase(it);
    input_.key(keysym, false);
}

void DesktopView::ReleaseAll() {
    const QHash<quint64, uint32_t> held = std::exchange(held_, {});
    for (const uint32_t keysym : held) {
        input_.key(keysym, false);
    }
    if (buttons_ != 0) {
        SendButtons(0);
    }
}

void DesktopView::focusOutEvent(QFocusEvent* event) {
    ReleaseAll();
    QWidget::focusOutEvent(event);
}

bool DesktopView::focusNextPrevChild(bool /*next*/) {
    return false;
}

}  // namespace talviewer
