// CDialog on the Win32 dialog manager: the window comes from the registered
// template of the same number (dialog_template.h), built in memory, and the
// modal loop is the framework's own,
// so that PreTranslateMessage sees every message of the dialog and its
// controls before the dialog manager does.
// The SDK first, before any header of the layer (see win_includes.h).
#include "platform/win32/win_includes.h"

#include "platform/dialog.h"

#include <cstddef>
#include <vector>

#include "platform/dialog_template.h"

#include "platform/testing.h"
#include "platform/win32/double_click.h"

// The RECT* of a message reads as a CRect* (dialog.h).
static_assert(sizeof(CRect) == sizeof(RECT) && offsetof(CRect, left) == offsetof(RECT, left) &&
              offsetof(CRect, top) == offsetof(RECT, top) &&
              offsetof(CRect, right) == offsetof(RECT, right) &&
              offsetof(CRect, bottom) == offsetof(RECT, bottom));

namespace {

// What the backend keeps for a dialog while its window exists.
struct DialogState {
    bool ended = false;
    INT_PTR result = -1;
    // Set by a handler that wants the dialog manager's default processing.
    bool wantDefault = false;
};

DialogState* StateOf(const CDialog& d) {
    return static_cast<DialogState*>(d.m_backend);
}

// Messages whose result is the dialog procedure's return value itself
// rather than DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return true;
        default:
            return false;
    }
}

// As the framework does: a dialog that its initialisation did not place is
// centred over its owner, or over the work area when it has none.
void CenterUnlessMoved(HWND hwnd, const RECT& before) {
    RECT now;
    if (!GetWindowRect(hwnd, &now) || !EqualRect(&now, &before))
        return;
    if (GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_CHILD)
        return;
    RECT area;
    const HWND owner = GetWindow(hwnd, GW_OWNER);
    if (owner == nullptr || !IsWindowVisible(owner) || IsIconic(owner) ||
        !GetWindowRect(owner, &area)) {
        MONITORINFO info{};
        info.cbSize = sizeof info;
        if (!GetMonitorInfoA(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &info))
            return;
        area = info.rcWork;
    }
    const int width = now.right - now.left, height = now.bottom - now.top;
    const int x = area.left + (area.right - area.left - width) / 2;
    const int y = area.top + (area.bottom - area.top - height) / 2;
    SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        dialog->m_hWnd = hwnd;
        RECT before;
        GetWindowRect(hwnd, &before);
        const BOOL result = dialog->OnInitDialog();
        CenterUnlessMoved(hwnd, before);
        return result;
    }
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (dialog == nullptr)
        return FALSE;
    DialogState* state = StateOf(*dialog);
    if (state == nullptr)
        return FALSE;

    // A handler may ask for the default processing (WantDefaultProcessing); the
    // flag belongs to this message only, so nested messages keep their own.
    const bool outerDefault = state->wantDefault;
    state->wantDefault = false;
    LRESULT result = 0;
    const bool handled = dialog->DispatchEvent(message, wParam, lParam, result);
    const bool wantDefault = state->wantDefault;
    state->wantDefault = outerDefault;
    if (message == WM_NCDESTROY)
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);

    if (!handled || wantDefault)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

bool IsDialogOrChild(HWND dialog, HWND window) {
    return window != nullptr && (window == dialog || IsChild(dialog, window));
}

