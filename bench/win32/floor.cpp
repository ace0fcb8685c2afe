// The floor for the launcher's size and start-up figures: a bare Win32
// dialog program with the same kind of template (a list box and a button),
// built with the same toolchain and flags, doing nothing else.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

INT_PTR CALLBACK FloorProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return static_cast<int>(
        DialogBoxParamA(instance, MAKEINTRESOURCEA(1), nullptr, FloorProcedure, 0));
}
