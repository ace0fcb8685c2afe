// One remote-desktop session: the connection to the directory server, the "view NAME" request,
// the TLS that VeNCrypt asks for, and the RFB client core that speaks with the remote desktop.
//
// Everything runs on the GUI thread: Qt's socket signals feed the core, the core's events go to
// a SessionObserver (the viewer's window), and the window's input goes back through Send*().
// The core owns no I/O; this class owns the socket and the timers, and turns every way a session
// can fail into one Failure with a detail for the operator, reported once.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <vector>

#include "rfb/client.h"
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
    virtual void OnClipboard(const QString& text) = 0;
    virtual void OnBell() = 0;
    // Answer with Session::SetPassword (or end the session). Called from a socket signal: show
    // no modal dialog from inside it.
    virtual void OnCredentialsNeeded() = 0;
    // The session is over; called once, and nothing else is called afterwards.
    virtual void OnFailed(Failure failure, const QString& detail) = 0;
};

struct SessionParams {
    QString address;
    quint16 port = 0;
    QByteArray name;  // as the launcher passed it; sent as is
    QString display_name;
    // The deployment's CA: the only root a remote certificate may chain to. Empty when there
    // is no CA file; then plain sessions are allowed and certificate-secured ones cannot be
    // checked.
    QList<QSslCertificate> ca;
};

class Session {
public:
    Session(SessionParams params, SessionObserver& observer);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Start();
    const rfb::Client& client() const { return client_; }

    void SetPassword(const QString& password);
    void SendKey(uint32_t keysym, bool down);
    void SendPointer(int x, int y, uint8_t buttons);
    void SendClipboard(const QString& text);

private:
    enum class Stage {
        kConnecting,  // TCP to the directory server
        kRequesting,  // "view NAME" sent, waiting for the answer line
        kRfb,         // the core speaks (in TLS once VeNCrypt set it up)
        kTls,         // the TLS handshake the core asked for
        kDone,        // failed or ended; everything is ignored
    };

    void HandleConnected();
    void HandleReadable();
    void HandleClosed(QAbstractSocket::SocketError error);
    void HandleEncrypted();
    void HandleTimeout();
    void ReadReply();
    void Feed(const QByteArray& bytes);
    void Flush();
    void DrainEvents();
    void StartTls(const rfb::event::StartTls& start);
    void CoreFailed(const std::string& reason);
    void Fail(Failure failure, const QString& detail);
    void Arm(int seconds, Failure failure, QString detail);

    SessionParams params_;
    SessionObserver& observer_;
    QSslSocket socket_;
    rfb::Client client_;
    Stage stage_ = Stage::kConnecting;
    QByteArray reply_;
    QStringList tls_errors_;
    bool password_given_ = false;
    bool connected_ = false;
    QTimer timer_;
    Failure timeout_failure_ = Failure::kTimeout;
    QString timeout_detail_;
};

}  // namespace talviewer
