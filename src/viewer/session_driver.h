// One remote-desktop session as both viewers run it, without any I/O of its own: the
// "view NAME" request and the server's one-line reply, the deadline of each stage, the TLS
// that VeNCrypt asks for, the RFB core (src/rfb) that speaks with the remote desktop, and every
// way a session can fail turned into one Failure with a detail for the operator.
//
// Shaped like rfb::Client. The front end (the Qt viewer's session.cpp, the Win32 viewer's
// session.cpp) owns the socket, the TLS layer, the timer and the window. It tells the driver
// what happened (Start, Connected, Receive, TlsEstablished, TlsFailed, Closed, Tick), then
//   1. sends what TakeOutput() returns: through the TLS layer once a StartTls event was handled,
//      in the clear before (the request and the security negotiation precede StartTls);
//   2. handles what PollEvent() returns, oldest first;
//   3. arms its timer for deadline().
// Sending before handling events keeps the server busy while the window paints, and makes
// sure the bytes queued before StartTls leave in the clear.
//
// Desktop resizes are coalesced: of the resizes and updates one call produced, only the last
// resize (and what followed it) is reported, so a desktop that floods resizes costs the front
// end one new image per call, not one per message.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "rfb/client.h"
#include "viewer/quality.h"
#include "viewer/session_messages.h"

namespace talviewer {

// How long each stage may take. The server waits up to 30 s for the agent itself and then
// answers "error timeout", so the request's limit is above that.
inline constexpr std::chrono::seconds kConnectLimit{15};
inline constexpr std::chrono::seconds kReplyLimit{45};
inline constexpr std::chrono::seconds kHandshakeLimit{30};

struct SessionSetup {
    std::string address;       // the directory server, as given
    std::string port;          // its port, as given
    std::string name;          // the machine: the bytes sent in "view NAME"
    std::string display_name;  // the same for the operator and the certificate, UTF-8
    bool have_ca = false;      // a deployment CA is there: plain sessions are refused
    // Plain sessions were allowed explicitly (kAllowPlainFile beside the viewer) and there is
    // no CA. Otherwise a desktop that offers no encryption is refused: fail closed.
    bool allow_plain = false;
    // The operator's answer to the server's challenge for NAME and NONCE: the whole line,
    // "operator CERT SIG\n" (common/operator_proof.h), or nothing if it cannot be made. Not
    // set: there are no operator credentials, and `no_credentials` says why, as a sentence
    // (where the viewer looked, or what is wrong with the file it found).
    std::function<std::optional<std::string>(std::string_view name, std::string_view nonce)>
        answer_challenge;
    std::string no_credentials;
    // The picture quality asked for (View > Quality, -quality); Auto follows the throughput.
    viewer::Quality quality = viewer::Quality::kAuto;
};

namespace session_event {
struct Status {
    std::string text;  // the line shown while there is no desktop, UTF-8
};
struct Accepted {};  // the server answered "ok"
struct Connected {
    bool encrypted = false;
};
struct FramebufferUpdated {
    std::vector<rfb::Rect> rects;
};
struct DesktopResized {
    int width = 0;
    int height = 0;
};
struct CursorChanged {};   // read client().cursor()
struct ScreensChanged {};  // read client().screens()
struct Clipboard {
    std::string text;  // UTF-8
};
struct Bell {};
// Answer with SetPassword(), or SetCredentials() when `user_name` (the server asks for a user
// name too), outside the current call.
struct CredentialsNeeded {
    bool user_name = false;
};
// Run the TLS handshake now on the same connection: the certificate must chain to the
// deployment's CA and carry `peer_name`. Then TlsEstablished() or TlsFailed().
struct StartTls {
    std::string peer_name;
};
// The session is over: close the connection and tell the operator. Reported once, last.
struct Failed {
    Failure failure;
    std::string detail;
};
}  // namespace session_event

using SessionEvent =
    std::variant<session_event::Status, session_event::Accepted, session_event::Connected,
                 session_event::FramebufferUpdated, session_event::DesktopResized,
                 session_event::CursorChanged, session_event::ScreensChanged,
                 session_event::Clipboard, session_event::Bell, session_event::CredentialsNeeded,
                 session_event::StartTls, session_event::Failed>;

class SessionDriver {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // The core's encodings, JPEG decoder and levels follow setup.quality.
    explicit SessionDriver(SessionSetup setup);
    // Exactly these options (tests), apart from the security they get from `setup`.
    SessionDriver(SessionSetup setup, rfb::Options options);

