// The program's entry point on POSIX: the locale first (it decides the code
// page), then the toolkit, then the application object.
#include <QApplication>
#include <clocale>

#include "platform/code_page.h"
#include "platform/win_app.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    SetActiveCodePage(DefaultCodePage());
    QApplication application(argc, argv);
    // Qt's own locale handling must not undo ours.
    std::setlocale(LC_NUMERIC, "C");
    return RunApplication();
}
