// The operator proof with OpenSSL (see operator_proof.h): signing with the operator's key, and
// the server's check of certificate and signature against the CA and its revocation list. The
// text (names, signed bytes, answer line) is operator_proof_text.cpp's.
#include "common/operator_proof.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>

namespace opproof {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Crl = std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;

Bio ReadOnly(std::string_view bytes) {
    return Bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// A key protected by a passphrase is not usable here: nobody is asked for one.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

// Ed25519 and Ed448 sign the message itself; every other key signs its SHA-256.
const EVP_MD* DigestFor(EVP_PKEY* key) {
    const int id = EVP_PKEY_get_id(key);
    return id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448 ? nullptr : EVP_sha256();
}

// The revocation list is the administrator's own file, not one fetched from the network: past
// its next-update time, or made on a machine whose clock runs ahead, it still says which
// certificates are revoked, so it is used rather than refusing every operator. A certificate
// from a CA the list is not for has no list.
int KeepUsingTheList(int ok, X509_STORE_CTX* context) {
    switch (X509_STORE_CTX_get_error(context)) {
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_UNABLE_TO_GET_CRL:
            return 1;
        default:
            return ok;
    }
}

Verdict FromVerifyError(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return Verdict::kOutOfDate;
        case X509_V_ERR_CERT_REVOKED:
            return Verdict::kRevoked;
        case X509_V_ERR_INVALID_PURPOSE:
            return Verdict::kNotForClientAuth;
        default:
            return Verdict::kNotFromCa;
    }
}

// The one common name of the certificate, if it is an operator name.
std::optional<std::string> OperatorName(X509* cert) {
    X509_NAME* subject = X509_get_subject_name(cert);
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at < 0 || X509_NAME_get_index_by_NID(subject, NID_commonName, at) >= 0)
        return std::nullopt;
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
    std::string name(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                     static_cast<std::size_t>(ASN1_STRING_length(data)));
    if (WhyNotAnOperatorName(name))
        return std::nullopt;
    return name;
}

}  // namespace

