#include "launcher/app/launcher_app.h"

#include "launcher/ui/launcher_dlg.h"
#include "platform/services.h"

CLauncherApp theApp;

BOOL CLauncherApp::InitInstance() {
    if (!platform::StartSocketLayer()) {
        platform::ShowMessageBox("socket init fail!");
        return FALSE;
    }
    // Not fatal: the launcher makes no use of component objects itself.
    if (!platform::StartComponentLayer())
        platform::ShowMessageBox("ole init fail!");

    CLauncherDlg dialog;
    dialog.DoModal();
    return FALSE;
}
