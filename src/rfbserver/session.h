// The server core's session state, shared by the files that each play one role in it:
// server.cpp (the public interface and the input loop), handshake.cpp (version, security,
// ServerInit), messages.cpp (the viewer's messages), clipboard.cpp (cut text both ways) and
// updates.cpp (framebuffer updates). Nothing outside src/rfbserver includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "rfb/bytes.h"
#include "rfb/framebuffer.h"
#include "rfb/wire.h"
#include "rfbserver/encoders.h"
#include "rfbserver/pixel_format.h"
#include "rfbserver/server.h"
#include "rfbserver/tiles.h"

namespace rfbserver::detail {

enum class Phase {
    kVersion,          // waiting for the viewer's "RFB 003.00x\n"
    kSecurityType,     // 3.7+: the viewer's choice from our list
    kVeNCryptVersion,  // the viewer's VeNCrypt version
    kVeNCryptSubtype,  // the viewer's subtype
    kWaitTls,          // the front end runs the TLS handshake
    kClientInit,
    kWaitSize,  // ClientInit came before the first SetFrame: ServerInit waits for a size
    kNormal,    // between the viewer's messages
    kSkip,      // dropping the rest of a message we do not keep
    kClosed,
};

struct Session {
    explicit Session(Options o) : options(std::move(o)) {}

    Options options;
    Phase phase = Phase::kVersion;
    int minor_version = 8;

    std::vector<uint8_t> input;
    std::size_t read = 0;
    std::vector<uint8_t> output;
    std::deque<Event> events;
    uint64_t skip_left = 0;

    // The screen: the latest SetFrame's size, and what the viewer has of it.
    int width = 0;
    int height = 0;
    bool size_known = false;
    Shadow shadow;
    bool shadow_valid = false;  // false: the next update sends the whole screen
    bool resize_pending = false;

    // What the viewer asked for.
    PixelFormat format;
    PixelWriter writer{PixelFormat{}};
    rfb::Encoding encoding = rfb::Encoding::kRaw;
    bool wants_cursor = false;
    bool wants_desktop_size = false;
    bool wants_extended_clipboard = false;
    bool update_requested = false;
    bool full_update_requested = false;

    ZrleEncoder zrle;
    std::optional<rfb::Cursor> cursor;
    bool cursor_pending = false;

    // Clipboard: our text, kept for an Extended Clipboard request, and the viewer's limits.
    std::string clipboard;
    uint32_t viewer_clipboard_flags = 0;
    uint32_t viewer_text_limit = 0;

    std::size_t Available() const { return input.size() - read; }
    const uint8_t* Peek() const { return input.data() + read; }
    void Consume(std::size_t n) { read += n; }
};

// Ends the session: one Closed event, and input is ignored from then on.
void Close(Session& s, std::string reason);

// One step of the handshake phases; false when more input (or the front end) is needed.
bool StepHandshake(Session& s);
// ServerInit, once ClientInit is in and the size known.
void SendServerInit(Session& s);
// One message of the normal phase; false when more input is needed.
bool StepMessage(Session& s);

// ClientCutText's payload once whole (`length` as sent: negative for Extended Clipboard).
void ReceiveCutText(Session& s, int32_t length, const uint8_t* payload);
// Our clipboard for the viewer, in whatever form it understands.
void SendClipboard(Session& s);
// Our Extended Clipboard capabilities, once the viewer announced the extension.
void SendClipboardCaps(Session& s);

// A frame while the viewer waits: the update it asked for, or nothing if nothing changed.
void SendUpdate(Session& s, const Frame& frame);

using rfb::Put16;
using rfb::Put32;
using rfb::U16;
using rfb::U32;

}  // namespace rfbserver::detail
