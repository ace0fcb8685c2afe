// The texts of the viewer's error table (see failure.h).
#include "failure.h"

namespace talviewer {

QString FailureText(Failure failure, const QString& name, const QString& detail) {
    QString text;
    switch (failure) {
        case Failure::kUsage:
            text = QStringLiteral(
                "talviewer is started by the launcher as: talviewer TALVERO-VNC ADDRESS PORT "
                "NAME");
            break;
        case Failure::kNotConnected:
            text = QStringLiteral(
                       "%1 is not connected to the server right now. The support program on "
                       "that machine must be running.")
                       .arg(name);
            break;
        case Failure::kTimeout:
            text = QStringLiteral(
                       "%1 did not answer in time. The person there may have declined, or the "
                       "machine is slow to respond; try again.")
                       .arg(name);
            break;
        case Failure::kBusy:
            text = QStringLiteral("The server is busy and cannot open a session with %1 now.")
                       .arg(name);
            break;
        case Failure::kConnectionFailed:
            text = QStringLiteral("Could not open a session with %1.").arg(name);
            break;
        case Failure::kSecurity:
            text =
                QStringLiteral("The connection to %1 is not secure; it was not opened.").arg(name);
            break;
        case Failure::kWrongPassword:
            text = QStringLiteral("%1 did not accept the password.").arg(name);
            break;
        case Failure::kEnded:
            text = QStringLiteral("The session with %1 has ended.").arg(name);
            break;
        case Failure::kProtocol:
            text = QStringLiteral("%1 sent something this viewer cannot show.").arg(name);
            break;
    }
    if (!detail.isEmpty()) {
        text += QStringLiteral("\n\n") + detail;
    }
    return text;
}

}  // namespace talviewer
