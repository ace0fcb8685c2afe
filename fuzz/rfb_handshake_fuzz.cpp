// The RFB client core from the server's first byte: versions, security negotiation (VeNCrypt,
// VNC authentication with a password at hand, TLS reported up whenever asked for), ServerInit and
// whatever follows.
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "rfb/client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    rfb::Options options;
    options.allow_insecure = (data[0] & 1) != 0;
    options.max_width = 1024;
    options.max_height = 1024;
    options.max_pixels = 256 * 1024;
    options.max_cursor_size = 64;
    options.max_clipboard_bytes = 4096;
    rfb::Client client(options);
    const std::size_t chunk = 1 + (data[0] >> 1) % 32;
    std::span<const uint8_t> rest(data + 1, size - 1);
    while (!rest.empty()) {
        const std::size_t n = std::min(chunk, rest.size());
        client.Receive(rest.first(n));
        rest = rest.subspan(n);
        while (auto e = client.PollEvent()) {
            if (std::holds_alternative<rfb::event::StartTls>(*e)) {
                client.TlsEstablished();
            } else if (std::holds_alternative<rfb::event::CredentialsNeeded>(*e)) {
                client.SetCredentials("user", "password");
            }
        }
        client.TakeOutput();
    }
    return 0;
}
