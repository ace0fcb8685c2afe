// The changing desktop of the session benchmark: repaints the whole root window of $DISPLAY
// with new content, FPS times a second (default 60), until killed. Each frame is a colour
// field that moves and a band of fine stripes, so every pixel changes every frame and the
// server has neither large runs nor a small palette to lean on.
//
//   bench_repaint [FPS]
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const int fps = argc > 1 ? std::atoi(argv[1]) : 60;
    if (fps <= 0 || fps > 1000) {
        std::fprintf(stderr, "usage: bench_repaint [FPS 1-1000]\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "bench_repaint: cannot open the display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);
    if (DefaultDepth(display, screen) != 24) {
        std::fprintf(stderr, "bench_repaint: the display must have depth 24\n");
        return 1;
    }
    std::vector<uint32_t> pixels(static_cast<std::size_t>(width) * height);
    XImage* image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels.data()), width, height, 32, 0);
    const GC gc = DefaultGC(display, screen);
    const auto period = std::chrono::microseconds(1000000 / fps);
    auto next = std::chrono::steady_clock::now();
    for (uint32_t frame = 0;; ++frame) {
        for (int y = 0; y < height; ++y) {
            uint32_t* row = pixels.data() + static_cast<std::size_t>(y) * width;
            for (int x = 0; x < width; ++x) {
                const uint32_t r = (x + frame * 7) & 0xff;
                const uint32_t g = (y + frame * 3) & 0xff;
                const uint32_t b =
                    (y / 8 % 4 == 0) ? ((x ^ y ^ frame) & 0xff) : ((x + y) >> 3) & 0xff;
                row[x] = r << 16 | g << 8 | b;
            }
        }
        XPutImage(display, root, gc, image, 0, 0, 0, 0, width, height);
        XSync(display, False);
        next += period;
        std::this_thread::sleep_until(next);
        if (std::chrono::steady_clock::now() > next + period) {
            next = std::chrono::steady_clock::now();  // behind: no burst to catch up
        }
    }
}
