// The settings commands (load, update, save, reboot) end to end through the
// real window and both links against the virtual unit, and the colour
// pickers driven through the real modal colour dialog.

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QColorDialog>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "EFIS_shared/can_export.h"
#include "EFIS_shared/get_set.h"
#include "app_util.h"  // the window, the form and the simulated world

namespace sim {
// Names the link in failure messages; internal linkage, for this file only.
static void PrintTo(Link link, std::ostream* os) { *os << (link == Link::USB ? "USB" : "CAN"); }
}  // namespace sim

namespace {

using sim::Link;
using Indices = std::set<settings_struct_index>;
using namespace apptest;  // the unit, its requests and the window's status

void invoke(MainWindow& w, const char* slot)
{
    ASSERT_TRUE(QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection)) << slot;
}

// What the colour dialog showed when it opened.
struct DialogView {
    bool opened = false;
    QString title;
    QRgb custom1 = 0;
    QRgb initial = 0;
    bool alpha = false;
    QWidget* parent = nullptr;
};

QColorDialog* open_colour_dialog()
{
    if (auto* d = qobject_cast<QColorDialog*>(QApplication::activeModalWidget()))
        return d->isVisible() ? d : nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<QColorDialog*>(w); d && d->isVisible())
            return d;
    }
    return nullptr;
}

// Clicks a colour button and answers the dialog it opens: picks `choice`,
// or cancels when `choice` is invalid.
DialogView pick_through_dialog(QPushButton* button, const QColor& choice)
{
    DialogView view;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QColorDialog* d = open_colour_dialog();
        if (!d)
            return;
        poll.stop();
        view.opened = true;
        view.title = d->windowTitle();
        view.custom1 = QColorDialog::customColor(1).rgba();
        view.initial = d->currentColor().rgba();
        view.alpha = d->testOption(QColorDialog::ShowAlphaChannel);
        view.parent = d->parentWidget();
        if (choice.isValid()) {
            d->setCurrentColor(choice);
            d->accept();
        } else {
            d->reject();
        }
    });
    poll.start();
    button->click();  // returns once the modal dialog has closed
    poll.stop();
    return view;
}

// ---------------------------------------------------------------------------
// Commands over one link.

class Commands : public testing::TestWithParam<Link> {
protected:
    void SetUp() override { world_with_unit_on(GetParam()); }

    // The window with its start-up load done; the traffic so far forgotten.
    std::unique_ptr<MainWindow> open()
    {
        auto w = std::make_unique<MainWindow>();
        forget_traffic();
        return w;
    }
};

std::string link_name(const testing::TestParamInfo<Link>& info)
{
    return info.param == Link::USB ? "USB" : "CAN";
}

INSTANTIATE_TEST_SUITE_P(Links, Commands, testing::Values(Link::USB, Link::CAN), link_name);

