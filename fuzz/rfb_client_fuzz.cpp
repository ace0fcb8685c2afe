// The RFB client core after a valid handshake: arbitrary server messages (updates in every
// encoding, Tight with JPEG included, cursor, resize, clipboard) for a 64x48 desktop, cut into
// pieces by the input's first byte, so both the decoders and the incremental parsing see hostile
// data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "rfb/client.h"

namespace {

std::vector<uint8_t> Handshake() {
    const std::string_view greeting = "RFB 003.008\n";
    std::vector<uint8_t> b(greeting.begin(), greeting.end());
    const uint8_t rest[] = {1,   1,  0, 0,  0,  0,  // None, OK
                            0,   64, 0, 48, 32, 24, 0, 1, 0, 255, 0, 255, 0,
                            255, 16, 8, 0,  0,  0,  0, 0, 0, 0,   1, 'f'};  // ServerInit
    b.insert(b.end(), std::begin(rest), std::end(rest));
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::vector<uint8_t> handshake = Handshake();
    rfb::Options options;
    options.allow_insecure = true;
    // Small limits keep each run fast; the checks are the same at any size.
    options.max_width = 1024;
    options.max_height = 1024;
    options.max_pixels = 256 * 1024;
    options.max_cursor_size = 64;
    options.max_clipboard_bytes = 4096;
    options.jpeg = rfb::MakeJpegDecoder();
    options.jpeg_quality = 8;
    rfb::Client client(options);
    client.Receive(handshake);
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = 1 + data[0] % 64;
    std::span<const uint8_t> rest(data + 1, size - 1);
    while (!rest.empty()) {
        // A first byte of 0 means the whole input at once.
        const std::size_t n = data[0] == 0 ? rest.size() : std::min(chunk, rest.size());
        client.Receive(rest.first(n));
        rest = rest.subspan(n);
        while (client.PollEvent()) {
        }
        client.SendPointer(10, 10, 0);
        client.TakeOutput();
    }
    return 0;
}
