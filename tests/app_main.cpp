#include <QApplication>
#include <QSettings>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "mainwindow.h"

// The window tests need one application object for the whole run.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A desktop at 100 %, unless a test asks for another density.
    if (qEnvironmentVariableIsEmpty("QT_FONT_DPI"))
        qputenv("QT_FONT_DPI", "96");
    // As the programs start.
    enableHighDpiScaling();
    // Every window keeps a log of its run: the tests' runs must not push the
    // user's own logs out.
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    QApplication app(argc, argv);
    // What the window keeps between runs goes to a directory of the run's
    // own, never to the user's, and starts empty.
    QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    // The copies of the settings kept before a save, an import or a firmware
    // upload go to a directory of the run's own; tests that look at them set
    // their own.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