TEST_P(Commands, EditedFormSurvivesUpdateSaveRebootAndLoad)
{
    auto w = open();
    Ui_MainWindow* ui = w->ui;
    ASSERT_EQ(status(*w), LOADED);
    ASSERT_TRUE(w->changed_values.empty());

    // First batch, sent by Update.
    ui->comboBox_airspeed->setCurrentIndex(2);
    ui->comboBox_altitude->setCurrentIndex(1);
    ui->comboBox_temp->setCurrentIndex(1);
    ui->comboBox_pressure->setCurrentIndex(1);
    ui->spinBox_vmin->setValue(45);
    ui->spinBox_vs0->setValue(50);
    ui->spinBox_vs1->setValue(55);
    ui->spinBox_vfe->setValue(90);
    ui->spinBox_vn0->setValue(125);
    ui->spinBox_vne->setValue(160);
    ui->spinBox_vref->setValue(70);
    ui->spinBox_vlo->setValue(110);
    ui->min_volt_warn_value->setValue(11.8);
    ui->max_volt_warn_value->setValue(14.9);
    ui->min_volt_alert_value->setValue(10.9);
    ui->max_volt_alert_value->setValue(15.6);
    ui->comboBox_reg_prefix->setCurrentText("G");
    ui->text_registration_num->setPlainText("ABCDEFGHIJ");
    ui->color_picker_sky0->setStyleSheet("background-color: #112233;");
    invoke(*w, "onSkyColor0Changed");
    const size_t first_batch = w->changed_values.size();
    ui->pushButton_update->click();
    // Counted in fields: the registration's three values are one.
    EXPECT_EQ(status(*w), QString("Successfully sent %1 configuration value(s) to device")
                              .arg(first_batch - 2)
                              .toStdString());
    EXPECT_TRUE(w->changed_values.empty());

    // Second batch, left for Save to send before it stores.
    forget_traffic();
    ui->backlight_slider->setValue(7);
    ui->text_bg_alpha_slider->setValue(200);
    ui->roll_corr_spinbox->setValue(-12.3);
    ui->pitch_corr_spinbox->setValue(45.6);
    ui->text_icao->setPlainText("abc123");
    ui->radioButton_rand_icao->setChecked(true);
    ui->comboBox_emitter_cat->setCurrentIndex(9);
    ui->comboBox_map_view->setCurrentIndex(1);
    ui->comboBox_term_res->setCurrentIndex(1);
    ui->color_picker_ground1->setStyleSheet("background-color: #A0B0C0;");
    invoke(*w, "onGroundColor1Changed");
    ASSERT_TRUE(pick_through_dialog(ui->color_picker_red, QColor(255, 128, 0)).opened);
    ui->pushButton_save->click();
    EXPECT_EQ(status(*w), SAVED);
    EXPECT_TRUE(w->changed_values.empty());
    std::vector<int> saved_sets;
    for (const Request& r : requests_with(CANMSG_SET_USER_SETTING))
        saved_sets.push_back(std::get<1>(r));
    EXPECT_EQ(saved_sets, (std::vector<int>{17, 22, 24, 25, 26, 29, 31, 32, 33, 34, 35}))
        << "Save sends exactly what Update has not, in ascending order";

    ui->pushButton_reboot->click();
    EXPECT_EQ(status(*w), "Reboot command sent to device");
    EXPECT_EQ(unit().reboots, 1);

    ui->pushButton_load->click();
    EXPECT_EQ(status(*w), LOADED);

    Settings_t want = sim::factory_settings();
    set(&want, UNITS_VALUE_INDEX, (want.units.units_value & ~0x1FFu) | 0x154u);  // kph, m, °C, mbar
    const uint32_t speeds[8] = {45, 50, 55, 90, 125, 160, 70, 110};
    for (int i = 0; i < 8; ++i)
        set(&want, settings_struct_index(VMIN_INDEX + i), speeds[i]);
    set(&want, MIN_VOLTS_INDEX, 118);
    set(&want, MAX_VOLTS_INDEX, 149);
    set(&want, MIN_VOLTS_ALERT_INDEX, 109);
    set(&want, MAX_VOLTS_ALERT_INDEX, 156);
    set(&want, REGISTRATION_1_INDEX, 0x47414243);  // "GABC"
    set(&want, REGISTRATION_2_INDEX, 0x44454647);  // "DEFG"
    set(&want, REGISTRATION_3_INDEX, 0x48494A00);  // "HIJ\0"
    set(&want, SKY_COLOR_0_INDEX, 0xFF112233);
    set(&want, GROUND_COLOR_1_INDEX, 0xFFA0B0C0);
    set(&want, RED_ARC_COLOR_INDEX, 0xFFFF8000);
    set(&want, BACKLIGHT_BRIGHTNESS_INDEX, 7);
    set(&want, TEXT_BG_ALPHA_INDEX, 200);
    set(&want, ROLL_CORRECTION_INDEX, bits_of(-12.3f));
    set(&want, PITCH_CORRECTION_INDEX, bits_of(45.6f));
    set(&want, OWNSHIP_ICAO_INDEX, 0xABC123);
    set(&want, ICAO_ADDR_TYPE_INDEX, 1);
    set(&want, EMITTER_CAT_INDEX, 9);
    set(&want, TERM_RESISTOR_INDEX, 0);
    set(&want, MAP_DIR_INDEX, 1);
    ASSERT_EQ(want.airplane_color, 0xFFFFFFFFu);
    ASSERT_EQ(want.gear_indi_color, 0xFFFFFFFFu);

    sim::VirtualUnit u = unit();
    EXPECT_EQ(0, std::memcmp(&u.working, &u.stored, sizeof u.stored)) << "reboot returns to the stored record";
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const settings_struct_index index = settings_struct_index(i);
        EXPECT_EQ(settings_get_value(&u.stored, index), settings_get_value(&want, index)) << "stored index " << i;
        EXPECT_EQ(settings_get_value(&user_config, index), settings_get_value(&u.stored, index))
            << "loaded index " << i;
    }
    EXPECT_EQ(user_config.crc32, u.stored.crc32);
    EXPECT_EQ(user_config.magic, SETTINGS_MAGIC);
    EXPECT_EQ(user_config.num_elements, 31u);
    EXPECT_EQ(user_config.units.units_value >> 9, sim::factory_settings().units.units_value >> 9)
        << "bits 9-31 belong to the unit";

    EXPECT_EQ(ui->comboBox_airspeed->currentIndex(), 2);
    EXPECT_EQ(ui->spinBox_vne->value(), 160);
    EXPECT_DOUBLE_EQ(ui->max_volt_alert_value->value(), 15.6);
    EXPECT_EQ(ui->comboBox_reg_prefix->currentText().toStdString(), "G");
    EXPECT_EQ(ui->text_registration_num->toPlainText().toStdString(), "ABCDEFGHIJ");
    EXPECT_EQ(ui->color_picker_red->styleSheet().toStdString(), "background-color: #ff8000;");
    EXPECT_EQ(ui->color_picker_airplane->styleSheet().toStdString(), "background-color: #ffffff;");
    EXPECT_DOUBLE_EQ(ui->roll_corr_spinbox->value(), -12.3);
    EXPECT_EQ(ui->text_icao->toPlainText().toStdString(), "ABC123");
    EXPECT_TRUE(ui->radioButton_rand_icao->isChecked());
    EXPECT_EQ(ui->comboBox_term_res->currentIndex(), 1);
    EXPECT_TRUE(w->changed_values.empty());
}

