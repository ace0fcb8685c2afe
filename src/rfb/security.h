// Which security the RFB core answers a server's offer with: pure functions of what the server
// lists and of Options::allow_insecure, called by client.cpp at the two points where RFB asks the
// client to choose (the security types, then the VeNCrypt subtypes), and the reason the session
// ends with when nothing offered is acceptable. The viewers' session driver reads that reason's
// start (kSecurityRefusalStart) to tell the operator "not secure".
//
// The rules, and why:
//   - Encryption required (allow_insecure false): VeNCrypt (19) with an X.509 subtype only,
//     X509Vnc (261), then X509Plain (262, a user name and password: wayvnc, TigerVNC's password
//     modes), then X509None (260): a server that offers a password check beside none expects the
//     viewers that have one to use it. The anonymous TLS subtypes (TLSNone, TLSVnc, TLSPlain) are
//     always refused: they encrypt, but cannot prove who the server is.
//   - Plain allowed: VNC authentication (2), then None (1), then VeNCrypt. RFB has no way back
//     once a type is chosen, and VeNCrypt's subtypes are only listed after choosing 19: a server
//     offering 2 and 19 may list only anonymous subtypes (TigerVNC's default: 2 and 19 with
//     TLSVnc and VncAuth), and choosing 19 would end a session that 2 opens. The viewers allow
//     plain sessions only where they have no CA to check a certificate with, so nothing is lost
//     there. VeNCrypt is still taken when it is all the server offers that the rules accept.
//   - Between 2 and 1, the one that authenticates: a server offering both expects a password
//     from the viewers that have one. Inside VeNCrypt with plain allowed, after the X.509
//     subtypes: VncAuth (2), then Plain (256: the password crosses in the clear, so after VNC
//     authentication, which hides it), then None (1).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "rfb/wire.h"

namespace rfb {

// The type to answer the server's list with (3.7 and later), or 0 when none is acceptable.
uint8_t ChooseSecurityType(std::span<const uint32_t> types, bool allow_insecure);
// Whether a server that imposes `type` (3.3) may be followed.
bool AcceptsImposedType(uint32_t type, bool allow_insecure);
// The VeNCrypt subtype to answer with, or 0 when none is acceptable.
uint32_t ChooseVeNCryptSubtype(std::span<const uint32_t> subtypes, bool allow_insecure);
// Whether a VeNCrypt subtype runs inside TLS (the X.509 and anonymous TLS ones).
bool IsTlsSubtype(uint32_t subtype);

// Every reason the core ends a session with over security it cannot accept begins so, and no
// other reason does.
inline constexpr std::string_view kSecurityRefusalStart = "the server offers ";
// That reason: what the server offers and what this viewer needs. VeNCrypt is acceptable as a type
// whenever offered, so it is among `types` only once its `subtypes` have been listed.
std::string SecurityRefusal(std::span<const uint32_t> types, std::span<const uint32_t> subtypes,
                            bool allow_insecure);

}  // namespace rfb
