// Basic types and constants of the platform layer.
//
// The system is written in the manner of a Win32 framework program, so the
// layer speaks Windows' vocabulary: the same type names, message numbers,
// notification codes and socket error codes. On Windows they are the
// platform's own (the typedefs below are identical to the SDK's, and each
// constant is defined only when the SDK has not defined it already); on other
// platforms the backend gives them the same meaning.
#pragma once

#include <cstdint>

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
typedef struct HDC__* HDC;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Window messages.
#ifndef WM_DESTROY
#define WM_DESTROY 0x0002
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_ICONERASEBKGND 0x0027
#define WM_SETFONT 0x0030
#define WM_GETFONT 0x0031
#define WM_QUERYDRAGICON 0x0037
#define WM_SETICON 0x0080
#define WM_KEYDOWN 0x0100
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_USER 0x0400
#endif

#ifndef VK_RETURN
#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B
#endif

#ifndef IDOK
#define IDOK 1
#define IDCANCEL 2
#endif

#ifndef BN_CLICKED
#define BN_CLICKED 0
#endif
#ifndef LBN_DBLCLK
#define LBN_SELCHANGE 1
#define LBN_DBLCLK 2
#define LB_ERR (-1)
#endif

#ifndef ICON_BIG
#define ICON_SMALL 0
#define ICON_BIG 1
#endif

#ifndef SM_CXICON
#define SM_CXICON 11
#define SM_CYICON 12
#endif

// Sockets (Windows Sockets 1.1 numbering).
#ifndef INVALID_SOCKET
#define INVALID_SOCKET (~SOCKET(0))
#endif
#ifndef SOCKET_ERROR
#define SOCKET_ERROR (-1)
#endif
#ifndef SOCK_STREAM
#define SOCK_STREAM 1
#endif
#ifndef FD_READ
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#endif
#ifndef SD_SEND
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#endif
#ifndef WSAEINVAL
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#endif

// Window, list box and button styles used by dialog templates.
#ifndef WS_POPUP
#define WS_POPUP 0x80000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_SYSMENU 0x00080000L
#define WS_TABSTOP 0x00010000L
#define WS_EX_APPWINDOW 0x00040000L
#endif
#ifndef DS_MODALFRAME
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#endif
#ifndef LBS_NOTIFY
#define LBS_NOTIFY 0x0001L
#define LBS_SORT 0x0002L
#define LBS_NOINTEGRALHEIGHT 0x0100L
#endif
#ifndef BS_PUSHBUTTON
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
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
