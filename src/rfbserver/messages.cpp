// The viewer's messages once the session runs: pixel format, encodings, update requests, keys,
// pointer and cut text. Each waits until it is whole (cut text excepted: an oversized one is
// dropped as it arrives), and every count and length is checked before anything is allocated.
// server.cpp steps it; cut text goes on to clipboard.cpp.
#include <algorithm>
#include <string>

#include "rfbserver/session.h"

namespace rfbserver::detail {
namespace {

using namespace rfb::client_msg;

constexpr std::size_t kSetPixelFormatSize = 4 + kPixelFormatSize;
constexpr std::size_t kSetEncodingsFixed = 4;
constexpr std::size_t kUpdateRequestSize = 10;
constexpr std::size_t kKeyEventSize = 8;
constexpr std::size_t kPointerEventSize = 6;
constexpr std::size_t kCutTextFixed = 8;
constexpr std::size_t kEnableContinuousSize = 10;
constexpr std::size_t kFenceFixed = 9;
constexpr std::size_t kSetDesktopSizeFixed = 8;
constexpr std::size_t kScreenSize = 16;

bool SetPixelFormat(Session& s) {
    if (s.Available() < kSetPixelFormatSize) {
        return false;
    }
    PixelFormat format;
    if (const char* error = ParsePixelFormat(s.Peek() + 4, format)) {
        Close(s, error);
        return false;
    }
    s.Consume(kSetPixelFormatSize);
    s.format = format;
    s.writer = PixelWriter(format);
    return true;
}

// The client's first encoding we have, in its order; the pseudo-encodings it understands.
bool SetEncodings(Session& s) {
    if (s.Available() < kSetEncodingsFixed) {
        return false;
    }
    const std::size_t count = U16(s.Peek() + 2);
    if (count > s.options.max_encodings) {
        Close(s, "the viewer listed " + std::to_string(count) + " encodings, more than " +
                     std::to_string(s.options.max_encodings));
        return false;
    }
    if (s.Available() < kSetEncodingsFixed + 4 * count) {
        return false;
    }
    const uint8_t* p = s.Peek() + kSetEncodingsFixed;
    std::optional<rfb::Encoding> chosen;
    s.wants_cursor = s.wants_desktop_size = false;
    const bool had_extended_clipboard = s.wants_extended_clipboard;
    s.wants_extended_clipboard = false;
    for (std::size_t i = 0; i < count; ++i) {
        const auto e = static_cast<rfb::Encoding>(static_cast<int32_t>(U32(p + 4 * i)));
        switch (e) {
            case rfb::Encoding::kRaw:
            case rfb::Encoding::kHextile:
            case rfb::Encoding::kZrle:
                chosen = chosen.value_or(e);
                break;
            case rfb::Encoding::kCursor:
                s.wants_cursor = true;
                break;
            case rfb::Encoding::kDesktopSize:
                s.wants_desktop_size = true;
                break;
            case rfb::Encoding::kExtendedClipboard:
                s.wants_extended_clipboard = true;
                break;
            default:
                break;
        }
    }
    s.Consume(kSetEncodingsFixed + 4 * count);
    s.encoding = chosen.value_or(rfb::Encoding::kRaw);
    s.cursor_pending = s.cursor.has_value() && s.wants_cursor;
    if (s.wants_extended_clipboard && !had_extended_clipboard) {
        SendClipboardCaps(s);
    }
    return true;
}

bool UpdateRequest(Session& s) {
    if (s.Available() < kUpdateRequestSize) {
        return false;
    }
    // The region is not read: every update covers whatever changed on the whole screen, which
    // is what viewers ask for anyway.
    const bool incremental = s.Peek()[1] != 0;
    s.Consume(kUpdateRequestSize);
    s.update_requested = true;
    s.full_update_requested = s.full_update_requested || !incremental;
    return true;
}

bool KeyEvent(Session& s) {
    if (s.Available() < kKeyEventSize) {
        return false;
    }
    s.events.push_back(event::Key{U32(s.Peek() + 4), s.Peek()[1] != 0});
    s.Consume(kKeyEventSize);
    return true;
}

bool PointerEvent(Session& s) {
    if (s.Available() < kPointerEventSize) {
        return false;
    }
    const uint8_t* p = s.Peek();
    event::Pointer pointer;
    pointer.buttons = p[1];
    pointer.x = std::min<int>(U16(p + 2), std::max(s.width - 1, 0));
    pointer.y = std::min<int>(U16(p + 4), std::max(s.height - 1, 0));
    s.Consume(kPointerEventSize);
    s.events.push_back(pointer);
    return true;
}

bool CutText(Session& s) {
    if (s.Available() < kCutTextFixed) {
        return false;
    }
    const auto length = static_cast<int32_t>(U32(s.Peek() + 4));
    // A negative length is Extended Clipboard's, whose payload is compressed.
    const uint64_t size = length < 0 ? uint64_t{0} - static_cast<uint64_t>(int64_t{length})
                                     : static_cast<uint64_t>(length);
    if (size > s.options.max_clipboard_bytes) {
        // Too large to keep: dropped as it arrives, so it costs no memory, and the session
        // goes on (a viewer's user may well copy a large text).
        s.Consume(kCutTextFixed);
        s.skip_left = size;
        s.phase = Phase::kSkip;
        return true;
    }
    if (s.Available() - kCutTextFixed < size) {
        return false;
    }
    ReceiveCutText(s, length, s.Peek() + kCutTextFixed);
    s.Consume(kCutTextFixed + static_cast<std::size_t>(size));
    return true;
}

// Messages of extensions we never announce; a viewer that sends them anyway is skipped past.
bool Skip(Session& s, std::size_t fixed, std::size_t extra) {
    if (s.Available() < fixed) {
        return false;
    }
    s.Consume(fixed);
    s.skip_left = extra;
    s.phase = Phase::kSkip;
    return true;
}

bool StepSkip(Session& s) {
    const auto n = static_cast<std::size_t>(std::min<uint64_t>(s.skip_left, s.Available()));
    s.Consume(n);
    s.skip_left -= n;
    if (s.skip_left > 0) {
        return false;
    }
    s.phase = Phase::kNormal;
    return true;
}

}  // namespace

bool StepMessage(Session& s) {
    if (s.phase == Phase::kSkip) {
        return StepSkip(s);
    }
    if (s.Available() < 1) {
        return false;
    }
    const uint8_t* p = s.Peek();
    switch (p[0]) {
        case kSetPixelFormat:
            return SetPixelFormat(s);
        case kSetEncodings:
            return SetEncodings(s);
        case kFramebufferUpdateRequest:
            return UpdateRequest(s);
        case kKeyEvent:
            return KeyEvent(s);
        case kPointerEvent:
            return PointerEvent(s);
        case kClientCutText:
            return CutText(s);
        case kEnableContinuousUpdates:
            return Skip(s, kEnableContinuousSize, 0);
        case kClientFence:
            return s.Available() >= kFenceFixed && Skip(s, kFenceFixed, p[8]);
        case kSetDesktopSize:
            return s.Available() >= kSetDesktopSizeFixed &&
                   Skip(s, kSetDesktopSizeFixed, kScreenSize * p[6]);
        default:
            Close(s, "the viewer sent an unknown message (type " + std::to_string(p[0]) + ")");
            return false;
    }
}

}  // namespace rfbserver::detail
