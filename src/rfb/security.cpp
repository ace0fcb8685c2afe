// The RFB core's choice of security (rules and reasons in security.h), apart from the state
// machine in client_handshake.cpp that calls it, so the rules read, and are tested, as one table.
#include "rfb/security.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace rfb {
namespace {

bool Has(std::span<const uint32_t> list, uint32_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

bool IsPlain(uint32_t type) {
    return type == kSecurityNone || type == kSecurityVncAuth;
}

// The names operators meet in servers' settings (VeNCrypt's subtypes as TigerVNC spells them).
std::string TypeName(uint32_t type) {
    switch (type) {
        case kSecurityNone:
            return "None";
        case kSecurityVncAuth:
            return "VNC authentication";
        case 16:
            return "Tight";
        default:
            return "type " + std::to_string(type);
    }
}

std::string SubtypeName(uint32_t subtype) {
    static constexpr const char* kNames[] = {"Plain",    "TLSNone", "TLSVnc",   "TLSPlain",
                                             "X509None", "X509Vnc", "X509Plain"};
    if (subtype == kSecurityNone) {
        return "None";
    }
    if (subtype == kSecurityVncAuth) {
        return "VncAuth";
    }
    if (subtype >= 256 && subtype < 256 + std::size(kNames)) {
        return kNames[subtype - 256];
    }
    return std::to_string(subtype);
}

// "a", "a and b", "a, b and c".
std::string JoinNames(const std::vector<std::string>& names, std::string_view last) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        out += (i == 0 ? "" : i + 1 == names.size() ? std::string(last) : ", ") + names[i];
    }
    return out;
}

}  // namespace

uint8_t ChooseSecurityType(std::span<const uint32_t> types, bool allow_insecure) {
    if (allow_insecure) {
        for (const uint8_t plain : {kSecurityVncAuth, kSecurityNone}) {
            if (Has(types, plain)) {
                return plain;
            }
        }
    }
    return Has(types, kSecurityVeNCrypt) ? kSecurityVeNCrypt : 0;
}

bool AcceptsImposedType(uint32_t type, bool allow_insecure) {
    return allow_insecure && IsPlain(type);
}

uint32_t ChooseVeNCryptSubtype(std::span<const uint32_t> subtypes, bool allow_insecure) {
    for (const uint32_t x509 : {kVeNCryptX509Vnc, kVeNCryptX509Plain, kVeNCryptX509None}) {
        if (Has(subtypes, x509)) {
            return x509;
        }
    }
    if (allow_insecure) {
        for (const uint32_t plain :
             {uint32_t{kSecurityVncAuth}, kVeNCryptPlain, uint32_t{kSecurityNone}}) {
            if (Has(subtypes, plain)) {
                return plain;
            }
        }
    }
    return 0;
}

bool IsTlsSubtype(uint32_t subtype) {
    return subtype >= kVeNCryptTlsNone && subtype <= kVeNCryptX509Plain;
}

std::string SecurityRefusal(std::span<const uint32_t> types, std::span<const uint32_t> subtypes,
                            bool allow_insecure) {
    std::vector<std::string> offered;
    for (const uint32_t type : types) {
        if (type != kSecurityVeNCrypt) {
            offered.push_back(TypeName(type));
            continue;
        }
        std::vector<std::string> names;
        for (const uint32_t subtype : subtypes) {
            names.push_back(SubtypeName(subtype));
        }
        offered.push_back(names.empty() ? "VeNCrypt with no subtypes"
                                        : "VeNCrypt " + JoinNames(names, " or "));
    }
    std::string reason = std::string(kSecurityRefusalStart) + JoinNames(offered, " and ") +
                         " only; this viewer needs VeNCrypt with X.509 certificates";
    if (allow_insecure) {
        reason += ", VNC authentication or None";
    } else if (std::any_of(types.begin(), types.end(), IsPlain)) {
        reason += ": sessions with no encryption are not allowed";
    }
    return reason;
}

}  // namespace rfb
