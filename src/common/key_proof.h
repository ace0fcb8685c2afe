// How an agent proves its key to the directory server, defined once for both sides: talagent
// computes the proof, directory-server checks it. A key is 32 to 512 bytes, written as hex
// digits in either side's key file; the proof for a challenge NONCE is HMAC-SHA256(key, NONCE)
// as 64 lowercase hex digits. OpenSSL does the HMAC (mbed TLS in talagent.exe).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace keyproof {

inline constexpr std::size_t kMinKeyBytes = 32;
inline constexpr std::size_t kMaxKeyBytes = 512;

// Hex digits (either case) as bytes; nullopt unless `hex` is an even number of hex digits.
std::optional<std::string> FromHex(std::string_view hex);

// The proof for `nonce` under `key` (the key's bytes, not its hex).
std::string Proof(std::string_view key, std::string_view nonce);

// Whether `proof_hex` (either case) is the proof for `nonce` under `key`; the bytes are
// compared in constant time.
bool Check(std::string_view key, std::string_view nonce, std::string_view proof_hex);

}  // namespace keyproof