TEST_P(Commands, WhiteColoursSurviveLoadAndSave)
{
    auto w = open();
    ASSERT_EQ(status(*w), LOADED);
    EXPECT_EQ(user_config.airplane_color, 0xFFFFFFFFu);
    EXPECT_EQ(user_config.gear_indi_color, 0xFFFFFFFFu);
    EXPECT_EQ(w->ui->color_picker_airplane->styleSheet().toStdString(), "background-color: #ffffff;");

    w->ui->spinBox_vs1->setValue(52);
    w->ui->pushButton_save->click();
    EXPECT_EQ(status(*w), SAVED);
    EXPECT_EQ(requests_with(CANMSG_SET_USER_SETTING), std::vector<Request>{set_req(VS1_INDEX, 52)});
    const sim::VirtualUnit u = unit();
    EXPECT_EQ(u.stores, 1);
    EXPECT_EQ(u.stored.airplane_color, 0xFFFFFFFFu);
    EXPECT_EQ(u.stored.gear_indi_color, 0xFFFFFFFFu);
}

// Loads that complete but must not claim a clean result, and the loads that
// read 0xFFFFFFFF as a value.
struct LoadCase {
    const char* name;
    std::function<void(sim::VirtualUnit&)> prepare;
    const char* status_prefix;
    std::vector<const char*> status_mentions;
    std::function<void(MainWindow&)> check;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class Loads : public testing::TestWithParam<std::tuple<Link, LoadCase>> {
protected:
    void SetUp() override { world_with_unit_on(std::get<0>(GetParam())); }
};

const LoadCase LOAD_CASES[] = {
    {"ErasedRegistrationShowsEmpty",
     [](sim::VirtualUnit& u) {
         std::memset(u.working.registration, 0xFF, sizeof u.working.registration);
         reseal(&u.working);
         u.stored = u.working;
     },
     LOADED, {},
     [](MainWindow& w) {
         EXPECT_EQ(w.ui->comboBox_reg_prefix->currentText().toStdString(), "N");
         EXPECT_EQ(w.ui->text_registration_num->toPlainText().toStdString(), "");
         for (int k = 0; k < 12; ++k)
             EXPECT_EQ(uint8_t(user_config.registration[k]), 0xFF) << k;
     }},
    {"ErasedChecksumDoesNotStopTheLoad",
     [](sim::VirtualUnit& u) { u.working.crc32 = 0xFFFFFFFF; },
     "Warning:", {"CRC"},
     [](MainWindow& w) {
         EXPECT_EQ(user_config_chk, 0xFFFFFFFFu);
         EXPECT_EQ(w.ui->spinBox_vne->value(), 150);
         EXPECT_EQ(user_config.map_track, map_north_up);
         EXPECT_EQ(user_config.enable_term_resistor, 1u) << "the last value was read too";
     }},
    {"UnreadableValueBecomesZero",
     [](sim::VirtualUnit& u) { u.faults.silent_index = {SKY_COLOR_0_INDEX}; },
     "Warning:", {"1 value"},
     [](MainWindow& w) {
         EXPECT_EQ(user_config.sky_color[0], 0u);
         EXPECT_EQ(w.ui->color_picker_sky0->styleSheet().toStdString(), "background-color: #000000;");
         EXPECT_EQ(user_config.sky_color[1], sim::factory_settings().sky_color[1]);
         EXPECT_EQ(user_config.airplane_color, 0xFFFFFFFFu);
     }},
    {"ChecksumMismatchIsAWarning",
     [](sim::VirtualUnit& u) { u.working.crc32 ^= 0x00010000; },
     "Warning:", {"CRC"},
     [](MainWindow& w) { EXPECT_EQ(w.ui->spinBox_vne->value(), 150); }},
};

TEST_P(Loads, EndsWithTheRightStatus)
{
    const LoadCase& c = std::get<1>(GetParam());
    sim::with_unit(c.prepare);
    MainWindow w;
    const std::string text = status(w);
    EXPECT_TRUE(starts_with(text, c.status_prefix)) << text;
    for (const char* m : c.status_mentions)
        EXPECT_NE(text.find(m), std::string::npos) << text;
    EXPECT_EQ(requests_with(CANMSG_REQUEST_USER_SETTING).size(), 40u);
    EXPECT_TRUE(w.changed_values.empty());
    c.check(w);
}

INSTANTIATE_TEST_SUITE_P(Links, Loads,
                         testing::Combine(testing::Values(Link::USB, Link::CAN), testing::ValuesIn(LOAD_CASES)),
                         [](const testing::TestParamInfo<std::tuple<Link, LoadCase>>& info) {
                             return std::string(std::get<0>(info.param) == Link::USB ? "USB_" : "CAN_") +
                                    std::get<1>(info.param).name;
                         });

// A unit whose record layout the tool does not know: neither load nor save
// may act on it.
TEST_P(Commands, UnknownLayoutStopsLoadAndSave)
{
    for (uint32_t elements : {40u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(elements);
        world_with_unit_on(GetParam());
        sim::with_unit([&](sim::VirtualUnit& u) {
            if (elements == 0xFFFFFFFFu) {
                u.erase_storage();
            } else {
                u.working.num_elements = elements;
                reseal(&u.working);
            }
        });
        MainWindow w;
        EXPECT_TRUE(starts_with(status(w), "Error:")) << status(w);
        EXPECT_EQ(requests_with(CANMSG_REQUEST_USER_SETTING),
                  (std::vector<Request>{get_req(252), get_req(253), get_req(254), get_req(255)}));

        forget_traffic();
        w.ui->spinBox_vs0->setValue(61);
        w.ui->pushButton_save->click();
        EXPECT_TRUE(starts_with(status(w), "Error:")) << status(w);
        EXPECT_TRUE(requests_with(CANMSG_SAVE_USER_SETTINGS).empty());
        EXPECT_TRUE(requests_with(CANMSG_SET_USER_SETTING).empty());
        EXPECT_EQ(unit().stores, 0);
        EXPECT_EQ(w.changed_values.count(VS0_INDEX), 1u);
    }
}

TEST_P(Commands, UpdateKeepsWhatFailedAndResendsIt)
{
    auto w = open();
    sim::with_unit([](sim::VirtualUnit& u) { u.faults.nack = {CANMSG_SET_USER_SETTING}; });
    w->ui->spinBox_vne->setValue(170);
    w->ui->spinBox_vs0->setValue(48);
    w->ui->pushButton_update->click();
    EXPECT_EQ(status(*w), "Error: Sent 0 value(s), 2 failed");
    EXPECT_EQ(w->changed_values, (Indices{VS0_INDEX, VNE_INDEX}));

    sim::with_unit([](sim::VirtualUnit& u) { u.faults.nack.clear(); });
    forget_traffic();
    w->ui->pushButton_update->click();
    EXPECT_EQ(status(*w), "Successfully sent 2 configuration value(s) to device");
    EXPECT_EQ(requests(), (std::vector<Request>{set_req(VS0_INDEX, 48), set_req(VNE_INDEX, 170)}));
    EXPECT_TRUE(w->changed_values.empty());
    EXPECT_EQ(unit().working.vspeeds.Vne, 170);

    forget_traffic();
    EXPECT_FALSE(w->ui->pushButton_update->isEnabled());
    invoke(*w, "onUpdateClicked");
    EXPECT_EQ(status(*w), "No changes to send");
    EXPECT_TRUE(requests().empty());
}

TEST_P(Commands, SaveSendsPendingValuesBeforeTheStore)
{
    auto w = open();
    w->ui->comboBox_map_view->setCurrentIndex(1);
    w->ui->spinBox_vs0->setValue(47);
    w->ui->pushButton_save->click();
    EXPECT_EQ(status(*w), SAVED);

    Settings_t want = sim::factory_settings();
    want.vspeeds.Vs0 = 47;
    want.map_track = map_track_up;
    want.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&want);
    EXPECT_EQ(requests(), (std::vector<Request>{get_req(254), get_req(255), set_req(VS0_INDEX, 47),
                                                set_req(MAP_DIR_INDEX, 1),
                                                Request(CANMSG_SAVE_USER_SETTINGS, -1, crc)}));
    const sim::VirtualUnit u = unit();
    ASSERT_FALSE(u.received.empty());
    const COMMS_MSG_t& store = u.received.back();
    EXPECT_EQ(store.msg_len, 4);
    const uint8_t le[4] = {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)};
    EXPECT_EQ(0, std::memcmp(store.data, le, 4)) << "checksum as four little-endian bytes";
    EXPECT_EQ(u.stores, 1);
    EXPECT_EQ(u.stored.vspeeds.Vs0, 47);
    EXPECT_EQ(u.stored.map_track, map_track_up);
    EXPECT_TRUE(w->changed_values.empty());
    EXPECT_EQ(user_config.magic, SETTINGS_MAGIC);
    EXPECT_EQ(user_config.crc32, 0u);
}

