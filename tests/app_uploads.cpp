// The upload tabs through the real window, file dialog and worker thread,
// against the virtual unit's flash: what the bar and the status say during
// and after an upload, that nothing else uses the link meanwhile, and that
// closing the window mid-upload is safe.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include "app_util.h"
#include "flash_support.h"

namespace {

using namespace apptest;
using flashtest::Bytes;
using flashtest::TempFile;
using sim::Link;

// Chooses `path` in the file dialog the button opens, or cancels it when
// `path` is empty.
void choose_file(QPushButton* button, const QString& path)
{
    answer_dialog<QFileDialog>([&] { button->click(); }, [&](QFileDialog* d) {
        if (path.isEmpty()) {
            d->reject();
        } else {
            d->selectFile(path);
            static_cast<QDialog*>(d)->accept();  // QFileDialog's own accept is protected
        }
    });
}

class Uploads : public testing::TestWithParam<Link> {
protected:
    void SetUp() override { world_with_unit_on(GetParam()); }

    // The window with `file` chosen on the firmware tab (or the airport tab).
    std::unique_ptr<MainWindow> open_with(const std::string& path, bool airport)
    {
        auto w = std::make_unique<MainWindow>();
        choose_file(airport ? w->ui->pushButton_browse_airports : w->ui->pushButton_browse,
                    QString::fromStdString(path));
        return w;
    }

    // Starts the upload and records every bar value and status text until it
    // has finished.
    std::vector<int> run(MainWindow& w, bool airport, QStringList* statuses = nullptr)
    {
        QProgressBar* bar = airport ? w.ui->progressBar_airports : w.ui->progressBar_firmware;
        std::vector<int> bars;
        QStringList texts;
        QMetaObject::Connection c1 =
            QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) { bars.push_back(v); });
        QMetaObject::Connection c2 =
            QObject::connect(w.ui->statusbar, &QStatusBar::messageChanged, [&](const QString& m) { texts << m; });
        (airport ? w.ui->pushButton_start_airport : w.ui->pushButton_start_update)->click();
        EXPECT_TRUE(wait_until([&] { return !w.uploadRunning(); }, 30000));
        QObject::disconnect(c1);
        QObject::disconnect(c2);
        if (statuses)
            *statuses = texts;
        return bars;
    }
};

INSTANTIATE_TEST_SUITE_P(Links, Uploads, testing::Values(Link::USB, Link::CAN),
                         [](const testing::TestParamInfo<Link>& i) { return i.param == Link::USB ? "USB" : "CAN"; });

TEST_P(Uploads, FirmwareUploadReportsEachBlockAndEndsFull)
{
    const Bytes file = flashtest::firmware_file(10 * 65536, 5000, 5000);
    TempFile f(file);
    auto w = open_with(f.path, false);
    EXPECT_EQ(w->ui->text_firmware_file->toPlainText().toStdString(), QFileInfo(f.path.c_str()).fileName().toStdString());
    EXPECT_TRUE(w->ui->pushButton_start_update->isEnabled());
    QStringList statuses;
    std::vector<int> bars = run(*w, false, &statuses);

    // Ten erases of 120 units each, then the write phase up to the full bar.
    bars.erase(std::remove(bars.begin(), bars.end(), 0), bars.end());
    ASSERT_GE(bars.size(), 11u);
    EXPECT_EQ(std::vector<int>(bars.begin(), bars.begin() + 10),
              (std::vector<int>{120, 240, 360, 480, 600, 720, 840, 960, 1080, 1200}));
    EXPECT_EQ(bars.back(), 10000);
    EXPECT_TRUE(statuses.contains("Erasing: 10 / 10 blocks")) << statuses.join("|").toStdString();
    EXPECT_TRUE(statuses.contains("Uploading: 5000 / 5000 bytes")) << statuses.join("|").toStdString();
    EXPECT_EQ(status(*w), "Firmware update completed");
    EXPECT_EQ(unit().flash.read(FW_BANK1_START_PAGE * MX25_BLOCK_SIZE, file.size()), file);
    EXPECT_TRUE(w->ui->pushButton_browse->isEnabled());
    EXPECT_TRUE(w->ui->pushButton_start_update->isEnabled());
}

