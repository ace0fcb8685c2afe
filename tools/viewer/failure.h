// Why a session could not start or ended, as the operator is told it: one row per kind with
// the message box's text and the viewer's exit status. The rows are the ones README.md lists;
// tests/viewer/error_table.py checks each against a scripted server.
#pragma once

#include <QString>

namespace talviewer {

enum class Failure {
    kUsage = 2,             // not started as "talviewer TALVERO-VNC ADDRESS PORT NAME"
    kNotConnected = 3,      // the server knows no agent for NAME right now
    kTimeout = 4,           // the agent did not come, or the session did not start in time
    kBusy = 5,              // the server is at a limit
    kConnectionFailed = 6,  // the server could not be reached, or refused the request
    kSecurity = 7,          // TLS or certificate failure, or a plain session where one must not be
    kWrongPassword = 8,     // VNC authentication failed
    kEnded = 9,             // the remote side closed the session
    kProtocol = 10,         // the remote side sent something this viewer cannot use
};

// The exit status of a session that ended for this reason.
inline int ExitStatus(Failure failure) {
    return static_cast<int>(failure);
}

// The message box's first sentence for `failure` with machine `name`; `detail` (may be empty)
// follows it as a second paragraph.
QString FailureText(Failure failure, const QString& name, const QString& detail);

}  // namespace talviewer
