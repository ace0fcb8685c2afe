// The session's connection and its stages (see session.h). Order of work on each read: the
// bytes go into the core, what the core wants sent is written at once (it answers handshake
// steps and asks for the next update), then its events go to the window. Writing before the
// events keeps the server busy while the window paints.
#include "viewer/qt/session.h"

#include <QSslConfiguration>
#include <type_traits>
#include <utility>
#include <variant>

#include "viewer/qt/timing.h"
#include "viewer/session_messages.h"

namespace talviewer {

namespace {

// How long each stage may take. The server waits up to 30 s for the agent itself and then
// answers "error timeout", so the request's limit is above that.
constexpr int kConnectSeconds = 15;
constexpr int kReplySeconds = 45;
constexpr int kHandshakeSeconds = 30;

}  // namespace

Session::Session(SessionParams params, SessionObserver& observer)
    : params_(std::move(params)),
      observer_(observer),
      client_(rfb::Options{.allow_insecure = params_.ca.isEmpty()}) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { HandleTimeout(); });
    QObject::connect(&socket_, &QAbstractSocket::connected, [this] { HandleConnected(); });
    QObject::connect(&socket_, &QIODevice::readyRead, [this] { HandleReadable(); });
    QObject::connect(&socket_, &QAbstractSocket::errorOccurred,
                     [this](QAbstractSocket::SocketError error) { HandleClosed(error); });
    QObject::connect(&socket_, &QAbstractSocket::disconnected,
                     [this] { HandleClosed(QAbstractSocket::RemoteHostClosedError); });
    QObject::connect(&socket_, &QSslSocket::encrypted, [this] { HandleEncrypted(); });
    QObject::connect(&socket_, &QSslSocket::sslErrors, [this](const QList<QSslError>& errors) {
        for (const QSslError& error : errors) {
            tls_errors_ << error.errorString();
        }
    });
}

Session::~Session() {
    stage_ = Stage::kDone;
    socket_.abort();
}

void Session::Start() {
    observer_.OnStatus(QStringLiteral("Connecting to the server at %1:%2\u2026")
                           .arg(params_.address)
                           .arg(params_.port));
    Arm(kConnectSeconds, Failure::kConnectionFailed,
        QStringLiteral("The server at %1:%2 did not answer within %3 seconds.")
            .arg(params_.address)
            .arg(params_.port)
            .arg(kConnectSeconds));
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket_.connectToHost(params_.address, params_.port);
}

void Session::Arm(int seconds, Failure failure, QString detail) {
    timeout_failure_ = failure;
    timeout_detail_ = std::move(detail);
    timer_.start(seconds * 1000);
}

void Session::HandleTimeout() {
    Fail(timeout_failure_, timeout_detail_);
}

void Session::HandleConnected() {
    if (stage_ != Stage::kConnecting) {
        return;
    }
    stage_ = Stage::kRequesting;
    const std::string request = ViewRequest(params_.name.toStdString());
    socket_.write(request.data(), static_cast<qint64>(request.size()));
    observer_.OnStatus(QStringLiteral("Asking %1 for a session\u2026").arg(params_.display_name));
    Arm(kReplySeconds, Failure::kTimeout,
        QStringLiteral("The server did not answer within %1 seconds.").arg(kReplySeconds));
}

void Session::HandleReadable() {
    if (stage_ == Stage::kRequesting) {
        ReadReply();
    } else if (stage_ == Stage::kRfb) {
        Feed(socket_.readAll());
    }
}

void Session::ReadReply() {
    reply_ += socket_.readAll();
    const qsizetype end = reply_.indexOf('\n');
    if (end < 0) {
        if (static_cast<std::size_t>(reply_.size()) > kMaxReplyLine) {
            Fail(Failure::kConnectionFailed,
                 QStringLiteral("The server's answer was not understood."));
        }
        return;
    }
    const Reply reply =
        ParseReply(std::string_view(reply_.constData(), static_cast<std::size_t>(end)));
    const QByteArray rest = reply_.mid(end + 1);
    reply_.clear();
    switch (reply.kind) {
        case ReplyKind::kOk:
            timing::SessionOpened();
            stage_ = Stage::kRfb;
            observer_.OnStatus(QStringLiteral("Starting the session\u2026"));
            Arm(kHandshakeSeconds, Failure::kTimeout,
                QStringLiteral("The remote desktop did not start within %1 seconds.")
                    .arg(kHandshakeSeconds));
            Feed(rest);
            return;
        default: {
            const Outcome outcome = ReplyOutcome(reply);
            return Fail(outcome.failure, QString::fromStdString(outcome.detail));
        }
    }
}

void Session::Feed(const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        return;
    }
    client_.Receive(std::span(reinterpret_cast<const uint8_t*>(bytes.constData()),
                              static_cast<std::size_t>(bytes.size())));
    Flush();
    DrainEvents();
}

void Session::Flush() {
    if (stage_ == Stage::kDone || !client_.HasOutput()) {
        return;
    }
    const std::vector<uint8_t> out = client_.TakeOutput();
    socket_.write(reinterpret_cast<const char*>(out.data()), static_cast<qint64>(out.size()));
}

