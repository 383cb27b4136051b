// Renders the main window attached to the virtual display unit into a PNG,
// for the README, and checks that every caption fits at the screen density
// it runs at:
//   screenshot [--scale S] <file.png>
// With --scale, the window must be drawn at S device pixels per pixel of
// the form, within 1 % (2 for a 200 % screen: QT_FONT_DPI=192 on the
// offscreen platform, or Xvfb -dpi 192).
#include <QApplication>
#include <QPixmap>
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
        std::fprintf(stderr, "usage: %s [--scale S] <file.png>\n", argv[0]);
        return 2;
    }
    enableHighDpiScaling();
    QApplication app(argc, argv);
    useCondensedApplicationFont();
    MainWindow window;
    window.setVirtualUnit(true);
    window.show();
    app.processEvents();
    const QPixmap shot = window.grab();
    if (!shot.save(QString::fromLocal8Bit(argv[file]), "PNG"))
        return 1;
    std::printf("%dx%d pixels, %g per pixel of the form\n", shot.width(), shot.height(), shot.devicePixelRatioF());
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
