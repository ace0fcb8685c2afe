// The program's entry point on Windows: the ANSI code page decides how the
// system's bytes are read, the common controls are loaded (the manifest asks
// for version 6), then the application object runs.
// The SDK first, before any header of the layer (see win_includes.h).
#include "platform/win32/win_includes.h"

#include <commctrl.h>

#include "platform/code_page.h"
#include "platform/win_app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    SetActiveCodePage(DefaultCodePage());
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    return RunApplication();
}
