// The Qt viewer's operator credentials: reads the file viewer/operator_credentials.h places
// (TALVIEWER_OPERATOR, else the user's config folder), refuses one that other users may read or
// that is not a regular file, and turns what passed into the two things a session presents:
// the answer to the directory server's challenge (common/operator_proof.h) and the TLS client
// certificate and key for a machine that asks for one (session.cpp).
#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace talviewer {

struct OperatorCredentials {
    // Set when the file is usable: signs "operator CERT SIG\n" for a machine name and nonce.
    std::function<std::optional<std::string>(std::string_view name, std::string_view nonce)>
        answer_challenge;
    QSslCertificate certificate;
    QSslKey key;
    // Otherwise: where the viewer looked, or what is wrong with the file it found.
    std::string problem;
};

// Reads the operator's file from the process's environment. Never fails the viewer: without
// usable credentials a session still runs where nobody asks for an operator.
OperatorCredentials LoadOperatorCredentials();

}  // namespace talviewer
