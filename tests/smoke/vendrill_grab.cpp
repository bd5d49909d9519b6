// Saves a screenshot of an X display as PNG: the whole screen, or one window
// when its id is given. Used by the smoke test under Xvfb.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: vendrill_grab OUT.png [WINDOW-ID]\n");
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "vendrill_grab: no screen\n");
        return 1;
    }
    WId window = 0;
    if (args.size() == 3) {
        bool ok = false;
        window = static_cast<WId>(args[2].toULongLong(&ok, 0));
        if (!ok) {
            std::fprintf(stderr, "vendrill_grab: bad window id\n");
            return 2;
        }
    }
    const QPixmap shot = screen->grabWindow(window);
    if (shot.isNull() || !shot.save(args[1], "PNG")) {
        std::fprintf(stderr, "vendrill_grab: could not write %s\n", qPrintable(args[1]));
        return 1;
    }
    std::printf("%s %dx%d\n", qPrintable(args[1]), shot.width(), shot.height());
    return 0;
}
