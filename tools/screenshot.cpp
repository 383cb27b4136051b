// Renders the main window for the README and checks its geometry at the
// screen density it runs at:
//   screenshot [--scale S] <prefix>
// writes <prefix>-settings.png, <prefix>-firmware.png and
// <prefix>-airports.png (the window attached to the virtual display unit,
// one per tab), <prefix>-about.png (its About box) and <prefix>-no-unit.png
// (the window as it starts where no unit is on any link). Fails when a
// caption is cut off or not level with the control it names, or a text
// field has no room for its line or does not show its whole frame.
// With --scale, the window must be drawn at S device pixels per pixel of
// the form, within 1 % (2 for a 200 % screen: QT_FONT_DPI=192 on the
// offscreen platform, or Xvfb -dpi 192).
#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mainwindow.h"
#include "sim/sim_world.h"
#include "tools/caption_fit.h"

namespace {

bool save(const QPixmap& shot, const QString& path)
{
    if (!shot.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s: %dx%d pixels, %g per pixel of the form\n", qPrintable(path), shot.width(), shot.height(),
                shot.devicePixelRatioF());
    return true;
}

// Every geometry check on the window; 3 when one fails.
int check(MainWindow* window, double scale, const char* which)
{
    int result = 0;
    const QPixmap shot = window->grab();
    // Xvfb derives its density from a screen size in whole millimetres:
    // -dpi 192 gives 191.6 dpi, a scale of 1.998.
    if (scale > 0 && (std::fabs(shot.devicePixelRatioF() - scale) > 0.01 * scale ||
                      std::abs(shot.width() - window->width() * scale) > 0.01 * window->width() * scale)) {
        std::fprintf(stderr, "drawn at %g, not at %g: the window %s does not grow with the screen's density\n",
                     shot.devicePixelRatioF(), scale, which);
        result = 3;
    }
    const struct {
        const char* what;
        QStringList lines;
    } findings[] = {{"cut off", caption_fit::clipped(window)},
                    {"not level", caption_fit::off_level(window)},
                    {"frame cut", caption_fit::frames_cut(window)}};
    for (const auto& f : findings) {
        for (const QString& line : f.lines) {
            std::fprintf(stderr, "%s (%s): %s\n", f.what, which, qPrintable(line));
            result = 3;
        }
    }
    return result;
}

// The About box as the Help menu opens it, drawn once it shows and closed
// again; a null picture when none opened within five seconds.
QPixmap aboutBox(MainWindow* window)
{
    QPixmap shot;
    int ticks = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        auto* box = qobject_cast<QMessageBox*>(modal);
        // One tick after it shows: the box fits its size to its text then.
        if (box && box->isVisible() && ++ticks > 1) {
            poll.stop();
            shot = box->grab();
            box->accept();
        } else if (++ticks > 500 && modal) {
            poll.stop();
            modal->close();
        }
    });
    poll.start(10);
    window->showAboutBox();
    return shot;
}

}  // namespace

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
    const QString prefix = QString::fromLocal8Bit(argv[file]);
    enableHighDpiScaling();
    QApplication app(argc, argv);
    useCondensedApplicationFont();
    // The serial number the guide shows, so that the pictures stay the
    // same from one run to the next.
    sim::with_unit([](sim::VirtualUnit& unit) { unit.serial = 0x12345678; });
    int result = 0;
    {
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
        for (int i = 2; i >= 0; --i) {
            tabs->setCurrentIndex(i);
            app.processEvents();
            if (!save(window.grab(), prefix + "-" + tabNames[i] + ".png"))
                return 1;
        }
        // The window is left on its first tab, as it starts.
        result = check(&window, scale, "with the unit");
        const QPixmap about = aboutBox(&window);
        if (about.isNull()) {
            std::fprintf(stderr, "the window opened no About box\n");
            return 1;
        }
        if (!save(about, prefix + "-about.png"))
            return 1;
    }
    {
        // No USB interface and no CAN interface, as on a computer with no
        // unit: the window the owner sees before plugging one in.
        sim::set_hid_interfaces({});
        sim::set_can_interfaces({});
        MainWindow window;
        window.show();
        app.processEvents();
        if (!save(window.grab(), prefix + "-no-unit.png"))
            return 1;
        result = qMax(result, check(&window, scale, "with no unit"));
    }
    return result;
}
