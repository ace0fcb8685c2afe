// DES against published test vectors, and the VNC authentication answer against one computed with
// OpenSSL's DES (key bytes bit-reversed by hand).
#include "rfb/des.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <string>

namespace {

std::array<uint8_t, 8> Hex8(const char* hex) {
    std::array<uint8_t, 8> out{};
    for (std::size_t i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
    }
    return out;
}

TEST(Des, EncryptsKnownVectors) {
    struct Case {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Case cases[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},  // the classic worked example
        {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},  // NBS variable-plaintext
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},  // NBS variable-key
        {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},  // NBS sample data
    };
    for (const Case& c : cases) {
        const auto key = Hex8(c.key);
        const auto plain = Hex8(c.plain);
        EXPECT_EQ(rfb::DesEncrypt(key, plain), Hex8(c.cipher)) << c.key << " " << c.plain;
    }
}

TEST(Des, AnswersVncChallengeWithBitReversedKey) {
    std::array<uint8_t, 16> challenge{};
    std::iota(challenge.begin(), challenge.end(), 0);
    const std::array<uint8_t, 16> expected = {0xee, 0x22, 0x53, 0x9f, 0x33, 0xa5, 0x98, 0x3e,
                                              0xc1, 0x2f, 0x9c, 0x2e, 0xdb, 0xc9, 0x95, 0xdd};
    EXPECT_EQ(rfb::VncAuthResponse("secret", challenge), expected);
    // Only the first 8 bytes of a password count.
    EXPECT_EQ(rfb::VncAuthResponse("12345678", challenge),
              rfb::VncAuthResponse("123456789xyz", challenge));
    EXPECT_NE(rfb::VncAuthResponse("1234567", challenge),
              rfb::VncAuthResponse("12345678", challenge));
}

}  // namespace
