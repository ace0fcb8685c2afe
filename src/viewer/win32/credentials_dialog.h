// The dialog that asks the operator for what a server's authentication needs: a password (VNC
// authentication), or a user name and a password (VeNCrypt Plain and X509Plain). Shown by the
// viewer window (viewer_window.cpp) when the session asks; the templates are in viewer.rc.
#pragma once

#include <windows.h>

#include <string>

namespace talviewer {

struct Credentials {
    std::string user;  // UTF-8; empty unless asked for
    std::string password;
};

// False when the operator cancels. The caller wipes `out->password` once it is sent.
bool AskCredentials(HWND owner, const std::string& machine, bool user_name, Credentials* out);

}  // namespace talviewer
