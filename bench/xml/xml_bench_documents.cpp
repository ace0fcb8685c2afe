// UTF-8 to code page 949 for the benchmark's 949 variant of a system file.
#include "xml_bench_documents.h"

#if defined(__has_include)
#if __has_include(<iconv.h>)
#include <iconv.h>
#define XML_BENCH_ICONV 1
#endif
#endif

namespace xml_bench {

namespace {

// Length of the UTF-8 sequence that starts with byte c (1 for a stray byte).
std::size_t Utf8Length(unsigned char c) {
    if (c >= 0xF0) {
        return 4;
    }
    if (c >= 0xE0) {
        return 3;
    }
    if (c >= 0xC0) {
        return 2;
    }
    return 1;
}

}  // namespace

std::string ToCodePage949(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
#ifdef XML_BENCH_ICONV
    iconv_t cd = iconv_open("CP949", "UTF-8");
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        std::size_t i = 0;
        while (i < utf8.size()) {
            const std::size_t n = Utf8Length(static_cast<unsigned char>(utf8[i]));
            char in[4];
            const std::size_t take = n <= utf8.size() - i ? n : utf8.size() - i;
            std::memcpy(in, utf8.data() + i, take);
            char buffer[8];
            char* inPtr = in;
            std::size_t inLeft = take;
            char* outPtr = buffer;
            std::size_t outLeft = sizeof buffer;
            if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
                iconv(cd, nullptr, nullptr, nullptr, nullptr);
                out += '?';
            } else {
                out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
            }
            i += take;
        }
        iconv_close(cd);
        return out;
    }
#endif
    // Without iconv: every non-ASCII character becomes the Hangul syllable "\xB0\xA1".
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            out += "\xB0\xA1";
            i += Utf8Length(c);
        }
    }
    return out;
}

}  // namespace xml_bench