// Each failure says why in the status bar. A file that fails the check is
// refused before the unit hears anything.
TEST_P(Uploads, FailureIsReportedAndTheBarStaysWhereItStopped)
{
    const Bytes firmware = flashtest::firmware_file(3 * 65536, 3000, 3000);
    const Bytes database = flashtest::pattern(5000, 9);
    const std::string closed = "; the unit's airport database stays closed until a complete transfer";
    struct Case {
        bool airport;
        Bytes file;
        std::function<void(sim::UnitFaults&)> fault;
        std::string status;
    } cases[] = {
        {false, firmware, [](sim::UnitFaults& f) { f.erase_nack_blocks = {833}; },
         "Error: Firmware update failed - erase of block 833 not confirmed"},
        // The payload runs past its one block.
        {false, flashtest::firmware_file(65536, 65536, 3000), [](sim::UnitFaults&) {},
         "Error: Firmware update failed - the file is not a firmware image (its header's sizes do not fit a bank)"},
        {true, database, [](sim::UnitFaults& f) { f.packet_nack = {40}; },
         "Error: Airport database transfer failed - write of packet 40 not acknowledged" + closed},
        {true, database, [](sim::UnitFaults& f) { f.unplug_after_packets = 20; },
         "Error: Airport database transfer failed - write of packet 20 not acknowledged" + closed},
        {true, database, [](sim::UnitFaults& f) { f.nack = {CANMSG_AIRPORT_DB_OP}; },
         "Error: Airport database transfer failed - closing the airport database not acknowledged" + closed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        world_with_unit_on(GetParam());
        sim::with_unit([&](sim::VirtualUnit& u) { c.fault(u.faults); });
        TempFile file(c.file);
        auto w = open_with(file.path, c.airport);
        forget_traffic();
        run(*w, c.airport);
        EXPECT_EQ(status(*w), c.status);
        const bool refused = c.status.find("the file") != std::string::npos;
        EXPECT_EQ(requests().empty(), refused);
        QProgressBar* bar = c.airport ? w->ui->progressBar_airports : w->ui->progressBar_firmware;
        EXPECT_LT(bar->value(), 10000);
        EXPECT_TRUE((c.airport ? w->ui->pushButton_start_airport : w->ui->pushButton_start_update)->isEnabled());
        EXPECT_TRUE(w->ui->pushButton_load->isEnabled());
    }
}

// Cancel stops the upload at the next block or packet boundary, and the
// status says what the unit is left with.
TEST_P(Uploads, CancelStopsAtABoundaryAndSaysWhatTheUnitHolds)
{
    const struct {
        bool airport;
        Bytes file;
        const char* cancel_at;  // the progress text at which Cancel is pressed
        const char* status;     // with the bytes written or blocks erased in (\d+)
    } cases[] = {
        {true, flashtest::pattern(4 << 20, 6), "Uploading airport database: ",
         "Warning: Airport database transfer stopped - cancelled after (\\d+) of 4194304 bytes; the unit's airport "
         "database stays closed until a complete transfer"},
        {false, flashtest::firmware_file(64 * 65536, 100, 100), "Erasing: ",
         "Warning: Firmware update stopped - cancelled after (\\d+) of 64 blocks were erased; the unit keeps "
         "running the firmware it has"},
    };
    for (const auto& c : cases) {
        world_with_unit_on(GetParam());
        sim::with_unit([](sim::VirtualUnit& u) { u.erase_us = 20000; });
        TempFile file(c.file);
        auto w = open_with(file.path, c.airport);
        QPushButton* cancel = c.airport ? w->ui->pushButton_cancel_airport : w->ui->pushButton_cancel_fw;
        QObject::connect(w->ui->statusbar, &QStatusBar::messageChanged, cancel, [&](const QString& m) {
            if (m.startsWith(c.cancel_at) && cancel->isEnabled())
                cancel->click();
        });
        run(*w, c.airport);
        const QRegularExpressionMatch m = QRegularExpression(c.status).match(w->ui->statusbar->currentMessage());
        ASSERT_TRUE(m.hasMatch()) << status(*w);
        const uint32_t done = m.captured(1).toUInt();
        const sim::VirtualUnit u = unit();
        // Whole packets or blocks, each confirmed: the unit holds what the status says.
        if (c.airport) {
            EXPECT_EQ(u.flash.read(0, done), Bytes(c.file.begin(), c.file.begin() + done));
            EXPECT_TRUE(u.flash.erased(done, 64));
            EXPECT_FALSE(u.airport_db_open);
        } else {
            EXPECT_EQ(flashtest::received(CANMSG_ERASE_MX25), done);
            EXPECT_EQ(flashtest::received(CANMSG_WRITE_MX25), 0u);
        }
        EXPECT_FALSE(cancel->isEnabled());
    }
}

// From start to finish the upload owns the link: the settings commands and
// the other tab cannot start anything, and all return as they were.
TEST_P(Uploads, TheLinkBelongsToTheUpload)
{
    TempFile db(flashtest::pattern(256 * 1024, 4));
    auto w = open_with(db.path, true);
    TempFile fw(flashtest::firmware_file(65536, 100, 100));
    choose_file(w->ui->pushButton_browse, QString::fromStdString(fw.path));
    // An edit gives Update something to send.
    w->ui->spinBox_vne->setValue(w->ui->spinBox_vne->value() + 1);
    QWidget* const held[] = {w->ui->pushButton_load, w->ui->pushButton_update, w->ui->pushButton_save,
                             w->ui->pushButton_reboot, w->ui->pushButton_browse, w->ui->pushButton_start_update};
    for (QWidget* h : held)
        ASSERT_TRUE(h->isEnabled());

    w->ui->pushButton_start_airport->click();
    ASSERT_TRUE(w->uploadRunning());
    for (QWidget* h : held)
        EXPECT_FALSE(h->isEnabled()) << h->objectName().toStdString();
    EXPECT_TRUE(w->ui->pushButton_cancel_airport->isEnabled());
    EXPECT_FALSE(w->ui->pushButton_cancel_fw->isEnabled());
    // Called directly, the settings commands and the other upload refuse too.
    forget_traffic();
    w->loadConfigFromDevice();
    EXPECT_TRUE(starts_with(status(*w), "Error:")) << status(*w);
    QMetaObject::invokeMethod(w.get(), "onStartUpdateClicked", Qt::DirectConnection);
    EXPECT_EQ(status(*w), "Finish airport transfer before firmware update");
    QMetaObject::invokeMethod(w.get(), "onStartAirportClicked", Qt::DirectConnection);
    EXPECT_EQ(status(*w), "Airport transfer already in progress");
    EXPECT_TRUE(requests_with(CANMSG_REQUEST_USER_SETTING).empty());

    ASSERT_TRUE(wait_until([&] { return !w->uploadRunning(); }, 30000));
    EXPECT_EQ(status(*w), "Airport database transfer finished");
    for (QWidget* h : held)
        EXPECT_TRUE(h->isEnabled()) << h->objectName().toStdString();
}

// Closing the window mid-upload stops the upload at a packet boundary and
// leaves the unit's database closed; nothing is used after it is freed.
// Before that, a few seconds in, the status shows the time left.
TEST_P(Uploads, ClosingMidUploadIsSafeAndTheTimeLeftIsShown)
{
    TempFile db(flashtest::pattern(8 * 1024 * 1024, 5));
    auto w = open_with(db.path, true);
    w->ui->pushButton_start_airport->click();
    EXPECT_TRUE(wait_until([&] { return status(*w).find("left") != std::string::npos; }, 8000)) << status(*w);
    EXPECT_TRUE(starts_with(status(*w), "Uploading airport database: ")) << status(*w);
    ASSERT_TRUE(w->uploadRunning());

    QElapsedTimer t;
    t.start();
    w.reset();
    EXPECT_LT(t.elapsed(), 3000);
    const sim::VirtualUnit u = unit();
    EXPECT_FALSE(u.airport_db_open);
    EXPECT_EQ(u.flash.describe_violations(), "");
}

TEST(UploadTabs, ChecksBeforeStartingAndAChoiceThatIsCancelled)
{
    world_without_unit();
    MainWindow w;
    w.ui->pushButton_start_update->setEnabled(true);
    w.ui->pushButton_start_update->click();
    EXPECT_EQ(status(w), "No firmware file selected");
    QMetaObject::invokeMethod(&w, "onStartAirportClicked", Qt::DirectConnection);
    EXPECT_EQ(status(w), "No airport database file selected");

    choose_file(w.ui->pushButton_browse, QString());
    EXPECT_TRUE(w.firmwareFilePath.isEmpty());
    EXPECT_FALSE(w.ui->text_firmware_file->isEnabled());
    TempFile f(Bytes(64, 0));
    choose_file(w.ui->pushButton_browse, QString::fromStdString(f.path));
    EXPECT_EQ(w.firmwareFilePath.toStdString(), f.path);
    w.ui->pushButton_start_update->click();
    EXPECT_EQ(status(w), "Device not connected. Please connect to device first.");
    EXPECT_FALSE(w.uploadRunning());

    // The percent-style setters, a total of 0 included.
    const struct {
        void (MainWindow::*set)(uint32_t, uint32_t);
        uint32_t a, b;
        int bar;
        const char* text;
    } setters[] = {
        {&MainWindow::updateEraseProgress, 3, 12, 25, "Erase Progress: 3 / 12 pages"},
        {&MainWindow::updateWriteProgress, 5, 0, 0, "Write Progress: 5 / 0 bytes"},
        {&MainWindow::updateVerifyProgress, 4000000000u, 4000000000u, 100, "Verify Progress: 4000000000 / 4000000000 bytes"},
    };
    for (const auto& s : setters) {
        (w.*s.set)(s.a, s.b);
        EXPECT_EQ(w.ui->progressBar_firmware->value(), s.bar);
        EXPECT_EQ(status(w), s.text);
    }
}

}  // namespace
