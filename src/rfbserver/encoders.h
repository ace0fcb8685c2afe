// The rectangle encoders of the server core: each appends one rectangle's payload (its header
// is the caller's) for part of the viewer's copy of the screen, in the viewer's pixel format.
// updates.cpp calls them; the benchmark and the tests drive them through the Server.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rfb/framebuffer.h"
#include "rfbserver/pixel_format.h"
#include "rfbserver/tiles.h"

namespace rfbserver::detail {

using Bytes = std::vector<uint8_t>;

void EncodeRaw(const Shadow& screen, const rfb::Rect& rect, const PixelWriter& writer, Bytes& out);

// 16x16 tiles, each solid, two-coloured, in coloured subrectangles or raw, whichever is
// shortest.
void EncodeHextile(const Shadow& screen, const rfb::Rect& rect, const PixelWriter& writer,
                   Bytes& out);

// ZRLE: 64x64 tiles (solid, packed palette, RLE, palette RLE or raw, whichever is shortest)
// through one deflate stream that lives as long as the connection, as the viewer's inflater does.
class ZrleEncoder {
public:
    ZrleEncoder();
    ~ZrleEncoder();
    ZrleEncoder(const ZrleEncoder&) = delete;
    ZrleEncoder& operator=(const ZrleEncoder&) = delete;

    // False if zlib failed (out of memory): the session cannot go on.
    bool Encode(const Shadow& screen, const rfb::Rect& rect, const PixelWriter& writer, Bytes& out);

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    Bytes tiles_;  // uncompressed tile data, reused
};

// The Cursor pseudo-encoding's payload: pixels, then the mask of shown pixels.
void EncodeCursor(const rfb::Cursor& cursor, const PixelWriter& writer, Bytes& out);

}  // namespace rfbserver::detail
