// The operator checks' files and decision (see operators.h). Each read of the revocation list
// and the access file logs one line; a bad access line is left out and named in it, as the
// hosts file's are.
#include "directory_server/operators.h"

#include <openssl/x509.h>

#include <filesystem>

#include "directory_server/log.h"
#include "directory_server/protocol.h"

namespace dirsrv {
namespace {

// The subject's common name of a certificate, whatever else is wrong with it; empty when none.
std::string CommonName(std::string_view der) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
    if (!certificate)
        return {};
    char name[256] = "";
    const int length = X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName,
                                                 name, sizeof name);
    X509_free(certificate);
    return length > 0 ? std::string(name, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

OperatorGate::OperatorGate(std::string ca_path, std::string crl_path, std::string access_path)
    : ca_file_(std::move(ca_path), "operators' CA file") {
    if (!crl_path.empty())
        crl_file_.emplace(std::move(crl_path), "revocation list");
    if (!access_path.empty())
        access_file_.emplace(std::move(access_path), "access file");
}

std::string OperatorGate::Open() {
    std::error_code ignored;
    if (!std::filesystem::exists(ca_file_.path(), ignored) && !ignored) {
        ca_missing_ = "there is no operators' CA file " + ca_file_.path() +
                      ", so no operator can be proven and every view is refused: make a CA with "
                      "`talpki ca DIR`, copy DIR/ca.pem to " +
                      ca_file_.path() + " and restart the server";
        Log(Level::Warning, ca_missing_);
        return {};
    }
    std::string error;
    const auto ca = ca_file_.Poll(error, false);
    if (!ca)
        return error;
    if (const std::string why = trust_.SetCa(ca->bytes); !why.empty())
        return "operators' CA file " + ca_file_.path() + ": " + why;
    if (!LoadCrl(true, error) || !LoadAccess(true, error))
        return error;
    Log(Level::Info, "operators are checked against the CA in " + ca_file_.path() +
                         (crl_file_ ? ", the revocation list " + crl_file_->path() : "") +
                         (access_file_ ? " and the access file " + access_file_->path()
                                       : "; without an access file every operator may control "
                                         "every machine"));
    return {};
}

void OperatorGate::Poll() {
    if (!ca_missing_.empty())
        return;
    std::string error;
    if (!LoadCrl(false, error))
        Log(Level::Warning, error + "; keeping the last good revocation list");
    if (!LoadAccess(false, error))
        Log(Level::Warning, error + "; keeping the last good access rules");
}

// False with `error` when the list cannot be used (at start: any failure; later: only new ones).
bool OperatorGate::LoadCrl(bool starting, std::string& error) {
    if (!crl_file_)
        return true;
    const auto text = crl_file_->Poll(error, true);
    if (!text)
        return error.empty();
    if (const std::string why = trust_.SetCrl(text->bytes); !why.empty()) {
        error = "revocation list " + crl_file_->path() + ": " + why;
        return false;
    }
    Log(Level::Info, "revocation list " + crl_file_->path() +
                         (starting ? " read: " : " re-read: ") +
                         Counted(trust_.revoked_count(), "certificate") + " revoked");
    return true;
}

bool OperatorGate::LoadAccess(bool starting, std::string& error) {
    if (!access_file_)
        return true;
    const auto text = access_file_->Poll(error, true);
    if (!text)
        return error.empty();
    AccessRules access = ParseAccess(text->bytes);
    std::string what = "access file " + access_file_->path() +
                       (starting ? " read: " : " re-read: ") + Counted(access.rules.size(), "rule");
    if (access.refused > 0)
        what += ", " + RefusedLines(access.refused, access.examples);
    Log(access.refused > 0 ? Level::Warning : Level::Info, what);
    access_ = std::move(access);
    return true;
}

OperatorGate::Decision OperatorGate::Check(std::string_view body, std::string_view machine,
                                           std::string_view nonce, std::time_t now) const {
    Decision decision;
    const auto answer = opproof::ParseAnswer(body);
    if (!answer) {
        decision.why = "the answer is not \"operator CERT SIG\" in base64";
        return decision;
    }
    const auto result =
        opproof::Verify(answer->certificate_der, answer->signature, machine, nonce, trust_, now);
    if (result.verdict != opproof::Verdict::kOk) {
        decision.why = std::string(opproof::Describe(result.verdict));
        decision.claimed = CommonName(answer->certificate_der);
        return decision;
    }
    decision.who.name = result.name;
    if (access_) {
        const auto right = Decide(*access_, result.name, machine);
        if (!right) {
            decision.outcome = Outcome::kForbidden;
            decision.why = "no line of the access file allows it";
            return decision;
        }
        decision.who.right = *right;
    }
    decision.outcome = Outcome::kProven;
    return decision;
}

}  // namespace dirsrv
