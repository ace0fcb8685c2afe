// Reports when the next top-level window is mapped on the X display:
// prints "ready" once it listens, then the wall-clock time of the first
// MapNotify of a window that is not override-redirect, in nanoseconds.
// With the argument "hold" it only stays connected until killed: an X server
// resets when its last client leaves, and refuses clients meanwhile.
#include <X11/Xlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // A server that is resetting (its last client just left) refuses
    // connections for a moment.
    Display* display = nullptr;
    for (int attempt = 0; attempt < 500 && display == nullptr; ++attempt) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr)
            usleep(10000);
    }
    if (display == nullptr) {
        std::fprintf(stderr, "map_watch: no display\n");
        return 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "hold") == 0) {
        for (;;)
            pause();
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify && !event.xmap.override_redirect) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("%lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
            break;
        }
    }
    XCloseDisplay(display);
    return 0;
}
