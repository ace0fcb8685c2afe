// The quality setting's Auto rule: where measured throughput moves it, and that it does not flip
// near a bound.
#include <gtest/gtest.h>

#include "viewer/quality.h"

namespace {

using viewer::Quality;

TEST(ViewerQuality, AutoMovesByThroughputWithRoomBetweenUpAndDown) {
    struct Row {
        Quality from;
        double mbit_per_s;
        Quality to;
    };
    const Row rows[] = {
        {Quality::kBalanced, 100, Quality::kBalanced},        // a LAN stays on Tight
        {Quality::kBalanced, 3, Quality::kBalanced},          // not yet
        {Quality::kBalanced, 2, Quality::kLowBandwidth},      // a slow link
        {Quality::kLowBandwidth, 4, Quality::kLowBandwidth},  // near the bound: stays
        {Quality::kLowBandwidth, 6, Quality::kBalanced},      //
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(r.from)) + " at " +
                     std::to_string(r.mbit_per_s) + " Mbit/s");
        EXPECT_EQ(viewer::AutoLevel(r.from, r.mbit_per_s * 1e6), r.to);
    }
}

}  // namespace
