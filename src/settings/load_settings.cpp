// The dialog's settings loader.
#include "platform/files.h"
#include "platform/services.h"
#include "settings/settings.h"
#include "ui/launcher_dlg.h"

void CLauncherDlg::LoadSettings() {
    CFile file;
    if (!file.OpenExclusive(platform::PathBesideModule(kSettingsFileName))) {
        platform::ShowMessageBox(kSettingsMissingMessage, kSettingsMessageCodePage);
        platform::ExitProcess(1);
    }
    const Settings settings = ParseSettings(ReadSettingsText(file));
    m_strServerIp = settings.serverIp;
    m_strServerPort = settings.serverPort;
    m_strTitle = settings.title;
    SetWindowText(m_strTitle);
}
