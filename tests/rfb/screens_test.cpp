// The remote desktop's screens and resizing it (ExtendedDesktopSize, SetDesktopSize) against
// scripted servers: what the core keeps of a layout however the stream is cut, what it asks for,
// and that it stops asking once refused.
#include <gtest/gtest.h>

#include "rfb_test_util.h"

namespace {

using namespace rfbtest;

constexpr int32_t kExtended = -308;

// An update holding one ExtendedDesktopSize rectangle; screens are {id, x, y, w, h}.
Bytes ExtendedSize(int reason, int status, int width, int height,
                   std::vector<std::array<int, 5>> screens) {
    Bytes b = Concat({UpdateHeader(1),
                      RectHeader(reason, status, width, height, kExtended),
                      {static_cast<uint8_t>(screens.size()), 0, 0, 0}});
    for (const auto& [id, x, y, w, h] : screens) {
        Put32(b, static_cast<uint32_t>(id));
        for (const int v : {x, y, w, h}) {
            Put16(b, static_cast<uint32_t>(v));
        }
        Put32(b, 0);
    }
    return b;
}

TEST(RfbScreens, LayoutIsKeptHoweverTheStreamIsCut) {
    // The second screen reaches past the desktop: it is clipped; an empty third is dropped.
    const Bytes update = ExtendedSize(
        0, 0, 640, 480, {{1, 0, 0, 320, 480}, {2, 320, 0, 400, 480}, {3, 700, 0, 10, 10}});
    for (const std::size_t cut : {update.size(), std::size_t{1}, std::size_t{13}}) {
        SCOPED_TRACE("cut every " + std::to_string(cut));
        auto client = Connected(200, 100);
        for (std::size_t i = 0; i < update.size(); i += cut) {
            client->Receive(std::span(update).subspan(i, std::min(cut, update.size() - i)));
        }
        const auto events = Events(*client);
        ASSERT_EQ(FailureOf(events), "");
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(std::get<rfb::event::DesktopResized>(events[0]).width, 640);
        const std::vector<rfb::Screen> want = {{1, {0, 0, 320, 480}, 0},
                                               {2, {320, 0, 320, 480}, 0}};
        EXPECT_EQ(client->screens(), want);
        // Several screens: their arrangement is the remote user's, not resized from here.
        client->TakeOutput();
        EXPECT_FALSE(client->RequestDesktopSize(800, 600));
    }
}

TEST(RfbScreens, OneScreenIsResizedUntilTheServerRefuses) {
    auto client = Connected(200, 100);
    EXPECT_FALSE(client->RequestDesktopSize(800, 600)) << "before the server showed it can";
    client->Receive(ExtendedSize(0, 0, 200, 100, {{7, 0, 0, 200, 100}}));
    Events(*client);
    client->TakeOutput();
    EXPECT_FALSE(client->RequestDesktopSize(200, 100)) << "the size it has";
    EXPECT_FALSE(client->RequestDesktopSize(20000, 100)) << "beyond the viewer's limits";
    ASSERT_TRUE(client->RequestDesktopSize(800, 600));
    Bytes want = {251, 0, 0x03, 0x20, 0x02, 0x58, 1, 0, 0, 0, 0, 7};
    Append(want, Bytes{0, 0, 0, 0, 0x03, 0x20, 0x02, 0x58, 0, 0, 0, 0});
    EXPECT_EQ(client->TakeOutput(), want);
    // Refused (reason: this client; status: prohibited): the layout sent with it stays, and the
    // viewer asks no more.
    client->Receive(ExtendedSize(1, 1, 200, 100, {{7, 0, 0, 200, 100}}));
    EXPECT_EQ(FailureOf(Events(*client)), "");
    EXPECT_EQ(client->framebuffer().width, 200);
    EXPECT_FALSE(client->RequestDesktopSize(1024, 768));
}

}  // namespace
