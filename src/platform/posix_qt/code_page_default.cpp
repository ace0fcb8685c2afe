// POSIX default code page: the character set of the locale (no Qt needed).
//
// When the program has already set its locale (setlocale(LC_ALL, "") or a named locale),
// that locale's character set is used. When LC_CTYPE is still the "C"/"POSIX" locale, the
// character set that setlocale(LC_ALL, "") would select is looked up through newlocale,
// without changing the process's locale.
#include "platform/code_page.h"

#include <langinfo.h>
#include <locale.h>
#include <clocale>
#include <cstring>

unsigned int DefaultCodePage() {
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    const bool isDefaultLocale =
        current == nullptr || std::strcmp(current, "C") == 0 || std::strcmp(current, "POSIX") == 0;
    if (isDefaultLocale) {
        locale_t env = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
        if (env != static_cast<locale_t>(0)) {
            const unsigned int codePage = CodePageFromCharsetName(nl_langinfo_l(CODESET, env));
            freelocale(env);
            return codePage;
        }
    }
    return CodePageFromCharsetName(nl_langinfo(CODESET));
}
