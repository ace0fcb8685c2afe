// A small DES, for VNC authentication only: the server's 16-byte challenge is encrypted with a
// key made from the password, and that is all RFB uses it for. It is our own because the
// platforms' crypto libraries do not all carry single DES (Wine's BCrypt has none). DES is long
// broken; VNC authentication is only as good as the TLS around it (VeNCrypt X509Vnc).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace rfb {

// Encrypts one 8-byte block with DES; the key's parity bits (each byte's lowest) are ignored.
std::array<uint8_t, 8> DesEncrypt(std::span<const uint8_t, 8> key,
                                  std::span<const uint8_t, 8> block);

// The answer to a VNC authentication challenge: both 8-byte halves encrypted with the key made
// of the password's first 8 bytes (zero-padded), each byte's bits reversed (VNC's historic
// quirk: its DES took key bits in the opposite order).
std::array<uint8_t, 16> VncAuthResponse(std::string_view password,
                                        std::span<const uint8_t, 16> challenge);

}  // namespace rfb
