// skarvel-efis-cli run in-process against the virtual unit: settings
// round trips between units, files refused before anything is sent, exit
// statuses that tell the truth, output that could not be written, backups
// replaced only by good ones, uploads, and signals that stop a command.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractSlider>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSpinBox>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "app_util.h"
#include "cli/cli.h"
#include "cli_support.h"
#include "settings_doc/settings_file.h"
#include "flash_support.h"

namespace {

using apptest::reseal;
using flashtest::TempFile;

using clitest::cli;
using clitest::CliRun;
using clitest::read_file;

void write_file(const std::string& path, const std::string& text)
{
    ASSERT_TRUE(clitest::write_file(path, text)) << path;
}

size_t sent(uint32_t can_id) { return flashtest::received(can_id); }

// The unit's registration holds these characters.
std::function<void()> registration(const char* text)
{
    return [text] {
        sim::reset();
        sim::with_unit([text](sim::VirtualUnit& u) {
            std::memset(u.working.registration, 0, sizeof u.working.registration);
            std::memcpy(u.working.registration, text, std::strlen(text));
            reseal(&u.working);
            u.stored = u.working;
        });
    };
}

// A second unit: other values, another serial number, its own private unit bits.
void second_unit()
{
    sim::reset();
    sim::with_unit([](sim::VirtualUnit& u) {
        u.serial = sim::second_unit_serial();
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
    EXPECT_NE(exported.find("\"serial_number\": \"" + linktest::unit_serial_text() + "\""), std::string::npos) << exported;
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
        {"\"values\": {", "\"values\": {,", "not a settings document: "},
        // The JSON parser would keep the last of two equal keys.
        {"\"vne\": 150", "\"vne\": 100, \"vne\": 150", "values.vne: named twice"},
        {"\"vne\": 150", "\"vne\": 150, \"v\\u006ee\": 100", "values.vne: named twice"},
        {"\"unit_owned\": {", "\"values\": {\"vne\": 100}, \"unit_owned\": {", "values: named twice"},
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
    sim::reset();
    TempFile exported({}), keyed({}), big(flashtest::Bytes(64 * 1024 + 1, ' '));  // a settings file is smaller
    ASSERT_EQ(cli({"settings", "export", exported.path}).code, cli::EXIT_DONE);
    write_file(keyed.path, "{\"\\u001b]0;owned\\u0007\": 1}");
    const std::string fifo = exported.path + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    const TempFile short_firmware(flashtest::Bytes(10, 0x5A));
    const TempFile firmware(flashtest::firmware_file(65536, 100, 100));
    const struct {
        const char* name;
        std::function<void()> world;
        std::vector<std::string> args;
        int code;
        const char* said;
        int out = -1;  // standard output, when not captured
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
        {"firmware file too short", [] { sim::reset(); }, {"firmware", short_firmware.path}, cli::EXIT_BAD_FILE,
         "shorter than a firmware header"},
        {"erase not confirmed",
         [] {
             sim::reset();
             sim::with_unit([](sim::VirtualUnit& u) { u.faults.erase_nack_blocks = {832}; });
         },
         {"firmware", firmware.path}, cli::EXIT_UNIT_FAILED, "upload failed - erase of block 832 not confirmed: "},
        // What the command line gets wrong is said before a link is tried.
        {"unknown setting, no unit", apptest::world_without_unit, {"settings", "set", "vnx=1"}, cli::EXIT_USAGE,
         "vnx=1: expected NAME=VALUE"},
        {"out of range, no unit", apptest::world_without_unit, {"settings", "set", "vne=241"}, cli::EXIT_USAGE,
         "vne: 241 is outside 0 to 240"},
        {"log that cannot be opened", [] { sim::reset(); }, {"--log", "/nonexistent/cli.log", "info"},
         cli::EXIT_USAGE, "cannot open the log /nonexistent/cli.log: No such file"},
        // A FIFO with no writer is refused, not waited for.
        {"FIFO", [] { sim::reset(); }, {"settings", "import", fifo}, cli::EXIT_BAD_FILE, "a FIFO, not a settings file"},
        {"directory", [] { sim::reset(); }, {"settings", "import", "/tmp"}, cli::EXIT_BAD_FILE, "a directory, not a"},
        {"device", [] { sim::reset(); }, {"settings", "import", "/dev/zero"}, cli::EXIT_BAD_FILE,
         "a character device, not a settings file"},
        {"oversized", [] { sim::reset(); }, {"settings", "import", big.path}, cli::EXIT_BAD_FILE,
         "longer than a settings document can be (65536 bytes at most)"},
        // Results that could not be written.
        {"show to a full disk", [] { sim::reset(); }, {"settings", "show"}, cli::EXIT_BAD_FILE,
         "cannot write the results to standard output: No space left on device", full},
        {"export to a full disk", [] { sim::reset(); }, {"settings", "export", "-"}, cli::EXIT_BAD_FILE,
         "cannot write the settings to standard output: No space left on device", full},
        {"changes not shown", second_unit, {"settings", "import", exported.path}, cli::EXIT_BAD_FILE,
         "cannot write the changes to standard output: No space left on device; nothing sent", full},
        // Texts from the unit, files and the command line, escaped.
        {"registration shown", registration("N\x1b[2J\a"), {"settings", "show"}, cli::EXIT_DONE,
         "\"N\\x1b[2J\\x07\""},
        {"registration a file cannot carry", registration("N\x7f\x9b"), {"settings", "export", "-"},
         cli::EXIT_UNIT_FAILED, "\"N\\x7f\\x9b\" cannot be stored"},
        {"key in a file", [] { sim::reset(); }, {"settings", "import", keyed.path}, cli::EXIT_BAD_FILE,
         "\\x1b]0;owned\\x07: unknown entry"},
        {"name on the command line", [] { sim::reset(); }, {"settings", "set", "v\x1b[1mne=1"}, cli::EXIT_USAGE,
         "v\\x1b[1mne=1: expected NAME=VALUE"},
        {"firmware from a device", [] { apptest::world_without_unit(); }, {"firmware", "/dev/zero"},
         cli::EXIT_BAD_FILE, "/dev/zero: is a character device, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.world();
        const CliRun r = cli(c.args, c.out);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find_first_of("\x1b\x07\x7f\x9b"), std::string::npos) << "control characters raw";
        if (c.code == cli::EXIT_USAGE || c.code == cli::EXIT_BAD_FILE) {
            EXPECT_EQ(sent(CANMSG_SET_USER_SETTING) + sent(CANMSG_SAVE_USER_SETTINGS), 0u);
        }
    }
    close(full);
    std::remove(fifo.c_str());
    // Standard input still serves.
    sim::reset();
    const int in = open(exported.path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_NE(cli({"settings", "import", "-"}, -1, in).out.find("no value differs"), std::string::npos);
    close(in);
    sim::reset();
    ASSERT_EQ(cli({"settings", "set", "vne=180", "registration=G-ABCD"}).code, cli::EXIT_DONE);
    EXPECT_EQ(flashtest::unit().stored.vspeeds.Vne, 180);
    EXPECT_STREQ(flashtest::unit().stored.registration, "G-ABCD");
}

// A backup is replaced only by a complete one that restores what was read,
// under its own name, UTF-8 or not.
TEST(Cli, ABackupIsReplacedOnlyByAGoodOne)
{
    char name[] = "/tmp/efis-cli-XXXXXX";
    const std::string dir = mkdtemp(name) ? name : "/nonexistent";
    const std::string backup = dir + "/backup-\xff.json";
    const struct {
        const char* name;
        std::function<void()> world;
        rlim_t file_size_limit;  // a full disk, as writes past it fail with EFBIG
        int code;
        const char* said;
    } failures[] = {
        {"full disk", [] {}, 512, cli::EXIT_BAD_FILE, "File too large; no file was replaced"},
        {"values the unit's checksum does not cover",
         [] { sim::with_unit([](sim::VirtualUnit& u) { u.working.crc32 ^= 1; }); }, RLIM_INFINITY,
         cli::EXIT_UNIT_FAILED, "no backup written"},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.name);
        write_file(backup, "the old backup\n");
        sim::reset();
        c.world();
        struct rlimit saved;
        getrlimit(RLIMIT_FSIZE, &saved);
        const struct rlimit limit = {std::min(c.file_size_limit, saved.rlim_max), saved.rlim_max};
        const sighandler_t xfsz = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        const CliRun r = cli({"settings", "export", backup});
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, xfsz);
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(read_file(backup), "the old backup\n");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "no temporary left";
    }
    // The checksum recorded is that of the values written, the one an import
    // of them stores, also where a correction finer than a tenth was rounded.
    sim::reset();
    sim::with_unit([](sim::VirtualUnit& u) {
        apptest::set(&u.working, ROLL_CORRECTION_INDEX, apptest::bits_of(1.23f));
        reseal(&u.working);
        u.stored = u.working;
    });
    std::remove(backup.c_str());  // a new file: one replaced keeps its mode
    const mode_t mask = umask(027);
    const CliRun r = cli({"settings", "export", backup});
    umask(mask);
    EXPECT_EQ(r.code, cli::EXIT_DONE) << r.err;
    EXPECT_NE(r.err.find("written to " + dir + "/backup-\\xff.json"), std::string::npos) << r.err;
    struct stat st;
    EXPECT_TRUE(stat(backup.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640) << "the mode the umask gives";
    const QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(read_file(backup))).object();
    const uint32_t recorded = doc.value("checksum").toString().mid(2).toUInt(nullptr, 16);
    EXPECT_NE(recorded, flashtest::unit().stored.crc32);
    ASSERT_EQ(cli({"settings", "import", backup}).code, cli::EXIT_DONE);
    EXPECT_EQ(flashtest::unit().stored.crc32, recorded);
    std::filesystem::remove_all(dir);
}

// The test's own handler stands in for the default action, which would end
// the test run, and tells whether a signal got past the tool.
std::atomic<int> g_leaked(0);
void leaked(int) { ++g_leaked; }

size_t count(const sim::VirtualUnit& u, uint32_t id)
{
    return size_t(
        std::count_if(u.received.begin(), u.received.end(), [id](const COMMS_MSG_t& m) { return m.can_ID == id; }));
}

TEST(Cli, UploadsReportAndSignalsStopAfterTheExchangeInFlight)
{
    sim::reset();
    const flashtest::Bytes image = flashtest::firmware_file(65536, 3000, 3000);
    TempFile fw(image);
    const std::string odd_name = fw.path + "-\xe9";  // not UTF-8
    ASSERT_EQ(rename(fw.path.c_str(), odd_name.c_str()), 0);
    const CliRun r = cli({"firmware", odd_name});
    rename(odd_name.c_str(), fw.path.c_str());
    EXPECT_EQ(r.code, cli::EXIT_DONE) << r.err;
    EXPECT_NE(r.out.find("writing: 3000 / 3000 bytes (100%)"), std::string::npos) << r.out;
    EXPECT_EQ(flashtest::unit().flash.read(FW_BANK1_START_PAGE * MX25_BLOCK_SIZE, image.size()), image);

    // Each signal in the middle of an import (the unit differing in ten
    // values) and of an airport database: stopped after the exchange in
    // flight, and what the unit is left with said.
    TempFile file({}), db(flashtest::pattern(4 * 1024 * 1024, 2));
    ASSERT_EQ(cli({"settings", "export", file.path}).code, cli::EXIT_DONE);
    using Unit = const sim::VirtualUnit&;
    const struct {
        const char* stage;
        std::vector<std::string> args;
        std::function<bool(Unit)> when;
        const char* said;
        int stores;
    } stages[] = {
        {"sending values", {"settings", "import", file.path},
         [](Unit u) { return count(u, CANMSG_SET_USER_SETTING) >= 2; },
         " of 10 values sent, none stored - the unit runs with them until it restarts; import again, or reboot the "
         "unit to return to its stored settings", 0},
        {"storing", {"settings", "import", file.path},
         [](Unit u) { return count(u, CANMSG_SAVE_USER_SETTINGS) >= 1; },
         "stopped after the store: 10 value(s) sent and stored with checksum", 1},
        {"airport database", {"airport-db", db.path}, [](Unit u) { return u.write_packets > 100; },
         "stopped: the unit's airport database stays closed until a complete transfer", 0},
    };
    const struct {
        int sig, code;
    } stops[] = {{SIGINT, cli::EXIT_INTERRUPTED}, {SIGTERM, cli::EXIT_TERMINATED}, {SIGHUP, cli::EXIT_HANGUP}};
    struct sigaction mine, previous[3];
    std::memset(&mine, 0, sizeof mine);
    mine.sa_handler = leaked;
    for (int k = 0; k < 3; ++k)
        sigaction(stops[k].sig, &mine, &previous[k]);
    for (const auto& s : stops) {
        for (const auto& st : stages) {
            SCOPED_TRACE(std::string(st.stage) + ", signal " + std::to_string(s.sig));
            sim::reset();
            sim::with_unit([](sim::VirtualUnit& u) {
                for (int i : {1, 2, 3, 4, 5, 6, 7, 8, 24, 29}) {
                    const settings_struct_index index = settings_struct_index(i);
                    apptest::set(&u.working, index, settings_doc::value_at(u.working, index) - 1);
                }
                reseal(&u.working);
                u.stored = u.working;
                u.faults.extra_delay_us = 2000;  // the watcher keeps up; 100 ms once a value was sent,
                                                 // time enough on a loaded machine
            });
            g_leaked = 0;
            std::thread watcher([&] {
                for (int i = 0; i < 10000; ++i) {
                    bool now = false;
                    sim::with_unit([&](sim::VirtualUnit& u) {
                        if (count(u, CANMSG_SET_USER_SETTING) >= 1)
                            u.faults.extra_delay_us = 100000;
                        now = st.when(u);
                    });
                    if (now) {
                        kill(getpid(), s.sig);
                        return;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            const CliRun r = cli(st.args);
            watcher.join();
            EXPECT_EQ(r.code, s.code) << r.err;
            EXPECT_NE(r.err.find(st.said), std::string::npos) << r.err;
            const sim::VirtualUnit after = flashtest::unit();
            const bool import = st.args[0] == "settings";
            EXPECT_EQ(after.stores, st.stores);
            EXPECT_EQ(after.stored.vspeeds.Vmin, st.stores ? 40 : 39);
            EXPECT_EQ(after.airport_db_open, import);
            EXPECT_LT(after.write_packets, 65536u);
            EXPECT_EQ(after.flash.describe_violations(), "");
            if (import && !st.stores) {  // the count said is the unit's, and the changes were shown before
                EXPECT_NE(r.err.find("stopped: " + std::to_string(count(after, CANMSG_SET_USER_SETTING)) + " of 10"),
                          std::string::npos);
                EXPECT_NE(r.out.find("vmin: 39 kt -> 40 kt"), std::string::npos);
            }
            struct sigaction now;
            sigaction(s.sig, nullptr, &now);
            EXPECT_TRUE(now.sa_handler == &leaked && g_leaked == 0) << "the handler in place before is back";
        }
    }
    for (int k = 0; k < 3; ++k)
        sigaction(stops[k].sig, &previous[k], nullptr);
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
        int held;  // another instance holds: 0 nothing, 1 both links, 2 the unit over USB
        std::vector<std::string> args;
        std::vector<std::string> said, unsaid;
    } cases[] = {
        {"in use on both links", [] { sim::reset(); }, 1, {"settings", "set", "vne=175"},
         {"error: the unit on " + node + " is in use by another Skarvel EFIS Config (process " + pid + ")",
          "error: the unit on can0 is in use by another Skarvel EFIS Config (process " + pid + ")"},
         {"hint:"}},
        {"in use over the other link", [] { sim::reset(); }, 2, {"--link", "can", "settings", "set", "vne=175"},
         {"error: the unit on can0 (" + linktest::unit_serial_text() +
          ") is in use by another Skarvel EFIS Config (process " + pid + ")"},
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
            linktest::capture([&] { ASSERT_TRUE(holder.establish_connection(true, c.held == 1, "can0")); });
        sim::with_unit([](sim::VirtualUnit& u) { u.received.clear(); });
        const CliRun r = cli(c.args);
        EXPECT_EQ(r.code, cli::EXIT_NO_UNIT);
        for (const std::string& text : c.said)
            EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
        for (const std::string& text : c.unsaid)
            EXPECT_EQ(r.err.find(text), std::string::npos) << text << "\n" << r.err;
        for (const COMMS_MSG_t& m : flashtest::unit().received)
            EXPECT_EQ(uint32_t(m.can_ID), uint32_t(CANMSG_WHOAMI)) << "the unit heard nothing past a handshake";
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
    EXPECT_NE(info.out.find(sim::unit_hid_interface().path + ": " + linktest::unit_serial_text() + " (this one)"), std::string::npos);
    EXPECT_NE(info.out.find(sim::second_unit_hid_interface().path + ": " + linktest::second_serial_text() + "\n"), std::string::npos);

    EXPECT_EQ(cli({"--serial", linktest::second_serial_text().substr(2), "settings", "set", "vne=176"}).code, cli::EXIT_DONE);
    sim::with_second_unit([](sim::VirtualUnit& u) { EXPECT_EQ(u.stored.vspeeds.Vne, 176); });
    EXPECT_EQ(flashtest::unit().stores, 0) << "the first unit is left alone";

    const CliRun can = cli({"--link", "can", "--serial", linktest::second_serial_text(), "info"});
    EXPECT_EQ(can.code, cli::EXIT_NO_UNIT);
    EXPECT_NE(can.err.find("the unit on can0 has serial number " + linktest::unit_serial_text() + ", not " +
                           linktest::second_serial_text()), std::string::npos)
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
        const settings_doc::Setting* s = settings_doc::find_setting(p.setting);
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
    const QComboBox* emitter = w.findChild<QComboBox*>("comboBox_emitter_cat");
    ASSERT_EQ(emitter->count(), settings_doc::EMITTER_CATEGORY_COUNT);
    for (int i = 0; i < emitter->count(); ++i)
        EXPECT_EQ(emitter->itemText(i), QString::fromUtf8(settings_doc::EMITTER_CATEGORIES[i])) << i;
}

// The window and the tool take exactly the same registrations. Each case is
// typed into the real window and sent with Update, then set with the tool;
// the cases without a prefix are ones the window cannot even type.
TEST(Cli, RegistrationsAreTheWindows)
{
    const struct {
        const char* prefix;  // nullptr: the tool only
        const char* rest;
        bool taken;
    } cases[] = {
        {"G", "-ABCD", true},        {"C", "C123", true},       {"EC", "-XYZ", true},     {"RDPL", "1234567", true},
        {"9H", "-AAA", true},        {"N", "", true},           {"G", "-abcd", false},    {"N", "12345678901", false},
        {"N", "123 AB", false},      {"F", "-\xC3\x89" "1", false}, {"D", "-E_AB", false}, {nullptr, "g-abcd", false},
        {nullptr, "QQ123", false},   {nullptr, "EC", false},    {nullptr, "N1\n", false},
    };
    auto text = [](const auto& c) { return std::string(*c.rest && c.prefix ? c.prefix : "") + c.rest; };
    {
        apptest::world_with_unit_on(sim::Link::USB);
        MainWindow w;
        std::string held = "N123AB";  // what the unit holds: a refused one changes nothing
        for (const auto& c : cases) {
            if (!c.prefix)
                continue;
            SCOPED_TRACE("window: " + text(c));
            w.ui->comboBox_reg_prefix->setCurrentText(c.prefix);
            w.ui->text_registration_num->setPlainText(QString::fromUtf8(c.rest));
            apptest::forget_traffic();
            w.ui->pushButton_update->click();
            EXPECT_EQ(apptest::starts_with(apptest::status(w), "Successfully sent"), c.taken) << apptest::status(w);
            EXPECT_EQ(sent(CANMSG_SET_USER_SETTING), c.taken ? 3u : 0u);
            held = c.taken ? text(c) : held;
            EXPECT_EQ(std::string(apptest::unit().working.registration), held);
        }
    }
    sim::reset();
    std::string held = "N123AB";
    for (const auto& c : cases) {
        SCOPED_TRACE("tool: " + text(c));
        sim::with_unit([](sim::VirtualUnit& u) { u.received.clear(); });
        const CliRun r = cli({"settings", "set", "registration=" + text(c)});
        EXPECT_EQ(r.code, c.taken ? cli::EXIT_DONE : cli::EXIT_USAGE) << r.err;
        held = c.taken ? text(c) : held;
        EXPECT_EQ(std::string(flashtest::unit().stored.registration), held);
        EXPECT_EQ(r.err.find("cannot be stored") != std::string::npos, !c.taken) << r.err;
    }
}

// --help gives every command a line, settings set --help every setting its
// range and unit, and the emitter category reads as the window shows it.
TEST(Cli, HelpAndEmitterCategoryAsTheWindowShowsIt)
{
    const std::string general = cli({"--help"}).out;
    for (const char* line : {"  info  ", "  settings show  ", "  settings export FILE  ", "  settings import FILE  ",
                             "  settings set NAME=VALUE...  ", "  firmware FILE  ", "  airport-db FILE  ", "  reboot  ",
                             "(default: can0)"})
        EXPECT_NE(general.find(line), std::string::npos) << line << "\n" << general;
    const std::string set = cli({"settings", "set", "--help"}).out;
    size_t n = 0;
    const settings_doc::Setting* table = settings_doc::settings_table(&n);
    for (size_t i = 0; i < n; ++i)
        EXPECT_NE(set.find("\n  " + std::string(table[i].name) + " "), std::string::npos) << table[i].name;
    for (const char* line : {"vne                       0 to 240 mph, kt or km/h",
                             "min_volts_alert           5.0 to 65.0 V", "roll_correction           -90.0 to 90.0 degrees",
                             "backlight                 0 to 21", "   1  A1 : Light (< 15.5k lbs)\n"})
        EXPECT_NE(set.find(line), std::string::npos) << line << "\n" << set;

    sim::reset();
    EXPECT_NE(cli({"settings", "show"}).out.find(" A1 : Light (< 15.5k lbs)\n"), std::string::npos);
    const CliRun dry = cli({"--dry-run", "settings", "set", "emitter_category=b1"});
    EXPECT_NE(dry.out.find("emitter_category: A1 : Light (< 15.5k lbs) -> B1 : Glider / sailplane\n"),
              std::string::npos)
        << dry.out << dry.err;
}

}  // namespace
