// skarvel-efis-cli at the edges a script meets, judged by what the virtual
// unit and the file system hold afterwards.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "app_util.h"
#include "cli_support.h"
#include "flash_support.h"
#include "settings_doc/doc_files.h"

namespace {

using clitest::cli;
using clitest::read_file;
using Unit = sim::VirtualUnit;

// Stands in for the default action, which would end the test run.
std::atomic<int> g_raised(0);
void raised(int) { ++g_raised; }

enum class Out { Captured, Unread, HeadOne, FileLimit };  // FileLimit: ulimit -f 1

clitest::CliRun run(const std::vector<std::string>& args, Out how)
{
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const struct rlimit limit = {how == Out::FileLimit ? 1024 : saved.rlim_cur, saved.rlim_max};
    int p[2] = {-1, -1};
    std::string first;
    std::thread head;
    if (how == Out::Unread || how == Out::HeadOne) {
        EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    }
    if (how == Out::Unread)
        close(p[0]);
    if (how == Out::HeadOne) {
        head = std::thread([&first, fd = p[0]] {
            for (char c = 0; read(fd, &c, 1) == 1 && c != '\n';)
                first += c;
            close(fd);
        });
    }
    setrlimit(RLIMIT_FSIZE, &limit);
    clitest::CliRun r = cli(args, p[1]);
    setrlimit(RLIMIT_FSIZE, &saved);
    if (p[1] >= 0) {
        close(p[1]);  // the last writer: a reader still waiting ends
        r.out = first;
    }
    if (head.joinable())
        head.join();
    return r;
}

void slow_unit()
{
    sim::reset();
    sim::with_unit([](Unit& u) { u.faults.extra_delay_us = 3000; });
}

// Another display unit, with what it keeps for itself its own.
std::function<void()> other_unit(const char* registration, uint32_t icao)
{
    return [=] {
        sim::reset();
        sim::with_unit([&](Unit& u) {
            u.serial = sim::second_unit_serial();
            u.working.use_mag_heading = 0;
            u.working.units.units_value |= 1u << 20;
            std::memset(u.working.registration, 0, sizeof u.working.registration);
            std::memcpy(u.working.registration, registration, std::strlen(registration));
            u.working.ownship_icao = icao;
            apptest::reseal(&u.working);
            u.stored = u.working;
        });
    };
}

TEST(CliEdges, WhatTheUnitAndTheFilesHoldAfterwards)
{
    QTemporaryDir tmp;
    const std::string dir = tmp.path().toStdString(), file = dir + "/unit.json", doc = dir + "/doc.json";
    const std::string db = dir + "/airports.db", fw = dir + "/efis.bin";
    const QByteArray saved_home = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.filePath("data")));
    const std::string backups = settings_doc::backups_dir().toStdString();
    clitest::write_file(db, std::string(256 * 1024, 'Z'));
    const flashtest::Bytes image = flashtest::firmware_file(65536, 30000, 30000);
    clitest::write_file(fw, std::string(image.begin(), image.end()));
    sim::reset();
    ASSERT_EQ(cli({"settings", "export", file}).code, cli::EXIT_DONE);
    const std::string text = read_file(file);
    const auto doc_of = [&](std::function<std::string()> make, void (*world)() = sim::reset) {
        return [=] {
            world();
            clitest::write_file(doc, make());
            chmod(doc.c_str(), 0664);
        };
    };
    const auto vne_151 = [&] { return std::string(text).replace(text.find("\"vne\": 150"), 10, "\"vne\": 151"); };
    const auto utf16 = [&](std::string t) {
        for (char c : text)
            t += std::string{c, '\0'};
        return t;
    };
    const auto fine_correction_kept = [&] {
        sim::reset();
        sim::with_unit([](Unit& u) {
            apptest::set(&u.working, ROLL_CORRECTION_INDEX, apptest::bits_of(1.23f));
            apptest::reseal(&u.working);
            u.stored = u.working;
        });
        ASSERT_EQ(cli({"settings", "set", "vne=170"}).code, cli::EXIT_DONE);
        std::filesystem::copy_file(settings_doc::list_backups(sim::unit_serial()).at(0).path.toStdString(), doc,
                                   std::filesystem::copy_options::overwrite_existing);
    };
    const auto untouched = [](const Unit& u) { return u.stores == 0 && u.write_packets == 0 && u.airport_db_open; };
    const auto files = [](const std::string& under, const std::string& named) {
        size_t n = 0;
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator it(under, ec), end; !ec && it != end; ++it)
            n += it->is_regular_file() && it->path().filename().string().find(named) != std::string::npos;
        return n;
    };
    const std::string another = "exported from unit " + linktest::unit_serial_text() +
                                ", this is unit " + linktest::second_serial_text() + ": its registration \"N123AB\" and ICAO address ABCDEF "
                                "are those of another aircraft";
    const struct {
        const char* name;
        std::function<void()> world;
        std::vector<std::string> args;
        Out how;
        int code;
        std::vector<std::string> said;
        const char* unsaid;  // "": nothing in particular
        std::function<bool(const Unit&)> holds;
    } edges[] = {
        {"nobody reads", slow_unit, {"airport-db", db}, Out::Unread, cli::EXIT_BAD_FILE,
         {"error: cannot write to standard output: Broken pipe (nobody reads it); stopped before anything was "
          "sent; the unit is unchanged"},
         "", untouched},
        {"airport database into head -1", slow_unit, {"airport-db", db}, Out::HeadOne, cli::EXIT_BAD_FILE,
         {"erasing: ", "(nobody reads it); stopped: the unit's airport database stays closed until a complete "
                       "transfer. Send the file again."},
         "",
         [](const Unit& u) {
             return !u.airport_db_open && u.write_packets < 1000 && u.flash.describe_violations().empty();
         }},
        {"firmware into head -1", slow_unit, {"firmware", fw}, Out::HeadOne, cli::EXIT_BAD_FILE,
         {"erasing: ", "(nobody reads it); stopped: the firmware bank being written holds an incomplete image"},
         "", [](const Unit& u) { return u.write_packets < 100 && u.flash.describe_violations().empty(); }},
        {"import into head -1", doc_of(vne_151, slow_unit), {"settings", "import", doc}, Out::HeadOne,
         cli::EXIT_BAD_FILE,
         {"vne: 150 kt -> 151 kt", "cannot write the results to standard output: Broken pipe - done on the unit all "
                                   "the same: 1 value(s) sent, record stored with checksum"},
         "", [](const Unit& u) { return u.stored.vspeeds.Vne == 151; }},
        {"export past the file size limit", doc_of([] { return "old\n"; }), {"settings", "export", doc},
         Out::FileLimit, cli::EXIT_BAD_FILE, {"cannot write " + doc + ": File too large; no file was replaced"},
         "", [&](const Unit&) { return read_file(doc) == "old\n" && files(dir, ".tmp-") == 0; }},
        {"copy kept past the file size limit",
         [&] {
             sim::reset();
             std::filesystem::remove_all(backups);
         },
         {"settings", "set", "vne=180"}, Out::FileLimit, cli::EXIT_BAD_FILE,
         {"no copy of the unit's settings could be kept", "File too large); nothing sent"}, "",
         [&](const Unit& u) { return u.stored.vspeeds.Vne == 150 && files(backups, "") == 0; }},
        {"units twice", apptest::world_without_unit, {"settings", "set", "units=airspeed=mph", "units=altitude=m"},
         Out::Captured, cli::EXIT_USAGE, {"error: units: named twice; name each setting once"}, "", nullptr},
        {"vne twice", apptest::world_without_unit, {"settings", "set", "vne=200", "vne=100"}, Out::Captured,
         cli::EXIT_USAGE, {"error: vne: named twice"}, "", nullptr},
        {"a unit group twice", apptest::world_without_unit, {"settings", "set", "units=airspeed=mph,airspeed=kt"},
         Out::Captured, cli::EXIT_USAGE, {"error: units: airspeed named twice"}, "", nullptr},
        {"unit groups in one value", sim::reset, {"settings", "set", "units=airspeed=mph,altitude=m"}, Out::Captured,
         cli::EXIT_DONE, {}, "warning",
         [](const Unit& u) { return (u.stored.units.units_value & 0x1F) == (1u << 0 | 1u << 4); }},
        {"serial number", apptest::world_without_unit, {"--serial", "\x1b[31mX", "info"}, Out::Captured,
         cli::EXIT_USAGE, {"not \"\\x1b[31mX\""}, "", nullptr},
        {"interface", sim::reset, {"--verbose", "--link", "can", "--can-interface", "c\x1b]0;T\a", "info"},
         Out::Captured, cli::EXIT_NO_UNIT,
         {"interface: c\\x1b]0;T\\x07", "no unit answered on c\\x1b]0;T\\x07", "ip link set c\\x1b]0;T\\x07 up"}, "",
         nullptr},
        {"a file replaced keeps its mode", doc_of([] { return ""; }), {"settings", "export", doc}, Out::Captured,
         cli::EXIT_DONE, {}, "", [&](const Unit&) {
             struct stat st;
             return stat(doc.c_str(), &st) == 0 && (st.st_mode & 07777) == 0664 && read_file(doc) == text;
         }},
        {"another aircraft's file", other_unit("D-EABC", 0x3C4D5E), {"settings", "import", file}, Out::Captured,
         cli::EXIT_DONE, {"warning: " + file + ": " + another}, "edited by hand",
         [](const Unit& u) { return !strcmp(u.stored.registration, "N123AB") && u.stored.ownship_icao == 0xABCDEF; }},
        {"another aircraft's file, dry run", other_unit("D-EABC", 0xABCDEF), {"--dry-run", "settings", "import", file},
         Out::Captured, cli::EXIT_DONE, {another}, "edited by hand", untouched},
        {"the other display of this aircraft", other_unit("N123AB", 0xABCDEF), {"settings", "import", file},
         Out::Captured, cli::EXIT_DONE, {}, "warning", nullptr},
        {"edited by hand", doc_of(vne_151), {"settings", "import", doc}, Out::Captured, cli::EXIT_DONE,
         {"warning: " + doc + ": the checksum it records (0x", "edited by hand or damaged"}, "another aircraft",
         [](const Unit& u) { return u.stored.vspeeds.Vne == 151; }},
        {"a copy kept of a correction finer than a tenth", fine_correction_kept, {"settings", "import", doc},
         Out::Captured, cli::EXIT_DONE, {"vne: 170 kt -> 150 kt"}, "warning", nullptr},
        {"UTF-16", doc_of([&] { return utf16("\xFF\xFE"); }), {"settings", "import", doc}, Out::Captured,
         cli::EXIT_BAD_FILE, {"error: " + doc + ": not UTF-8 text (byte 0)"}, "named twice", untouched},
        {"UTF-16 without a byte order mark", doc_of([&] { return utf16(""); }), {"settings", "import", doc},
         Out::Captured, cli::EXIT_BAD_FILE, {"not UTF-8 text (byte 1)"}, "named twice", untouched},
        {"a UTF-8 byte order mark", doc_of([&] { return "\xEF\xBB\xBF" + text; }), {"settings", "import", doc},
         Out::Captured, cli::EXIT_DONE, {"no value differs"}, "warning", nullptr},
    };
    struct sigaction mine, previous[2];
    std::memset(&mine, 0, sizeof mine);
    mine.sa_handler = raised;
    sigaction(SIGPIPE, &mine, &previous[0]);
    sigaction(SIGXFSZ, &mine, &previous[1]);
    for (const auto& e : edges) {
        SCOPED_TRACE(e.name);
        e.world();
        sim::with_unit([](Unit& u) { u.received.clear(); });
        g_raised = 0;
        const clitest::CliRun r = run(e.args, e.how);
        EXPECT_EQ(r.code, e.code) << r.err;
        for (const std::string& s : e.said)
            EXPECT_NE((r.out + r.err).find(s), std::string::npos) << s << "\n" << r.out << r.err;
        EXPECT_TRUE(!*e.unsaid || (r.out + r.err).find(e.unsaid) == std::string::npos) << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find_first_of("\x1b\x07"), std::string::npos) << "control characters raw";
        const Unit u = flashtest::unit();
        EXPECT_TRUE(e.code != cli::EXIT_USAGE || u.received.empty()) << "refused before a link was tried";
        EXPECT_TRUE(!e.holds || e.holds(u));
        struct sigaction now[2];
        sigaction(SIGPIPE, nullptr, &now[0]);
        sigaction(SIGXFSZ, nullptr, &now[1]);
        EXPECT_TRUE(g_raised == 0 && now[0].sa_handler == &raised && now[1].sa_handler == &raised)
            << "a write's signal got past the tool, or its handler is not back";
    }
    sigaction(SIGPIPE, &previous[0], nullptr);
    sigaction(SIGXFSZ, &previous[1], nullptr);
    qputenv("XDG_DATA_HOME", saved_home);
}

}  // namespace
