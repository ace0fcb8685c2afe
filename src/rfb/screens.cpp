// ExtendedDesktopSize payloads and SetDesktopSize requests (see screens.h).
#include "rfb/screens.h"

#include <algorithm>

#include "rfb/bytes.h"
#include "rfb/wire.h"

namespace rfb {

std::vector<Screen> ParseScreens(std::span<const uint8_t> payload, int width, int height) {
    std::vector<Screen> screens;
    if (payload.empty()) {
        return screens;
    }
    const std::size_t count = std::min<std::size_t>(payload[0], (payload.size() - 4) / 16);
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* p = payload.data() + 4 + 16 * i;
        const int x = U16(p + 4), y = U16(p + 6);
        const int right = std::min(x + U16(p + 8), width);
        const int bottom = std::min(y + U16(p + 10), height);
        if (right <= x || bottom <= y) {
            continue;
        }
        screens.push_back({U32(p), Rect{x, y, right - x, bottom - y}, U32(p + 12)});
    }
    return screens;
}

std::vector<uint8_t> SetDesktopSizeMessage(int width, int height, std::span<const Screen> screens) {
    const std::size_t count = std::min<std::size_t>(screens.size(), 255);
    std::vector<uint8_t> out = {client_msg::kSetDesktopSize, 0};
    Put16(out, static_cast<uint32_t>(width));
    Put16(out, static_cast<uint32_t>(height));
    out.insert(out.end(), {static_cast<uint8_t>(count), 0});
    for (std::size_t i = 0; i < count; ++i) {
        const Screen& s = screens[i];
        Put32(out, s.id);
        Put16(out, static_cast<uint32_t>(s.rect.x));
        Put16(out, static_cast<uint32_t>(s.rect.y));
        Put16(out, static_cast<uint32_t>(s.rect.width));
        Put16(out, static_cast<uint32_t>(s.rect.height));
        Put32(out, s.flags);
    }
    return out;
}

std::optional<std::vector<Screen>> FitLayout(std::span<const Screen> current, int width,
                                             int height) {
    if (current.size() > 1 || width <= 0 || height <= 0) {
        return std::nullopt;
    }
    Screen screen = current.empty() ? Screen{} : current[0];
    screen.rect = Rect{0, 0, width, height};
    return std::vector<Screen>{screen};
}

}  // namespace rfb
