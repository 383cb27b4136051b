// The window's log: a file per run under $XDG_STATE_HOME, the last five
// kept, with the handler's lines and standard output's in the order
// printed; a second window beside a running one; the Log window opened at
// its end or at a failure, copied and saved.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A descriptor of `path` holding it locked as a running window does; -1
// when another one holds it.
int hold(const QString& path, const QByteArray& text = QByteArray())
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    EXPECT_EQ(::write(fd, text.constData(), size_t(text.size())), text.size());
    return fd;
}

// The state directory in a temporary folder while the test runs.
struct StateHome {
    QTemporaryDir state;
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    const QString dir = state.path() + "/skarvel-efis-config";
    StateHome()
    {
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        QDir().mkpath(dir);
    }
    ~StateHome() { qputenv("XDG_STATE_HOME", before); }
};

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
        const int logged = text.indexOf(QByteArray("\nDebug: Created string: N100") + char('7' - age) + "\n");
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

// A window started while another one writes the log writes a file of its
// own beside it and names it; the other's file is neither rotated nor
// written. Once nobody holds it, the runs rotate again. Of the files
// beside it, those of windows still running and the newest five stay.
TEST(RunLogFiles, ASecondWindowWritesAFileOfItsOwn)
{
    StateHome home;
    const QString newest = home.dir + "/skarvel-efis-config.log";
    const QString own = home.dir + QString("/skarvel-efis-config-%1.log").arg(::getpid());
    world_without_unit();
    const int other = hold(newest, "the first window's run\n");
    ASSERT_GE(other, 0);
    {
        MainWindow w;
        EXPECT_EQ(RunLog::instance().filePath(), own);
        w.findChild<QAction*>("actionLog")->trigger();
        EXPECT_EQ(w.logWindow->fileLabel->text(), "Log file: " + own);
        EXPECT_TRUE(contents(own).startsWith("Skarvel EFIS Config, run started "));
        EXPECT_EQ(hold(own), -1);
    }
    EXPECT_EQ(contents(newest), "the first window's run\n");
    EXPECT_FALSE(QFile::exists(newest + ".1"));
    ::close(other);
    {
        MainWindow w;
        EXPECT_EQ(RunLog::instance().filePath(), newest);
        EXPECT_EQ(contents(newest + ".1"), "the first window's run\n");
        EXPECT_EQ(hold(newest), -1);
    }

    // Side files by age in hours; the oldest is still written.
    std::vector<int> held;
    for (int hours = 1; hours <= 7; ++hours) {
        const QString name = home.dir + QString("/skarvel-efis-config-%1.log").arg(900000 + hours);
        const int fd = hold(name);
        const timespec then[2] = {{time(nullptr) - hours * 3600, 0}, {time(nullptr) - hours * 3600, 0}};
        ::futimens(fd, then);
        if (hours == 7)
            held.push_back(fd);
        else
            ::close(fd);
    }
    held.push_back(hold(newest));
    { MainWindow w; }
    QStringList left = QDir(home.dir).entryList({"skarvel-efis-config-*.log"}, QDir::Files);
    QStringList kept = {"skarvel-efis-config-900001.log", "skarvel-efis-config-900002.log",
                        "skarvel-efis-config-900003.log", "skarvel-efis-config-900004.log",
                        "skarvel-efis-config-900007.log", QFileInfo(own).fileName()};
    left.sort();
    kept.sort();
    EXPECT_EQ(left, kept);
    for (int fd : held)
        ::close(fd);
}

// The Log window opens with the end of the log at the bottom of the view,
// or at a failure with its status line in sight: in the middle when the
// lines around it allow.
TEST(LogWindowTest, OpensAtTheEndOrAtTheFailure)
{
    StateHome home;
    const QString failure = "Error: Firmware update failed - erase of block 833 not confirmed";
    struct Case {
        const char* name;
        int before, after;  // lines before and after the failure's, -1: none
    };
    const Case cases[] = {
        {"296 lines", 296, -1},          {"3 lines", 3, -1},
        {"failure in the middle", 150, 145}, {"failure near the top", 2, 293},
        {"failure at the end", 295, 0},
    };
    for (const Case& c : cases) {
        RunLog& log = RunLog::instance();
        const int run = log.startRun();
        for (int i = 0; i < c.before + c.after + 1; ++i)
            log.append(i == c.before && c.after >= 0 ? statusLine(failure)
                                                     : "line " + QByteArray::number(i) + " of the run\n");
        LogWindow w;
        if (c.after < 0)
            w.showEnd();
        else
            w.showFailure(failure);
        QPlainTextEdit* v = w.view;
        const int height = v->viewport()->height();
        QTextCursor end(v->document());
        end.movePosition(QTextCursor::End);
        const QRect last = v->cursorRect(end);
        const QRect at = c.after < 0 ? last : v->cursorRect(v->textCursor());
        EXPECT_TRUE(c.after < 0 || v->textCursor().selectedText() == "Status bar: " + failure) << c.name;
        EXPECT_GE(at.top(), 0) << c.name;
        EXPECT_LE(at.bottom(), height) << c.name;
        const bool longer = v->verticalScrollBar()->maximum() > 0;
        EXPECT_TRUE(c.after > 0 || !longer || last.bottom() > height - 2 * last.height())
            << c.name << ": the end fills the view";
        EXPECT_TRUE(c.before <= 20 || c.after <= 20 || std::abs(at.center().y() - height / 2) <= at.height())
            << c.name << ": centred";
        log.endRun(run);
    }
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

    QTest::mouseClick(w.ui->statusbar->findChild<QLabel*>("label_status"), Qt::LeftButton, Qt::NoModifier,
                      QPoint(5, 5));
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

// The owner's actions and what came of them, in order, for the owner to
// read: no source paths of the program's own lines.
TEST(RunLogFiles, KeepsTheOwnersActionsAndTheirOutcomes)
{
    StateHome state;
    world_with_unit_on(sim::Link::USB);
    flashtest::TempFile fw(flashtest::firmware_file(65536, 3000, 3000));
    MainWindow w;
    w.show();
    const struct {
        const char* action;
        std::function<void()> act;
    } steps[] = {
        {"Update",
         [&] {
             w.ui->spinBox_vne->setValue(w.ui->spinBox_vne->value() + 1);
             w.ui->pushButton_update->click();
         }},
        {"Save", [&] { w.ui->pushButton_save->click(); }},
        {"Reboot", [&] { w.ui->pushButton_reboot->click(); }},
        {"Load", [&] { w.ui->pushButton_load->click(); }},
        {"Start firmware upload of ", [&] {
             w.firmwareFilePath = QString::fromStdString(fw.path);
             w.ui->pushButton_start_update->setEnabled(true);
             w.ui->pushButton_start_update->click();
             while (w.uploadRunning())
                 QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
         }},
    };
    qint64 from = 0;
    RunLog::instance().textFrom(&from);
    for (const auto& step : steps) {
        step.act();
        const QByteArray logged = RunLog::instance().textFrom(&from);
        const int owner = logged.indexOf(QByteArray("Owner: ") + step.action);
        EXPECT_GE(owner, 0) << step.action << "\n" << logged.toStdString();
        EXPECT_GT(logged.indexOf(statusLine(w.ui->statusbar->currentMessage()), owner), owner)
            << step.action << "\n" << logged.toStdString();
    }
    EXPECT_EQ(status(w), "Firmware update completed");
    const QByteArray all = RunLog::instance().text();
    EXPECT_FALSE(all.contains(".cpp:") || all.contains("(:0, )")) << all.toStdString();
}

}  // namespace
