// The ZRLE encoder (encoders.h): each 64x64 tile goes as whichever subencoding is shortest for
// it, measured in one pass over its pixels (the palette and the runs), then the tiles of the
// rectangle are deflated through the connection's stream and flushed, so the viewer can decode
// the rectangle as soon as it has its bytes.
#include <zlib.h>

#include <algorithm>
#include <array>

#include "rfb/wire.h"
#include "rfbserver/encoders.h"

namespace rfbserver::detail {
namespace {

using namespace rfb::zrle;
constexpr int kTile = rfb::zrle::kTileSize;
constexpr std::size_t kMaxPalette = kMaxRlePalette;
// Speed over size: the screen changes under the viewer faster than a higher level pays off.
constexpr int kZlibLevel = 1;

// A tile's distinct colours (up to one past the palette's limit), found by open addressing.
class Palette {
public:
    void Clear() {
        keys_.fill(kEmpty);
        size_ = 0;
    }
    // The colour's index, adding it while there is room; -1 once the palette is full.
    int Add(uint32_t colour) {
        std::size_t slot = (colour * 2654435761u) >> 24;
        while (keys_[slot] != kEmpty) {
            if (keys_[slot] == colour) {
                return index_[slot];
            }
            slot = (slot + 1) & (kSlots - 1);
        }
        if (size_ > kMaxPalette) {
            return -1;
        }
        keys_[slot] = colour;
        index_[slot] = static_cast<uint8_t>(size_);
        colours_[size_] = colour;
        return static_cast<int>(size_++);
    }
    int Find(uint32_t colour) const {
        std::size_t slot = (colour * 2654435761u) >> 24;
        while (keys_[slot] != colour) {
            slot = (slot + 1) & (kSlots - 1);
        }
        return index_[slot];
    }
    std::size_t size() const { return size_; }
    uint32_t colour(std::size_t i) const { return colours_[i]; }

private:
    static constexpr std::size_t kSlots = 256;
    static constexpr uint32_t kEmpty = 0xffffffffu;  // never a pixel: their top byte is 0
    std::array<uint32_t, kSlots> keys_{};
    std::array<uint8_t, kSlots> index_{};
    std::array<uint32_t, kMaxPalette + 1> colours_{};
    std::size_t size_ = 0;
};

std::size_t RunLengthBytes(std::size_t run) {
    return (run - 1) / 255 + 1;
}

void PutRunLength(Bytes& out, std::size_t run) {
    for (run -= 1; run >= 255; run -= 255) {
        out.push_back(255);
    }
    out.push_back(static_cast<uint8_t>(run));
}

struct TileView {
    const Shadow& screen;
    int x, y, width, height;
    // The tile's pixels in order, row after row: runs carry across row ends.
    template <typename F>
    void ForEach(F&& f) const {
        for (int row = y; row < y + height; ++row) {
            const uint32_t* p = screen.Row(row) + x;
            for (int i = 0; i < width; ++i) {
                f(p[i]);
            }
        }
    }
};

// Runs of one colour in the tile, as RLE subencodings count them.
template <typename F>
void ForEachRun(const TileView& tile, F&& f) {
    uint32_t colour = tile.screen.Row(tile.y)[tile.x];
    std::size_t run = 0;
    tile.ForEach([&](uint32_t c) {
        if (c != colour) {
            f(colour, run);
            colour = c;
            run = 0;
        }
        ++run;
    });
    f(colour, run);
}

void EncodeTile(const TileView& tile, const PixelWriter& writer, Palette& palette, Bytes& out) {
    const std::size_t cpx = writer.cpixel_size();
    const std::size_t pixels = static_cast<std::size_t>(tile.width) * tile.height;
    palette.Clear();
    bool palette_full = false;
    std::size_t plain_rle = 1;
    std::size_t palette_rle = 1;
    ForEachRun(tile, [&](uint32_t colour, std::size_t run) {
        palette_full = palette_full || palette.Add(colour) < 0;
        plain_rle += cpx + RunLengthBytes(run);
        palette_rle += run == 1 ? 1 : 1 + RunLengthBytes(run);
    });
    const std::size_t n = palette.size();
    auto put_cpixel = [&](uint32_t colour) {
        const std::size_t at = out.size();
        out.resize(at + cpx);
        writer.PutCompressed(colour, out.data() + at);
    };
    if (!palette_full && n == 1) {
        out.push_back(kSolid);
        put_cpixel(palette.colour(0));
        return;
    }
    const int bits = n <= 2 ? 1 : n <= 4 ? 2 : 4;
    const std::size_t packed =
        n <= kMaxPackedPalette
            ? 1 + n * cpx + static_cast<std::size_t>((tile.width * bits + 7) / 8) * tile.height
            : SIZE_MAX;
    palette_rle = palette_full ? SIZE_MAX : palette_rle + n * cpx;
    const std::size_t raw = 1 + pixels * cpx;
    const std::size_t best = std::min({packed, plain_rle, palette_rle, raw});
    if (best == raw) {
        out.push_back(kRaw);
        tile.ForEach(put_cpixel);
    } else if (best == packed || best == palette_rle) {
        out.push_back(static_cast<uint8_t>(best == packed ? n : kPlainRle + n));
        for (std::size_t i = 0; i < n; ++i) {
            put_cpixel(palette.colour(i));
        }
        if (best == packed) {
            for (int row = tile.y; row < tile.y + tile.height; ++row) {
                const uint32_t* p = tile.screen.Row(row) + tile.x;
                unsigned byte = 0;
                int used = 0;
                for (int i = 0; i < tile.width; ++i) {
                    byte = (byte << bits) | static_cast<unsigned>(palette.Find(p[i]));
                    used += bits;
                    if (used == 8) {
                        out.push_back(static_cast<uint8_t>(byte));
                        byte = 0;
                        used = 0;
                    }
                }
                if (used > 0) {
                    out.push_back(static_cast<uint8_t>(byte << (8 - used)));
                }
            }
        } else {
            ForEachRun(tile, [&](uint32_t colour, std::size_t run) {
                const auto index = static_cast<uint8_t>(palette.Find(colour));
                if (run == 1) {
                    out.push_back(index);
                } else {
                    out.push_back(static_cast<uint8_t>(index | 0x80));
                    PutRunLength(out, run);
                }
            });
        }
    } else {
        out.push_back(kPlainRle);
        ForEachRun(tile, [&](uint32_t colour, std::size_t run) {
            put_cpixel(colour);
            PutRunLength(out, run);
        });
    }
}

}  // namespace

struct ZrleEncoder::Stream {
    z_stream z{};
    bool ok = false;
    Palette palette;
};

ZrleEncoder::ZrleEncoder() : stream_(std::make_unique<Stream>()) {
    stream_->ok = deflateInit(&stream_->z, kZlibLevel) == Z_OK;
}

ZrleEncoder::~ZrleEncoder() {
    if (stream_->ok) {
        deflateEnd(&stream_->z);
    }
}

bool ZrleEncoder::Encode(const Shadow& screen, const rfb::Rect& rect, const PixelWriter& writer,
                         Bytes& out) {
    if (!stream_->ok) {
        return false;
    }
    tiles_.clear();
    for (int y = rect.y; y < rect.y + rect.height; y += kTile) {
        for (int x = rect.x; x < rect.x + rect.width; x += kTile) {
            const TileView tile{screen, x, y, std::min(kTile, rect.x + rect.width - x),
                                std::min(kTile, rect.y + rect.height - y)};
            EncodeTile(tile, writer, stream_->palette, tiles_);
        }
    }
    // The length goes first; it is filled in once deflate is done.
    const std::size_t length_at = out.size();
    out.resize(length_at + 4);
    z_stream& z = stream_->z;
    z.next_in = tiles_.data();
    z.avail_in = static_cast<uInt>(tiles_.size());
    std::size_t written = out.size();
    do {
        // deflateBound's margin covers the flush marker; the loop covers anything beyond it.
        const std::size_t room = deflateBound(&z, z.avail_in) + 16;
        out.resize(written + room);
        z.next_out = out.data() + written;
        z.avail_out = static_cast<uInt>(room);
        if (deflate(&z, Z_SYNC_FLUSH) == Z_STREAM_ERROR) {
            stream_->ok = false;
            return false;
        }
        written += room - z.avail_out;
    } while (z.avail_out == 0 || z.avail_in > 0);
    out.resize(written);
    const auto length = static_cast<uint32_t>(written - length_at - 4);
    for (int i = 0; i < 4; ++i) {
        out[length_at + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    }
    return true;
}

}  // namespace rfbserver::detail
