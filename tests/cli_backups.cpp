// Settings files and the copies kept before a change, through the real
// window and the command-line tool against the virtual unit.

#include <gtest/gtest.h>

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QInputDialog>
#include <QJsonDocument>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <functional>

#include "app_util.h"
#include "cli_support.h"
#include "flash_support.h"
#include "settings_doc/doc_files.h"
#include "settings_doc/settings_file.h"

namespace {

using namespace apptest;
using clitest::cli;
using clitest::read_file;
using flashtest::TempFile;

// XDG_DATA_HOME of the test's own; unwritable: a regular file.
struct DataHome {
    QTemporaryDir dir;
    QByteArray saved = qgetenv("XDG_DATA_HOME");
    explicit DataHome(bool writable = true)
    {
        const QString home = dir.filePath(writable ? "data" : "a-file");
        if (!writable)
            clitest::write_file(home.toStdString(), "");
        qputenv("XDG_DATA_HOME", QFile::encodeName(home));
    }
    ~DataHome() { qputenv("XDG_DATA_HOME", saved); }
};

// Answers each modal dialog that opens while `act` runs with the next
// answer (one more is rejected); the texts they showed.
using Answer = std::function<void(QWidget*)>;
QStringList answering(std::vector<Answer> answers, const std::function<void()>& act)
{
    QStringList seen;
    size_t next = 0;
    QPointer<QWidget> last;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* d = QApplication::activeModalWidget();
        if (!d || !d->isVisible() || d == last)
            return;
        last = d;
        auto* box = qobject_cast<QMessageBox*>(d);
        seen << (box ? box->text() : d->windowTitle());
        if (next < answers.size())
            answers[next++](d);
        else
            static_cast<QDialog*>(d)->reject();
    });
    poll.start();
    act();
    return seen;
}

Answer file(const std::string& path)
{
    return [path](QWidget* d) {
        static_cast<QFileDialog*>(d)->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(d)->accept();
    };
}
// The i-th item of an input dialog's list; -1 the last.
Answer item(int i)
{
    return [i](QWidget* d) {
        auto* input = static_cast<QInputDialog*>(d);
        input->setTextValue(input->comboBoxItems().value(i < 0 ? input->comboBoxItems().size() + i : i));
        input->accept();
    };
}
Answer button(QMessageBox::StandardButton b)
{
    return [b](QWidget* d) { static_cast<QMessageBox*>(d)->button(b)->click(); };
}
const Answer YES = button(QMessageBox::Yes);

QStringList import_through(MainWindow& w, std::vector<Answer> answers)
{
    return answering(answers, [&] { w.findChild<QAction*>("action_import_settings")->trigger(); });
}

QJsonObject values_in(const std::string& path)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(read_file(path))).object().value("values").toObject();
}

