#include "platform/win_app.h"

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this)
        g_app = nullptr;
}

CWinApp* CWinApp::Current() {
    return g_app;
}

int RunApplication() {
    CWinApp* app = CWinApp::Current();
    if (app == nullptr)
        return 1;
    app->InitInstance();
    return 0;
}
