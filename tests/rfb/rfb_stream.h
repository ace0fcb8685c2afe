// What the RFB tests and the decoding benchmark play the server with: builders for server
// messages and straightforward reference encoders (Raw, Hextile, ZRLE via zlib), written apart from
// the core's decoders so a shared misreading of the wire format does not cancel out.
#pragma once

#include <cstdint>
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

// A desktop-like picture: flat background, windows with gradient title bars and text-like
// glyph rows, and a photo-like noisy patch. Same seed, same picture.
Image MakeDesktop(int width, int height, uint32_t seed);

void Put8(Bytes& b, uint32_t v);
void Put16(Bytes& b, uint32_t v);
void Put32(Bytes& b, uint32_t v);
void Append(Bytes& b, std::string_view s);
void Append(Bytes& b, const Bytes& more);

// Server messages.
Bytes ServerInit(int width, int height, std::string_view name);
Bytes UpdateHeader(int rects);
Bytes RectHeader(int x, int y, int width, int height, int32_t encoding);
void PutPixel(Bytes& b, uint32_t pixel);  // 4 bytes, our little-endian format

// The greeting, security None on 3.8, the SecurityResult and ServerInit: everything a server
// sends before its first update when the client allows plain sessions.
Bytes PlainHandshake38(int width, int height, std::string_view name = "test desktop");

// Rectangle payloads (header included) for `area` of `image`.
Bytes EncodeRaw(const Image& image, Area area);
// Hextile: solid tiles as background only, two-colour tiles as foreground subrectangles,
// few-colour tiles as coloured subrectangles (one per horizontal run), the rest raw.
Bytes EncodeHextile(const Image& image, Area area);

// ZRLE keeps one deflate stream for the connection, like a server.
class ZrleEncoder {
public:
    // kBest picks the smallest subencoding per tile, as a server would; kCycle rotates through
    // all subencodings the tile allows, so every decoder path sees use.
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

}  // namespace rfbtest
