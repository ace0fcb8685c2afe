// Change detection: the screen as the viewer last received it, kept in 64x64 tiles, so that an
// idle screen costs one comparison per frame and an update carries only the tiles that changed.
// updates.cpp owns one per session; the encoders read the pixels from it.
#pragma once

#include <cstdint>
#include <vector>

#include "rfb/framebuffer.h"
#include "rfbserver/server.h"

namespace rfbserver::detail {

inline constexpr int kTileSize = 64;

class Shadow {
public:
    // A new size: nothing of it has been sent yet.
    void Reset(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    // 0x00RRGGBB, `width()` pixels per row.
    const uint32_t* Row(int y) const {
        return pixels_.data() + static_cast<std::size_t>(y) * width_;
    }

    // Compares `frame` (of this size) with what was sent, takes in the tiles that differ and
    // returns them merged into rectangles: runs of tiles along a row, runs of equal spans down.
    std::vector<rfb::Rect> TakeChanges(const Frame& frame);
    // Takes in the whole frame (a full update).
    void TakeAll(const Frame& frame);

private:
    bool TileDiffers(const Frame& frame, int x, int y, int w, int h) const;
    void CopyTile(const Frame& frame, int x, int y, int w, int h);

    int width_ = 0;
    int height_ = 0;
    std::vector<uint32_t> pixels_;
};

}  // namespace rfbserver::detail