TEST_P(Commands, SaveWithAFailedSendStoresNothing)
{
    auto w = open();
    sim::with_unit([](sim::VirtualUnit& u) { u.faults.nack = {CANMSG_SET_USER_SETTING}; });
    w->ui->spinBox_vs0->setValue(49);
    w->ui->pushButton_save->click();
    EXPECT_TRUE(starts_with(status(*w), "Error:")) << status(*w);
    EXPECT_EQ(requests_with(CANMSG_SET_USER_SETTING), std::vector<Request>{set_req(VS0_INDEX, 49)});
    EXPECT_TRUE(requests_with(CANMSG_SAVE_USER_SETTINGS).empty());
    EXPECT_EQ(w->changed_values, Indices{VS0_INDEX});
    EXPECT_EQ(unit().stores, 0);
}

// Vne 250 is shown as 240, the end of its box: the unit must get 240 before
// it stores, or it refuses a checksum that is not that of its record.
TEST_P(Commands, ValueShownAtTheEndOfItsRangeIsSentBeforeTheStore)
{
    sim::with_unit([](sim::VirtualUnit& u) {
        u.working.vspeeds.Vne = 250;
        reseal(&u.working);
        u.stored = u.working;
    });
    auto w = open();
    ASSERT_EQ(status(*w), LOADED);
    EXPECT_EQ(w->ui->spinBox_vne->value(), 240);
    EXPECT_TRUE(w->changed_values.empty());

    w->ui->pushButton_save->click();
    EXPECT_EQ(status(*w), SAVED);
    const std::vector<Request> sent = requests();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2], set_req(VNE_INDEX, 240));
    EXPECT_EQ(std::get<0>(sent[3]), uint32_t(CANMSG_SAVE_USER_SETTINGS));
    EXPECT_EQ(unit().stored.vspeeds.Vne, 240);
}

