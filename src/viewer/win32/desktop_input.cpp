// The operator's side of talviewer.exe's window (see viewer_window.h): mouse buttons, motion
// and wheel, keys as X keysyms (keymap.h) with each release sending what its press sent, all of
// them released when the focus goes, F8 opening the menu and its Send keys, the remote cursor's
// shape as the mouse cursor, and clipboard text both ways. Everything goes to the remote desktop
// through the session.
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "viewer/win32/keymap.h"
#include "viewer/win32/support.h"
#include "viewer/win32/viewer_window.h"

namespace talviewer {

// The window's own keys and the mouse; true when the message was taken.
bool ViewerWindow::HandleInput(UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
        case WM_MOUSEMOVE:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
        case WM_LBUTTONDBLCLK:
        case WM_MOUSEWHEEL:
            Mouse(message, wp, lp);
            return true;
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            Key(wp, lp, true);
            return true;
        case WM_KEYUP:
        case WM_SYSKEYUP:
            Key(wp, lp, false);
            return true;
        case WM_CHAR:
        case WM_SYSCHAR:
        case WM_DEADCHAR:
        case WM_SYSDEADCHAR:
            return true;  // keys go to the remote desktop as they are pressed, not as text
        case WM_KILLFOCUS:
            ReleaseAll();
            return true;
        case WM_CLIPBOARDUPDATE:
            ClipboardChanged();
            return true;
        default:
            return false;
    }
}

void ViewerWindow::Mouse(UINT message, WPARAM wp, LPARAM lp) {
    if (!live() || view_only_)
        return;
    POINT p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
    if (message == WM_MOUSEWHEEL)
        ScreenToClient(hwnd_, &p);  // the wheel's position is on the screen
    int x = 0, y = 0;
    if (!ToDesktop(p.x, p.y, x, y))
        return;
    const WORD keys = GET_KEYSTATE_WPARAM(wp);
    uint8_t buttons = 0;
    if (keys & MK_LBUTTON)
        buttons |= 1;
    if (keys & MK_MBUTTON)
        buttons |= 2;
    if (keys & MK_RBUTTON)
        buttons |= 4;
    if (buttons && !buttons_)
        SetCapture(hwnd_);
    else if (!buttons && buttons_)
        ReleaseCapture();
    buttons_ = buttons;
    last_x_ = x;
    last_y_ = y;
    if (message == WM_MOUSEWHEEL) {
        // Each notch is a press and release of button 4 (up) or 5 (down).
        wheel_ += GET_WHEEL_DELTA_WPARAM(wp);
        while (wheel_ >= WHEEL_DELTA || wheel_ <= -WHEEL_DELTA) {
            const uint8_t bit = wheel_ > 0 ? 8 : 16;
            session_.SendPointer(x, y, buttons | bit, false);
            session_.SendPointer(x, y, buttons, false);
            wheel_ += wheel_ > 0 ? -WHEEL_DELTA : WHEEL_DELTA;
        }
    } else {
        session_.SendPointer(x, y, buttons, message == WM_MOUSEMOVE);
    }
}

