// talviewer.exe's window: the remote desktop drawn scaled to fit or at 1:1 with scroll bars,
// the status line while there is none, the system menu's view and Send keys items (F8 opens it),
// the remote screen shown, the remote desktop resized to the window, full screen, view only and
// the screenshot, the sign-in dialog, and the end of the viewer with a message and an exit
// status. It owns the session (session.h) and is its observer; the operator's keys, mouse, cursor
// and clipboard (desktop_input.cpp) go to the session from here. main.cpp creates it and runs the
// loop.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "viewer/key_chords.h"
#include "viewer/win32/session.h"

namespace talviewer {

class ViewerWindow : private SessionObserver {
public:
    ViewerWindow(SessionSetup setup, TlsSetup tls);
    // Shows the window and starts the session; false if the window could not be made.
    bool Create(HINSTANCE instance, int show);
    int exit_status() const { return exit_status_; }

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT message, WPARAM wp, LPARAM lp);
    bool HandleInput(UINT message, WPARAM wp, LPARAM lp);

    // From the session.
    void OnStatus(const std::string& text) override;
    void OnConnected(bool encrypted) override;
    void OnFramebufferUpdated(const std::vector<rfb::Rect>& rects) override;
    void OnDesktopResized(int width, int height) override;
    void OnCursorChanged() override;
    void OnScreensChanged() override;
    void OnClipboard(const std::string& utf8) override;
    void OnBell() override;
    void OnCredentialsNeeded(bool user_name) override;
    void OnFailed(Failure failure, const std::string& detail) override;
    void AskCredentials(bool user_name);

    // The picture (viewer_window.cpp).
    void Paint();
    RECT Destination() const;  // where the desktop is drawn in the client area
    bool ToDesktop(int x, int y, int& dx, int& dy) const;
    void InvalidateDesktop(const rfb::Rect& r);
    void FitWindow();
    void SetFit(bool fit);
    void CheckQuality();
    void UpdateScrollBars();
    void Scroll(int bar, WORD request);
    rfb::Rect Shown() const;  // the part of the framebuffer shown (screen_choice.h)

    // The operator's input, cursor and clipboard (desktop_input.cpp).
    void Mouse(UINT message, WPARAM wp, LPARAM lp);
    void Key(WPARAM vk, LPARAM lp, bool down);
    void ReleaseAll();

    // The operator's window actions (window_actions.cpp).
    void ShowTitle();
    void SetFullScreen(bool on);
    void SetViewOnly(bool on);
    void SaveScreenshot();
    void ChooseScreen(int index);
    void SetResizeRemote(bool on);
    void FitRemoteDesktop();
    void SendChord(const KeyChord& chord);  // the Send keys menu's
    void ShowMenu();                        // F8: the system menu, at the desktop's centre
    void UpdateCursor();
    void ClipboardChanged();
    bool live() const { return session_.connected(); }

    // System menu ids (multiples of 16, as the system menu wants).
    static constexpr UINT kMenuFit = 0x1010;
    static constexpr UINT kMenuActual = 0x1020;
    static constexpr UINT kMenuFullScreen = 0x1030;
    static constexpr UINT kMenuViewOnly = 0x1040;
    static constexpr UINT kMenuScreenshot = 0x1050;
    static constexpr UINT kMenuResizeRemote = 0x1060;
    static constexpr UINT kMenuScreenFirst = 0x1300;  // + 16 * (the screen's index + 1); all: +0
    static constexpr UINT kMenuScreenLast = kMenuScreenFirst + 16 * 255;
    static constexpr UINT kMenuChordFirst = 0x1100;  // + 16 * the chord's place in kKeyChords

    std::string name_;
    viewer::Quality quality_;
    HMENU quality_menu_ = nullptr;
    HMENU screens_menu_ = nullptr;  // one item per remote screen, when there are several
    int screen_ = -1;               // the remote screen shown, or -1 for all
    bool resize_remote_ = false;    // the remote desktop follows the window's size
    Session session_;
    bool encrypted_ = true;
    bool view_only_ = false;  // no keys, pointer or clipboard go to the remote side
    bool full_screen_ = false;
    WINDOWPLACEMENT placement_{};  // where the window was before full screen
    HWND hwnd_ = nullptr;
    bool fit_ = true;
    std::string status_;
    int exit_status_ = 0;
    bool ended_ = false;
    bool resize_pending_ = false;  // the window follows the desktop's size from a timer
    HCURSOR remote_cursor_ = nullptr;
    bool cursor_hidden_ = false;
    std::map<UINT, uint32_t> held_keys_;  // scan code (+ 0x100 extended) -> keysym sent
    uint8_t buttons_ = 0;
    int wheel_ = 0;
    int last_x_ = 0, last_y_ = 0;
    std::wstring clipboard_set_;  // the text this viewer put there itself
    uint64_t frames_ = 0;
    int scroll_x_ = 0, scroll_y_ = 0;  // 1:1: the desktop's pixel at the window's top left
};

}  // namespace talviewer