struct StoreFault {
    const char* name;
    std::function<void(sim::VirtualUnit&)> apply;
};

void PrintTo(const StoreFault& f, std::ostream* os) { *os << f.name; }

class StoreRefused : public testing::TestWithParam<std::tuple<Link, StoreFault>> {};

const StoreFault STORE_FAULTS[] = {
    {"FlashNack", [](sim::VirtualUnit& u) { u.faults.store_flash_nack = true; }},
    // A value the tool never saw: the unit's checksum differs from the tool's.
    {"RecordDiffers", [](sim::VirtualUnit& u) { u.working.use_mag_heading = 0; }},
};

TEST_P(StoreRefused, KeepsTheChanges)
{
    world_with_unit_on(std::get<0>(GetParam()));
    MainWindow w;
    ASSERT_EQ(status(w), LOADED);
    sim::with_unit(std::get<1>(GetParam()).apply);
    w.ui->spinBox_vs0->setValue(44);
    w.ui->pushButton_save->click();
    EXPECT_EQ(status(w), STORE_FAILED);
    EXPECT_EQ(w.changed_values, Indices{VS0_INDEX});
    EXPECT_EQ(unit().stores, 0);
}

INSTANTIATE_TEST_SUITE_P(Links, StoreRefused,
                         testing::Combine(testing::Values(Link::USB, Link::CAN), testing::ValuesIn(STORE_FAULTS)),
                         [](const testing::TestParamInfo<std::tuple<Link, StoreFault>>& info) {
                             return std::string(std::get<0>(info.param) == Link::USB ? "USB_" : "CAN_") +
                                    std::get<1>(info.param).name;
                         });

