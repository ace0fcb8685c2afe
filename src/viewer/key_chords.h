// The keys both viewers' "Send keys" menus send to the remote desktop: combinations the
// operator's own desktop keeps for itself (Ctrl+Alt+Del, Alt+Tab, the Windows key) and F8, which
// opens the viewer's menu instead of going to the remote side. Each is sent as a real keyboard
// makes it: the keys pressed in order, then released in reverse order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "rfb/keysyms.h"

namespace talviewer {

struct KeyChord {
    const char* label;  // the menu item's text
    std::array<uint32_t, 3> keysyms;
    std::size_t count;
};

inline constexpr std::array<KeyChord, 4> kKeyChords = {{
    {"Ctrl+Alt+Del", {rfb::keysym::kControlL, rfb::keysym::kAltL, rfb::keysym::kDelete}, 3},
    {"Alt+Tab", {rfb::keysym::kAltL, rfb::keysym::kTab}, 2},
    {"Windows key", {rfb::keysym::kSuperL}, 1},
    {"F8", {rfb::keysym::kF1 + 7}, 1},
}};

// Sends a chord through send(keysym, down): presses in order, releases in reverse.
template <typename Send>
void SendChord(const KeyChord& chord, Send&& send) {
    for (std::size_t i = 0; i < chord.count; ++i) {
        send(chord.keysyms[i], true);
    }
    for (std::size_t i = chord.count; i-- > 0;) {
        send(chord.keysyms[i], false);
    }
}

}  // namespace talviewer
