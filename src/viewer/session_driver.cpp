// The session's stages, deadlines and failures (see session_driver.h). The texts the operator
// reads are made here once for both viewers; the sentences around them (first line, exit
// status) come from session_messages.h.
#include "viewer/session_driver.h"

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/machine_name.h"

namespace talviewer {

namespace {

constexpr std::string_view kEllipsis = "\xe2\x80\xa6";

std::string Seconds(std::chrono::seconds limit) {
    return std::to_string(limit.count()) + " seconds";
}

bool Superseded(const SessionEvent& event) {
    return std::holds_alternative<session_event::DesktopResized>(event) ||
           std::holds_alternative<session_event::FramebufferUpdated>(event);
}

// JPEG is decoded by the platform's backend (rfb/jpeg.h); SetQuality chooses the encodings.
rfb::Options WithJpeg() {
    rfb::Options options;
    options.jpeg = rfb::MakeJpegDecoder();
    return options;
}

}  // namespace

SessionDriver::SessionDriver(SessionSetup setup) : SessionDriver(std::move(setup), WithJpeg()) {
    SetQuality(setup_.quality);
}

SessionDriver::SessionDriver(SessionSetup setup, rfb::Options options)
    : setup_(std::move(setup)), client_([&] {
          options.allow_insecure = !setup_.have_ca && setup_.allow_plain;
          return std::move(options);
      }()) {}

void SessionDriver::Start(TimePoint now) {
    if (stage_ != Stage::kIdle) {
        return;
    }
    stage_ = Stage::kConnecting;
    const std::string where = setup_.address + ":" + setup_.port;
    Status("Connecting to the server at " + where + std::string(kEllipsis));
    Arm(now + kConnectLimit, Failure::kConnectionFailed,
        "The server at " + where + " did not answer within " + Seconds(kConnectLimit) + ".");
}

void SessionDriver::Connected(TimePoint now) {
    if (stage_ != Stage::kConnecting) {
        return;
    }
    stage_ = Stage::kRequesting;
    const std::string request = ViewRequest(setup_.name);
    output_.insert(output_.end(), request.begin(), request.end());
    Status("Asking " + setup_.display_name + " for a session" + std::string(kEllipsis));
    Arm(now + kReplyLimit, Failure::kTimeout,
        "The server did not answer within " + Seconds(kReplyLimit) + ".");
}

void SessionDriver::Receive(std::span<const uint8_t> bytes, TimePoint now) {
    if (stage_ == Stage::kRequesting || stage_ == Stage::kProving) {
        reply_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        ReadReply(now);
    } else if (stage_ == Stage::kRfb) {
        // An update's time runs from its first bytes, so the idle wait before it is not counted.
        if (!update_start_) {
            update_start_ = now;
        }
        update_bytes_ += bytes.size();
        last_receive_ = now;
        Feed(bytes);
    }
}

void SessionDriver::SetQuality(viewer::Quality quality) {
    quality_ = quality;
    level_ = quality == viewer::Quality::kAuto ? viewer::Quality::kBalanced : quality;
    viewer::EncodingRequest request = viewer::RequestFor(level_);
    client_.SetEncodings(std::move(request.encodings), request.jpeg_quality,
                         request.compress_level);
}

// Auto moves by the throughput updates show; a move is asked of the server at once.
void SessionDriver::MeasureUpdate() {
    const double seconds =
        std::chrono::duration<double>(last_receive_ - update_start_.value_or(last_receive_))
            .count();
    const std::optional<double> throughput = meter_.Add(update_bytes_, seconds);
    update_bytes_ = 0;
    update_start_.reset();
    if (quality_ != viewer::Quality::kAuto || !throughput) {
        return;
    }
    const viewer::Quality next = viewer::AutoLevel(level_, *throughput);
    if (next != level_) {
        level_ = next;
        viewer::EncodingRequest request = viewer::RequestFor(level_);
        client_.SetEncodings(std::move(request.encodings), request.jpeg_quality,
                             request.compress_level);
    }
}

void SessionDriver::ReadReply(TimePoint now) {
    const std::size_t end = reply_.find('\n');
    if (end == std::string::npos) {
        if (reply_.size() > kMaxReplyLine) {
            Fail(Failure::kConnectionFailed, "The server's answer was not understood.");
        }
        return;
    }
    const Reply reply = ParseReply(std::string_view(reply_).substr(0, end));
    std::string rest = reply_.substr(end + 1);
    reply_.clear();
    if (reply.kind == ReplyKind::kChallenge) {
        if (stage_ == Stage::kProving) {
            return Fail(Failure::kConnectionFailed, "The server asked for the operator twice.");
        }
        return AnswerChallenge(reply.reason, std::move(rest), now);
    }
    if (reply.kind != ReplyKind::kOk) {
        Outcome outcome = ReplyOutcome(reply);
        return Fail(outcome.failure, std::move(outcome.detail));
    }
    stage_ = Stage::kRfb;
    Push(session_event::Accepted{});
    Status("Starting the session" + std::string(kEllipsis));
    ArmHandshake(now);
    Feed({reinterpret_cast<const uint8_t*>(rest.data()), rest.size()});
}

// The server checks operators: prove ours, then read the verdict like the first answer.
void SessionDriver::AnswerChallenge(std::string_view nonce, std::string rest, TimePoint now) {
    if (!setup_.answer_challenge) {
        return Fail(Failure::kNoCredentials, setup_.no_credentials);
    }
    const std::optional<std::string> answer = setup_.answer_challenge(setup_.name, nonce);
    if (!answer) {
        return Fail(Failure::kNoCredentials,
                    "The operator certificate's key could not sign the server's challenge.");
    }
    stage_ = Stage::kProving;
    output_.insert(output_.end(), answer->begin(), answer->end());
    Status("Showing the server who you are" + std::string(kEllipsis));
    reply_ = std::move(rest);
    if (!reply_.empty()) {
        ReadReply(now);
    }
}

void SessionDriver::Feed(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    client_.Receive(bytes);
    DrainCore();
}

// The core's events in the driver's terms, in order.
void SessionDriver::DrainCore() {
    while (stage_ != Stage::kDone) {
        std::optional<rfb::Event> next = client_.PollEvent();
        if (!next) {
            return;
        }
        std::visit(
            [this](auto& e) {
                using T = std::decay_t<decltype(e)>;
                namespace se = session_event;
                if constexpr (std::is_same_v<T, rfb::event::Connected>) {
                    deadline_.reset();
                    Push(se::Connected{client_.encrypted()});
                } else if constexpr (std::is_same_v<T, rfb::event::FramebufferUpdated>) {
                    MeasureUpdate();
                    Push(se::FramebufferUpdated{std::move(e.rects)});
                } else if constexpr (std::is_same_v<T, rfb::event::DesktopResized>) {
                    // Everything drawn or resized before this is gone: the core repaints
                    // the whole new desktop with the update that carries the resize.
                    std::erase_if(events_, Superseded);
                    Push(se::DesktopResized{e.width, e.height});
                } else if constexpr (std::is_same_v<T, rfb::event::CursorChanged>) {
                    Push(se::CursorChanged{});
                } else if constexpr (std::is_same_v<T, rfb::event::ScreensChanged>) {
                    Push(se::ScreensChanged{});
                } else if constexpr (std::is_same_v<T, rfb::event::Clipboard>) {
                    Push(se::Clipboard{std::move(e.text)});
                } else if constexpr (std::is_same_v<T, rfb::event::Bell>) {
                    Push(se::Bell{});
                } else if constexpr (std::is_same_v<T, rfb::event::StartTls>) {
                    StartTls(e);
                } else if constexpr (std::is_same_v<T, rfb::event::CredentialsNeeded>) {
                    deadline_.reset();  // the operator may take their time
                    Status((e.user_name ? "Waiting for the user name and password"
                                        : "Waiting for the password") +
                           std::string(kEllipsis));
                    Push(se::CredentialsNeeded{.user_name = e.user_name});
                } else if constexpr (std::is_same_v<T, rfb::event::Failed>) {
                    Outcome outcome = CoreFailure(e.reason, password_given_);
                    if (outcome.failure == Failure::kSecurity && !setup_.have_ca) {
                        outcome.detail += " There is no ca.pem beside the viewer" +
                                          (setup_.allow_plain
                                               ? std::string(".")
                                               : ", and no file \"" + std::string(kAllowPlainFile) +
                                                     "\" that allows sessions without encryption.");
                    }
                    Fail(outcome.failure, std::move(outcome.detail));
                }
            },
            *next);
    }
}

void SessionDriver::StartTls(const rfb::event::StartTls& start) {
    if (!setup_.have_ca) {
        return Fail(Failure::kSecurity,
                    "The remote machine offers a certificate-secured session, but there is no "
                    "ca.pem beside the viewer to check its certificate with.");
    }
    if (!start.tls_bytes.empty()) {
        // The server spoke before our hello: no TLS server does that.
        return Fail(Failure::kSecurity, "The remote machine sent data before the TLS handshake.");
    }
    stage_ = Stage::kTls;
    Status("Checking " + setup_.display_name + "'s certificate" + std::string(kEllipsis));
    Push(session_event::StartTls{setup_.display_name});
}

void SessionDriver::TlsEstablished(const std::vector<std::string>& dns_names) {
    if (stage_ != Stage::kTls) {
        return;
    }
    if (!names::CertificateIsFor(dns_names, setup_.name)) {
        std::string named;
        for (const std::string& dns : dns_names) {
            named += (named.empty() ? "" : ", ") + Printable(dns);
        }
        return Fail(Failure::kSecurity, "The machine's certificate is not for " +
                                            setup_.display_name +
                                            (named.empty() ? ": it names no machine."
                                                           : " but for " + named +
                                                                 " (names match exactly, "
                                                                 "case included)."));
    }
    stage_ = Stage::kRfb;
    Status("Starting the session" + std::string(kEllipsis));
    client_.TlsEstablished();
    DrainCore();
}

void SessionDriver::TlsFailed(std::string_view reason, bool whole) {
    if (stage_ == Stage::kDone) {
        return;
    }
    Fail(Failure::kSecurity, whole ? std::string(reason)
                                   : "The TLS handshake with " + setup_.display_name +
                                         " failed: " + std::string(reason));
}

void SessionDriver::Closed(std::string_view reason, bool by_peer) {
    switch (stage_) {
        case Stage::kIdle:
        case Stage::kConnecting:
            return Fail(Failure::kConnectionFailed,
                        "The server at " + setup_.address + ":" + setup_.port +
                            " could not be reached: " + std::string(reason));
        case Stage::kRequesting:
        case Stage::kProving:
            // A server that refuses an operator says so ("error not-authorized"); one that
            // closes after the proof, silent, may as well have stopped while the agent came.
            return Fail(Failure::kConnectionFailed,
                        "The server closed the connection without answering.");
        case Stage::kTls:
            return TlsFailed(by_peer ? "the remote side closed the connection." : reason);
        case Stage::kRfb:
            // A machine that checks operators (x11vnc -sslverify) closes the connection when
            // the viewer shows no client certificate. In TLS 1.3 that comes after the client's
            // part of the handshake, and its alert is often lost in the reset.
            if (!client_.connected() && client_.encrypted() && !setup_.answer_challenge) {
                return Fail(Failure::kSecurity,
                            "The TLS handshake with " + setup_.display_name +
                                " ended with the machine closing the connection, as a machine "
                                "that checks operators does when the viewer shows no operator "
                                "certificate. " +
                                setup_.no_credentials);
            }
            if (!client_.connected()) {
                return Fail(Failure::kConnectionFailed,
                            "The remote machine closed the connection before the session "
                            "started.");
            }
            return Fail(Failure::kEnded,
                        by_peer ? "The remote side closed the connection." : std::string(reason));
        case Stage::kDone:
            return;
    }
}

void SessionDriver::Tick(TimePoint now) {
    if (deadline_ && now >= *deadline_) {
        Fail(deadline_failure_, deadline_detail_);
    }
}

void SessionDriver::SetPassword(std::string password, TimePoint now) {
    SetCredentials({}, std::move(password), now);
}

void SessionDriver::SetCredentials(std::string user, std::string password, TimePoint now) {
    if (stage_ == Stage::kDone) {
        return;
    }
    password_given_ = true;
    Status("Signing in" + std::string(kEllipsis));
    ArmHandshake(now);
    client_.SetCredentials(std::move(user), std::move(password));
    DrainCore();
}

void SessionDriver::SendKey(uint32_t keysym, bool down) {
    if (stage_ != Stage::kDone) {
        client_.SendKey(keysym, down);
    }
}

void SessionDriver::SendPointer(int x, int y, uint8_t buttons) {
    if (stage_ != Stage::kDone) {
        client_.SendPointer(x, y, buttons);
    }
}

void SessionDriver::SendClipboard(std::string_view utf8_text) {
    if (stage_ != Stage::kDone) {
        client_.SendClipboard(utf8_text);
    }
}

bool SessionDriver::RequestDesktopSize(int width, int height) {
    return stage_ != Stage::kDone && client_.RequestDesktopSize(width, height);
}

// Nothing once the session is over: what was queued before the failure is not sent.
std::vector<uint8_t> SessionDriver::TakeOutput() {
    std::vector<uint8_t> out = std::move(output_);
    output_.clear();
    if (stage_ == Stage::kDone) {
        return {};
    }
    if (client_.HasOutput()) {
        std::vector<uint8_t> more = client_.TakeOutput();
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

std::optional<SessionEvent> SessionDriver::PollEvent() {
    if (events_.empty()) {
        return std::nullopt;
    }
    SessionEvent next = std::move(events_.front());
    events_.pop_front();
    return next;
}

void SessionDriver::Push(SessionEvent event) {
    events_.push_back(std::move(event));
}

void SessionDriver::Status(std::string text) {
    Push(session_event::Status{std::move(text)});
}

void SessionDriver::Arm(TimePoint at, Failure failure, std::string detail) {
    deadline_ = at;
    deadline_failure_ = failure;
    deadline_detail_ = std::move(detail);
}

void SessionDriver::ArmHandshake(TimePoint now) {
    Arm(now + kHandshakeLimit, Failure::kTimeout,
        "The remote desktop did not start within " + Seconds(kHandshakeLimit) + ".");
}

// The session is over: nothing more is sent, and Failed is the last event.
void SessionDriver::Fail(Failure failure, std::string detail) {
    if (stage_ == Stage::kDone) {
        return;
    }
    stage_ = Stage::kDone;
    deadline_.reset();
    Push(session_event::Failed{failure, std::move(detail)});
}

}  // namespace talviewer
