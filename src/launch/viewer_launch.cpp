#include "launch/viewer_launch.h"

#include "platform/controls.h"
#include "platform/services.h"
#include "ui/launcher_dlg.h"
#include "ui/resource.h"

std::vector<std::string> ViewerArguments(const std::string& serverIp, const std::string& serverPort,
                                         const std::string& hostName) {
    return {kViewerMarker, serverIp, serverPort, hostName};
}

void CLauncherDlg::OnHostDoubleClick() {
    CListBox list(GetDlgItem(IDC_HOST_LIST));
    std::string name;
    const int selection = list.GetCurSel();
    if (selection != LB_ERR)
        list.GetText(selection, name);

    // The launcher does not wait for the viewer, nor report a failed start.
    platform::ShellOpen(platform::PathBesideModule(platform::ViewerFileName()),
                        ViewerArguments(m_strServerIp, m_strServerPort, name));

    // Give the viewer time to register with the server before asking again.
    platform::Sleep(1000);
    SendListRequest();
}
