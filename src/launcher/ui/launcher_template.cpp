#include "launcher/ui/launcher_template.h"

#include "launcher/ui/resource.h"
#include "platform/types.h"

const DialogTemplate& LauncherDialogTemplate() {
    static const DialogItemTemplate items[] = {
        {ControlKind::ListBox, IDC_HOST_LIST, HOST_LIST_STYLE, HOST_LIST_X, HOST_LIST_Y,
         HOST_LIST_CX, HOST_LIST_CY, ""},
        {ControlKind::PushButton, IDC_REFRESH, REFRESH_STYLE, REFRESH_X, REFRESH_Y, REFRESH_CX,
         REFRESH_CY, "Refresh"},
    };
    // The caption is never seen: initialisation replaces it with the title.
    static const DialogTemplate dialog{IDD_LAUNCHER,
                                       LAUNCHER_DLG_STYLE,
                                       LAUNCHER_DLG_EXSTYLE,
                                       LAUNCHER_DLG_CX,
                                       LAUNCHER_DLG_CY,
                                       "launcher",
                                       LAUNCHER_FONT_POINTS,
                                       "\xea\xb5\xb4\xeb\xa6\xbc" /* Gulim */,
                                       items};
    return dialog;
}
