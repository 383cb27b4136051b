// skarvel-efis-cli run in-process against the virtual unit: settings
// round trips between units, files refused before anything is sent, exit
// statuses that tell the truth, uploads and their interruption.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QAbstractSlider>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSpinBox>

#include <functional>
#include <thread>

#include "app_util.h"
#include "cli/cli.h"
#include "cli/settings_file.h"
#include "flash_support.h"

namespace {

using apptest::reseal;
using flashtest::TempFile;

struct CliRun {
    int code;
    std::string out, err;
};

CliRun cli(std::vector<std::string> args)
{
    args.insert(args.begin(), "skarvel-efis-cli");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    CliRun r{-1, "", ""};
    linktest::Output o = linktest::capture([&] { r.code = cli::cli_main(int(argv.size()), argv.data()); });
    r.out = o.out;
    r.err = o.err;
    return r;
}

std::string read_file(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

void write_file(const std::string& path, const std::string& text)
{
    QFile f(QString::fromStdString(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.data(), qint64(text.size()));
}

size_t sent(uint32_t can_id) { return flashtest::received(can_id); }

// A second unit: other values, another serial number, its own private unit bits.
void second_unit()
{
    sim::reset();
    sim::with_unit([](sim::VirtualUnit& u) {
        u.serial = 0x0BADCAFE;
        u.working.vspeeds.Vne = 200;
        u.working.units.units_value = (u.working.units.units_value & 0x1FFu) | (1u << 20);
        std::memcpy(u.working.registration, "D-EABC\0\0\0\0\0", 12);
        reseal(&u.working);
        u.stored = u.working;
    });
}

TEST(Cli, SettingsCopiedToASecondUnitKeepItsOwnBits)
{
    sim::reset();
    TempFile file({});
    ASSERT_EQ(cli({"settings", "export", file.path}).code, cli::EXIT_DONE);
    const std::string exported = read_file(file.path);
    EXPECT_NE(exported.find("\"serial_number\": \"0x12345678\""), std::string::npos) << exported;
    EXPECT_NE(exported.find("\"registration\": \"N123AB\""), std::string::npos);

    second_unit();
    const CliRun dry = cli({"--dry-run", "settings", "import", file.path});
    EXPECT_EQ(dry.code, cli::EXIT_DONE);
    EXPECT_NE(dry.out.find("vne: 200 kt -> 150 kt"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("registration: \"D-EABC\" -> \"N123AB\""), std::string::npos) << dry.out;
    EXPECT_EQ(sent(CANMSG_SET_USER_SETTING) + sent(CANMSG_SAVE_USER_SETTINGS), 0u);

    const CliRun done = cli({"settings", "import", file.path});
    EXPECT_EQ(done.code, cli::EXIT_DONE) << done.err;
    const sim::VirtualUnit u = flashtest::unit();
    Settings_t want = sim::factory_settings();
    want.units.units_value = (want.units.units_value & 0x1FFu) | (1u << 20);  // the second unit's own bits
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        Settings_t got = u.stored;
        EXPECT_EQ(settings_get_value(&got, settings_struct_index(i)), settings_get_value(&want, settings_struct_index(i)))
            << i;
    }
    EXPECT_EQ(sent(CANMSG_SET_USER_SETTING), 3u) << "vne and the two registration words that differ";
    EXPECT_EQ(u.stores, 1);
}

// A bad file is refused with the field named, before anything is sent.
TEST(Cli, BadSettingsFilesAreRefusedWhole)
{
    sim::reset();
    TempFile good({});
    ASSERT_EQ(cli({"settings", "export", good.path}).code, cli::EXIT_DONE);
    const std::string text = read_file(good.path);
    const struct {
        std::string from, to, named;
    } cases[] = {
        {"\"vne\": 150", "\"vne\": 241", "values.vne: 241 is outside 0 to 240"},
        {"\"vne\": 150", "\"vne\": 150.5", "values.vne: expected a whole number"},
        {"\"vne\": 150", "\"vnee\": 150", "values.vnee: unknown setting"},
        {"\"sky_color_0\": \"#87CEEB\"", "\"sky_color_0\": \"#87CEEG\"", "values.sky_color_0: expected a colour"},
        {"\"min_volts_warning\": 11.5", "\"min_volts_warning\": 11.55", "values.min_volts_warning: expected a number"},
        {"\"ownship_icao\": \"ABCDEF\"", "\"ownship_icao\": \"ABCDEFA\"", "values.ownship_icao: expected 1 to 6"},
        {"\"registration\": \"N123AB\"", "\"registration\": \"N123ABCDEFGH\"", "values.registration: \"N123ABCDEFGH\""},
        {"\"airspeed\": \"kt\"", "\"airspeed\": \"knots\"", "values.units: airspeed must be one of mph, kt, km/h"},
        {"\"format_version\": 1", "\"format_version\": 2", "format_version: 2 is not a version this tool reads"},
        {"\"num_elements\": 31", "\"num_elements\": 30", "layout: the file is for settings version 3 with 30"},
        {"\"values\": {", "\"values\": {,", "is not a settings document"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        std::string bad = text;
        ASSERT_NE(bad.find(c.from), std::string::npos);
        bad.replace(bad.find(c.from), c.from.size(), c.to);
        write_file(good.path + ".bad", bad);
        sim::with_unit([](sim::VirtualUnit& u) { u.received.clear(); });
        const CliRun r = cli({"settings", "import", good.path + ".bad"});
        EXPECT_EQ(r.code, cli::EXIT_BAD_FILE);
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_EQ(sent(CANMSG_SET_USER_SETTING) + sent(CANMSG_SAVE_USER_SETTINGS), 0u);
    }
    std::remove((good.path + ".bad").c_str());
}

TEST(Cli, ExitStatusTellsWhatHappened)
{
    const struct {
        const char* name;
        std::function<void()> world;
        std::vector<std::string> args;
        int code;
        const char* err;
    } cases[] = {
        {"set", [] { sim::reset(); }, {"settings", "set", "vne=180", "registration=G-ABCD"}, cli::EXIT_DONE, ""},
        {"unknown command", [] { sim::reset(); }, {"settings", "delete"}, cli::EXIT_USAGE, "unknown command"},
        {"unknown setting", [] { sim::reset(); }, {"settings", "set", "vnx=1"}, cli::EXIT_USAGE, "vnx=1"},
        {"value out of range", [] { sim::reset(); }, {"settings", "set", "backlight=22"}, cli::EXIT_USAGE,
         "backlight: 22 is outside 0 to 21"},
        {"bad link", [] { sim::reset(); }, {"--link", "wifi", "info"}, cli::EXIT_USAGE, "--link takes"},
        {"no unit", [] { apptest::world_without_unit(); }, {"info"}, cli::EXIT_NO_UNIT, "no unit answered"},
        {"no unit on the interface named", [] { sim::reset(); }, {"--link", "can", "--can-interface", "can1", "info"},
         cli::EXIT_NO_UNIT, "no unit answered on can1"},
        {"unit refuses a value",
         [] {
             sim::reset();
             sim::with_unit([](sim::VirtualUnit& u) { u.faults.nack = {CANMSG_SET_USER_SETTING}; });
         },
         {"settings", "set", "vne=181"}, cli::EXIT_UNIT_FAILED, "did not take value 6; nothing stored"},
        {"store not confirmed",
         [] {
             sim::reset();
             sim::with_unit([](sim::VirtualUnit& u) { u.faults.store_flash_nack = true; });
         },
         {"settings", "set", "vne=182"}, cli::EXIT_UNIT_FAILED, "did not confirm the store"},
        {"firmware file too short", [] { sim::reset(); }, {"firmware", "/dev/null"}, cli::EXIT_BAD_FILE,
         "shorter than a firmware header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.world();
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    sim::reset();
    ASSERT_EQ(cli({"settings", "set", "vne=180", "registration=G-ABCD"}).code, cli::EXIT_DONE);
    EXPECT_EQ(flashtest::unit().stored.vspeeds.Vne, 180);
    EXPECT_STREQ(flashtest::unit().stored.registration, "G-ABCD");
}

TEST(Cli, UploadsReportAndCtrlCStopsAtAPacketBoundary)
{
    sim::reset();
    const flashtest::Bytes image = flashtest::firmware_file(65536, 3000, 3000);
    TempFile fw(image);
    const CliRun r = cli({"firmware", fw.path});
    EXPECT_EQ(r.code, cli::EXIT_DONE) << r.err;
    EXPECT_NE(r.out.find("writing: 3000 / 3000 bytes (100%)"), std::string::npos) << r.out;
    EXPECT_EQ(flashtest::unit().flash.read(FW_BANK1_START_PAGE * MX25_BLOCK_SIZE, image.size()), image);

    // Ctrl-C in the middle of an airport database: stopped, and the unit's
    // database is said to stay closed.
    sim::reset();
    TempFile db(flashtest::pattern(4 * 1024 * 1024, 2));
    std::thread interrupt([] {
        for (int i = 0; i < 500; ++i) {
            bool writing = false;
            sim::with_unit([&](sim::VirtualUnit& u) { writing = u.write_packets > 100; });
            if (writing) {
                kill(getpid(), SIGINT);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const CliRun stopped = cli({"airport-db", db.path});
    interrupt.join();
    EXPECT_EQ(stopped.code, cli::EXIT_INTERRUPTED);
    EXPECT_NE(stopped.err.find("airport database stays closed until a complete transfer"), std::string::npos)
        << stopped.err;
    EXPECT_FALSE(flashtest::unit().airport_db_open);
    EXPECT_EQ(flashtest::unit().flash.describe_violations(), "");
}

// A connection that fails says why, exits 4, and leaves the unit alone.
TEST(Cli, ConnectFailuresSayWhy)
{
    const std::string node = sim::unit_hid_interface().path;
    const std::string pid = std::to_string(getpid());
    const std::string can_hint = "hint: CAN FD: bring can0 up with `ip link set can0 up type can bitrate 1000000 "
                                 "dbitrate 5000000 fd on`";
    const std::string internal = "Interface can0 does not exist or is not available";
    const struct {
        const char* name;
        std::function<void()> world;
        bool held;  // another instance holds both links
        std::vector<std::string> args;
        std::vector<std::string> said, unsaid;
    } cases[] = {
        {"in use on both links", [] { sim::reset(); }, true, {"settings", "set", "vne=175"},
         {"error: the unit on " + node + " is in use by another Skarvel EFIS Config (process " + pid + ")",
          "error: the unit on can0 is in use by another Skarvel EFIS Config (process " + pid + ")"},
         {"hint:"}},
        {"no unit", [] { apptest::world_without_unit(); }, false, {"info"},
         {"error: no unit answered on USB or can0", "Last lines of the log:\n  Attempting to connect",
          "hint: USB: check the cable, and that the udev rule is installed", can_hint},
         {internal}},
        {"no unit, verbose", [] { apptest::world_without_unit(); }, false, {"--verbose", "info"},
         {internal, can_hint}, {"Last lines of the log:"}},
        {"can0 in classic mode",
         [] {
             apptest::world_without_unit();
             sim::set_can_interfaces({"can0"});
             sim::set_can_interface_mtu("can0", 16);
         },
         false, {"--link", "can", "info"},
         {"error: can0 is not in CAN FD mode (MTU 16): bring it up with `ip link set can0 up type can bitrate "
          "1000000 dbitrate 5000000 fd on`"},
         {"hint:"}},
        {"node without the udev rule",
         [] {
             sim::reset();
             sim::HidInterface i = sim::unit_hid_interface();
             i.openable = false;
             sim::set_hid_interfaces({i});
         },
         false, {"--link", "usb", "info"},
         {"error: found the unit at " + node + " but cannot open it: Permission denied - install the udev rule"},
         {"hint:"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.world();
        CommsManager holder;
        if (c.held)
            linktest::capture([&] { ASSERT_TRUE(holder.establish_connection()); });
        sim::with_unit([](sim::VirtualUnit& u) { u.received.clear(); });
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, cli::EXIT_NO_UNIT);
        for (const std::string& text : c.said)
            EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
        for (const std::string& text : c.unsaid)
            EXPECT_EQ(r.err.find(text), std::string::npos) << text << "\n" << r.err;
        EXPECT_TRUE(flashtest::unit().received.empty()) << "the unit heard nothing";
        if (c.held) {
            linktest::capture([&] { EXPECT_EQ(set_value(&holder, SETTINGS_COMMS, VNE_INDEX, 174), 0); });
            EXPECT_EQ(flashtest::unit().working.vspeeds.Vne, 174) << "the holder goes on";
        }
    }
}

TEST(Cli, SerialChoosesAmongUnits)
{
    sim::reset();
    sim::set_second_unit(true, false);
    const CliRun info = cli({"info"});
    EXPECT_EQ(info.code, cli::EXIT_DONE) << info.err;
    EXPECT_NE(info.out.find("units on USB: 2"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(sim::unit_hid_interface().path + ": 0x12345678 (this one)"), std::string::npos);
    EXPECT_NE(info.out.find(sim::second_unit_hid_interface().path + ": 0x2345ABCD\n"), std::string::npos);

    EXPECT_EQ(cli({"--serial", "2345abcd", "settings", "set", "vne=176"}).code, cli::EXIT_DONE);
    sim::with_second_unit([](sim::VirtualUnit& u) { EXPECT_EQ(u.stored.vspeeds.Vne, 176); });
    EXPECT_EQ(flashtest::unit().stores, 0) << "the first unit is left alone";

    const CliRun can = cli({"--link", "can", "--serial", "0x2345ABCD", "info"});
    EXPECT_EQ(can.code, cli::EXIT_NO_UNIT);
    EXPECT_NE(can.err.find("the unit on can0 has serial number 0x12345678, not 0x2345ABCD"), std::string::npos)
        << can.err;
    EXPECT_EQ(cli({"--serial", "12x", "info"}).code, cli::EXIT_USAGE);
}

// The tool allows exactly what the window allows.
TEST(Cli, RangesAreTheWindows)
{
    apptest::world_without_unit();
    MainWindow w;
    const struct {
        const char* setting;
        const char* widget;
    } pairs[] = {
        {"vmin", "spinBox_vmin"}, {"vs0", "spinBox_vs0"}, {"vs1", "spinBox_vs1"}, {"vfe", "spinBox_vfe"},
        {"vno", "spinBox_vn0"}, {"vne", "spinBox_vne"}, {"vref", "spinBox_vref"}, {"vlo", "spinBox_vlo"},
        {"min_volts_warning", "min_volt_warn_value"}, {"max_volts_warning", "max_volt_warn_value"},
        {"min_volts_alert", "min_volt_alert_value"}, {"max_volts_alert", "max_volt_alert_value"},
        {"roll_correction", "roll_corr_spinbox"}, {"pitch_correction", "pitch_corr_spinbox"},
        {"backlight", "backlight_slider"}, {"text_background_alpha", "text_bg_alpha_slider"},
        {"emitter_category", "comboBox_emitter_cat"},
    };
    for (const auto& p : pairs) {
        SCOPED_TRACE(p.setting);
        const cli::Setting* s = cli::find_setting(p.setting);
        ASSERT_NE(s, nullptr);
        double lo = 0, hi = 0, scale = 1;
        if (auto* spin = w.findChild<QSpinBox*>(p.widget)) {
            lo = spin->minimum();
            hi = spin->maximum();
        } else if (auto* dspin = w.findChild<QDoubleSpinBox*>(p.widget)) {
            lo = dspin->minimum();
            hi = dspin->maximum();
            scale = 10;
        } else if (auto* slider = w.findChild<QAbstractSlider*>(p.widget)) {
            lo = slider->minimum();
            hi = slider->maximum();
        } else if (auto* combo = w.findChild<QComboBox*>(p.widget)) {
            hi = combo->count() - 1;
        } else {
            FAIL() << "no widget " << p.widget;
        }
        EXPECT_EQ(s->min, int(lo * scale));
        EXPECT_EQ(s->max, int(hi * scale));
    }
}

}  // namespace
