// Which part of the remote desktop a viewer shows, the same in both viewers: all of it, or one of
// the screens the server describes (rfb::Client::screens(), ExtendedDesktopSize), and the Screen
// menu's texts. The windows (viewer/qt/viewer_window.cpp, viewer/win32/viewer_window.cpp) keep
// the operator's choice as an index and ask here what it shows.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "rfb/screens.h"

namespace viewer {

inline constexpr int kAllScreens = -1;
inline constexpr const char* kAllScreensLabel = "All screens";

// The menu item of screen `index` (from 0): "Screen 1 (1920x1080 at 0,0)".
std::string ScreenLabel(std::size_t index, const rfb::Rect& rect);

// The choice that stays after the server described its screens again: the same index while
// there are several screens and it is still one of them, else all of the desktop.
int KeptScreen(int chosen, std::size_t count);

// The part of a `width` x `height` framebuffer shown: the chosen screen within it, else all.
rfb::Rect ShownArea(std::span<const rfb::Screen> screens, int chosen, int width, int height);

// Whether the operator may ask the server to fit its desktop to the window: only while it has
// one screen (the arrangement of several is the remote user's; rfb::FitLayout).
inline bool CanResizeRemote(std::span<const rfb::Screen> screens) {
    return screens.size() == 1;
}

}  // namespace viewer