// The framework's modal loop: PreTranslateMessage first, then the dialog
// manager's keyboard handling, then ordinary dispatch, until EndDialog.
void RunModalLoop(CDialog& dialog, DialogState& state) {
    MSG msg;
    while (!state.ended) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1)
            break;
        if (got == 0) {
            // WM_QUIT ends the modal run and stays for the outer loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        const HWND hwnd = dialog.m_hWnd;
        if (msg.message == WM_LBUTTONDBLCLK)
            platform::win32::NoteDoubleClick(msg.hwnd, msg.lParam);
        if (IsDialogOrChild(hwnd, msg.hwnd)) {
            const WindowMessage wm{msg.hwnd, msg.message, msg.wParam, msg.lParam};
            if (dialog.PreTranslateMessage(wm))
                continue;
            if (IsDialogMessageA(hwnd, &msg))
                continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

INT_PTR CDialog::DoModal() {
    DialogState state;
    m_backend = &state;
    const HINSTANCE instance = GetModuleHandleA(nullptr);

    // The parent stays disabled for the length of the modal run.
    const bool parentWasEnabled = m_parent != nullptr && IsWindowEnabled(m_parent);
    if (parentWasEnabled)
        EnableWindow(m_parent, FALSE);

    // WM_INITDIALOG (OnInitDialog) runs inside this call, before a visible
    // template is shown. The ANSI call makes ANSI windows, so the list keeps
    // its entries' bytes in the active code page, as from a resource.
    const DialogTemplate* description = FindDialogTemplate(m_templateId);
    const std::vector<unsigned char> bytes =
        description != nullptr ? DialogTemplateBytes(*description) : std::vector<unsigned char>{};
    const HWND hwnd =
        bytes.empty()
            ? nullptr
            : CreateDialogIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(bytes.data()),
                                         m_parent, DialogProcedure, reinterpret_cast<LPARAM>(this));
    if (hwnd != nullptr) {
        if (!state.ended) {
            if (auto& hook = platform::testing::CurrentHooks().dialogShown)
                hook(*this);
            RunModalLoop(*this, state);
        }
        // Hidden first, so that re-enabling the parent activates it rather
        // than some other window.
        SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                     SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
    }
    if (parentWasEnabled) {
        EnableWindow(m_parent, TRUE);
        if (hwnd != nullptr && GetActiveWindow() == hwnd)
            SetActiveWindow(m_parent);
    }
    // WM_DESTROY reaches the event table through the dialog procedure.
    if (hwnd != nullptr)
        DestroyWindow(hwnd);
    m_hWnd = nullptr;
    m_backend = nullptr;
    return hwnd == nullptr ? -1 : state.result;
}

void CDialog::EndDialog(int result) {
    DialogState* state = StateOf(*this);
    if (state == nullptr)
        return;
    state->ended = true;
    state->result = result;
    // Wakes the loop if the call came from outside a message of this thread.
    if (m_hWnd != nullptr)
        PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

HWND CDialog::GetDlgItem(int id) const {
    return m_hWnd == nullptr ? nullptr : ::GetDlgItem(m_hWnd, id);
}

void CDialog::SetWindowText(const std::string& text) {
    if (m_hWnd != nullptr)
        SetWindowTextA(m_hWnd, text.c_str());
}

std::string CDialog::GetWindowText() const {
    if (m_hWnd == nullptr)
        return std::string();
    const int length = GetWindowTextLengthA(m_hWnd);
    if (length <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = GetWindowTextA(m_hWnd, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

HICON CDialog::SetIcon(HICON icon, BOOL bigIcon) {
    if (m_hWnd == nullptr)
        return nullptr;
    return reinterpret_cast<HICON>(SendMessageA(m_hWnd, WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL,
                                                reinterpret_cast<LPARAM>(icon)));
}

void CDialog::MoveWindow(const CRect& rect) {
    if (m_hWnd != nullptr)
        SetWindowPos(m_hWnd, nullptr, rect.left, rect.top, rect.Width(), rect.Height(),
                     SWP_NOZORDER | SWP_NOACTIVATE);
}

void CDialog::WantDefaultProcessing() {
    if (DialogState* state = StateOf(*this))
        state->wantDefault = true;
}

LRESULT SendWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == nullptr || !IsWindow(window))
        return 0;
    return SendMessageA(window, message, wParam, lParam);
}

HICON LoadAppIcon(UINT resourceId) {
    return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resourceId));
}
