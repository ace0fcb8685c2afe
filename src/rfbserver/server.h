// The RFB (VNC) server core: the protocol a supported machine speaks with one viewer, without any
// I/O of its own. The counterpart of the client core (src/rfb/client.h), on the same wire numbers
// (rfb/wire.h).
//
// A front end (talagent.exe on Windows; the tests and benchmarks on Linux) owns the socket, the
// TLS, the clock, the screen capture and the input injection. It feeds every byte it receives
// from the viewer to Receive(), sends whatever TakeOutput() returns, reacts to the events
// PollEvent() hands out, and hands the core each captured screen with SetFrame() when
// WantsFrame() says a viewer waits for one. Everything runs on the caller's thread and never
// blocks, so the same code runs under the tests, the fuzzer and Windows.
//
// A session, as the core drives it:
//   1. Version: the core sends "RFB 003.008\n"; 3.3, 3.7 and 3.8 clients are served.
//   2. Security: with Options::security kVeNCryptX509 the only type offered is VeNCrypt (19) with
//      the single subtype X509None (260): the core emits StartTls and waits; the front end runs
//      the TLS server handshake (its certificate, the deployment CA, and a client certificate
//      required), calls TlsEstablished(), and from then on passes the TLS stream's plaintext in
//      and out. kNone (tests, talagent --insecure) offers None (1) only.
//   3. ClientInit (the shared flag is read and ignored: one viewer at a time is the agent's rule),
//      ServerInit with the desktop's size and Options::desktop_name.
//   4. Normal: the client's messages. SetPixelFormat is honoured for 32-bit true colour of any
//      byte order and shifts, and for 16- and 8-bit true colour; colour maps end the session.
//      SetEncodings picks the encoding for updates (the client's first of ZRLE, Hextile, Raw, and
//      Tight once the client core decodes it), CopyRect, Cursor, DesktopSize, Extended Clipboard.
//      A full update request is answered with the whole screen at the next SetFrame(); an
//      incremental one as soon as a frame differs from the one last sent (tile by tile, 64x64),
//      with only the tiles that changed.
// Anything the core cannot accept ends the session: one Closed event with a reason, after which
// input is ignored and the front end closes the connection. Every allocation a client can cause
// is bounded (Options); cut text beyond max_clipboard_bytes is dropped as it arrives and the
// session goes on.
//
// Time is the front end's: the core has no clock, so a viewer that stalls in the handshake (or
// never finishes TLS) is ended by the front end's own deadline, which it clears on Ready.
//
// Output is bounded by the viewer's reading: each update answers one FramebufferUpdateRequest,
// and WantsFrame() is false while more than Options::max_pending_output bytes wait in the core.
// The front end takes output only when its socket has room for more (it holds one TakeOutput()
// batch at a time), so a viewer that stops reading stops the captures, and the queue grows by
// at most one update beyond the bound.
//
// Updates cover the whole screen whatever region a request names (viewers ask for the whole
// screen). A frame of a new size goes out as DesktopSize followed by the whole screen; a viewer
// that did not announce DesktopSize cannot follow, and the session ends with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "rfb/framebuffer.h"
#include "rfb/wire.h"

namespace rfbserver {

struct Options {
    enum class Security {
        kVeNCryptX509,  // VeNCrypt X509None: TLS with certificates both ways, run by the front end
        kNone,          // no security at all: tests and --insecure only
    };
    Security security = Security::kVeNCryptX509;
    std::string desktop_name;  // UTF-8, shown in the viewer's title
    // Limits on what a client may make the core allocate or do.
    std::size_t max_clipboard_bytes = std::size_t{1} << 20;
    std::size_t max_encodings = 64;
    // WantsFrame() is false while more output than this waits to be taken.
    std::size_t max_pending_output = std::size_t{256} << 10;
};

// One captured screen: pixels 0x00RRGGBB (the top byte ignored), top row first, `stride` pixels
// from one row to the next. Only read during SetFrame().
struct Frame {
    int width = 0;
    int height = 0;
    int stride = 0;
    const uint32_t* pixels = nullptr;
};

namespace event {
// Run the TLS server handshake now (a client certificate from the deployment CA required), then
// call TlsEstablished(). `tls_bytes` were received after the VeNCrypt choice and belong to TLS.
struct StartTls {
    std::vector<uint8_t> tls_bytes;
};
// The viewer finished the handshake: from now on frames and input flow.
struct Ready {};
struct Key {
    uint32_t keysym = 0;  // an X keysym (rfb/keysyms.h)
    bool down = false;
};
struct Pointer {
    int x = 0;  // within the last frame's size
    int y = 0;
    uint8_t buttons = 0;  // bit 0 left, 1 middle, 2 right, 3/4 wheel up/down
};
struct Clipboard {
    std::string text;  // UTF-8 (Extended Clipboard), or Latin-1 ServerCutText converted
};
struct Closed {
    std::string reason;  // for the log, in English
};
}  // namespace event

using Event = std::variant<event::StartTls, event::Ready, event::Key, event::Pointer,
                           event::Clipboard, event::Closed>;

class Server {
public:
    explicit Server(Options options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Bytes received from the viewer (after StartTls: the TLS stream's plaintext).
    void Receive(std::span<const uint8_t> data);
    // Bytes to send to the viewer, in order; empties the queue.
    std::vector<uint8_t> TakeOutput();
    bool HasOutput() const;
    // The next event, oldest first.
    std::optional<Event> PollEvent();
    // The TLS handshake StartTls asked for has succeeded (the client's certificate checked).
    void TlsEstablished();

    // True when a viewer waits for an update, so the front end captures the screen only then.
    bool WantsFrame() const;
    // The screen as captured now. The first call sets the size ServerInit announces, so the
    // front end calls it once before the handshake reaches ClientInit; a later size change is
    // sent as DesktopSize where the client understands it.
    void SetFrame(const Frame& frame);
    // The cursor's shape (sent with the next update where the client understands Cursor).
    void SetCursor(const rfb::Cursor& cursor);
    // Text copied on the supported machine (UTF-8).
    void SetClipboard(std::string_view utf8_text);
    // Ring the viewer's bell.
    void Bell();

    bool ready() const;
    bool closed() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace rfbserver
