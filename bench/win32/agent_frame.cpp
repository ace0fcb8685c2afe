// What one frame costs talagent.exe, under Wine on an Xvfb: the GDI capture of the virtual
// screen, then the RFB server core's change detection and ZRLE encoding of what changed, for a
// viewer that asks for every update (a scripted RFB 3.8 viewer with no security). Three cases:
// the first, whole screen; a screen that does not change (detection only); and a window of
// 640x400 that is redrawn before every frame. Prints the median and worst of each, and the
// bytes sent.
//   agent_bench.exe [FRAMES]   (default 60)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "agent/win32/desktop.h"
#include "rfbserver/server.h"

namespace {

using Clock = std::chrono::steady_clock;

void Put16(std::vector<uint8_t>& out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// A viewer's side up to its first request: version, security None, shared, ZRLE, a full update.
std::vector<uint8_t> ViewerOpening() {
    std::vector<uint8_t> bytes;
    for (const char c : std::string_view("RFB 003.008\n"))
        bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(1);                 // security type None
    bytes.push_back(1);                 // ClientInit: shared
    bytes.insert(bytes.end(), {2, 0});  // SetEncodings
    Put16(bytes, 1);
    bytes.insert(bytes.end(), {0, 0, 0, 16});  // ZRLE
    return bytes;
}

std::vector<uint8_t> Request(bool incremental, int width, int height) {
    std::vector<uint8_t> bytes = {3, static_cast<uint8_t>(incremental)};
    Put16(bytes, 0);
    Put16(bytes, 0);
    Put16(bytes, static_cast<unsigned>(width));
    Put16(bytes, static_cast<unsigned>(height));
    return bytes;
}

// Fills `window` with a pattern that differs in every pixel row from the last one.
void Redraw(HWND window, int frame) {
    HDC dc = GetDC(window);
    for (int stripe = 0; stripe < 40; ++stripe) {
        RECT r{0, stripe * 10, 640, stripe * 10 + 10};
        HBRUSH brush = CreateSolidBrush(RGB((stripe * 7 + frame * 13) & 255,
                                            (stripe * 3 + frame * 29) & 255, (frame * 5) & 255));
        FillRect(dc, &r, brush);
        DeleteObject(brush);
    }
    ReleaseDC(window, dc);
    GdiFlush();
}

struct Times {
    std::vector<double> capture, core;
    std::size_t bytes = 0;
};

void Report(const char* name, Times& t) {
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    const auto worst = [](const std::vector<double>& v) {
        return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
    };
    std::printf(
        "%-26s capture %6.2f ms (worst %6.2f)  detect+encode %6.2f ms (worst %6.2f)  %8zu "
        "bytes/frame\n",
        name, median(t.capture), worst(t.capture), median(t.core), worst(t.core),
        t.capture.empty() ? 0 : t.bytes / t.capture.size());
}

double Millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"agent bench";
    RegisterClassW(&window_class);
    HWND window =
        CreateWindowExW(WS_EX_TOPMOST, L"agent bench", L"agent bench", WS_POPUP | WS_VISIBLE, 100,
                        100, 640, 400, nullptr, nullptr, window_class.hInstance, nullptr);
    talagent::win::Screen screen;
    if (!window || !screen.Capture()) {
        std::fprintf(stderr, "agent_bench: no window or no capture\n");
        return 1;
    }
    const rfbserver::Frame first = screen.frame();
    std::printf("screen %d x %d, %d frames a case\n", first.width, first.height, frames);
    rfbserver::Options options;
    options.security = rfbserver::Options::Security::kNone;
    rfbserver::Server core(options);
    core.SetFrame(first);
    core.Receive(ViewerOpening());
    (void)core.TakeOutput();

    // One frame: capture, then detection and encoding until the update is out.
    const auto frame = [&](Times& times, bool incremental) {
        core.Receive(Request(incremental, first.width, first.height));
        const auto start = Clock::now();
        screen.Capture();
        const auto captured = Clock::now();
        core.SetFrame(screen.frame());
        const auto out = core.TakeOutput();
        times.capture.push_back(Millis(captured - start));
        times.core.push_back(Millis(Clock::now() - captured));
        times.bytes += out.size();
    };
    Times whole, still, moving;
    for (int i = 0; i < std::min(frames, 10); ++i)
        frame(whole, false);
    for (int i = 0; i < frames; ++i)
        frame(still, true);
    for (int i = 0; i < frames; ++i) {
        Redraw(window, i);
        frame(moving, true);
    }
    Report("whole screen (full)", whole);
    Report("unchanged (incremental)", still);
    Report("640x400 redrawn", moving);
    return core.closed() ? 1 : 0;
}
