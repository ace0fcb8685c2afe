// The main dialog, described once: both backends build it from this table
// (the Qt backend widget by widget, the Win32 backend as a template in
// memory). Sizes are in dialog units of the dialog's font.
#include "launcher/ui/launcher_template.h"

#include "launcher/ui/resource.h"
#include "platform/types.h"

const DialogTemplate& LauncherDialogTemplate() {
    static const DialogItemTemplate items[] = {
        {ControlKind::ListBox, IDC_HOST_LIST,
         LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 5, 5,
         123, 138, ""},
        // Not the default button: Return presses nothing.
        {ControlKind::PushButton, IDC_REFRESH, BS_PUSHBUTTON | WS_TABSTOP, 6, 148, 121, 25,
         "Refresh"},
    };
    // No minimise box. The caption is never seen: initialisation replaces it
    // with the title.
    static const DialogTemplate dialog{
        IDD_LAUNCHER,
        DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU,
        WS_EX_APPWINDOW,
        135,
        179,
        "launcher",
        9,
        "\xea\xb5\xb4\xeb\xa6\xbc" /* Gulim */,
        items};
    return dialog;
}
