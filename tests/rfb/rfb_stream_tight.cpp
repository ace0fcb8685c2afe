// The reference Tight encoder for the RFB tests and benchmark (see rfb_stream.h), written from the
// wire format apart from the core's decoder (src/rfb/tight.cpp).
#include <zlib.h>

#include <algorithm>
#include <array>
#include <map>
#include <stdexcept>

#include "rfb_stream.h"

namespace rfbtest {
namespace {

constexpr int32_t kTight = 7;

void PutCompactLength(Bytes& b, std::size_t n) {
    Put8(b, (n & 0x7f) | (n > 0x7f ? 0x80 : 0));
    if (n > 0x7f) {
        Put8(b, ((n >> 7) & 0x7f) | (n > 0x3fff ? 0x80 : 0));
        if (n > 0x3fff) {
            Put8(b, n >> 14);
        }
    }
}

void PutTightPixel(Bytes& b, uint32_t pixel) {
    Put8(b, pixel >> 16);
    Put8(b, pixel >> 8);
    Put8(b, pixel);
}

uint32_t Channel(uint32_t pixel, int c) {
    return (pixel >> (16 - 8 * c)) & 0xff;
}

}  // namespace

struct TightEncoder::Streams {
    std::array<z_stream, 4> z{};
    Streams() {
        for (z_stream& s : z) {
            if (deflateInit(&s, 6) != Z_OK) {
                throw std::runtime_error("deflateInit");
            }
        }
    }
    ~Streams() {
        for (z_stream& s : z) {
            deflateEnd(&s);
        }
    }
    Bytes Compress(int stream, const Bytes& data) {
        z_stream& s = z[stream];
        Bytes out(deflateBound(&s, data.size()) + 64);
        s.next_in = const_cast<Bytef*>(data.data());
        s.avail_in = static_cast<uInt>(data.size());
        s.next_out = out.data();
        s.avail_out = static_cast<uInt>(out.size());
        if (deflate(&s, Z_SYNC_FLUSH) != Z_OK || s.avail_in != 0) {
            throw std::runtime_error("deflate");
        }
        out.resize(out.size() - s.avail_out);
        return out;
    }
};

TightEncoder::TightEncoder(bool rotate_streams)
    : streams_(std::make_unique<Streams>()), rotate_(rotate_streams) {}
TightEncoder::~TightEncoder() = default;

Bytes TightEncoder::EncodeBasic(Area a, uint8_t control, const Bytes& header, const Bytes& data) {
    Bytes b = RectHeader(a.x, a.y, a.width, a.height, kTight);
    Put8(b, control);
    Append(b, header);
    if (data.size() < 12) {
        Append(b, data);
        return b;
    }
    const int stream = (control >> 4) & 3;
    for (int i = 0; i < 4; ++i) {
        if ((control >> i) & 1) {
            deflateReset(&streams_->z[i]);
        }
    }
    const Bytes compressed = streams_->Compress(stream, data);
    PutCompactLength(b, compressed.size());
    Append(b, compressed);
    return b;
}

Bytes TightEncoder::EncodeJpeg(Area a, const Bytes& jpeg) {
    Bytes b = RectHeader(a.x, a.y, a.width, a.height, kTight);
    Put8(b, 0x90);
    PutCompactLength(b, jpeg.size());
    Append(b, jpeg);
    return b;
}

Bytes TightEncoder::Encode(const Image& image, Area a, Filter filter) {
    std::map<uint32_t, int> colours;
    for (int y = a.y; y < a.y + a.height && colours.size() <= 256; ++y) {
        for (int x = a.x; x < a.x + a.width; ++x) {
            colours.emplace(image.At(x, y), 0);
        }
    }
    if (colours.size() == 1) {
        Bytes b = RectHeader(a.x, a.y, a.width, a.height, kTight);
        Put8(b, 0x80);
        PutTightPixel(b, colours.begin()->first);
        return b;
    }
    const int stream = rotate_ ? static_cast<int>(next_ % 4) : 0;
    const uint8_t reset = rotate_ && next_ % 5 == 4 ? static_cast<uint8_t>(1 << stream) : 0;
    ++next_;
    const bool palette = filter == Filter::kPalette && colours.size() <= 256;
    Bytes header, data;
    uint8_t control = static_cast<uint8_t>(stream << 4 | reset | 0x40);
    if (palette) {
        Put8(header, 1);
        Put8(header, static_cast<uint32_t>(colours.size() - 1));
        int index = 0;
        for (auto& [colour, i] : colours) {
            i = index++;
            PutTightPixel(header, colour);
        }
        const bool bits = colours.size() == 2;
        for (int y = a.y; y < a.y + a.height; ++y) {
            uint8_t byte = 0;
            for (int x = 0; x < a.width; ++x) {
                const int i = colours[image.At(a.x + x, y)];
                if (!bits) {
                    Put8(data, static_cast<uint32_t>(i));
                    continue;
                }
                byte = static_cast<uint8_t>(byte | i << (7 - x % 8));
                if (x % 8 == 7 || x == a.width - 1) {
                    Put8(data, byte);
                    byte = 0;
                }
            }
        }
    } else if (filter == Filter::kGradient) {
        Put8(header, 2);
        for (int y = a.y; y < a.y + a.height; ++y) {
            for (int x = a.x; x < a.x + a.width; ++x) {
                for (int c = 0; c < 3; ++c) {
                    const int left = x > a.x ? Channel(image.At(x - 1, y), c) : 0;
                    const int up = y > a.y ? Channel(image.At(x, y - 1), c) : 0;
                    const int corner = x > a.x && y > a.y ? Channel(image.At(x - 1, y - 1), c) : 0;
                    const int predicted = std::clamp(left + up - corner, 0, 255);
                    Put8(data, (Channel(image.At(x, y), c) - predicted) & 0xff);
                }
            }
        }
    } else {
        if (filter == Filter::kCopy) {
            control &= ~0x40;
        } else {
            Put8(header, 0);
        }
        for (int y = a.y; y < a.y + a.height; ++y) {
            for (int x = a.x; x < a.x + a.width; ++x) {
                PutTightPixel(data, image.At(x, y));
            }
        }
    }
    return EncodeBasic(a, control, header, data);
}

}  // namespace rfbtest
