// Where the last double-click of the dialog's modal loop fell: the loop notes
// each WM_LBUTTONDBLCLK it takes from the queue, and the list box reads it
// back inside the LBN_DBLCLK it causes. The message's own point is used, not
// the cursor's, so a posted double-click counts where it says it fell.
#pragma once

#include "platform/win32/win_includes.h"

namespace platform::win32 {

void NoteDoubleClick(HWND window, LPARAM clientPoint);
// False unless the last double-click noted went to `window`.
bool LastDoubleClick(HWND window, POINT* clientPoint);

}  // namespace platform::win32
