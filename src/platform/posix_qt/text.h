// Text at the edge of the Qt backend: the system's strings are bytes in a
// code page; Qt wants UTF-16.
#pragma once

#include <QString>
#include <string>

namespace platform::qt {

// Decodes bytes in `codePage` (0: the active code page, which follows the
// locale's character set). Bytes that do not decode are shown as U+FFFD,
// one per byte, never dropped.
QString ToDisplay(const std::string& bytes, unsigned int codePage = 0);

// Encodes text for the system in `codePage` (0: the active code page), as
// Windows' ANSI calls return window text: a character the code page cannot
// hold becomes '?'. Text that ToDisplay decoded without a mark comes back
// byte for byte.
std::string FromDisplay(const QString& text, unsigned int codePage = 0);

// The iconv name of a code page, or null for "the locale's character set".
const char* CharsetOfCodePage(unsigned int codePage);

}  // namespace platform::qt
