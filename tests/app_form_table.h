#ifndef TESTS_APP_FORM_TABLE_H
#define TESTS_APP_FORM_TABLE_H

// What the main window form must build, row by row. Kept apart from the
// checks so the tables read like the form's own description.
//
// The generated form header is included here rather than in the test
// source: automatic uic looks for a form next to every source that names a
// ui_ header, and the form lives with the window, not with the tests.

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <QRect>
#include <QSizePolicy>

#include "ui_mainwindow.h"

namespace form_table {

// ---------------------------------------------------------------- tables

// Every widget of the form with where it hangs and how it looks. The
// object comes from the form's member of the same name, so the member names
// the other window code uses are checked too.
struct WidgetRow {
    const char* name;
    QObject* obj;
    const char* cls;
    const char* parent;
    std::optional<QRect> geom;  // only for widgets placed by absolute geometry
    int point_size;             // -1: keeps the application font
};

inline std::vector<WidgetRow> widget_rows(const Ui_MainWindow& u) {
    const std::optional<QRect> none;
    return {
        // window level
        {"centralwidget", u.centralwidget, "QWidget", "MainWindow", none, -1},
        {"tabWidget", u.tabWidget, "QTabWidget", "centralwidget", QRect(10, 10, 1041, 541), -1},
        {"menubar", u.menubar, "QMenuBar", "MainWindow", QRect(0, 0, 1065, 23), -1},
        {"statusbar", u.statusbar, "QStatusBar", "MainWindow", none, -1},
        // containers on the Settings tab
        {"layoutWidget1", u.layoutWidget1, "QWidget", "tab", QRect(30, 60, 143, 301), -1},
        {"gridLayoutWidget", u.gridLayoutWidget, "QWidget", "tab", QRect(210, 60, 121, 320), -1},
        {"layoutWidget_3", u.layoutWidget_3, "QWidget", "tab", QRect(370, 60, 147, 321), -1},
        {"layoutWidget", u.layoutWidget, "QWidget", "tab", QRect(523, 60, 47, 321), -1},
        {"gridLayoutWidget_6", u.gridLayoutWidget_6, "QWidget", "tab", QRect(600, 60, 201, 128), -1},
        {"gridLayoutWidget_7", u.gridLayoutWidget_7, "QWidget", "tab", QRect(600, 220, 201, 71), -1},
        {"layoutWidget_2", u.layoutWidget_2, "QWidget", "tab", QRect(200, 460, 471, 28), -1},
        // registration
        {"comboBox_reg_prefix", u.comboBox_reg_prefix, "QComboBox", "tab", QRect(30, 10, 71, 30), 12},
        // Each text field lies a pixel inside a box that draws its frame.
        {"registration_border", u.registration_border, "QWidget", "tab", QRect(109, 9, 106, 33), -1},
        {"text_registration_num", u.text_registration_num, "QPlainTextEdit", "tab", QRect(110, 10, 104, 31), 12},
        // unit selectors
        {"label_airspeed_units", u.label_airspeed_units, "QLabel", "layoutWidget1", none, 12},
        {"comboBox_airspeed", u.comboBox_airspeed, "QComboBox", "layoutWidget1", none, -1},
        {"label_altitude_units", u.label_altitude_units, "QLabel", "layoutWidget1", none, 12},
        {"comboBox_altitude", u.comboBox_altitude, "QComboBox", "layoutWidget1", none, -1},
        {"label_pressure_units", u.label_pressure_units, "QLabel", "layoutWidget1", none, 12},
        {"comboBox_pressure", u.comboBox_pressure, "QComboBox", "layoutWidget1", none, -1},
        {"label_temp_units", u.label_temp_units, "QLabel", "layoutWidget1", none, 12},
        {"comboBox_temp", u.comboBox_temp, "QComboBox", "layoutWidget1", none, -1},
        // V-speeds
        {"label_vmin", u.label_vmin, "QLabel", "gridLayoutWidget", none, 12},
        {"label_vs0", u.label_vs0, "QLabel", "gridLayoutWidget", none, 12},
        {"label_vs1", u.label_vs1, "QLabel", "gridLayoutWidget", none, 12},
        {"label_vfe", u.label_vfe, "QLabel", "gridLayoutWidget", none, 12},
        {"label_vn0", u.label_vn0, "QLabel", "gridLayoutWidget", none, 12},
        {"label_vne", u.label_vne, "QLabel", "gridLayoutWidget", none, 12},
        {"label_vref", u.label_vref, "QLabel", "gridLayoutWidget", none, 12},
        {"label_vlo", u.label_vlo, "QLabel", "gridLayoutWidget", none, 12},
        {"spinBox_vmin", u.spinBox_vmin, "QSpinBox", "gridLayoutWidget", none, 12},
        {"spinBox_vs0", u.spinBox_vs0, "QSpinBox", "gridLayoutWidget", none, 12},
        {"spinBox_vs1", u.spinBox_vs1, "QSpinBox", "gridLayoutWidget", none, 12},
        {"spinBox_vfe", u.spinBox_vfe, "QSpinBox", "gridLayoutWidget", none, 12},
        {"spinBox_vn0", u.spinBox_vn0, "QSpinBox", "gridLayoutWidget", none, 12},
        {"spinBox_vne", u.spinBox_vne, "QSpinBox", "gridLayoutWidget", none, 12},
        {"spinBox_vref", u.spinBox_vref, "QSpinBox", "gridLayoutWidget", none, 12},
        {"spinBox_vlo", u.spinBox_vlo, "QSpinBox", "gridLayoutWidget", none, 12},
        // colours
        {"sky_top_label", u.sky_top_label, "QLabel", "layoutWidget_3", none, 12},
        {"sky_bottom_label", u.sky_bottom_label, "QLabel", "layoutWidget_3", none, 12},
        {"ground_top_label", u.ground_top_label, "QLabel", "layoutWidget_3", none, 12},
        {"ground_bottom_label", u.ground_bottom_label, "QLabel", "layoutWidget_3", none, 12},
        {"approach_indi_label", u.approach_indi_label, "QLabel", "layoutWidget_3", none, 12},
        {"gear_label", u.gear_label, "QLabel", "layoutWidget_3", none, 12},
        {"airplane_label", u.airplane_label, "QLabel", "layoutWidget_3", none, 12},
        {"green_label", u.green_label, "QLabel", "layoutWidget_3", none, 12},
        {"yellow_label", u.yellow_label, "QLabel", "layoutWidget_3", none, 12},
        {"red_label", u.red_label, "QLabel", "layoutWidget_3", none, 12},
        {"color_picker_sky0", u.color_picker_sky0, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_sky1", u.color_picker_sky1, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_ground0", u.color_picker_ground0, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_ground1", u.color_picker_ground1, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_app_indi", u.color_picker_app_indi, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_gear", u.color_picker_gear, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_airplane", u.color_picker_airplane, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_green", u.color_picker_green, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_yellow", u.color_picker_yellow, "QPushButton", "layoutWidget", none, -1},
        {"color_picker_red", u.color_picker_red, "QPushButton", "layoutWidget", none, -1},
        // voltage limits
        {"label_MinVolt_alert", u.label_MinVolt_alert, "QLabel", "gridLayoutWidget_6", none, 12},
        {"label_MinVolt_warn", u.label_MinVolt_warn, "QLabel", "gridLayoutWidget_6", none, 12},
        {"label_MaxVolt_warn", u.label_MaxVolt_warn, "QLabel", "gridLayoutWidget_6", none, 12},
        {"label_MaxVolt_alarm", u.label_MaxVolt_alarm, "QLabel", "gridLayoutWidget_6", none, 12},
        {"min_volt_alert_value", u.min_volt_alert_value, "QDoubleSpinBox", "gridLayoutWidget_6", none, -1},
        {"min_volt_warn_value", u.min_volt_warn_value, "QDoubleSpinBox", "gridLayoutWidget_6", none, -1},
        {"max_volt_warn_value", u.max_volt_warn_value, "QDoubleSpinBox", "gridLayoutWidget_6", none, -1},
        {"max_volt_alert_value", u.max_volt_alert_value, "QDoubleSpinBox", "gridLayoutWidget_6", none, -1},
        // attitude corrections
        {"label_roll_corr", u.label_roll_corr, "QLabel", "gridLayoutWidget_7", none, 12},
        {"label_pitch_corr", u.label_pitch_corr, "QLabel", "gridLayoutWidget_7", none, 12},
        {"roll_corr_spinbox", u.roll_corr_spinbox, "QDoubleSpinBox", "gridLayoutWidget_7", none, -1},
        {"pitch_corr_spinbox", u.pitch_corr_spinbox, "QDoubleSpinBox", "gridLayoutWidget_7", none, -1},
        // display sliders
        {"label_brightness", u.label_brightness, "QLabel", "tab", QRect(620, 320, 161, 21), 12},
        {"backlight_slider", u.backlight_slider, "QSlider", "tab", QRect(620, 350, 160, 16), -1},
        {"label_text_bg_alpha", u.label_text_bg_alpha, "QLabel", "tab", QRect(580, 380, 241, 21), 12},
        {"text_bg_alpha_slider", u.text_bg_alpha_slider, "QSlider", "tab", QRect(620, 410, 160, 16), -1},
        // traffic identity, map orientation, bus termination
        {"label_emitter_cat", u.label_emitter_cat, "QLabel", "tab", QRect(820, 50, 141, 31), 12},
        {"comboBox_emitter_cat", u.comboBox_emitter_cat, "QComboBox", "tab", QRect(820, 80, 201, 26), -1},
        {"label_icao_anon", u.label_icao_anon, "QLabel", "tab", QRect(820, 120, 191, 31), 12},
        {"radioButton_use_icao", u.radioButton_use_icao, "QRadioButton", "tab", QRect(820, 150, 121, 23), -1},
        {"radioButton_rand_icao", u.radioButton_rand_icao, "QRadioButton", "tab", QRect(820, 170, 151, 23), -1},
        {"label_icao_num", u.label_icao_num, "QLabel", "tab", QRect(820, 210, 141, 31), 12},
        {"icao_border", u.icao_border, "QWidget", "tab", QRect(819, 239, 106, 33), -1},
        {"text_icao", u.text_icao, "QPlainTextEdit", "tab", QRect(820, 240, 104, 31), 12},
        {"label_map_view", u.label_map_view, "QLabel", "tab", QRect(820, 290, 141, 31), 12},
        {"comboBox_map_view", u.comboBox_map_view, "QComboBox", "tab", QRect(820, 320, 121, 26), -1},
        {"label_map_view_2", u.label_map_view_2, "QLabel", "tab", QRect(820, 360, 161, 31), 12},
        {"comboBox_term_res", u.comboBox_term_res, "QComboBox", "tab", QRect(820, 390, 121, 26), -1},
        // settings command buttons
        {"pushButton_load", u.pushButton_load, "QPushButton", "layoutWidget_2", none, 10},
        {"pushButton_update", u.pushButton_update, "QPushButton", "layoutWidget_2", none, 10},
        {"pushButton_save", u.pushButton_save, "QPushButton", "layoutWidget_2", none, 10},
        // Firmware Update tab
        {"frame", u.frame, "QFrame", "tab_2", QRect(370, 100, 241, 281), -1},
        {"pushButton_browse", u.pushButton_browse, "QPushButton", "frame", QRect(40, 20, 161, 31), 12},
        {"firmware_file_border", u.firmware_file_border, "QWidget", "frame", QRect(19, 59, 193, 43), -1},
        {"text_firmware_file", u.text_firmware_file, "QTextEdit", "frame", QRect(20, 60, 191, 41), 10},
        {"pushButton_start_update", u.pushButton_start_update, "QPushButton", "frame", QRect(10, 140, 131, 31), 12},
        {"pushButton_cancel_fw", u.pushButton_cancel_fw, "QPushButton", "frame", QRect(150, 140, 81, 31), 12},
        {"progressBar_firmware", u.progressBar_firmware, "QProgressBar", "frame", QRect(10, 180, 221, 23), -1},
        {"pushButton_reboot", u.pushButton_reboot, "QPushButton", "frame", QRect(40, 230, 161, 31), 12},
        // Airport Database tab
        {"frame_2", u.frame_2, "QFrame", "tab_3", QRect(370, 100, 241, 231), -1},
        {"pushButton_browse_airports", u.pushButton_browse_airports, "QPushButton", "frame_2", QRect(30, 20, 171, 31), 12},
        {"airports_file_border", u.airports_file_border, "QWidget", "frame_2", QRect(19, 59, 193, 43), -1},
        {"text_firmware_file_2", u.text_firmware_file_2, "QTextEdit", "frame_2", QRect(20, 60, 191, 41), 10},
        {"pushButton_start_airport", u.pushButton_start_airport, "QPushButton", "frame_2", QRect(10, 140, 131, 31), 12},
        {"pushButton_cancel_airport", u.pushButton_cancel_airport, "QPushButton", "frame_2", QRect(150, 140, 81, 31), 12},
        {"progressBar_airports", u.progressBar_airports, "QProgressBar", "frame_2", QRect(10, 180, 221, 23), -1},
    };
}

// Visible texts of labels, buttons and radio buttons ("" = empty caption).
struct TextRow {
    const char* name;
    const char* text;
};

const TextRow kTexts[] = {
    {"label_airspeed_units", "Airspeed Units"},
    {"label_altitude_units", "Altitude Units"},
    {"label_pressure_units", "Pressure Units"},
    {"label_temp_units", "Temperature Units"},
    {"label_vmin", "Vmin"},
    {"label_vs0", "Vs0"},
    {"label_vs1", "Vs1"},
    {"label_vfe", "Vfe"},
    {"label_vn0", "Vno"},
    {"label_vne", "Vne"},
    {"label_vref", "Vref"},
    {"label_vlo", "Vlo"},
    {"sky_top_label", "Sky Upper"},
    {"sky_bottom_label", "Sky Lower"},
    {"ground_top_label", "Ground Upper"},
    {"ground_bottom_label", "Ground Lower"},
    {"approach_indi_label", "Approach Indicator"},
    {"gear_label", "Gear Indicator"},
    {"airplane_label", "Airplane"},
    {"green_label", "Green Arc"},
    {"yellow_label", "Yellow Arc"},
    {"red_label", "Red Arc"},
    {"color_picker_sky0", ""},
    {"color_picker_sky1", ""},
    {"color_picker_ground0", ""},
    {"color_picker_ground1", ""},
    {"color_picker_app_indi", ""},
    {"color_picker_gear", ""},
    {"color_picker_airplane", ""},
    {"color_picker_green", ""},
    {"color_picker_yellow", ""},
    {"color_picker_red", ""},
    {"label_MinVolt_alert", "Min Volt Alert"},
    {"label_MinVolt_warn", "Min Volt Warning"},
    {"label_MaxVolt_warn", "Max Volt Warning"},
    {"label_MaxVolt_alarm", "Max Volt Alert"},
    {"label_roll_corr", "Roll Correction"},
    {"label_pitch_corr", "Pitch Correction"},
    {"label_brightness", "Display Brightness"},
    {"label_text_bg_alpha", "Text Background Transparency"},
    {"label_emitter_cat", "Emitter Category"},
    {"label_icao_anon", "ICAO Anonymity"},
    {"radioButton_use_icao", "Use ICAO #"},
    {"radioButton_rand_icao", "Random ICAO #"},
    {"label_icao_num", "ICAO #"},
    {"label_map_view", "Map View"},
    {"label_map_view_2", "Termination Resistor"},
    {"pushButton_load", "Load settings from EFIS"},
    {"pushButton_update", "Update Settings on EFIS"},
    {"pushButton_save", "Save settings to EFIS"},
    {"pushButton_browse", "Select Firmware File"},
    {"pushButton_start_update", "Start Update"},
    {"pushButton_cancel_fw", "Cancel"},
    {"pushButton_reboot", "Reboot EFIS"},
    {"pushButton_browse_airports", "Select Airport DB File"},
    {"pushButton_start_airport", "Start Transfer"},
    {"pushButton_cancel_airport", "Cancel"},
};

struct ComboRow {
    const char* name;
    std::vector<const char*> items;
};

inline const std::vector<ComboRow>& combo_rows() {
    static const std::vector<ComboRow> rows = {
        {"comboBox_reg_prefix", {}},  // filled by the window, not by the form
        {"comboBox_airspeed", {"MPH", "Knots", "KPH"}},
        {"comboBox_altitude", {"Feet", "Meters"}},
        {"comboBox_pressure", {"InHg", "Mbar"}},
        {"comboBox_temp", {"Fahrenheit", "Celsius"}},
        {"comboBox_map_view", {"North Up", "Track Up"}},
        {"comboBox_term_res", {"Enable", "Disable"}},
        {"comboBox_emitter_cat",
         {"A0 : Reserved",
          "A1 : Light (< 15.5k lbs)",
          "A2 : Small (15.5k to 75k lbs)",
          "A3 : Large (75k to 300k lbs)",
          "A4 : High vortex large",
          "A5 : Heavy (> 300k lbs) ",
          "A6 : High Perf > 5g & 400 kts",
          "A7 : Rotorcraft",
          "B0 : Reserved",
          "B1 : Glider / sailplane",
          "B2 : Lighter-than-air",
          "B3 : Parachutist / skydiver",
          "B4 : Ultralight / hang-glider / paraglider",
          "B5 : Reserved",
          "B6 : Unmanned aerial vehicle",
          "B7 : Space / trans-atmospheric vehicle",
          "C0 : Reserved",
          u8"C1 : Surface vehicle \u2013 emergency vehicle",
          u8"C2 : Surface vehicle \u2013 service vehicle",
          "C3 : Point obstacle (includes tethered balloons)",
          "C4 : Cluster obstacle",
          "C5 : Line obstacle"}},
    };
    return rows;
}

struct IntSpinRow {
    const char* name;
    int min, max, step, value;
};

const IntSpinRow kIntSpins[] = {
    {"spinBox_vmin", 0, 255, 10, 0}, {"spinBox_vs0", 0, 255, 1, 0},
    {"spinBox_vs1", 0, 255, 1, 0},   {"spinBox_vfe", 0, 255, 1, 0},
    {"spinBox_vn0", 0, 255, 1, 0},   {"spinBox_vne", 0, 240, 1, 0},
    {"spinBox_vref", 0, 255, 1, 0},  {"spinBox_vlo", 0, 255, 1, 0},
};

struct DoubleSpinRow {
    const char* name;
    double min, max, value;
};

const DoubleSpinRow kDoubleSpins[] = {
    {"min_volt_alert_value", 5.0, 65.0, 11.5}, {"min_volt_warn_value", 5.0, 65.0, 11.5},
    {"max_volt_warn_value", 5.0, 65.0, 15.5},  {"max_volt_alert_value", 5.0, 65.0, 15.5},
    {"roll_corr_spinbox", -90.0, 90.0, 0.0},   {"pitch_corr_spinbox", -90.0, 90.0, 0.0},
};

struct SliderRow {
    const char* name;
    int max, value;
};

const SliderRow kSliders[] = {
    {"backlight_slider", 21, 10},
    {"text_bg_alpha_slider", 254, 150},
};

// Rich-text tooltip of a V-speed caption: bold lead, rest of the first
// paragraph, optional second paragraph.
struct RichTipRow {
    const char* name;
    const char* lead;
    const char* rest;
    const char* second;  // nullptr: no second paragraph
};

const RichTipRow kRichTips[] = {
    {"label_vs0", "Dirty stall speed", " (Bottom of white arc)",
     "Stall speed or minimum flight speed in landing configuration"},
    {"label_vs1", "Clean stall speed", " (Bottom of green arc)",
     "Stall speed or minimum steady flight speed for which the aircraft is still "
     "controllable in a specific configuration"},
    {"label_vfe", "Maximum flap extension speed ", "(Top of white arc)", nullptr},
    {"label_vn0", "Maximum structural cruising speed ", "(Top of green arc)",
     "Maximum structural cruising speed or maximum speed for normal operations."},
    {"label_vne", "Never exceed speed", " (Bottom of red arc)", nullptr},
    {"label_vref", "Approach speed", " (Magenta indicator)",
     "Landing reference speed or threshold crossing speed"},
    {"label_vlo", "Gear operating speed", " (**placeholder**)", "Maximum landing gear operating speed"},
};

inline std::string rich_tip(const RichTipRow& r) {
    std::string s = "<html><head/><body><p><span style=\" font-weight:700;\">";
    s += r.lead;
    s += "</span>";
    s += r.rest;
    s += "</p>";
    if (r.second) {
        s += "<p>";
        s += r.second;
        s += "</p>";
    }
    return s + "</body></html>";
}

const char* const kEmptyParagraphTip = "<html><head/><body><p><br/></p></body></html>";

const char* const kEmptyParagraphTipLabels[] = {
    "label_emitter_cat",    "label_icao_num",       "label_icao_anon",
    "label_map_view",       "label_airspeed_units", "label_altitude_units",
    "label_pressure_units", "label_temp_units",     "label_map_view_2",
};

const Qt::Alignment kRight = Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter;
const Qt::Alignment kLeft = Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter;

inline const std::map<std::string, Qt::Alignment>& label_alignments() {
    static const std::map<std::string, Qt::Alignment> m = {
        {"sky_top_label", kRight},       {"sky_bottom_label", kRight},
        {"ground_top_label", kRight},    {"ground_bottom_label", kRight},
        {"approach_indi_label", kRight}, {"gear_label", kRight},
        {"airplane_label", kRight},      {"green_label", kRight},
        {"yellow_label", kRight},        {"red_label", kRight},
        {"label_MinVolt_alert", kRight}, {"label_MinVolt_warn", kRight},
        {"label_MaxVolt_warn", kRight},  {"label_MaxVolt_alarm", kRight},
        {"label_roll_corr", kRight},     {"label_pitch_corr", kRight},
        {"label_brightness", kLeft},     {"label_text_bg_alpha", kLeft},
    };
    return m;
}

const char* const kDisabled[] = {
    "text_firmware_file",   "pushButton_start_update",  "pushButton_cancel_fw",      "progressBar_firmware",
    "text_firmware_file_2", "pushButton_start_airport", "pushButton_cancel_airport", "progressBar_airports",
};

struct SizePolicyRow {
    const char* name;
    QSizePolicy::Policy h, v;
};

const SizePolicyRow kSizePolicies[] = {
    {"text_registration_num", QSizePolicy::Expanding, QSizePolicy::Fixed},
    {"text_icao", QSizePolicy::Expanding, QSizePolicy::Fixed},
    {"text_firmware_file", QSizePolicy::Expanding, QSizePolicy::Fixed},
    {"text_firmware_file_2", QSizePolicy::Expanding, QSizePolicy::Fixed},
    {"min_volt_alert_value", QSizePolicy::Fixed, QSizePolicy::Fixed},
};

struct LayoutRow {
    const char* name;
    const char* cls;
    const char* container;
    // Box layouts: widgets in layout order. Grid layouts: (widget, row, column).
    std::vector<const char*> box_items;
    std::vector<std::tuple<const char*, int, int>> grid_items;
};

inline const std::vector<LayoutRow>& layout_rows() {
    static const std::vector<LayoutRow> rows = {
        {"verticalLayout", "QVBoxLayout", "layoutWidget1",
         {"label_airspeed_units", "comboBox_airspeed", "label_altitude_units", "comboBox_altitude",
          "label_pressure_units", "comboBox_pressure", "label_temp_units", "comboBox_temp"},
         {}},
        {"v_speed_layout", "QGridLayout", "gridLayoutWidget", {},
         {{"label_vmin", 0, 0}, {"spinBox_vmin", 0, 1}, {"label_vs0", 1, 0}, {"spinBox_vs0", 1, 1},
          {"label_vs1", 2, 0},  {"spinBox_vs1", 2, 1},  {"label_vfe", 3, 0}, {"spinBox_vfe", 3, 1},
          {"label_vn0", 4, 0},  {"spinBox_vn0", 4, 1},  {"label_vne", 5, 0}, {"spinBox_vne", 5, 1},
          {"label_vref", 6, 0}, {"spinBox_vref", 6, 1}, {"label_vlo", 7, 0}, {"spinBox_vlo", 7, 1}}},
        {"colors_label_layout", "QVBoxLayout", "layoutWidget_3",
         {"sky_top_label", "sky_bottom_label", "ground_top_label", "ground_bottom_label",
          "approach_indi_label", "gear_label", "airplane_label", "green_label", "yellow_label",
          "red_label"},
         {}},
        {"colors_layout", "QVBoxLayout", "layoutWidget",
         {"color_picker_sky0", "color_picker_sky1", "color_picker_ground0", "color_picker_ground1",
          "color_picker_app_indi", "color_picker_gear", "color_picker_airplane",
          "color_picker_green", "color_picker_yellow", "color_picker_red"},
         {}},
        {"volt_layout", "QGridLayout", "gridLayoutWidget_6", {},
         {{"label_MinVolt_alert", 0, 0}, {"min_volt_alert_value", 0, 1},
          {"label_MinVolt_warn", 1, 0}, {"min_volt_warn_value", 1, 1},
          {"label_MaxVolt_warn", 2, 0}, {"max_volt_warn_value", 2, 1},
          {"label_MaxVolt_alarm", 3, 0}, {"max_volt_alert_value", 3, 1}}},
        {"ang_corr_layout", "QGridLayout", "gridLayoutWidget_7", {},
         {{"label_roll_corr", 0, 0}, {"roll_corr_spinbox", 0, 1},
          {"label_pitch_corr", 1, 0}, {"pitch_corr_spinbox", 1, 1}}},
        {"btn_layout", "QHBoxLayout", "layoutWidget_2",
         {"pushButton_load", "pushButton_update", "pushButton_save"}, {}},
    };
    return rows;
}

// The input widgets of each page in the order they are created.
inline const std::vector<std::pair<const char*, std::vector<const char*>>>& input_order() {
    static const std::vector<std::pair<const char*, std::vector<const char*>>> pages = {
        {"tab",
         {"min_volt_warn_value", "max_volt_warn_value", "max_volt_alert_value",
          "min_volt_alert_value", "spinBox_vmin", "spinBox_vref", "spinBox_vne", "spinBox_vs1",
          "spinBox_vlo", "spinBox_vn0", "spinBox_vs0", "spinBox_vfe", "pushButton_load",
          "pushButton_update", "pushButton_save", "text_registration_num", "comboBox_reg_prefix",
          "backlight_slider", "color_picker_sky0", "color_picker_sky1", "color_picker_ground0",
          "color_picker_ground1", "color_picker_app_indi", "color_picker_gear",
          "color_picker_airplane", "color_picker_green", "color_picker_yellow",
          "color_picker_red", "pitch_corr_spinbox", "roll_corr_spinbox", "text_bg_alpha_slider",
          "comboBox_emitter_cat", "text_icao", "radioButton_use_icao", "radioButton_rand_icao",
          "comboBox_map_view", "comboBox_airspeed", "comboBox_altitude", "comboBox_pressure",
          "comboBox_temp", "comboBox_term_res"}},
        {"tab_2",
         {"pushButton_browse", "text_firmware_file", "pushButton_start_update", "pushButton_cancel_fw",
          "pushButton_reboot"}},
        {"tab_3",
         {"pushButton_browse_airports", "text_firmware_file_2", "pushButton_start_airport",
          "pushButton_cancel_airport"}},
    };
    return pages;
}

// The order Tab walks: on the Settings tab it follows the screen, column by
// column, and ends at the command buttons; the other tabs keep creation order.
inline const std::vector<const char*>& focus_order() {
    static const std::vector<const char*> order = {
        "comboBox_reg_prefix", "text_registration_num", "comboBox_airspeed", "comboBox_altitude",
        "comboBox_pressure", "comboBox_temp", "spinBox_vmin", "spinBox_vs0", "spinBox_vs1", "spinBox_vfe",
        "spinBox_vn0", "spinBox_vne", "spinBox_vref", "spinBox_vlo", "color_picker_sky0", "color_picker_sky1",
        "color_picker_ground0", "color_picker_ground1", "color_picker_app_indi", "color_picker_gear",
        "color_picker_airplane", "color_picker_green", "color_picker_yellow", "color_picker_red",
        "min_volt_alert_value", "min_volt_warn_value", "max_volt_warn_value", "max_volt_alert_value",
        "roll_corr_spinbox", "pitch_corr_spinbox", "backlight_slider", "text_bg_alpha_slider",
        "comboBox_emitter_cat", "radioButton_use_icao", "radioButton_rand_icao", "text_icao",
        "comboBox_map_view", "comboBox_term_res", "pushButton_load", "pushButton_update", "pushButton_save",
        "pushButton_browse", "text_firmware_file", "pushButton_start_update", "pushButton_cancel_fw",
        "pushButton_reboot", "pushButton_browse_airports", "text_firmware_file_2", "pushButton_start_airport",
        "pushButton_cancel_airport"};
    return order;
}

}  // namespace form_table

#endif  // TESTS_APP_FORM_TABLE_H
