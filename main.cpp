#include <QApplication>
#include <cstdio>

#include "app/about.h"
#include "mainwindow.h"

int main(int argc, char** argv)
{
    // Diagnostic lines reach a log file or pipe as they happen, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Answered before the application object, which needs a display; the
    // toolkit's own options (-platform, ...) are left for it.
    if (const std::optional<int> status = answerCommandLine(argc, argv))
        return *status;
    enableHighDpiScaling();
    QApplication app(argc, argv);
    useCondensedApplicationFont();
    int result;
    {
        // The window goes before the application object.
        MainWindow window;
#ifdef EFIS_VIRTUAL_UNIT
        // This build talks to the unit simulated in-process; nobody must take
        // it for an aircraft's.
        window.setVirtualUnit(true);
#endif
        window.show();
        result = app.exec();
    }
    return result;
}
