// The key proof's hex and HMAC (see key_proof.h).
#include "common/key_proof.h"

#ifdef LAUNCHER_KEY_PROOF_MBEDTLS
#include <mbedtls/md.h>
#else
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#endif

namespace keyproof {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

#ifdef LAUNCHER_KEY_PROOF_MBEDTLS
// talagent.exe has mbed TLS, not OpenSSL.
constexpr std::size_t EVP_MAX_MD_SIZE = 64;

bool Digest(std::string_view key, std::string_view nonce, unsigned char (&digest)[EVP_MAX_MD_SIZE],
            unsigned int& length) {
    const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    length = mbedtls_md_get_size(sha256);
    return mbedtls_md_hmac(sha256, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                           reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size(),
                           digest) == 0;
}

int CRYPTO_memcmp(const void* a, const void* b, std::size_t length) {
    const volatile unsigned char* x = static_cast<const unsigned char*>(a);
    const volatile unsigned char* y = static_cast<const unsigned char*>(b);
    unsigned char difference = 0;
    for (std::size_t i = 0; i < length; ++i)
        difference |= x[i] ^ y[i];
    return difference;
}
#else
// HMAC-SHA256; false if OpenSSL failed.
bool Digest(std::string_view key, std::string_view nonce, unsigned char (&digest)[EVP_MAX_MD_SIZE],
            unsigned int& length) {
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size(), digest,
                &length) != nullptr;
}
#endif

}  // namespace

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::string Proof(std::string_view key, std::string_view nonce) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!Digest(key, nonce, digest, length))
        return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool Check(std::string_view key, std::string_view nonce, std::string_view proof_hex) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!Digest(key, nonce, digest, length))
        return false;
    const auto proof = FromHex(proof_hex);
    // The length is no secret; the bytes are compared in constant time.
    return proof && proof->size() == length && CRYPTO_memcmp(proof->data(), digest, length) == 0;
}

}  // namespace keyproof
