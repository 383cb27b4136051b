#include <QApplication>

#include "mainwindow.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int result;
    {
        // The window goes before the application object.
        MainWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
