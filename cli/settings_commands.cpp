// The settings commands: show, export, import, set and the copies kept
// before a change.

#include <algorithm>
#include <cstring>

#include "session.h"
#include "settings_doc/doc_files.h"
#include "settings_doc/unit_record.h"
#include "stops.h"
#include "text.h"

namespace cli {

using namespace settings_doc;

// The settings document from a file or standard input ("-").
bool Session::read_json_file(const QString& name)
{
    QString error;
    if (read_document(arg_bytes(name), name, &document, &error))
        return true;
    say(stderr, "error: " + error);
    return false;
}

bool Session::parse_assignments(const QStringList& args, const Settings_t& unit, Values* values)
{
    std::vector<const Setting*> named;
    for (const QString& a : args) {
        const int eq = a.indexOf('=');
        const Setting* s = eq > 0 ? find_setting(a.left(eq)) : nullptr;
        QString error;
        if (!s) {
            say(stderr, "error: " + a + ": expected NAME=VALUE with a known setting name");
            return false;
        }
        // The later would silently win, as a key twice in a settings file.
        if (std::find(named.begin(), named.end(), s) != named.end()) {
            say(stderr, QString("error: %1: named twice; name each setting once%2")
                            .arg(s->name, s->kind == Kind::Units ? " (units=airspeed=kt,altitude=m sets several "
                                                                   "unit groups)"
                                                                 : ""));
            return false;
        }
        named.push_back(s);
        if (!parse_text(*s, a.mid(eq + 1), unit, values, &error)) {
            say(stderr, "error: " + error);
            return false;
        }
    }
    return true;
}

int Session::show(const Settings_t& unit, uint32_t checksum)
{
    size_t n = 0;
    const Setting* table = settings_table(&n);
    std::fprintf(out, "%-6s %-22s %-32s %s\n", "index", "name", "raw", "value");
    for (size_t i = 0; i < n; ++i) {
        const Setting& s = table[i];
        QString index = QString::number(int(s.index));
        QString raw = hex(value_at(unit, s.index));
        if (s.kind == Kind::Registration) {
            index += "-" + QString::number(int(s.index) + 2);
            raw += " " + hex(value_at(unit, settings_struct_index(s.index + 1))) + " " +
                   hex(value_at(unit, settings_struct_index(s.index + 2)));
        }
        std::fprintf(out, "%-6s %-22s %-32s %s\n", qPrintable(index), s.name, qPrintable(raw),
                     shown(readable(s, unit)).constData());
    }
    std::fprintf(out, "%-6d %-22s %-32s %s\n", int(USE_MAG_INDEX), "use_mag_heading",
                 qPrintable(hex(unit.use_mag_heading)), "(kept by the unit)");
    Settings_t copy = unit;
    const bool sound = settings_CalcCRC(&copy) == checksum;
    std::fprintf(out, "checksum %s (%s), magic %s, layout version %u with %u values\n", qPrintable(hex(checksum)),
                 sound ? "matches the values" : "does NOT match the values", qPrintable(hex(unit.magic)),
                 unit.version, unit.num_elements);
    return EXIT_DONE;
}

int Session::export_to(const QString& path, const Settings_t& unit, uint32_t checksum)
{
    // A backup that cannot be restored as read is no backup.
    QByteArray text;
    QString error;
    if (!export_text(unit, serial, checksum, &text, &error))
        return unit_failed(error + "; no backup written");
    if (path == "-") {
        if (std::fwrite(text.constData(), 1, size_t(text.size()), out) != size_t(text.size()) ||
            std::fflush(out) != 0)
            return output_failed("the settings", "");
        return EXIT_DONE;
    }
    if (!replace_file(arg_bytes(path), text, &error)) {
        say(stderr, "error: cannot write " + path + ": " + error + "; no file was replaced");
        return EXIT_BAD_FILE;
    }
    say(stderr, "settings of unit " + hex(serial) + " written to " + path);
    return EXIT_DONE;
}

// Sends what differs, stores the record, reads it back and compares.
// `again` is how to repeat the command, for a stop between the values.
int Session::apply(const Settings_t& unit, uint32_t checksum, const Values& values, const char* again,
          const QString& kept_before)
{
    const Settings_t target = with_values(unit, values);
    // Allowed, as in the window, which marks them.
    for (const LimitConflict& c : limit_conflicts(target))
        say(stderr, "warning: " + c.text);
    const QStringList changes = change_lines(unit, target);
    for (const QString& line : changes)
        say(out, line);
    if (changes.isEmpty())
        std::fprintf(out, "no value differs from the unit's\n");
    if (o.dry_run) {
        std::fprintf(out, "dry run: nothing sent\n");
        return EXIT_DONE;
    }
    // The preview is out before the unit hears anything, whatever ends
    // the process later.
    if (std::fflush(out) != 0)
        return output_failed("the changes", "; nothing sent");
    if (!keep_backup(unit, checksum, kept_before))
        return EXIT_BAD_FILE;
    const ApplyResult r = apply_record(&comms, unit, target, &g_stop);
    // What the unit runs with after `sent` of the values and no store.
    const auto running = [&](size_t sent) {
        return sent == 0 ? QString("no value sent - the unit is unchanged")
                         : QString("%1 of %2 values sent, none stored - the unit runs with them until it restarts; "
                                   "%3, or reboot the unit to return to its stored settings")
                               .arg(sent)
                               .arg(r.changed)
                               .arg(again);
    };
    switch (r.outcome) {
    case Applied::Done:
        return done(QString("%1 value(s) sent, record stored with checksum %2 and read back")
                        .arg(r.changed)
                        .arg(hex(r.crc)));
    case Applied::Stopped:
        if (r.stored)
            return stopped(QString("stopped after the store: %1 value(s) sent and stored with checksum %2, not "
                                   "read back (%3) - settings show tells what the unit holds")
                               .arg(r.changed)
                               .arg(hex(r.crc), r.detail));
        return stopped((r.sent < r.changed ? "stopped: " : "stopped before the store: ") + running(r.sent));
    case Applied::ValueRefused:
        return unit_failed(QString("the unit did not take value %1; nothing stored%2")
                               .arg(r.refused)
                               .arg(r.sent == 0 ? QString() : "; " + running(r.sent)));
    case Applied::StoreFailed:
        return unit_failed("the unit did not confirm the store");
    case Applied::ReadBackFailed:
        break;
    }
    return unit_failed("read back: " + r.detail);
}

// Keeps the settings as read before they change; without a copy the
// command goes on only with --no-backup.
bool Session::keep_backup(const Settings_t& unit, uint32_t checksum, const QString& kept_before)
{
    QByteArray path;
    QString error;
    bool written = false;
    if (write_backup(unit, serial, checksum, kept_before, &path, &written, &error)) {
        say(stderr, "settings of unit " + hex(serial) + (written ? " as read kept in " : " as read already kept in ") +
                        arg_text(path));
        return true;
    }
    if (o.no_backup) {
        say(stderr, "warning: no copy of the unit's settings kept (" + error + "); going on (--no-backup)");
        return true;
    }
    say(stderr, "error: no copy of the unit's settings could be kept (" + error +
                    "); nothing sent - --no-backup goes on without one");
    return false;
}

// Every copy kept, by unit and date; no unit needed.
int Session::backups()
{
    const std::vector<Backup> all = list_all_backups();
    if (all.empty()) {
        say(out, "no copies of settings kept in " + arg_text(backups_dir()));
        return EXIT_DONE;
    }
    std::fprintf(out, "%-10s  %-19s  %-40s  %s\n", "serial", "kept (local time)", "kept", "file");
    for (const Backup& b : all) {
        std::fprintf(out, "%-10s  %-19s  %-40s  %s\n", qPrintable(hex(b.serial)),
                     qPrintable(b.saved.toLocalTime().toString("yyyy-MM-dd HH:mm:ss")),
                     shown(b.kept_before.isEmpty() ? QString("-") : b.kept_before).constData(),
                     shown(arg_text(b.path)).constData());
    }
    return EXIT_DONE;
}

}  // namespace cli
