// OS services on POSIX with Qt for the message box.
#include <QApplication>
#include <QMessageBox>

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/backend.h"
#include "platform/posix_qt/text.h"
#include "platform/services.h"

extern char** environ;

namespace platform {

char PathSeparator() {
    return '/';
}
const char* ExecutableSuffix() {
    return "";
}
int ScaleToWindowDpi(HWND, int size) {
    return size;
}
int ScaleToDpi(int size, int) {
    return size;
}

namespace backend {

bool StartComponentLayer() {
    return true;
}

void ShowMessageBox(const std::string& caption, const std::string& text, unsigned int codePage) {
    QMessageBox box(QMessageBox::Warning, qt::ToDisplay(caption), qt::ToDisplay(text, codePage),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

std::string ModuleFileName() {
    // The link's target can be any length: grow the buffer until it fits.
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return std::string();
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), size_t(n));
        buffer.resize(buffer.size() * 2);
    }
}

void ExitProcess(int status) {
    std::exit(status);
}

void Sleep(unsigned int milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void ShellOpen(const std::string& file, const std::vector<std::string>& arguments) {
    // The viewer runs on its own; nobody waits for it. Children are reaped
    // by the kernel, so none is left as a zombie.
    struct sigaction reap {};
    reap.sa_handler = SIG_DFL;
    reap.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&reap.sa_mask);
    sigaction(SIGCHLD, &reap, nullptr);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(file.c_str()));
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    posix_spawn(&pid, file.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
}

}  // namespace backend
}  // namespace platform
