// The RFB (VNC) client core: the protocol a viewer speaks with a remote desktop, without any
// I/O of its own.
//
// A front end (the Qt viewer on Linux, the Win32 viewer on Windows) owns the socket, the TLS
// and the timers. It feeds every byte it receives to Receive(), sends whatever TakeOutput()
// returns, and reacts to the events PollEvent() hands out. Everything here runs on the caller's
// thread and never blocks, so the same code runs unchanged on both platforms and under the fuzzer.
//
// A session goes through these states; each waits for a known number of bytes, so input may
// arrive cut anywhere (one byte at a time costs no more than one block):
//   1. Version: the server's "RFB 003.00x\n"; we answer with the highest of 3.3, 3.7, 3.8 that
//      is not above it.
//   2. Security: 3.7 and later list types and we pick one; 3.3 servers impose one. The choice is
//      security.h's: with encryption required (Options::allow_insecure false), VeNCrypt only;
//      with plain allowed, VNC authentication, then None, then VeNCrypt (RFB has no way back,
//      and VeNCrypt's subtypes, listed only once it is chosen, may hold nothing acceptable,
//      where the plain type would have opened the session). None and VNC authentication send
//      the session in the clear (VNC authentication only hides the password): the front end
//      decides whether that is allowed (e.g. no deployment CA present).
//   3. VeNCrypt (type 19): version 0.2, then a subtype: X509Vnc (261) before X509None (260); the
//      anonymous TLS subtypes are refused because they cannot prove who the server is. RFB has
//      no way back to the type list, so a server whose subtypes hold neither ends the session
//      (as does a server that offers no acceptable type), with a reason that starts with
//      kSecurityRefusalStart and names what was offered. Once the server accepts, the core emits
//      StartTls and waits: the front end runs the TLS handshake (checking the certificate), then
//      calls TlsEstablished(), and from then on passes the TLS stream's plaintext in and out.
//   4. VNC authentication: the server's challenge raises CredentialsNeeded (unless a password
//      was set before), the front end answers with SetPassword().
//   5. SecurityResult: failures end the session with the server's reason where it gives one.
//   6. ClientInit (shared, so an operator does not throw out the supported user's own viewer),
//      sent with the choice of None (or after TLS with no password) on 3.8 rather than after
//      the SecurityResult, which saves the link's round trip before the first frame: nothing
//      can fail there but the server's own refusal, whose reason is still read. Then
//      ServerInit: the desktop's size and name. The core then asks for 32-bit true colour
//      0x00RRGGBB little-endian, its encodings (with Cursor, DesktopSize, Fence and
//      ContinuousUpdates), and the whole screen; Connected is emitted.
//   7. Normal: server messages; each FramebufferUpdate is decoded into framebuffer(). The next
//      incremental request goes out as soon as an update's header arrives (with its first
//      rectangle's), before its rectangles are decoded, so the server has a request while the
//      link still carries the update. An update that starts with a resize asks instead for the
//      whole new desktop once it is in; a resize later in an update asks for it as well. The
//      end of the first ordinary update sends one more incremental request, so that on a
//      distant link the server finds the next request waiting as it finishes an update (one
//      update per round trip otherwise); a server that merges two waiting requests into one
//      update goes back to one. Never more than two requests are outstanding. Servers that send
//      EndOfContinuousUpdates (they understand continuous updates) are switched to them after the
//      first update: the core then sends no requests, and the server paces itself by fences, which
//      the core answers at once (answering is all a client that handles everything in order has to
//      do).
// Anything the core cannot accept ends the session: one Failed event with a reason for the
// operator, after which input is ignored and the front end closes the connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "rfb/framebuffer.h"
#include "rfb/jpeg.h"
#include "rfb/screens.h"
#include "rfb/security.h"
#include "rfb/wire.h"

