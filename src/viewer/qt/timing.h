// Opt-in timing lines for benchmarks: with TALVIEWER_TIMING=1 the viewer prints to stderr
//
//   session MS            once: the server answered "ok" (the remote side is there), MS after
//                         the process started
//   first-frame MS        once: the first framebuffer update drawn, MS after the process started
//   fps N drawn M         each second after that: N updates decoded, M paints of the desktop
//
// The start is the kernel's record of this process (/proc/self/stat, in 10 ms steps), so the
// loading of the program and of Qt counts. Without the variable nothing is measured or printed.
// The session calls SessionOpened, the window FrameDecoded for every framebuffer update and the
// view Painted after each paint of the desktop; both are cheap no-ops when timing is off.
#pragma once

namespace talviewer::timing {

void SessionOpened();
void FrameDecoded();
void Painted();

}  // namespace talviewer::timing
