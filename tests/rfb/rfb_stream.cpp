// Reference encoders and message builders for the RFB tests and benchmark; see rfb_stream.h.
#include "rfb_stream.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

namespace rfbtest {

namespace {
uint32_t Next(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}
uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) {
    return 0xff000000u | ((r & 255) << 16) | ((g & 255) << 8) | (b & 255);
}
}  // namespace

Image MakeDesktop(int width, int height, uint32_t seed) {
    Image img{width, height, std::vector<uint32_t>(static_cast<std::size_t>(width) * height)};
    uint32_t s = seed;
    std::fill(img.pixels.begin(), img.pixels.end(), Rgb(0x20, 0x60 + (seed & 31), 0x90));
    const int windows = 3 + static_cast<int>(Next(s) % 3);
    for (int w = 0; w < windows; ++w) {
        const int ww = width / 3 + static_cast<int>(Next(s) % (width / 3 + 1));
        const int wh = height / 3 + static_cast<int>(Next(s) % (height / 3 + 1));
        const int wx = static_cast<int>(Next(s) % static_cast<uint32_t>(width - ww + 1));
        const int wy = static_cast<int>(Next(s) % static_cast<uint32_t>(height - wh + 1));
        for (int y = wy; y < wy + wh; ++y) {
            for (int x = wx; x < wx + ww; ++x) {
                const int dy = y - wy;
                uint32_t& p = img.At(x, y) = Rgb(255, 255, 255);
                if (dy < 20) {  // title bar: a gradient, many colours
                    p = Rgb(40 + (x - wx) * 150 / ww, 60, 160 + dy * 3);
                } else if (dy % 14 < 10 && (x - wx) % 60 < 52 && (x - wx) > 6) {
                    // a row of glyphs: dark pixels on white, some anti-aliased greys
                    const uint32_t r = Next(s) % 8;
                    p = r < 5 ? Rgb(255, 255, 255) : r < 7 ? Rgb(0, 0, 0) : Rgb(128, 128, 128);
                }
            }
        }
    }
    // A photo-like patch: every pixel its own colour.
    const int pw = width / 4, ph = height / 4;
    for (int y = 0; y < ph; ++y) {
        for (int x = 0; x < pw; ++x) {
            img.At(width - pw + x, y) = Rgb(x * 3 + Next(s) % 16, y * 2 + Next(s) % 16, Next(s));
        }
    }
    return img;
}

void Put8(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
}
void Put16(Bytes& b, uint32_t v) {
    Put8(b, v >> 8);
    Put8(b, v);
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v >> 16);
    Put16(b, v);
}
void Append(Bytes& b, std::string_view s) {
    b.insert(b.end(), s.begin(), s.end());
}
void Append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}
Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) {
        Append(b, p);
    }
    return b;
}
Bytes Str(std::string_view s) {
    return Bytes(s.begin(), s.end());
}
Bytes Deflate(const Bytes& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(size);
    if (compress(out.data(), &size, plain.data(), static_cast<uLong>(plain.size())) != Z_OK) {
        throw std::runtime_error("compress");
    }
    out.resize(size);
    return out;
}
Bytes Reason(std::string_view reason) {
    Bytes b;
    Put32(b, static_cast<uint32_t>(reason.size()));
    Append(b, reason);
    return b;
}

// ZRLE's compressed pixel: the first three bytes of ours.
static void PutCpixel(Bytes& b, uint32_t p) {
    Put8(b, p);
    Put8(b, p >> 8);
    Put8(b, p >> 16);
}

void PutPixel(Bytes& b, uint32_t p) {
    PutCpixel(b, p);
    Put8(b, 0);
}

