// The floor of start-up: a bare Qt dialog, built like the launcher, that does
// nothing but show itself. Exec-to-mapped of this program is the least any
// Qt dialog program pays before the user sees it.
#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Startup floor"));
    dialog.resize(200, 290);
    dialog.show();
    return dialog.exec();
}