// One format and one check in both programs: a bad file refused with the
// same message and nothing sent, the same export, and after an import the
// unit's record as the file gives it.
TEST(SettingsFiles, WindowAndToolShareFormatChecksAndImport)
{
    DataHome home;
    world_with_unit_on(sim::Link::USB);
    TempFile by_tool({}), bad({});
    const std::string by_window = home.dir.filePath("exported.json").toStdString();
    ASSERT_EQ(cli({"settings", "export", by_tool.path}).code, cli::EXIT_DONE);
    {
        MainWindow w;
        answering({file(by_window)}, [&] { w.findChild<QAction*>("action_export_settings")->trigger(); });
        EXPECT_EQ(status(w), "Settings of unit " + linktest::unit_serial_text() + " written to " + by_window);
    }
    const std::string good = read_file(by_window);
    EXPECT_EQ(good, read_file(by_tool.path));
    const std::pair<std::string, std::string> cases[] = {
        {"\"vne\": 150", "\"vne\": 241"}, {"\"vne\": 150", "\"vnee\": 150"}, {"\"vne\": 150", "\"vne\": 1, \"vne\": 2"},
        {"\"num_elements\": 31", "\"num_elements\": 30"}, {"\"values\": {", "\"values\": {,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        clitest::write_file(bad.path, std::string(good).replace(good.find(c.first), c.first.size(), c.second));
        world_with_unit_on(sim::Link::USB);
        const clitest::CliRun tool = cli({"settings", "import", bad.path});
        EXPECT_EQ(tool.code, cli::EXIT_BAD_FILE);
        MainWindow w;
        EXPECT_EQ(import_through(w, {file(bad.path)}).size(), 1);
        EXPECT_EQ(tool.err, "e" + status(w).substr(1) + "\n");  // "error: X" and "Error: X"
        EXPECT_EQ(requests_with(CANMSG_SET_USER_SETTING).size() + requests_with(CANMSG_SAVE_USER_SETTINGS).size(), 0u);
    }

    // Another unit takes the file, then the copy of its own kept meanwhile.
    sim::with_unit([](sim::VirtualUnit& u) {
        u.serial = sim::second_unit_serial();
        u.working.vspeeds.Vne = 200;
        std::memcpy(u.working.registration, "D-EABC\0\0\0\0\0", 12);
        reseal(&u.working);
        u.stored = u.working;
    });
    MainWindow w;
    const QStringList seen = import_through(w, {file(by_window), YES});
    ASSERT_EQ(seen.size(), 2);
    EXPECT_TRUE(seen[1].contains("vne: 200 kt -> 150 kt\nregistration: \"D-EABC\" -> \"N123AB\""))
        << seen[1].toStdString();
    EXPECT_EQ(status(w).rfind("Settings imported from " + by_window + ": 3 value(s) sent", 0), 0u) << status(w);
    EXPECT_EQ(w.ui->spinBox_vne->value(), 150);
    size_t n = 0;
    const settings_doc::Setting* table = settings_doc::settings_table(&n);
    for (size_t i = 0; i < n; ++i) {
        QJsonValue stored;
        ASSERT_TRUE(settings_doc::to_json(table[i], unit().stored, &stored));
        EXPECT_EQ(stored, values_in(by_window).value(table[i].name)) << table[i].name;
    }
    ASSERT_EQ(settings_doc::list_backups(sim::second_unit_serial()).size(), 1u);
    import_through(w, {item(0), YES});
    EXPECT_EQ(unit().stored.vspeeds.Vne, 200);
    EXPECT_STREQ(unit().stored.registration, "D-EABC");
}

// Each change keeps the unit's settings as read first, then drops the
// oldest copies of that unit beyond 20, and no other unit's.
TEST(Backups, KeptBeforeEveryChangePrunedAndListed)
{
    const TempFile firmware(flashtest::firmware_file(65536, 3000, 3000));
    TempFile settings({});
    const auto flashed = [](const sim::VirtualUnit& u) { return u.write_packets > 0; };
    const auto vne = [](int v) { return [v](const sim::VirtualUnit& u) { return u.stored.vspeeds.Vne == v; }; };
    const QString import = "before import of " + QFileInfo(QString::fromStdString(settings.path)).fileName();
    const QString upload = "before firmware upload of " + QFileInfo(QString::fromStdString(firmware.path)).fileName();
    const struct {
        const char* name;
        std::function<void()> act;
        std::function<bool(const sim::VirtualUnit&)> changed;
        QString kept_before;
    } actions[] = {
        {"window Save", [] { MainWindow w; w.ui->spinBox_vne->setValue(170); w.ui->pushButton_save->click(); },
         vne(170), "before Save"},
        {"window import", [&] { MainWindow w; import_through(w, {item(-1), file(settings.path), YES}); }, vne(150),
         import},
        {"window firmware upload",
         [&] {
             MainWindow w;
             answering({file(firmware.path)}, [&] { w.ui->pushButton_browse->click(); });
             w.ui->pushButton_start_update->click();
             while (w.uploadRunning())
                 QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
         },
         flashed, upload},
        {"tool import", [&] { cli({"settings", "import", settings.path}); }, vne(150), import},
        {"tool set", [] { cli({"settings", "set", "vne=170"}); }, vne(170), "before settings set"},
        {"tool firmware", [&] { cli({"firmware", firmware.path}); }, flashed, upload},
    };
    for (const auto& a : actions) {
        SCOPED_TRACE(a.name);
        DataHome home;
        const QString dir = QFile::decodeName(settings_doc::backups_dir());
        const QString own = QString::fromStdString(linktest::unit_serial_text().substr(2));
        QDir().mkpath(dir + "/" + own);
        QDir().mkpath(dir + "/0BADCAFE");
        for (int i = 10; i < 35; ++i)
            clitest::write_file(QString("%1/%2/2001-01-01T0000%3.000Z.json").arg(dir, own).arg(i).toStdString(), "");
        clitest::write_file((dir + "/0BADCAFE/2001-01-01T000000.000Z.json").toStdString(), "");
        world_with_unit_on(sim::Link::USB);
        ASSERT_EQ(cli({"settings", "export", settings.path}).code, cli::EXIT_DONE);
        sim::with_unit([](sim::VirtualUnit& u) {
            u.working.vspeeds.Vne = 123;
            reseal(&u.working);
            u.stored = u.working;
        });
        const std::string checksum = settings_doc::hex(unit().stored.crc32).toStdString();

        a.act();
        EXPECT_TRUE(a.changed(unit()));
        const std::vector<settings_doc::Backup> kept = settings_doc::list_backups(sim::unit_serial());
        ASSERT_EQ(kept.size(), 20u);
        const std::string newest = kept[0].path.toStdString();
        EXPECT_EQ(values_in(newest).value("vne"), 123);
        EXPECT_EQ(kept[0].kept_before, a.kept_before);
        EXPECT_NE(read_file(newest).find("\"checksum\": \"" + checksum), std::string::npos);
        EXPECT_TRUE(kept.back().path.endsWith("/2001-01-01T000016.000Z.json")) << kept.back().path.toStdString();
        const std::string listed = cli({"settings", "backups"}).out;
        EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 22) << listed;  // a heading, 1 + 20 copies
        EXPECT_NE(listed.find("0x0BADCAFE  2001-01-01"), std::string::npos) << listed;
        EXPECT_NE(listed.find(newest), std::string::npos) << listed;
        EXPECT_NE(listed.find(a.kept_before.toStdString()), std::string::npos) << listed;
    }
}

