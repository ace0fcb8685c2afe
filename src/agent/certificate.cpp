// Checks of the machine certificate (see certificate.h), with OpenSSL.
#include "agent/certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <memory>
#include <vector>

#include "common/machine_name.h"

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

// The certificate's subjectAltName DNS entries.
std::vector<std::string> DnsNames(X509* cert) {
    std::vector<std::string> dns;
    auto* const entries =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; entries && i < sk_GENERAL_NAME_num(entries); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(entries, i);
        if (entry->type == GEN_DNS) {
            const ASN1_STRING* text = entry->d.dNSName;
            dns.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                             static_cast<std::size_t>(ASN1_STRING_length(text)));
        }
    }
    GENERAL_NAMES_free(entries);
    return dns;
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
            "does not hold both a PEM certificate and its private key, unencrypted (talpki "
            "makes one)";
        return result;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        result.error = "holds a private key that is not its certificate's";
        return result;
    }
    if (const auto why = names::WhyNotACertificateName(name)) {
        result.error = "cannot serve --name '" + std::string(name) + "': " + *why +
                       " (use --insecure, or a name a certificate can carry)";
        return result;
    }
    if (!names::CertificateIsFor(DnsNames(cert.get()), name)) {
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
