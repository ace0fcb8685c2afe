// The Tight rectangle decoder of the RFB client core (client.cpp calls it; see decoders.h for
// Progress and the rules all decoders keep).
//
// A Tight rectangle starts with a control byte: its low four bits reset zlib streams 0-3, its high
// four bits choose fill (one colour), JPEG (via the JpegDecoder seam, jpeg.h) or basic
// compression on one of the four streams with an optional filter (copy, palette, gradient).
// Basic data shorter than 12 bytes comes uncompressed; otherwise a compact length (1-3 bytes, 7
// bits each) precedes it. Colours are 3 bytes R, G, B for our depth-24 format.
//
// Like ZRLE, a rectangle is decoded once all of its bytes are there: its size follows from its
// first few bytes, and lengths are checked against the rectangle before anything is buffered.
// The four zlib streams run through the whole connection, so one decoder lives as long as the
// client does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "rfb/decoders.h"
#include "rfb/framebuffer.h"

namespace rfb {
class JpegDecoder;
}

namespace rfb::detail {

class TightDecoder {
public:
    // `jpeg` may be null (then a JPEG rectangle ends the session); it must outlive the decoder.
    explicit TightDecoder(JpegDecoder* jpeg);
    ~TightDecoder();
    TightDecoder(const TightDecoder&) = delete;
    TightDecoder& operator=(const TightDecoder&) = delete;

    // Callers have checked that `rect` lies inside `fb`.
    Progress Decode(Framebuffer& fb, const Rect& rect, std::span<const uint8_t> in);

private:
    const char* Inflate(int stream, std::span<const uint8_t> compressed, std::size_t size);

    struct Stream;
    JpegDecoder* jpeg_;
    std::array<std::unique_ptr<Stream>, 4> streams_;
    Inflated inflated_;
};

}  // namespace rfb::detail
