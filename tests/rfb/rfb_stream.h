// Server messages and reference encoders (Raw, Hextile, ZRLE via zlib) for the RFB tests and the
// decoding benchmark, written apart from the core's decoders so that misreadings do not cancel out.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rfbtest {

using Bytes = std::vector<uint8_t>;

// Pixels as the core stores them: 0xffRRGGBB.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    uint32_t& At(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

struct Area {
    int x, y, width, height;
};

// A desktop-like picture (flat areas, gradients, glyph rows, a noisy patch); same seed, same
// picture.
Image MakeDesktop(int width, int height, uint32_t seed);

void Put8(Bytes& b, uint32_t v);
void Put16(Bytes& b, uint32_t v);
void Put32(Bytes& b, uint32_t v);
void Append(Bytes& b, std::string_view s);
void Append(Bytes& b, const Bytes& more);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Str(std::string_view s);
// `plain` as one whole zlib stream, as the Extended Clipboard sends text.
Bytes Deflate(const Bytes& plain);
// A reason as servers send one: its length in 4 bytes, then the text.
Bytes Reason(std::string_view reason);

// Server messages.
Bytes ServerInit(int width, int height, std::string_view name);
Bytes UpdateHeader(int rects);
Bytes RectHeader(int x, int y, int width, int height, int32_t encoding);
void PutPixel(Bytes& b, uint32_t pixel);  // 4 bytes, our little-endian format

// Everything a 3.8 server sends before its first update with security None.
Bytes PlainHandshake38(int width, int height, std::string_view name = "test desktop");

// Rectangle payloads (header included) for `area` of `image`.
Bytes EncodeRaw(const Image& image, Area area);
// Hextile: solid, two-colour, coloured subrectangles (one per horizontal run) or raw tiles.
Bytes EncodeHextile(const Image& image, Area area);

// ZRLE keeps one deflate stream for the connection, like a server.
class ZrleEncoder {
public:
    // kBest picks the smallest subencoding per tile; kCycle rotates through all a tile allows.
    enum class Mode { kBest, kCycle };
    explicit ZrleEncoder(Mode mode = Mode::kBest);
    ~ZrleEncoder();
    Bytes Encode(const Image& image, Area area);
    // Compresses arbitrary tile data as the payload of one rectangle (for malformed cases).
    Bytes EncodeRawTileData(Area area, const Bytes& tile_data);

private:
    Bytes Compress(const Bytes& data);
    struct Stream;
    std::unique_ptr<Stream> stream_;
    Mode mode_;
    unsigned next_ = 0;
};

// Tight (rfb_stream_tight.cpp): one colour as fill, otherwise basic compression with `filter`
// (palette falls back to copy beyond 256 colours). Four deflate streams, like a server.
class TightEncoder {
public:
    enum class Filter { kCopy, kExplicitCopy, kPalette, kGradient };
    // `rotate_streams`: each rectangle on the next stream, every fifth one reset first.
    explicit TightEncoder(bool rotate_streams = false);
    ~TightEncoder();
    Bytes Encode(const Image& image, Area area, Filter filter);
    // A JPEG rectangle around `jpeg`.
    static Bytes EncodeJpeg(Area area, const Bytes& jpeg);
    // Basic compression with a given control byte and filter header, `data` compressed on the
    // control byte's stream when 12 bytes or longer (for malformed cases).
    Bytes EncodeBasic(Area area, uint8_t control, const Bytes& header, const Bytes& data);

private:
    struct Streams;
    std::unique_ptr<Streams> streams_;
    bool rotate_;
    unsigned next_ = 0;
};

}  // namespace rfbtest
