// The application object: brings up the socket and component-object layers
// and runs the main dialog.
#pragma once

#include "platform/win_app.h"

class CLauncherApp : public CWinApp {
public:
    // Always false: there is no main window to run once the dialog is over.
    BOOL InitInstance() override;
};

extern CLauncherApp theApp;