TEST_P(Commands, UpdateSendsEachIndexOnceInAscendingOrder)
{
    auto w = open();
    w->ui->comboBox_map_view->setCurrentIndex(1);
    w->ui->spinBox_vs0->setValue(41);
    w->ui->spinBox_vs0->setValue(42);
    w->ui->spinBox_vs0->setValue(43);
    w->ui->spinBox_vne->setValue(180);
    w->ui->pushButton_update->click();
    EXPECT_EQ(status(*w), "Successfully sent 3 configuration value(s) to device");
    EXPECT_EQ(requests(), (std::vector<Request>{set_req(VS0_INDEX, 43), set_req(VNE_INDEX, 180),
                                                set_req(MAP_DIR_INDEX, 1)}));
}

TEST_P(Commands, UpdateWithNothingChangedSendsNothing)
{
    auto w = open();
    EXPECT_FALSE(w->ui->pushButton_update->isEnabled());
    EXPECT_EQ(w->ui->pushButton_update->toolTip(), "No changes to send");
    invoke(*w, "onUpdateClicked");
    EXPECT_EQ(status(*w), "No changes to send");
    EXPECT_TRUE(requests().empty());
}

TEST_P(Commands, RebootIsOneMessageAndAwaitsNothing)
{
    auto w = open();
    w->ui->pushButton_reboot->click();
    EXPECT_EQ(status(*w), "Reboot command sent to device");
    const sim::VirtualUnit u = unit();
    ASSERT_EQ(u.received.size(), 1u);
    EXPECT_EQ(uint32_t(u.received[0].can_ID), uint32_t(CANMSG_ENTER_BL));
    EXPECT_EQ(u.received[0].msg_len, 1);
    EXPECT_EQ(u.received[0].data[0], 0x48);
    EXPECT_EQ(u.reboots, 1);
    const size_t frames = GetParam() == Link::USB ? sim::hid_written().size() : sim::can_written().size();
    EXPECT_EQ(frames, 1u);
}

