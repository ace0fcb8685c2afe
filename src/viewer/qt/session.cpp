// The session's socket, TLS and timer around the driver (see session.h). After every call into
// the driver its output is written first (it answers handshake steps and asks for the next
// update, and what precedes StartTls must leave in the clear), then its events go to the
// window, then the timer is set for its next deadline.
#include "viewer/qt/session.h"

#include <unistd.h>
#include <QSslConfiguration>

#include <chrono>
#include <type_traits>
#include <utility>
#include <variant>

#include "viewer/qt/early_connect.h"
#include "viewer/qt/timing.h"

namespace talviewer {

namespace {

// At most this much is fed to the driver per turn of the event loop; then input and painting
// get their turn, and reading goes on from a zero timer. (Feeding it in smaller pieces, each
// followed by what the core has to say, kept the operator's keys waiting under a flood of
// resizes.)
constexpr qint64 kReadBudget = qint64{1} << 20;

SessionSetup SetupFor(const SessionParams& params) {
    return SessionSetup{.address = params.address.toStdString(),
                        .port = std::to_string(params.port),
                        .name = params.name.toStdString(),
                        .display_name = params.display_name.toStdString(),
                        .have_ca = !params.ca.isEmpty(),
                        .allow_plain = params.allow_plain,
                        .answer_challenge = params.operator_credentials.answer_challenge,
                        .no_credentials = params.operator_credentials.problem,
                        .quality = params.quality};
}

}  // namespace

Session::Session(SessionParams params, SessionObserver& observer)
    : params_(std::move(params)), observer_(observer), driver_(SetupFor(params_)) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        driver_.Tick(Now());
        Pump();
    });
    more_.setSingleShot(true);
    more_.setInterval(0);
    QObject::connect(&more_, &QTimer::timeout, [this] { ReadSome(); });
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
    failed_ = true;
    socket_.abort();
    early_.reset();
    if (params_.early_socket >= 0) {
        ::close(params_.early_socket);
    }
}

void Session::Start() {
    driver_.Start(Now());
    Pump();
    if (params_.early_socket < 0) {
        Connect();
        return;
    }
    early_ = std::make_unique<QSocketNotifier>(params_.early_socket, QSocketNotifier::Write);
    QObject::connect(early_.get(), &QSocketNotifier::activated, [this] { AdoptEarlySocket(); });
}

void Session::Connect() {
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket_.connectToHost(params_.address, params_.port);
}

// The early connection has finished: taken over when it succeeded; otherwise it is dropped and
// the connection made again, so a refusal or an unreachable server is reported as ever.
void Session::AdoptEarlySocket() {
    early_->setEnabled(false);
    const int fd = std::exchange(params_.early_socket, -1);
    if (ConnectSucceeded(fd) && socket_.setSocketDescriptor(fd)) {
        HandleConnected();
        return;
    }
    ::close(fd);
    Connect();
}

void Session::HandleConnected() {
    driver_.Connected(Now());
    Pump();
}

void Session::HandleReadable() {
    if (!more_.isActive()) {
        ReadSome();
    }
}

// One bounded turn of reading. During the TLS handshake QSslSocket keeps the bytes itself.
void Session::ReadSome() {
    if (failed_ || (tls_started_ && !encrypted_)) {
        return;
    }
    const QByteArray bytes = socket_.read(kReadBudget);
    if (!bytes.isEmpty()) {
        driver_.Receive(std::span(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                  static_cast<std::size_t>(bytes.size())),
                        Now());
        Pump();
    }
    if (!failed_ && socket_.bytesAvailable() > 0) {
        more_.start();
    }
}

void Session::HandleEncrypted() {
    if (!tls_started_ || encrypted_ || failed_) {
        return;
    }
    encrypted_ = true;
    std::vector<std::string> dns_names;
    for (const QString& dns : socket_.peerCertificate().subjectAlternativeNames().values(
             QSsl::AlternativeNameEntryType::DnsEntry)) {
        dns_names.push_back(dns.toStdString());
    }
    driver_.TlsEstablished(dns_names);
    Pump();
    ReadSome();  // plaintext that arrived with the end of the handshake
}

