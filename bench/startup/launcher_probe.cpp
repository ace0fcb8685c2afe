// The launcher itself, with observers added: it prints the wall-clock time
// (ns) of a few stages, one line each: "main" (entry), "toolkit" (the
// QApplication made), "shown" (the dialog initialised, connection started
// and window shown) and "filled" (the host list's first entries). Its entry
// point is otherwise the launcher's own (locale, code page, toolkit, then the
// application object); the list observer is attached through the platform's
// dialog-shown hook.
#include <QAbstractItemModel>
#include <QApplication>
#include <QListWidget>

#include <time.h>

#include <clocale>
#include <cstdio>

#include "launcher/ui/resource.h"
#include "platform/code_page.h"
#include "platform/dialog.h"
#include "platform/testing.h"
#include "platform/win_app.h"

namespace {
void Stage(const char* name) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::printf("%lld %s\n", now.tv_sec * 1000000000LL + now.tv_nsec, name);
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
    Stage("main");
    std::setlocale(LC_ALL, "");
    SetActiveCodePage(DefaultCodePage());
    QApplication application(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    Stage("toolkit");

    platform::testing::CurrentHooks().dialogShown = [](CDialog& dialog) {
        Stage("shown");
        auto* list = qobject_cast<QListWidget*>(
            reinterpret_cast<QWidget*>(dialog.GetDlgItem(IDC_HOST_LIST)));
        if (list == nullptr)
            return;
        QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, list, [] {
            static bool reported = false;
            if (!reported)
                Stage("filled");
            reported = true;
        });
    };
    return RunApplication();
}