Bytes ServerInit(int width, int height, std::string_view name) {
    Bytes b;
    Put16(b, static_cast<uint32_t>(width));
    Put16(b, static_cast<uint32_t>(height));
    // The server's own format (the client replaces it): 32 bpp, depth 24, true colour.
    Append(b, Bytes{32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    Put32(b, static_cast<uint32_t>(name.size()));
    Append(b, name);
    return b;
}

Bytes UpdateHeader(int rects) {
    Bytes b{0, 0};
    Put16(b, static_cast<uint32_t>(rects));
    return b;
}

Bytes RectHeader(int x, int y, int width, int height, int32_t encoding) {
    Bytes b;
    for (int v : {x, y, width, height}) {
        Put16(b, static_cast<uint32_t>(v));
    }
    Put32(b, static_cast<uint32_t>(encoding));
    return b;
}

Bytes PlainHandshake38(int width, int height, std::string_view name) {
    // Not appended to an empty vector: GCC 12 at -O3 warns wrongly (stringop-overflow) about it.
    const std::string_view greeting = "RFB 003.008\n";
    Bytes b(greeting.begin(), greeting.end());
    Append(b, Bytes{1, 1});  // one type: None
    Put32(b, 0);             // SecurityResult OK
    Append(b, ServerInit(width, height, name));
    return b;
}

Bytes EncodeRaw(const Image& image, Area a) {
    Bytes b = RectHeader(a.x, a.y, a.width, a.height, 0);
    for (int y = a.y; y < a.y + a.height; ++y) {
        for (int x = a.x; x < a.x + a.width; ++x) {
            PutPixel(b, image.At(x, y));
        }
    }
    return b;
}

Bytes EncodeHextile(const Image& image, Area a) {
    Bytes b = RectHeader(a.x, a.y, a.width, a.height, 5);
    // Background and foreground are left out when the previous tile set the same, as servers
    // do; after a raw tile neither is known.
    std::optional<uint32_t> last_bg, last_fg;
    for (int ty = a.y; ty < a.y + a.height; ty += 16) {
        for (int tx = a.x; tx < a.x + a.width; tx += 16) {
            const int tw = std::min(16, a.x + a.width - tx);
            const int th = std::min(16, a.y + a.height - ty);
            std::map<uint32_t, int> counts;
            for (int y = ty; y < ty + th; ++y) {
                for (int x = tx; x < tx + tw; ++x) {
                    ++counts[image.At(x, y)];
                }
            }
            const uint32_t bg =
                std::max_element(counts.begin(), counts.end(), [](auto& l, auto& r) {
                    return l.second < r.second;
                })->first;
            // Horizontal runs of non-background pixels, one subrectangle each.
            struct Run {
                int x, y, w;
                uint32_t c;
            };
            std::vector<Run> runs;
            for (int y = 0; y < th; ++y) {
                for (int x = 0; x < tw;) {
                    const uint32_t c = image.At(tx + x, ty + y);
                    int e = x + 1;
                    while (e < tw && image.At(tx + e, ty + y) == c) {
                        ++e;
                    }
                    if (c != bg) {
                        runs.push_back({x, y, e - x, c});
                    }
                    x = e;
                }
            }
            // Solid; two colours (subrectangles in the foreground); a few colours (coloured
            // subrectangles) while that is smaller than raw; else raw.
            const bool two = counts.size() == 2;
            if (counts.size() > 1 &&
                (runs.size() > 255 ||
                 (!two && runs.size() * 6 >= static_cast<std::size_t>(tw * th) * 4))) {
                last_bg = last_fg = std::nullopt;
                const Bytes raw = EncodeRaw(image, {tx, ty, tw, th});
                Put8(b, 1);
                b.insert(b.end(), raw.begin() + 12, raw.end());  // without its rectangle header
                continue;
            }
            uint8_t flags = counts.size() == 1 ? 0 : two ? 8 : 8 | 16;
            Bytes body;
            if (std::exchange(last_bg, bg) != bg) {
                flags |= 2;
                PutPixel(body, bg);
            }
            if (two && std::exchange(last_fg, runs[0].c) != runs[0].c) {
                flags |= 4;
                PutPixel(body, runs[0].c);
            }
            Put8(b, flags);
            Append(b, body);
            if (counts.size() > 1) {
                Put8(b, static_cast<uint32_t>(runs.size()));
                if (!two) {
                    // Decoders differ on the foreground after coloured subrectangles (some
                    // keep the last one read): servers name it again, and so does this.
                    last_fg = std::nullopt;
                }
                for (const Run& r : runs) {
                    if (!two) {
                        PutPixel(b, r.c);
                    }
                    Put8(b, static_cast<uint32_t>(r.x << 4 | r.y));
                    Put8(b, static_cast<uint32_t>((r.w - 1) << 4));
                }
            }
        }
    }
    return b;
}

struct ZrleEncoder::Stream {
    z_stream z{};
    Stream() {
        if (deflateInit(&z, 6) != Z_OK) {
            throw std::runtime_error("deflateInit");
        }
    }
    ~Stream() { deflateEnd(&z); }
};

ZrleEncoder::ZrleEncoder(Mode mode) : stream_(std::make_unique<Stream>()), mode_(mode) {}
ZrleEncoder::~ZrleEncoder() = default;

Bytes ZrleEncoder::Compress(const Bytes& data) {
    z_stream& z = stream_->z;
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_SYNC_FLUSH) != Z_OK || z.avail_in != 0) {
        throw std::runtime_error("deflate");
    }
    out.resize(out.size() - z.avail_out);
    return out;
}

