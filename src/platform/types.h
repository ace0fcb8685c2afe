// Basic types and constants of the platform layer.
//
// The system is written in the manner of a Win32 framework program, so the
// layer speaks Windows' vocabulary: the same type names, message numbers,
// notification codes and socket error codes. On Windows they are the
// platform's own: the typedefs below are identical to the SDK's, and each
// constant is defined only when the SDK has not defined it already.
//
// The constants are typed constants, not macros, so that a system header
// included after a platform header finds none of its names taken: the
// SDK's macros of the same names then take over with the same values.
// SOCK_STREAM is the one name the layer shares with POSIX, where
// <sys/socket.h> declares it as an enumerator; there it is the system's own.
#pragma once

#include <cstdint>

#ifndef _WIN32
#include <sys/socket.h>
#endif

using UINT = unsigned int;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using INT_PTR = std::intptr_t;
using SOCKET = std::uintptr_t;

typedef struct HWND__* HWND;
typedef struct HICON__* HICON;
typedef struct HFONT__* HFONT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Window messages.
#ifndef WM_DESTROY
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_SETFONT = 0x0030;
inline constexpr UINT WM_GETFONT = 0x0031;
inline constexpr UINT WM_QUERYDRAGICON = 0x0037;
inline constexpr UINT WM_SETICON = 0x0080;
inline constexpr UINT WM_KEYDOWN = 0x0100;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_USER = 0x0400;
#endif

// Sent to a per-monitor aware window when the DPI of its monitor changes: the
// new DPI in wParam (x in the low word, y in the high word), the window's
// suggested new outer rectangle as a RECT* in lParam. The SDK has it only
// from Windows 7 on (WINVER 0x0601), so it has a guard of its own.
#ifndef WM_DPICHANGED
inline constexpr UINT WM_DPICHANGED = 0x02E0;
#endif

#ifndef VK_RETURN
inline constexpr int VK_RETURN = 0x0D;
inline constexpr int VK_ESCAPE = 0x1B;
#endif

#ifndef IDOK
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
#endif

#ifndef BN_CLICKED
inline constexpr int BN_CLICKED = 0;
#endif
#ifndef LBN_DBLCLK
inline constexpr int LBN_SELCHANGE = 1;
inline constexpr int LBN_DBLCLK = 2;
inline constexpr int LB_ERR = -1;
#endif

#ifndef ICON_BIG
inline constexpr int ICON_SMALL = 0;
inline constexpr int ICON_BIG = 1;
#endif

// Sockets (Windows Sockets 1.1 numbering).
#ifndef INVALID_SOCKET
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
#endif
#ifndef SOCKET_ERROR
inline constexpr int SOCKET_ERROR = -1;
#endif
#ifndef SOCK_STREAM
inline constexpr int SOCK_STREAM = 1;
#endif
#ifndef FD_READ
inline constexpr int FD_READ = 0x01;
inline constexpr int FD_WRITE = 0x02;
inline constexpr int FD_OOB = 0x04;
inline constexpr int FD_ACCEPT = 0x08;
inline constexpr int FD_CONNECT = 0x10;
inline constexpr int FD_CLOSE = 0x20;
#endif
#ifndef SD_SEND
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;
#endif
#ifndef WSAEINVAL
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
#endif

// Window, list box and button styles used by dialog templates.
#ifndef WS_POPUP
inline constexpr unsigned long WS_POPUP = 0x80000000;
inline constexpr unsigned long WS_VISIBLE = 0x10000000;
inline constexpr unsigned long WS_CAPTION = 0x00C00000;
inline constexpr unsigned long WS_BORDER = 0x00800000;
inline constexpr unsigned long WS_VSCROLL = 0x00200000;
inline constexpr unsigned long WS_SYSMENU = 0x00080000;
inline constexpr unsigned long WS_TABSTOP = 0x00010000;
inline constexpr unsigned long WS_EX_APPWINDOW = 0x00040000;
#endif
#ifndef DS_MODALFRAME
inline constexpr unsigned long DS_SETFONT = 0x40;
inline constexpr unsigned long DS_MODALFRAME = 0x80;
#endif
#ifndef LBS_NOTIFY
inline constexpr unsigned long LBS_NOTIFY = 0x0001;
inline constexpr unsigned long LBS_SORT = 0x0002;
inline constexpr unsigned long LBS_NOINTEGRALHEIGHT = 0x0100;
#endif
#ifndef BS_PUSHBUTTON
inline constexpr unsigned long BS_PUSHBUTTON = 0x00000000;
inline constexpr unsigned long BS_DEFPUSHBUTTON = 0x00000001;
#endif

inline constexpr UINT LoWord(WPARAM w) {
    return static_cast<UINT>(w & 0xFFFF);
}
inline constexpr UINT HiWord(WPARAM w) {
    return static_cast<UINT>((w >> 16) & 0xFFFF);
}
inline constexpr WPARAM MakeWParam(UINT lo, UINT hi) {
    return static_cast<WPARAM>((lo & 0xFFFF) | ((hi & 0xFFFF) << 16));
}
