// Renders the main window attached to the virtual display unit, one PNG per
// tab, for the README, and checks that every caption fits at the screen
// density it runs at:
//   screenshot [--scale S] <prefix>
// writes <prefix>-settings.png, <prefix>-firmware.png and
// <prefix>-airports.png.
// With --scale, the window must be drawn at S device pixels per pixel of
// the form, within 1 % (2 for a 200 % screen: QT_FONT_DPI=192 on the
// offscreen platform, or Xvfb -dpi 192).
#include <QApplication>
#include <QPixmap>
#include <QTabWidget>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "mainwindow.h"
#include "tools/caption_fit.h"

int main(int argc, char** argv)
{
    double scale = 0;
    int file = 1;
    if (argc >= 3 && std::strcmp(argv[1], "--scale") == 0) {
        scale = std::atof(argv[2]);
        file = 3;
    }
    if (argc != file + 1 || (file == 3 && scale <= 0)) {
        std::fprintf(stderr, "usage: %s [--scale S] <prefix>\n", argv[0]);
        return 2;
    }
    enableHighDpiScaling();
    QApplication app(argc, argv);
    useCondensedApplicationFont();
    MainWindow window;
    window.setVirtualUnit(true);
    window.show();
    app.processEvents();
    // The guide names the tabs in this order.
    const char* const tabNames[] = {"settings", "firmware", "airports"};
    QTabWidget* tabs = window.findChild<QTabWidget*>("tabWidget");
    if (!tabs || tabs->count() != 3) {
        std::fprintf(stderr, "the window does not have its three tabs\n");
        return 1;
    }
    QPixmap shot;
    for (int i = 2; i >= 0; --i) {
        tabs->setCurrentIndex(i);
        app.processEvents();
        shot = window.grab();
        const QString path = QString::fromLocal8Bit(argv[file]) + "-" + tabNames[i] + ".png";
        if (!shot.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s: %dx%d pixels, %g per pixel of the form\n", qPrintable(path), shot.width(), shot.height(),
                    shot.devicePixelRatioF());
    }
    // The window is left on its first tab, as it starts.
    int result = 0;
    // Xvfb derives its density from a screen size in whole millimetres:
    // -dpi 192 gives 191.6 dpi, a scale of 1.998.
    if (scale > 0 && (std::fabs(shot.devicePixelRatioF() - scale) > 0.01 * scale ||
                      std::abs(shot.width() - window.width() * scale) > 0.01 * window.width() * scale)) {
        std::fprintf(stderr, "drawn at %g, not at %g: the window does not grow with the screen's density\n",
                     shot.devicePixelRatioF(), scale);
        result = 3;
    }
    for (const QString& line : caption_fit::clipped(&window)) {
        std::fprintf(stderr, "cut off: %s\n", qPrintable(line));
        result = 3;
    }
    return result;
}
