// The server core served over loopback to libvncclient, a client written elsewhere: the screen
// it decodes is the one served, pixel-exact, in ZRLE, Hextile and Raw, at 32, 16 and 8 bits per
// pixel with its own channel order. The harness thread owns the socket and the core, as a front
// end would.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <rfb/rfbclient.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "session_pair.h"
#include "support/loopback.h"

namespace rfbserver_test {
namespace {

using namespace std::chrono_literals;

// Serves `image` to the first connection on `listener` until the viewer leaves or `stop`.
void Serve(int listener, const rfbtest::Image& image, const std::atomic<bool>& stop) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) {
        return;
    }
    const int fd = accept(listener, nullptr, nullptr);
    rfbserver::Server server(WithSecurity(rfbserver::Options::Security::kNone));
    const rfbserver::Frame frame = FrameOf(image);
    server.SetFrame(frame);
    uint8_t buffer[65536];
    while (!stop && !server.closed()) {
        const auto out = server.TakeOutput();
        std::size_t sent = 0;
        for (ssize_t n = 1; sent < out.size() && n > 0; sent += static_cast<std::size_t>(n)) {
            n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        }
        pollfd q{fd, POLLIN, 0};
        const ssize_t n = poll(&q, 1, 20) == 1 ? recv(fd, buffer, sizeof buffer, 0) : 0;
        if (sent < out.size() || n < 0 || (n == 0 && q.revents)) {
            break;  // the viewer left
        }
        server.Receive(std::span(buffer, static_cast<std::size_t>(n)));
        Events(server);
        if (server.WantsFrame()) {
            server.SetFrame(frame);
        }
    }
    close(fd);
}

void Quiet(const char*, ...) {}

// The channel `value` (0..255) as a client with `max` levels should hold it.
uint32_t Scaled(uint32_t value, uint32_t max) {
    return (value * max + 127) / 255;
}

// The first pixel libvncclient holds differently from `image`, or -1.
long FirstMismatch(const rfbClient* client, const rfbtest::Image& image) {
    const rfbPixelFormat& f = client->format;
    const int bpp = f.bitsPerPixel / 8;
    // Bits outside the channels are libvncclient's own (its ZRLE decoder sets some).
    const uint32_t channels = uint32_t{f.redMax} << f.redShift |
                              uint32_t{f.greenMax} << f.greenShift |
                              uint32_t{f.blueMax} << f.blueShift;
    for (long i = 0; i < static_cast<long>(image.pixels.size()); ++i) {
        uint32_t held = 0;
        std::memcpy(&held, client->frameBuffer + i * bpp, static_cast<std::size_t>(bpp));
        const uint32_t rgb = image.pixels[static_cast<std::size_t>(i)];
        const uint32_t want = Scaled((rgb >> 16) & 255, f.redMax) << f.redShift |
                              Scaled((rgb >> 8) & 255, f.greenMax) << f.greenShift |
                              Scaled(rgb & 255, f.blueMax) << f.blueShift;
        if ((held & channels) != want) {
            return i;
        }
    }
    return -1;
}

TEST(RfbServerLibvncclient, DecodesTheServedScreenExactlyInEveryEncodingAndDepth) {
    rfbClientLog = rfbClientErr = Quiet;
    const rfbtest::Image image = rfbtest::MakeDesktop(333, 215, 11);
    for (const char* encoding : {"zrle", "hextile", "raw"}) {
        for (const auto& [bits_per_sample, bytes_per_pixel] : {std::pair{8, 4}, {5, 2}, {2, 1}}) {
            SCOPED_TRACE(std::string(encoding) + " at " + std::to_string(bytes_per_pixel * 8) +
                         " bits");
            const auto [listener, port] = wire_test::Listener();
            std::atomic<bool> stop = false;
            std::thread server(Serve, listener, std::cref(image), std::cref(stop));

            rfbClient* client = rfbGetClient(bits_per_sample, 3, bytes_per_pixel);
            client->serverHost = strdup("127.0.0.1");
            client->serverPort = port;
            client->appData.encodingsString = encoding;
            ASSERT_TRUE(rfbInitClient(client, nullptr, nullptr));  // frees the client if not
            long mismatch = 0;
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (mismatch >= 0 && std::chrono::steady_clock::now() < deadline) {
                if (WaitForMessage(client, 50000) > 0 && !HandleRFBServerMessage(client)) {
                    break;
                }
                mismatch = FirstMismatch(client, image);
            }
            EXPECT_EQ(mismatch, -1);
            stop = true;
            std::free(client->frameBuffer);
            rfbClientCleanup(client);
            server.join();
            close(listener);
        }
    }
}

}  // namespace
}  // namespace rfbserver_test