// ---------------------------------------------------------------------------
// No link at all.

class NoLink : public testing::TestWithParam<const char*> {};

TEST_P(NoLink, CommandSendsNothing)
{
    apptest::world_without_unit();
    MainWindow w;
    w.ui->spinBox_vs0->setValue(w.ui->spinBox_vs0->value() + 1);
    const Indices before = w.changed_values;
    ASSERT_FALSE(before.empty());
    w.findChild<QPushButton*>(GetParam())->click();
    EXPECT_EQ(status(w), NO_LINK);
    EXPECT_EQ(w.changed_values, before);
    EXPECT_TRUE(sim::hid_written().empty());
    EXPECT_TRUE(sim::can_written().empty());
    EXPECT_TRUE(unit().received.empty());
}

INSTANTIATE_TEST_SUITE_P(Buttons, NoLink,
                         testing::Values("pushButton_load", "pushButton_update", "pushButton_save",
                                         "pushButton_reboot"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(sizeof("pushButton_") - 1);
                         });

// ---------------------------------------------------------------------------
// Colours.

struct ColourRow {
    const char* button;
    const char* text_handler;
    const char* title;
    QRgb reference;
    settings_struct_index index;
};

const ColourRow COLOUR_ROWS[] = {
    {"color_picker_sky0", "onSkyColor0Changed", "Select Sky Upper colour", qRgb(135, 206, 235), SKY_COLOR_0_INDEX},
    {"color_picker_sky1", "onSkyColor1Changed", "Select Sky Lower colour", qRgb(135, 206, 235), SKY_COLOR_1_INDEX},
    {"color_picker_ground0", "onGroundColor0Changed", "Select Ground Upper colour", qRgb(34, 139, 34),
     GROUND_COLOR_0_INDEX},
    {"color_picker_ground1", "onGroundColor1Changed", "Select Ground Lower colour", qRgb(34, 139, 34),
     GROUND_COLOR_1_INDEX},
    {"color_picker_app_indi", "onApproachIndiColorChanged", "Select Approach Indicator colour", qRgb(255, 255, 0),
     APPROACH_COLOR_INDEX},
    {"color_picker_airplane", "onAirplaneColorChanged", "Select Airplane colour", qRgb(255, 255, 255),
     AIRPLANE_COLOR_INDEX},
    {"color_picker_green", "onGreenArcColorChanged", "Select Green Arc colour", qRgb(0, 255, 0),
     GREEN_ARC_COLOR_INDEX},
    {"color_picker_yellow", "onYellowArcColorChanged", "Select Yellow Arc colour", qRgb(255, 255, 0),
     YELLOW_ARC_COLOR_INDEX},
    {"color_picker_red", "onRedArcColorChanged", "Select Red Arc colour", qRgb(255, 0, 0), RED_ARC_COLOR_INDEX},
    {"color_picker_gear", "onGearIndiColorChanged", "Select Gear Indicator colour", qRgb(255, 255, 255),
     GEAR_INDI_COLOR_INDEX},
};