void Session::DrainEvents() {
    while (stage_ != Stage::kDone) {
        std::optional<rfb::Event> next = client_.PollEvent();
        if (!next) {
            return;
        }
        std::visit(
            [this](auto& e) {
                using T = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<T, rfb::event::Connected>) {
                    timer_.stop();
                    connected_ = true;
                    observer_.OnConnected(client_.encrypted());
                } else if constexpr (std::is_same_v<T, rfb::event::FramebufferUpdated>) {
                    observer_.OnFramebufferUpdated(e.rects);
                } else if constexpr (std::is_same_v<T, rfb::event::DesktopResized>) {
                    observer_.OnDesktopResized();
                } else if constexpr (std::is_same_v<T, rfb::event::CursorChanged>) {
                    observer_.OnCursorChanged();
                } else if constexpr (std::is_same_v<T, rfb::event::Clipboard>) {
                    observer_.OnClipboard(QString::fromStdString(e.text));
                } else if constexpr (std::is_same_v<T, rfb::event::Bell>) {
                    observer_.OnBell();
                } else if constexpr (std::is_same_v<T, rfb::event::StartTls>) {
                    StartTls(e);
                } else if constexpr (std::is_same_v<T, rfb::event::CredentialsNeeded>) {
                    timer_.stop();  // the operator may take their time
                    observer_.OnStatus(QStringLiteral("Waiting for the password\u2026"));
                    observer_.OnCredentialsNeeded();
                } else if constexpr (std::is_same_v<T, rfb::event::Failed>) {
                    CoreFailed(e.reason);
                }
            },
            *next);
    }
}

void Session::StartTls(const rfb::event::StartTls& start) {
    if (params_.ca.isEmpty()) {
        return Fail(Failure::kSecurity,
                    QStringLiteral("The remote machine offers a certificate-secured session, but "
                                   "there is no ca.pem beside the viewer to check its "
                                   "certificate with."));
    }
    if (!start.tls_bytes.empty()) {
        // The server spoke before our hello: no TLS server does that.
        return Fail(Failure::kSecurity,
                    QStringLiteral("The remote machine sent data before the TLS handshake."));
    }
    stage_ = Stage::kTls;
    observer_.OnStatus(QStringLiteral("Checking %1's certificate\u2026").arg(params_.display_name));
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    // Only the deployment's CA: setting the list also turns off loading the system's roots.
    config.setCaCertificates(params_.ca);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    socket_.setSslConfiguration(config);
    // The certificate must name the machine the operator chose, not the relay's address.
    socket_.setPeerVerifyName(params_.display_name);
    socket_.startClientEncryption();
}

void Session::HandleEncrypted() {
    if (stage_ != Stage::kTls) {
        return;
    }
    stage_ = Stage::kRfb;
    observer_.OnStatus(QStringLiteral("Starting the session\u2026"));
    client_.TlsEstablished();
    Flush();
    DrainEvents();
    // Plaintext that arrived with the end of the handshake.
    if (socket_.bytesAvailable() > 0) {
        Feed(socket_.readAll());
    }
}

void Session::CoreFailed(const std::string& reason) {
    const Outcome outcome = CoreFailure(reason, password_given_);
    Fail(outcome.failure, QString::fromStdString(outcome.detail));
}

void Session::HandleClosed(QAbstractSocket::SocketError error) {
    if (stage_ == Stage::kDone) {
        return;
    }
    // What arrived just before the close still counts (an "error ..." line, a failure reason).
    if (socket_.bytesAvailable() > 0) {
        HandleReadable();
        if (stage_ == Stage::kDone) {
            return;
        }
    }
    const QString why = socket_.errorString();
    switch (stage_) {
        case Stage::kConnecting:
            return Fail(Failure::kConnectionFailed,
                        QStringLiteral("The server at %1:%2 could not be reached: %3")
                            .arg(params_.address)
                            .arg(params_.port)
                            .arg(why));
        case Stage::kRequesting:
            return Fail(Failure::kConnectionFailed,
                        QStringLiteral("The server closed the connection without answering."));
        case Stage::kTls: {
            QString detail = tls_errors_.isEmpty() ? why : tls_errors_.join(QLatin1Char('\n'));
            return Fail(Failure::kSecurity, QStringLiteral("The TLS handshake with %1 failed: %2")
                                                .arg(params_.display_name, detail));
        }
        case Stage::kRfb:
            if (!connected_) {
                return Fail(Failure::kConnectionFailed,
                            QStringLiteral("The remote machine closed the connection before the "
                                           "session started."));
            }
            return Fail(Failure::kEnded,
                        error == QAbstractSocket::RemoteHostClosedError
                            ? QStringLiteral("The remote side closed the connection.")
                            : why);
        case Stage::kDone:
            return;
    }
}

void Session::Fail(Failure failure, const QString& detail) {
    if (stage_ == Stage::kDone) {
        return;
    }
    stage_ = Stage::kDone;
    timer_.stop();
    socket_.abort();
    observer_.OnFailed(failure, detail);
}

void Session::SetPassword(const QString& password) {
    if (stage_ == Stage::kDone) {
        return;
    }
    password_given_ = true;
    observer_.OnStatus(QStringLiteral("Signing in\u2026"));
    Arm(kHandshakeSeconds, Failure::kTimeout,
        QStringLiteral("The remote desktop did not start within %1 seconds.")
            .arg(kHandshakeSeconds));
    client_.SetPassword(password.toStdString());
    Flush();
    DrainEvents();
}

void Session::SendKey(uint32_t keysym, bool down) {
    client_.SendKey(keysym, down);
    Flush();
}

void Session::SendPointer(int x, int y, uint8_t buttons) {
    client_.SendPointer(x, y, buttons);
    Flush();
}

void Session::SendClipboard(const QString& text) {
    client_.SendClipboard(text.toStdString());
    Flush();
}

}  // namespace talviewer
