#include <QApplication>
#include <cstdio>

#include "mainwindow.h"

int main(int argc, char** argv)
{
    // Diagnostic lines reach a log file or pipe as they happen, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    useCondensedApplicationFont();
    int result;
    {
        // The window goes before the application object.
        MainWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
