// This user's desktop as talagent.exe shows and works it: the virtual screen (all monitors)
// captured with GDI, the cursor's shape, and the operator's keys and pointer injected with
// SendInput (scan codes for the keys a layout has, Unicode for the rest). The process is
// per-monitor DPI aware (its manifest), so every coordinate here is a physical pixel.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "rfb/framebuffer.h"
#include "rfbserver/server.h"

namespace talagent::win {

class Screen {
public:
    Screen();
    ~Screen();
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // Captures the virtual screen now; false when GDI could not (a locked or secure desktop).
    bool Capture();
    rfbserver::Frame frame() const;
    // The virtual screen's top-left corner on the desktop (negative left of the main monitor).
    POINT origin() const { return origin_; }

    // What one viewer was last sent of the cursor: its handle (null: hidden).
    struct CursorSeen {
        HCURSOR shown = nullptr;
        bool known = false;
    };
    // The cursor's shape, when it is not the one `seen` (which is then updated).
    std::optional<rfb::Cursor> CursorIfChanged(CursorSeen& seen);

private:
    bool Resize(int width, int height);

    HDC screen_dc_ = nullptr;
    HDC memory_dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_bitmap_ = nullptr;
    std::uint32_t* pixels_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    POINT origin_{};
};

// The operator's input, for one session.
class Input {
public:
    void Key(std::uint32_t keysym, bool down);
    // x, y within the captured frame whose top-left is `origin` on the desktop.
    void Pointer(int x, int y, std::uint8_t buttons, POINT origin);
    // Lets go of every key and button this session holds down (the session ended).
    void Release();

private:
    std::uint8_t buttons_ = 0;
    bool shift_ = false;
    std::vector<std::uint32_t> held_;  // keysyms down, to release at the end
};

}  // namespace talagent::win
