// Cut text both ways. Plain ClientCutText is Latin-1; Extended Clipboard (announced by the viewer
// in SetEncodings) carries UTF-8 text in zlib-compressed "provide" messages after a
// caps / notify / request exchange. Only the text format is served. messages.cpp hands in the
// viewer's messages; server.cpp hands out our clipboard.
#include <zlib.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "rfb/cut_text.h"
#include "rfbserver/session.h"

namespace rfbserver::detail {
namespace {

using namespace rfb::clipboard;

void SendExtended(Session& s, uint32_t flags, const Bytes& payload = {}) {
    const Bytes message = rfb::ExtendedCutText(rfb::server_msg::kServerCutText, flags, payload);
    s.output.insert(s.output.end(), message.begin(), message.end());
}

void SendProvide(Session& s) {
    const Bytes packed = rfb::PackText(s.clipboard);
    if (!packed.empty()) {  // empty: out of memory, and the viewer keeps its clipboard
        SendExtended(s, kProvide | kText, packed);
    }
}

void ReceiveExtended(Session& s, const uint8_t* payload, std::size_t size) {
    if (size < 4) {
        return;
    }
    const uint32_t flags = U32(payload);
    const bool text = (flags & kText) != 0;
    if (flags & kCaps) {
        s.viewer_clipboard_flags = flags;
        // One size per format announced, lowest bit first: text's is the first.
        s.viewer_text_limit = text && size >= 8 ? U32(payload + 4) : 0;
    } else if (flags & kRequest) {
        if (text) {
            SendProvide(s);
        }
    } else if (flags & kPeek) {
        SendExtended(s, kNotify | (s.clipboard.empty() ? 0 : kText));
    } else if (flags & kNotify) {
        if (text) {
            SendExtended(s, kRequest | kText);
        }
    } else if (flags & kProvide) {
        const std::span<const uint8_t> packed(payload + 4, size - 4);
        if (auto received =
                text ? rfb::UnpackText(packed, s.options.max_clipboard_bytes) : std::nullopt) {
            s.events.push_back(event::Clipboard{std::move(*received)});
        }
    }
}

}  // namespace

void ReceiveCutText(Session& s, int32_t length, const uint8_t* payload) {
    if (length < 0) {
        if (s.wants_extended_clipboard) {
            ReceiveExtended(s, payload, static_cast<std::size_t>(-int64_t{length}));
        }
        return;
    }
    const std::string_view text(reinterpret_cast<const char*>(payload),
                                static_cast<std::size_t>(length));
    s.events.push_back(event::Clipboard{rfb::Latin1ToUtf8(text)});
}

void SendClipboardCaps(Session& s) {
    Bytes limit;
    Put32(limit, static_cast<uint32_t>(s.options.max_clipboard_bytes));
    SendExtended(s, kCaps | kRequest | kPeek | kNotify | kProvide | kText, limit);
}

void SendClipboard(Session& s) {
    const uint32_t viewer = s.viewer_clipboard_flags;
    if (s.wants_extended_clipboard && (viewer & kText)) {
        // Small enough for the viewer to take unasked: sent at once; otherwise announced, and
        // sent when the viewer asks for it.
        if ((viewer & kProvide) && s.clipboard.size() < s.viewer_text_limit) {
            SendProvide(s);
        } else if (viewer & kNotify) {
            SendExtended(s, kNotify | kText);
        }
        return;
    }
    // Plain cut text is Latin-1. Text that has no Latin-1 form goes as its UTF-8 bytes, which
    // viewers that check for UTF-8 (ours does) take as such, rather than as question marks.
    const std::string latin1 =
        rfb::FitsLatin1(s.clipboard) ? rfb::Utf8ToLatin1(s.clipboard) : s.clipboard;
    const std::string_view text = latin1;
    s.output.insert(s.output.end(), {rfb::server_msg::kServerCutText, 0, 0, 0});
    Put32(s.output, static_cast<uint32_t>(text.size()));
    s.output.insert(s.output.end(), text.begin(), text.end());
}

}  // namespace rfbserver::detail
