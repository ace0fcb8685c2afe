// The application object. Exactly one exists, as a static object of the
// system's code; the backend's entry point prepares the platform (locale,
// code page, toolkit) and then calls RunApplication.
#pragma once

#include "platform/types.h"

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // False: there is no main window to run, the process ends (status 0).
    virtual BOOL InitInstance() { return FALSE; }

    static CWinApp* Current();
};

// Runs the application object's initialisation and returns the exit status:
// 0 once it has run, 1 without an application object.
int RunApplication();
