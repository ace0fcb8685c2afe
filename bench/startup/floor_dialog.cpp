// The floor of start-up: a bare Qt dialog, built like the launcher, that does
// nothing but show itself. Exec-to-mapped of this program is the least any
// Qt dialog program pays before the user sees it.
//   startup_floor_dialog            the bare dialog
//   startup_floor_dialog --controls the same with a list and a button in the
//                                   default font: what drawing any text adds
#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <QPushButton>
#include <cstring>

int main(int argc, char** argv) {
    const bool controls = argc > 1 && std::strcmp(argv[1], "--controls") == 0;
    QApplication application(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Startup floor"));
    dialog.resize(200, 290);
    if (controls) {
        auto* list = new QListWidget(&dialog);
        list->setGeometry(8, 8, 184, 220);
        auto* button = new QPushButton(QStringLiteral("Refresh"), &dialog);
        button->setGeometry(8, 240, 184, 40);
    }
    dialog.show();
    return dialog.exec();
}