namespace rfb {

struct Options {
    // Allow security types that leave the session unencrypted (None, VNC authentication).
    bool allow_insecure = false;
    // The encodings offered, most preferred first; Cursor, DesktopSize, ExtendedDesktopSize,
    // Extended Clipboard, LastRect, Fence and ContinuousUpdates are always added. Tests and
    // benchmarks narrow it to force one encoding. ZRLE leads: it is smallest on text; a front end
    // that wants JPEG puts Tight first (viewer/quality.h).
    std::vector<Encoding> encodings = {Encoding::kZrle, Encoding::kTight, Encoding::kHextile,
                                       Encoding::kCopyRect, Encoding::kRaw};
    // Tight's JPEG quality 0-9 (none: lossless only), offered only with a JPEG decoder, and its
    // zlib level 0-9 (none: the server's choice).
    std::optional<int> jpeg_quality;
    std::optional<int> compress_level;
    // Decodes Tight's JPEG rectangles (rfb/jpeg.h); none: JPEG is never asked for.
    std::shared_ptr<JpegDecoder> jpeg;
    // Limits on what a server may make the core allocate. A desktop beyond them ends the session.
    int max_width = 16384;
    int max_height = 16384;
    std::size_t max_pixels = std::size_t{8192} * 8192;  // 256 MiB of framebuffer
    int max_cursor_size = 512;                          // width and height each
    // Server clipboard texts longer than this are skipped (the session goes on without them).
    std::size_t max_clipboard_bytes = std::size_t{1} << 20;
};

namespace event {
struct Connected {
    std::string name;  // the desktop's name, UTF-8
    int width = 0;
    int height = 0;
};
// One whole FramebufferUpdate has been decoded; these parts of framebuffer() changed.
struct FramebufferUpdated {
    std::vector<Rect> rects;
};
// The framebuffer has a new size and is black until the update that follows repaints it.
struct DesktopResized {
    int width = 0;
    int height = 0;
};
// The server described its screens again (ExtendedDesktopSize): read Client::screens().
struct ScreensChanged {};
struct CursorChanged {};  // read Client::cursor()
struct Clipboard {
    std::string text;  // UTF-8
};
struct Bell {};
// Start the TLS handshake now. `tls_bytes` are bytes already received that belong to the TLS
// stream (normally none: the server waits for the client's hello); feed them to the TLS layer.
struct StartTls {
    std::vector<uint8_t> tls_bytes;
};
// Answer with SetPassword(), or SetCredentials() when the server asks for a user name as well
// (VeNCrypt Plain and X509Plain).
struct CredentialsNeeded {
    bool user_name = false;
};
struct Failed {
    std::string reason;  // for the operator, in English
};
}  // namespace event

using Event = std::variant<event::Connected, event::FramebufferUpdated, event::DesktopResized,
                           event::CursorChanged, event::Clipboard, event::Bell, event::StartTls,
                           event::CredentialsNeeded, event::Failed, event::ScreensChanged>;

namespace detail {
class ZrleDecoder;
class TightDecoder;
}  // namespace detail

class Client {
public:
    explicit Client(Options options = {});
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Bytes received from the server (after StartTls: the TLS stream's plaintext). Not to be
    // called between StartTls and TlsEstablished(): those bytes belong to the TLS layer.
    void Receive(std::span<const uint8_t> data);
    // Bytes to send to the server, in order; empties the queue.
    std::vector<uint8_t> TakeOutput();
    bool HasOutput() const { return !output_.empty(); }
    // The next event, oldest first.
    std::optional<Event> PollEvent();

    // The answer to CredentialsNeeded; may also be given ahead of time. Only the first 8 bytes
    // count (VNC authentication's limit).
    void SetPassword(std::string password);
    // The answer to CredentialsNeeded with user_name; may also be given ahead of time.
    void SetCredentials(std::string user, std::string password);
    // The TLS handshake that StartTls asked for has succeeded (certificate checked).
    void TlsEstablished();

    // Input for the remote desktop; ignored until Connected. Keysyms are X keysyms (see
    // rfb/keysyms.h). Pointer positions are clamped to the desktop; buttons: bit 0 left, 1 middle,
    // 2 right, 3/4 wheel up/down (press and release each step).
    void SendKey(uint32_t keysym, bool down);
    void SendPointer(int x, int y, uint8_t button_mask);
    // UTF-8 text for the server's clipboard: as UTF-8 where the server speaks Extended Clipboard,
    // else as Latin-1 (RFB's charset), other characters becoming '?'.
    void SendClipboard(std::string_view utf8_text);
    // Changes Options' encodings, JPEG quality and zlib level; once connected, tells the server
    // at once (SetEncodings), so the next update uses them.
    void SetEncodings(std::vector<Encoding> encodings, std::optional<int> jpeg_quality,
                      std::optional<int> compress_level);

    // The desktop; its pixels are allocated (black) on the first read after a resize.
    const Framebuffer& framebuffer() const {
        AllocatePixels();
        return framebuffer_;
    }
    const Cursor& cursor() const { return cursor_; }
    // The desktop's screens, once the server has described them (ExtendedDesktopSize); empty
    // for servers that do not.
    const std::vector<Screen>& screens() const { return screens_; }
    // Asks the server to make the desktop `width` x `height` (SetDesktopSize), where it has shown
    // it can (ExtendedDesktopSize), the desktop has one screen, and no earlier request was
    // refused. False when nothing was sent.
    bool RequestDesktopSize(int width, int height);
    bool connected() const { return phase_ >= Phase::kNormal && phase_ != Phase::kFailed; }
    bool failed() const { return phase_ == Phase::kFailed; }
    // True once the session runs inside TLS (VeNCrypt); the front end marks the window otherwise.
    bool encrypted() const { return encrypted_; }

private:
    // Update requests outstanding at most: the one the server works on and the one waiting for
    // it (or a resize's).
    static constexpr int kMaxRequestsInFlight = 2;

    enum class Phase {
        kVersion,
        kSecurityTypes,   // 3.7+: the server's list
        kSecurityType33,  // 3.3: the server's choice
        kVeNCryptVersion,
        kVeNCryptAck,
        kVeNCryptSubtypes,
        kVeNCryptAccept,
        kWaitTls,
        kVncChallenge,
        kWaitPassword,
        kWaitCredentials,  // a user name and password for Plain (inside TLS or not)
        kSecurityResult,
        kFailureReason,  // a length-prefixed reason, then Failed
        kServerInit,
        kNormal,       // between server messages
        kUpdateRects,  // inside a FramebufferUpdate
        kSkip,         // dropping the rest of a message we do not keep
        kFailed,
    };
    struct RectState;
    // Forgets the rectangle being decoded (RectState is complete only in client_rects.cpp).
    void DropRect();

    void Run();
    bool Step();
    bool StepVersion();
    bool StepSecurityTypes();
    bool StepSecurityType33();
    bool StepVeNCrypt();
    bool StepVncChallenge();
    bool StepSecurityResult();
    bool StepFailureReason();
    bool StepServerInit();
    bool StepMessage();
    bool StepRect();
    bool StepSkip();
    bool StepFence();

    void AfterSecurity(bool password_used);
    void SendClientInit();
    void AnswerChallenge();
    void StartSubtype();
    void StartPlain();
    void SendPlain();
    void SendEncodings();
    void FinishUpdate();
    void AskForNextUpdate(bool resize_first);
    void RequestUpdate(bool incremental);
    void EnableContinuousUpdates();
    void EndOfContinuousUpdates();
    bool ResizeFramebuffer(int width, int height);
    bool ApplyScreens(const Rect& header, std::span<const uint8_t> payload);
    void ExtendedClipboard(std::span<const uint8_t> message);
    void SendExtendedClipboard(uint32_t flags, std::span<const uint8_t> payload = {});
    void AllocatePixels() const;
    void Fail(std::string reason);

    std::size_t Available() const { return input_.size() - read_; }
    const uint8_t* Peek() const { return input_.data() + read_; }
    void Consume(std::size_t n) { read_ += n; }

    Options options_;
    Phase phase_ = Phase::kVersion;
    int minor_version_ = 8;
    std::vector<uint32_t> offered_types_;  // the server's list, for the reason if nothing fits
    uint32_t vencrypt_subtype_ = 0;
    bool encrypted_ = false;
    bool client_init_sent_ = false;  // ahead of the SecurityResult
    std::optional<std::string> password_;
    std::optional<std::string> user_;
    std::array<uint8_t, 16> challenge_{};
    std::string failure_prefix_;

    std::vector<uint8_t> input_;
    std::size_t read_ = 0;
    std::vector<uint8_t> output_;
    std::deque<Event> events_;

    // Sized at once on a resize, its pixels allocated only when drawn or read (see
    // AllocatePixels), so both are mutable for framebuffer().
    mutable Framebuffer framebuffer_;
    mutable bool pixels_stale_ = false;
    Cursor cursor_;
    std::vector<Screen> screens_;
    bool can_set_size_ = false;  // the server sent ExtendedDesktopSize
    bool size_refused_ = false;  // and refused a request of ours: ask no more
    // Extended Clipboard: the server's capabilities (0 until it sends them), the longest text it
    // takes without asking for it, and our text, kept to answer its request for it.
    uint32_t server_clipboard_ = 0;
    std::size_t server_text_limit_ = 0;
    std::string clipboard_out_;
    std::size_t rects_left_ = 0;
    std::unique_ptr<RectState> rect_;  // the rectangle being decoded, if any
    std::vector<Rect> dirty_;
    bool full_update_needed_ = false;
    // Requests sent and not yet answered by an update's header, as far as the core can tell:
    // a server may answer two requests that arrive together with one update (libvncserver
    // does), so this is an upper bound, used to bound, never to wait.
    int requests_in_flight_ = 0;
    bool second_request_sent_ = false;   // the one the first update's end adds
    bool full_request_pending_ = false;  // a resize's request, held back by that bound
    enum class Continuous {
        kUnknown,    // the server has not said it has continuous updates
        kSupported,  // it has (EndOfContinuousUpdates): enabled after the update under way
        kEnabled,    // enabled: no requests are sent
        kEnded,      // the server ended them: back to requests, for good
    };
    Continuous continuous_ = Continuous::kUnknown;
    uint64_t skip_left_ = 0;
    std::unique_ptr<detail::ZrleDecoder> zrle_;
    std::unique_ptr<detail::TightDecoder> tight_;
};

}  // namespace rfb
