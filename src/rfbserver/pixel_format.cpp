// SetPixelFormat's 16 bytes and the conversion of screen pixels to the viewer's format; see
// pixel_format.h.
#include "rfbserver/pixel_format.h"

#include "rfb/bytes.h"

namespace rfbserver::detail {
namespace {

using rfb::U16;

bool IsChannelMax(uint16_t max) {
    return max != 0 && (max & (max + 1u)) == 0;  // 2^n - 1
}

uint32_t ChannelBits(uint16_t max, uint8_t shift) {
    return uint32_t{max} << shift;
}

}  // namespace

const char* ParsePixelFormat(const uint8_t* p, PixelFormat& out) {
    PixelFormat f;
    f.bits_per_pixel = p[0];
    f.depth = p[1];
    f.big_endian = p[2] != 0;
    f.true_colour = p[3] != 0;
    f.red_max = U16(p + 4);
    f.green_max = U16(p + 6);
    f.blue_max = U16(p + 8);
    f.red_shift = p[10];
    f.green_shift = p[11];
    f.blue_shift = p[12];
    if (!f.true_colour) {
        return "the viewer asked for a colour-mapped pixel format, which this server does not "
               "offer";
    }
    if (f.bits_per_pixel != 8 && f.bits_per_pixel != 16 && f.bits_per_pixel != 32) {
        return "the viewer asked for a pixel format of unsupported size";
    }
    // Every channel must be a run of bits inside the pixel.
    const uint8_t shifts[] = {f.red_shift, f.green_shift, f.blue_shift};
    const uint16_t maxes[] = {f.red_max, f.green_max, f.blue_max};
    for (int i = 0; i < 3; ++i) {
        if (!IsChannelMax(maxes[i]) || shifts[i] >= f.bits_per_pixel ||
            ((uint64_t{maxes[i]} << shifts[i]) >> f.bits_per_pixel) != 0) {
            return "the viewer asked for a pixel format whose colours do not fit its pixels";
        }
    }
    out = f;
    return nullptr;
}

void WritePixelFormat(const PixelFormat& f, std::vector<uint8_t>& out) {
    out.insert(
        out.end(),
        {static_cast<uint8_t>(f.bits_per_pixel), static_cast<uint8_t>(f.depth),
         static_cast<uint8_t>(f.big_endian ? 1 : 0), static_cast<uint8_t>(f.true_colour ? 1 : 0),
         static_cast<uint8_t>(f.red_max >> 8), static_cast<uint8_t>(f.red_max),
         static_cast<uint8_t>(f.green_max >> 8), static_cast<uint8_t>(f.green_max),
         static_cast<uint8_t>(f.blue_max >> 8), static_cast<uint8_t>(f.blue_max), f.red_shift,
         f.green_shift, f.blue_shift, 0, 0, 0});
}

PixelWriter::PixelWriter(const PixelFormat& f)
    : size_(static_cast<std::size_t>(f.bits_per_pixel / 8)), big_endian_(f.big_endian) {
    for (uint32_t v = 0; v < 256; ++v) {
        // Rounded to the nearest step of the channel's range.
        red_[v] = ((v * f.red_max + 127) / 255) << f.red_shift;
        green_[v] = ((v * f.green_max + 127) / 255) << f.green_shift;
        blue_[v] = ((v * f.blue_max + 127) / 255) << f.blue_shift;
    }
    cpixel_size_ = size_;
    if (size_ == 4 && f.depth <= 24) {
        const uint32_t used = ChannelBits(f.red_max, f.red_shift) |
                              ChannelBits(f.green_max, f.green_shift) |
                              ChannelBits(f.blue_max, f.blue_shift);
        // The unused byte, counted in wire order.
        if ((used & 0xff000000u) == 0) {
            cpixel_size_ = 3;
            cpixel_skip_ = big_endian_ ? 0 : 3;
        } else if ((used & 0x000000ffu) == 0) {
            cpixel_size_ = 3;
            cpixel_skip_ = big_endian_ ? 3 : 0;
        }
    }
}

uint8_t* PixelWriter::PutBytes(uint32_t value, uint8_t* out, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t byte = big_endian_ ? n - 1 - i : i;
        out[i] = static_cast<uint8_t>(value >> (8 * byte));
    }
    return out + n;
}

uint8_t* PixelWriter::PutCompressed(uint32_t rgb, uint8_t* out) const {
    if (cpixel_skip_ < 0) {
        return Put(rgb, out);
    }
    uint8_t full[4];
    PutBytes(Value(rgb), full, 4);
    for (int i = 0; i < 4; ++i) {
        if (i != cpixel_skip_) {
            *out++ = full[i];
        }
    }
    return out;
}

}  // namespace rfbserver::detail
