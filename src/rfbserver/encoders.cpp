// Raw, Hextile and Cursor payloads; see encoders.h. ZRLE lives in zrle.cpp.
#include "rfbserver/encoders.h"

#include <algorithm>
#include <array>

#include "rfb/wire.h"

namespace rfbserver::detail {
namespace {

using namespace rfb::hextile;
constexpr int kHextileTile = rfb::hextile::kTileSize;
constexpr std::size_t kHextileMaxSubrects = 255;

struct Subrect {
    uint32_t colour;
    uint8_t x, y, width, height;
};

// One Hextile tile's pixels and what the tiles before it left the viewer holding.
struct HextileTile {
    std::array<uint32_t, kHextileTile * kHextileTile> pixels;
    int width = 0;
    int height = 0;
    uint32_t At(int x, int y) const { return pixels[y * kHextileTile + x]; }
};

struct HextileCarry {
    bool background_valid = false;
    bool foreground_valid = false;
    uint32_t background = 0;
    uint32_t foreground = 0;
};

uint32_t MostCommon(const HextileTile& tile) {
    std::array<uint32_t, kHextileTile * kHextileTile> sorted;
    const std::size_t n = static_cast<std::size_t>(tile.width) * tile.height;
    for (int y = 0, i = 0; y < tile.height; ++y) {
        for (int x = 0; x < tile.width; ++x) {
            sorted[i++] = tile.At(x, y);
        }
    }
    std::sort(sorted.begin(), sorted.begin() + n);
    uint32_t best = sorted[0];
    std::size_t best_count = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j < n && sorted[j] == sorted[i]) {
            ++j;
        }
        if (j - i > best_count) {
            best = sorted[i];
            best_count = j - i;
        }
        i = j;
    }
    return best;
}

// Covers every pixel that is not the background with one-colour rectangles, each grown right
// and then down from its first uncovered pixel. False if more than a tile can count.
bool FindSubrects(const HextileTile& tile, uint32_t background, std::vector<Subrect>& out) {
    std::array<bool, kHextileTile * kHextileTile> covered{};
    out.clear();
    for (int y = 0; y < tile.height; ++y) {
        for (int x = 0; x < tile.width; ++x) {
            const uint32_t c = tile.At(x, y);
            if (c == background || covered[y * kHextileTile + x]) {
                continue;
            }
            int w = 1;
            while (x + w < tile.width && tile.At(x + w, y) == c &&
                   !covered[y * kHextileTile + x + w]) {
                ++w;
            }
            int h = 1;
            for (; y + h < tile.height; ++h) {
                bool same = true;
                for (int i = x; i < x + w && same; ++i) {
                    same = tile.At(i, y + h) == c && !covered[(y + h) * kHextileTile + i];
                }
                if (!same) {
                    break;
                }
            }
            for (int j = y; j < y + h; ++j) {
                std::fill_n(covered.begin() + j * kHextileTile + x, w, true);
            }
            if (out.size() == kHextileMaxSubrects) {
                return false;
            }
            out.push_back(Subrect{c, static_cast<uint8_t>(x), static_cast<uint8_t>(y),
                                  static_cast<uint8_t>(w), static_cast<uint8_t>(h)});
        }
    }
    return true;
}

void PutPixel(Bytes& out, const PixelWriter& writer, uint32_t rgb) {
    const std::size_t at = out.size();
    out.resize(at + writer.size());
    writer.Put(rgb, out.data() + at);
}

