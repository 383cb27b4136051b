// Window start-up against the simulated world (no unit, unit on USB, on CAN
// FD, on both) and the process-wide log message handler.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTextEdit>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app_util.h"

namespace {

using apptest::StatusRecorder;

const char* const NO_UNIT_STATUS = "Failed to connect to EFIS via USB or CAN FD - please check connections";

// An independent copy of the registration prefix table, so that a typo or a
// dropped duplicate in the window's table shows up.
const char* const PREFIX_LIST =
    "N C G F D I EC PH SE LN OY OH SP OK HA YR LZ YU 9A S5 LY YL ES UR RA 4K EK EI LX HB OE 9H 9V VH ZK JA B "
    "HL HS 9M PK RP VT AP S2 4R A5 XY XU RDPL VN P2 C6 V2 V3 V4 V5 V6 V7 V8 V9 XA PP LV CC OB CP CX HK YV HC "
    "HP TI YN YS TG HR JY SU 7T CN 5A ST ET 5Y 5H 5X 9Q 9J 9K A6 A7 A9C HZ EP YK OD 4X J2 S7 D2 D6 3B 3C 3D "
    "3X 3Y 5B 5C 5D 5E 5F 5G 5H 5I 5J 5K 5L 5M 5N 5O 5P 5Q 5R 5S 5T 5U 5V 5W 5X 5Y 5Z 6O 6P 6Q 6R 6S 6T 6U "
    "6V 6W 6X 6Y 6Z 7O 7P 7Q 7R 7S 7T 7U 7V 7W 7X 7Y 7Z 8P 8Q 8R 8S 8T 8U 8V 8W 8X 8Y 8Z 9A 9B 9C 9D 9E 9F "
    "9G 9H 9I 9J 9K 9L 9M 9N 9O 9P 9Q 9R 9S 9T 9U 9V 9W 9X 9Y 9Z";

std::vector<std::string> expected_prefixes()
{
    std::istringstream in(PREFIX_LIST);
    std::vector<std::string> v;
    for (std::string s; in >> s;)
        v.push_back(s);
    return v;
}

// ------------------------------------------------------------ no unit

class NoUnitStartup : public ::testing::Test {
protected:
    void SetUp() override
    {
        apptest::world_without_unit();
        // The constructor zeroes the V-speeds whatever they were.
        std::memset(&user_config, 0, sizeof user_config);
        std::memset(&user_config.vspeeds, 0x5A, sizeof user_config.vspeeds);
    }
};

TEST_F(NoUnitStartup, ReportsFailureWithDebugLineAndSendsNothing)
{
    StatusRecorder status;
    testing::internal::CaptureStderr();
    MainWindow w;
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(w.ui->statusbar->currentMessage().toStdString(), NO_UNIT_STATUS);
    EXPECT_EQ(status.messages, QStringList({"Initializing...", NO_UNIT_STATUS}));

    // File path as the compiler saw it, the line, the constructor's signature.
    const QRegularExpression debug_line(
        "^Debug: Failed to establish connection via USB HID or CAN FD "
        "\\((.*/)?mainwindow\\.cpp:[0-9]+, MainWindow::MainWindow\\(QWidget\\*\\)\\)$",
        QRegularExpression::MultilineOption);
    EXPECT_TRUE(debug_line.match(QString::fromStdString(err)).hasMatch()) << err;

    ASSERT_NE(w.comms, nullptr);
    EXPECT_FALSE(w.comms->isConnected());
    EXPECT_TRUE(sim::hid_written().empty());
    EXPECT_TRUE(sim::can_written().empty());
    EXPECT_EQ(apptest::unit_received_count(), 0);
    EXPECT_TRUE(w.changed_values.empty());

    const Settings_t zero = {};
    EXPECT_EQ(std::memcmp(&user_config.vspeeds, &zero.vspeeds, sizeof zero.vspeeds), 0);
}

TEST_F(NoUnitStartup, UploadControlsStartDisabled)
{
    MainWindow w;
    Ui_MainWindow& ui = *w.ui;
    for (QWidget* off : std::vector<QWidget*>{ui.text_firmware_file, ui.pushButton_start_update,
                                              ui.pushButton_cancel_fw, ui.progressBar_firmware,
                                              ui.text_firmware_file_2, ui.pushButton_start_airport,
                                              ui.pushButton_cancel_airport, ui.progressBar_airports})
        EXPECT_FALSE(off->isEnabled()) << off->objectName().toStdString();
    for (QWidget* on : std::vector<QWidget*>{ui.pushButton_browse, ui.pushButton_browse_airports,
                                             ui.pushButton_reboot, ui.pushButton_load, ui.pushButton_update,
                                             ui.pushButton_save})
        EXPECT_TRUE(on->isEnabled()) << on->objectName().toStdString();
}

TEST_F(NoUnitStartup, PrefixListHoldsAllEntriesInTableOrder)
{
    MainWindow w;
    const std::vector<std::string> want = expected_prefixes();
    ASSERT_EQ(want.size(), 193u);
    EXPECT_EQ(std::set<std::string>(want.begin(), want.end()).size(), 182u);

    QComboBox* combo = w.ui->comboBox_reg_prefix;
    ASSERT_EQ(combo->count(), NUM_REGISTRATION_PREFIXES);
    for (int i = 0; i < NUM_REGISTRATION_PREFIXES; ++i) {
        EXPECT_EQ(std::string(REGISTRATION_PREFIXES[i]), want[size_t(i)]) << "entry " << i;
        EXPECT_EQ(combo->itemText(i).toStdString(), want[size_t(i)]) << "item " << i;
        EXPECT_FALSE(combo->itemData(i).isValid()) << "item " << i;
    }
    EXPECT_EQ(combo->currentIndex(), 0);
}

TEST_F(NoUnitStartup, FormKeepsItsInitialValues)
{
    MainWindow w;
    Ui_MainWindow& ui = *w.ui;
    for (QSpinBox* v : {ui.spinBox_vmin, ui.spinBox_vs0, ui.spinBox_vs1, ui.spinBox_vfe, ui.spinBox_vn0,
                        ui.spinBox_vne, ui.spinBox_vref, ui.spinBox_vlo})
        EXPECT_EQ(v->value(), 0) << v->objectName().toStdString();
    EXPECT_DOUBLE_EQ(ui.min_volt_warn_value->value(), 11.5);
    EXPECT_DOUBLE_EQ(ui.min_volt_alert_value->value(), 11.5);
    EXPECT_DOUBLE_EQ(ui.max_volt_warn_value->value(), 15.5);
    EXPECT_DOUBLE_EQ(ui.max_volt_alert_value->value(), 15.5);
    EXPECT_DOUBLE_EQ(ui.roll_corr_spinbox->value(), 0.0);
    EXPECT_DOUBLE_EQ(ui.pitch_corr_spinbox->value(), 0.0);
    EXPECT_EQ(ui.backlight_slider->value(), 10);
    EXPECT_EQ(ui.text_bg_alpha_slider->value(), 150);
    for (QComboBox* c : {ui.comboBox_airspeed, ui.comboBox_altitude, ui.comboBox_temp, ui.comboBox_pressure,
                         ui.comboBox_emitter_cat, ui.comboBox_map_view, ui.comboBox_term_res})
        EXPECT_EQ(c->currentIndex(), 0) << c->objectName().toStdString();
    EXPECT_TRUE(ui.radioButton_use_icao->isChecked());
    EXPECT_FALSE(ui.radioButton_rand_icao->isChecked());
    EXPECT_EQ(ui.comboBox_reg_prefix->currentText(), "N");
    EXPECT_TRUE(ui.text_registration_num->toPlainText().isEmpty());
    EXPECT_TRUE(ui.text_icao->toPlainText().isEmpty());
    for (QPushButton* b : {ui.color_picker_sky0, ui.color_picker_sky1, ui.color_picker_ground0,
                           ui.color_picker_ground1, ui.color_picker_app_indi, ui.color_picker_airplane,
                           ui.color_picker_green, ui.color_picker_yellow, ui.color_picker_red, ui.color_picker_gear})
        EXPECT_TRUE(b->styleSheet().isEmpty()) << b->objectName().toStdString();
}

// ------------------------------------------------------------ with a unit

struct LinkCase {
    const char* name;
    bool usb;
    bool can;
    const char* connected_status;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

class UnitStartup : public ::testing::TestWithParam<LinkCase> {};

// Start-up requests: the handshake on each present link, then the load
// (four header words and 36 values) on the preferred link only.
TEST_P(UnitStartup, ConnectsLoadsAndUsesThePreferredLink)
{
    const LinkCase& c = GetParam();
    sim::reset();
    if (!c.usb)
        sim::set_hid_interfaces({});
    if (!c.can)
        sim::set_can_interfaces({});
    std::memset(&user_config, 0, sizeof user_config);

    StatusRecorder status;
    MainWindow w;

    EXPECT_EQ(status.messages, QStringList({"Initializing...", c.connected_status,
                                            "Configuration successfully loaded from device"}));
    EXPECT_EQ(w.comms->getActiveInterface(), c.usb ? USB_HID : CAN_FD);

    const std::vector<uint32_t> load(40, CANMSG_REQUEST_USER_SETTING);
    std::vector<uint32_t> want_usb, want_can;
    if (c.usb)
        want_usb.push_back(CANMSG_WHOAMI);
    if (c.can)
        want_can.push_back(CANMSG_WHOAMI);
    std::vector<uint32_t>& preferred = c.usb ? want_usb : want_can;
    preferred.insert(preferred.end(), load.begin(), load.end());
    EXPECT_EQ(apptest::hid_ids(), want_usb);
    EXPECT_EQ(apptest::can_ids(), want_can);

    Settings_t unit_record;
    sim::with_unit([&](sim::VirtualUnit& u) { unit_record = u.working; });
    EXPECT_EQ(std::memcmp(&user_config, &unit_record, sizeof unit_record), 0);
    EXPECT_EQ(w.ui->comboBox_reg_prefix->currentText(), "N");
    EXPECT_EQ(w.ui->text_registration_num->toPlainText(), "123AB");
    EXPECT_EQ(w.ui->spinBox_vne->value(), unit_record.vspeeds.Vne);
    EXPECT_TRUE(w.changed_values.empty());
}

INSTANTIATE_TEST_SUITE_P(LinkChoice, UnitStartup,
                         ::testing::Values(LinkCase{"UsbOnly", true, false, "Connected via USB HID"},
                                           LinkCase{"CanOnly", false, true, "Connected via CAN FD"},
                                           LinkCase{"Both", true, true, "Connected via both USB HID and CAN FD"}),
                         [](const ::testing::TestParamInfo<LinkCase>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ message handler

struct HandlerCase {
    QtMsgType type;
    const char* file;
    int line;
    const char* function;
    const char* want;
};

TEST(MessageHandler, WritesOneLinePerMessageInItsFormat)
{
    const HandlerCase cases[] = {
        {QtDebugMsg, "src/a.cpp", 12, "void A::f(int)", "Debug: hello (src/a.cpp:12, void A::f(int))\n"},
        {QtInfoMsg, "b.cpp", 1, "g()", "Info: hello (b.cpp:1, g())\n"},
        {QtWarningMsg, "c.cpp", 300, "h", "Warning: hello (c.cpp:300, h)\n"},
        {QtCriticalMsg, "d.cpp", 7, "k", "Critical: hello (d.cpp:7, k)\n"},
        // Without a context the file and function are empty.
        {QtDebugMsg, nullptr, 0, nullptr, "Debug: hello (:0, )\n"},
        {QtWarningMsg, nullptr, 0, nullptr, "Warning: hello (:0, )\n"},
        {QtCriticalMsg, "e.cpp", 9, nullptr, "Critical: hello (e.cpp:9, )\n"},
        {QtInfoMsg, nullptr, 5, "m()", "Info: hello (:5, m())\n"},
        // An unknown type prints nothing.
        {QtMsgType(5), "f.cpp", 1, "n", ""},
    };
    for (const HandlerCase& c : cases) {
        const QMessageLogContext context(c.file, c.line, c.function, "default");
        testing::internal::CaptureStderr();
        customMessageHandler(c.type, context, "hello");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.want);
    }
}

TEST(MessageHandler, InstalledHandlerCarriesTheCallersContext)
{
    qInstallMessageHandler(customMessageHandler);
    testing::internal::CaptureStderr();
    qInfo("value %d", 42);
    qWarning() << "two" << "words";
    const std::string err = testing::internal::GetCapturedStderr();
    qInstallMessageHandler(nullptr);

    const QRegularExpression info("^Info: value 42 \\((.*/)?app_startup\\.cpp:[0-9]+, virtual void "
                                  ".*InstalledHandlerCarriesTheCallersContext.*TestBody\\(\\)\\)$",
                                  QRegularExpression::MultilineOption);
    EXPECT_TRUE(info.match(QString::fromStdString(err)).hasMatch()) << err;
    EXPECT_NE(err.find("\nWarning: two words ("), std::string::npos) << err;
}

TEST(MessageHandlerDeathTest, FatalPrintsItsLineAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QMessageLogContext context("g.cpp", 3, "void boom()", "default");
    EXPECT_DEATH(customMessageHandler(QtFatalMsg, context, "stop"), "Fatal: stop \\(g\\.cpp:3, void boom\\(\\)\\)");
    EXPECT_DEATH(
        {
            qInstallMessageHandler(customMessageHandler);
            qFatal("gone %d", 1);
        },
        "Fatal: gone 1 \\([^)]*app_startup\\.cpp:[0-9]+, ");
}

}  // namespace
