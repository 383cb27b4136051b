// What the user types is what the unit gets: the Tab order, the two one-line
// text fields, the marks on contradicting limits, the refused registration,
// the colour swatches, the link indicator and the form at every screen
// density.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QLabel>
#include <QProcess>
#include <QScrollBar>
#include <QTest>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>

#include "app_form_table.h"
#include "app_util.h"
#include "tools/caption_fit.h"

namespace {

bool marked(const QWidget* w) { return w->palette().base() != QApplication::palette(w).base(); }

class Polish : public ::testing::Test {
protected:
    Polish()
    {
        // The fields wait for a record loaded from a unit.
        apptest::world_with_unit_on(sim::Link::USB);
        w = std::make_unique<MainWindow>();
        ui = w->ui;
        // The text fields start empty, as edits of the loaded record.
        ui->text_registration_num->clear();
        ui->text_icao->clear();
        w->show();
        QApplication::setActiveWindow(w.get());
    }
    std::unique_ptr<MainWindow> w;
    Ui_MainWindow* ui = nullptr;
};

TEST_F(Polish, TabWalksTheSettingsTabAsLaidOut)
{
    std::vector<std::string> want(form_table::focus_order().begin(), form_table::focus_order().begin() + 41), walked;
    want.erase(std::find(want.begin(), want.end(), "radioButton_rand_icao"));  // Tab takes the chosen one only
    ui->comboBox_reg_prefix->setFocus();
    for (size_t i = 0; i < want.size(); ++i, QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab))
        walked.push_back(QApplication::focusWidget()->objectName().toStdString());
    EXPECT_EQ(walked, want);
}

TEST_F(Polish, TextFieldsStayOneLineAndTellWhatIsStored)
{
    for (QPlainTextEdit* field : {ui->text_registration_num, ui->text_icao}) {
        QTest::keyClicks(field, "12");
        QTest::keyClick(field, Qt::Key_Return);
        QApplication::clipboard()->setText(QString::fromUtf8("3\r\n4\u2028"));
        field->paste();
        field->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // the mouse wheel
        EXPECT_EQ(field->toPlainText(), "1234");
        EXPECT_EQ(field->verticalScrollBar()->value(), 0) << "its one line scrolled away";
    }
    EXPECT_STREQ(user_config.registration, "N1234");
    EXPECT_EQ(user_config.ownship_icao, 0x1234u);

    QPlainTextEdit* reg = ui->text_registration_num;
    reg->setFocus();
    QTest::keyClicks(reg, "56789ABC");
    EXPECT_STREQ(user_config.registration, "N123456789A");
    const char* why = "\"N123456789ABC\" cannot be stored - longer than 11 characters";
    EXPECT_TRUE(marked(reg) && reg->toolTip().contains(why)) << reg->toolTip().toStdString();
    EXPECT_NE(apptest::status(*w).find(why), std::string::npos);
    EXPECT_GT(reg->horizontalScrollBar()->value(), 0);
    QTest::keyClick(reg, Qt::Key_Tab);
    EXPECT_EQ(reg->horizontalScrollBar()->value(), 0) << "left, it shows its start";

    for (const char* no_address : {"1234567", "", "12G"}) {
        ui->text_icao->setPlainText(no_address);
        EXPECT_EQ(user_config.ownship_icao, 0x1234u) << no_address;
        EXPECT_TRUE(marked(ui->text_icao) && ui->text_icao->toolTip().contains("001234")) << no_address;
    }
}

TEST_F(Polish, ContradictingLimitsAreMarkedNotRefused)
{
    QAbstractSpinBox* const box[] = {ui->spinBox_vs0,          ui->spinBox_vs1,         ui->spinBox_vfe,
                                     ui->spinBox_vn0,          ui->spinBox_vne,         ui->spinBox_vlo,
                                     ui->min_volt_alert_value, ui->min_volt_warn_value, ui->max_volt_warn_value,
                                     ui->max_volt_alert_value};
    box[1]->setToolTip("own tip");
    user_config.vspeeds = {30, 50, 50, 160, 160, 160, 65, 160};  // plausible, every <= at its edge
    user_config.volt_alerts = {115, 150};
    user_config.volt_warnings = {115, 150};
    w->updateUIFromConfig();
    ui->statusbar->showMessage("kept");
    const struct {
        int changed;
        double value;
        std::set<int> marks;
    } cases[] = {{0, 51, {0, 1}},  {1, 161, {1, 3}}, {3, 161, {3, 4}},     {2, 161, {2, 4}},   {5, 161, {5, 4}},
                 {4, 159, {3, 2, 5, 4}}, {6, 11.6, {6, 7}}, {8, 11.5, {7, 8}}, {9, 14.9, {8, 9}}};
    for (const auto& c : cases) {
        const QVariant before = box[c.changed]->property("value");
        box[c.changed]->setProperty("value", c.value);
        EXPECT_DOUBLE_EQ(box[c.changed]->property("value").toDouble(), c.value);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(marked(box[i]), c.marks.count(i) == 1) << i << " after " << c.changed;
            EXPECT_EQ(box[i]->toolTip().contains(" is "), c.marks.count(i) == 1) << i << " after " << c.changed;
        }
        box[c.changed]->setProperty("value", before);
        EXPECT_FALSE(marked(box[c.changed]));
    }
    EXPECT_EQ(box[1]->toolTip(), "own tip");
    EXPECT_EQ(apptest::status(*w), "kept");
    user_config.vspeeds.Vs0 = 90;  // a loaded record is judged too
    w->updateUIFromConfig();
    EXPECT_TRUE(marked(box[0]) && marked(box[1]));
}

