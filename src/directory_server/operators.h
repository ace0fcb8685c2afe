// The directory server's operator checks: the operators' CA (read at start), its revocation
// list and the access file (both re-read when they change, like the hosts file), and the
// decision on one viewer's answer to its challenge. The server (operator_auth.cpp) sends the
// challenge, calls Check, and answers the viewer; the proof itself is common/operator_proof.h.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "common/operator_proof.h"
#include "directory_server/access.h"
#include "directory_server/watched_file.h"

namespace dirsrv {

class OperatorGate {
public:
    // Empty paths: no revocation list; no access file (every operator may control every machine).
    OperatorGate(std::string ca_path, std::string crl_path, std::string access_path);

    // Reads the three files; returns why the server cannot start with them, or "". A CA file
    // that does not exist is no reason: the server starts, refusing every viewer (CaMissing),
    // so a packaged server lists machines before its administrator has made a CA.
    std::string Open();
    // Why every viewer is refused, with what to do about it; empty when the CA was read.
    const std::string& CaMissing() const { return ca_missing_; }
    // Re-reads the revocation list and the access file when they changed. A file that cannot
    // be read, or a list the CA did not sign, leaves the last good one in place.
    void Poll();

    enum class Outcome { kProven, kNotAuthorized, kForbidden };
    struct Decision {
        Outcome outcome = Outcome::kNotAuthorized;
        Operator who;     // the operator, once the proof holds
        std::string why;  // for the log, when refused
        // The common name of a certificate refused before it was proven (not to be trusted:
        // for the audit file only), or empty.
        std::string claimed;
    };
    // Decides on "operator BODY" from a viewer that was sent `nonce` for `machine`, at `now`.
    Decision Check(std::string_view body, std::string_view machine, std::string_view nonce,
                   std::time_t now) const;

private:
    bool LoadCrl(bool starting, std::string& error);
    bool LoadAccess(bool starting, std::string& error);

    WatchedFile ca_file_;
    std::optional<WatchedFile> crl_file_;
    std::optional<WatchedFile> access_file_;
    opproof::Trust trust_;
    std::string ca_missing_;
    std::optional<AccessRules> access_;
};

}  // namespace dirsrv
