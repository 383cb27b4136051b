// The mapping between the working settings record and the form, in both
// directions, and the change handlers that convert more than one value.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "EFIS_shared/get_set.h"
#include "app_util.h"

namespace {

using Indices = std::set<settings_struct_index>;

uint32_t float_bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

std::string reg_bytes(const Settings_t& s) { return std::string(s.registration, sizeof s.registration); }

// 12 registration bytes: text, then fill up to 12.
std::string reg(const std::string& text, char fill = '\0')
{
    std::string r = text.substr(0, 12);
    r.resize(12, fill);
    return r;
}

// A record that is valid as the unit stores it and that differs from the
// form's initial state in every field.
Settings_t sample_record()
{
    Settings_t s;
    std::memset(&s, 0, sizeof s);
    s.magic = SETTINGS_MAGIC;
    s.version = 3;
    s.num_elements = 31;
    s.units.units_value = 0xFFFFFE00u | 0x152u;  // knots, meters, celsius, mbar
    s.vspeeds = {30, 45, 52, 85, 120, 161, 65, 99};
    s.volt_warnings = {123, 147};
    s.volt_alerts = {109, 160};
    std::memcpy(s.registration, "G-ABCD", 6);
    const uint32_t colours[10] = {0xFF87CEEB, 0xFF1E90FF, 0xFF8B4513, 0xFFA0522D, 0xFFFF00FF,
                                  0xFFFFFFFE, 0xFF00C000, 0xFFFFD700, 0xFFFF0000, 0xFF0000FF};
    std::memcpy(s.sky_color, colours, sizeof colours);
    s.backlight_brightness = 21;
    s.roll_correction = 0.1f;
    s.pitch_correction = -2.5f;
    s.text_bg_alpha = 254;
    s.use_mag_heading = 0x12345678;  // no widget: neither shown nor changed
    s.ownship_icao = 0xABCDEF;
    s.icao_address_type = 1;
    s.emitter_cat = 21;
    s.enable_term_resistor = 0;
    s.map_track = map_track_up;
    s.crc32 = settings_CalcCRC(&s);
    return s;
}

class Mapping : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The fields wait for a record loaded from a unit.
        apptest::world_with_unit_on(sim::Link::USB);
        std::memset(&user_config, 0, sizeof user_config);
        w = std::make_unique<MainWindow>();
        ui = w->ui;
        w->changed_values.clear();
    }

    void show(const Settings_t& s)
    {
        user_config = s;
        w->updateUIFromConfig();
    }

    void show_registration(const std::string& bytes12)
    {
        Settings_t s = sample_record();
        std::memcpy(s.registration, bytes12.data(), 12);
        show(s);
    }

    std::unique_ptr<MainWindow> w;
    Ui_MainWindow* ui = nullptr;
};

// ------------------------------------------------------------ registration

struct RegCase {
    std::string bytes;   // the 12 record bytes
    const char* prefix;  // shown in the prefix list
    const char* rest;    // shown in the registration field
    std::string saved;   // the 12 bytes after the form is written back
};

