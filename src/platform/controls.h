// Controls of a dialog: the list box and fonts.
#pragma once

#include <string>

#include "platform/types.h"

// A font description, field for field the Windows one.
struct LogFont {
    std::int32_t lfHeight = 0;
    std::int32_t lfWidth = 0;
    std::int32_t lfEscapement = 0;
    std::int32_t lfOrientation = 0;
    std::int32_t lfWeight = 0;
    unsigned char lfItalic = 0;
    unsigned char lfUnderline = 0;
    unsigned char lfStrikeOut = 0;
    unsigned char lfCharSet = 0;
    unsigned char lfOutPrecision = 0;
    unsigned char lfClipPrecision = 0;
    unsigned char lfQuality = 0;
    unsigned char lfPitchAndFamily = 0;
    char lfFaceName[32] = {};
};

// Reads the description of a font; false for a null or unknown handle.
bool GetFontDescription(HFONT font, LogFont* description);

// A font owned by the object that holds it.
class CFont {
public:
    CFont() = default;
    ~CFont();
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;
    // Replaces the font it holds, which must then be in use nowhere.
    bool CreateFontIndirect(const LogFont& description);
    HFONT GetSafeHandle() const { return m_hFont; }
    // Exchanges the fonts of the two: the way to replace a font that a
    // control uses, once the control has been given the new one.
    void Swap(CFont& other) noexcept {
        HFONT font = m_hFont;
        m_hFont = other.m_hFont;
        other.m_hFont = font;
    }

private:
    HFONT m_hFont = nullptr;
};

// A list box child of a dialog. Text is bytes in the active code page; a
// sorted list box keeps its entries in the platform's own list order.
class CListBox {
public:
    explicit CListBox(HWND window) : m_hWnd(window) {}
    int AddString(const std::string& text);
    void ResetContent();
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int index);
    // The entry's text in `text`; returns its length, or LB_ERR.
    int GetText(int index, std::string& text) const;
    // Inside the handler of a double-click (LBN_DBLCLK): the entry the
    // double-click fell on, or LB_ERR when it fell on blank space. The list
    // reports a double-click wherever it falls in its client area.
    int GetDoubleClickedItem() const;
    HFONT GetFont() const;
    // The font stays the control's until the next SetFont: on a change of
    // DPI the system's dialog manager does not replace it with the dialog's
    // (the owner rescales it on WM_DPICHANGED). The caller keeps it alive.
    void SetFont(HFONT font, BOOL redraw);
    HWND GetSafeHwnd() const { return m_hWnd; }

private:
    HWND m_hWnd;
};
