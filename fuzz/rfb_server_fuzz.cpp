// The RFB server core fed a viewer's bytes from the very first one: the handshake (None, or
// VeNCrypt with the TLS reported done at once), every viewer message, cut text and Extended
// Clipboard, with frames that change under it while it waits, so the encoders and the change
// detection run on whatever pixel formats and encodings the input asks for. The input's first
// byte picks the security and how the rest is cut.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rfbserver/server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    rfbserver::Options options;
    options.security = data[0] & 0x80 ? rfbserver::Options::Security::kVeNCryptX509
                                      : rfbserver::Options::Security::kNone;
    // Small limits keep each run fast; the checks are the same at any size.
    options.max_clipboard_bytes = 4096;
    rfbserver::Server server(options);
    int width = 70, height = 50;
    std::vector<uint32_t> pixels(static_cast<std::size_t>(width) * height * 2, 0x204060);
    server.SetFrame({width, height, width, pixels.data()});
    server.SetCursor({1, 1, 2, 2, {0xffffffffu, 0, 0, 0xff000000u}});
    const std::size_t chunk = 1 + (data[0] & 0x3f);
    std::span<const uint8_t> rest(data + 1, size - 1);
    uint32_t step = 0;
    while (!rest.empty() && !server.closed()) {
        const std::size_t n = std::min(chunk, rest.size());
        server.Receive(rest.first(n));
        rest = rest.subspan(n);
        while (auto e = server.PollEvent()) {
            if (std::holds_alternative<rfbserver::event::StartTls>(*e)) {
                server.TlsEstablished();
            }
        }
        // The screen changes a little each time, and its size now and then.
        ++step;
        pixels[(step * 977) % pixels.size()] ^= step * 2654435761u;
        if (step % 7 == 0) {
            width = width == 70 ? 90 : 70;
        }
        if (server.WantsFrame()) {
            server.SetFrame({width, height, width, pixels.data()});
        }
        if (step % 5 == 0) {
            server.SetClipboard("caf\xc3\xa9 \xec\x95\x88\n");
        }
        server.TakeOutput();
    }
    return 0;
}
