// The window's log: a file per run under $XDG_STATE_HOME, the last five
// kept, with the handler's lines and standard output's in the order
// printed; the Log window opened at a failure, copied and saved.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include "app/log_window.h"
#include "app/run_log.h"
#include "app_util.h"
#include "flash_support.h"

namespace {

using namespace apptest;

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Seven runs, each with its own registration: the last five files stay,
// newest first, the printed CRC line before the logged line that followed.
TEST(RunLogFiles, KeepTheLastFiveRuns)
{
    const QByteArray home = qgetenv("HOME"), xdg_before = qgetenv("XDG_STATE_HOME");
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    for (char run = '1'; run <= '7'; ++run) {
        world_with_unit_on(sim::Link::USB);
        sim::with_unit([&](sim::VirtualUnit& u) {
            std::memcpy(u.working.registration, QByteArray("N100").append(run).constData(), 6);
            reseal(&u.working);
        });
        MainWindow w;
    }
    const QString dir = state.path() + "/skarvel-efis-config/";
    EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), RunLog::KEPT_RUNS);
    for (int age = 0; age < RunLog::KEPT_RUNS; ++age) {
        const QByteArray text = contents(dir + "skarvel-efis-config.log" + (age ? "." + QString::number(age) : ""));
        EXPECT_TRUE(text.startsWith("Skarvel EFIS Config, run started ")) << age;
        const int logged = text.indexOf(QByteArray("\nDebug: Created string: N100") + char('7' - age) + " (");
        EXPECT_LT(text.indexOf("\nCRC Check Passed.\n"), logged) << age;
        EXPECT_GT(text.indexOf("\nCRC Check Passed.\n"), 0) << age;
    }

    // Unset, empty or relative, XDG_STATE_HOME gives way to ~/.local/state.
    qputenv("HOME", state.path().toLocal8Bit());
    for (const char* xdg : {"", "relative/state"}) {
        qputenv("XDG_STATE_HOME", xdg);
        world_without_unit();
        MainWindow w;
        EXPECT_EQ(RunLog::instance().filePath(),
                  state.path() + "/.local/state/skarvel-efis-config/skarvel-efis-config.log");
        EXPECT_TRUE(contents(RunLog::instance().filePath()).contains("Debug: Failed to establish connection"));
    }
    qputenv("HOME", home);
    qputenv("XDG_STATE_HOME", xdg_before);
}

// A failed upload names the log file; a click on the error opens the Log
// window at it, the flash code's printed reason above it.
TEST(LogWindowTest, ErrorClickOpensTheLogAtTheFailure)
{
    world_with_unit_on(sim::Link::USB);
    sim::with_unit([](sim::VirtualUnit& u) { u.faults.erase_nack_blocks = {833}; });
    flashtest::TempFile fw(flashtest::firmware_file(3 * 65536, 3000, 3000));
    MainWindow w;
    w.firmwareFilePath = QString::fromStdString(fw.path);
    w.ui->pushButton_start_update->setEnabled(true);
    w.ui->pushButton_start_update->click();
    while (w.uploadRunning())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const QString error = w.ui->statusbar->currentMessage();
    EXPECT_EQ(error, "Error: Firmware update failed - erase of block 833 not confirmed");

    QTest::mouseClick(w.ui->statusbar, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    ASSERT_NE(w.logWindow, nullptr);
    EXPECT_TRUE(w.logWindow->isVisible());
    const QTextCursor at = w.logWindow->view->textCursor();
    EXPECT_EQ(at.selectedText(), "Status bar: " + error);
    EXPECT_TRUE(w.logWindow->view->toPlainText().left(at.selectionStart())
                    .contains("send_fw: Erase of block 833 not confirmed, stopping before any write\n"));

    w.logWindow->copyAll();
    EXPECT_EQ(QApplication::clipboard()->text(), w.logWindow->view->toPlainText());
    QTemporaryDir out;
    with_dialog<QFileDialog>([&] { w.logWindow->saveAs(); }, [&](QFileDialog* d) {
        d->selectFile(out.path() + "/kept.log");
        static_cast<QDialog*>(d)->accept();
    });
    const QByteArray kept = contents(out.path() + "/kept.log");
    EXPECT_TRUE(kept.contains(statusLine(error)));
    EXPECT_TRUE(contents(RunLog::instance().filePath()).startsWith(kept));

    // View > Log opens it at the end.
    w.logWindow->close();
    w.findChild<QAction*>("actionLog")->trigger();
    EXPECT_TRUE(w.logWindow->isVisible());
    EXPECT_TRUE(w.logWindow->view->textCursor().atEnd());
}

}  // namespace
