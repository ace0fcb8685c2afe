// Capture, cursor and input of this user's desktop (see desktop.h).
#include "agent/win32/desktop.h"

#include <algorithm>
#include <utility>

namespace talagent::win {
namespace {

// The keys that are no characters: X keysym, virtual key, and whether it is an extended key
// (one of the grey keys beside the main block, which share scan codes with the keypad).
struct NamedKey {
    std::uint32_t keysym;
    WORD vk;
    bool extended;
};
constexpr NamedKey kNamedKeys[] = {
    {0xff08, VK_BACK, false},     {0xff09, VK_TAB, false},      {0xff0d, VK_RETURN, false},
    {0xff13, VK_PAUSE, false},    {0xff14, VK_SCROLL, false},   {0xff1b, VK_ESCAPE, false},
    {0xff50, VK_HOME, true},      {0xff51, VK_LEFT, true},      {0xff52, VK_UP, true},
    {0xff53, VK_RIGHT, true},     {0xff54, VK_DOWN, true},      {0xff55, VK_PRIOR, true},
    {0xff56, VK_NEXT, true},      {0xff57, VK_END, true},       {0xff61, VK_SNAPSHOT, true},
    {0xff63, VK_INSERT, true},    {0xff67, VK_APPS, true},      {0xff7f, VK_NUMLOCK, true},
    {0xff8d, VK_RETURN, true},    {0xffaa, VK_MULTIPLY, false}, {0xffab, VK_ADD, false},
    {0xffad, VK_SUBTRACT, false}, {0xffae, VK_DECIMAL, false},  {0xffaf, VK_DIVIDE, true},
    {0xffe1, VK_LSHIFT, false},   {0xffe2, VK_RSHIFT, false},   {0xffe3, VK_LCONTROL, false},
    {0xffe4, VK_RCONTROL, true},  {0xffe5, VK_CAPITAL, false},  {0xffe9, VK_LMENU, false},
    {0xffea, VK_RMENU, true},     {0xffeb, VK_LWIN, true},      {0xffec, VK_RWIN, true},
    {0xffff, VK_DELETE, true},
};

void Send(INPUT input) {
    SendInput(1, &input, sizeof input);
}

void SendVirtualKey(WORD vk, bool extended, bool down) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    // Programs that read scan codes (and Wine's X11 driver) see 0 without it.
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = (extended ? KEYEVENTF_EXTENDEDKEY : 0) | (down ? 0 : KEYEVENTF_KEYUP);
    Send(input);
}

void SendUnicode(std::uint32_t code_point, bool down) {
    // Beyond the Basic Multilingual Plane as its UTF-16 surrogate pair.
    WORD units[2];
    int count = 1;
    if (code_point >= 0x10000) {
        code_point -= 0x10000;
        units[0] = static_cast<WORD>(0xd800 + (code_point >> 10));
        units[1] = static_cast<WORD>(0xdc00 + (code_point & 0x3ff));
        count = 2;
    } else {
        units[0] = static_cast<WORD>(code_point);
    }
    for (int i = 0; i < count; ++i) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wScan = units[i];
        input.ki.dwFlags = KEYEVENTF_UNICODE | (down ? 0 : KEYEVENTF_KEYUP);
        Send(input);
    }
}

// The character a keysym types: Latin-1 keysyms are their code points, Unicode keysyms carry
// theirs above 0x01000000. Zero for the rest.
std::uint32_t CodePoint(std::uint32_t keysym) {
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff))
        return keysym;
    if (keysym >= 0x01000100 && keysym <= 0x0110ffff)
        return keysym - 0x01000000;
    return 0;
}

}  // namespace

Screen::Screen() : screen_dc_(GetDC(nullptr)), memory_dc_(CreateCompatibleDC(screen_dc_)) {}

Screen::~Screen() {
    if (bitmap_) {
        SelectObject(memory_dc_, old_bitmap_);
        DeleteObject(bitmap_);
    }
    DeleteDC(memory_dc_);
    ReleaseDC(nullptr, screen_dc_);
}

bool Screen::Resize(int width, int height) {
    if (bitmap_) {
        SelectObject(memory_dc_, old_bitmap_);
        DeleteObject(std::exchange(bitmap_, nullptr));
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(screen_dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap_)
        return false;
    old_bitmap_ = SelectObject(memory_dc_, bitmap_);
    pixels_ = static_cast<std::uint32_t*>(bits);
    width_ = width;
    height_ = height;
    return true;
}

bool Screen::Capture() {
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN),
              height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (width <= 0 || height <= 0)
        return false;
    if ((width != width_ || height != height_) && !Resize(width, height))
        return false;
    origin_ = {left, top};
    // CAPTUREBLT takes layered (translucent) windows too.
    if (!BitBlt(memory_dc_, 0, 0, width, height, screen_dc_, left, top, SRCCOPY | CAPTUREBLT))
        return false;
    GdiFlush();
    return true;
}

rfbserver::Frame Screen::frame() const {
    return {width_, height_, width_, pixels_};
}

