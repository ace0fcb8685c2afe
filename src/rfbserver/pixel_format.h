// The viewer's pixel format as the server core writes pixels in it: SetPixelFormat is parsed and
// checked here (handshake.cpp and messages.cpp), and every encoder turns the screen's 0x00RRGGBB
// pixels into the viewer's bytes through a PixelWriter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rfbserver::detail {

struct PixelFormat {
    int bits_per_pixel = 32;
    int depth = 24;
    bool big_endian = false;
    bool true_colour = true;
    uint16_t red_max = 255;
    uint16_t green_max = 255;
    uint16_t blue_max = 255;
    uint8_t red_shift = 16;
    uint8_t green_shift = 8;
    uint8_t blue_shift = 0;
};

inline constexpr std::size_t kPixelFormatSize = 16;

// Reads the 16 wire bytes at `p`; on a format the core cannot serve, returns why and leaves
// `out` alone.
const char* ParsePixelFormat(const uint8_t* p, PixelFormat& out);
void WritePixelFormat(const PixelFormat& format, std::vector<uint8_t>& out);

// Converts 0x00RRGGBB (the top byte ignored) to the viewer's pixels: each channel is scaled to
// its maximum through a table, so any shifts and depths cost the same three lookups.
class PixelWriter {
public:
    explicit PixelWriter(const PixelFormat& format);

    // Bytes per pixel on the wire.
    std::size_t size() const { return size_; }
    // ZRLE's compressed pixel: 3 bytes when 32-bit pixels use only three of their bytes.
    std::size_t cpixel_size() const { return cpixel_size_; }

    uint32_t Value(uint32_t rgb) const {
        return red_[(rgb >> 16) & 0xff] | green_[(rgb >> 8) & 0xff] | blue_[rgb & 0xff];
    }
    // Writes size() bytes; returns the position after them.
    uint8_t* Put(uint32_t rgb, uint8_t* out) const { return PutBytes(Value(rgb), out, size_); }
    // Writes cpixel_size() bytes.
    uint8_t* PutCompressed(uint32_t rgb, uint8_t* out) const;

private:
    uint8_t* PutBytes(uint32_t value, uint8_t* out, std::size_t n) const;

    std::array<uint32_t, 256> red_{};
    std::array<uint32_t, 256> green_{};
    std::array<uint32_t, 256> blue_{};
    std::size_t size_ = 4;
    std::size_t cpixel_size_ = 4;
    bool big_endian_ = false;
    int cpixel_skip_ = -1;  // the wire byte ZRLE leaves out of a 32-bit pixel, or -1
};

}  // namespace rfbserver::detail
