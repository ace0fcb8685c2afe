// The server's side of the RFB handshake: version, security (None, or VeNCrypt with X509None
// only, whose TLS the front end runs), ClientInit and ServerInit. server.cpp steps it; once
// ServerInit is out, messages.cpp takes over.
#include <cstring>
#include <string>

#include "rfbserver/session.h"

namespace rfbserver::detail {
namespace {

constexpr std::size_t kVersionLength = 12;  // "RFB 003.008\n"
constexpr uint32_t kSecurityResultOk = 0;
constexpr uint32_t kSecurityResultFailed = 1;
constexpr std::size_t kMaxEarlyInput = 64 * 1024;

uint8_t OfferedType(const Session& s) {
    return s.options.security == Options::Security::kNone ? rfb::kSecurityNone
                                                          : rfb::kSecurityVeNCrypt;
}

// A refusal the viewer can show: 3.8 carries a reason after the failed result.
void Refuse(Session& s, const std::string& reason) {
    Put32(s.output, kSecurityResultFailed);
    if (s.minor_version >= 8) {
        Put32(s.output, static_cast<uint32_t>(reason.size()));
        s.output.insert(s.output.end(), reason.begin(), reason.end());
    }
    Close(s, reason);
}

// The chosen type is in use: VeNCrypt starts its own exchange, None goes on to ClientInit.
void StartSecurity(Session& s) {
    if (OfferedType(s) == rfb::kSecurityVeNCrypt) {
        s.output.insert(s.output.end(), {rfb::kVeNCryptMajor, rfb::kVeNCryptMinor});
        s.phase = Phase::kVeNCryptVersion;
        return;
    }
    if (s.minor_version >= 8) {
        Put32(s.output, kSecurityResultOk);
    }
    s.phase = Phase::kClientInit;
}

bool StepVersion(Session& s) {
    if (s.Available() < kVersionLength) {
        return false;
    }
    const uint8_t* p = s.Peek();
    int minor = 0;
    bool digits = true;
    for (int i = 8; i < 11; ++i) {
        digits = digits && p[i] >= '0' && p[i] <= '9';
        minor = minor * 10 + (p[i] - '0');
    }
    if (std::memcmp(p, "RFB 003.", 8) != 0 || !digits || p[11] != '\n' || minor < 3) {
        Close(s, "the viewer does not speak RFB 3.3 or later");
        return false;
    }
    s.Consume(kVersionLength);
    // 3.4 to 3.6 are vendor variants of 3.3; anything newer speaks 3.8 with us.
    s.minor_version = minor >= 8 ? 8 : minor == 7 ? 7 : 3;
    if (s.minor_version == 3) {
        // 3.3: the server imposes the type.
        Put32(s.output, OfferedType(s));
        StartSecurity(s);
    } else {
        s.output.insert(s.output.end(), {1, OfferedType(s)});
        s.phase = Phase::kSecurityType;
    }
    return true;
}

bool StepSecurityType(Session& s) {
    if (s.Available() < 1) {
        return false;
    }
    const uint8_t choice = s.Peek()[0];
    s.Consume(1);
    if (choice != OfferedType(s)) {
        Refuse(s, "the viewer chose security type " + std::to_string(choice) +
                      ", which was not offered");
        return false;
    }
    StartSecurity(s);
    return true;
}

bool StepVeNCryptVersion(Session& s) {
    if (s.Available() < 2) {
        return false;
    }
    const uint8_t major = s.Peek()[0];
    const uint8_t minor = s.Peek()[1];
    s.Consume(2);
    if (major != rfb::kVeNCryptMajor || minor != rfb::kVeNCryptMinor) {
        s.output.push_back(0xff);  // not supported
        Close(s, "the viewer asked for VeNCrypt " + std::to_string(major) + "." +
                     std::to_string(minor) + "; only 0.2 is served");
        return false;
    }
    s.output.push_back(0);  // accepted
    s.output.push_back(1);  // one subtype
    Put32(s.output, rfb::kVeNCryptX509None);
    s.phase = Phase::kVeNCryptSubtype;
    return true;
}

bool StepVeNCryptSubtype(Session& s) {
    if (s.Available() < 4) {
        return false;
    }
    const uint32_t subtype = U32(s.Peek());
    s.Consume(4);
    if (subtype != rfb::kVeNCryptX509None) {
        s.output.push_back(0);  // refused
        Close(s, "the viewer chose VeNCrypt subtype " + std::to_string(subtype) +
                     ", which was not offered");
        return false;
    }
    s.output.push_back(1);
    // Whatever followed the choice is the viewer's TLS hello.
    event::StartTls start;
    start.tls_bytes.assign(s.Peek(), s.Peek() + s.Available());
    s.input.clear();
    s.read = 0;
    s.phase = Phase::kWaitTls;
    s.events.push_back(std::move(start));
    return false;
}

bool StepClientInit(Session& s) {
    if (s.Available() < 1) {
        return false;
    }
    s.Consume(1);  // the shared flag: one viewer at a time is the agent's rule anyway
    if (s.size_known) {
        SendServerInit(s);
    } else {
        s.phase = Phase::kWaitSize;
    }
    return true;
}

}  // namespace

bool StepHandshake(Session& s) {
    switch (s.phase) {
        case Phase::kVersion:
            return StepVersion(s);
        case Phase::kSecurityType:
            return StepSecurityType(s);
        case Phase::kVeNCryptVersion:
            return StepVeNCryptVersion(s);
        case Phase::kVeNCryptSubtype:
            return StepVeNCryptSubtype(s);
        case Phase::kClientInit:
            return StepClientInit(s);
        case Phase::kWaitSize:
            // The viewer may speak before ServerInit is out, but not without limit.
            if (s.Available() > kMaxEarlyInput) {
                Close(s, "the viewer sent too much before the desktop's size was known");
            }
            return false;
        default:  // waiting for the front end
            return false;
    }
}

void SendServerInit(Session& s) {
    Put16(s.output, static_cast<uint32_t>(s.width));
    Put16(s.output, static_cast<uint32_t>(s.height));
    WritePixelFormat(s.format, s.output);
    const std::string& name = s.options.desktop_name;
    Put32(s.output, static_cast<uint32_t>(name.size()));
    s.output.insert(s.output.end(), name.begin(), name.end());
    s.shadow.Reset(s.width, s.height);
    s.shadow_valid = false;
    s.resize_pending = false;
    s.phase = Phase::kNormal;
    s.events.push_back(event::Ready{});
}

}  // namespace rfbserver::detail
