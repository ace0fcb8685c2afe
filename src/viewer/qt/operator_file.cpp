// Loading the operator's file (see operator_file.h). The file holds a private key, so it is
// refused, as talagent refuses its key files, when other users may read or change it; its
// armour is checked by the portable rule (viewer/operator_credentials.h), then OpenSSL checks
// that the key is the certificate's, since a mismatch would only show as a refusal later.
#include "viewer/qt/operator_file.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/operator_proof.h"
#include "viewer/operator_credentials.h"

namespace talviewer {

namespace {

std::optional<std::string> Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

// The file's bytes, or why they cannot be used (`missing` when there is no file).
std::optional<std::string> ReadPrivate(const std::string& path, const std::string& missing,
                                       std::string& problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        problem = errno == ENOENT ? missing : "Cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    std::string text;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = path + " is not a regular file, so it cannot be the operator certificate.";
    } else if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(info.st_mode & 0777));
        problem = path + " is open to other users (mode " + mode +
                  "); it holds the operator's private key: chmod 600 it.";
    } else {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxOperatorFile) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        if (n < 0) {
            problem = "Cannot read " + path + ": " + std::strerror(errno);
        }
    }
    ::close(fd);
    if (!problem.empty()) {
        return std::nullopt;
    }
    return text;
}

// Whether the file's private key belongs to its certificate. Never asks for a passphrase.
bool KeyFitsCertificate(const std::string& pem) {
    const auto bio = [&pem] {
        return std::unique_ptr<BIO, decltype(&BIO_free)>(
            BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    };
    pem_password_cb* no_passphrase = [](char*, int, int, void*) { return 0; };
    const std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_bio_X509(bio().get(), nullptr, no_passphrase, nullptr), &X509_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(bio().get(), nullptr, no_passphrase, nullptr), &EVP_PKEY_free);
    return cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
}

QSslKey PrivateKey(const QByteArray& pem) {
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            return key;
        }
    }
    return {};
}

}  // namespace

OperatorCredentials LoadOperatorCredentials() {
    const OperatorFilePlace place = OperatorFile({Variable(std::string(kOperatorVariable).c_str()),
                                                  Variable("XDG_CONFIG_HOME"),
                                                  Variable("HOME"),
                                                  {}},
                                                 OperatorPlatform::kPosix);
    OperatorCredentials credentials;
    if (place.path.empty()) {
        credentials.problem = place.missing;
        return credentials;
    }
    const std::optional<std::string> pem =
        ReadPrivate(place.path, place.missing, credentials.problem);
    if (!pem) {
        return credentials;
    }
    if (auto why = WhyNotOperatorPem(*pem, place.path)) {
        credentials.problem = std::move(*why);
        return credentials;
    }
    const std::optional<std::string> der = opproof::CertificateDer(*pem);
    const QByteArray bytes = QByteArray::fromStdString(*pem);
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(bytes, QSsl::Pem);
    QSslKey key = PrivateKey(bytes);
    if (!der || certificates.isEmpty() || key.isNull() || !KeyFitsCertificate(*pem)) {
        credentials.problem = place.path +
                              " does not hold a certificate and the private key that belongs to "
                              "it (make a new one with talpki operator).";
        return credentials;
    }
    credentials.certificate = certificates.front();
    credentials.key = std::move(key);
    credentials.answer_challenge = [pem = *pem, der = *der](
                                       std::string_view name,
                                       std::string_view nonce) -> std::optional<std::string> {
        std::optional<std::string> signature = opproof::Sign(pem, name, nonce);
        if (!signature) {
            return std::nullopt;
        }
        return opproof::FormatAnswer({der, std::move(*signature)});
    };
    return credentials;
}

}  // namespace talviewer