void PrintTo(const ColourRow& row, std::ostream* os) { *os << row.button; }

// A window without a link, showing the factory record.
class Colours : public testing::TestWithParam<ColourRow> {
protected:
    void SetUp() override
    {
        // The fields wait for a record loaded from a unit.
        apptest::world_with_unit_on(sim::Link::USB);
        w = std::make_unique<MainWindow>();
        user_config = sim::factory_settings();
        w->updateUIFromConfig();
        w->changed_values.clear();
        button = w->findChild<QPushButton*>(GetParam().button);
        ASSERT_NE(button, nullptr);
    }

    // Every colour of the record but the row's own.
    std::vector<uint32_t> other_colours() const
    {
        std::vector<uint32_t> out;
        for (int i = SKY_COLOR_0_INDEX; i <= GEAR_INDI_COLOR_INDEX; ++i) {
            if (i != GetParam().index)
                out.push_back(settings_get_value(&user_config, settings_struct_index(i)));
        }
        return out;
    }

    std::unique_ptr<MainWindow> w;
    QPushButton* button = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Rows, Colours, testing::ValuesIn(COLOUR_ROWS),
                         [](const testing::TestParamInfo<ColourRow>& info) {
                             return std::string(info.param.button).substr(sizeof("color_picker_") - 1);
                         });

TEST_P(Colours, PickWritesAnOpaqueColour)
{
    const ColourRow& row = GetParam();
    // The dialog is seeded from the record, not the button, with alpha dropped.
    set(&user_config, row.index, 0x00204060);
    QColorDialog::setCustomColor(1, QColor(Qt::black));
    const std::vector<uint32_t> others = other_colours();

    const DialogView view = pick_through_dialog(button, QColor(255, 128, 0));
    ASSERT_TRUE(view.opened);
    EXPECT_EQ(view.title.toStdString(), row.title);
    EXPECT_EQ(view.custom1, row.reference | 0xFF000000u);
    EXPECT_EQ(view.initial, qRgb(0x20, 0x40, 0x60));
    EXPECT_FALSE(view.alpha);
    EXPECT_EQ(view.parent, w.get());

    EXPECT_EQ(button->styleSheet().toStdString(), "background-color: #ff8000;");
    EXPECT_EQ(settings_get_value(&user_config, row.index), 0xFFFF8000u);
    EXPECT_EQ(w->changed_values, Indices{row.index});
    EXPECT_EQ(other_colours(), others);
    EXPECT_EQ(QColorDialog::customColor(1).rgba(), row.reference | 0xFF000000u) << "slot 1 keeps the reference";
}

TEST_P(Colours, CancelChangesNothing)
{
    const ColourRow& row = GetParam();
    const std::string sheet = button->styleSheet().toStdString();
    const uint32_t value = settings_get_value(&user_config, row.index);

    const DialogView view = pick_through_dialog(button, QColor());
    ASSERT_TRUE(view.opened);
    EXPECT_EQ(button->styleSheet().toStdString(), sheet);
    EXPECT_EQ(settings_get_value(&user_config, row.index), value);
    EXPECT_TRUE(w->changed_values.empty());
}

TEST_P(Colours, TextHandlerReadsTheButton)
{
    const ColourRow& row = GetParam();
    const std::vector<uint32_t> others = other_colours();

    button->setStyleSheet("border: 1px; background-color: #A1b2C3;");
    invoke(*w, row.text_handler);
    EXPECT_EQ(settings_get_value(&user_config, row.index), 0xFFA1B2C3u);
    EXPECT_EQ(w->changed_values, Indices{row.index});
    EXPECT_EQ(other_colours(), others);

    w->changed_values.clear();
    button->setStyleSheet("background-color: red;");
    invoke(*w, row.text_handler);
    EXPECT_EQ(settings_get_value(&user_config, row.index), 0xFFA1B2C3u);
    EXPECT_TRUE(w->changed_values.empty());
}

}  // namespace
