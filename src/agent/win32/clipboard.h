// This desktop's clipboard for talagent.exe's sessions: a clipboard listener window on the event
// loop's thread hands on text copied here (CF_UNICODETEXT, as UTF-8), and text an operator copies
// is put on the clipboard from that window, whose own changes are not handed back.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace talagent::win {

class ClipboardWatch {
public:
    explicit ClipboardWatch(std::function<void(const std::string&)> on_copied);
    ~ClipboardWatch();
    ClipboardWatch(const ClipboardWatch&) = delete;
    ClipboardWatch& operator=(const ClipboardWatch&) = delete;

    // Puts `utf8` on the clipboard (the first watch made does); false when it could not.
    static bool Set(const std::string& utf8);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l);
    void OnUpdate();

    HWND window_ = nullptr;
    std::function<void(const std::string&)> on_copied_;
};

// What session.cpp calls for the operator's text.
inline bool SetDesktopClipboard(const std::string& utf8) {
    return ClipboardWatch::Set(utf8);
}

}  // namespace talagent::win
