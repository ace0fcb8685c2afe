// Operating-system services the system uses, one function each, so that
// every path that touches the OS goes through this seam.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// Socket layer start-up: Windows Sockets 1.1, exactly.
bool StartSocketLayer();
// Component-object (OLE) start-up.
bool StartComponentLayer();

// A modal message box: the application's name as caption, one OK button,
// the exclamation icon, the active window as owner. `text` is in the given
// code page (0: the active one). Runs a nested message loop until dismissed.
void ShowMessageBox(const std::string& text, unsigned int codePage = 0);

// The full path of the running executable, never truncated.
std::string ModuleFileName();
// The executable's file name without directory and extension.
std::string ApplicationName();
// The path separator of module paths on this platform.
char PathSeparator();
// `fileName` in the directory that holds the executable: the module path cut
// at its last separator, the separator again, then the name.
std::string PathBesideModule(const char* fileName);
// The suffix of executable files on this platform: "" or ".exe".
const char* ExecutableSuffix();
// The viewer program's file name: "talviewer" and the executable suffix.
const char* ViewerFileName();

// `size`, in pixels at 96 DPI, scaled to the DPI of the display that shows
// `window`, for sizes the program chooses itself (a font's height). The
// dialog template scales by itself; on Linux Qt scales everything, so the
// size is returned unchanged.
int ScaleToWindowDpi(HWND window, int size);
// `size`, in pixels at 96 DPI, scaled to `dpi` (as WM_DPICHANGED gives it);
// unchanged for a DPI of 0 or less, and on Linux, as above.
int ScaleToDpi(int size, int dpi);

// Ends the process through the runtime's normal exit.
[[noreturn]] void ExitProcess(int status);

// Blocks the calling thread.
void Sleep(unsigned int milliseconds);

// Starts `file` with the verb "open", shown normally, without waiting for
// it. Each argument reaches the program as one argument, unchanged. Failures
// are not reported.
void ShellOpen(const std::string& file, const std::vector<std::string>& arguments);

}  // namespace platform
