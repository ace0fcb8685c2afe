// The quality setting's Auto rule: where measured throughput moves it, that it does not flip near
// a bound, and that small updates (mostly latency) do not count as throughput.
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
        {Quality::kBalanced, 20, Quality::kLossless},         // a LAN
        {Quality::kBalanced, 12, Quality::kBalanced},         // not yet
        {Quality::kBalanced, 2, Quality::kLowBandwidth},      // a slow link
        {Quality::kLossless, 12, Quality::kLossless},         // near the bound: stays
        {Quality::kLossless, 8, Quality::kBalanced},          //
        {Quality::kLossless, 1, Quality::kLowBandwidth},      // straight down
        {Quality::kLowBandwidth, 4, Quality::kLowBandwidth},  // near the bound: stays
        {Quality::kLowBandwidth, 6, Quality::kBalanced},      //
        {Quality::kLowBandwidth, 30, Quality::kLossless},     // straight up
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(r.from)) + " at " +
                     std::to_string(r.mbit_per_s) + " Mbit/s");
        EXPECT_EQ(viewer::AutoLevel(r.from, r.mbit_per_s * 1e6), r.to);
    }
}

TEST(ViewerQuality, ThroughputCountsOnlyUpdatesLargeEnoughToMeasure) {
    viewer::ThroughputMeter meter;
    // A hundred typed letters over ten seconds: no figure, however slow they look.
    for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(meter.Add(2000, 0.1));
    }
    // Full-screen updates of 500 kB in 0.4 s each: 10 Mbit/s.
    const auto figure = meter.Add(500000, 0.4);
    ASSERT_TRUE(figure);
    EXPECT_DOUBLE_EQ(*figure, 10e6);
    EXPECT_FALSE(meter.Add(20000, 0.01));  // it started over
}

}  // namespace
