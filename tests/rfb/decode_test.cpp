// Framebuffer updates from scripted servers: each encoding pixel-exact against the picture the
// reference encoder was given, the same result however the stream is cut, and malformed input
// ending the session with a reason instead of a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "rfb_test_util.h"

namespace {

using namespace rfbtest;

constexpr int kWidth = 200;  // not a multiple of the 16- and 64-pixel tiles
constexpr int kHeight = 130;

// A client past the handshake that decodes JPEG, with its set-up output discarded.
std::unique_ptr<rfb::Client> Connected(int width = kWidth, int height = kHeight) {
    rfb::Options options;
    options.jpeg = rfb::MakeJpegDecoder();
    return rfbtest::Connected(width, height, std::move(options));
}

// The whole first picture, then the second in rectangles that cut tiles (edges, a 1x1, the middle).
Bytes TwoUpdates(const Image& first, const Image& second,
                 const std::function<Bytes(const Image&, Area)>& encode) {
    Bytes b = UpdateHeader(1);
    Append(b, encode(first, {0, 0, kWidth, kHeight}));
    const Area parts[] = {{0, 0, kWidth, 17},
                          {0, 17, 70, kHeight - 17},
                          {70, 17, 1, 1},
                          {70, 18, kWidth - 70, kHeight - 18},
                          {71, 17, kWidth - 71, 1}};
    Append(b, UpdateHeader(5));
    for (const Area& a : parts) {
        Append(b, encode(second, a));
    }
    return b;
}

const Bytes kIncrementalRequest = {3, 1, 0, 0, 0, 0, 0, kWidth, 0, kHeight};

// The picture with only the colour bits `mask` keeps.
Image Posterised(Image image, uint32_t mask) {
    for (uint32_t& p : image.pixels) {
        p &= mask;
    }
    return image;
}

TEST(RfbDecode, EachEncodingIsPixelExact) {
    ZrleEncoder zrle_best(ZrleEncoder::Mode::kBest);
    ZrleEncoder zrle_cycle(ZrleEncoder::Mode::kCycle);
    using Filter = TightEncoder::Filter;
    TightEncoder tight_copy, tight_gradient, tight_rotating(true), tight_palette2, tight_palette;
    struct Case {
        const char* name;
        std::function<Bytes(const Image&, Area)> encode;
        uint32_t mask = 0xffffffffu;  // colours kept in the pictures
    };
    const Case cases[] = {
        {"raw", EncodeRaw},
        {"hextile", EncodeHextile},
        {"zrle", [&](const Image& i, Area a) { return zrle_best.Encode(i, a); }},
        {"zrle, every subencoding",
         [&](const Image& i, Area a) { return zrle_cycle.Encode(i, a); }},
        // Tight sends the 1x1 rectangle as a fill, and data under 12 bytes uncompressed.
        {"tight, copy",
         [&](const Image& i, Area a) { return tight_copy.Encode(i, a, Filter::kCopy); }},
        {"tight, gradient",
         [&](const Image& i, Area a) { return tight_gradient.Encode(i, a, Filter::kGradient); }},
        {"tight, four streams and their resets",
         [&](const Image& i, Area a) {
             return tight_rotating.Encode(i, a, Filter::kExplicitCopy);
         }},
        {"tight, palette of 2",
         [&](const Image& i, Area a) { return tight_palette2.Encode(i, a, Filter::kPalette); },
         0xff800000u},
        {"tight, palette of up to 256",
         [&](const Image& i, Area a) { return tight_palette.Encode(i, a, Filter::kPalette); },
         0xffc0c0c0u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Image first = Posterised(MakeDesktop(kWidth, kHeight, 1), c.mask);
        const Image second = Posterised(MakeDesktop(kWidth, kHeight, 2), c.mask);
        auto client = Connected();  // however a stream is cut: SameResultHoweverTheStreamIsCut
        client->Receive(TwoUpdates(first, second, c.encode));
        const auto events = Events(*client);
        ASSERT_EQ(FailureOf(events), "");
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(std::get<rfb::event::FramebufferUpdated>(events[0]).rects,
                  (std::vector<rfb::Rect>{{0, 0, kWidth, kHeight}}));
        EXPECT_EQ(std::get<rfb::event::FramebufferUpdated>(events[1]).rects.size(), 5u);
        EXPECT_EQ(Mismatch(*client, second), "");
        // Each update's header is answered with an incremental request for the whole desktop,
        // and the first update's end with a second one.
        EXPECT_EQ(client->TakeOutput(),
                  Concat({kIncrementalRequest, kIncrementalRequest, kIncrementalRequest}));
    }
}

TEST(RfbDecode, CopyRectMovesInEveryDirectionWithOverlap) {
    const Image start = MakeDesktop(kWidth, kHeight, 3);
    struct Move {
        Area dst;
        int src_x, src_y;
    };
    const Move moves[] = {{{10, 20, 100, 60}, 15, 25},   // up-left, overlapping
                          {{15, 25, 100, 60}, 10, 20}};  // down-right, overlapping
    auto client = Connected();
    client->Receive(UpdateHeader(1));
    client->Receive(EncodeRaw(start, {0, 0, kWidth, kHeight}));
    Image expect = start;
    for (const Move& m : moves) {
        const Image before = expect;
        for (int y = 0; y < m.dst.height; ++y) {
            for (int x = 0; x < m.dst.width; ++x) {
                expect.At(m.dst.x + x, m.dst.y + y) = before.At(m.src_x + x, m.src_y + y);
            }
        }
        Bytes b =
            Concat({UpdateHeader(1), RectHeader(m.dst.x, m.dst.y, m.dst.width, m.dst.height, 1)});
        Put16(b, static_cast<uint32_t>(m.src_x));
        Put16(b, static_cast<uint32_t>(m.src_y));
        client->Receive(b);
    }
    EXPECT_EQ(FailureOf(Events(*client)), "");
    EXPECT_EQ(Mismatch(*client, expect), "");
}

// A Hextile tile that leaves out its foreground paints with the colour read last, also when
// that was a coloured subrectangle's: a two-colour tile (foreground red), a coloured one (its
// last subrectangle blue), then a two-colour tile without a foreground.
TEST(RfbDecode, HextileForegroundIsTheColourReadLast) {
    const Bytes red = {0, 0, 0xff, 0}, blue = {0xff, 0, 0, 0}, white = {0xff, 0xff, 0xff, 0};
    auto client = Connected(48, 16);
    client->Receive(Concat({UpdateHeader(1), RectHeader(0, 0, 48, 16, 5),
                            Concat({{2 | 4 | 8}, white, red, {1, 0x00, 0x00}}),
                            Concat({{8 | 16, 2}, red, {0x11, 0x00}, blue, {0x22, 0x00}}),
                            Concat({{8, 1, 0x33, 0x00}})}));
    EXPECT_EQ(FailureOf(Events(*client)), "");
    const rfb::Framebuffer& fb = client->framebuffer();
    EXPECT_EQ(fb.pixels[0], 0xffff0000u);                // tile 1: red
    EXPECT_EQ(fb.pixels[48 * 2 + 16 + 2], 0xff0000ffu);  // tile 2: blue
    EXPECT_EQ(fb.pixels[48 * 3 + 32 + 3], 0xff0000ffu);  // tile 3: the blue read last
}

// A session's worth of server messages: every encoding, the cursor, a resize, a bell,
// clipboard text (Latin-1 and UTF-8 kept, one too large), colour map entries.
Bytes MixedStream() {
    const Image a = MakeDesktop(kWidth, kHeight, 4);
    ZrleEncoder zrle(ZrleEncoder::Mode::kCycle);
    // The last rectangle is the cursor, hotspot 2,1.
    Bytes b = Concat({PlainHandshake38(kWidth, kHeight), UpdateHeader(4),
                      zrle.Encode(a, {0, 0, kWidth, kHeight}), EncodeHextile(a, {3, 5, 100, 70}),
                      EncodeRaw(a, {150, 100, 50, 30}), RectHeader(2, 1, 9, 3, -239)});
    for (int i = 0; i < 27; ++i) {
        PutPixel(b, 0xff000000u | static_cast<uint32_t>(i * 0x010203));
    }
    Append(b, Bytes{0xaa, 0x80, 0x55, 0x00, 0xff, 0x80});  // mask rows of 2 bytes
    // An update of uncounted Tight rectangles that LastRect ends; 11 bytes of indices are sent
    // as they are, 12 of pixels compressed.
    TightEncoder tight;
    Append(b, Concat({UpdateHeader(0xffff),
                      tight.EncodeBasic({0, 0, 11, 1}, 0x40, {1, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                                        {0, 1, 2, 2, 1, 0, 0, 1, 2, 0, 1}),
                      tight.EncodeBasic({0, 1, 4, 1}, 0x00, {}, Bytes(12, 0x42)),
                      tight.Encode(a, {0, 0, 90, 60}, TightEncoder::Filter::kGradient),
                      tight.Encode(Posterised(a, 0xffc0c0c0u), {90, 60, 40, 30},
                                   TightEncoder::Filter::kPalette),
                      RectHeader(0, 0, 0, 0, -224)}));
    Append(b, Bytes{2});  // bell
    Append(b, Bytes{3, 0, 0, 0, 0, 0, 0, 4, 'c', 'a', 'f', 0xe9});
    Append(b, Bytes{3, 0, 0, 0, 0, 0, 0, 6, 0xed, 0x95, 0x9c, 0xea, 0xb8, 0x80});  // UTF-8 bytes
    Append(b, Bytes{3, 0, 0, 0, 0, 0, 0x03, 0xe9});  // one byte over the cap
    Append(b, Bytes(1001, 'x'));
    Append(b, Bytes{1, 0, 0, 0, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    // The resize's update draws in two rectangles and is reported as one, the whole desktop.
    const Image small = MakeDesktop(120, 90, 5);
    Append(b, UpdateHeader(3));
    Append(b, RectHeader(0, 0, 120, 90, -223));
    Append(b, zrle.Encode(small, {0, 0, 120, 45}));
    Append(b, zrle.Encode(small, {0, 45, 120, 45}));
    return b;
}

struct Outcome {
    std::vector<uint32_t> pixels;
    int width = 0, height = 0;
    rfb::Cursor cursor;
    std::string events;  // a summary line per event
    Bytes output;
};

// Plays `stream` to a client in pieces of the lengths `piece` gives.
Outcome Play(const Bytes& stream, const std::function<std::size_t()>& piece) {
    rfb::Options options;
    options.allow_insecure = true;
    options.max_clipboard_bytes = 1000;
    rfb::Client client(options);
    Outcome o;
    for (std::size_t at = 0, n = 0; at < stream.size(); at += n) {
        n = std::min(piece(), stream.size() - at);
        client.Receive(std::span(stream).subspan(at, n));
        for (const auto& e : Events(client)) {
            // Appended piece by piece: GCC 12 at -O3 warns wrongly (restrict) about "/" + string.
            o.events += std::to_string(e.index());
            if (const auto* u = std::get_if<rfb::event::FramebufferUpdated>(&e)) {
                (o.events += '/') += std::to_string(u->rects.size());
            } else if (const auto* c = std::get_if<rfb::event::Clipboard>(&e)) {
                (o.events += '/') += c->text;
            } else if (const auto* f = std::get_if<rfb::event::Failed>(&e)) {
                (o.events += '/') += f->reason;
            }
            o.events += '\n';
        }
        Append(o.output, client.TakeOutput());
    }
    const rfb::Framebuffer& fb = client.framebuffer();
    std::tie(o.pixels, o.width, o.height, o.cursor) =
        std::tie(fb.pixels, fb.width, fb.height, client.cursor());
    return o;
}

TEST(RfbDecode, SameResultHoweverTheStreamIsCut) {
    const Bytes stream = MixedStream();
    const Outcome whole = Play(stream, [&] { return stream.size(); });
    EXPECT_EQ(whole.width, 120);
    EXPECT_EQ(whole.height, 90);
    // Connected, cursor, updated (3 rects), updated (4 rects), bell, clipboard twice, resized,
    // updated (whole desktop). The cursor is reported as soon as it is decoded, the pixels once
    // their update is whole.
    EXPECT_EQ(whole.events,
              "0\n3\n1/3\n1/4\n5\n4/caf\xc3\xa9\n4/\xed\x95\x9c\xea\xb8\x80\n2\n1/1\n");
    const rfb::Cursor& c = whole.cursor;
    ASSERT_EQ(std::tuple(c.width, c.hotspot_x, c.hotspot_y), std::tuple(9, 2, 1));
    // Mask 0xaa 0x80 0x55 0x00: pixels 0 and 8 shown, 1 and 9 + 8 transparent.
    EXPECT_EQ(std::vector({c.pixels[0], c.pixels[1], c.pixels[8], c.pixels[9 + 8]}),
              std::vector({0xff000000u, 0u, 0xff000000u | 8 * 0x010203u, 0u}));
    EXPECT_EQ(whole.pixels, MakeDesktop(120, 90, 5).pixels);
    // After the resize the next request is for the whole new desktop, not incremental.
    EXPECT_EQ(Bytes(whole.output.end() - 10, whole.output.end()),
              (Bytes{3, 0, 0, 0, 0, 0, 0, 120, 0, 90}));

    // Every byte apart, then in random pieces of up to 50 and up to 5000 bytes.
    std::mt19937 rng(12);
    for (int run = 0; run <= 20; ++run) {
        const std::size_t longest = run == 0 ? 1 : run <= 10 ? 50 : 5000;
        SCOPED_TRACE("pieces of up to " + std::to_string(longest) + " bytes");
        const Outcome o = Play(stream, [&] { return 1 + rng() % longest; });
        EXPECT_EQ(o.events, whole.events);
        EXPECT_EQ(o.pixels, whole.pixels);
        EXPECT_EQ(o.cursor.pixels, whole.cursor.pixels);
        EXPECT_EQ(o.output, whole.output);
    }
}

TEST(RfbDecode, EmptyDesktopsAndRectanglesAreHarmless) {
    // A desktop 0 pixels wide has no pixel memory; rectangles 0 wide on it must not touch any.
    auto client = Connected(0, 5);
    ZrleEncoder zrle;
    const Image none{0, 5, {}};
    // The last rectangle is an empty cursor: none to draw.
    client->Receive(Concat({UpdateHeader(5),
                            RectHeader(0, 0, 0, 5, 1),
                            {0, 0, 0, 0},
                            EncodeRaw(none, {0, 0, 0, 5}),
                            EncodeHextile(none, {0, 1, 0, 4}),
                            zrle.Encode(none, {0, 0, 0, 5}),
                            RectHeader(0, 0, 0, 0, -239)}));
    const auto events = Events(*client);
    EXPECT_EQ(FailureOf(events), "");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<rfb::event::CursorChanged>(events[0]));
    EXPECT_EQ(client->cursor().width, 0);
}

Bytes Update(const Bytes& rect) {
    Bytes b = UpdateHeader(1);
    Append(b, rect);
    return b;
}

// A 16x8 JPEG (4:4:4, quality 90): its left 8x8 block 0x3080c0, its right one 0xe0a020.
const Bytes kTwoBlocksJpeg = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
    0x00, 0x01, 0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x03, 0x02, 0x02, 0x03, 0x02, 0x02, 0x03,
    0x03, 0x03, 0x03, 0x04, 0x03, 0x03, 0x04, 0x05, 0x08, 0x05, 0x05, 0x04, 0x04, 0x05, 0x0a, 0x07,
    0x07, 0x06, 0x08, 0x0c, 0x0a, 0x0c, 0x0c, 0x0b, 0x0a, 0x0b, 0x0b, 0x0d, 0x0e, 0x12, 0x10, 0x0d,
    0x0e, 0x11, 0x0e, 0x0b, 0x0b, 0x10, 0x16, 0x10, 0x11, 0x13, 0x14, 0x15, 0x15, 0x15, 0x0c, 0x0f,
    0x17, 0x18, 0x16, 0x14, 0x18, 0x12, 0x14, 0x15, 0x14, 0xff, 0xdb, 0x00, 0x43, 0x01, 0x03, 0x04,
    0x04, 0x05, 0x04, 0x05, 0x09, 0x05, 0x05, 0x09, 0x14, 0x0d, 0x0b, 0x0d, 0x14, 0x14, 0x14, 0x14,
    0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14,
    0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14,
    0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0x14, 0xff, 0xc0,
    0x00, 0x11, 0x08, 0x00, 0x08, 0x00, 0x10, 0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11,
    0x01, 0xff, 0xc4, 0x00, 0x15, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x08, 0xff, 0xc4, 0x00, 0x14, 0x10, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xc4,
    0x00, 0x16, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x07, 0x08, 0x09, 0xff, 0xc4, 0x00, 0x14, 0x11, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xda, 0x00, 0x0c,
    0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3f, 0x00, 0x24, 0x78, 0x03, 0xa9, 0x06, 0x5f,
    0xae, 0x87, 0xff, 0xd9};

// JPEG lands in its rectangle, in our pixel layout, whatever the platform's decoder.
TEST(RfbDecode, TightJpegIsDrawnIntoItsRectangle) {
    auto client = Connected(64, 48);
    client->Receive(Update(TightEncoder::EncodeJpeg({20, 10, 16, 8}, kTwoBlocksJpeg)));
    EXPECT_EQ(FailureOf(Events(*client)), "");
    const rfb::Framebuffer& fb = client->framebuffer();
    auto near = [](uint32_t got, uint32_t want) {
        for (int shift : {0, 8, 16}) {
            if (std::abs(static_cast<int>((got >> shift) & 0xff) -
                         static_cast<int>((want >> shift) & 0xff)) > 4) {
                return false;
            }
        }
        return (got >> 24) == 0xff;
    };
    EXPECT_PRED2(near, fb.At(20, 10), 0xff3080c0u);
    EXPECT_PRED2(near, fb.At(35, 17), 0xffe0a020u);
    EXPECT_EQ(fb.At(19, 10), 0xff000000u);  // the pixels around it are left alone
    EXPECT_EQ(fb.At(36, 17), 0xff000000u);
    EXPECT_EQ(fb.At(20, 18), 0xff000000u);
}

struct Malformed {
    const char* what;
    Bytes stream;  // after the handshake of a 64x48 desktop
    const char* reason;
};

Bytes ZrleTile(Area a, const Bytes& tile) {
    return Update(ZrleEncoder().EncodeRawTileData(a, tile));
}

Bytes TightData(Area a, uint8_t control, const Bytes& header, const Bytes& data) {
    return Update(TightEncoder().EncodeBasic(a, control, header, data));
}

Bytes TightJpeg(Area a, const Bytes& jpeg) {
    return Update(TightEncoder::EncodeJpeg(a, jpeg));
}

TEST(RfbDecode, MalformedInputEndsTheSessionWithAReason) {
    // One column too far.
    const Bytes raw_past_right = Concat({Update(RectHeader(55, 0, 10, 1, 0)), Bytes(40, 0)});
    const Bytes copy_from_outside = Concat({Update(RectHeader(0, 0, 10, 10, 1)), {0, 55, 0, 0}});
    // 5x4 and 4x5 at 4,4 in an 8x8 tile: one column or row too far.
    auto hextile_subrect = [](uint8_t size) {
        return Concat({Update(RectHeader(0, 0, 8, 8, 5)),
                       {2 | 4 | 8, 0, 0, 0, 0, 1, 1, 1, 0, 1, 0x44, size}});
    };
    const Bytes zrle = Update(RectHeader(0, 0, 4, 4, 16));
    const Bytes zrle_huge = Concat({zrle, {0x7f, 0xff, 0xff, 0xff}});
    const Bytes zrle_garbage =
        Concat({zrle, {0, 0, 0, 8, 0xde, 0xad, 0xbe, 0xef, 0xde, 0xad, 0xbe, 0xef}});

    const Bytes tight = Update(RectHeader(0, 0, 4, 4, 7));

    const Malformed cases[] = {
        {"raw past the right edge", raw_past_right, "outside the 64x48 desktop"},
        {"raw past the bottom", Update(RectHeader(0, 40, 4, 9, 0)), "outside the 64x48 desktop"},
        {"rect at the 16-bit limit", Update(RectHeader(65535, 65535, 65535, 65535, 16)), "outside"},
        {"CopyRect source outside", copy_from_outside, "CopyRect source"},
        {"Hextile subrect past its tile's right", hextile_subrect(0x43), "Hextile subrectangle"},
        {"Hextile subrect past its tile's bottom", hextile_subrect(0x34), "Hextile subrectangle"},
        {"ZRLE length beyond any valid encoding", zrle_huge, "larger than any valid"},
        {"zlib garbage", zrle_garbage, "not a valid zlib stream"},
        {"ZRLE data ends in a tile", ZrleTile({0, 0, 4, 4}, {0, 1, 2, 3}), "ends inside a tile"},
        {"ZRLE packed index beyond 3-colour palette",
         ZrleTile({0, 0, 4, 1}, {3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 0x1b}), "palette index"},
        {"ZRLE palette RLE index beyond palette",
         ZrleTile({0, 0, 4, 1}, {130, 1, 1, 1, 2, 2, 2, 0, 1, 2, 0}), "palette index"},
        {"ZRLE subencoding 17", ZrleTile({0, 0, 4, 1}, {17}), "undefined subencoding"},
        {"ZRLE subencoding 129", ZrleTile({0, 0, 4, 1}, {129}), "undefined subencoding"},
        {"ZRLE run past the tile", ZrleTile({0, 0, 4, 1}, {128, 1, 2, 3, 4}), "past the end"},
        {"ZRLE endless run", ZrleTile({0, 0, 64, 48}, Concat({{128, 1, 2, 3}, Bytes(70, 255)})),
         "past the end"},
        {"ZRLE inflating past the rectangle", ZrleTile({0, 0, 2, 2}, Bytes(500, 0)),
         "inflates to more"},
        {"Tight length beyond any valid encoding", Concat({tight, {0x00, 0xff, 0xff, 0x7f}}),
         "larger than any valid"},
        {"Tight JPEG length beyond any valid encoding", Concat({tight, {0x90, 0xff, 0xff, 0x7f}}),
         "larger than any valid"},
        {"Tight zlib garbage", Concat({tight, {0x00, 12}, Bytes(12, 0xee)}),
         "not a valid zlib stream"},
        {"Tight zlib bomb", TightData({0, 0, 2, 2}, 0x00, {}, Bytes(5000, 0)), "to more than"},
        {"Tight zlib data short of its rectangle", TightData({0, 0, 4, 4}, 0x00, {}, Bytes(20, 0)),
         "to less than"},
        {"Tight palette index beyond the palette",
         TightData({0, 0, 4, 1}, 0x40, {1, 2, 1, 1, 1, 2, 2, 2, 3, 3, 3}, {0, 1, 2, 3}),
         "palette index"},
        {"Tight filter 3", Concat({tight, {0x40, 3}}), "undefined filter"},
        {"Tight compression type 10", Concat({tight, {0xa0}}), "undefined compression type"},
        {"Tight JPEG that is not one", TightJpeg({0, 0, 4, 4}, Bytes(40, 0xd8)), "valid JPEG"},
        {"cursor too large", Update(RectHeader(0, 0, 4096, 4096, -239)), "cursor larger"},
        {"resize beyond the limits", Update(RectHeader(0, 0, 20000, 100, -223)), "20000x100"},
        {"unknown encoding", Update(RectHeader(0, 0, 4, 4, 6)), "encoding 6"},
        {"fence longer than allowed", Concat({{248, 0, 0, 0, 0x80, 0, 0, 0, 65}, Bytes(65, 'x')}),
         "fence with 65 bytes"},
        {"unknown message type", Bytes{99}, "unknown message (type 99)"},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectFailure([] { return Connected(64, 48); }, c.stream, c.reason);
    }
}

}  // namespace
