// talviewer: the remote-desktop viewer the launcher starts for a machine in its list.
//
//   talviewer [-quality auto|lossless|balanced|low] TALVERO-VNC SERVER-ADDRESS SERVER-PORT NAME
//
// It asks the directory server at SERVER-ADDRESS:SERVER-PORT for a session with NAME and shows
// and controls that machine's desktop (session.h, viewer_window.h). The deployment's CA
// certificate, ca.pem beside this program, is the only root a machine's certificate may chain
// to; without that file, plain sessions are allowed only when the file allow-plain-sessions is
// beside the program too, and are marked "not encrypted" in the title. The operator's
// certificate (qt/operator_file.h) proves who asks, to the server and to the machine.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <cstdio>
#include <string>
#include <vector>

#include "viewer/arguments.h"
#include "viewer/qt/early_connect.h"
#include "viewer/qt/operator_file.h"
#include "viewer/qt/viewer_window.h"
#include "viewer/session_messages.h"

namespace {

constexpr const char* kMarker = "TALVERO-VNC";
constexpr const char* kCaFileName = "ca.pem";

// The port as the launcher passes it: decimal 1-65535, nothing else.
std::optional<quint16> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 || text[0] == '0') {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) {
        return std::nullopt;
    }
    return static_cast<quint16>(value);
}

}  // namespace

int main(int argc, char** argv) {
    using talviewer::Failure;
    // Taken before Qt sees the command line, and Qt gets none of it: a machine named "-style"
    // is a machine's name here, not a Qt option.
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const std::optional<std::string> quality_word = talviewer::TakeOption(args, "-quality");
    const std::optional<viewer::Quality> quality =
        quality_word ? viewer::ParseQuality(*quality_word) : viewer::Quality::kAuto;
    // The launcher always passes four arguments, so a lone --help or --version is a person
    // asking; neither needs a display, so both are answered before Qt starts.
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "--version")) {
        const std::string text = args[0] == "--help" ? std::string(talviewer::UsageText())
                                                     : "talviewer " LAUNCHER_VERSION "\n";
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    // Well-formed arguments: the connection begins now, while Qt and the window are set up.
    int early_socket = -1;
    if (args.size() == talviewer::kFieldCount && args[0] == kMarker && quality) {
        if (const auto port = ParsePort(args[2]); port && !talviewer::CheckName(args[3])) {
            early_socket = talviewer::BeginConnect(args[1], *port);
        }
    }
    int qt_argc = argc > 0 ? 1 : 0;
    QApplication app(qt_argc, argv);
    QApplication::setApplicationName(QStringLiteral("talviewer"));

    if (args.size() != talviewer::kFieldCount || args[0] != kMarker) {
        const QString got = args.empty() ? QStringLiteral("no arguments")
                            : args[0] != kMarker
                                ? QStringLiteral("the first argument is \"%1\", not %2")
                                      .arg(QString::fromLocal8Bit(args[0]), QLatin1String(kMarker))
                                : QStringLiteral("%1 arguments instead of 4").arg(args.size());
        return talviewer::Report(nullptr, Failure::kUsage, {}, got + QLatin1Char('.'));
    }
    const QString name = QString::fromLocal8Bit(args[3]);
    if (!quality) {
        return talviewer::Report(nullptr, Failure::kUsage, name,
                                 QStringLiteral("\"%1\" is not a quality (auto, lossless, "
                                                "balanced, low).")
                                     .arg(QString::fromLocal8Bit(*quality_word)));
    }
    const std::optional<quint16> port = ParsePort(args[2]);
    if (!port) {
        return talviewer::Report(
            nullptr, Failure::kUsage, name,
            QStringLiteral("\"%1\" is not a port number.").arg(QString::fromLocal8Bit(args[2])));
    }
    if (const auto why = talviewer::CheckName(args[3])) {
        return talviewer::Report(nullptr, Failure::kUsage, name, QString::fromStdString(*why));
    }

    talviewer::SessionParams params;
    params.address = QString::fromLocal8Bit(args[1]);
    params.port = *port;
    params.name = QByteArray::fromStdString(args[3]);
    params.display_name = name;
    // A CA file that is there but unusable is an error, not a reason to go plain.
    const QString ca_path = QDir(QCoreApplication::applicationDirPath()).filePath(kCaFileName);
    if (QFile::exists(ca_path)) {
        QFile file(ca_path);
        if (file.open(QIODevice::ReadOnly)) {
            params.ca = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
        }
        if (params.ca.isEmpty()) {
            return talviewer::Report(
                nullptr, Failure::kSecurity, name,
                QStringLiteral("%1 holds no readable CA certificate.").arg(ca_path));
        }
    }

    params.allow_plain = QFile::exists(QDir(QCoreApplication::applicationDirPath())
                                           .filePath(QLatin1String(talviewer::kAllowPlainFile)));
    params.operator_credentials = talviewer::LoadOperatorCredentials();
    params.quality = *quality;
    params.early_socket = early_socket;

    talviewer::ViewerWindow window(std::move(params));
    window.Start();
    return app.exec();
}
