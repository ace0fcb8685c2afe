// The remote desktop's pixels as the RFB client core keeps them, and the remote cursor.
//
// The core writes here while it decodes updates; the front end reads it after a
// FramebufferUpdated event (on the same thread: the core has none of its own). Each pixel is
// 0xffRRGGBB in a uint32_t, which is what QImage::Format_RGB32 and a top-down 32-bit DIB both
// expect, so a front end hands `pixels` to its paint call without converting.
#pragma once

#include <cstdint>
#include <vector>

namespace rfb {

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const Rect&) const = default;
};

struct Framebuffer {
    int width = 0;
    int height = 0;
    int stride = 0;                // pixels from one row to the next (today always width)
    std::vector<uint32_t> pixels;  // stride * height, top row first

    uint32_t* Row(int y) { return pixels.data() + static_cast<std::size_t>(y) * stride; }
    const uint32_t* Row(int y) const {
        return pixels.data() + static_cast<std::size_t>(y) * stride;
    }
    uint32_t At(int x, int y) const { return Row(y)[x]; }
};

// The cursor shape the server sent (Cursor pseudo-encoding). Pixels are 0xAARRGGBB with alpha
// either 0xff (shown) or 0 (transparent; then the whole pixel is 0), so they are straight and
// premultiplied alpha at once. An empty shape means the server wants no cursor drawn.
struct Cursor {
    int hotspot_x = 0;
    int hotspot_y = 0;
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // width * height, top row first
};

}  // namespace rfb
