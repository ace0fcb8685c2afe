// The rectangle decoders of the RFB client core: each turns one rectangle's wire bytes into
// framebuffer pixels. client_rects.cpp reads rectangle headers and calls these; nothing else does.
//
// Input arrives cut anywhere, so each decoder reports how far it got. Raw and Hextile keep their
// place (row, tile) and take what is complete, so a large rectangle is never parsed twice and
// never buffered whole; ZRLE and Cursor announce their size up front and are decoded once all of
// it is there (within a bound derived from the rectangle). Every count, index and size from the
// server is checked before use; a violation is reported as an error, never read or written
// past a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "rfb/framebuffer.h"

struct z_stream_s;  // zlib's z_stream

namespace rfb::detail {

struct Progress {
    std::size_t consumed = 0;     // input bytes the caller may drop
    bool done = false;            // the rectangle is complete
    const char* error = nullptr;  // set: the data is malformed and the session cannot go on
};

// Our pixel format on the wire: 32 bits little-endian, 0x00RRGGBB; stored with alpha 0xff.
inline uint32_t Pixel32(const uint8_t* p) {
    return 0xff000000u | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// Callers have checked that `rect` lies inside `fb`.
struct RawState {
    int row = 0;
};
Progress DecodeRaw(Framebuffer& fb, const Rect& rect, RawState& state, std::span<const uint8_t> in);

Progress DecodeCopyRect(Framebuffer& fb, const Rect& rect, std::span<const uint8_t> in);

struct HextileState {
    int tile = 0;  // tiles done, row by row
    uint32_t background = 0xff000000u;
    uint32_t foreground = 0xff000000u;
};
Progress DecodeHextile(Framebuffer& fb, const Rect& rect, HextileState& state,
                       std::span<const uint8_t> in);

// One rectangle's inflated bytes (ZRLE, Tight), in a buffer kept across rectangles: it is
// overwritten before it is read, so it is no vector, and growing it need not clear it.
class Inflated {
public:
    enum class Result { kOk, kNotZlib, kTooLong, kTrailing };
    // Inflates the whole of `compressed` through `z` (a stream kept across rectangles), taking no
    // more than `limit` bytes: one byte of room beyond it tells "exactly the limit" from "more".
    Result Inflate(z_stream_s& z, std::span<const uint8_t> compressed, std::size_t limit);
    const uint8_t* data() const { return buffer_.get(); }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<uint8_t[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// ZRLE: one zlib stream runs through the whole connection, so one decoder lives as long as the
// client does.
class ZrleDecoder {
public:
    ZrleDecoder();
    ~ZrleDecoder();
    ZrleDecoder(const ZrleDecoder&) = delete;
    ZrleDecoder& operator=(const ZrleDecoder&) = delete;

    Progress Decode(Framebuffer& fb, const Rect& rect, std::span<const uint8_t> in);

private:
    const char* Inflate(std::span<const uint8_t> compressed, std::size_t limit);
    const char* DecodeTiles(Framebuffer& fb, const Rect& rect) const;

    struct Stream;
    std::unique_ptr<Stream> stream_;
    Inflated inflated_;
};

// The Cursor pseudo-encoding: `rect` gives the hotspot (x, y) and the shape's size.
Progress DecodeCursor(Cursor& cursor, const Rect& rect, std::span<const uint8_t> in);
std::size_t CursorDataSize(int width, int height);

}  // namespace rfb::detail
