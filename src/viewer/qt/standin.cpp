// talviewer-standin: a stand-in for the remote-desktop viewer. It shows what it was asked to do
// (the marker, server address, port and host it was started with) so the launcher's command line
// can be seen and checked. Escape or the close box ends it.
//
// TALVIEWER_RECORD=FILE appends the command line to FILE (see arguments.h) before the window is
// shown; TALVIEWER_EXIT=1 then exits instead of showing it.
#include <QApplication>
#include <QDialog>
#include <QFormLayout>
#include <QLabel>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "viewer/arguments.h"

namespace {

QLabel* ValueLabel(const std::string* value) {
    auto* label = new QLabel;
    // Plain text: a host name such as "<b>x" must show as typed, not as markup.
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (!value) {
        label->setText(QStringLiteral("(missing)"));
        label->setEnabled(false);
    } else if (value->empty()) {
        label->setText(QStringLiteral("(empty)"));
        label->setEnabled(false);
    } else {
        // The launcher passes bytes in the locale's encoding.
        label->setText(
            QString::fromLocal8Bit(value->data(), static_cast<qsizetype>(value->size())));
    }
    return label;
}

void Fill(QDialog& window, const std::vector<std::string>& args) {
    auto* form = new QFormLayout(&window);
    for (std::size_t i = 0; i < talviewer::kFieldCount; ++i) {
        form->addRow(QString::fromLatin1(talviewer::kFieldNames[i]) + QLatin1Char(':'),
                     ValueLabel(i < args.size() ? &args[i] : nullptr));
    }
    for (std::size_t i = talviewer::kFieldCount; i < args.size(); ++i) {
        form->addRow(QStringLiteral("Extra %1:").arg(i + 1), ValueLabel(&args[i]));
    }
    QString count = QString::number(args.size());
    if (args.size() != talviewer::kFieldCount) {
        count += QStringLiteral(" (expected %1)").arg(talviewer::kFieldCount);
    }
    auto* countLabel = new QLabel(count);
    countLabel->setTextFormat(Qt::PlainText);
    form->addRow(QStringLiteral("Arguments:"), countLabel);

    const QString host =
        args.size() > 3
            ? QString::fromLocal8Bit(args[3].data(), static_cast<qsizetype>(args[3].size()))
            : QStringLiteral("(no host)");
    window.setWindowTitle(QStringLiteral("talviewer \u2014 ") + host);
    window.setMinimumWidth(360);
}

}  // namespace

int main(int argc, char** argv) {
    // Taken before Qt sees the command line, and Qt gets none of it: a host named "-reverse"
    // or "-style" is a host name here, not a Qt option.
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);

    QDialog window;
    Fill(window, args);

    const char* exitNow = std::getenv("TALVIEWER_EXIT");
    const bool recordOnly = exitNow && std::string(exitNow) == "1";
    if (const char* record = std::getenv("TALVIEWER_RECORD"); record && *record) {
        const std::string error =
            talviewer::AppendRecord(record, talviewer::Argv(argv, argv + argc));
        if (!error.empty()) {
            std::fprintf(stderr, "talviewer: %s\n", error.c_str());
            if (recordOnly)
                return 1;
        }
    }
    if (recordOnly)
        return 0;
    // QDialog hides itself on Escape; that ends the program as the close box does.
    QObject::connect(&window, &QDialog::finished, &app, &QApplication::quit);
    window.show();
    return app.exec();
}