// Which copies an action leaves: an unchanged record takes no place, the
// copy just written stays whatever the clock said before, and what is not
// a copy is neither listed nor pruned.
TEST(Backups, KeepWhatMattersAndOnlyCopies)
{
    const auto record_with_vne = [](int vne) {
        Settings_t r = unit().stored;
        r.vspeeds.Vne = uint8_t(vne);
        reseal(&r);
        return r;
    };
    const auto copy_of = [](const Settings_t& r) {
        QByteArray path;
        bool written = false;
        QString error;
        EXPECT_TRUE(settings_doc::write_backup(r, sim::unit_serial(), r.crc32, "before a test", &path, &written, &error));
        return path;
    };
    const struct {
        const char* name;
        std::function<void(const QString& dir)> before;  // the copies there first
        std::vector<std::string> args;
        int code;
        size_t copies;        // listed afterwards
        const char* newest;   // what the newest copy was kept before
        int newest_vne;
    } cases[] = {
        {"the record unchanged since the newest copy", [&](const QString&) { copy_of(unit().stored); },
         {"settings", "set", "vne=140"}, cli::EXIT_DONE, 1, "before a test", 150},
        {"the record changed", [&](const QString&) { copy_of(record_with_vne(99)); },
         {"settings", "set", "vne=140"}, cli::EXIT_DONE, 2, "before settings set", 150},
        {"twenty copies named by a clock set ahead",
         [](const QString& dir) {
             for (int i = 10; i < 30; ++i)
                 clitest::write_file(QString("%1/2099-01-01T0000%2.000Z.json").arg(dir).arg(i).toStdString(), "");
         },
         {"settings", "set", "vne=140"}, cli::EXIT_DONE, 20, "before settings set", 150},
        {"twenty copies, then an import",
         [&](const QString&) {
             for (int vne = 100; vne < 120; ++vne)
                 copy_of(record_with_vne(vne));
         },
         {"settings", "import", "x.json"}, cli::EXIT_DONE, 20, "before import of x.json", 150},
        {"a refused action", [&](const QString&) { copy_of(record_with_vne(99)); }, {"settings", "set", "vne=999"},
         cli::EXIT_USAGE, 1, "before a test", 99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DataHome home;
        world_with_unit_on(sim::Link::USB);
        const QString dir = QString("%1/%2").arg(QFile::decodeName(settings_doc::backups_dir()),
                                                 QString::fromStdString(linktest::unit_serial_text().substr(2)));
        // Not copies, in every case: a directory named like the newest copy, and a file of the owner's.
        const QString not_a_copy = dir + "/999999-2001-01-01T000000.000Z.json";
        QDir().mkpath(not_a_copy);
        clitest::write_file((dir + "/notes.txt").toStdString(), "mine");
        c.before(dir);
        const std::string doc = home.dir.filePath("x.json").toStdString();
        ASSERT_EQ(cli({"settings", "export", doc}).code, cli::EXIT_DONE);
        const std::string exported = read_file(doc);
        const std::string vne = "\"vne\": 150";
        clitest::write_file(doc, std::string(exported).replace(exported.find(vne), vne.size(), "\"vne\": 145"));
        std::vector<std::string> args = c.args;
        if (args[1] == "import")
            args[2] = doc;
        const clitest::CliRun r = cli(args);
        EXPECT_EQ(r.code, c.code) << r.err;
        const std::vector<settings_doc::Backup> kept = settings_doc::list_backups(sim::unit_serial());
        ASSERT_EQ(kept.size(), c.copies);
        EXPECT_EQ(kept[0].kept_before.toStdString(), c.newest);
        EXPECT_EQ(values_in(kept[0].path.toStdString()).value("vne"), c.newest_vne);
        EXPECT_TRUE(QFileInfo(not_a_copy).isDir() && QFileInfo::exists(dir + "/notes.txt"));
        const std::string listed = cli({"settings", "backups"}).out;
        EXPECT_EQ(size_t(std::count(listed.begin(), listed.end(), '\n')), c.copies + 1) << listed;
        EXPECT_EQ(listed.find("notes.txt"), std::string::npos);
        EXPECT_NE(listed.find(c.newest), std::string::npos) << listed;
    }
}

// A copy that cannot be written stops the change unless the user goes on
// without one; the tool warns of contradicting limits and sets them.
TEST(Backups, NoChangeWithoutACopyUnlessTheUserSaysSo)
{
    const TempFile firmware(flashtest::firmware_file(65536, 3000, 3000));
    const auto save = [](QMessageBox::StandardButton answer) {
        return [answer] {
            MainWindow w;
            w.ui->spinBox_vne->setValue(170);
            const QStringList seen = answering({button(answer)}, [&] { w.ui->pushButton_save->click(); });
            EXPECT_TRUE(seen.size() == 1 && seen[0].contains("Not a directory")) << seen.join('|').toStdString();
            return status(w);
        };
    };
    const auto tool = [](std::vector<std::string> args) { return [args] { return cli(args).err; }; };
    const struct {
        std::function<std::string()> act;
        const char* said;
        bool done;
    } cases[] = {
        {save(QMessageBox::No), "Error: Save not done - no copy of the unit's settings", false},
        {save(QMessageBox::Yes), SAVED, true},
        {tool({"settings", "set", "vne=170"}), "error: no copy of the unit's settings could be kept", false},
        {tool({"--no-backup", "settings", "set", "vne=170"}), "going on (--no-backup)", true},
        {tool({"firmware", firmware.path}), "nothing sent - --no-backup goes on without one", false},
        {tool({"--no-backup", "firmware", firmware.path}), "going on", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        DataHome home(false);
        world_with_unit_on(sim::Link::USB);
        EXPECT_NE(c.act().find(c.said), std::string::npos);
        EXPECT_EQ(unit().stores + int(unit().write_packets > 0), c.done ? 1 : 0);
    }

    DataHome home;
    world_with_unit_on(sim::Link::USB);
    const clitest::CliRun r = cli({"settings", "set", "vs0=200", "vne=100", "min_volts_warning=16"});
    EXPECT_EQ(r.code, cli::EXIT_DONE);
    EXPECT_TRUE(unit().stored.vspeeds.Vs0 == 200 && unit().stored.vspeeds.Vne == 100);
    for (const char* said : {"warning: Vs0 (200) is above Vs1 (50)\n", "warning: Vno (120) is above Vne (100)\n",
                             "warning: Min Volt Warning (16.0 V) is not below Max Volt Warning (15.5 V)\n"})
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
}

}  // namespace
