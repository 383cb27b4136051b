// What the owner sees through the real window: a refused upload file costs no
// question and no copy, a cancelled upload's bar stays where it stopped, the
// colour dialog names the colour, and a number typed past a field's range is
// said and kept as typed, never taken.

#include <gtest/gtest.h>

#include <QColorDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <string>

#include "app_util.h"
#include "flash_support.h"
#include "settings_doc/settings_file.h"

namespace {

using namespace apptest;
using flashtest::Bytes;
using flashtest::TempFile;

// XDG_DATA_HOME of the test's own, where the backups folder goes.
struct DataHome {
    QTemporaryDir dir;
    QByteArray saved = qgetenv("XDG_DATA_HOME");
    DataHome() { qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath("data"))); }
    ~DataHome() { qputenv("XDG_DATA_HOME", saved); }

    // Every file under it: the backups kept.
    QStringList files() const
    {
        QStringList found;
        std::function<void(const QString&)> walk = [&](const QString& path) {
            for (const QFileInfo& i : QDir(path).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
                if (i.isDir())
                    walk(i.filePath());
                else
                    found << i.filePath();
            }
        };
        walk(dir.path());
        return found;
    }
};

// Runs `act`; the titles of the modal dialogs it opened, each rejected.
QStringList dialogs_opened(const std::function<void()>& act)
{
    QStringList titles;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QDialog* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            if (d->isVisible()) {
                titles << d->windowTitle();
                d->reject();
            }
        }
    });
    poll.start(5);
    act();
    return titles;
}