Bytes ZrleEncoder::EncodeRawTileData(Area a, const Bytes& tile_data) {
    Bytes b = RectHeader(a.x, a.y, a.width, a.height, 16);
    const Bytes compressed = Compress(tile_data);
    Put32(b, static_cast<uint32_t>(compressed.size()));
    Append(b, compressed);
    return b;
}

Bytes ZrleEncoder::Encode(const Image& image, Area a) {
    enum Sub { kRaw, kSolid, kPacked, kPlainRle, kPaletteRle };
    Bytes data;
    for (int ty = a.y; ty < a.y + a.height; ty += 64) {
        for (int tx = a.x; tx < a.x + a.width; tx += 64) {
            const int tw = std::min(64, a.x + a.width - tx);
            const int th = std::min(64, a.y + a.height - ty);
            std::vector<uint32_t> px;
            for (int y = ty; y < ty + th; ++y) {
                for (int x = tx; x < tx + tw; ++x) {
                    px.push_back(image.At(x, y));
                }
            }
            std::vector<uint32_t> palette;  // up to 128 colours, as they come
            std::vector<std::pair<uint32_t, int>> runs;
            for (uint32_t p : px) {
                if (palette.size() <= 127 &&
                    std::find(palette.begin(), palette.end(), p) == palette.end()) {
                    palette.push_back(p);
                }
                if (!runs.empty() && runs.back().first == p) {
                    ++runs.back().second;
                } else {
                    runs.push_back({p, 1});
                }
            }
            std::vector<Sub> allowed{kRaw, kPlainRle};
            if (palette.size() == 1) {
                allowed.push_back(kSolid);
            }
            if (palette.size() >= 2 && palette.size() <= 16) {
                allowed.push_back(kPacked);
            }
            if (palette.size() >= 2 && palette.size() <= 127) {
                allowed.push_back(kPaletteRle);
            }
            const std::size_t colours = palette.size(), size = px.size(), r = runs.size();
            const Sub sub = mode_ == Mode::kCycle               ? allowed[next_++ % allowed.size()]
                            : colours == 1                      ? kSolid
                            : colours <= 16 && r * 2 > size / 2 ? kPacked
                            : colours <= 127 && r * 2 < size    ? kPaletteRle
                            : r * 5 < size * 3                  ? kPlainRle
                                                                : kRaw;
            auto index = [&](uint32_t p) {
                return static_cast<uint32_t>(std::find(palette.begin(), palette.end(), p) -
                                             palette.begin());
            };
            auto put_run = [&](int n) {
                for (n -= 1; n >= 255; n -= 255) {
                    Put8(data, 255);
                }
                Put8(data, static_cast<uint32_t>(n));
            };
            // The subencoding byte, the palette where there is one, then the pixels.
            const uint32_t kinds[] = {0, 1, static_cast<uint32_t>(colours), 128,
                                      128 + static_cast<uint32_t>(colours)};
            Put8(data, kinds[sub]);
            for (uint32_t p : palette) {
                if (sub == kPacked || sub == kPaletteRle) {
                    PutCpixel(data, p);
                }
            }
            if (sub == kRaw || sub == kSolid) {
                for (std::size_t i = 0; i < (sub == kRaw ? px.size() : 1); ++i) {
                    PutCpixel(data, px[i]);
                }
            } else if (sub == kPacked) {
                const int bits = colours == 2 ? 1 : colours <= 4 ? 2 : 4;
                for (int y = 0; y < th; ++y) {
                    uint32_t byte = 0;
                    int used = 0;
                    for (int x = 0; x < tw; ++x) {
                        byte = (byte << bits) | index(px[static_cast<std::size_t>(y) * tw + x]);
                        if ((used += bits) == 8) {
                            Put8(data, byte);
                            byte = used = 0;
                        }
                    }
                    if (used) {
                        Put8(data, byte << (8 - used));
                    }
                }
            } else {
                for (const auto& [p, n] : runs) {
                    if (sub == kPlainRle) {
                        PutCpixel(data, p);
                    } else {
                        Put8(data, index(p) | (n > 1 ? 128 : 0));
                    }
                    if (sub == kPlainRle || n > 1) {
                        put_run(n);
                    }
                }
            }
        }
    }
    return EncodeRawTileData(a, data);
}

}  // namespace rfbtest
