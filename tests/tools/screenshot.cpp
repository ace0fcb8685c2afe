// Saves the whole X screen (or one window, by id) as a PNG: the black-box
// tests' artefact of what the user would see.
//   screenshot OUT.png [WINDOW_ID]
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: screenshot OUT.png [WINDOW_ID]\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const WId window = argc > 2 ? static_cast<WId>(std::strtoull(argv[2], nullptr, 0)) : 0;
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(window);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "screenshot: could not grab or save\n");
        return 1;
    }
    return 0;
}
