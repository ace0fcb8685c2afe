// The TALVIEWER_TIMING lines (see timing.h). Everything runs on the GUI thread.
#include "viewer/qt/timing.h"

#include <unistd.h>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace talviewer::timing {

namespace {

struct State {
    bool enabled = false;
    bool decoded = false;  // the first update has arrived
    bool drawn = false;    // ... and has been painted; the per-second lines run
    long updates = 0;
    long paints = 0;
    double start_ms = -1;  // the process's start on CLOCK_BOOTTIME, or -1 if unknown
};

double BootTimeMs() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Field 22 of /proc/self/stat, the start in clock ticks after boot; the fields are counted
// from the last ')', since the program's name in parentheses may hold spaces.
double ProcessStartMs() {
    QFile file(QStringLiteral("/proc/self/stat"));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray stat = file.readAll();
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) {
        return -1;
    }
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    constexpr int kStartTime = 22 - 3;  // fields 1 and 2 are before the ')'
    bool ok = false;
    const qulonglong ticks = fields.value(kStartTime).toULongLong(&ok);
    const long per_second = sysconf(_SC_CLK_TCK);
    if (!ok || per_second <= 0) {
        return -1;
    }
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(per_second);
}

State& TheState() {
    static State state = [] {
        State s;
        const char* value = std::getenv("TALVIEWER_TIMING");
        s.enabled = value && std::string(value) == "1";
        if (s.enabled) {
            s.start_ms = ProcessStartMs();
        }
        return s;
    }();
    return state;
}

void EverySecond() {
    State& s = TheState();
    std::fprintf(stderr, "fps %ld drawn %ld\n", s.updates, s.paints);
    std::fflush(stderr);
    s.updates = 0;
    s.paints = 0;
}

double SinceStartMs() {
    const State& s = TheState();
    return s.start_ms < 0 ? -1 : BootTimeMs() - s.start_ms;
}

}  // namespace

void SessionOpened() {
    if (!TheState().enabled) {
        return;
    }
    std::fprintf(stderr, "session %.0f\n", SinceStartMs());
    std::fflush(stderr);
}

void FrameDecoded() {
    State& s = TheState();
    if (!s.enabled) {
        return;
    }
    s.decoded = true;
    ++s.updates;
}

void Painted() {
    State& s = TheState();
    if (!s.enabled || !s.decoded) {
        return;
    }
    ++s.paints;
    if (s.drawn) {
        return;
    }
    s.drawn = true;
    s.updates = 0;
    s.paints = 0;
    std::fprintf(stderr, "first-frame %.0f\n", SinceStartMs());
    std::fflush(stderr);
    static auto* const timer = new QTimer;  // lives as long as the program
    QObject::connect(timer, &QTimer::timeout, [] { EverySecond(); });
    timer->start(1000);
}

}  // namespace talviewer::timing