TEST_F(Mapping, RegistrationShownAndWrittenBack)
{
    const std::string ff(12, '\xFF');
    const RegCase cases[] = {
        {reg("N123AB"), "N", "123AB", reg("N123AB")},
        // First match in table order, not the longest: every C.. and D..
        // registration falls under "C" or "D" and still saves unchanged.
        {reg("CC123"), "C", "C123", reg("CC123")},
        {reg("CP-ABC"), "C", "P-ABC", reg("CP-ABC")},
        {reg("CX1"), "C", "X1", reg("CX1")},
        {reg("CN-RGA"), "C", "N-RGA", reg("CN-RGA")},
        {reg("C6ABC"), "C", "6ABC", reg("C6ABC")},
        {reg("D2ABC"), "D", "2ABC", reg("D2ABC")},
        {reg("D6XYZ"), "D", "6XYZ", reg("D6XYZ")},
        {reg("D-EABC"), "D", "-EABC", reg("D-EABC")},
        {reg("EC-XYZ"), "EC", "-XYZ", reg("EC-XYZ")},
        {reg("RDPL1234"), "RDPL", "1234", reg("RDPL1234")},
        {reg("A9C12"), "A9C", "12", reg("A9C12")},
        {reg("9H-AAA"), "9H", "-AAA", reg("9H-AAA")},
        {reg("N1234567890"), "N", "1234567890", reg("N1234567890")},
        {reg("F-\xC9" "1"), "F", "-\xC9" "1", reg("F-\xC9" "1")},
        // At most 11 characters are read; byte 11 is always 0 after a save.
        {reg("N12345678901"), "N", "1234567890", reg("N1234567890")},
        {reg("G-AB\xFF" "CD"), "G", "-AB", reg("G-AB")},
        // No prefix: "N" and the first 10 characters.
        {reg("QQ123456789"), "N", "QQ12345678", reg("NQQ12345678")},
        {reg("cc123"), "N", "cc123", reg("Ncc123")},
        // Erased or empty: "N" and an empty field, saved as all zero.
        {ff, "N", "", reg("")},
        {reg(""), "N", "", reg("")},
        {reg("\xFF" "ABC"), "N", "", reg("")},
        {reg(std::string(1, '\0') + "ABC"), "N", "", reg("")},
    };
    for (const RegCase& c : cases) {
        SCOPED_TRACE(QByteArray(c.bytes.data(), 12).toHex(' ').toStdString());
        show_registration(reg("G-ZZZZ"));  // a state each case must replace
        show_registration(c.bytes);
        EXPECT_EQ(ui->comboBox_reg_prefix->currentText().toLatin1().toStdString(), c.prefix);
        EXPECT_EQ(ui->comboBox_reg_prefix->currentIndex(), ui->comboBox_reg_prefix->findText(c.prefix));
        EXPECT_EQ(ui->text_registration_num->toPlainText().toLatin1().toStdString(), c.rest);
        EXPECT_TRUE(w->changed_values.empty());

        w->updateConfigFromUI();
        EXPECT_EQ(reg_bytes(user_config), c.saved);
        EXPECT_TRUE(w->changed_values.empty());
    }
}

struct RegEdit {
    const char* prefix;
    QString rest;
    std::string stored;
    uint32_t packed[3];
};

TEST_F(Mapping, RegistrationEditPacksFirstCharacterMostSignificant)
{
    const RegEdit cases[] = {
        {"N", "123AB", reg("N123AB"), {0x4E313233, 0x41420000, 0}},
        {"C", "C123", reg("CC123"), {0x43433132, 0x33000000, 0}},
        {"RDPL", "12345678", reg("RDPL1234567"), {0x5244504C, 0x31323334, 0x35363700}},
        {"9H", "ABCDEFGHIJKLMNOP", reg("9HABCDEFGHI"), {0x39484142, 0x43444546, 0x47484900}},
        {"G", QString::fromUtf8("\xC3\xA9"), reg("G\xE9"), {0x47E90000, 0, 0}},           // é is Latin-1
        {"N", QString::fromUtf8("\xD0\x96" "1"), reg("N?1"), {0x4E3F3100, 0, 0}},        // Ж is not
        {"EC", "", reg(""), {0, 0, 0}},                                                  // prefix not stored
    };
    for (const RegEdit& c : cases) {
        SCOPED_TRACE(c.stored);
        show_registration(reg("G-ZZZZ"));
        w->changed_values.clear();
        ui->comboBox_reg_prefix->setCurrentText(c.prefix);
        ui->text_registration_num->setPlainText(c.rest);
        EXPECT_EQ(reg_bytes(user_config), c.stored);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(settings_get_value(&user_config, settings_struct_index(REGISTRATION_1_INDEX + k)), c.packed[k])
                << "word " << k;
        EXPECT_EQ(w->changed_values, Indices({REGISTRATION_1_INDEX, REGISTRATION_2_INDEX, REGISTRATION_3_INDEX}));
        EXPECT_EQ(user_config.crc32, settings_CalcCRC(&user_config));
    }
}

