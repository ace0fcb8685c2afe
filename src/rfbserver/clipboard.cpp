// Cut text both ways. Plain ClientCutText is Latin-1; Extended Clipboard (announced by the viewer
// in SetEncodings) carries UTF-8 text in zlib-compressed "provide" messages after a
// caps / notify / request exchange. Only the text format is served. messages.cpp hands in the
// viewer's messages; server.cpp hands out our clipboard.
#include <zlib.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "rfbserver/session.h"

namespace rfbserver::detail {
namespace {

using namespace rfb::clipboard;

std::string Latin1ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xc0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        }
    }
    return out;
}

// Latin-1 if every character has one; otherwise nullopt.
std::optional<std::string> Utf8ToLatin1(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if ((c == 0xc2 || c == 0xc3) && i + 1 < s.size() &&
                   (static_cast<unsigned char>(s[i + 1]) >> 6) == 2) {
            out.push_back(static_cast<char>(((c & 3) << 6) | (s[i + 1] & 0x3f)));
            ++i;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// The wire's line ends are CRLF; ours are LF.
std::string ToCrlf(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 32);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) {
            out.push_back('\r');
        }
        out.push_back(s[i]);
    }
    return out;
}

std::string FromCrlf(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) {
            out.push_back(s[i]);
        }
    }
    return out;
}

void SendExtended(Session& s, uint32_t flags, const Bytes& payload = {}) {
    s.output.insert(s.output.end(), {rfb::server_msg::kServerCutText, 0, 0, 0});
    const auto length = static_cast<uint32_t>(4 + payload.size());
    Put32(s.output, ~length + 1);  // negative: Extended Clipboard
    Put32(s.output, flags);
    s.output.insert(s.output.end(), payload.begin(), payload.end());
}

void SendProvide(Session& s) {
    const std::string text = ToCrlf(s.clipboard);
    Bytes plain;
    Put32(plain, static_cast<uint32_t>(text.size() + 1));
    plain.insert(plain.end(), text.begin(), text.end());
    plain.push_back(0);  // the text is NUL-terminated on the wire
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    Bytes packed(size);
    if (compress2(packed.data(), &size, plain.data(), static_cast<uLong>(plain.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        return;  // out of memory: the viewer keeps its clipboard
    }
    packed.resize(size);
    SendExtended(s, kProvide | kText, packed);
}

// The text of a provide message, or nullopt if it carries none or more than the limit.
std::optional<std::string> InflateText(std::string_view packed, std::size_t limit) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        return std::nullopt;
    }
    // The size word, the text and its NUL; one byte more shows that the text is too long.
    Bytes plain(4 + limit + 2);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = plain.data();
    z.avail_out = static_cast<uInt>(plain.size());
    const int rc = inflate(&z, Z_SYNC_FLUSH);
    const std::size_t got = plain.size() - z.avail_out;
    inflateEnd(&z);
    if ((rc != Z_OK && rc != Z_STREAM_END) || got < 4) {
        return std::nullopt;
    }
    const std::size_t size = U32(plain.data());
    if (size > limit + 1 || got - 4 < size) {
        return std::nullopt;
    }
    std::string_view text(reinterpret_cast<const char*>(plain.data() + 4), size);
    if (!text.empty() && text.back() == '\0') {
        text.remove_suffix(1);
    }
    return FromCrlf(text);
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
        const std::string_view packed(reinterpret_cast<const char*>(payload + 4), size - 4);
        if (auto received =
                text ? InflateText(packed, s.options.max_clipboard_bytes) : std::nullopt) {
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
    s.events.push_back(event::Clipboard{Latin1ToUtf8(text)});
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
    const auto latin1 = Utf8ToLatin1(s.clipboard);
    const std::string_view text = latin1 ? std::string_view(*latin1) : s.clipboard;
    s.output.insert(s.output.end(), {rfb::server_msg::kServerCutText, 0, 0, 0});
    Put32(s.output, static_cast<uint32_t>(text.size()));
    s.output.insert(s.output.end(), text.begin(), text.end());
}

}  // namespace rfbserver::detail
