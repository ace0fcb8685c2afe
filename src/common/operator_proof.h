// How an operator proves who they are to the directory server, defined once for both sides: the
// viewer signs, directory-server checks. The server answers "view NAME" with "challenge NONCE";
// the operator signs the context string, a zero byte, NAME, a zero byte and NONCE with the key
// of a certificate the deployment's CA issued for client authentication, and answers
// "operator CERT SIG" (base64 of the certificate's DER and of the signature). Binding NAME and
// NONCE makes a proof good for one machine on one connection only. OpenSSL does the work.
#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire.h"

namespace opproof {

inline constexpr std::string_view kContext = "talvero operator proof v1";
// The answer's wire word; the server's parser and the viewers' writer share it.
inline constexpr std::string_view kAnswerPrefix = wire::kOperatorPrefix;

// The longest operator name: the longest common name a certificate may carry.
inline constexpr std::size_t kMaxOperatorName = 64;

// Why `name` cannot be an operator's name, or nullopt if it can. An operator name is what a
// certificate's common name and the access file's first field carry as they are: 1-64 ASCII
// letters, digits, '.', '_', '-' and '@', starting with a letter or a digit. (Machine names may
// hold any text; operator names are kept to what needs no escaping in a certificate subject,
// a log line or the access file.)
std::optional<std::string> WhyNotAnOperatorName(std::string_view name);

// The bytes that are signed: kContext, NUL, name, NUL, nonce.
std::string SignedMessage(std::string_view name, std::string_view nonce);

// Signs the proof for `name` and `nonce` with the first private key in `pem` (the operator's
// file holds the key and the certificate); nullopt if `pem` holds no usable key.
std::optional<std::string> Sign(std::string_view pem, std::string_view name,
                                std::string_view nonce);

// The DER bytes of the first certificate in `pem`; nullopt if there is none.
std::optional<std::string> CertificateDer(std::string_view pem);

// Standard base64 with padding; FromBase64 takes nothing else (no blanks, no line breaks).
std::string ToBase64(std::string_view bytes);
std::optional<std::string> FromBase64(std::string_view text);

struct Answer {
    std::string certificate_der;
    std::string signature;
};

// "operator CERT SIG\n".
std::string FormatAnswer(const Answer& answer);
// The text after "operator " (no line end): two base64 fields separated by one blank, neither
// empty; nullopt otherwise.
std::optional<Answer> ParseAnswer(std::string_view body);

// The deployment's CA certificates and, when there is one, its revocation list.
class Trust {
public:
    Trust();
    ~Trust();
    Trust(Trust&&) noexcept;
    Trust& operator=(Trust&&) noexcept;

    // The CA certificates in `pem` (one or more, so a new CA can be trusted beside the old one).
    // Returns why they cannot be used, or an empty string.
    std::string SetCa(std::string_view pem);
    // The revocation list in `pem`, which one of the CA certificates must have signed; an empty
    // `pem` means none. Returns why it cannot be used (the last good one stays), or "".
    std::string SetCrl(std::string_view pem);
    std::size_t revoked_count() const;

private:
    friend struct Verifier;
    struct State;
    std::unique_ptr<State> state_;
};

enum class Verdict {
    kOk,
    kBadCertificate,    // not a certificate, or its name is not an operator name
    kNotFromCa,         // the CA did not issue it
    kOutOfDate,         // expired or not yet valid
    kNotForClientAuth,  // lacks the clientAuth extended key usage
    kRevoked,           // on the revocation list
    kBadSignature,      // the signature is not over this name and nonce with its key
};

// A few words for a log line ("revoked", "not issued by the CA", ...).
std::string_view Describe(Verdict verdict);

struct Result {
    Verdict verdict = Verdict::kBadCertificate;
    std::string name;  // the operator: the certificate's common name (set when kOk)
};

// Checks, in this order, the certificate (parsed whole, one common name that is an operator
// name), its chain to the CA at `now`, clientAuth, the revocation list, then the signature.
Result Verify(std::string_view certificate_der, std::string_view signature, std::string_view name,
              std::string_view nonce, const Trust& trust, std::time_t now);

}  // namespace opproof
