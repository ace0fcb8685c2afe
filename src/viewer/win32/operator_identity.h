// talviewer.exe's operator: the certificate and private key of operator.pem (as
// `talpki operator` writes it), held by CryptoAPI. main.cpp loads it; the session driver has it
// sign the directory server's challenge (common/operator_proof.h), and SChannel (tls.h) presents
// the certificate to a machine that asks for one (x11vnc -sslverify).
//
// The key lives in a key container of this process's own name for as long as the viewer runs
// (SChannel finds a client certificate's key through CERT_KEY_PROV_INFO, by container name) and
// is deleted when the identity goes.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <wincrypt.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "viewer/operator_credentials.h"

namespace talviewer {

// Where this user's operator file is (viewer/operator_credentials.h): TALVIEWER_OPERATOR, else
// %APPDATA%\talviewer\operator.pem. Its permissions are not checked, as the Linux viewer does:
// %APPDATA% is the user's own profile, which its ACL keeps from other users.
OperatorFilePlace OperatorFileOfThisUser();

class OperatorIdentity {
public:
    // The identity in the PEM file at `place` (an RSA key, PKCS#8 or PKCS#1, and the certificate
    // that goes with it); nullptr with `why`, a sentence, when there is none or it is unusable.
    static std::unique_ptr<OperatorIdentity> Load(const OperatorFilePlace& place, std::string& why);
    ~OperatorIdentity();
    OperatorIdentity(const OperatorIdentity&) = delete;
    OperatorIdentity& operator=(const OperatorIdentity&) = delete;

    // The answer to the server's challenge for machine `name` and `nonce`: the whole line
    // "operator CERT SIG\n", or nothing if the key could not sign.
    std::optional<std::string> Answer(std::string_view name, std::string_view nonce) const;
    // The certificate, its key attached: for SChannel's credentials.
    PCCERT_CONTEXT certificate() const { return certificate_; }

private:
    OperatorIdentity() = default;
    // The key and certificate in the file's text; why they are unusable, or "".
    std::string Take(const std::string& text);
    std::string Attach();

    std::wstring container_;
    HCRYPTPROV provider_ = 0;
    HCRYPTKEY key_ = 0;
    PCCERT_CONTEXT certificate_ = nullptr;
};

}  // namespace talviewer
