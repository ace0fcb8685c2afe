// One session of talagent.exe (see session.h).
#include "agent/win32/session.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "agent/log.h"
#include "agent/win32/clipboard.h"

namespace talagent::win {
namespace {

using namespace std::chrono_literals;

// The viewer has this long from the connection to the end of the handshake; a session that
// stalls before it shows nothing and only holds a place.
constexpr auto kHandshakeTime = 30s;
// The screen is captured at most this often while the viewer waits for a change. GDI says
// nothing about what changed, so a still screen is captured less and less often, down to the
// slowest; a change, or the operator's input, brings the fastest back.
constexpr auto kFastestCapture = 40ms;
constexpr auto kSlowestCapture = 320ms;
// Bytes read from the socket at a time.
constexpr std::size_t kReadChunk = 64 * 1024;

rfbserver::Options CoreOptions(const TlsContext* tls) {
    rfbserver::Options options;
    options.security =
        tls ? rfbserver::Options::Security::kVeNCryptX509 : rfbserver::Options::Security::kNone;
    char name[256] = "";
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    options.desktop_name = name;
    return options;
}

}  // namespace

Session::Session(std::string id, Endpoint target, std::string operator_name, Right right,
                 const TlsContext* tls, WSAEVENT socket_event, Screen& screen)
    : id_(std::move(id)),
      target_(std::move(target)),
      operator_(std::move(operator_name)),
      right_(right),
      tls_context_(tls),
      socket_event_(socket_event),
      screen_(screen),
      core_(CoreOptions(tls)),
      deadline_(Clock::now() + kHandshakeTime) {}

Session::~Session() {
    input_.Release();
    tls_.reset();
    if (sock_ != INVALID_SOCKET)
        closesocket(sock_);
}

SOCKET StartConnection(const std::vector<char>& address, WSAEVENT event) {
    const auto* peer = reinterpret_cast<const sockaddr*>(address.data());
    SOCKET s = WSASocketW(peer->sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return s;
    // Also makes the socket non-blocking.
    WSAEventSelect(s, event, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
    if (connect(s, peer, static_cast<int>(address.size())) == 0 ||
        WSAGetLastError() == WSAEWOULDBLOCK)
        return s;
    closesocket(s);
    return INVALID_SOCKET;
}

bool Session::Start(const std::vector<std::vector<char>>& addresses) {
    for (const auto& address : addresses) {
        sock_ = StartConnection(address, socket_event_);
        if (sock_ != INVALID_SOCKET) {
            connecting_ = true;
            return true;
        }
    }
    Log(Level::Error, "session " + id_ + ": cannot connect to " + target_.ToString());
    ended_ = true;
    return false;
}

bool Session::wants_read() const {
    return !ended_ && !connecting_ && !(tls_pending_ && !tls_);
}

bool Session::wants_write() const {
    return !ended_ && (connecting_ || !out_.empty() || (tls_ && tls_->wants_write()));
}

void Session::OnSocket(bool readable, bool writable, bool failed) {
    if (ended_)
        return;
    if (connecting_) {
        if (failed) {
            End("cannot connect to " + target_.ToString());
        } else if (writable) {
            OnConnected();
        }
        return;
    }
    if (tls_handshaking_) {
        switch (tls_->Handshake()) {
            case TlsStream::Status::Done:
                tls_handshaking_ = false;
                Log(Level::Info, "session " + id_ + ": " + tls_->version() +
                                     " with the viewer of " + tls_->peer_subject());
                core_.TlsEstablished();
                Pump();
                return;
            case TlsStream::Status::WantRead:
            case TlsStream::Status::WantWrite:
                return;
            case TlsStream::Status::Closed:
                End("the viewer left during the TLS handshake");
                return;
            case TlsStream::Status::Failed:
                End("no TLS with the viewer: " + tls_->error());
                return;
        }
    }
    // Pump, not only Flush: TLS starts once the plain bytes before it are gone.
    if (writable || (tls_ && tls_->wants_write()))
        Pump();
    if (ended_ || !(readable || failed || (tls_ && tls_->wants_write())))
        return;
    std::string bytes;
    if (tls_) {
        TlsStream::Status status = TlsStream::Status::Done;
        while (status == TlsStream::Status::Done && bytes.size() < kReadChunk)
            status = tls_->Read(bytes);
        if (status == TlsStream::Status::Closed && bytes.empty())
            return End("the viewer closed the connection");
        if (status == TlsStream::Status::Failed)
            return End("connection error: " + tls_->error());
    } else {
        bytes.resize(kReadChunk);
        const int n = ::recv(sock_, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (n == 0)
            return End("the viewer closed the connection");
        if (n < 0) {
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                End("connection error " + std::to_string(WSAGetLastError()));
            return;
        }
        bytes.resize(static_cast<std::size_t>(n));
    }
    core_.Receive({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    Pump();
}

void Session::OnConnected() {
    connecting_ = false;
    // The size ServerInit announces comes from the first frame.
    if (!screen_.Capture())
        return End("the screen cannot be captured (a locked or secure desktop)");
    core_.SetFrame(screen_.frame());
    if (auto cursor = screen_.CursorIfChanged(cursor_seen_))
        core_.SetCursor(*cursor);
    out_ = IdBlock(id_);
    Log(Level::Info, "session " + id_ + ": connected to " + target_.ToString() +
                         (operator_.empty() ? "" : " for " + Printable(operator_)));
    Pump();
}

// Moves the core's output to the socket and acts on its events.
void Session::Pump() {
    HandleEvents();
    if (ended_)
        return;
    // One batch at a time: a viewer that does not read stops the captures (server.h).
    if (out_.empty() && core_.HasOutput()) {
        const auto bytes = core_.TakeOutput();
        out_.assign(bytes.begin(), bytes.end());
    }
    Flush();
    // TLS starts once the plain bytes before it are gone.
    if (tls_pending_ && !tls_ && out_.empty() && !ended_) {
        tls_ = std::make_unique<TlsStream>(*tls_context_, TlsStream::Role::Server, sock_,
                                           std::string(),
                                           std::string(pending_tls_.begin(), pending_tls_.end()));
        tls_pending_ = false;
        tls_handshaking_ = true;
        OnSocket(false, false, false);
    }
}

void Session::Flush() {
    while (!out_.empty() && !ended_) {
        std::size_t n = 0;
        if (tls_ && !tls_handshaking_) {
            const TlsStream::Status status = tls_->Write(out_, n);
            out_.erase(0, n);
            if (status == TlsStream::Status::WantRead || status == TlsStream::Status::WantWrite)
                return;
            if (status != TlsStream::Status::Done)
                return End("cannot send to the viewer: " + tls_->error());
        } else if (!tls_) {
            const int sent = ::send(sock_, out_.data(), static_cast<int>(out_.size()), 0);
            if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
                return;
            if (sent <= 0)
                return End("cannot send to the viewer");
            out_.erase(0, static_cast<std::size_t>(sent));
        } else {
            return;
        }
        if (out_.empty() && core_.HasOutput() && !tls_pending_ && !tls_handshaking_) {
            const auto bytes = core_.TakeOutput();
            out_.assign(bytes.begin(), bytes.end());
        }
    }
}

void Session::HandleEvents() {
    while (auto event = core_.PollEvent()) {
        if (auto* start = std::get_if<rfbserver::event::StartTls>(&*event)) {
            if (!tls_context_)
                return End("the viewer asked for TLS on a plain session");
            tls_pending_ = true;
            pending_tls_ = std::move(start->tls_bytes);
        } else if (std::holds_alternative<rfbserver::event::Ready>(*event)) {
            ready_ = true;
            Log(Level::Info, "session " + id_ + ": the viewer sees this desktop" +
                                 (right_ == Right::View ? " (view only)" : ""));
        } else if (auto* key = std::get_if<rfbserver::event::Key>(&*event)) {
            if (right_ == Right::Control) {
                input_.Key(key->keysym, key->down);
                Quicken();
            }
        } else if (auto* pointer = std::get_if<rfbserver::event::Pointer>(&*event)) {
            if (right_ == Right::Control) {
                input_.Pointer(pointer->x, pointer->y, pointer->buttons, screen_.origin());
                Quicken();
            }
        } else if (auto* clipboard = std::get_if<rfbserver::event::Clipboard>(&*event)) {
            if (right_ == Right::Control && !SetDesktopClipboard(clipboard->text))
                Log(Level::Warning, "session " + id_ +
                                        ": the operator's text cannot be put on "
                                        "the clipboard");
        } else if (auto* closed = std::get_if<rfbserver::event::Closed>(&*event)) {
            return End(closed->reason);
        }
    }
}

void Session::OnTimers() {
    if (ended_)
        return;
    const auto now = Clock::now();
    if (!ready_ && now >= deadline_)
        return End("the viewer did not finish the handshake within 30 s");
    if (ready_ && core_.WantsFrame() && now >= next_capture_) {
        if (auto cursor = screen_.CursorIfChanged(cursor_seen_))
            core_.SetCursor(*cursor);
        if (screen_.Capture())
            core_.SetFrame(screen_.frame());
        // An update is on its way when the core has output or waits no more.
        const bool changed = core_.HasOutput() || !core_.WantsFrame();
        capture_interval_ =
            changed ? std::chrono::milliseconds(kFastestCapture)
                    : std::min<std::chrono::milliseconds>(capture_interval_ * 2, kSlowestCapture);
        next_capture_ = now + capture_interval_;
        Pump();
    }
}

Session::Clock::time_point Session::next_time() const {
    if (ended_)
        return Clock::time_point::max();
    if (!ready_)
        return deadline_;
    return core_.WantsFrame() ? next_capture_ : Clock::time_point::max();
}

// The operator's input usually changes the screen: the next capture comes at the fastest.
void Session::Quicken() {
    capture_interval_ = kFastestCapture;
    next_capture_ = std::min(next_capture_, Clock::now() + kFastestCapture);
}

void Session::OnClipboard(const std::string& text) {
    if (ready_ && !ended_) {
        core_.SetClipboard(text);
        Pump();
    }
}

void Session::End(const std::string& why) {
    if (ended_)
        return;
    ended_ = true;
    input_.Release();
    Log(Level::Info, "session " + id_ + " ended: " + why);
}

}  // namespace talagent::win
