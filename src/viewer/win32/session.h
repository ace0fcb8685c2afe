// talviewer.exe's connection: the non-blocking socket to the directory server (reporting to
// the window through WSAAsyncSelect), SChannel TLS (tls.h) when the machine offers VeNCrypt,
// and the stage timer, around the portable SessionDriver (viewer/session_driver.h), which holds
// the request, the reply, the deadlines, the RFB core and every failure's text.
//
// It talks to the window (viewer_window.h) both ways: the window routes the socket's messages
// and the session's timers here and sends the operator's input through Send*(); the session
// reports back through SessionObserver. Everything runs on the window's thread.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "viewer/session_driver.h"
#include "viewer/win32/tls.h"

namespace talviewer {

class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    virtual void OnStatus(const std::string& text) = 0;
    virtual void OnConnected(bool encrypted) = 0;
    virtual void OnFramebufferUpdated(const std::vector<rfb::Rect>& rects) = 0;
    virtual void OnDesktopResized(int width, int height) = 0;
    virtual void OnCursorChanged() = 0;
    virtual void OnScreensChanged() = 0;  // read client().screens()
    virtual void OnClipboard(const std::string& utf8) = 0;
    virtual void OnBell() = 0;
    // Answer with Session::SetCredentials, from outside the current message; `user_name`: the
    // server asks for a user name as well as a password.
    virtual void OnCredentialsNeeded(bool user_name) = 0;
    // The session is over; called once, and nothing else is called afterwards.
    virtual void OnFailed(Failure failure, const std::string& detail) = 0;
};

class Session {
public:
    static constexpr UINT kSocketMessage = WM_APP + 1;
    static constexpr UINT_PTR kStageTimer = 1;

    // `tls`: the deployment's CA and the operator's certificate, for VeNCrypt.
    Session(SessionSetup setup, TlsSetup tls, SessionObserver& observer);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects; the socket reports to `window` with kSocketMessage.
    void Start(HWND window);
    void OnSocketMessage(WPARAM socket, LPARAM lp);
    void OnStageTimer();
    // Ends the connection without a report (the window is going).
    void Close();

    void SetCredentials(std::string user, std::string password);
    void SetQuality(viewer::Quality quality);
    void SendKey(uint32_t keysym, bool down);
    // Motion is dropped while much is queued unsent (a stalled relay must not make the queue
    // grow without bound); presses and releases always go.
    void SendPointer(int x, int y, uint8_t buttons, bool motion_only);
    void SendClipboard(const std::string& utf8);
    // Asks the server to fit its desktop to `width` x `height`, where it allows that.
    void RequestDesktopSize(int width, int height);

    const rfb::Client& client() const { return driver_.client(); }
    bool connected() const { return driver_.connected(); }

private:
    void ReadSocket();
    void Received(const uint8_t* data, std::size_t size);
    void SocketClosed(int error);
    void Pump();
    void Deliver(SessionEvent& event);
    void StartTls(const session_event::StartTls& start);
    void FlushTls();
    void Write(const std::vector<uint8_t>& bytes);
    void FlushSocket();
    void CloseSocket();

    SessionSetup setup_;
    TlsSetup tls_setup_;
    SessionObserver& observer_;
    SessionDriver driver_;
    std::unique_ptr<TlsClient> tls_;
    bool tls_open_ = false;
    HWND window_ = nullptr;
    SOCKET socket_ = INVALID_SOCKET;
    bool failed_ = false;
    std::vector<uint8_t> unsent_;
};

}  // namespace talviewer
