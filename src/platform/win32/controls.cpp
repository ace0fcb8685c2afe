// The list box and fonts: thin wrappers over the list box messages and GDI.
// The SDK first, before any header of the layer (see win_includes.h).
#include "platform/win32/win_includes.h"

#include "platform/controls.h"

#include <cstring>

#include "platform/win32/double_click.h"

namespace {
HWND g_doubleClickWindow = nullptr;
LPARAM g_doubleClickPoint = 0;
}  // namespace

void platform::win32::NoteDoubleClick(HWND window, LPARAM clientPoint) {
    g_doubleClickWindow = window;
    g_doubleClickPoint = clientPoint;
}

bool platform::win32::LastDoubleClick(HWND window, POINT* clientPoint) {
    if (window == nullptr || window != g_doubleClickWindow)
        return false;
    clientPoint->x = static_cast<short>(LOWORD(g_doubleClickPoint));
    clientPoint->y = static_cast<short>(HIWORD(g_doubleClickPoint));
    return true;
}

bool GetFontDescription(HFONT font, LogFont* description) {
    LOGFONTA lf;
    if (font == nullptr || description == nullptr || GetObjectA(font, sizeof lf, &lf) != sizeof lf)
        return false;
    LogFont d;
    d.lfHeight = lf.lfHeight;
    d.lfWidth = lf.lfWidth;
    d.lfEscapement = lf.lfEscapement;
    d.lfOrientation = lf.lfOrientation;
    d.lfWeight = lf.lfWeight;
    d.lfItalic = lf.lfItalic;
    d.lfUnderline = lf.lfUnderline;
    d.lfStrikeOut = lf.lfStrikeOut;
    d.lfCharSet = lf.lfCharSet;
    d.lfOutPrecision = lf.lfOutPrecision;
    d.lfClipPrecision = lf.lfClipPrecision;
    d.lfQuality = lf.lfQuality;
    d.lfPitchAndFamily = lf.lfPitchAndFamily;
    static_assert(sizeof d.lfFaceName == sizeof lf.lfFaceName);
    std::memcpy(d.lfFaceName, lf.lfFaceName, sizeof d.lfFaceName);
    d.lfFaceName[sizeof d.lfFaceName - 1] = '\0';
    *description = d;
    return true;
}

CFont::~CFont() {
    if (m_hFont != nullptr)
        DeleteObject(m_hFont);
}

bool CFont::CreateFontIndirect(const LogFont& d) {
    LOGFONTA lf{};
    lf.lfHeight = d.lfHeight;
    lf.lfWidth = d.lfWidth;
    lf.lfEscapement = d.lfEscapement;
    lf.lfOrientation = d.lfOrientation;
    lf.lfWeight = d.lfWeight;
    lf.lfItalic = d.lfItalic;
    lf.lfUnderline = d.lfUnderline;
    lf.lfStrikeOut = d.lfStrikeOut;
    lf.lfCharSet = d.lfCharSet;
    lf.lfOutPrecision = d.lfOutPrecision;
    lf.lfClipPrecision = d.lfClipPrecision;
    lf.lfQuality = d.lfQuality;
    lf.lfPitchAndFamily = d.lfPitchAndFamily;
    std::memcpy(lf.lfFaceName, d.lfFaceName, sizeof lf.lfFaceName);
    lf.lfFaceName[sizeof lf.lfFaceName - 1] = '\0';
    const HFONT font = CreateFontIndirectA(&lf);
    if (font == nullptr)
        return false;
    if (m_hFont != nullptr)
        DeleteObject(m_hFont);
    m_hFont = font;
    return true;
}

int CListBox::AddString(const std::string& text) {
    return static_cast<int>(
        SendMessageA(m_hWnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void CListBox::ResetContent() {
    SendMessageA(m_hWnd, LB_RESETCONTENT, 0, 0);
}

int CListBox::GetCount() const {
    return static_cast<int>(SendMessageA(m_hWnd, LB_GETCOUNT, 0, 0));
}

int CListBox::GetCurSel() const {
    return static_cast<int>(SendMessageA(m_hWnd, LB_GETCURSEL, 0, 0));
}

int CListBox::SetCurSel(int index) {
    return static_cast<int>(SendMessageA(m_hWnd, LB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

int CListBox::GetText(int index, std::string& text) const {
    const LRESULT length = SendMessageA(m_hWnd, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR)
        return LB_ERR;
    std::string buffer(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT copied = SendMessageA(m_hWnd, LB_GETTEXT, static_cast<WPARAM>(index),
                                        reinterpret_cast<LPARAM>(buffer.data()));
    if (copied == LB_ERR)
        return LB_ERR;
    buffer.resize(static_cast<std::size_t>(copied));
    text = buffer;
    return static_cast<int>(copied);
}

int CListBox::GetDoubleClickedItem() const {
    POINT at;
    if (!platform::win32::LastDoubleClick(m_hWnd, &at))
        return LB_ERR;
    // The nearest entry, which holds the point only when the point is on it:
    // below the last entry the list box still names the last one.
    const LRESULT hit = SendMessageA(m_hWnd, LB_ITEMFROMPOINT, 0, MAKELPARAM(at.x, at.y));
    if (HIWORD(hit) != 0)
        return LB_ERR;
    const int index = LOWORD(hit);
    RECT item;
    if (SendMessageA(m_hWnd, LB_GETITEMRECT, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&item)) == LB_ERR ||
        !PtInRect(&item, at))
        return LB_ERR;
    return index;
}

HFONT CListBox::GetFont() const {
    return reinterpret_cast<HFONT>(SendMessageA(m_hWnd, WM_GETFONT, 0, 0));
}

void CListBox::SetFont(HFONT font, BOOL redraw) {
    // Per-monitor v2 dialogs (Windows 10 1703 and later) give every control
    // the dialog's rescaled font on a change of DPI, unless told otherwise.
    using SetBehaviorFunction = BOOL(WINAPI*)(HWND, DIALOG_CONTROL_DPI_CHANGE_BEHAVIORS,
                                              DIALOG_CONTROL_DPI_CHANGE_BEHAVIORS);
    static const auto setBehavior =
        reinterpret_cast<SetBehaviorFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleA("user32.dll"), "SetDialogControlDpiChangeBehavior")));
    if (setBehavior != nullptr)
        setBehavior(m_hWnd, DCDC_DISABLE_FONT_UPDATE, DCDC_DISABLE_FONT_UPDATE);
    SendMessageA(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(font),
                 MAKELPARAM(redraw ? TRUE : FALSE, 0));
}
