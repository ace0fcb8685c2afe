// The server core against the project's client core, in memory: pictures of every kind in every
// encoding, over both securities, arrive pixel-exact; only changed tiles travel; a new size,
// the cursor, input and plain cut text cross.
#include <gtest/gtest.h>

#include <algorithm>

#include "session_pair.h"

namespace rfbserver_test {
namespace {

// Odd sizes, so that both the 64x64 and the 16x16 tile grids end in partial tiles.
constexpr int kWidth = 203;
constexpr int kHeight = 141;

// A flat picture, then desktop-like ones (flat areas, glyphs, gradients, noise); the top byte
// varies from pixel to pixel: the server must ignore it.
std::vector<Image> Pictures(int width, int height) {
    std::vector<Image> pictures = {rfbtest::MakeDesktop(width, height, 1),
                                   rfbtest::MakeDesktop(width, height, 6),
                                   rfbtest::MakeDesktop(width, height, 7)};
    std::fill(pictures[0].pixels.begin(), pictures[0].pixels.end(), 0x3070b0u);
    for (Image& image : pictures) {
        for (std::size_t i = 0; i < image.pixels.size(); ++i) {
            image.pixels[i] = (image.pixels[i] & 0xffffff) | static_cast<uint32_t>(i) << 24;
        }
    }
    return pictures;
}

// A connected pair showing `first`.
std::unique_ptr<SessionPair> Connect(
    const Image& first, rfb::Encoding encoding = rfb::Encoding::kZrle,
    rfbserver::Options::Security security = rfbserver::Options::Security::kNone) {
    rfbserver::Options server = WithSecurity(security);
    server.desktop_name = "Büro-PC";
    rfb::Options client;
    client.allow_insecure = true;
    client.encodings = {encoding};
    auto pair = std::make_unique<SessionPair>(server, client);
    pair->server.SetFrame(FrameOf(first));
    pair->Pump();
    EXPECT_TRUE(pair->server.ready());
    EXPECT_TRUE(pair->client.connected());
    EXPECT_TRUE(pair->Offer(first));
    EXPECT_EQ(Mismatch(pair->client, first), "");
    return pair;
}

TEST(RfbServerRoundTrip, EveryPictureArrivesExactlyInEveryEncodingOverBothSecurities) {
    using Security = rfbserver::Options::Security;
    const auto pictures = Pictures(kWidth, kHeight);
    for (const Security security : {Security::kNone, Security::kVeNCryptX509}) {
        for (const rfb::Encoding encoding :
             {rfb::Encoding::kZrle, rfb::Encoding::kHextile, rfb::Encoding::kRaw}) {
            SCOPED_TRACE("encoding " + std::to_string(static_cast<int>(encoding)));
            auto pair = Connect(pictures.back(), encoding, security);
            EXPECT_EQ(pair->client.encrypted(), security == Security::kVeNCryptX509);
            const auto connected = std::find_if(
                pair->client_events.begin(), pair->client_events.end(),
                [](const auto& e) { return std::holds_alternative<rfb::event::Connected>(e); });
            ASSERT_NE(connected, pair->client_events.end());
            EXPECT_EQ(std::get<rfb::event::Connected>(*connected).name, "Büro-PC");
            for (std::size_t i = 0; i < pictures.size(); ++i) {
                EXPECT_TRUE(pair->Offer(pictures[i]));
                EXPECT_EQ(Mismatch(pair->client, pictures[i]), "") << "picture " << i;
            }
        }
    }
}

TEST(RfbServerRoundTrip, OnlyTheTilesThatChangedAreSentMergedIntoRectangles) {
    struct Row {
        const char* name;
        std::vector<std::pair<int, int>> changed;
        std::vector<rfb::Rect> sent;  // empty: no update at all
    };
    const Row rows[] = {
        {"nothing changed", {}, {}},
        {"one pixel", {{100, 70}}, {{64, 64, 64, 64}}},
        {"the partial corner tile", {{202, 140}}, {{192, 128, 11, 13}}},
        {"two tiles side by side", {{10, 10}, {70, 10}}, {{0, 0, 128, 64}}},
        {"a square of four tiles", {{10, 10}, {70, 10}, {10, 70}, {70, 70}}, {{0, 0, 128, 128}}},
        {"an L of three tiles", {{10, 10}, {70, 10}, {10, 70}}, {{0, 0, 128, 64}, {0, 64, 64, 64}}},
        {"two tiles apart", {{10, 10}, {150, 10}}, {{0, 0, 64, 64}, {128, 0, 64, 64}}},
    };
    const Image base = rfbtest::MakeDesktop(kWidth, kHeight, 3);
    auto pair = Connect(base);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Image next = base;
        for (const auto& [x, y] : row.changed) {
            next.At(x, y) ^= 0x00ff00ffu;
        }
        // The top byte alone never counts as a change.
        next.At(0, 0) ^= 0xff000000u;
        const std::size_t before = pair->client_events.size();
        ASSERT_TRUE(pair->Offer(next));
        if (row.sent.empty()) {
            EXPECT_EQ(pair->client_events.size(), before);
            EXPECT_TRUE(pair->server.WantsFrame());
        } else {
            EXPECT_EQ(pair->LastUpdate(), row.sent);
        }
        EXPECT_EQ(Mismatch(pair->client, next), "");
        ASSERT_TRUE(pair->Offer(base));  // back, for the next row
    }
}

TEST(RfbServerRoundTrip, ANewSizeIsAnnouncedAndDrawnWhole) {
    auto pair = Connect(rfbtest::MakeDesktop(kWidth, kHeight, 1));
    for (const auto& [w, h] : {std::pair{320, 200}, std::pair{64, 48}}) {
        const Image bigger = rfbtest::MakeDesktop(w, h, 2);
        ASSERT_TRUE(pair->Offer(bigger));
        EXPECT_EQ(Mismatch(pair->client, bigger), "");
        EXPECT_EQ(pair->LastUpdate(), (std::vector<rfb::Rect>{{0, 0, w, h}}));
    }
}

TEST(RfbServerRoundTrip, CursorInputAndCutTextCrossBothWays) {
    const Image screen = rfbtest::MakeDesktop(kWidth, kHeight, 5);
    auto pair = Connect(screen);
    rfb::Cursor cursor{2, 1, 3, 2, {0xffff0000u, 0, 0xff00ff00u, 0, 0xff0000ffu, 0xffffffffu}};
    pair->server.SetCursor(cursor);
    ASSERT_TRUE(pair->Offer(screen));
    EXPECT_EQ(pair->client.cursor().pixels, cursor.pixels);
    EXPECT_EQ(pair->client.cursor().hotspot_x, 2);

    pair->client.SendKey(0xff0d, true);
    pair->client.SendPointer(30, 40, 5);
    pair->client.SendClipboard("naïve café");
    pair->Pump();
    const auto keys = Only<rfbserver::event::Key>(pair->server_events);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].keysym, 0xff0du);
    EXPECT_TRUE(keys[0].down);
    const auto pointers = Only<rfbserver::event::Pointer>(pair->server_events);
    ASSERT_EQ(pointers.size(), 1u);
    EXPECT_EQ(std::tie(pointers[0].x, pointers[0].y, pointers[0].buttons),
              std::make_tuple(30, 40, uint8_t{5}));
    const auto clips = Only<rfbserver::event::Clipboard>(pair->server_events);
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].text, "naïve café");

    // Latin-1 where it fits; Korean, which has no Latin-1 form, as UTF-8 the viewer recognises.
    for (const std::string text : {"naïve café", "안녕하세요"}) {
        pair->server.SetClipboard(text);
        pair->Pump();
        const auto* clip = std::get_if<rfb::event::Clipboard>(&pair->client_events.back());
        ASSERT_NE(clip, nullptr);
        EXPECT_EQ(clip->text, text);
    }
}

}  // namespace
}  // namespace rfbserver_test
