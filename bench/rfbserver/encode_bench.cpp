// Encoding cost of the RFB server core per encoding on a 1280x800 screen: the time and the bytes
// of a whole frame, photo-like and text-like, as a viewer's full update request gets it; and
// the cost of an idle frame, which change detection answers with a comparison and no update.
// The viewer is a scripted byte stream, so only the core is measured.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "rfb/wire.h"
#include "rfbserver/server.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

using Pixels = std::vector<uint32_t>;

uint32_t Rgb(int r, int g, int b) {
    auto c = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    return c(r) << 16 | c(g) << 8 | c(b);
}

// Smooth shading with sensor noise: nearly every pixel its own colour.
const Pixels& Photo() {
    static const Pixels pixels = [] {
        Pixels p(kWidth * kHeight);
        uint32_t s = 1;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                s = s * 1664525u + 1013904223u;
                const int noise = static_cast<int>(s >> 28) - 8;
                const double shade = std::sin(x / 97.0) * std::cos(y / 61.0);
                p[y * kWidth + x] = Rgb(120 + static_cast<int>(90 * shade) + noise,
                                        100 + x / 16 + noise, 90 + y / 10 + noise);
            }
        }
        return p;
    }();
    return pixels;
}

// A page of text: 7x13 glyph cells of black and grey strokes on white, a title bar and a
// scroll bar.
const Pixels& Text() {
    static const Pixels pixels = [] {
        Pixels p(kWidth * kHeight, Rgb(255, 255, 255));
        uint32_t s = 7;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                uint32_t& px = p[y * kWidth + x];
                if (y < 30) {
                    px = Rgb(40 + x / 10, 60, 160);
                } else if (x >= kWidth - 16) {
                    px = Rgb(220, 220, 220);
                } else if ((y - 30) % 16 < 13 && x % 8 < 7 && (x / 8 + y / 16) % 11 != 0) {
                    s = s * 1664525u + 1013904223u;
                    const uint32_t r = s >> 29;
                    px = r < 5 ? Rgb(255, 255, 255) : r < 7 ? Rgb(0, 0, 0) : Rgb(128, 128, 128);
                }
            }
        }
        return p;
    }();
    return pixels;
}

std::vector<uint8_t> Put32(std::vector<uint8_t> b, uint32_t v) {
    b.insert(b.end(), {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                       static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    return b;
}

std::vector<uint8_t> Request(bool incremental) {
    return {rfb::client_msg::kFramebufferUpdateRequest,
            static_cast<uint8_t>(incremental),
            0,
            0,
            0,
            0,
            kWidth >> 8,
            kWidth & 255,
            kHeight >> 8,
            kHeight & 255};
}

void Encode(benchmark::State& state, rfb::Encoding encoding, const Pixels& pixels, bool idle) {
    rfbserver::Options options;
    options.security = rfbserver::Options::Security::kNone;
    rfbserver::Server server(options);
    const rfbserver::Frame frame{kWidth, kHeight, kWidth, pixels.data()};
    server.SetFrame(frame);
    const std::string hello = "RFB 003.008\n";
    server.Receive(std::vector<uint8_t>(hello.begin(), hello.end()));
    server.Receive(std::vector<uint8_t>{rfb::kSecurityNone, 1});
    server.Receive(
        Put32({rfb::client_msg::kSetEncodings, 0, 0, 1}, static_cast<uint32_t>(encoding)));
    server.Receive(Request(false));
    server.SetFrame(frame);  // the first frame, whole, outside the measurement
    server.TakeOutput();
    std::size_t bytes = 0;
    for (auto _ : state) {
        server.Receive(Request(idle));
        server.SetFrame(frame);
        bytes += server.TakeOutput().size();
    }
    state.counters["bytes/frame"] = static_cast<double>(bytes) / state.iterations();
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

#define FRAME_BENCH(name, encoding, picture, idle) \
    void name(benchmark::State& state) {           \
        Encode(state, encoding, picture(), idle);  \
    }                                              \
    BENCHMARK(name)->Unit(benchmark::kMillisecond)

FRAME_BENCH(ZrlePhoto, rfb::Encoding::kZrle, Photo, false);
FRAME_BENCH(ZrleText, rfb::Encoding::kZrle, Text, false);
FRAME_BENCH(HextilePhoto, rfb::Encoding::kHextile, Photo, false);
FRAME_BENCH(HextileText, rfb::Encoding::kHextile, Text, false);
FRAME_BENCH(RawPhoto, rfb::Encoding::kRaw, Photo, false);
FRAME_BENCH(RawText, rfb::Encoding::kRaw, Text, false);
FRAME_BENCH(IdleFrame, rfb::Encoding::kZrle, Text, true);

}  // namespace

BENCHMARK_MAIN();