// A registration the window marks is never sent: Update and Save refuse it,
// nothing reaches the unit, and every edit stays pending until it is fixed.
TEST(PolishRegistration, MarkedRegistrationIsRefusedAndNothingElseLost)
{
    apptest::world_with_unit_on(sim::Link::USB);
    MainWindow w;
    Ui_MainWindow* ui = w.ui;
    ui->spinBox_vne->setValue(181);
    ui->text_registration_num->setPlainText(QString::fromUtf8("xyz \u00e9-123456789"));
    EXPECT_TRUE(marked(ui->text_registration_num));
    apptest::forget_traffic();
    for (QPushButton* button : {ui->pushButton_update, ui->pushButton_save}) {
        button->click();
        EXPECT_EQ(apptest::status(w),
                  "Error: registration \"Nxyz \u00e9-123456789\" cannot be stored - fix the marked field");
        EXPECT_EQ(apptest::unit_received_count(), 0) << button->text().toStdString();
    }
    EXPECT_EQ(w.changed_values.count(VNE_INDEX), 1u);

    ui->text_registration_num->setPlainText("XYZ-1");
    EXPECT_FALSE(marked(ui->text_registration_num));
    ui->pushButton_update->click();
    // Counted in fields: Vne and the registration.
    EXPECT_EQ(apptest::status(w), "Successfully sent 2 configuration value(s) to device");
    EXPECT_EQ(apptest::unit().working.vspeeds.Vne, 181);
    EXPECT_STREQ(apptest::unit().working.registration, "NXYZ-1");
}

// The swatch is drawn in exactly the colour of the record, not lightened by
// the style's bevel.
TEST_F(Polish, ColourSwatchShowsExactlyTheStoredColour)
{
    const QRgb colours[10] = {0xFF0000, 0x00FF00, 0x0000FF, 0x204060, 0xFFFFFF,
                              0x000000, 0x87CEEB, 0xFF8000, 0x010203, 0xFEFDFC};
    for (int i = 0; i < 10; ++i)
        apptest::set(&user_config, settings_struct_index(SKY_COLOR_0_INDEX + i), 0xFF000000u | colours[i]);
    w->updateUIFromConfig();
    ui->color_picker_red->setFocus();  // the focus frame leaves the middle alone
    for (int i = 0; i < 10; ++i) {
        QPushButton* swatch = nullptr;
        for (QPushButton* b : ui->layoutWidget->findChildren<QPushButton*>()) {
            if (b->styleSheet() == QString::asprintf("background-color: #%06x;", colours[i]))
                swatch = b;
        }
        ASSERT_NE(swatch, nullptr) << i;
        const QImage image = swatch->grab().toImage();
        EXPECT_EQ(image.pixel(image.width() / 2, image.height() / 2) & 0xFFFFFFu, colours[i])
            << swatch->objectName().toStdString();
    }
}

// The whole form at 100, 150 and 200 %: the window grows with the screen's
// density, no caption is cut off and every spin box shows the ends of its
// range. A density is fixed for an application object's life, so the test
// runs itself once per density.
TEST(PolishDensity, WholeFormAt100_150And200Percent)
{
    const struct {
        const char* dpi;
        const char* scale;
    } densities[] = {{"96", "1"}, {"144", "1.5"}, {"192", "2"}};
    for (const auto& d : densities) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_FONT_DPI", d.dpi);
        env.insert("EFIS_TEST_SCALE", d.scale);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_also_run_disabled_tests", "--gtest_filter=PolishDensity.DISABLED_FormFitsAtThisDensity"});
        ASSERT_TRUE(child.waitForFinished(120000)) << d.dpi;
        const QString out = child.readAllStandardOutput();
        EXPECT_EQ(child.exitCode(), 0) << d.dpi << " dpi\n" << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
    }
}

