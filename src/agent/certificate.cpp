// Checks of the machine certificate (see certificate.h), with OpenSSL.
#include "agent/certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <memory>

namespace talagent {
namespace {

// An encrypted key is refused, never prompted for: the agent runs unattended.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

template <typename T, void (*Free)(T*)>
Owned<T, Free> ReadPem(std::string_view pem, T* (*read)(BIO*, T**, pem_password_cb*, void*)) {
    Owned<BIO, BIO_free_all> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Owned<T, Free> object(bio ? read(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
    ERR_clear_error();
    return object;
}

std::string Date(const ASN1_TIME* time) {
    std::tm date{};
    char text[32] = "an unreadable date";
    if (ASN1_TIME_to_tm(time, &date) == 1)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &date);
    return text;
}

}  // namespace

CertificateCheck CheckCertificate(std::string_view pem, std::string_view name, std::time_t now) {
    CertificateCheck result;
    if (pem.size() > INT_MAX) {
        result.error = "is too large for a certificate and its key";
        return result;
    }
    const auto cert = ReadPem<X509, X509_free>(pem, PEM_read_bio_X509);
    const auto key = ReadPem<EVP_PKEY, EVP_PKEY_free>(pem, PEM_read_bio_PrivateKey);
    if (!cert || !key) {
        result.error =
            "does not hold both a PEM certificate and its private key, unencrypted (see "
            "tools/pki)";
        return result;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        result.error = "holds a private key that is not its certificate's";
        return result;
    }
    if (X509_check_host(cert.get(), name.data(), name.size(), 0, nullptr) != 1) {
        result.warnings.push_back("the certificate is not for '" + std::string(name) +
                                  "': viewers will refuse its sessions (talpki agent DIR " +
                                  std::string(name) + " makes one)");
    }
    if (X509_cmp_time(X509_get0_notAfter(cert.get()), &now) < 0) {
        result.warnings.push_back("the certificate expired on " +
                                  Date(X509_get0_notAfter(cert.get())) +
                                  ": viewers will refuse its sessions");
    } else if (X509_cmp_time(X509_get0_notBefore(cert.get()), &now) > 0) {
        result.warnings.push_back("the certificate is valid only from " +
                                  Date(X509_get0_notBefore(cert.get())) +
                                  ": viewers will refuse its sessions until then");
    }
    return result;
}

}  // namespace talagent
