// The settings file set.xml: the directory server's address and port and
// the window caption, read once at start-up.
#pragma once

#include <cstdint>
#include <string>

class CFile;

struct Settings {
    std::string serverIp;
    std::string serverPort;
    std::string title;
};

inline constexpr char kSettingsFileName[] = "set.xml";

// "The settings file does not exist. Please reinstall." in code page 949.
inline constexpr char kSettingsMissingMessage[] =
    "\xbc\xbc\xc6\xc3\xc6\xc4\xc0\xcf\xc0\xcc \xc1\xb8\xc0\xe7\xc7\xcf\xc1\xf6 "
    "\xbe\xca\xbd\xc0\xb4\xcf\xb4\xd9. "
    "\xc0\xe7\xbc\xb3\xc4\xa1\xc7\xd8\xc1\xd6\xbd\xca\xbd\xc3\xbf\xc0";
inline constexpr unsigned int kSettingsMessageCodePage = 949;

// A settings file larger than this is not read: it is treated as a failed
// read, which leaves the settings empty.
inline constexpr std::int64_t kMaxSettingsBytes = 16 * 1024 * 1024;

// Reads set.xml beside the executable. When the file cannot be opened (see
// CFile::OpenExclusive) the fixed message is shown and the process ends with
// status 1.
Settings ReadSettingsFile();

// The file's text: its bytes up to the first zero byte. Empty when the file
// cannot be read or is larger than kMaxSettingsBytes.
std::string ReadSettingsText(CFile& file);

// Walks the settings document: into every element named "xml", taking
// "connect" (attributes ip and port) and "title" (its text); later elements
// replace earlier ones, and the walk never climbs back out of an element it
// has entered. A text that is not well-formed gives empty settings.
Settings ParseSettings(const std::string& text);
