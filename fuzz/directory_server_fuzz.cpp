// libFuzzer target for the server's byte handling: the request stream of one connection, cut
// where the input says (launcher requests, agent lines with their "declined" orders, "view"
// lines, ID blocks, operators' answers with their base64 and certificates), and the same bytes read
// as a hosts file, an agent keys file and an access file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/operator_proof.h"
#include "directory_server/access.h"
#include "directory_server/agent_keys.h"
#include "directory_server/audit.h"
#include "directory_server/hosts_file.h"
#include "directory_server/protocol.h"
#include "directory_server/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The first byte picks the read size, so requests split at every place get exercised.
    const std::size_t chunk = size ? 1 + data[0] % 16 : 1;
    dirsrv::HostRegistry registry;
    std::string pending;
    for (std::size_t at = 0; at < size; at += chunk) {
        pending.append(bytes.substr(at, chunk));
        std::string_view rest = pending;
        for (;;) {
            const dirsrv::ParseResult r = dirsrv::ParseNext(rest);
            if (r.consumed > rest.size())
                std::abort();
            if (r.status == dirsrv::ParseStatus::Bad)
                return 0;
            rest.remove_prefix(r.consumed);
            if (r.status == dirsrv::ParseStatus::NeedMore)
                break;
            if (r.message.kind == dirsrv::MessageKind::Register &&
                !dirsrv::CheckName(r.message.name)) {
                registry.AddAgent(r.message.name);
            }
            // The session's bytes follow an ID block: never more than the block is consumed.
            if (r.message.kind == dirsrv::MessageKind::SessionId &&
                (r.consumed > dirsrv::kIdBlockSize || r.message.name.empty() ||
                 r.message.name.size() > dirsrv::kMaxIdDigits)) {
                std::abort();
            }
            // A declined order names a well-formed ID and answers its viewer with a known error.
            if (r.message.kind == dirsrv::MessageKind::Declined) {
                if (const auto declined = dirsrv::ParseDeclined(r.message.name)) {
                    const auto& id = declined->id;
                    if (id.empty() || id.size() > dirsrv::kMaxIdDigits ||
                        id.find_first_not_of("0123456789") != std::string_view::npos ||
                        declined->reason.empty() ||
                        (declined->reply != dirsrv::kErrorBusy &&
                         declined->reply != dirsrv::kErrorDenied &&
                         declined->reply != dirsrv::kErrorFailed)) {
                        std::abort();
                    }
                }
            }
            if (r.message.kind == dirsrv::MessageKind::Proof &&
                dirsrv::CheckProof(std::string(32, 'k'), "nonce", r.message.name)) {
                std::abort();
            }
            // An answer's certificate is parsed, and with no CA to vouch for it never passes.
            if (r.message.kind == dirsrv::MessageKind::Operator) {
                if (const auto answer = opproof::ParseAnswer(r.message.name)) {
                    if (opproof::FromBase64(opproof::ToBase64(answer->signature)) !=
                            answer->signature ||
                        opproof::Verify(answer->certificate_der, answer->signature, "pc", "nonce",
                                        opproof::Trust(), 0)
                                .verdict == opproof::Verdict::kOk) {
                        std::abort();
                    }
                }
            }
            if (registry.reply().bytes.size() > dirsrv::kMaxReply)
                std::abort();
        }
        pending = std::string(rest);
        if (pending.size() > dirsrv::kMaxPendingInput)
            return 0;
    }
    // The audit file's strings: no raw control byte, quote or backslash; only ASCII when the
    // bytes are not UTF-8 (their hex goes beside them).
    const std::string json = dirsrv::JsonString(bytes);
    const bool utf8 = dirsrv::IsUtf8(bytes);
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8) || (c == '"' && json[i - 1] != '\\'))
            std::abort();
    }
    const dirsrv::HostsContent hosts = dirsrv::ParseHosts(bytes);
    for (const auto& target : hosts.direct) {
        if (!std::binary_search(hosts.names.begin(), hosts.names.end(), target.name) ||
            target.port == 0) {
            std::abort();
        }
    }
    registry.SetStaticNames(hosts.names);
    for (const auto& [name, key] : dirsrv::ParseAgentKeys(bytes).keys) {
        if (dirsrv::CheckName(name) || key.size() < dirsrv::kMinAgentKeyBytes)
            std::abort();
    }
    if (registry.reply().bytes.size() > dirsrv::kMaxReply)
        std::abort();
    const dirsrv::AccessRules access = dirsrv::ParseAccess(bytes);
    for (const auto& rule : access.rules) {
        if (rule.machine_glob.empty() || !dirsrv::GlobMatches(rule.machine_glob, rule.machine_glob))
            std::abort();
        dirsrv::Decide(access, rule.operator_name, bytes.substr(0, 200));
    }
    return 0;
}
