// The viewer's copy of the screen and the 64x64 tile comparison; see tiles.h.
#include "rfbserver/tiles.h"

#include <algorithm>

namespace rfbserver::detail {
namespace {

constexpr uint32_t kRgbMask = 0x00ffffffu;

const uint32_t* FrameRow(const Frame& frame, int y) {
    return frame.pixels + static_cast<std::size_t>(y) * frame.stride;
}

}  // namespace

void Shadow::Reset(int width, int height) {
    width_ = width;
    height_ = height;
    pixels_.clear();
    pixels_.shrink_to_fit();  // the old and the new never both in memory
    pixels_.assign(static_cast<std::size_t>(width) * height, 0);
}

bool Shadow::TileDiffers(const Frame& frame, int x, int y, int w, int h) const {
    for (int row = y; row < y + h; ++row) {
        const uint32_t* a = FrameRow(frame, row) + x;
        const uint32_t* b = Row(row) + x;
        // One reduction per row: the compiler vectorises it, where a compare-and-break would not.
        uint32_t diff = 0;
        for (int i = 0; i < w; ++i) {
            diff |= a[i] ^ b[i];
        }
        if ((diff & kRgbMask) != 0) {
            return true;
        }
    }
    return false;
}

void Shadow::CopyTile(const Frame& frame, int x, int y, int w, int h) {
    for (int row = y; row < y + h; ++row) {
        const uint32_t* in = FrameRow(frame, row) + x;
        uint32_t* out = pixels_.data() + static_cast<std::size_t>(row) * width_ + x;
        for (int i = 0; i < w; ++i) {
            out[i] = in[i] & kRgbMask;
        }
    }
}

void Shadow::TakeAll(const Frame& frame) {
    CopyTile(frame, 0, 0, width_, height_);
}

std::vector<rfb::Rect> Shadow::TakeChanges(const Frame& frame) {
    std::vector<rfb::Rect> rects;
    // Rectangles that reach the tile row above and may grow down into this one.
    std::vector<std::size_t> open;
    std::vector<std::size_t> next_open;
    for (int y = 0; y < height_; y += kTileSize) {
        const int h = std::min(kTileSize, height_ - y);
        next_open.clear();
        int run_start = -1;
        // One step past the last tile closes the last run.
        const int columns = (width_ + kTileSize - 1) / kTileSize;
        for (int column = 0; column <= columns; ++column) {
            const int x = column * kTileSize;
            const bool changed = column < columns && [&] {
                const int w = std::min(kTileSize, width_ - x);
                if (!TileDiffers(frame, x, y, w, h)) {
                    return false;
                }
                CopyTile(frame, x, y, w, h);
                return true;
            }();
            if (changed && run_start < 0) {
                run_start = x;
            }
            if (changed || run_start < 0) {
                continue;
            }
            const int run_width = std::min(x, width_) - run_start;
            auto same_span = std::find_if(open.begin(), open.end(), [&](std::size_t i) {
                return rects[i].x == run_start && rects[i].width == run_width;
            });
            if (same_span != open.end()) {
                rects[*same_span].height += h;
                next_open.push_back(*same_span);
            } else {
                rects.push_back(rfb::Rect{run_start, y, run_width, h});
                next_open.push_back(rects.size() - 1);
            }
            run_start = -1;
        }
        open.swap(next_open);
    }
    return rects;
}

}  // namespace rfbserver::detail
