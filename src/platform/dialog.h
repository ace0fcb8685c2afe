// The modal dialog of the platform layer, with its event table.
//
// A dialog is described by a template (dialog_template.h) and driven by
// messages with Windows' numbers. The backend creates the window, runs the
// modal loop and turns what happens in it into messages; this class looks
// each message up in the derived class's event table and calls the handler.
// PreTranslateMessage sees keyboard messages before the dialog does, as in
// a Win32 framework's modal loop.
#pragma once

#include <span>
#include <string>
#include <type_traits>

#include "platform/types.h"

struct WindowMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class CDialog;
using EventHandler = LRESULT (*)(CDialog& self, WPARAM wParam, LPARAM lParam);

// One row of an event table. A WM_COMMAND row matches the control id and
// notification code carried in wParam; any other row matches the message.
struct EventEntry {
    UINT message;
    UINT id;
    UINT code;
    EventHandler handler;
};

namespace event_table_detail {
template <class F>
struct MemberOf;
template <class C, class R, class... A>
struct MemberOf<R (C::*)(A...)> {
    using Class = C;
    using Result = R;
};

template <auto F>
LRESULT Invoke(CDialog& self, WPARAM wParam, LPARAM lParam) {
    using C = typename MemberOf<decltype(F)>::Class;
    using R = typename MemberOf<decltype(F)>::Result;
    C& target = static_cast<C&>(self);
    if constexpr (std::is_invocable_v<decltype(F), C&, WPARAM, LPARAM>) {
        return static_cast<LRESULT>((target.*F)(wParam, lParam));
    } else if constexpr (std::is_void_v<R>) {
        (target.*F)();
        return 0;
    } else if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<LRESULT>((target.*F)());
    } else {
        return static_cast<LRESULT>((target.*F)());
    }
}
}  // namespace event_table_detail

// Table rows: a message handled by a member function, which takes either
// (WPARAM, LPARAM) or nothing; or a control's notification.
template <auto F>
constexpr EventEntry OnMessageEntry(UINT message) {
    return {message, 0, 0, &event_table_detail::Invoke<F>};
}
template <auto F>
constexpr EventEntry OnCommandEntry(UINT id, UINT code) {
    return {WM_COMMAND, id, code, &event_table_detail::Invoke<F>};
}

// A rectangle in pixels. It has the layout of Windows' RECT, so the RECT* a
// message carries in lParam (WM_DPICHANGED) reads as a CRect*.
struct CRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

class CDialog {
public:
    explicit CDialog(UINT templateId, HWND parent = nullptr);
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the window from the template, runs the modal loop until
    // EndDialog, destroys the window (WM_DESTROY reaches the table) and
    // returns the value given to EndDialog.
    INT_PTR DoModal();
    void EndDialog(int result);

    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetDlgItem(int id) const;
    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;
    HICON SetIcon(HICON icon, BOOL bigIcon);
    // Places the window's outer rectangle (frame included), in screen
    // pixels; its Z order and activation stay as they are.
    void MoveWindow(const CRect& rect);

    // Synchronous: the handler has run when this returns.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    virtual BOOL OnInitDialog();
    virtual BOOL PreTranslateMessage(const WindowMessage& msg);
    virtual void OnOK();
    virtual void OnCancel();

    // Called by the backend for every message of the dialog. Returns true
    // when the table (or the IDOK/IDCANCEL default) handled it.
    bool DispatchEvent(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

protected:
    virtual std::span<const EventEntry> GetEventTable() const { return {}; }

    // The base dialog's own handling of WM_DESTROY.
    void OnDestroy() {}
    // Called from a handler: once it returns, the system's dialog manager
    // handles the message as well, as if the table had no row for it
    // (nothing on Qt, which has no such manager).
    void WantDefaultProcessing();

public:
    // Set by the backend while the window exists.
    HWND m_hWnd = nullptr;
    void* m_backend = nullptr;

private:
    UINT m_templateId;
    HWND m_parent;
};

// Sends a message to a dialog window of this thread, synchronously. A window
// that no longer exists receives nothing and the result is 0.
LRESULT SendWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

HICON LoadAppIcon(UINT resourceId);
