// Clipboard text conversions and the Extended Clipboard's text payload (see cut_text.h).
#include "rfb/cut_text.h"

#include <zlib.h>

#include <cstring>

#include "rfb/bytes.h"

namespace rfb {
namespace {

// The Latin-1 byte of the two-byte UTF-8 sequence at s[i] (U+0080..U+00FF), if it is one.
std::optional<char> Latin1At(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if ((c == 0xc2 || c == 0xc3) && i + 1 < s.size() &&
        (static_cast<unsigned char>(s[i + 1]) >> 6) == 2) {
        return static_cast<char>(((c & 3) << 6) | (s[i + 1] & 0x3f));
    }
    return std::nullopt;
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        const int extra = c < 0x80         ? 0
                          : (c >> 5) == 6  ? 1
                          : (c >> 4) == 14 ? 2
                          : (c >> 3) == 30 ? 3
                                           : -1;
        if (extra < 0 || s.size() - i <= static_cast<std::size_t>(extra)) {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) {
                return false;
            }
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

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

std::string Utf8ToLatin1(std::string_view s, char missing) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            out.push_back(s[i++]);
        } else if (const auto latin1 = Latin1At(s, i)) {
            out.push_back(*latin1);
            i += 2;
        } else {
            out.push_back(missing);
            ++i;
            while (i < s.size() && (static_cast<unsigned char>(s[i]) >> 6) == 2) {
                ++i;
            }
        }
    }
    return out;
}

bool FitsLatin1(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80) {
            if (!Latin1At(s, i)) {
                return false;
            }
            ++i;
        }
    }
    return true;
}

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

std::vector<uint8_t> ExtendedCutText(uint8_t type, uint32_t flags,
                                     std::span<const uint8_t> payload) {
    std::vector<uint8_t> out = {type, 0, 0, 0};
    const auto length = static_cast<uint32_t>(4 + payload.size());
    Put32(out, ~length + 1);  // negative: Extended Clipboard
    Put32(out, flags);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> PackText(std::string_view utf8) {
    const std::string text = ToCrlf(utf8);
    // The size, the text and its NUL (the text is NUL-terminated on the wire), sized at once.
    std::vector<uint8_t> plain(4 + text.size() + 1, 0);
    const auto size_word = static_cast<uint32_t>(text.size() + 1);
    for (int i = 0; i < 4; ++i) {
        plain[static_cast<std::size_t>(i)] = static_cast<uint8_t>(size_word >> (24 - 8 * i));
    }
    std::memcpy(plain.data() + 4, text.data(), text.size());
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::vector<uint8_t> packed(size);
    if (compress2(packed.data(), &size, plain.data(), static_cast<uLong>(plain.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        return {};
    }
    packed.resize(size);
    return packed;
}

std::optional<std::string> UnpackText(std::span<const uint8_t> packed, std::size_t limit) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        return std::nullopt;
    }
    // The size word, the text (CRLF may make it longer than its LF form: room for that) and its
    // NUL; one byte more shows that the text is too long. A bomb stops at this buffer's end.
    std::vector<uint8_t> plain(4 + 2 * limit + 2);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = plain.data();
    z.avail_out = static_cast<uInt>(plain.size());
    const int rc = inflate(&z, Z_SYNC_FLUSH);
    const std::size_t got = plain.size() - z.avail_out;
    inflateEnd(&z);
    if ((rc != Z_OK && rc != Z_STREAM_END) || got < 4) {
        return std::nullopt;
    }
    const std::size_t size = (std::size_t{plain[0]} << 24) | (std::size_t{plain[1]} << 16) |
                             (std::size_t{plain[2]} << 8) | plain[3];
    if (size > 2 * limit + 1 || got - 4 < size) {
        return std::nullopt;
    }
    std::string_view text(reinterpret_cast<const char*>(plain.data() + 4), size);
    if (!text.empty() && text.back() == '\0') {
        text.remove_suffix(1);
    }
    std::string lf = FromCrlf(text);
    if (lf.size() > limit) {
        return std::nullopt;
    }
    return lf;
}

}  // namespace rfb
