#include "platform/posix_qt/text.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/code_page.h"

namespace platform::qt {

const char* CharsetOfCodePage(unsigned int codePage) {
    switch (codePage) {
        case 949:
            return "CP949";
        case 936:
            return "GBK";
        case 950:
            return "BIG5";
        case 932:
            return "CP932";
        case 65001:
            return "UTF-8";
        case 1252:
            return "CP1252";
        default:
            return nullptr;
    }
}

namespace {

const char* LocaleCharset() {
    const char* codeset = nl_langinfo(CODESET);
    // The C and POSIX locales name plain ASCII; their bytes are read as
    // UTF-8, which agrees with ASCII and shows anything else that is UTF-8.
    if (codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "ANSI_X3.4-1968") == 0)
        return "UTF-8";
    return codeset;
}

const char* CharsetFor(unsigned int codePage) {
    const char* charset = CharsetOfCodePage(codePage == 0 ? ActiveCodePage() : codePage);
    return charset != nullptr ? charset : LocaleCharset();
}

}  // namespace

QString ToDisplay(const std::string& bytes, unsigned int codePage) {
    iconv_t cd = iconv_open("UTF-16LE", CharsetFor(codePage));
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString::fromLocal8Bit(bytes.data(), qsizetype(bytes.size()));

    QString out;
    out.reserve(qsizetype(bytes.size()));
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char16_t chunk[256];
    while (inLeft > 0) {
        char* dst = reinterpret_cast<char*>(chunk);
        size_t dstLeft = sizeof chunk;
        const size_t r = iconv(cd, &in, &inLeft, &dst, &dstLeft);
        out.append(QStringView(chunk, qsizetype((sizeof chunk - dstLeft) / sizeof(char16_t))));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // An invalid or cut-off sequence: show one replacement for the
            // byte and carry on after it.
            out.append(QChar(0xFFFD));
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

std::string FromDisplay(const QString& text, unsigned int codePage) {
    iconv_t cd = iconv_open(CharsetFor(codePage), "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return text.toLocal8Bit().toStdString();

    std::string out;
    char* in = reinterpret_cast<char*>(const_cast<QChar*>(text.constData()));
    size_t inLeft = size_t(text.size()) * sizeof(QChar);
    char chunk[512];
    while (inLeft > 0) {
        char* dst = chunk;
        size_t dstLeft = sizeof chunk;
        const size_t r = iconv(cd, &in, &inLeft, &dst, &dstLeft);
        out.append(chunk, sizeof chunk - dstLeft);
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // A character the code page lacks (or a lone surrogate): one
            // '?' for the whole character, a surrogate pair included.
            const QChar unit = *reinterpret_cast<const QChar*>(in);
            const size_t skip = unit.isHighSurrogate() && inLeft >= 4 ? 4 : 2;
            out += '?';
            in += std::min(skip, inLeft);
            inLeft -= std::min(skip, inLeft);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace platform::qt
