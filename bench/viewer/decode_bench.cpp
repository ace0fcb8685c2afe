// Decoding throughput of the RFB core (MB of framebuffer pixels per second) per encoding, on
// update streams like a 1280x800 desktop sends: whole screens of windows, text and a photo, then
// smaller changed areas; CopyRect as scrolling. With LAUNCHER_BENCH_LIBVNCCLIENT the same bytes
// go through libvncclient, which reads them from a socketpair fed by a thread in this process
// (it has no byte-feeding interface); the core gets them in 64 KiB pieces, as from a socket.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "rfb/client.h"
#include "rfb_stream.h"

#ifdef LAUNCHER_BENCH_LIBVNCCLIENT
#include <poll.h>
#include <rfb/rfbclient.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#endif

namespace {

using namespace rfbtest;

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

struct Stream {
    Bytes handshake;
    Bytes messages;
    int updates = 0;
    double pixel_bytes = 0;  // framebuffer bytes the updates cover
};

const Stream& StreamFor(const std::string& encoding) {
    static std::map<std::string, Stream> streams;
    auto it = streams.find(encoding);
    if (it != streams.end()) {
        return it->second;
    }
    Stream s;
    s.handshake = PlainHandshake38(kWidth, kHeight, "bench");
    ZrleEncoder zrle;
    auto encode = [&](const Image& img, Area a) {
        s.pixel_bytes += 4.0 * a.width * a.height;
        if (encoding == "raw") {
            return EncodeRaw(img, a);
        }
        if (encoding == "hextile") {
            return EncodeHextile(img, a);
        }
        return zrle.Encode(img, a);
    };
    if (encoding == "copyrect") {
        const Image img = MakeDesktop(kWidth, kHeight, 1);
        Append(s.messages, UpdateHeader(1));
        Append(s.messages, EncodeRaw(img, {0, 0, kWidth, kHeight}));
        s.pixel_bytes += 4.0 * kWidth * kHeight;
        ++s.updates;
        for (int i = 0; i < 40; ++i) {  // scrolling by 16 rows, down then up
            const int down = i % 2 == 0;
            Append(s.messages, UpdateHeader(1));
            Append(s.messages, RectHeader(0, down ? 0 : 16, kWidth, kHeight - 16, 1));
            Put16(s.messages, 0);
            Put16(s.messages, down ? 16 : 0);
            s.pixel_bytes += 4.0 * kWidth * (kHeight - 16);
            ++s.updates;
        }
    } else {
        for (uint32_t frame = 0; frame < 4; ++frame) {
            const Image img = MakeDesktop(kWidth, kHeight, 10 + frame);
            Append(s.messages, UpdateHeader(1));
            Append(s.messages, encode(img, {0, 0, kWidth, kHeight}));
            ++s.updates;
            // Then a few changed areas, as typing and window moves make.
            const Image next = MakeDesktop(kWidth, kHeight, 100 + frame);
            Append(s.messages, UpdateHeader(3));
            Append(s.messages, encode(next, {100, 120, 400, 300}));
            Append(s.messages, encode(next, {700, 50, 300, 600}));
            Append(s.messages, encode(next, {0, 700, kWidth, 100}));
            ++s.updates;
        }
    }
    return streams.emplace(encoding, std::move(s)).first->second;
}

void CoreDecode(benchmark::State& state, const std::string& encoding) {
    const Stream& s = StreamFor(encoding);
    for (auto _ : state) {
        rfb::Options options;
        options.allow_insecure = true;
        rfb::Client client(options);
        client.Receive(s.handshake);
        for (std::size_t at = 0; at < s.messages.size(); at += 65536) {
            client.Receive(std::span(s.messages)
                               .subspan(at, std::min<std::size_t>(65536, s.messages.size() - at)));
            while (client.PollEvent()) {
            }
        }
        if (client.failed()) {
            state.SkipWithError("the core failed on the stream");
            return;
        }
        benchmark::DoNotOptimize(client.framebuffer().pixels.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.pixel_bytes));
}

#ifdef LAUNCHER_BENCH_LIBVNCCLIENT
void Quiet(const char*, ...) {}

// Writes the server's bytes and discards the client's, until the client's end closes.
void PlayServer(int fd, const Stream& s) {
    Bytes all = s.handshake;
    Append(all, s.messages);
    std::size_t sent = 0;
    char sink[4096];
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < all.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0) {
            break;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            if (read(fd, sink, sizeof sink) <= 0) {
                break;
            }
        }
        if ((p.revents & POLLOUT) && sent < all.size()) {
            const ssize_t n = send(fd, all.data() + sent,
                                   std::min<std::size_t>(65536, all.size() - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    close(fd);
}

void LibvncclientDecode(benchmark::State& state, const std::string& encoding) {
    const Stream& s = StreamFor(encoding);
    if (!getenv("BENCH_VERBOSE")) {
        rfbClientLog = Quiet;
        rfbClientErr = Quiet;
    }
    const std::string wanted = encoding == "copyrect" ? "copyrect raw" : encoding;
    // The core's picture of the stream's end: both must agree, or the race is void.
    rfb::Options options;
    options.allow_insecure = true;
    rfb::Client core(options);
    core.Receive(s.handshake);
    core.Receive(s.messages);
    const std::vector<uint32_t>& expected = core.framebuffer().pixels;
    for (auto _ : state) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            state.SkipWithError("socketpair");
            return;
        }
        std::thread server(PlayServer, fds[1], std::cref(s));
        rfbClient* client = rfbGetClient(8, 3, 4);
        client->sock = fds[0];
        // Our pixel format, so the server's bytes mean the same to both clients.
        client->format.redShift = 16;
        client->format.greenShift = 8;
        client->format.blueShift = 0;
        client->appData.encodingsString = wanted.c_str();
        bool ok = InitialiseRFBConnection(client);
        if (ok) {
            // What rfbInitClient does between the handshake and the first request.
            client->width = client->si.framebufferWidth;
            client->height = client->si.framebufferHeight;
            ok = client->MallocFrameBuffer(client) && SetFormatAndEncodings(client);
        }
        for (int i = 0; ok && i < s.updates; ++i) {
            ok = HandleRFBServerMessage(client);
        }
        benchmark::DoNotOptimize(client->frameBuffer);
        state.PauseTiming();
        const auto* pixels = reinterpret_cast<const uint32_t*>(client->frameBuffer);
        for (std::size_t i = 0; ok && i < expected.size(); ++i) {
            ok = (pixels[i] & 0xffffff) == (expected[i] & 0xffffff);
        }
        state.ResumeTiming();
        close(fds[0]);
        server.join();
        client->sock = -1;
        free(client->frameBuffer);
        client->frameBuffer = nullptr;
        rfbClientCleanup(client);
        if (!ok) {
            state.SkipWithError("libvncclient failed on the stream or disagrees with the core");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.pixel_bytes));
}
#endif

void Register() {
    for (const char* encoding : {"raw", "copyrect", "hextile", "zrle"}) {
        benchmark::RegisterBenchmark((std::string("core/") + encoding).c_str(), CoreDecode,
                                     std::string(encoding))
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
#ifdef LAUNCHER_BENCH_LIBVNCCLIENT
        benchmark::RegisterBenchmark((std::string("libvncclient/") + encoding).c_str(),
                                     LibvncclientDecode, std::string(encoding))
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
#endif
    }
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
