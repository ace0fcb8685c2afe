// The WAN benchmark's first-frame clock for viewers that report nothing: watches one pixel of
// $DISPLAY (the operator's screen, where the viewer's window is) until it shows a colour only the
// remote desktop has, and prints how long that took from its own start, which the benchmark makes
// the viewer's start too.
//
//   bench_wan_watch X Y RRGGBB TIMEOUT_SECONDS     prints "painted MS"; exits 1 on the timeout
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_wan_watch X Y RRGGBB TIMEOUT_SECONDS\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const int x = std::atoi(argv[1]), y = std::atoi(argv[2]);
    const unsigned long colour = std::strtoul(argv[3], nullptr, 16);
    const auto timeout = std::chrono::duration<double>(std::atof(argv[4]));
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "bench_wan_watch: cannot open the display\n");
        return 1;
    }
    while (std::chrono::steady_clock::now() - start < timeout) {
        XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
        const bool painted = image && (XGetPixel(image, 0, 0) & 0xffffff) == colour;
        if (image) {
            XDestroyImage(image);
        }
        if (painted) {
            const std::chrono::duration<double, std::milli> ms =
                std::chrono::steady_clock::now() - start;
            std::printf("painted %.0f\n", ms.count());
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 1;
}
