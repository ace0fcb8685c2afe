// Framebuffer updates: when a viewer waits and a frame comes, the tiles that differ from what it
// has (or the whole screen, for a full request or a new size) go out in its encoding, after the
// pseudo-rectangles for a new desktop size and a new cursor. server.cpp calls SendUpdate from
// SetFrame; encoders.cpp writes the pixels.
#include <string>

#include "rfbserver/session.h"

namespace rfbserver::detail {
namespace {

// A FramebufferUpdate counts its rectangles in 16 bits; a screen changed in more places than
// this goes as one rectangle.
constexpr std::size_t kMaxRects = 4096;

void RectHeader(Bytes& out, int x, int y, int width, int height, rfb::Encoding encoding) {
    Put16(out, static_cast<uint32_t>(x));
    Put16(out, static_cast<uint32_t>(y));
    Put16(out, static_cast<uint32_t>(width));
    Put16(out, static_cast<uint32_t>(height));
    Put32(out, static_cast<uint32_t>(encoding));
}

bool EncodeRect(Session& s, const rfb::Rect& r) {
    RectHeader(s.output, r.x, r.y, r.width, r.height, s.encoding);
    switch (s.encoding) {
        case rfb::Encoding::kZrle:
            return s.zrle.Encode(s.shadow, r, s.writer, s.output);
        case rfb::Encoding::kHextile:
            EncodeHextile(s.shadow, r, s.writer, s.output);
            return true;
        default:
            EncodeRaw(s.shadow, r, s.writer, s.output);
            return true;
    }
}

}  // namespace

void SendUpdate(Session& s, const Frame& frame) {
    if (s.resize_pending && !s.wants_desktop_size) {
        Close(s, "the desktop changed its size to " + std::to_string(s.width) + "x" +
                     std::to_string(s.height) + " and the viewer cannot follow");
        return;
    }
    std::vector<rfb::Rect> rects;
    if (!s.shadow_valid || s.full_update_requested) {
        if (s.shadow.width() != s.width || s.shadow.height() != s.height) {
            s.shadow.Reset(s.width, s.height);
        }
        s.shadow.TakeAll(frame);
        s.shadow_valid = true;
        rects.push_back(rfb::Rect{0, 0, s.width, s.height});
    } else {
        rects = s.shadow.TakeChanges(frame);
        if (rects.size() > kMaxRects) {
            rects.assign(1, rfb::Rect{0, 0, s.width, s.height});
        }
    }
    const bool send_cursor = s.cursor_pending && s.wants_cursor;
    const std::size_t count = rects.size() + (send_cursor ? 1 : 0) + (s.resize_pending ? 1 : 0);
    if (count == 0) {
        return;  // nothing changed: the viewer goes on waiting
    }
    s.output.insert(s.output.end(), {rfb::server_msg::kFramebufferUpdate, 0});
    Put16(s.output, static_cast<uint32_t>(count));
    // The new size first: the viewer resizes, then takes the whole screen drawn at that size.
    if (s.resize_pending) {
        RectHeader(s.output, 0, 0, s.width, s.height, rfb::Encoding::kDesktopSize);
    }
    if (send_cursor) {
        const rfb::Cursor& c = *s.cursor;
        RectHeader(s.output, c.hotspot_x, c.hotspot_y, c.width, c.height, rfb::Encoding::kCursor);
        EncodeCursor(c, s.writer, s.output);
    }
    for (const rfb::Rect& r : rects) {
        if (!EncodeRect(s, r)) {
            Close(s, "out of memory while compressing an update");
            return;
        }
    }
    s.update_requested = false;
    s.full_update_requested = false;
    s.resize_pending = false;
    s.cursor_pending = false;
}

}  // namespace rfbserver::detail
