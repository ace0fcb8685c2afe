// Rectangle decoders for Raw, CopyRect, Hextile, ZRLE and the Cursor pseudo-encoding; see
// decoders.h for how they take partial input. Called by client_rects.cpp only.
#include "rfb/decoders.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace rfb::detail {
namespace {

// ZRLE sends "compressed pixels" of 3 bytes for our format: its colour fits in the low 24 bits.
inline uint32_t Cpixel(const uint8_t* p) {
    return 0xff000000u | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

void Fill(Framebuffer& fb, int x, int y, int width, int height, uint32_t pixel) {
    for (int row = 0; row < height; ++row) {
        uint32_t* out = fb.Row(y + row) + x;
        std::fill(out, out + width, pixel);
    }
}

// Hextile tile header bits.
constexpr uint8_t kHextileRaw = 1;
constexpr uint8_t kHextileBackground = 2;
constexpr uint8_t kHextileForeground = 4;
constexpr uint8_t kHextileAnySubrects = 8;
constexpr uint8_t kHextileColoured = 16;
constexpr int kHextileTile = 16;

// ZRLE tile subencodings.
constexpr uint8_t kZrleRaw = 0;
constexpr uint8_t kZrleSolid = 1;
constexpr uint8_t kZrleMaxPacked = 16;
constexpr uint8_t kZrlePlainRle = 128;
constexpr uint8_t kZrleMinPaletteRle = 130;
constexpr int kZrleTile = 64;

// Bounded reads from the inflated ZRLE data.
struct Reader {
    const uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    bool Has(std::size_t n) const { return size - pos >= n; }
};

}  // namespace

Progress DecodeRaw(Framebuffer& fb, const Rect& rect, RawState& state,
                   std::span<const uint8_t> in) {
    Progress progress;
    const std::size_t row_bytes = static_cast<std::size_t>(rect.width) * 4;
    if (row_bytes == 0) {
        progress.done = true;
        return progress;
    }
    while (state.row < rect.height && in.size() - progress.consumed >= row_bytes) {
        const uint8_t* p = in.data() + progress.consumed;
        uint32_t* out = fb.Row(rect.y + state.row) + rect.x;
        for (int x = 0; x < rect.width; ++x, p += 4) {
            out[x] = Pixel32(p);
        }
        progress.consumed += row_bytes;
        ++state.row;
    }
    progress.done = state.row == rect.height;
    return progress;
}

Progress DecodeCopyRect(Framebuffer& fb, const Rect& rect, std::span<const uint8_t> in) {
    Progress progress;
    if (in.size() < 4) {
        return progress;
    }
    const int src_x = (in[0] << 8) | in[1];
    const int src_y = (in[2] << 8) | in[3];
    progress.consumed = 4;
    if (src_x + rect.width > fb.width || src_y + rect.height > fb.height) {
        progress.error = "CopyRect source lies outside the desktop";
        return progress;
    }
    // Rows are copied in the order that never overwrites a source row before it is read. An
    // empty rectangle copies nothing (and a desktop 0 pixels wide has no pixel memory at all).
    const bool upwards = src_y < rect.y;
    for (int i = 0; rect.width > 0 && i < rect.height; ++i) {
        const int row = upwards ? rect.height - 1 - i : i;
        std::memmove(fb.Row(rect.y + row) + rect.x, fb.Row(src_y + row) + src_x,
                     static_cast<std::size_t>(rect.width) * 4);
    }
    progress.done = true;
    return progress;
}

Progress DecodeHextile(Framebuffer& fb, const Rect& rect, HextileState& state,
                       std::span<const uint8_t> in) {
    Progress progress;
    const int tiles_x = (rect.width + kHextileTile - 1) / kHextileTile;
    const int tiles_y = (rect.height + kHextileTile - 1) / kHextileTile;
    const int tiles = tiles_x * tiles_y;
    while (state.tile < tiles) {
        const int tx = rect.x + (state.tile % tiles_x) * kHextileTile;
        const int ty = rect.y + (state.tile / tiles_x) * kHextileTile;
        const int tw = std::min(kHextileTile, rect.x + rect.width - tx);
        const int th = std::min(kHextileTile, rect.y + rect.height - ty);

        // The tile's whole size follows from its header and subrectangle count: wait for all
        // of it, then decode without further checks on the input's length.
        const uint8_t* p = in.data() + progress.consumed;
        const std::size_t available = in.size() - progress.consumed;
        if (available < 1) {
            break;
        }
        const uint8_t flags = p[0];
        std::size_t need = 1;
        std::size_t subrects = 0;
        if (flags & kHextileRaw) {
            need += static_cast<std::size_t>(tw) * th * 4;
        } else {
            need += (flags & kHextileBackground ? 4 : 0) + (flags & kHextileForeground ? 4 : 0);
            if (flags & kHextileAnySubrects) {
                if (available < need + 1) {
                    break;
                }
                subrects = p[need];
                need += 1 + subrects * (flags & kHextileColoured ? 6 : 2);
            }
        }
        if (available < need) {
            break;
        }
        ++p;
        if (flags & kHextileRaw) {
            for (int row = 0; row < th; ++row) {
                uint32_t* out = fb.Row(ty + row) + tx;
                for (int x = 0; x < tw; ++x, p += 4) {
                    out[x] = Pixel32(p);
                }
            }
        } else {
            if (flags & kHextileBackground) {
                state.background = Pixel32(p);
                p += 4;
            }
            if (flags & kHextileForeground) {
                state.foreground = Pixel32(p);
                p += 4;
            }
            Fill(fb, tx, ty, tw, th, state.background);
            if (flags & kHextileAnySubrects) {
                ++p;  // the count, read above
                for (std::size_t i = 0; i < subrects; ++i) {
                    uint32_t colour = state.foreground;
                    if (flags & kHextileColoured) {
                        // The colour read last is the foreground a later tile may omit, as
                        // TigerVNC and libvncclient take it; servers name it again anyway.
                        colour = state.foreground = Pixel32(p);
                        p += 4;
                    }
                    const int sx = p[0] >> 4;
                    const int sy = p[0] & 15;
                    const int sw = (p[1] >> 4) + 1;
                    const int sh = (p[1] & 15) + 1;
                    p += 2;
                    if (sx + sw > tw || sy + sh > th) {
                        progress.error = "Hextile subrectangle lies outside its tile";
                        return progress;
                    }
                    Fill(fb, tx + sx, ty + sy, sw, sh, colour);
                }
            }
        }
        progress.consumed += need;
        ++state.tile;
    }
    progress.done = state.tile == tiles;
    return progress;
}

struct ZrleDecoder::Stream {
    z_stream z{};
    bool ready = false;
    ~Stream() {
        if (ready) {
            inflateEnd(&z);
        }
    }
};

ZrleDecoder::ZrleDecoder() : stream_(std::make_unique<Stream>()) {}
ZrleDecoder::~ZrleDecoder() = default;

// The most inflated data a valid rectangle can need: every pixel as a plain-RLE run of one (a
// 3-byte pixel and a length byte) plus each tile's subencoding and largest palette. More than
// that is a zlib bomb or garbage.
static std::size_t MaxInflated(const Rect& rect) {
    const std::size_t tiles = static_cast<std::size_t>((rect.width + kZrleTile - 1) / kZrleTile) *
                              ((rect.height + kZrleTile - 1) / kZrleTile);
    return static_cast<std::size_t>(rect.width) * rect.height * 4 + tiles * (1 + 127 * 3) + 64;
}

Progress ZrleDecoder::Decode(Framebuffer& fb, const Rect& rect, std::span<const uint8_t> in) {
    Progress progress;
    if (in.size() < 4) {
        return progress;
    }
    const uint32_t length =
        (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
    const std::size_t limit = MaxInflated(rect);
    // zlib adds a few bytes per block and per flush; a rectangle's data cannot honestly be
    // larger than this, and the bound keeps what we buffer in proportion to the rectangle.
    if (length > limit + limit / 8 + 4096) {
        progress.error = "ZRLE rectangle's data is larger than any valid encoding of it";
        return progress;
    }
    if (in.size() - 4 < length) {
        return progress;
    }
    progress.consumed = 4 + std::size_t{length};
    if ((progress.error = Inflate(in.subspan(4, length), limit)) != nullptr) {
        return progress;
    }
    progress.error = DecodeTiles(fb, rect);
    progress.done = progress.error == nullptr;
    return progress;
}

const char* ZrleDecoder::Inflate(std::span<const uint8_t> compressed, std::size_t limit) {
    z_stream& z = stream_->z;
    if (!stream_->ready) {
        if (inflateInit(&z) != Z_OK) {
            return "zlib could not be initialised";
        }
        stream_->ready = true;
    }
    switch (inflated_.Inflate(z, compressed, limit)) {
        case Inflated::Result::kNotZlib:
            return "ZRLE data is not a valid zlib stream";
        case Inflated::Result::kTooLong:
            return "ZRLE data inflates to more than the rectangle can hold";
        case Inflated::Result::kTrailing:
            return "ZRLE data continues after its zlib stream ended";
        case Inflated::Result::kOk:
            break;
    }
    return nullptr;
}

Inflated::Result Inflated::Inflate(z_stream_s& z, std::span<const uint8_t> compressed,
                                   std::size_t limit) {
    if (capacity_ < limit + 1) {
        buffer_ = std::make_unique_for_overwrite<uint8_t[]>(limit + 1);
        capacity_ = limit + 1;
    }
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    z.next_out = buffer_.get();
    z.avail_out =
        static_cast<uInt>(std::min<std::size_t>(limit + 1, std::numeric_limits<uInt>::max()));
    const uInt room = z.avail_out;
    while (z.avail_in > 0 && z.avail_out > 0) {
        const int status = inflate(&z, Z_SYNC_FLUSH);
        if (status == Z_STREAM_END) {
            break;
        }
        if (status != Z_OK) {
            return Result::kNotZlib;
        }
    }
    size_ = room - z.avail_out;
    return size_ > limit ? Result::kTooLong : z.avail_in > 0 ? Result::kTrailing : Result::kOk;
}

const char* ZrleDecoder::DecodeTiles(Framebuffer& fb, const Rect& rect) const {
    Reader r{inflated_.data(), inflated_.size()};
    uint32_t palette[128];
    for (int ty = rect.y; ty < rect.y + rect.height; ty += kZrleTile) {
        const int th = std::min(kZrleTile, rect.y + rect.height - ty);
        for (int tx = rect.x; tx < rect.x + rect.width; tx += kZrleTile) {
            const int tw = std::min(kZrleTile, rect.x + rect.width - tx);
            const int area = tw * th;
            if (!r.Has(1)) {
                return "ZRLE data ends inside a tile";
            }
            const uint8_t sub = r.data[r.pos++];
            if (sub == kZrleRaw) {
                if (!r.Has(static_cast<std::size_t>(area) * 3)) {
                    return "ZRLE data ends inside a tile";
                }
                const uint8_t* p = r.data + r.pos;
                for (int row = 0; row < th; ++row) {
                    uint32_t* out = fb.Row(ty + row) + tx;
                    for (int x = 0; x < tw; ++x, p += 3) {
                        out[x] = Cpixel(p);
                    }
                }
                r.pos += static_cast<std::size_t>(area) * 3;
                continue;
            }
            if (sub == kZrleSolid) {
                if (!r.Has(3)) {
                    return "ZRLE data ends inside a tile";
                }
                Fill(fb, tx, ty, tw, th, Cpixel(r.data + r.pos));
                r.pos += 3;
                continue;
            }
            if ((sub > kZrleMaxPacked && sub < kZrlePlainRle) ||
                (sub > kZrlePlainRle && sub < kZrleMinPaletteRle)) {
                return "ZRLE tile uses an undefined subencoding";
            }
            const int palette_size = sub == kZrlePlainRle ? 0 : (sub & 127);
            if (!r.Has(static_cast<std::size_t>(palette_size) * 3)) {
                return "ZRLE data ends inside a tile";
            }
            for (int i = 0; i < palette_size; ++i, r.pos += 3) {
                palette[i] = Cpixel(r.data + r.pos);
            }
            if (sub <= kZrleMaxPacked) {
                // Packed palette indices, 1, 2 or 4 bits each, every row starting on a byte.
                const int bits = palette_size == 2 ? 1 : palette_size <= 4 ? 2 : 4;
                const std::size_t row_bytes = (static_cast<std::size_t>(tw) * bits + 7) / 8;
                if (!r.Has(row_bytes * th)) {
                    return "ZRLE data ends inside a tile";
                }
                // Indices at or beyond the palette's size are refused; the unused entries hold
                // a marker no real pixel has (real ones are opaque), checked once per row.
                constexpr uint32_t kUnused = 0;
                std::fill(palette + palette_size, palette + 16, kUnused);
                const unsigned mask = (1u << bits) - 1;
                const int per_byte = 8 / bits;
                for (int row = 0; row < th; ++row) {
                    const uint8_t* p = r.data + r.pos + row_bytes * row;
                    uint32_t* out = fb.Row(ty + row) + tx;
                    uint32_t seen = 0xffffffffu;
                    for (int x = 0; x < tw; ++p) {
                        const unsigned byte = *p;
                        const int n = std::min(per_byte, tw - x);
                        for (int k = 0; k < n; ++k, ++x) {
                            const uint32_t pixel = palette[(byte >> (8 - bits * (k + 1))) & mask];
                            seen &= pixel;
                            out[x] = pixel;
                        }
                    }
                    if ((seen >> 24) != 0xff) {
                        return "ZRLE palette index beyond the palette";
                    }
                }
                r.pos += row_bytes * th;
                continue;
            }
            // Run-length tiles: plain (a pixel per run) or with a palette (an index per run,
            // its top bit saying whether a length follows).
            int done = 0;
            int run_x = 0;
            uint32_t* run_out = fb.Row(ty) + tx;
            while (done < area) {
                uint32_t colour;
                bool has_length = true;
                if (sub == kZrlePlainRle) {
                    if (!r.Has(3)) {
                        return "ZRLE data ends inside a tile";
                    }
                    colour = Cpixel(r.data + r.pos);
                    r.pos += 3;
                } else {
                    if (!r.Has(1)) {
                        return "ZRLE data ends inside a tile";
                    }
                    const uint8_t index = r.data[r.pos++];
                    has_length = (index & 128) != 0;
                    if ((index & 127) >= palette_size) {
                        return "ZRLE palette index beyond the palette";
                    }
                    colour = palette[index & 127];
                }
                int run = 1;
                if (has_length) {
                    uint8_t b;
                    do {
                        if (!r.Has(1)) {
                            return "ZRLE data ends inside a tile";
                        }
                        b = r.data[r.pos++];
                        run += b;
                        if (run > area - done) {
                            return "ZRLE run goes past the end of its tile";
                        }
                    } while (b == 255);
                }
                // Paint the run row piece by row piece.
                done += run;
                while (run > 0) {
                    const int piece = std::min(run, tw - run_x);
                    std::fill(run_out + run_x, run_out + run_x + piece, colour);
                    run -= piece;
                    run_x += piece;
                    if (run_x == tw) {
                        run_x = 0;
                        run_out += fb.stride;
                    }
                }
            }
        }
    }
    // Data left over after the last tile is tolerated: it was inflated, so the stream stays in
    // step, and it draws nothing.
    return nullptr;
}

std::size_t CursorDataSize(int width, int height) {
    return static_cast<std::size_t>(width) * height * 4 +
           static_cast<std::size_t>((width + 7) / 8) * height;
}

Progress DecodeCursor(Cursor& cursor, const Rect& rect, std::span<const uint8_t> in) {
    Progress progress;
    const std::size_t size = CursorDataSize(rect.width, rect.height);
    if (in.size() < size) {
        return progress;
    }
    cursor.width = rect.width;
    cursor.height = rect.height;
    // A hotspot outside the shape is clamped rather than refused: it only moves the drawing.
    cursor.hotspot_x = rect.width > 0 ? std::min(rect.x, rect.width - 1) : 0;
    cursor.hotspot_y = rect.height > 0 ? std::min(rect.y, rect.height - 1) : 0;
    cursor.pixels.assign(static_cast<std::size_t>(rect.width) * rect.height, 0);
    const uint8_t* colours = in.data();
    const uint8_t* mask = in.data() + static_cast<std::size_t>(rect.width) * rect.height * 4;
    const std::size_t mask_row = static_cast<std::size_t>((rect.width + 7) / 8);
    for (int y = 0; y < rect.height; ++y) {
        for (int x = 0; x < rect.width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * rect.width + x;
            if ((mask[y * mask_row + x / 8] >> (7 - x % 8)) & 1) {
                cursor.pixels[i] = Pixel32(colours + i * 4);
            }
        }
    }
    progress.consumed = size;
    progress.done = true;
    return progress;
}

}  // namespace rfb::detail
