// The remote desktop's screens (monitors), as servers that speak the ExtendedDesktopSize
// pseudo-encoding describe them (TigerVNC's Xvnc, QEMU), and the SetDesktopSize request that asks
// such a server to change its size. Pure functions over wire bytes, used by client.cpp: the
// viewers show one screen of several, and fit the remote desktop to their window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "rfb/framebuffer.h"

namespace rfb {

struct Screen {
    uint32_t id = 0;
    Rect rect;  // within the framebuffer
    uint32_t flags = 0;

    bool operator==(const Screen&) const = default;
};

// What an ExtendedDesktopSize rectangle's header says besides the size.
enum class ResizeReason : uint16_t { kServer = 0, kThisClient = 1, kOtherClient = 2 };
enum class ResizeStatus : uint16_t {
    kOk = 0,
    kProhibited = 1,
    kOutOfResources = 2,
    kInvalidLayout = 3,
};

// The payload's length once its first byte (the number of screens) is known.
inline std::size_t ScreensPayloadLength(uint8_t count) {
    return 4 + 16 * std::size_t{count};
}

// The screens of a whole payload (ScreensPayloadLength bytes). Screens reaching outside a
// `width` x `height` framebuffer are clipped to it; empty ones are dropped.
std::vector<Screen> ParseScreens(std::span<const uint8_t> payload, int width, int height);

// SetDesktopSize asking for `width` x `height` with this layout (at most 255 screens).
std::vector<uint8_t> SetDesktopSizeMessage(int width, int height, std::span<const Screen> screens);

// The layout to ask for when the viewer's window is `width` x `height`: the one screen stretched
// to it; none when the desktop has several screens (their arrangement is the remote user's).
std::optional<std::vector<Screen>> FitLayout(std::span<const Screen> current, int width,
                                             int height);

}  // namespace rfb