std::optional<std::string> Sign(std::string_view pem, std::string_view name,
                                std::string_view nonce) {
    const Bio bio = ReadOnly(pem);
    const Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr)
                      : nullptr);
    const MdContext context(EVP_MD_CTX_new());
    const std::string message = SignedMessage(name, nonce);
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    std::size_t length = 0;
    if (!key || !context ||
        EVP_DigestSignInit(context.get(), nullptr, DigestFor(key.get()), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, bytes, message.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    std::string signature(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       bytes, message.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

std::optional<std::string> CertificateDer(std::string_view pem) {
    const Bio bio = ReadOnly(pem);
    const Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
    unsigned char* der = nullptr;
    const int length = cert ? i2d_X509(cert.get(), &der) : -1;
    ERR_clear_error();
    if (length <= 0)
        return std::nullopt;
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

struct Trust::State {
    std::vector<Cert> cas;
    Crl crl;
    Store store;
    // The store the checks use, made again when the CA or the list changes.
    void Rebuild() {
        store.reset(X509_STORE_new());
        for (const auto& ca : cas)
            X509_STORE_add_cert(store.get(), ca.get());
        if (crl)
            X509_STORE_add_crl(store.get(), crl.get());
    }
};

Trust::Trust() : state_(std::make_unique<State>()) {}
Trust::~Trust() = default;
Trust::Trust(Trust&&) noexcept = default;
Trust& Trust::operator=(Trust&&) noexcept = default;

std::string Trust::SetCa(std::string_view pem) {
    const Bio bio = ReadOnly(pem);
    std::vector<Cert> cas;
    while (X509* cert =
               bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr) {
        cas.emplace_back(cert);
    }
    ERR_clear_error();
    if (cas.empty())
        return "no certificate in it";
    for (const auto& ca : cas) {
        if (X509_check_ca(ca.get()) == 0)
            return "a certificate in it is not a CA's";
    }
    state_->cas = std::move(cas);
    state_->crl.reset();
    state_->Rebuild();
    return {};
}

std::string Trust::SetCrl(std::string_view pem) {
    if (pem.empty()) {
        state_->crl.reset();
        state_->Rebuild();
        return {};
    }
    const Bio bio = ReadOnly(pem);
    Crl crl(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
    ERR_clear_error();
    if (!crl)
        return "not a revocation list (PEM)";
    bool signed_by_ca = false;
    for (const auto& ca : state_->cas) {
        signed_by_ca =
            signed_by_ca ||
            (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(ca.get())) == 0 &&
             X509_CRL_verify(crl.get(), X509_get0_pubkey(ca.get())) == 1);
    }
    ERR_clear_error();
    if (!signed_by_ca)
        return "not signed by the operators' CA";
    state_->crl = std::move(crl);
    state_->Rebuild();
    return {};
}

std::size_t Trust::revoked_count() const {
    const auto* revoked = state_->crl ? X509_CRL_get_REVOKED(state_->crl.get()) : nullptr;
    return revoked ? static_cast<std::size_t>(sk_X509_REVOKED_num(revoked)) : 0;
}

std::string_view Describe(Verdict verdict) {
    static constexpr std::array<std::string_view, 7> kWords = {
        "ok",
        "not a certificate with an operator name",
        "not issued by the operators' CA",
        "expired or not yet valid",
        "not a certificate for client authentication",
        "revoked",
        "the signature does not match",
    };
    return kWords[static_cast<std::size_t>(verdict)];
}

// A friend of Trust, so the store stays out of the header.
struct Verifier {
    static X509_STORE* StoreOf(const Trust& trust) { return trust.state_->store.get(); }
    static bool HasCrl(const Trust& trust) { return trust.state_->crl != nullptr; }
};

Result Verify(std::string_view certificate_der, std::string_view signature, std::string_view name,
              std::string_view nonce, const Trust& trust, std::time_t now) {
    Result result;
    const auto* der = reinterpret_cast<const unsigned char*>(certificate_der.data());
    const auto* end = der + certificate_der.size();
    const Cert cert(d2i_X509(nullptr, &der, static_cast<long>(certificate_der.size())));
    ERR_clear_error();
    std::optional<std::string> operator_name;
    if (!cert || der != end || !(operator_name = OperatorName(cert.get())))
        return result;

    X509_STORE* store = Verifier::StoreOf(trust);
    const StoreContext context(X509_STORE_CTX_new());
    if (!store || !context || X509_STORE_CTX_init(context.get(), store, cert.get(), nullptr) != 1) {
        ERR_clear_error();
        result.verdict = Verdict::kNotFromCa;
        return result;
    }
    X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_CLIENT);
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(context.get()), now);
    if (Verifier::HasCrl(trust))
        X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_CRL_CHECK);
    X509_STORE_CTX_set_verify_cb(context.get(), KeepUsingTheList);
    const bool chained = X509_verify_cert(context.get()) == 1;
    const int error = X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    if (!chained) {
        result.verdict = FromVerifyError(error);
        return result;
    }
    // The purpose check lets a certificate without any extended key usage pass; an operator's
    // must name clientAuth, so a machine's (serverAuth) is no operator's.
    if (!(X509_get_extension_flags(cert.get()) & EXFLAG_XKUSAGE) ||
        !(X509_get_extended_key_usage(cert.get()) & XKU_SSL_CLIENT)) {
        result.verdict = Verdict::kNotForClientAuth;
        return result;
    }

    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    const MdContext md(EVP_MD_CTX_new());
    const std::string message = SignedMessage(name, nonce);
    const bool good =
        key && md && EVP_DigestVerifyInit(md.get(), nullptr, DigestFor(key), nullptr, key) == 1 &&
        EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                         message.size()) == 1;
    ERR_clear_error();
    if (!good) {
        result.verdict = Verdict::kBadSignature;
        return result;
    }
    result.verdict = Verdict::kOk;
    result.name = std::move(*operator_name);
    return result;
}

}  // namespace opproof
