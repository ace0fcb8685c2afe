// Agent authentication: the --agent-keys file (which names may register, with which key), the
// challenge sent to an agent and the check of its proof.
//
// File: text; blank lines and lines starting with '#' are skipped; every other line is
// "NAME KEY": NAME is everything before the last blank (blanks around it dropped), KEY 64-1024
// hex digits (32-512 bytes). It is the line an agent's own key file may hold (src/agent), so an
// administrator hands each machine its line. The proof of a challenge NONCE is
// HMAC-SHA256(KEY bytes, NONCE text) as hex; randomness and the HMAC are OpenSSL's.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/key_proof.h"
#include "directory_server/watched_file.h"

namespace dirsrv {

inline constexpr std::size_t kMinAgentKeyBytes = keyproof::kMinKeyBytes;
inline constexpr std::size_t kMaxAgentKeyBytes = keyproof::kMaxKeyBytes;

struct AgentKeysContent {
    std::map<std::string, std::string, std::less<>> keys;  // name -> raw key bytes
    std::size_t refused = 0;                               // lines that were not used
    std::vector<std::string> examples;                     // the first few "line N: why"
    bool open_to_others = false;  // the file may be read by its group or others
};

AgentKeysContent ParseAgentKeys(std::string_view text);

// A fresh challenge: 32 random bytes as 64 hex digits; empty if the generator failed.
std::string MakeNonce();

// Whether `proof_hex` is HMAC-SHA256(key, nonce) in hex (either case), compared in constant time.
bool CheckProof(std::string_view key, std::string_view nonce, std::string_view proof_hex);

// Watches the keys file like the hosts file.
class AgentKeysFile {
public:
    explicit AgentKeysFile(std::string path) : file_(std::move(path), "agent keys file") {}
    const std::string& path() const { return file_.path(); }

    // New content when the file changed since the last successful read; `error` is set to why
    // it could not be read when that reason is new.
    std::optional<AgentKeysContent> Poll(std::string& error);

    static constexpr std::size_t kMaxSize = WatchedFile::kMaxSize;

private:
    WatchedFile file_;
};

}  // namespace dirsrv
