// The encrypted session's handshake (see session_gate.h). The viewer is offered one VeNCrypt
// subtype and x11vnc asked for one security type, so neither end has a choice to get wrong.
#include "agent/session_gate.h"

#include "agent/log.h"
#include "agent/protocol.h"
#include "rfb/wire.h"

namespace talagent {
namespace {

constexpr std::size_t kVersionLength = 12;  // "RFB 003.008\n"
constexpr uint32_t kSecurityResultFailed = 1;
constexpr uint8_t kVeNCryptRefused = 0xff;  // the answer to a VeNCrypt version not served
constexpr uint8_t kVeNCryptAccepted = 0;
constexpr uint8_t kSubtypeRefused = 0;
constexpr uint8_t kSubtypeAccepted = 1;
// x11vnc's reason for offering no security type; longer is not x11vnc speaking.
constexpr uint32_t kMaxReason = 4096;

void Put32(std::string& out, uint32_t value) {
    for (const int shift : {24, 16, 8, 0})
        out.push_back(static_cast<char>((value >> shift) & 0xff));
}

uint32_t U32(std::string_view bytes) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<uint8_t>(bytes[i]);
    return value;
}

// The minor version of "RFB 003.xyz\n", or -1 when `version` is not that.
int MinorVersion(std::string_view version) {
    if (version.size() != kVersionLength || !version.starts_with("RFB 003.") || version[11] != '\n')
        return -1;
    int minor = 0;
    for (std::size_t i = 8; i < 11; ++i) {
        if (version[i] < '0' || version[i] > '9')
            return -1;
        minor = minor * 10 + (version[i] - '0');
    }
    return minor;
}

}  // namespace

SessionGate::SessionGate(std::string_view id, bool password, Clock::time_point now)
    : password_(password), deadline_(now + kHandshakeTime) {
    to_viewer_ = IdBlock(id) + std::string(kRfbVersion);
}

std::size_t SessionGate::ViewerWants() const {
    if (step_ != Step::kViewer)
        return 0;
    switch (phase_) {
        case Phase::kVersion:
            return kVersionLength - from_viewer_.size();
        case Phase::kSecurityType:
            return 1 - from_viewer_.size();
        case Phase::kVeNCryptVersion:
            return 2 - from_viewer_.size();
        case Phase::kSubtype:
            return 4 - from_viewer_.size();
    }
    return 0;
}

std::optional<SessionGate::Clock::time_point> SessionGate::deadline() const {
    if (step_ == Step::kSplice || step_ == Step::kFailed)
        return std::nullopt;
    return deadline_;
}

void SessionGate::FromViewer(std::string_view bytes) {
    switch (step_) {
        case Step::kViewer:
            from_viewer_.append(bytes.substr(0, ViewerWants()));
            if (ViewerWants() == 0)
                StepViewer();
            return;
        case Step::kX11vnc:
            // Held until x11vnc has been answered: they are the viewer's next words to it.
            from_viewer_.append(bytes);
            return;
        case Step::kSplice:
            to_x11vnc_.append(bytes);
            return;
        default:
            return;
    }
}

void SessionGate::TlsDone() {
    if (step_ == Step::kTls)
        step_ = Step::kX11vnc;
}

void SessionGate::FromX11vnc(std::string_view bytes) {
    if (step_ == Step::kSplice) {
        to_viewer_.append(bytes);
    } else if (step_ == Step::kX11vnc) {
        from_x11vnc_.append(bytes);
        StepX11vnc();
    }
}

void SessionGate::Fail(std::string why) {
    step_ = Step::kFailed;
    error_ = std::move(why);
}

