// The RFB handshake of an encrypted session, as the agent's session process runs it between the
// operator's viewer (through the relay) and a plain x11vnc on a private socket pair: to the
// viewer it is the server up to VeNCrypt (X509None, or X509Vnc when x11vnc asks for a password),
// whose TLS the caller runs; to x11vnc it is the viewer, choosing the security type that matches
// the viewer's subtype. From there the bytes pass through untouched, so x11vnc's security
// result, its password challenge and the session itself are x11vnc's own. Sans-IO: bytes in,
// bytes out, a step and a deadline; secure_session.cpp does the sockets and the TLS.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace talagent {

class SessionGate {
public:
    using Clock = std::chrono::steady_clock;

    enum class Step {
        kViewer,  // RFB with the viewer, up to its VeNCrypt subtype
        kTls,     // the caller runs the TLS handshake, as server, on the viewer's connection
        kX11vnc,  // x11vnc's version and security types
        kSplice,  // bytes pass through both ways
        kFailed,  // error() says why; TakeToViewer() may still hold the viewer's refusal
    };

    // The whole handshake, TLS included, must be done by this long after the start: a viewer
    // that goes silent frees the machine.
    static constexpr auto kHandshakeTime = std::chrono::seconds(30);

    // Session `id` (its ID block and RFB's version are the first bytes to the viewer).
    // `password`: x11vnc asks for a password (-passwdfile), so the viewer is offered X509Vnc.
    SessionGate(std::string_view id, bool password, Clock::time_point now);

    // How many more of the viewer's bytes the current step takes (0: none now). The caller reads
    // no more than that before TLS: what follows the subtype is the viewer's TLS hello.
    std::size_t ViewerWants() const;
    // The viewer's bytes: plain before kTls, decrypted after.
    void FromViewer(std::string_view bytes);
    void TlsDone();
    void FromX11vnc(std::string_view bytes);
    // What to send: to the viewer plain before kTls and inside the TLS after.
    std::string TakeToViewer() { return std::exchange(to_viewer_, {}); }
    std::string TakeToX11vnc() { return std::exchange(to_x11vnc_, {}); }

    Step step() const { return step_; }
    const std::string& error() const { return error_; }
    // Until kSplice: the moment the session is given up.
    std::optional<Clock::time_point> deadline() const;

private:
    enum class Phase { kVersion, kSecurityType, kVeNCryptVersion, kSubtype };

    void StepViewer();
    void StepX11vnc();
    void Fail(std::string why);
    void RefuseInside(const std::string& reason);

    bool password_;
    bool x11vnc_version_ = false;  // x11vnc's version is read and answered
    Clock::time_point deadline_;
    Step step_ = Step::kViewer;
    Phase phase_ = Phase::kVersion;
    std::string from_viewer_;
    std::string from_x11vnc_;
    std::string to_viewer_;
    std::string to_x11vnc_;
    std::string error_;
};

}  // namespace talagent
