// The desktop the WAN benchmark watches: a scripted, repeatable minute of office work on $DISPLAY
// (an Xvfb that the VNC server serves), so every viewer sees the same changes.
//   - a terminal: a line of text every 50 ms, the lines above scrolled up (a CopyArea on the
//     server, as a terminal does);
//   - a photo: a new photo-like picture (soft gradients, grain) every 2 s;
//   - a window dragged around the screen, a step every 30 ms, showing what lies under it.
//
//   bench_wan_activity [SECONDS]     (default 30; then it exits 0)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kTermWidth = 640, kTermHeight = 400, kLine = 14;
constexpr int kPhotoWidth = 480, kPhotoHeight = 360;
constexpr int kDragWidth = 220, kDragHeight = 160;

Window MakeWindow(Display* d, int x, int y, int w, int h, unsigned long background) {
    XSetWindowAttributes a{};
    a.override_redirect = True;  // no window manager on the benchmark's X server
    a.background_pixel = background;
    const Window win = XCreateWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(w),
                                     static_cast<unsigned>(h), 0, CopyFromParent, InputOutput,
                                     CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    XMapWindow(d, win);
    return win;
}

// Soft light from a few random sources over a random tint, plus grain: compresses like a photo.
void PaintPhoto(std::vector<uint32_t>& px, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(0, 1);
    double cx[3], cy[3], col[3][3];
    for (int i = 0; i < 3; ++i) {
        cx[i] = u(rng) * kPhotoWidth;
        cy[i] = u(rng) * kPhotoHeight;
        for (double& c : col[i]) {
            c = 60 + 190 * u(rng);
        }
    }
    std::uniform_int_distribution<int> grain(-12, 12);
    for (int y = 0; y < kPhotoHeight; ++y) {
        for (int x = 0; x < kPhotoWidth; ++x) {
            double rgb[3] = {20, 20, 20};
            for (int i = 0; i < 3; ++i) {
                const double dist = std::hypot(x - cx[i], y - cy[i]) / 220.0;
                const double w = std::exp(-dist * dist);
                for (int c = 0; c < 3; ++c) {
                    rgb[c] += col[i][c] * w;
                }
            }
            uint32_t v = 0;
            for (int c = 0; c < 3; ++c) {
                const int level = std::clamp(static_cast<int>(rgb[c]) + grain(rng), 0, 255);
                v = v << 8 | static_cast<uint32_t>(level);
            }
            px[static_cast<std::size_t>(y) * kPhotoWidth + x] = v;
        }
    }
}

std::string TerminalLine(long n, std::mt19937& rng) {
    static const char* words[] = {
        "make:", "[ 42%]",   "Building", "CXX",     "object", "src/",   "rfb/",  "client.cpp.o",
        "-O2",   "warning:", "ok",       "Linking", "tests",  "passed", "0x7f3a"};
    std::string line = std::to_string(n) + " ";
    while (line.size() < 80) {
        line += words[rng() % std::size(words)];
        line += ' ';
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
    Display* d = XOpenDisplay(nullptr);
    if (!d || DefaultDepth(d, DefaultScreen(d)) != 24) {
        std::fprintf(stderr, "bench_wan_activity: needs a display of depth 24\n");
        return 1;
    }
    const int screen_w = DisplayWidth(d, DefaultScreen(d));
    const int screen_h = DisplayHeight(d, DefaultScreen(d));
    const Window term = MakeWindow(d, 20, 20, kTermWidth, kTermHeight, 0x101010);
    const Window photo =
        MakeWindow(d, screen_w - kPhotoWidth - 20, 20, kPhotoWidth, kPhotoHeight, 0);
    const Window drag =
        MakeWindow(d, 100, screen_h - kDragHeight - 40, kDragWidth, kDragHeight, 0xe0e0d0);
    const GC gc = XCreateGC(d, term, 0, nullptr);
    XFontStruct* font = XLoadQueryFont(d, "fixed");
    if (font) {
        XSetFont(d, gc, font->fid);
    }
    std::vector<uint32_t> pixels(static_cast<std::size_t>(kPhotoWidth) * kPhotoHeight);
    XImage* image =
        XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                     reinterpret_cast<char*>(pixels.data()), kPhotoWidth, kPhotoHeight, 32, 0);
    std::mt19937 rng(2024);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto tick = std::chrono::milliseconds(10);
    long step = 0, lines = 0;
    for (auto next = start; Clock::now() - start < std::chrono::duration<double>(seconds);
         next += tick, ++step) {
        if (step % 5 == 0) {  // the terminal, every 50 ms
            XCopyArea(d, term, term, gc, 0, kLine, kTermWidth, kTermHeight - kLine, 0, 0);
            XSetForeground(d, gc, 0x101010);
            XFillRectangle(d, term, gc, 0, kTermHeight - kLine, kTermWidth, kLine);
            XSetForeground(d, gc, 0xd0d0d0);
            const std::string line = TerminalLine(++lines, rng);
            XDrawString(d, term, gc, 4, kTermHeight - 3, line.data(),
                        static_cast<int>(line.size()));
        }
        if (step % 200 == 0) {  // the photo, every 2 s
            PaintPhoto(pixels, rng);
            XPutImage(d, photo, gc, image, 0, 0, 0, 0, kPhotoWidth, kPhotoHeight);
        }
        if (step % 3 == 0) {  // the dragged window, every 30 ms, back and forth
            const double t = static_cast<double>(step) / 300.0;
            const int x = static_cast<int>((screen_w - kDragWidth) * (0.5 + 0.45 * std::sin(t)));
            const int y =
                static_cast<int>((screen_h - kDragHeight) * (0.6 + 0.35 * std::cos(t * 1.3)));
            XMoveWindow(d, drag, x, y);
            XSetForeground(d, gc, 0x304080);
            XFillRectangle(d, drag, gc, 0, 0, kDragWidth, 18);
        }
        XFlush(d);
        std::this_thread::sleep_until(next + tick);
    }
    image->data = nullptr;  // the pixels are the vector's
    XDestroyImage(image);
    XCloseDisplay(d);
    return 0;
}
