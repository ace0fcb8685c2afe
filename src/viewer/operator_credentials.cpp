// The operator file's place and the check of its contents (see operator_credentials.h). The
// check reads only the PEM armour (the BEGIN/END lines and the legacy encryption header), so a
// file that is plainly not the operator's gets a sentence saying what it holds instead; the
// front end's TLS library then parses what passed.
#include "viewer/operator_credentials.h"

#include <algorithm>
#include <array>

namespace talviewer {

namespace {

std::string Sentence(std::string_view path) {
    return "No operator certificate at " + std::string(path) +
           "; ask your administrator for one (talpki operator) and put it there, or name it with " +
           std::string(kOperatorVariable) + ".";
}

bool Usable(const std::optional<std::string>& value) {
    return value && !value->empty();
}

// The PEM labels of an unencrypted private key: PKCS#8 and the older per-algorithm forms.
constexpr std::array<std::string_view, 4> kKeyLabels = {"PRIVATE KEY", "RSA PRIVATE KEY",
                                                        "EC PRIVATE KEY", "DSA PRIVATE KEY"};

struct Armour {
    int certificates = 0;
    int keys = 0;
    bool encrypted = false;  // an ENCRYPTED PRIVATE KEY, or a legacy key with Proc-Type ENCRYPTED
    bool cut_short = false;  // a BEGIN without its END
};

std::string_view Label(std::string_view line, std::string_view prefix) {
    constexpr std::string_view kDashes = "-----";
    if (line.size() < prefix.size() + kDashes.size() || !line.starts_with(prefix) ||
        !line.ends_with(kDashes)) {
        return {};
    }
    return line.substr(prefix.size(), line.size() - prefix.size() - kDashes.size());
}

Armour ReadArmour(std::string_view pem) {
    Armour armour;
    std::string_view open;  // the label of the block we are in
    while (!pem.empty()) {
        const std::size_t end = pem.find('\n');
        std::string_view line = pem.substr(0, end);
        pem = end == std::string_view::npos ? std::string_view{} : pem.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (open.empty()) {
            open = Label(line, "-----BEGIN ");
            if (open == "CERTIFICATE") {
                ++armour.certificates;
            } else if (open == "ENCRYPTED PRIVATE KEY") {
                armour.encrypted = true;
            } else if (std::find(kKeyLabels.begin(), kKeyLabels.end(), open) != kKeyLabels.end()) {
                ++armour.keys;
            }
        } else if (Label(line, "-----END ") == open) {
            open = {};
        } else if (line.starts_with("Proc-Type:") && line.ends_with("ENCRYPTED")) {
            armour.encrypted = true;
        }
    }
    armour.cut_short = !open.empty();
    return armour;
}

}  // namespace

OperatorFilePlace OperatorFile(const OperatorEnvironment& env, OperatorPlatform platform) {
    if (Usable(env.operator_file)) {
        return {*env.operator_file,
                "No operator certificate at " + *env.operator_file + ", the file " +
                    std::string(kOperatorVariable) +
                    " names; ask your administrator for one (talpki operator)."};
    }
    std::string base;
    std::string_view separator = "/";
    if (platform == OperatorPlatform::kWindows) {
        if (!Usable(env.appdata)) {
            return {{},
                    "No operator certificate: APPDATA is not set, so there is no place to look "
                    "for one; name it with " +
                        std::string(kOperatorVariable) + "."};
        }
        base = *env.appdata;
        separator = "\\";
    } else if (Usable(env.xdg_config_home) && env.xdg_config_home->front() == '/') {
        base = *env.xdg_config_home;
    } else if (Usable(env.home)) {
        base = *env.home + "/.config";
    } else {
        return {{},
                "No operator certificate: HOME is not set, so there is no place to look for "
                "one; name it with " +
                    std::string(kOperatorVariable) + "."};
    }
    std::string path = base + std::string(separator) + "talviewer" + std::string(separator) +
                       std::string(kOperatorFileName);
    std::string missing = Sentence(path);
    return {std::move(path), std::move(missing)};
}

std::optional<std::string> WhyNotOperatorPem(std::string_view pem, std::string_view path) {
    const std::string where(path);
    const std::string expected =
        " It must hold the operator's certificate and its private key, unencrypted, as talpki "
        "operator writes them.";
    if (pem.size() > kMaxOperatorFile) {
        return where + " is larger than 64 KiB; it is not an operator certificate." + expected;
    }
    const Armour armour = ReadArmour(pem);
    if (armour.cut_short) {
        return where + " ends inside a PEM block; it was cut short." + expected;
    }
    if (armour.encrypted) {
        return "The private key in " + where +
               " is encrypted; the viewer cannot ask for its passphrase." + expected;
    }
    if (armour.certificates != 1) {
        return where + " holds " +
               (armour.certificates == 0 ? std::string("no certificate")
                                         : std::to_string(armour.certificates) + " certificates") +
               "." + expected;
    }
    if (armour.keys != 1) {
        return where + " holds " +
               (armour.keys == 0 ? std::string("no private key")
                                 : std::to_string(armour.keys) + " private keys") +
               "." + expected;
    }
    return std::nullopt;
}

}  // namespace talviewer
