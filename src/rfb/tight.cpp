// Tight rectangles: fill, JPEG and basic compression with its copy, palette and gradient filters,
// on four zlib streams that live as long as the connection. See tight.h for the layout; client.cpp
// is the only caller.
#include "rfb/tight.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "rfb/jpeg.h"

namespace rfb::detail {
namespace {

// The control byte's high four bits; up to kMaxBasic is basic compression, whose bits 0-1 name
// the zlib stream and bit 2 says a filter byte follows.
constexpr uint8_t kMaxBasic = 0x7;
constexpr uint8_t kExplicitFilter = 0x4;
constexpr uint8_t kFill = 0x8;
constexpr uint8_t kJpeg = 0x9;

constexpr uint8_t kFilterCopy = 0;
constexpr uint8_t kFilterPalette = 1;
constexpr uint8_t kFilterGradient = 2;

constexpr std::size_t kPixelSize = 3;       // R, G, B
constexpr std::size_t kMinToCompress = 12;  // shorter data is sent as it is
constexpr int kMaxPalette = 256;

inline uint32_t TightPixel(const uint8_t* p) {
    return 0xff000000u | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

// A compact length: 7 bits a byte, low bits first, the third byte whole. Returns the bytes it
// took, or 0 if they have not all arrived.
std::size_t ReadCompactLength(std::span<const uint8_t> in, std::size_t at, std::size_t& length) {
    length = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (in.size() <= at + i) {
            return 0;
        }
        const uint8_t b = in[at + i];
        length |= static_cast<std::size_t>(i == 2 ? b : b & 0x7f) << (7 * i);
        if (i == 2 || (b & 0x80) == 0) {
            return i + 1;
        }
    }
    return 0;
}

// Where one rectangle's parts lie in its wire bytes, read from its first few.
struct Layout {
    uint8_t type = 0;    // the control byte's high bits
    uint8_t resets = 0;  // its low bits: streams to reset before this rectangle
    uint8_t filter = kFilterCopy;
    int palette_size = 0;
    uint32_t palette[kMaxPalette];
    std::size_t data_at = 0;    // the pixel data (compressed, JPEG or as it is) starts here
    std::size_t data_size = 0;  // on the wire
    std::size_t raw_size = 0;   // once inflated
    bool compressed = false;
    bool complete = false;  // all of the rectangle's bytes have arrived
};

// Reads the layout of the rectangle at the start of `in`. Returns a reason if it cannot be valid.
const char* ReadLayout(const Rect& rect, std::span<const uint8_t> in, Layout& layout) {
    if (in.empty()) {
        return nullptr;
    }
    const std::size_t pixels = static_cast<std::size_t>(rect.width) * rect.height;
    layout.type = in[0] >> 4;
    layout.resets = in[0] & 0xf;
    std::size_t at = 1;
    if (layout.type == kFill) {
        layout.data_at = at;
        layout.data_size = kPixelSize;
        layout.complete = in.size() >= at + kPixelSize;
        return nullptr;
    }
    if (layout.type == kJpeg) {
        const std::size_t n = ReadCompactLength(in, at, layout.data_size);
        // A JPEG may be larger than the pixels it holds, but not by this much.
        if (n != 0 && layout.data_size > pixels * 4 + 65536) {
            return "Tight JPEG data is larger than any valid encoding of its rectangle";
        }
        layout.data_at = at + n;
        layout.complete = n != 0 && in.size() - layout.data_at >= layout.data_size;
        return nullptr;
    }
    if (layout.type > kMaxBasic) {
        return "Tight rectangle uses an undefined compression type";
    }
    if (layout.type & kExplicitFilter) {
        if (in.size() <= at) {
            return nullptr;
        }
        layout.filter = in[at++];
    }
    switch (layout.filter) {
        case kFilterCopy:
        case kFilterGradient:
            layout.raw_size = pixels * kPixelSize;
            break;
        case kFilterPalette: {
            if (in.size() <= at) {
                return nullptr;
            }
            layout.palette_size = in[at++] + 1;
            if (in.size() - at < layout.palette_size * kPixelSize) {
                return nullptr;
            }
            for (int i = 0; i < layout.palette_size; ++i, at += kPixelSize) {
                layout.palette[i] = TightPixel(in.data() + at);
            }
            // Two colours take a bit a pixel, each row starting on a byte; more take a byte.
            layout.raw_size = layout.palette_size == 2
                                  ? static_cast<std::size_t>((rect.width + 7) / 8) * rect.height
                                  : pixels;
            break;
        }
        default:
            return "Tight rectangle uses an undefined filter";
    }
    layout.compressed = layout.raw_size >= kMinToCompress;
    layout.data_size = layout.raw_size;
    if (layout.compressed) {
        const std::size_t n = ReadCompactLength(in, at, layout.data_size);
        if (n == 0) {
            return nullptr;
        }
        // zlib adds a few bytes per block and per flush; more than this is not honest, and the
        // bound keeps what we buffer in proportion to the rectangle.
        if (layout.data_size > layout.raw_size + layout.raw_size / 8 + 4096) {
            return "Tight rectangle's data is larger than any valid encoding of it";
        }
        at += n;
    }
    layout.data_at = at;
    layout.complete = in.size() - at >= layout.data_size;
    return nullptr;
}

// Paints a rectangle whose pixel data (inflated, or sent as it is) is all at `data`.
const char* Draw(Framebuffer& fb, const Rect& rect, const Layout& layout, const uint8_t* data) {
    const int w = rect.width;
    if (layout.type == kFill) {
        const uint32_t pixel = TightPixel(data);
        for (int y = 0; w > 0 && y < rect.height; ++y) {
            uint32_t* out = fb.Row(rect.y + y) + rect.x;
            std::fill(out, out + w, pixel);
        }
        return nullptr;
    }
    if (layout.filter == kFilterPalette && layout.palette_size == 2) {
        const std::size_t row_bytes = static_cast<std::size_t>((w + 7) / 8);
        for (int y = 0; y < rect.height; ++y) {
            const uint8_t* p = data + row_bytes * y;
            uint32_t* out = fb.Row(rect.y + y) + rect.x;
            for (int x = 0; x < w; ++x) {
                out[x] = layout.palette[(p[x >> 3] >> (7 - (x & 7))) & 1];
            }
        }
        return nullptr;
    }
    if (layout.filter == kFilterPalette) {
        // Indices at or beyond the palette's size are refused; the unused entries hold a marker
        // no real pixel has (real ones are opaque), checked once per row.
        uint32_t palette[kMaxPalette];
        std::copy_n(layout.palette, layout.palette_size, palette);
        std::fill(palette + layout.palette_size, palette + kMaxPalette, 0u);
        for (int y = 0; y < rect.height; ++y) {
            const uint8_t* p = data + static_cast<std::size_t>(w) * y;
            uint32_t* out = fb.Row(rect.y + y) + rect.x;
            uint32_t seen = 0xffffffffu;
            for (int x = 0; x < w; ++x) {
                seen &= out[x] = palette[p[x]];
            }
            if ((seen >> 24) != 0xff) {
                return "Tight palette index beyond the palette";
            }
        }
        return nullptr;
    }
    if (layout.filter == kFilterCopy) {
        for (int y = 0; y < rect.height; ++y) {
            const uint8_t* p = data + static_cast<std::size_t>(w) * kPixelSize * y;
            uint32_t* out = fb.Row(rect.y + y) + rect.x;
            for (int x = 0; x < w; ++x, p += kPixelSize) {
                out[x] = TightPixel(p);
            }
        }
        return nullptr;
    }
    // Gradient: each channel is sent as its difference from left + above - above-left, clamped
    // to 0..255 (0 outside the rectangle). The row above is already in the framebuffer.
    for (int y = 0; y < rect.height; ++y) {
        const uint8_t* p = data + static_cast<std::size_t>(w) * kPixelSize * y;
        uint32_t* out = fb.Row(rect.y + y) + rect.x;
        const uint32_t* above = y > 0 ? fb.Row(rect.y + y - 1) + rect.x : nullptr;
        int left[3] = {0, 0, 0};
        int above_left[3] = {0, 0, 0};
        for (int x = 0; x < w; ++x, p += kPixelSize) {
            uint32_t pixel = 0xff000000u;
            for (int c = 0; c < 3; ++c) {
                const int shift = 16 - 8 * c;
                const int up = above ? static_cast<int>((above[x] >> shift) & 0xff) : 0;
                const int predicted = std::clamp(left[c] + up - above_left[c], 0, 255);
                left[c] = (predicted + p[c]) & 0xff;
                above_left[c] = up;
                pixel |= static_cast<uint32_t>(left[c]) << shift;
            }
            out[x] = pixel;
        }
    }
    return nullptr;
}

}  // namespace

struct TightDecoder::Stream {
    z_stream z{};
    ~Stream() { inflateEnd(&z); }
};

TightDecoder::TightDecoder(JpegDecoder* jpeg) : jpeg_(jpeg) {}
TightDecoder::~TightDecoder() = default;

Progress TightDecoder::Decode(Framebuffer& fb, const Rect& rect, std::span<const uint8_t> in) {
    Progress progress;
    Layout layout;
    if ((progress.error = ReadLayout(rect, in, layout)) != nullptr || !layout.complete) {
        return progress;
    }
    progress.consumed = layout.data_at + layout.data_size;
    for (int i = 0; i < 4; ++i) {
        if ((layout.resets >> i) & 1 && streams_[i]) {
            inflateReset(&streams_[i]->z);
        }
    }
    const std::span<const uint8_t> data = in.subspan(layout.data_at, layout.data_size);
    if (layout.type == kJpeg) {
        if (rect.width > 0 && rect.height > 0) {
            progress.error = jpeg_ == nullptr
                                 ? "the server sent JPEG, which this viewer did not ask for"
                                 : jpeg_->Decode(data, fb.Row(rect.y) + rect.x, rect.width,
                                                 rect.height, fb.stride);
        }
    } else if (!layout.compressed) {
        progress.error = Draw(fb, rect, layout, data.data());
    } else if ((progress.error = Inflate(layout.type & 3, data, layout.raw_size)) == nullptr) {
        progress.error = Draw(fb, rect, layout, inflated_.data());
    }
    progress.done = progress.error == nullptr;
    return progress;
}

const char* TightDecoder::Inflate(int stream, std::span<const uint8_t> compressed,
                                  std::size_t size) {
    if (!streams_[stream]) {
        auto s = std::make_unique<Stream>();
        if (inflateInit(&s->z) != Z_OK) {
            return "zlib could not be initialised";
        }
        streams_[stream] = std::move(s);
    }
    z_stream& z = streams_[stream]->z;
    switch (inflated_.Inflate(z, compressed, size)) {
        case Inflated::Result::kNotZlib:
            return "Tight data is not a valid zlib stream";
        case Inflated::Result::kTooLong:
            return "Tight data inflates to more than the rectangle holds";
        case Inflated::Result::kTrailing:
            return "Tight data continues after its zlib stream ended";
        case Inflated::Result::kOk:
            break;
    }
    if (inflated_.size() < size) {
        return "Tight data inflates to less than the rectangle holds";
    }
    return nullptr;
}

}  // namespace rfb::detail