    // The front end starts connecting to the server.
    void Start(TimePoint now);
    // The connection to the server is up.
    void Connected(TimePoint now);
    // Bytes from the server: as received before StartTls, the TLS layer's plaintext after.
    void Receive(std::span<const uint8_t> bytes, TimePoint now);
    // The TLS handshake asked for succeeded and the TLS layer checked the certificate against
    // the CA and the name (as DNS does, ignoring case). `dns_names` are the certificate's
    // subjectAltName DNS entries: one must equal the machine's name byte for byte, since listed
    // names are bytes and "PC-A" and "pc-a" are two machines.
    void TlsEstablished(const std::vector<std::string>& dns_names);
    // The TLS handshake failed. `reason` completes "The TLS handshake with NAME failed: ";
    // `whole` says it is a sentence of its own (a refused certificate, told as it is).
    void TlsFailed(std::string_view reason, bool whole = false);
    // The connection closed or could not be made. `by_peer`: the other side closed it;
    // otherwise `reason` says what went wrong (the socket's error text).
    void Closed(std::string_view reason, bool by_peer);
    // The clock moved on; a stage whose deadline has passed fails.
    void Tick(TimePoint now);
    // The answers to CredentialsNeeded.
    void SetPassword(std::string password, TimePoint now);
    void SetCredentials(std::string user, std::string password, TimePoint now);

    // Input for the remote desktop; ignored until connected and after a failure.
    void SendKey(uint32_t keysym, bool down);
    void SendPointer(int x, int y, uint8_t buttons);
    void SendClipboard(std::string_view utf8_text);
    // Asks the server to fit its desktop to `width` x `height` (see rfb::Client).
    bool RequestDesktopSize(int width, int height);
    // A new quality setting, asked of the server at once; Auto starts from Balanced again.
    void SetQuality(viewer::Quality quality);

    std::vector<uint8_t> TakeOutput();
    bool HasOutput() const {
        return stage_ != Stage::kDone && (!output_.empty() || client_.HasOutput());
    }
    std::optional<SessionEvent> PollEvent();
    // When Tick() must be called next, if at all.
    std::optional<TimePoint> deadline() const { return deadline_; }

    const rfb::Client& client() const { return client_; }
    bool connected() const { return stage_ == Stage::kRfb && client_.connected(); }
    bool done() const { return stage_ == Stage::kDone; }

private:
    enum class Stage {
        kIdle,        // not started
        kConnecting,  // TCP to the directory server
        kRequesting,  // "view NAME" sent, waiting for the answer line
        kProving,     // the challenge answered, waiting for the verdict line
        kRfb,         // the core speaks (in TLS once VeNCrypt set it up)
        kTls,         // the TLS handshake the core asked for
        kDone,        // failed or ended; everything is ignored
    };

    void ReadReply(TimePoint now);
    void AnswerChallenge(std::string_view nonce, std::string rest, TimePoint now);
    void Feed(std::span<const uint8_t> bytes);
    void DrainCore();
    void Push(SessionEvent event);
    void StartTls(const rfb::event::StartTls& start);
    void Arm(TimePoint at, Failure failure, std::string detail);
    void ArmHandshake(TimePoint now);
    void Status(std::string text);
    void Fail(Failure failure, std::string detail);
    void MeasureUpdate();

    SessionSetup setup_;
    rfb::Client client_;
    Stage stage_ = Stage::kIdle;
    std::string reply_;
    std::vector<uint8_t> output_;  // the request, ahead of the core's output
    std::deque<SessionEvent> events_;
    bool password_given_ = false;
    std::optional<TimePoint> deadline_;
    Failure deadline_failure_ = Failure::kTimeout;
    std::string deadline_detail_;
    // Auto: the level in use, and the current update's size and the time its first bytes came.
    viewer::Quality quality_ = viewer::Quality::kAuto;
    viewer::Quality level_ = viewer::Quality::kBalanced;
    viewer::ThroughputMeter meter_;
    std::size_t update_bytes_ = 0;
    std::optional<TimePoint> update_start_;
    TimePoint last_receive_{};
};

}  // namespace talviewer
