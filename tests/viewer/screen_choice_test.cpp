// The part of the remote desktop a viewer shows: the chosen screen, clipped to the framebuffer,
// and all of it once the choice no longer names a screen; the choice kept or dropped when the
// server describes its screens again.
#include <gtest/gtest.h>

#include <vector>

#include "viewer/screen_choice.h"

namespace {

using rfb::Rect;

TEST(ViewerScreenChoice, ShownAreaIsTheChosenScreenWithinTheFramebuffer) {
    const std::vector<rfb::Screen> two = {{1, {0, 0, 1920, 1080}, 0},
                                          {2, {1920, 0, 1280, 1024}, 0}};
    const std::vector<rfb::Screen> overhanging = {
        {1, {0, 0, 1920, 1080}, 0}, {2, {1920, 900, 1280, 1024}, 0}, {3, {4000, 0, 100, 100}, 0}};
    struct Row {
        const char* what;
        const std::vector<rfb::Screen>& screens;
        int chosen;
        Rect shown;
    };
    const Row rows[] = {
        {"the second screen", two, 1, {1920, 0, 1280, 1024}},
        {"all screens", two, -1, {0, 0, 3200, 1080}},
        {"a screen the server no longer has", two, 2, {0, 0, 3200, 1080}},
        {"a screen reaching past the framebuffer", overhanging, 1, {1920, 900, 1280, 180}},
        {"a screen wholly outside it", overhanging, 2, {0, 0, 3200, 1080}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(viewer::ShownArea(r.screens, r.chosen, 3200, 1080), r.shown);
    }
}

TEST(ViewerScreenChoice, ChoiceStaysOnlyWhileThereAreSeveralScreensAndItIsOne) {
    struct Row {
        int chosen;
        std::size_t count;
        int kept;
    };
    const Row rows[] = {{1, 2, 1}, {2, 2, -1}, {0, 1, -1}, {-1, 3, -1}};
    for (const Row& r : rows) {
        EXPECT_EQ(viewer::KeptScreen(r.chosen, r.count), r.kept) << r.chosen << " of " << r.count;
    }
}

}  // namespace
