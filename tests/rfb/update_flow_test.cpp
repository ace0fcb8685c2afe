// How the client keeps updates coming, against scripted servers: the next request on each
// update's header, the bound on requests outstanding (also against a server that merges
// requests), continuous updates only where the server has them, and fences answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "rfb_test_util.h"

namespace {

using namespace rfbtest;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

Bytes PixelUpdate() {
    return Concat({UpdateHeader(1), RectHeader(0, 0, 1, 1, 0), {1, 2, 3, 0}});
}
Bytes ResizeUpdate(int width, int height) {
    return Concat({UpdateHeader(1), RectHeader(0, 0, width, height, -223)});
}
Bytes PixelThenResize(int width, int height) {
    return Concat({UpdateHeader(2),
                   RectHeader(0, 0, 1, 1, 0),
                   {1, 2, 3, 0},
                   RectHeader(0, 0, width, height, -223)});
}
const Bytes kEndOfContinuousUpdates = {150};

Bytes Fence(uint32_t flags, const std::string& data) {
    Bytes b = {248, 0, 0, 0};
    Put32(b, flags);
    b.push_back(static_cast<uint8_t>(data.size()));
    Append(b, data);
    return b;
}

struct Step {
    Bytes server;
    std::vector<std::string> client;  // what the client sends in answer
};

TEST(RfbUpdateFlow, AnswersEachServerStepWithTheRightRequests) {
    const std::string x64(64, 'x');
    const struct {
        const char* what;
        std::vector<Step> steps;
    } scenarios[] = {
        {"the next request goes out with the header, before the rectangles; a second one with "
         "the end of the first update",
         {{Concat({UpdateHeader(1), RectHeader(0, 0, 1, 1, 0)}), {"inc 64x48"}},
          {{1, 2, 3, 0}, {"inc 64x48"}},
          {UpdateHeader(0), {"inc 64x48"}}}},
        {"a resize asks for the whole new desktop, held back while two requests are out",
         {{ResizeUpdate(80, 60), {"full 80x60"}},
          {PixelUpdate(), {"inc 80x60", "inc 80x60"}},
          {PixelThenResize(96, 72), {"inc 80x60"}},
          {PixelThenResize(64, 48), {"full 96x72"}},
          {PixelUpdate(), {"full 64x48"}},
          {PixelUpdate(), {"inc 64x48"}}}},
        {"continuous updates after the first update, only once offered; requests if they end",
         {{PixelUpdate(), {"inc 64x48", "inc 64x48"}},
          {kEndOfContinuousUpdates, {}},
          {PixelUpdate(), {"inc 64x48", "cu 64x48"}},
          {PixelUpdate(), {}},
          {ResizeUpdate(80, 60), {"cu 80x60", "full 80x60"}},
          {kEndOfContinuousUpdates, {"inc 80x60"}},
          {PixelUpdate(), {"inc 80x60"}}}},
        {"fences: requested ones come back with the flags honoured and the same data",
         {{Fence(0x80000005, "abc"), {"fence 5 abc"}},
          {Fence(0x80100102, x64), {"fence 2 " + x64}},
          {Fence(0x00000001, "reply"), {}},
          {Fence(0x80000000, ""), {"fence 0 "}}}},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.what);
        // Whole, and a byte at a time: a message cut anywhere is answered once, when whole.
        for (bool bytewise : {false, true}) {
            auto client = Connected(kWidth, kHeight);
            for (std::size_t i = 0; i < s.steps.size(); ++i) {
                const Bytes& in = s.steps[i].server;
                for (std::size_t at = 0; at < in.size(); at += bytewise ? 1 : in.size()) {
                    client->Receive(std::span(in).subspan(at, bytewise ? 1 : in.size()));
                }
                EXPECT_EQ(Messages(client->TakeOutput()), s.steps[i].client)
                    << "step " << i << (bytewise ? ", byte by byte" : "");
            }
            EXPECT_EQ(FailureOf(Events(*client)), "");
        }
    }
}

// A server that queues each request, and one that merges requests arriving while one waits
// (libvncserver): either way the client never leaves it without a request, and never has more
// than two outstanding.
TEST(RfbUpdateFlow, KeepsOneToTwoRequestsAtTheServerThroughResizes) {
    for (bool merging : {false, true}) {
        SCOPED_TRACE(merging ? "merging server" : "queueing server");
        auto client = Connected(kWidth, kHeight);
        std::mt19937 rng(7);
        int pending = 1;  // the set-up's request for the whole desktop
        for (int update = 0; update < 200; ++update) {
            ASSERT_GT(pending, 0) << "no request left at the server after update " << update;
            --pending;
            client->Receive(rng() % 3 == 0 ? PixelThenResize(40 + static_cast<int>(rng() % 50), 30)
                                           : PixelUpdate());
            const auto sent = Messages(client->TakeOutput());
            pending += static_cast<int>(sent.size());
            ASSERT_LE(pending, 2) << "after update " << update;
            pending = merging ? std::min(pending, 1) : pending;
        }
        EXPECT_EQ(FailureOf(Events(*client)), "");
    }
}

}  // namespace