void EncodeHextileTile(const HextileTile& tile, const PixelWriter& writer, HextileCarry& carry,
                       std::vector<Subrect>& subrects, Bytes& out) {
    const std::size_t bpp = writer.size();
    const std::size_t raw_size = 1 + static_cast<std::size_t>(tile.width) * tile.height * bpp;
    const uint32_t background = MostCommon(tile);
    const bool fits = FindSubrects(tile, background, subrects);
    const bool one_colour = std::all_of(subrects.begin(), subrects.end(), [&](const Subrect& r) {
        return r.colour == subrects.front().colour;
    });
    const bool send_background = !carry.background_valid || carry.background != background;
    const bool send_foreground =
        one_colour && !subrects.empty() &&
        (!carry.foreground_valid || carry.foreground != subrects.front().colour);
    const std::size_t size = 1 + (send_background ? bpp : 0) + (send_foreground ? bpp : 0) +
                             (subrects.empty() ? 0 : 1) +
                             subrects.size() * (one_colour ? 2 : 2 + bpp);
    if (!fits || size >= raw_size) {
        out.push_back(kRaw);
        for (int y = 0; y < tile.height; ++y) {
            for (int x = 0; x < tile.width; ++x) {
                PutPixel(out, writer, tile.At(x, y));
            }
        }
        carry = HextileCarry{};  // a raw tile leaves neither colour defined
        return;
    }
    out.push_back(static_cast<uint8_t>((send_background ? kBackgroundSpecified : 0) |
                                       (send_foreground ? kForegroundSpecified : 0) |
                                       (subrects.empty() ? 0 : kAnySubrects) |
                                       (one_colour ? 0 : kSubrectsColoured)));
    if (send_background) {
        PutPixel(out, writer, background);
    }
    if (send_foreground) {
        PutPixel(out, writer, subrects.front().colour);
    }
    carry.background_valid = true;
    carry.background = background;
    if (subrects.empty()) {
        return;
    }
    out.push_back(static_cast<uint8_t>(subrects.size()));
    for (const Subrect& r : subrects) {
        if (!one_colour) {
            PutPixel(out, writer, r.colour);
        }
        out.push_back(static_cast<uint8_t>((r.x << 4) | r.y));
        out.push_back(static_cast<uint8_t>(((r.width - 1) << 4) | (r.height - 1)));
    }
    if (one_colour) {
        carry.foreground_valid = true;
        carry.foreground = subrects.front().colour;
    } else {
        carry.foreground_valid = false;  // coloured subrectangles leave it undefined
    }
}

}  // namespace

void EncodeRaw(const Shadow& screen, const rfb::Rect& rect, const PixelWriter& writer, Bytes& out) {
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(rect.width) * rect.height * writer.size());
    uint8_t* p = out.data() + at;
    for (int y = rect.y; y < rect.y + rect.height; ++y) {
        const uint32_t* row = screen.Row(y) + rect.x;
        for (int x = 0; x < rect.width; ++x) {
            p = writer.Put(row[x], p);
        }
    }
}

void EncodeHextile(const Shadow& screen, const rfb::Rect& rect, const PixelWriter& writer,
                   Bytes& out) {
    HextileCarry carry;
    HextileTile tile;
    std::vector<Subrect> subrects;
    subrects.reserve(kHextileMaxSubrects);
    for (int ty = rect.y; ty < rect.y + rect.height; ty += kHextileTile) {
        tile.height = std::min(kHextileTile, rect.y + rect.height - ty);
        for (int tx = rect.x; tx < rect.x + rect.width; tx += kHextileTile) {
            tile.width = std::min(kHextileTile, rect.x + rect.width - tx);
            for (int y = 0; y < tile.height; ++y) {
                std::copy_n(screen.Row(ty + y) + tx, tile.width,
                            tile.pixels.begin() + y * kHextileTile);
            }
            EncodeHextileTile(tile, writer, carry, subrects, out);
        }
    }
}

void EncodeCursor(const rfb::Cursor& cursor, const PixelWriter& writer, Bytes& out) {
    const std::size_t mask_row = static_cast<std::size_t>((cursor.width + 7) / 8);
    for (const uint32_t pixel : cursor.pixels) {
        PutPixel(out, writer, pixel);
    }
    const std::size_t mask_at = out.size();
    out.resize(mask_at + mask_row * cursor.height, 0);
    for (int y = 0; y < cursor.height; ++y) {
        for (int x = 0; x < cursor.width; ++x) {
            if ((cursor.pixels[static_cast<std::size_t>(y) * cursor.width + x] >> 24) != 0) {
                out[mask_at + y * mask_row + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
    }
}

}  // namespace rfbserver::detail
