// Bytes and decode time of one whole 1280x800 screen per encoding, as the real x11vnc sends it:
// a photo-like screen and a text screen are put on the X display DISPLAY names (a private Xvfb,
// bench/viewer/tight_run starts it and x11vnc), the first update of a session asking for ZRLE,
// lossless Tight, and Tight with JPEG quality 8 and 2 is recorded, and the core decodes the
// recorded bytes again and again (the median of 15 runs is shown).
//   bench_tight_decode PORT
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "rfb/jpeg.h"
#include "rfb_stream.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

// Smooth shapes with fine texture, as a photograph: no two neighbours quite alike.
rfbtest::Image Photo() {
    rfbtest::Image img{kWidth, kHeight, std::vector<uint32_t>(std::size_t{kWidth} * kHeight)};
    uint32_t seed = 7;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = static_cast<int>(seed >> 28) - 8;
            auto channel = [&](double fx, double fy, double phase) {
                const double v = 128 + 60 * std::sin(x * fx + phase) * std::cos(y * fy) +
                                 40 * std::sin((x + y) * 0.013 + phase * 2);
                return static_cast<uint32_t>(std::clamp(static_cast<int>(v) + grain, 0, 255));
            };
            img.At(x, y) = 0xff000000u | channel(0.011, 0.017, 0) << 16 |
                           channel(0.007, 0.023, 1) << 8 | channel(0.019, 0.005, 2);
        }
    }
    return img;
}

// Black glyph-like strokes on white in lines, as a page of text.
rfbtest::Image Text() {
    rfbtest::Image img{kWidth, kHeight, std::vector<uint32_t>(std::size_t{kWidth} * kHeight, ~0u)};
    uint32_t seed = 3;
    for (int line = 20; line + 14 < kHeight; line += 18) {
        for (int x = 20; x + 8 < kWidth - 20; x += 8) {
            seed = seed * 1664525u + 1013904223u;
            if ((seed >> 24) % 7 == 0) {
                continue;  // a space
            }
            for (int stroke = 0; stroke < 4; ++stroke) {
                const int sx = x + static_cast<int>((seed >> (4 + stroke * 3)) % 6);
                for (int y = line + 2; y < line + 12; ++y) {
                    img.At(sx, y) = 0xff000000u;
                }
            }
        }
    }
    return img;
}

void Show(Display* display, const rfbtest::Image& img) {
    const Window root = DefaultRootWindow(display);
    XImage* image = XGetImage(display, root, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            XPutPixel(image, x, y, img.At(x, y) & 0xffffff);
        }
    }
    XPutImage(display, root, DefaultGC(display, DefaultScreen(display)), image, 0, 0, 0, 0, kWidth,
              kHeight);
    XDestroyImage(image);
    XSync(display, False);
}

rfb::Options OptionsFor(rfb::Encoding encoding, std::optional<int> quality) {
    rfb::Options options;
    options.allow_insecure = true;
    options.encodings = {encoding};
    options.jpeg_quality = quality;
    options.jpeg = rfb::MakeJpegDecoder();
    return options;
}

// The server's bytes up to the end of the first update, and where the update starts.
std::vector<uint8_t> Record(int port, const rfb::Options& options, std::size_t& update_at) {
    std::vector<uint8_t> all;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    rfb::Client client(options);
    std::vector<uint8_t> buffer(1 << 16);
    for (bool done = false; !done;) {
        const auto out = client.TakeOutput();
        if (send(s, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
            std::exit(1);
        }
        const ssize_t got = recv(s, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            std::fprintf(stderr, "x11vnc closed the connection\n");
            std::exit(1);
        }
        all.insert(all.end(), buffer.begin(), buffer.begin() + got);
        client.Receive(std::span(buffer.data(), static_cast<std::size_t>(got)));
        while (auto e = client.PollEvent()) {
            if (std::holds_alternative<rfb::event::Connected>(*e)) {
                update_at = all.size();  // ServerInit ends the handshake; x11vnc sends no more
            } else if (std::holds_alternative<rfb::event::FramebufferUpdated>(*e)) {
                done = true;
            } else if (const auto* f = std::get_if<rfb::event::Failed>(&*e)) {
                std::fprintf(stderr, "failed: %s\n", f->reason.c_str());
                std::exit(1);
            }
        }
    }
    close(s);
    return all;
}

double MedianDecodeMs(const std::vector<uint8_t>& bytes, const rfb::Options& options) {
    std::vector<double> ms;
    for (int run = 0; run < 15; ++run) {
        rfb::Client client(options);
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < bytes.size(); at += 65536) {
            client.Receive(
                std::span(bytes).subspan(at, std::min<std::size_t>(65536, bytes.size() - at)));
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(nullptr);
    if (argc != 2 || !display) {
        std::fprintf(stderr, "usage: DISPLAY=:N bench_tight_decode X11VNC_PORT\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    struct Screen {
        const char* name;
        rfbtest::Image image;
    };
    struct Setting {
        const char* name;
        rfb::Encoding encoding;
        std::optional<int> quality;
    };
    const Setting settings[] = {{"ZRLE", rfb::Encoding::kZrle, std::nullopt},
                                {"Tight lossless", rfb::Encoding::kTight, std::nullopt},
                                {"Tight JPEG q8", rfb::Encoding::kTight, 8},
                                {"Tight JPEG q2", rfb::Encoding::kTight, 2}};
    std::printf("%-6s %-15s %12s %10s\n", "screen", "encoding", "bytes", "decode ms");
    for (const Screen& screen : {Screen{"photo", Photo()}, Screen{"text", Text()}}) {
        Show(display, screen.image);
        usleep(300 * 1000);  // x11vnc polls the screen
        for (const Setting& s : settings) {
            const rfb::Options options = OptionsFor(s.encoding, s.quality);
            std::size_t update_at = 0;
            const std::vector<uint8_t> bytes = Record(port, options, update_at);
            std::printf("%-6s %-15s %12zu %10.2f\n", screen.name, s.name, bytes.size() - update_at,
                        MedianDecodeMs(bytes, options));
        }
    }
    XCloseDisplay(display);
    return 0;
}
