// Reading set.xml: the file beside the executable, its text, and the walk
// over its document that picks out the three settings.
#include "launcher/settings/settings.h"

#include <cstring>

#include "launcher/xml/xml_document.h"
#include "platform/files.h"
#include "platform/services.h"

Settings ReadSettingsFile() {
    CFile file;
    if (!file.OpenExclusive(platform::PathBesideModule(kSettingsFileName))) {
        platform::ShowMessageBox(kSettingsMissingMessage, kSettingsMessageCodePage);
        platform::ExitProcess(1);
    }
    return ParseSettings(ReadSettingsText(file));
}

std::string ReadSettingsText(CFile& file) {
    const std::int64_t length = file.GetLength();
    if (length <= 0 || length > kMaxSettingsBytes)
        return std::string();
    std::string text(static_cast<std::size_t>(length), '\0');
    const std::int64_t read = file.Read(text.data(), length);
    if (read <= 0)
        return std::string();
    text.resize(static_cast<std::size_t>(read));
    // A zero byte inside the file ends the text there.
    text.resize(std::strlen(text.c_str()));
    return text;
}

Settings ParseSettings(const std::string& text) {
    Settings settings;
    CXmlDocument document;
    document.SetDocument(text.c_str());
    document.EnterElement();
    while (document.FindNextElement()) {
        const std::string name = document.GetElementName();
        if (name == "xml") {
            document.EnterElement();
        } else if (name == "connect") {
            settings.serverIp = document.GetAttribute("ip");
            settings.serverPort = document.GetAttribute("port");
        } else if (name == "title") {
            settings.title = document.GetText();
        }
    }
    return settings;
}