void ViewerWindow::Key(WPARAM vk, LPARAM lp, bool down) {
    const bool extended = (lp >> 24) & 1;
    const UINT scan = ((static_cast<UINT>(lp) >> 16) & 0xff) | (extended ? 0x100 : 0);
    // Ctrl+Alt+Shift+F, A, Enter, V and S: the window's own, as in the system menu.
    if ((GetKeyState(VK_CONTROL) & 0x8000) && (GetKeyState(VK_MENU) & 0x8000) &&
        (GetKeyState(VK_SHIFT) & 0x8000) &&
        (vk == 'F' || vk == 'A' || vk == VK_RETURN || vk == 'V' || vk == 'S')) {
        if (down && !((lp >> 30) & 1)) {
            if (vk == 'F' || vk == 'A')
                SetFit(vk == 'F');
            else if (vk == VK_RETURN)
                SetFullScreen(!full_screen_);
            else if (vk == 'V')
                SetViewOnly(!view_only_);
            else
                SaveScreenshot();
        }
        return;
    }
    // F8 on its own opens the menu, whose Send keys > F8 sends it on.
    if (vk == VK_F8 && !(GetKeyState(VK_CONTROL) & 0x8000) && !(GetKeyState(VK_MENU) & 0x8000) &&
        !(GetKeyState(VK_SHIFT) & 0x8000)) {
        if (down && !((lp >> 30) & 1))  // not an auto-repeat
            ShowMenu();
        return;
    }
    if (!live() || view_only_)
        return;
    if (!down) {
        const auto held = held_keys_.find(scan);
        if (held == held_keys_.end())
            return;
        session_.SendKey(held->second, false);  // the keysym that was pressed
        held_keys_.erase(held);
        return;
    }
    // The message says Shift for either Shift key; the scan code tells them apart.
    const WPARAM side = vk == VK_SHIFT ? MapVirtualKeyW(scan & 0xff, MAPVK_VSC_TO_VK_EX) : vk;
    uint32_t keysym = KeysymForVirtualKey(static_cast<unsigned>(side ? side : vk), extended);
    if (!keysym) {
        BYTE state[256];
        GetKeyboardState(state);
        wchar_t text[8];
        // 4: leave the keyboard's dead-key state alone.
        int n = ToUnicode(static_cast<UINT>(vk), scan & 0xff, state, text, 8, 4);
        if (n <= 0 || text[0] < 0x20) {
            // Ctrl makes control characters of letters: the remote side wants the letter with
            // its own Ctrl held, so take the character without Ctrl and Alt.
            state[VK_CONTROL] = state[VK_LCONTROL] = state[VK_RCONTROL] = 0;
            state[VK_MENU] = state[VK_LMENU] = state[VK_RMENU] = 0;
            n = ToUnicode(static_cast<UINT>(vk), scan & 0xff, state, text, 8, 4);
        }
        if (n > 0)
            keysym = KeysymForText(text, n);
    }
    if (!keysym)
        return;
    const auto held = held_keys_.find(scan);
    if (held != held_keys_.end() && held->second != keysym)
        session_.SendKey(held->second, false);
    held_keys_[scan] = keysym;
    session_.SendKey(keysym, true);  // repeats send presses again, as X does
}

void ViewerWindow::ReleaseAll() {
    if (!live()) {
        held_keys_.clear();
        return;
    }
    for (const auto& [scan, keysym] : held_keys_)
        session_.SendKey(keysym, false);
    held_keys_.clear();
    if (buttons_) {
        buttons_ = 0;
        session_.SendPointer(last_x_, last_y_, 0, false);
        ReleaseCapture();
    }
}

void ViewerWindow::SendChord(const KeyChord& chord) {
    if (!live() || view_only_)
        return;
    talviewer::SendChord(chord,
                         [this](uint32_t keysym, bool down) { session_.SendKey(keysym, down); });
}

void ViewerWindow::ShowMenu() {
    RECT client;
    GetClientRect(hwnd_, &client);
    POINT centre{client.right / 2, client.bottom / 2};
    ClientToScreen(hwnd_, &centre);
    const UINT id = static_cast<UINT>(TrackPopupMenu(GetSystemMenu(hwnd_, FALSE),
                                                     TPM_RETURNCMD | TPM_RIGHTBUTTON, centre.x,
                                                     centre.y, 0, hwnd_, nullptr));
    if (id)
        PostMessageW(hwnd_, WM_SYSCOMMAND, id, 0);
}

void ViewerWindow::OnCursorChanged() {
    UpdateCursor();
}