// A file of `size` bytes that takes no room on disk.
std::string sparse_file(const QTemporaryDir& dir, const char* name, qint64 size)
{
    QFile f(dir.filePath(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(size));
    return f.fileName().toStdString();
}

// Both links reach the unit, so a valid file would be offered CAN FD, and a
// firmware file would first have the unit's settings kept.
TEST(OwnerFixes, ARefusedFileAsksNothingKeepsNothingAndSaysWhy)
{
    QTemporaryDir dir;
    const struct {
        bool airport;
        std::function<std::string()> file;
        std::string status;  // its start: the limit in bytes follows
    } cases[] = {
        {false, [&] { return sparse_file(dir, "short.bin", 27); },
         "Error: Firmware update failed - the file is shorter than a firmware header (64 bytes)"},
        {false, [&] { return sparse_file(dir, "huge.bin", 200ll << 20); },
         "Error: Firmware update failed - the file is larger than any firmware image (more than "},
        {true, [&] { return sparse_file(dir, "empty.db", 0); },
         "Error: Airport database transfer failed - the file is empty"},
        {true, [&] { return sparse_file(dir, "huge.db", 200ll << 20); },
         "Error: Airport database transfer failed - the file is larger than the airport region ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        DataHome home;
        sim::reset();
        MainWindow w;
        ASSERT_TRUE(w.comms && w.comms->isConnected());
        (c.airport ? w.airportDbFilePath : w.firmwareFilePath) = QString::fromStdString(c.file());
        forget_traffic();
        const QStringList asked = dialogs_opened([&] {
            QMetaObject::invokeMethod(&w, c.airport ? "onStartAirportClicked" : "onStartUpdateClicked");
        });
        EXPECT_TRUE(asked.isEmpty()) << asked.join("|").toStdString();
        EXPECT_FALSE(w.uploadRunning());
        EXPECT_TRUE(starts_with(status(w), c.status.c_str())) << status(w);
        EXPECT_TRUE(home.files().isEmpty()) << home.files().join("|").toStdString();
        EXPECT_TRUE(hid_ids().empty());
        EXPECT_TRUE(can_ids().empty());
        EXPECT_EQ(unit_received_count(), 0);
    }
}

// Cancel leaves the bar where the upload stopped, saying so; the next upload
// starts from an empty bar without that word.
TEST(OwnerFixes, ACancelledUploadKeepsItsBarAndSaysCancelled)
{
    const struct {
        bool airport;
        Bytes file;
        const char* cancel_at;
    } cases[] = {
        {true, flashtest::pattern(4 << 20, 6), "Uploading airport database: "},
        {false, flashtest::firmware_file(64 * 65536, 100, 100), "Erasing: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cancel_at);
        DataHome home;
        linktest::world_with_unit_on(sim::Link::USB);
        sim::with_unit([](sim::VirtualUnit& u) { u.erase_us = 20000; });
        TempFile file(c.file);
        MainWindow w;
        (c.airport ? w.airportDbFilePath : w.firmwareFilePath) = QString::fromStdString(file.path);
        QProgressBar* bar = c.airport ? w.ui->progressBar_airports : w.ui->progressBar_firmware;
        QPushButton* cancel = c.airport ? w.ui->pushButton_cancel_airport : w.ui->pushButton_cancel_fw;
        QPushButton* start = c.airport ? w.ui->pushButton_start_airport : w.ui->pushButton_start_update;
        int last = -1;
        QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) { last = v; });
        QObject::connect(w.ui->statusbar, &QStatusBar::messageChanged, cancel, [&](const QString& m) {
            if (m.startsWith(c.cancel_at) && cancel->isEnabled())
                cancel->click();
        });
        start->setEnabled(true);
        start->click();
        ASSERT_TRUE(wait_until([&] { return !w.uploadRunning(); }, 30000));
        EXPECT_TRUE(status(w).find("cancelled after") != std::string::npos) << status(w);
        EXPECT_GT(bar->value(), 0);
        EXPECT_LT(bar->value(), 10000);
        EXPECT_EQ(bar->value(), last);
        EXPECT_TRUE(bar->text().contains("cancelled")) << bar->text().toStdString();

        QObject::disconnect(w.ui->statusbar, &QStatusBar::messageChanged, cancel, nullptr);
        start->setEnabled(true);  // the file was set without the dialog that enables it
        start->click();
        EXPECT_TRUE(w.uploadRunning());
        EXPECT_EQ(bar->value(), 0);
        EXPECT_FALSE(bar->text().contains("cancelled")) << bar->text().toStdString();
        cancel->click();
        ASSERT_TRUE(wait_until([&] { return !w.uploadRunning(); }, 30000));
    }
}

TEST(OwnerFixes, TheColourDialogNamesTheColourAsTheFormDoes)
{
    linktest::world_with_unit_on(sim::Link::USB);
    MainWindow w;
    const struct {
        QPushButton* Ui_MainWindow::*swatch;
        const char* title;
    } cases[] = {
        {&Ui_MainWindow::color_picker_sky0, "Select Sky Upper colour"},
        {&Ui_MainWindow::color_picker_green, "Select Green Arc colour"},
        {&Ui_MainWindow::color_picker_ground1, "Select Ground Lower colour"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE((w.ui->*c.swatch)->isEnabled());
        const QStringList titles = dialogs_opened([&] { (w.ui->*c.swatch)->click(); });
        EXPECT_EQ(titles, QStringList{c.title});
    }
}

// Typed, Enter pressed and the focus moved on: the text stays as typed, the
// status says what is wrong, the record keeps its value, and Update and Save
// send nothing while the field holds it.
TEST(OwnerFixes, ANumberPastItsRangeIsSaidNeverTaken)
{
    const struct {
        const char* field;
        settings_struct_index index;
        int airspeed_units;  // the list's entry: 0 MPH, 1 Knots, 2 KPH
        const char* typed;
        const char* status;  // empty: the value is taken
    } cases[] = {
        {"spinBox_vne", VNE_INDEX, 1, "250",
         "Vne 250 is above the highest value, 240 kt"},
        {"spinBox_vs0", VS0_INDEX, 0, "300",
         "Vs0 300 is above the highest value, 255 mph"},
        {"spinBox_vfe", VFE_INDEX, 2, "-5",
         "Vfe -5 is below the lowest value, 0 km/h"},
        {"min_volt_warn_value", MIN_VOLTS_INDEX,
         1, "70", "Min Volt Warning 70 is above the highest value, 65.0 V"},
        {"roll_corr_spinbox",
         ROLL_CORRECTION_INDEX, 1, "-95", "Roll Correction -95 is below the lowest value, -90.0\u00B0"},
        {"spinBox_vne", VNE_INDEX, 1, "200", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        linktest::world_with_unit_on(sim::Link::USB);
        MainWindow w;
        w.show();
        QApplication::setActiveWindow(&w);
        w.ui->tabWidget->setCurrentWidget(w.ui->tabWidget->widget(0));
        w.ui->comboBox_airspeed->setCurrentIndex(c.airspeed_units);
        QAbstractSpinBox* box = w.findChild<QAbstractSpinBox*>(c.field);
        ASSERT_TRUE(box);
        const uint32_t before = settings_doc::value_at(user_config, c.index);
        // Another edit is pending, so Update has something it would send.
        w.ui->spinBox_vlo->setValue(w.ui->spinBox_vlo->value() == 100 ? 101 : 100);

        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, c.typed);
        QTest::keyClick(box, Qt::Key_Return);
        w.ui->spinBox_vlo->setFocus();
        EXPECT_EQ(box->text().toStdString(), c.typed);
        if (*c.status == '\0') {
            EXPECT_EQ(settings_doc::value_at(user_config, c.index), uint32_t(std::stoi(c.typed)));
            continue;
        }
        EXPECT_EQ(status(w), c.status);
        EXPECT_NE(box->toolTip().toStdString().find(c.status), std::string::npos) << box->toolTip().toStdString();
        EXPECT_EQ(settings_doc::value_at(user_config, c.index), before);

        // Switching tabs keeps the text as typed.
        w.ui->tabWidget->setCurrentIndex(1);
        w.ui->tabWidget->setCurrentIndex(0);
        EXPECT_EQ(box->text().toStdString(), c.typed);

        forget_traffic();
        for (QPushButton* command : {w.ui->pushButton_update, w.ui->pushButton_save}) {
            command->click();
            EXPECT_EQ(status(w), std::string("Error: ") + c.status + " - correct the marked field; nothing sent");
        }
        EXPECT_TRUE(requests_with(CANMSG_SET_USER_SETTING).empty());
        EXPECT_TRUE(requests_with(CANMSG_SAVE_USER_SETTINGS).empty());
        EXPECT_EQ(settings_doc::value_at(user_config, c.index), before);
    }
}

}  // namespace

namespace {

// The copies Import offers say what each was kept before.
TEST(OwnerFixes, TheKeptCopiesSayWhatTheyWereKeptBefore)
{
    DataHome data;
    world_with_unit_on(sim::Link::USB);
    MainWindow w;
    w.ui->spinBox_vne->setValue(w.ui->spinBox_vne->value() + 1);
    w.ui->pushButton_save->click();
    ASSERT_EQ(status(w), SAVED);
    QStringList offered;
    EXPECT_TRUE(answer_dialog<QInputDialog>([&] { w.importSettings(); },
                                            [&](QInputDialog* d) {
                                                offered = d->comboBoxItems();
                                                d->reject();
                                            }));
    ASSERT_EQ(offered.size(), 2);
    EXPECT_TRUE(offered[0].endsWith(", before Save")) << offered[0].toStdString();
    EXPECT_EQ(offered[1], "Another file...");
}

}  // namespace