TEST_F(Mapping, ClearingTheRegistrationFieldStoresAllZero)
{
    show_registration(reg("N123AB"));
    QTest::keyClick(ui->text_registration_num, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(ui->text_registration_num, Qt::Key_Backspace);
    EXPECT_TRUE(ui->text_registration_num->toPlainText().isEmpty());
    EXPECT_EQ(ui->comboBox_reg_prefix->currentText(), "N");
    EXPECT_EQ(reg_bytes(user_config), reg(""));
    EXPECT_EQ(w->changed_values, Indices({REGISTRATION_1_INDEX, REGISTRATION_2_INDEX, REGISTRATION_3_INDEX}));

    QTest::keyClicks(ui->text_registration_num, "X1");
    EXPECT_EQ(reg_bytes(user_config), reg("NX1"));
}

// ------------------------------------------------------------ ICAO address

// A text that is not 1 to 6 hexadecimal digits is no address: the record
// keeps the one it had (here 5A5A5A) instead of taking the parse.
TEST_F(Mapping, IcaoTextParsing)
{
    const uint32_t KEPT = 0x5A5A5A;
    const struct {
        const char* text;
        uint32_t want;    // ownshipIcaoFromIcaoField
        uint32_t stored;  // in the record
    } cases[] = {
        {" abc ", 0xABC, 0xABC},         {"\tabc\n", 0xABC, 0xABC},  {"ABC", 0xABC, 0xABC},
        {"123", 0x123, 0x123},           {"000001", 0x1, 0x1},       {"FFFFFF", 0xFFFFFF, 0xFFFFFF},
        {"12345678", 0x345678, KEPT},    {"1000000", 0, KEPT},       {"FFFFFFFF", 0xFFFFFF, KEPT},
        {"100000000", 0, KEPT},          {"999999999999", 0, KEPT},  {"xyz", 0, KEPT},
        {"0x12", 0, KEPT},               {"", 0, KEPT},              {"   ", 0, KEPT},
        {"12 34", 0, KEPT},              {"-1", 0, KEPT},            {"ab-cd", 0, KEPT},
        {"12\n34", 0x1234, 0x1234},      {"+123", 0, KEPT},          {"+ABC", 0, KEPT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        user_config.ownship_icao = KEPT;
        w->changed_values.clear();
        ui->text_icao->setPlainText("5A5A5A");  // makes the next text a change
        ui->text_icao->setPlainText(c.text);
        EXPECT_EQ(w->ownshipIcaoFromIcaoField(), c.want);
        EXPECT_EQ(user_config.ownship_icao, c.stored);
        EXPECT_EQ(w->changed_values, Indices({OWNSHIP_ICAO_INDEX}));
        w->updateConfigFromUI();
        EXPECT_EQ(user_config.ownship_icao, c.stored);
    }
}

TEST_F(Mapping, IcaoShownAsSixUpperCaseDigits)
{
    const struct {
        uint32_t value;
        const char* text;
    } cases[] = {
        {0x00ABCDEF, "ABCDEF"}, {0x000001, "000001"}, {0, "000000"},
        {0x000ABC, "000ABC"},   {0xFF123456, "123456"}, {0xFFFFFFFF, "FFFFFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Settings_t s = sample_record();
        s.ownship_icao = c.value;
        show(s);
        EXPECT_EQ(ui->text_icao->toPlainText().toStdString(), c.text);
        EXPECT_EQ(w->ownshipIcaoFromIcaoField(), c.value & 0xFFFFFF);
    }
}

// ------------------------------------------------------------ ranges

struct RangeCase {
    const char* widget;  // object name
    settings_struct_index index;
    uint32_t value;      // in the record
    double want_shown;
    uint32_t want_stored;
};

// What a spin box, slider or combo box shows, as one number.
double shown(const QWidget* w)
{
    if (const QComboBox* c = qobject_cast<const QComboBox*>(w))
        return c->currentIndex();
    return w->property("value").toDouble();
}

// A record value outside the widget's range shows as the range's nearest
// end, and writing the form back stores that end value.
TEST_F(Mapping, OutOfRangeValuesShowAndSaveTheRangeEnd)
{
    const RangeCase cases[] = {
        {"spinBox_vne", VNE_INDEX, 250, 240, 240},
        {"spinBox_vmin", VMIN_INDEX, 255, 255, 255},
        {"min_volt_warn_value", MIN_VOLTS_INDEX, 0, 5.0, 50},
        {"max_volt_warn_value", MAX_VOLTS_INDEX, 700, 65.0, 650},
        {"max_volt_alert_value", MAX_VOLTS_ALERT_INDEX, 0xFFFF, 65.0, 650},
        {"min_volt_alert_value", MIN_VOLTS_ALERT_INDEX, 49, 5.0, 50},
        {"text_bg_alpha_slider", TEXT_BG_ALPHA_INDEX, 255, 254, 254},
        {"text_bg_alpha_slider", TEXT_BG_ALPHA_INDEX, 0xFFFFFFFF, 0, 0},
        {"backlight_slider", BACKLIGHT_BRIGHTNESS_INDEX, 30, 21, 21},
        {"backlight_slider", BACKLIGHT_BRIGHTNESS_INDEX, uint32_t(-5), 0, 0},
        {"comboBox_emitter_cat", EMITTER_CAT_INDEX, 99, 21, 21},
        {"comboBox_emitter_cat", EMITTER_CAT_INDEX, 0xFFFFFFFF, 0, 0},
        {"comboBox_map_view", MAP_DIR_INDEX, 7, 0, 0},
        {"comboBox_map_view", MAP_DIR_INDEX, 0xFFFFFFFF, 0, 0},
        {"roll_corr_spinbox", ROLL_CORRECTION_INDEX, float_bits(120.0f), 90.0, float_bits(90.0f)},
        {"pitch_corr_spinbox", PITCH_CORRECTION_INDEX, float_bits(-100.0f), -90.0, float_bits(-90.0f)},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.widget << " " << c.value);
        Settings_t s = sample_record();
        uint32_t v = c.value;
        ASSERT_TRUE(settings_set_value(&s, c.index, &v));
        show(s);
        const QWidget* widget = w->findChild<QWidget*>(c.widget);
        ASSERT_NE(widget, nullptr);
        EXPECT_DOUBLE_EQ(shown(widget), c.want_shown);
        w->updateConfigFromUI();
        EXPECT_EQ(settings_get_value(&user_config, c.index), c.want_stored);
    }
    EXPECT_TRUE(w->changed_values.empty());
}

TEST_F(Mapping, VoltagesInTenths)
{
    const struct {
        QDoubleSpinBox* Ui_MainWindow::*box;
        settings_struct_index index;
        uint16_t (*field)(const Settings_t&);
    } boxes[] = {
        {&Ui_MainWindow::min_volt_warn_value, MIN_VOLTS_INDEX,
         [](const Settings_t& s) { return s.volt_warnings.min_volts; }},
        {&Ui_MainWindow::max_volt_warn_value, MAX_VOLTS_INDEX,
         [](const Settings_t& s) { return s.volt_warnings.max_volts; }},
        {&Ui_MainWindow::min_volt_alert_value, MIN_VOLTS_ALERT_INDEX,
         [](const Settings_t& s) { return s.volt_alerts.min_volts; }},
        {&Ui_MainWindow::max_volt_alert_value, MAX_VOLTS_ALERT_INDEX,
         [](const Settings_t& s) { return s.volt_alerts.max_volts; }},
    };
    for (const auto& b : boxes) {
        QDoubleSpinBox* box = ui->*b.box;
        SCOPED_TRACE(box->objectName().toStdString());
        Settings_t s = sample_record();
        s.volt_warnings = {115, 115};
        s.volt_alerts = {115, 115};
        show(s);
        EXPECT_DOUBLE_EQ(box->value(), 11.5);

        w->changed_values.clear();
        box->setValue(12.3);
        EXPECT_EQ(b.field(user_config), 123);
        EXPECT_EQ(w->changed_values, Indices({b.index}));
        box->setValue(64.9);
        EXPECT_EQ(b.field(user_config), 649);
        w->updateConfigFromUI();
        EXPECT_EQ(b.field(user_config), 649);
    }
}

// ------------------------------------------------------------ colours

struct ColourCase {
    QPushButton* Ui_MainWindow::*button;
    settings_struct_index index;
    const char* text_slot;
};

const ColourCase COLOURS[10] = {
    {&Ui_MainWindow::color_picker_sky0, SKY_COLOR_0_INDEX, "onSkyColor0Changed"},
    {&Ui_MainWindow::color_picker_sky1, SKY_COLOR_1_INDEX, "onSkyColor1Changed"},
    {&Ui_MainWindow::color_picker_ground0, GROUND_COLOR_0_INDEX, "onGroundColor0Changed"},
    {&Ui_MainWindow::color_picker_ground1, GROUND_COLOR_1_INDEX, "onGroundColor1Changed"},
    {&Ui_MainWindow::color_picker_app_indi, APPROACH_COLOR_INDEX, "onApproachIndiColorChanged"},
    {&Ui_MainWindow::color_picker_airplane, AIRPLANE_COLOR_INDEX, "onAirplaneColorChanged"},
    {&Ui_MainWindow::color_picker_green, GREEN_ARC_COLOR_INDEX, "onGreenArcColorChanged"},
    {&Ui_MainWindow::color_picker_yellow, YELLOW_ARC_COLOR_INDEX, "onYellowArcColorChanged"},
    {&Ui_MainWindow::color_picker_red, RED_ARC_COLOR_INDEX, "onRedArcColorChanged"},
    {&Ui_MainWindow::color_picker_gear, GEAR_INDI_COLOR_INDEX, "onGearIndiColorChanged"},
};

TEST_F(Mapping, ColourFieldsShownAsStyleSheetsAndReadBack)
{
    Settings_t s = sample_record();
    for (int i = 0; i < 10; ++i) {
        uint32_t v = 0x00112233u + 0x10101u * uint32_t(i);
        settings_set_value(&s, COLOURS[i].index, &v);
    }
    s.sky_color[0] = 0x00AABBCC;  // alpha ignored, lower-case name
    show(s);
    for (int i = 0; i < 10; ++i) {
        const uint32_t v = i == 0 ? 0xAABBCCu : 0x112233u + 0x10101u * i;
        EXPECT_EQ((ui->*COLOURS[i].button)->styleSheet(), QString::asprintf("background-color: #%06x;", v))
            << "row " << i;
    }
    EXPECT_EQ((ui->*COLOURS[1].button)->styleSheet(), "background-color: #122334;");

    // Read back unchanged: opaque. Upper-case hex is read too; a style
    // sheet without a colour leaves the field as it was.
    ui->color_picker_ground0->setStyleSheet("background-color: #AABBCC;");
    ui->color_picker_red->setStyleSheet("color: red;");
    user_config.red_arc_color = 0x01020304;
    w->updateConfigFromUI();
    for (int i = 0; i < 10; ++i) {
        const uint32_t want = i == 2 ? 0xFFAABBCCu : i == 8 ? 0x01020304u : i == 0 ? 0xFFAABBCCu
                                                                           : 0xFF112233u + 0x10101u * i;
        EXPECT_EQ(settings_get_value(&user_config, COLOURS[i].index), want) << "row " << i;
    }
    EXPECT_TRUE(w->changed_values.empty());
}

TEST_F(Mapping, ColourTextHandlersStoreTheirOwnField)
{
    show(sample_record());
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(COLOURS[i].text_slot);
        w->changed_values.clear();
        const uint32_t v = 0x0A0B0C + uint32_t(i);
        (ui->*COLOURS[i].button)->setStyleSheet(QString::asprintf("background-color: #%06X;", v));
        ASSERT_TRUE(QMetaObject::invokeMethod(w.get(), COLOURS[i].text_slot, Qt::DirectConnection));
        EXPECT_EQ(settings_get_value(&user_config, COLOURS[i].index), 0xFF000000u | v);
        EXPECT_EQ(w->changed_values, Indices({COLOURS[i].index}));
    }
}

// ------------------------------------------------------------ units

TEST_F(Mapping, UnitBitsShownInTheFourCombos)
{
    const struct {
        uint32_t units;
        int airspeed, altitude, temp, pressure;
    } cases[] = {
        {0x000, 1, 0, 0, 0},  // nothing set: knots, feet, fahrenheit, inHg
        {0x001, 0, 0, 0, 0},  {0x007, 0, 0, 0, 0},  {0x006, 1, 0, 0, 0}, {0x002, 1, 0, 0, 0},
        {0x004, 2, 0, 0, 0},  {0x010, 1, 1, 0, 0},  {0x008, 1, 0, 0, 0}, {0x018, 1, 1, 0, 0},
        {0x040, 1, 0, 1, 0},  {0x020, 1, 0, 0, 0},  {0x100, 1, 0, 0, 1}, {0x080, 1, 0, 0, 0},
        {0xFFFFFE00, 1, 0, 0, 0}, {0xFFFFFFFF, 0, 1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.units);
        Settings_t s = sample_record();
        s.units.units_value = c.units;
        show(s);
        EXPECT_EQ(ui->comboBox_airspeed->currentIndex(), c.airspeed);
        EXPECT_EQ(ui->comboBox_altitude->currentIndex(), c.altitude);
        EXPECT_EQ(ui->comboBox_temp->currentIndex(), c.temp);
        EXPECT_EQ(ui->comboBox_pressure->currentIndex(), c.pressure);
    }
}

struct UnitsCase {
    int airspeed, altitude, temp, pressure;
    uint32_t bits;  // bits 0-8 the four combos give
};

const UnitsCase UNIT_FORMS[] = {
    {0, 0, 0, 0, 0x0A9},  // mph, feet, fahrenheit, inHg
    {1, 1, 1, 1, 0x152},  // knots, meters, celsius, mbar
    {2, 0, 1, 0, 0x0CC},
    {2, 1, 0, 1, 0x134},
};

// Bits 9-31 belong to the unit and survive every form change.
TEST_F(Mapping, UnitCombosWriteBitsZeroToEightOnly)
{
    for (uint32_t high : {0u, 0xFFFFFE00u, 0xA5A5A400u}) {
        for (const UnitsCase& c : UNIT_FORMS) {
            SCOPED_TRACE(testing::Message() << std::hex << high << " " << c.bits);
            Settings_t s = sample_record();
            s.units.units_value = high | 0x1FF;  // every low bit set: mph shown
            show(s);
            w->changed_values.clear();
            // A user edit of each combo; airspeed always changes.
            ui->comboBox_airspeed->setCurrentIndex(c.airspeed == 0 ? 1 : c.airspeed);
            ui->comboBox_airspeed->setCurrentIndex(c.airspeed);
            ui->comboBox_altitude->setCurrentIndex(c.altitude);
            ui->comboBox_temp->setCurrentIndex(c.temp);
            ui->comboBox_pressure->setCurrentIndex(c.pressure);
            EXPECT_EQ(user_config.units.units_value, high | c.bits);
            EXPECT_EQ(w->changed_values, Indices({UNITS_VALUE_INDEX}));

            user_config.units.units_value = high | (~c.bits & 0x1FF);
            w->updateConfigFromUI();
            EXPECT_EQ(user_config.units.units_value, high | c.bits);
            EXPECT_EQ(user_config.crc32, settings_CalcCRC(&user_config));
        }
    }
}

// ------------------------------------------------------------ choices

TEST_F(Mapping, TerminationResistorAndAddressType)
{
    const struct {
        uint32_t term, type;
        int term_index;
        bool random;
    } shown[] = {
        {0, 1, 1, true}, {1, 0, 0, false}, {2, 2, 0, false}, {0xFFFFFFFF, 0xFFFFFFFF, 0, false},
    };
    for (const auto& c : shown) {
        SCOPED_TRACE(c.term);
        Settings_t s = sample_record();
        s.enable_term_resistor = c.term;
        s.icao_address_type = c.type;
        show(s);
        EXPECT_EQ(ui->comboBox_term_res->currentIndex(), c.term_index);
        EXPECT_EQ(ui->radioButton_rand_icao->isChecked(), c.random);
        EXPECT_EQ(ui->radioButton_use_icao->isChecked(), !c.random);
        w->updateConfigFromUI();
        EXPECT_EQ(user_config.enable_term_resistor, c.term_index == 0 ? 1u : 0u);
        EXPECT_EQ(user_config.icao_address_type, c.random ? 1u : 0u);
    }

    w->changed_values.clear();
    ui->comboBox_term_res->setCurrentIndex(0);
    EXPECT_EQ(user_config.enable_term_resistor, 1u);
    ui->comboBox_term_res->setCurrentIndex(1);
    EXPECT_EQ(user_config.enable_term_resistor, 0u);
    EXPECT_EQ(w->changed_values, Indices({TERM_RESISTOR_INDEX}));

    w->changed_values.clear();
    ui->radioButton_rand_icao->setChecked(true);
    EXPECT_EQ(user_config.icao_address_type, 1u);
    ui->radioButton_use_icao->setChecked(true);
    EXPECT_EQ(user_config.icao_address_type, 0u);
    EXPECT_EQ(w->changed_values, Indices({ICAO_ADDR_TYPE_INDEX}));
}

// ------------------------------------------------------------ whole record

TEST_F(Mapping, FillingTheFormRunsNoChangeHandler)
{
    w->changed_values = {VLO_INDEX};
    const Settings_t s = sample_record();
    show(s);
    EXPECT_EQ(w->changed_values, Indices({VLO_INDEX}));
    EXPECT_EQ(std::memcmp(&user_config, &s, sizeof s), 0);
    for (QWidget* child : w->findChildren<QWidget*>())
        EXPECT_FALSE(child->signalsBlocked()) << child->objectName().toStdString();

    // Every field really moved away from the form's initial state.
    EXPECT_EQ(ui->spinBox_vlo->value(), 99);
    EXPECT_DOUBLE_EQ(ui->min_volt_warn_value->value(), 12.3);
    EXPECT_EQ(ui->comboBox_reg_prefix->currentText(), "G");
    EXPECT_EQ(ui->text_registration_num->toPlainText(), "-ABCD");
    EXPECT_EQ(ui->backlight_slider->value(), 21);
    EXPECT_DOUBLE_EQ(ui->roll_corr_spinbox->value(), 0.1);
    EXPECT_TRUE(ui->radioButton_rand_icao->isChecked());
    EXPECT_EQ(ui->comboBox_map_view->currentIndex(), 1);
    EXPECT_EQ(ui->comboBox_term_res->currentIndex(), 1);

    // And the handlers are live again afterwards.
    ui->spinBox_vs0->setValue(46);
    EXPECT_EQ(w->changed_values, Indices({VS0_INDEX, VLO_INDEX}));
}

TEST_F(Mapping, RecordInRangeSurvivesTheRoundTrip)
{
    const Settings_t s = sample_record();
    show(s);
    w->updateConfigFromUI();
    EXPECT_EQ(std::memcmp(&user_config, &s, sizeof s), 0);
    EXPECT_EQ(user_config.use_mag_heading, 0x12345678u);
    EXPECT_EQ(user_config.crc32, s.crc32);
    EXPECT_TRUE(w->changed_values.empty());
}

}  // namespace