void ViewerWindow::UpdateCursor() {
    const rfb::Cursor& c = session_.client().cursor();
    if (remote_cursor_) {
        DestroyIcon(remote_cursor_);
        remote_cursor_ = nullptr;
    }
    cursor_hidden_ = c.width <= 0 || c.height <= 0;
    if (!cursor_hidden_) {
        // The colour as a top-down 32-bit DIB with alpha; the mask 1 where transparent (rows
        // of whole 16-bit words, as CreateBitmap takes them).
        BITMAPV5HEADER header{};
        header.bV5Size = sizeof header;
        header.bV5Width = c.width;
        header.bV5Height = -c.height;
        header.bV5Planes = 1;
        header.bV5BitCount = 32;
        header.bV5Compression = BI_BITFIELDS;
        header.bV5RedMask = 0x00ff0000;
        header.bV5GreenMask = 0x0000ff00;
        header.bV5BlueMask = 0x000000ff;
        header.bV5AlphaMask = 0xff000000;
        void* bits = nullptr;
        const HDC screen = GetDC(nullptr);
        const HBITMAP color = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                               DIB_RGB_COLORS, &bits, nullptr, 0);
        ReleaseDC(nullptr, screen);
        const std::size_t row = static_cast<std::size_t>((c.width + 15) / 16) * 2;
        std::vector<uint8_t> mask(row * static_cast<std::size_t>(c.height), 0xff);
        if (color && bits) {
            std::memcpy(bits, c.pixels.data(), c.pixels.size() * sizeof(uint32_t));
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x)
                    if (c.pixels[static_cast<std::size_t>(y) * c.width + x] >> 24)
                        mask[y * row + x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
            const HBITMAP mono = CreateBitmap(c.width, c.height, 1, 1, mask.data());
            ICONINFO icon{FALSE, static_cast<DWORD>(c.hotspot_x), static_cast<DWORD>(c.hotspot_y),
                          mono, color};
            remote_cursor_ = CreateIconIndirect(&icon);
            DeleteObject(mono);
        }
        if (color)
            DeleteObject(color);
    }
    Log("cursor " + std::to_string(c.width) + "x" + std::to_string(c.height) +
        (remote_cursor_ || cursor_hidden_ ? "" : " failed"));
    POINT p;
    GetCursorPos(&p);
    if (WindowFromPoint(p) == hwnd_)
        SetCursor(cursor_hidden_ ? nullptr : remote_cursor_);
}

void ViewerWindow::OnClipboard(const std::string& utf8) {
    if (utf8.empty())
        return;  // an emptied remote selection does not clear the operator's clipboard
    std::wstring text = Wide(utf8);
    // Windows text has CRLF line ends.
    std::wstring crlf;
    for (const wchar_t c : text) {
        if (c == L'\n' && (crlf.empty() || crlf.back() != L'\r'))
            crlf += L'\r';
        crlf += c;
    }
    if (!OpenClipboard(hwnd_))
        return;
    EmptyClipboard();
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (crlf.size() + 1) * sizeof(wchar_t));
    if (memory) {
        auto* p = static_cast<wchar_t*>(GlobalLock(memory));
        std::memcpy(p, crlf.c_str(), (crlf.size() + 1) * sizeof(wchar_t));
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory))
            GlobalFree(memory);
    }
    CloseClipboard();
    clipboard_set_ = crlf;
    Log("clipboard-in " + std::to_string(utf8.size()));
}

void ViewerWindow::ClipboardChanged() {
    if (!live() || view_only_)
        return;
    if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(hwnd_))
        return;
    std::wstring text;
    if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        const auto* p = static_cast<const wchar_t*>(GlobalLock(data));
        if (p) {
            const std::size_t limit = GlobalSize(data) / sizeof(wchar_t);
            text.assign(p, std::find(p, p + limit, L'\0'));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    if (text.empty() || text == clipboard_set_)
        return;  // nothing, or what the remote side just sent us
    std::wstring lf;
    for (const wchar_t c : text)
        if (c != L'\r')
            lf += c;
    session_.SendClipboard(Utf8(lf));
    Log("clipboard-out " + std::to_string(lf.size()));
}

}  // namespace talviewer
