// The part of the remote desktop shown and the Screen menu's texts (see screen_choice.h).
#include "viewer/screen_choice.h"

#include <algorithm>

namespace viewer {

std::string ScreenLabel(std::size_t index, const rfb::Rect& rect) {
    return "Screen " + std::to_string(index + 1) + " (" + std::to_string(rect.width) + "x" +
           std::to_string(rect.height) + " at " + std::to_string(rect.x) + "," +
           std::to_string(rect.y) + ")";
}

int KeptScreen(int chosen, std::size_t count) {
    return count > 1 && chosen >= 0 && static_cast<std::size_t>(chosen) < count ? chosen
                                                                                : kAllScreens;
}

rfb::Rect ShownArea(std::span<const rfb::Screen> screens, int chosen, int width, int height) {
    const rfb::Rect whole{0, 0, std::max(width, 0), std::max(height, 0)};
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= screens.size()) {
        return whole;
    }
    const rfb::Rect& r = screens[static_cast<std::size_t>(chosen)].rect;
    const int x = std::clamp(r.x, 0, whole.width), y = std::clamp(r.y, 0, whole.height);
    const int right = std::clamp(r.x + r.width, x, whole.width);
    const int bottom = std::clamp(r.y + r.height, y, whole.height);
    if (right <= x || bottom <= y) {
        return whole;  // a screen the framebuffer no longer holds
    }
    return rfb::Rect{x, y, right - x, bottom - y};
}

}  // namespace viewer
