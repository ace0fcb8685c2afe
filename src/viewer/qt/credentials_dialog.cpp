// The operator's answer to a server's authentication: one form, the user name field only when the
// server asks for one (see credentials_dialog.h).
#include "viewer/qt/credentials_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

namespace talviewer {

bool AskCredentials(QWidget* parent, const QString& machine, bool user_name, Credentials* out) {
    QDialog dialog(parent);
    dialog.setWindowTitle(machine + QStringLiteral(" \u2014 sign in"));
    auto* form = new QFormLayout(&dialog);
    form->addRow(new QLabel((user_name ? QStringLiteral("%1 asks for a user name and password.")
                                       : QStringLiteral("%1 asks for its session password."))
                                .arg(machine)));
    QLineEdit* user = nullptr;
    if (user_name) {
        user = new QLineEdit(&dialog);
        user->setObjectName(QStringLiteral("user"));
        form->addRow(QStringLiteral("User name:"), user);
    }
    auto* password = new QLineEdit(&dialog);
    password->setObjectName(QStringLiteral("password"));
    password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Password:"), password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    out->user = user ? user->text() : QString();
    out->password = password->text();
    return true;
}

}  // namespace talviewer