void SessionGate::StepViewer() {
    const std::string got = std::exchange(from_viewer_, {});
    const uint32_t subtype = password_ ? rfb::kVeNCryptX509Vnc : rfb::kVeNCryptX509None;
    switch (phase_) {
        case Phase::kVersion: {
            const int minor = MinorVersion(got);
            if (minor < 0)
                return Fail("the viewer does not speak RFB: " + Printable(got));
            if (minor < 8) {
                // Older viewers cannot be told the reason in a security result: 3.7 reads it
                // in place of the list of types, 3.3 in place of the type.
                const std::string reason = "this machine needs a viewer that speaks RFB 3.8";
                if (minor == 7)
                    to_viewer_.push_back(0);
                else
                    Put32(to_viewer_, 0);
                Put32(to_viewer_, static_cast<uint32_t>(reason.size()));
                to_viewer_ += reason;
                return Fail("the viewer speaks RFB 3." + std::to_string(minor));
            }
            to_viewer_ += {1, static_cast<char>(rfb::kSecurityVeNCrypt)};
            phase_ = Phase::kSecurityType;
            return;
        }
        case Phase::kSecurityType:
            if (static_cast<uint8_t>(got[0]) != rfb::kSecurityVeNCrypt) {
                const std::string reason = "this machine takes only encrypted sessions";
                Put32(to_viewer_, kSecurityResultFailed);
                Put32(to_viewer_, static_cast<uint32_t>(reason.size()));
                to_viewer_ += reason;
                return Fail("the viewer chose security type " +
                            std::to_string(static_cast<uint8_t>(got[0])) + ", not VeNCrypt");
            }
            to_viewer_ +=
                {static_cast<char>(rfb::kVeNCryptMajor), static_cast<char>(rfb::kVeNCryptMinor)};
            phase_ = Phase::kVeNCryptVersion;
            return;
        case Phase::kVeNCryptVersion:
            if (got[0] != rfb::kVeNCryptMajor || got[1] != rfb::kVeNCryptMinor) {
                to_viewer_.push_back(static_cast<char>(kVeNCryptRefused));
                return Fail("the viewer asked for VeNCrypt " + Printable(got));
            }
            to_viewer_ += {static_cast<char>(kVeNCryptAccepted), 1};
            Put32(to_viewer_, subtype);
            phase_ = Phase::kSubtype;
            return;
        case Phase::kSubtype:
            if (U32(got) != subtype) {
                to_viewer_.push_back(static_cast<char>(kSubtypeRefused));
                return Fail("the viewer chose VeNCrypt subtype " + std::to_string(U32(got)) +
                            ", not " + std::to_string(subtype));
            }
            to_viewer_.push_back(static_cast<char>(kSubtypeAccepted));
            step_ = Step::kTls;
            return;
    }
}

// x11vnc's refusal, told the viewer inside the TLS where it can be shown. With X509Vnc the
// viewer waits for a challenge, not a result, and is only closed.
void SessionGate::RefuseInside(const std::string& reason) {
    if (password_)
        return;
    Put32(to_viewer_, kSecurityResultFailed);
    Put32(to_viewer_, static_cast<uint32_t>(reason.size()));
    to_viewer_ += reason;
}

void SessionGate::StepX11vnc() {
    if (!x11vnc_version_) {
        if (from_x11vnc_.size() < kVersionLength)
            return;
        const std::string version = from_x11vnc_.substr(0, kVersionLength);
        if (MinorVersion(version) < 8) {
            RefuseInside("the desktop could not be shared");
            return Fail("x11vnc does not speak RFB 3.8: " + Printable(version));
        }
        from_x11vnc_.erase(0, kVersionLength);
        to_x11vnc_ += kRfbVersion;
        x11vnc_version_ = true;
    }
    if (from_x11vnc_.empty())
        return;
    const std::size_t count = static_cast<uint8_t>(from_x11vnc_[0]);
    if (count == 0) {
        // No type: x11vnc says why, and the viewer is told.
        if (from_x11vnc_.size() < 5)
            return;
        const uint32_t length = U32(std::string_view(from_x11vnc_).substr(1));
        if (length > kMaxReason) {
            RefuseInside("the desktop could not be shared");
            return Fail("x11vnc refused the session with an overlong reason");
        }
        if (from_x11vnc_.size() < 5 + length)
            return;
        const std::string reason = from_x11vnc_.substr(5, length);
        RefuseInside(reason);
        return Fail("x11vnc refused the session: " + Printable(reason));
    }
    if (from_x11vnc_.size() < 1 + count)
        return;
    const std::string_view types = std::string_view(from_x11vnc_).substr(1, count);
    const uint8_t wanted = password_ ? rfb::kSecurityVncAuth : rfb::kSecurityNone;
    if (types.find(static_cast<char>(wanted)) == std::string_view::npos) {
        RefuseInside("the desktop could not be shared");
        return Fail("x11vnc does not offer security type " + std::to_string(wanted) + ": " +
                    Printable(types));
    }
    to_x11vnc_.push_back(static_cast<char>(wanted));
    to_x11vnc_ += std::exchange(from_viewer_, {});
    to_viewer_ += from_x11vnc_.substr(1 + count);
    from_x11vnc_.clear();
    step_ = Step::kSplice;
}

}  // namespace talagent
