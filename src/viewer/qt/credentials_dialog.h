// The dialog that asks the operator for what a server's authentication needs: a password (VNC
// authentication), or a user name and a password (VeNCrypt Plain and X509Plain: wayvnc, TigerVNC's
// password modes). Shown by the viewer window (viewer_window.cpp) when the session asks.
#pragma once

#include <QString>

class QWidget;

namespace talviewer {

struct Credentials {
    QString user;  // empty unless asked for
    QString password;
};

// False when the operator cancels.
bool AskCredentials(QWidget* parent, const QString& machine, bool user_name, Credentials* out);

}  // namespace talviewer