void Session::HandleClosed(QAbstractSocket::SocketError error) {
    if (failed_) {
        return;
    }
    more_.stop();
    // What arrived just before the close still counts (an "error ..." line, a failure reason).
    while (!failed_ && (!tls_started_ || encrypted_) && socket_.bytesAvailable() > 0) {
        ReadSome();
    }
    if (failed_) {
        return;
    }
    if (tls_started_ && !encrypted_) {
        driver_.TlsFailed(
            (tls_errors_.isEmpty() ? socket_.errorString() : tls_errors_.join(QLatin1Char('\n')))
                .toStdString());
    } else if (error == QAbstractSocket::SslInternalError && !driver_.connected()) {
        // In TLS 1.3 a machine that refuses the client certificate (x11vnc -sslverify) says so
        // with an alert after the client has finished its part of the handshake: a TLS
        // failure, not a session the machine ended.
        const std::string& problem = params_.operator_credentials.problem;
        driver_.TlsFailed("the machine refused it (" + socket_.errorString().toStdString() + ")." +
                          (problem.empty()
                               ? ""
                               : " This viewer has no operator certificate to show: " + problem));
    } else {
        driver_.Closed(socket_.errorString().toStdString(),
                       error == QAbstractSocket::RemoteHostClosedError);
    }
    Pump();
}

void Session::Pump() {
    if (failed_) {
        return;
    }
    const std::vector<uint8_t> out = driver_.TakeOutput();
    if (!out.empty()) {
        socket_.write(reinterpret_cast<const char*>(out.data()), static_cast<qint64>(out.size()));
        socket_.flush();  // now, not when the event loop next looks (after painting)
    }
    while (!failed_) {
        std::optional<SessionEvent> next = driver_.PollEvent();
        if (!next) {
            break;
        }
        Deliver(*next);
    }
    if (failed_) {
        return;
    }
    if (const auto deadline = driver_.deadline()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Now()).count();
        timer_.start(static_cast<int>(std::max<long long>(left, 0)));
    } else {
        timer_.stop();
    }
}

void Session::Deliver(SessionEvent& event) {
    std::visit(
        [this](auto& e) {
            using T = std::decay_t<decltype(e)>;
            namespace se = session_event;
            if constexpr (std::is_same_v<T, se::Status>) {
                observer_.OnStatus(QString::fromStdString(e.text));
            } else if constexpr (std::is_same_v<T, se::Accepted>) {
                timing::SessionOpened();
            } else if constexpr (std::is_same_v<T, se::Connected>) {
                observer_.OnConnected(e.encrypted);
            } else if constexpr (std::is_same_v<T, se::FramebufferUpdated>) {
                observer_.OnFramebufferUpdated(e.rects);
            } else if constexpr (std::is_same_v<T, se::DesktopResized>) {
                observer_.OnDesktopResized();
            } else if constexpr (std::is_same_v<T, se::CursorChanged>) {
                observer_.OnCursorChanged();
            } else if constexpr (std::is_same_v<T, se::ScreensChanged>) {
                observer_.OnScreensChanged();
            } else if constexpr (std::is_same_v<T, se::Clipboard>) {
                observer_.OnClipboard(QString::fromStdString(e.text));
            } else if constexpr (std::is_same_v<T, se::Bell>) {
                observer_.OnBell();
            } else if constexpr (std::is_same_v<T, se::CredentialsNeeded>) {
                observer_.OnCredentialsNeeded(e.user_name);
            } else if constexpr (std::is_same_v<T, se::StartTls>) {
                StartTls(e);
            } else if constexpr (std::is_same_v<T, se::Failed>) {
                failed_ = true;
                timer_.stop();
                more_.stop();
                socket_.abort();
                observer_.OnFailed(e.failure, QString::fromStdString(e.detail));
            }
        },
        event);
}

void Session::StartTls(const session_event::StartTls& start) {
    tls_started_ = true;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    // Only the deployment's CA: setting the list also turns off loading the system's roots.
    config.setCaCertificates(params_.ca);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    // A machine that checks operators (x11vnc -sslverify) asks for a client certificate: the
    // operator's. Without one the handshake goes on, and such a machine refuses it.
    const OperatorCredentials& credentials = params_.operator_credentials;
    if (!credentials.certificate.isNull()) {
        config.setLocalCertificate(credentials.certificate);
        config.setPrivateKey(credentials.key);
    }
    socket_.setSslConfiguration(config);
    // The certificate must name the machine the operator chose, not the relay's address.
    socket_.setPeerVerifyName(QString::fromStdString(start.peer_name));
    socket_.startClientEncryption();
}

void Session::SetCredentials(const QString& user, const QString& password) {
    driver_.SetCredentials(user.toStdString(), password.toStdString(), Now());
    Pump();
}

void Session::SetQuality(viewer::Quality quality) {
    driver_.SetQuality(quality);
    Pump();
}

void Session::SendKey(uint32_t keysym, bool down) {
    driver_.SendKey(keysym, down);
    Pump();
}

void Session::SendPointer(int x, int y, uint8_t buttons) {
    driver_.SendPointer(x, y, buttons);
    Pump();
}

void Session::SendClipboard(const QString& text) {
    driver_.SendClipboard(text.toStdString());
    Pump();
}

void Session::RequestDesktopSize(int width, int height) {
    if (driver_.RequestDesktopSize(width, height)) {
        Pump();
    }
}

}  // namespace talviewer