TEST(PolishDensity, DISABLED_FormFitsAtThisDensity)
{
    apptest::world_without_unit();
    useCondensedApplicationFont();  // as the program starts
    MainWindow w;
    w.show();
    const double scale = qEnvironmentVariable("EFIS_TEST_SCALE", "1").toDouble();
    EXPECT_DOUBLE_EQ(w.devicePixelRatioF(), scale);
    EXPECT_EQ(w.grab().width(), qRound(w.width() * scale));
    EXPECT_EQ(caption_fit::clipped(&w).join('\n').toStdString(), "");
}

TEST(PolishLink, StatusBarNamesTheLinkAndTheUnit)
{
    const std::string serial = linktest::unit_serial_text();
    const std::string in_use = " is in use by another Skarvel EFIS Config (process " + std::to_string(getpid()) + ")";
    const std::string both_in_use = "the unit on " + sim::unit_hid_interface().path + in_use + "; the unit on can0" + in_use;
    const std::string over_usb = "the unit on " + sim::unit_hid_interface().path + in_use +
                                 "; the unit on can0 (" + serial + ")" + in_use;
    const std::string cannot_open = "found the unit at " + sim::unit_hid_interface().path +
                                    " but cannot open it: Permission denied - install the udev rule, see README";
    const struct {
        std::function<void()> world;
        int held;  // another instance holds: 0 nothing, 1 the unit's links, 2 the unit over USB
        bool virtual_build;
        std::string shown;
        std::string status;  // after the start-up, when it is not the load's
    } cases[] = {{[] { apptest::world_with_unit_on(sim::Link::USB); }, false, false, "USB HID, serial " + serial, ""},
                 {[] { apptest::world_with_unit_on(sim::Link::CAN); }, false, false, "CAN FD, serial " + serial, ""},
                 {apptest::world_without_unit, false, false, "not connected: check USB cable, udev rule or can0",
                  "Failed to connect to EFIS via USB or CAN FD - please check connections"},
                 {[] { apptest::world_with_unit_on(sim::Link::USB); }, false, true,
                  "virtual unit - USB HID, serial " + serial, ""},
                 {[] {
                      apptest::world_with_unit_on(sim::Link::USB);
                      sim::set_second_unit(true, false);
                  },
                  false, false, "USB HID, serial " + serial + ", 1 of 2 units", ""},
                 {[] { sim::reset(); }, 1, false, "not connected: " + both_in_use, "Error: " + both_in_use},
                 {[] { sim::reset(); }, 2, false, "not connected: " + over_usb, "Error: " + over_usb},
                 {[] {
                      apptest::world_with_unit_on(sim::Link::USB);
                      sim::HidInterface node = sim::unit_hid_interface();
                      node.openable = false;
                      sim::set_hid_interfaces({node});
                  },
                  false, false, "not connected: " + cannot_open, "Error: " + cannot_open}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        c.world();
        CommsManager holder;
        if (c.held)
            linktest::capture([&] { ASSERT_TRUE(holder.establish_connection(true, c.held == 1, "can0")); });
        MainWindow w;
        if (!c.status.empty()) {
            EXPECT_EQ(apptest::status(w), c.status);
        }
        w.setVirtualUnit(c.virtual_build);
        w.show();
        const int width = w.width();
        // However long, a text is read whole: wrapped, never cut, and the
        // window keeps its width.
        const QString message = "Error: Airport database upload stopped at packet 1234 of 5678, the unit did not "
                                "answer; the unit's airport database stays closed until a complete transfer - " +
                                QString::fromStdString(c.shown);
        w.ui->statusbar->showMessage(message);
        QApplication::processEvents();
        const QLabel* label = w.ui->statusbar->findChild<QLabel*>("label_link");
        const QLabel* status = w.ui->statusbar->findChild<QLabel*>("label_status");
        ASSERT_TRUE(label && status);
        EXPECT_EQ(label->text().toStdString(), c.shown);
        EXPECT_EQ(label->toolTip().toStdString(), c.shown);
        EXPECT_EQ(status->text(), message);
        for (const QLabel* l : {label, status})
            EXPECT_LE(l->heightForWidth(l->width()), l->height()) << l->objectName().toStdString();
        EXPECT_EQ(w.width(), width);
        EXPECT_TRUE(label->isVisible());
        EXPECT_EQ(w.windowTitle().contains("virtual unit"), c.virtual_build);
    }
}

}  // namespace
