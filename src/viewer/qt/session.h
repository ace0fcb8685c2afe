// One remote-desktop session on Qt: the socket to the directory server, the TLS that VeNCrypt
// asks for (QSslSocket), and the stage timer, around the portable SessionDriver
// (viewer/session_driver.h), which holds the request, the reply, the deadlines, the RFB core
// and every failure's text.
//
// Everything runs on the GUI thread: Qt's socket signals feed the driver, the driver's events go
// to a SessionObserver (the viewer's window), and the window's input goes back through Send*().
// Reading is bounded per turn of the event loop (the rest follows on a zero timer), so a remote
// desktop that floods the viewer cannot keep the operator's input waiting.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <vector>

#include "rfb/client.h"
#include "viewer/qt/operator_file.h"
#include "viewer/session_driver.h"
#include "viewer/session_messages.h"

namespace talviewer {

class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    virtual void OnStatus(const QString& text) = 0;
    virtual void OnConnected(bool encrypted) = 0;
    virtual void OnFramebufferUpdated(const std::vector<rfb::Rect>& rects) = 0;
    virtual void OnDesktopResized() = 0;
    virtual void OnCursorChanged() = 0;
    virtual void OnScreensChanged() = 0;  // read client().screens()
    virtual void OnClipboard(const QString& text) = 0;
    virtual void OnBell() = 0;
    // Answer with Session::SetCredentials (or end the session); `user_name`: the server asks for a
    // user name as well as a password. Called from a socket signal: show no modal dialog from
    // inside it.
    virtual void OnCredentialsNeeded(bool user_name) = 0;
    // The session is over; called once, and nothing else is called afterwards.
    virtual void OnFailed(Failure failure, const QString& detail) = 0;
};

struct SessionParams {
    QString address;
    quint16 port = 0;
    QByteArray name;  // as the launcher passed it; sent as is
    QString display_name;
    // The deployment's CA: the only root a remote certificate may chain to. Empty when there
    // is no CA file; then plain sessions are allowed only with allow_plain, and
    // certificate-secured ones cannot be checked.
    QList<QSslCertificate> ca;
    // Sessions without encryption were allowed explicitly (kAllowPlainFile beside the viewer).
    bool allow_plain = false;
    // Proves the operator to the directory server, and is the TLS client certificate for a
    // machine that asks for one.
    OperatorCredentials operator_credentials;
    viewer::Quality quality = viewer::Quality::kAuto;
    // A connection to address:port main() began before Qt started (early_connect.h), or -1.
    int early_socket = -1;
};

class Session {
public:
    Session(SessionParams params, SessionObserver& observer);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Start();
    const rfb::Client& client() const { return driver_.client(); }

    void SetCredentials(const QString& user, const QString& password);
    void SetQuality(viewer::Quality quality);
    void SendKey(uint32_t keysym, bool down);
    void SendPointer(int x, int y, uint8_t buttons);
    void SendClipboard(const QString& text);
    void RequestDesktopSize(int width, int height);

private:
    void HandleConnected();
    void HandleReadable();
    void Connect();
    void AdoptEarlySocket();
    void HandleClosed(QAbstractSocket::SocketError error);
    void HandleEncrypted();
    void ReadSome();
    void Pump();
    void Deliver(SessionEvent& event);
    void StartTls(const session_event::StartTls& start);
    static SessionDriver::TimePoint Now() { return SessionDriver::Clock::now(); }

    SessionParams params_;
    SessionObserver& observer_;
    QSslSocket socket_;
    SessionDriver driver_;
    bool tls_started_ = false;  // from StartTls on, bytes go through the TLS layer
    bool encrypted_ = false;
    bool failed_ = false;
    QStringList tls_errors_;
    QTimer timer_;                            // the driver's deadline
    QTimer more_;                             // reading on after a bounded turn
    std::unique_ptr<QSocketNotifier> early_;  // waits for the early connection to finish
};

}  // namespace talviewer
