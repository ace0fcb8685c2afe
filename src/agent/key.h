// The agent key: reading the key file and answering the server's challenge with it.
//
// Key file: text; blank lines and lines starting with '#' are skipped; every other line is either
// "KEY" or "NAME KEY" (the directory server's agent-keys line), KEY being hex digits for at least
// 32 bytes. The agent uses the one line naming it, else the one bare KEY. The file must not be
// open to the group or others (like ssh's private keys): it is a secret that lets its holder
// receive the operator's sessions for that name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/key_proof.h"

namespace talagent {

inline constexpr std::size_t kMinKeyBytes = keyproof::kMinKeyBytes;
inline constexpr std::size_t kMaxKeyBytes = keyproof::kMaxKeyBytes;

using Key = std::vector<unsigned char>;

struct KeyResult {
    Key key;            // empty on error
    std::string error;  // why not, for the message
};

// The key for `name` from the text of a key file.
KeyResult ParseKeyText(std::string_view text, std::string_view name);

// Reads `path` (refusing one open to group or others, or over 64 KiB) and parses it.
KeyResult LoadKeyFile(const std::string& path, std::string_view name);

// HMAC-SHA256(key, nonce) as 64 lowercase hex digits.
std::string Proof(const Key& key, std::string_view nonce);

// Opens `path` for reading and checks it is a regular file that only its owner may read or
// write; returns the descriptor (-1 with `error` set otherwise).
int OpenPrivateFile(const std::string& path, std::string& error);

}  // namespace talagent
