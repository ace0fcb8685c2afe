// The agent keys file and the challenge-response check (see agent_keys.h). The server's event
// loop polls the file on its tick and asks CheckProof when an agent answers its challenge.
#include "directory_server/agent_keys.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <cstring>

#include "common/key_proof.h"
#include "common/text.h"
#include "directory_server/protocol.h"

namespace dirsrv {
namespace {

// What counts as blank around a field.
constexpr std::string_view kBlanks = " \t\r";

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

AgentKeysContent ParseAgentKeys(std::string_view text) {
    AgentKeysContent content;
    std::size_t line_number = 0;
    const auto refuse = [&](std::string why) {
        if (content.examples.size() < 3)
            content.examples.push_back("line " + std::to_string(line_number) + ": " + why);
        ++content.refused;
    };
    while (!text.empty()) {
        ++line_number;
        const auto end = text.find('\n');
        const std::string_view line = tools::Trim(text.substr(0, end), kBlanks);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const auto blank = line.find_last_of(" \t");
        if (blank == std::string_view::npos) {
            refuse("no NAME before the key");
            continue;
        }
        const std::string_view name = tools::Trim(line.substr(0, blank), kBlanks);
        const std::string_view hex = line.substr(blank + 1);
        if (auto why = CheckName(name)) {
            refuse(Printable(name) + ": " + *why);
            continue;
        }
        const auto key = keyproof::FromHex(hex);
        if (!key || key->size() < kMinAgentKeyBytes || key->size() > kMaxAgentKeyBytes) {
            refuse(Printable(name) + ": the key must be " + std::to_string(2 * kMinAgentKeyBytes) +
                   "-" + std::to_string(2 * kMaxAgentKeyBytes) + " hex digits");
            continue;
        }
        if (!content.keys.emplace(name, std::move(*key)).second)
            refuse(Printable(name) + ": a second key for the name (the first is used)");
    }
    return content;
}

std::string MakeNonce() {
    unsigned char random[32];
    if (RAND_bytes(random, sizeof random) != 1)
        return {};
    std::string hex;
    for (const unsigned char byte : random) {
        hex += kHexDigits[byte >> 4];
        hex += kHexDigits[byte & 15];
    }
    return hex;
}

bool CheckProof(std::string_view key, std::string_view nonce, std::string_view proof_hex) {
    return keyproof::Check(key, nonce, proof_hex);
}

std::optional<AgentKeysContent> AgentKeysFile::Poll(std::string& error) {
    auto text = file_.Poll(error, false);
    if (!text)
        return std::nullopt;
    auto content = ParseAgentKeys(text->bytes);
    content.open_to_others = (text->mode & 077) != 0;
    OPENSSL_cleanse(text->bytes.data(), text->bytes.size());
    return content;
}

}  // namespace dirsrv
