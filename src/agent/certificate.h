// The machine certificate talagent hands to x11vnc, checked before the first session. A private
// key that is not the certificate's would fail every session in x11vnc, and so would a name no
// certificate can carry; a certificate for another name (byte for byte: common/machine_name.h),
// or outside its validity, is refused by every viewer, which checks the name it asked for (a
// warning here: the server may be the one that is told a new name).
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace talagent {

struct CertificateCheck {
    std::string error;                  // the file cannot serve; empty when it can
    std::vector<std::string> warnings;  // it can, but viewers will refuse it
};

// Checks `pem` (the --cert file's text: a certificate and its unencrypted private key) for
// the agent named `name`, at time `now`.
CertificateCheck CheckCertificate(std::string_view pem, std::string_view name, std::time_t now);

}  // namespace talagent
