#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

// pelomir-grab OUT.png [WINDOW]: saves the whole X screen, or one window given by its X id (decimal,
// as xdotool prints it).
int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: pelomir-grab OUT.png [WINDOW]\n");
        return 2;
    }
    WId window = 0;
    if (argc == 3) {
        bool ok = false;
        window = WId(QByteArray(argv[2]).toULongLong(&ok, 0));
        if (!ok || window == 0) {
            std::fprintf(stderr, "pelomir-grab: not a window id: %s\n", argv[2]);
            return 2;
        }
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || !screen->grabWindow(window).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "pelomir-grab: could not capture the screen\n");
        return 1;
    }
    return 0;
}
