// Renders the main window attached to the virtual display unit into a PNG,
// for the README: screenshot <file.png>
#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "mainwindow.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file.png>\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    useCondensedApplicationFont();
    MainWindow window;
    window.setVirtualUnit(true);
    window.show();
    app.processEvents();
    const bool saved = window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    return saved ? 0 : 1;
}
