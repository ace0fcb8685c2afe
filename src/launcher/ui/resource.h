// Resource numbers and the main dialog's template values, shared by the
// resource script and the template table (both read these definitions, so
// the dialog is described once). Plain #defines: the resource compiler reads
// this file too.
#pragma once

#define IDD_LAUNCHER 102
#define IDR_MAINFRAME 128
#define IDC_HOST_LIST 1000
#define IDC_REFRESH 1001

// Dialog units.
#define LAUNCHER_DLG_CX 135
#define LAUNCHER_DLG_CY 179
#define LAUNCHER_FONT_POINTS 9

#define HOST_LIST_X 5
#define HOST_LIST_Y 5
#define HOST_LIST_CX 123
#define HOST_LIST_CY 138

#define REFRESH_X 6
#define REFRESH_Y 148
#define REFRESH_CX 121
#define REFRESH_CY 25

#define LAUNCHER_DLG_STYLE \
    (DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU)
#define LAUNCHER_DLG_EXSTYLE WS_EX_APPWINDOW
#define HOST_LIST_STYLE \
    (LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP)
#define REFRESH_STYLE (BS_PUSHBUTTON | WS_TABSTOP)