std::optional<rfb::Cursor> Screen::CursorIfChanged(CursorSeen& seen) {
    CURSORINFO info{};
    info.cbSize = sizeof info;
    if (!GetCursorInfo(&info))
        return std::nullopt;
    const HCURSOR shown = (info.flags & CURSOR_SHOWING) ? info.hCursor : nullptr;
    if (seen.known && shown == seen.shown)
        return std::nullopt;
    seen = {shown, true};
    rfb::Cursor cursor;
    ICONINFO icon{};
    if (!shown || !GetIconInfo(shown, &icon))
        return cursor;  // no shape: none drawn
    BITMAP mask{};
    GetObjectW(icon.hbmMask, sizeof mask, &mask);
    const int width = std::min<int>(mask.bmWidth, 256);
    const int height = std::min<int>(icon.hbmColor ? mask.bmHeight : mask.bmHeight / 2, 256);
    const auto read = [&](HBITMAP bitmap, int rows) {
        std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * rows);
        BITMAPINFO header{};
        header.bmiHeader.biSize = sizeof header.bmiHeader;
        header.bmiHeader.biWidth = width;
        header.bmiHeader.biHeight = -rows;
        header.bmiHeader.biPlanes = 1;
        header.bmiHeader.biBitCount = 32;
        header.bmiHeader.biCompression = BI_RGB;
        GetDIBits(memory_dc_, bitmap, 0, static_cast<UINT>(rows), pixels.data(), &header,
                  DIB_RGB_COLORS);
        return pixels;
    };
    if (width > 0 && height > 0) {
        // AND mask (1: transparent) over the colour bitmap, or over the XOR half of a
        // monochrome cursor; an inverting pixel is drawn black.
        const auto and_mask = read(icon.hbmMask, icon.hbmColor ? height : height * 2);
        const auto color =
            icon.hbmColor ? read(icon.hbmColor, height) : std::vector<std::uint32_t>{};
        const bool has_alpha =
            std::any_of(color.begin(), color.end(), [](std::uint32_t p) { return (p >> 24) != 0; });
        cursor.width = width;
        cursor.height = height;
        cursor.hotspot_x = static_cast<int>(icon.xHotspot);
        cursor.hotspot_y = static_cast<int>(icon.yHotspot);
        cursor.pixels.resize(static_cast<std::size_t>(width) * height);
        for (std::size_t i = 0; i < cursor.pixels.size(); ++i) {
            const bool transparent = (and_mask[i] & 0xffffff) != 0;
            std::uint32_t pixel = 0;
            if (icon.hbmColor) {
                const bool shown = has_alpha ? (color[i] >> 24) >= 0x80 : !transparent;
                pixel = shown ? 0xff000000 | (color[i] & 0xffffff) : 0;
            } else {
                const bool white = (and_mask[i + cursor.pixels.size()] & 0xffffff) != 0;
                pixel = transparent && !white ? 0 : white && !transparent ? 0xffffffff : 0xff000000;
            }
            cursor.pixels[i] = pixel;
        }
    }
    DeleteObject(icon.hbmMask);
    if (icon.hbmColor)
        DeleteObject(icon.hbmColor);
    return cursor;
}

void Input::Key(std::uint32_t keysym, bool down) {
    if (down)
        held_.push_back(keysym);
    else
        std::erase(held_, keysym);
    if (keysym == 0xffe1 || keysym == 0xffe2)
        shift_ = down;
    for (const NamedKey& key : kNamedKeys) {
        if (key.keysym == keysym) {
            SendVirtualKey(key.vk, key.extended, down);
            return;
        }
    }
    if (keysym >= 0xffbe && keysym <= 0xffc9) {  // F1-F12
        SendVirtualKey(static_cast<WORD>(VK_F1 + (keysym - 0xffbe)), false, down);
        return;
    }
    const std::uint32_t code_point = CodePoint(keysym);
    if (code_point == 0)
        return;
    // A character the layout has, with the shift state the viewer holds, goes as its key, so
    // that shortcuts (Ctrl+C) work; any other as Unicode text.
    if (code_point < 0x10000) {
        const SHORT scan = VkKeyScanW(static_cast<WCHAR>(code_point));
        const int shift_state = scan == -1 ? -1 : (scan >> 8) & 0xff;
        if (scan != -1 && (shift_state & ~1) == 0 && (shift_state == 1) == shift_) {
            SendVirtualKey(static_cast<WORD>(scan & 0xff), false, down);
            return;
        }
    }
    SendUnicode(code_point, down);
}

void Input::Pointer(int x, int y, std::uint8_t buttons, POINT origin) {
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = std::max(1, GetSystemMetrics(SM_CXVIRTUALSCREEN) - 1),
              height = std::max(1, GetSystemMetrics(SM_CYVIRTUALSCREEN) - 1);
    const int desktop_x = origin.x + x, desktop_y = origin.y + y;
    SetCursorPos(desktop_x, desktop_y);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = static_cast<LONG>((desktop_x - left) * 65535LL / width);
    input.mi.dy = static_cast<LONG>((desktop_y - top) * 65535LL / height);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    constexpr struct {
        std::uint8_t bit;
        DWORD down, up;
    } kButtons[] = {{1, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP},
                    {2, MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP},
                    {4, MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP}};
    for (const auto& button : kButtons) {
        if ((buttons ^ buttons_) & button.bit)
            input.mi.dwFlags |= (buttons & button.bit) ? button.down : button.up;
    }
    Send(input);
    // The wheel: a press of button 4 (up) or 5 (down) is one notch.
    for (const auto& [bit, delta] : {std::pair{8, WHEEL_DELTA}, std::pair{16, -WHEEL_DELTA}}) {
        if ((buttons & bit) && !(buttons_ & bit)) {
            INPUT wheel{};
            wheel.type = INPUT_MOUSE;
            wheel.mi.dwFlags = MOUSEEVENTF_WHEEL;
            wheel.mi.mouseData = static_cast<DWORD>(delta);
            Send(wheel);
        }
    }
    buttons_ = buttons;
}

void Input::Release() {
    while (!held_.empty())
        Key(held_.back(), false);
    if (buttons_ & 7) {
        POINT at{};
        GetCursorPos(&at);
        Pointer(at.x, at.y, 0, {0, 0});
    }
}

}  // namespace talagent::win
