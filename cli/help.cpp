#include "help.h"

#include "settings_doc/settings_file.h"

namespace cli {

using namespace settings_doc;

namespace {

const Command COMMANDS[] = {
    {{"info"}, "", "Shows the link, serial number and firmware bank.",
     "Shows the link in use, the unit's serial number, the firmware bank it would have written and its settings "
     "layout."},
    {{"settings", "show"}, "", "Lists the unit's settings.",
     "Lists every setting with its name, index, raw value and readable form."},
    {{"settings", "export"}, "FILE", "Writes the unit's settings to a JSON file.",
     "Writes the unit's settings as a JSON document to FILE (- for standard output)."},
    {{"settings", "import"}, "FILE", "Checks a settings file, then sends and stores it.",
     "Checks the whole settings file first and refuses a bad one naming the field, sending nothing. Then sends the "
     "values that differ from the unit's, stores the record with its checksum, reads it back and compares. With "
     "--dry-run it only prints what would change. Ctrl-C, SIGTERM or SIGHUP stop it after the exchange in flight "
     "and say what the unit is left with."},
    {{"settings", "backups"}, "", "Lists the copies of settings kept before changes.",
     "Lists the copies of each unit's settings that this tool and the window keep before a settings import or set, "
     "a Save or a firmware upload changes what the unit holds, by serial number and date, newest first: under "
     "$XDG_DATA_HOME/skarvel-efis-config/backups (~/.local/share/skarvel-efis-config/backups), the last 20 of each "
     "unit. settings import FILE takes one back. Needs no unit."},
    {{"settings", "set"}, "NAME=VALUE...", "Sets settings by name, then stores them.",
     "Sets a few settings the same way, for example vne=180 registration=G-ABCD sky_color_0=#4080FF "
     "units=airspeed=kt,altitude=m. --dry-run prints what would change."},
    {{"firmware"}, "FILE", "Writes an encrypted firmware image to the unit.",
     "Writes an encrypted firmware image into the bank the unit names. Ctrl-C, SIGTERM or SIGHUP stop it at the "
     "next packet boundary."},
    {{"airport-db"}, "FILE", "Writes an airport database to the unit.",
     "Writes an airport database into the unit's airport region (closing the database first, opening it after a "
     "complete transfer). Ctrl-C, SIGTERM or SIGHUP stop it at the next packet boundary."},
    {{"reboot"}, "", "Restarts the unit into its boot loader.", "Restarts the unit into its boot loader."},
};

// `text` broken into lines of at most 79 columns, each indented by `indent`.
QString wrapped(const QString& text, int indent)
{
    QString out;
    QString line;
    for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > 79) {
            out += QString(indent, ' ') + line + '\n';
            line.clear();
        }
        line += (line.isEmpty() ? "" : " ") + word;
    }
    return out + QString(indent, ' ') + line + '\n';
}

// "  name   description" lines: the description starts in column 28, or two
// blanks after a longer name, or on the next line when it would not fit.
QString help_row(const QString& name, const QString& description)
{
    const QString lead = "  " + name + "  ";
    if (lead.size() > 28 && lead.size() + description.size() > 79)
        return lead.trimmed().prepend("  ") + '\n' + wrapped(description, 28);
    const int column = qMax(28, lead.size());
    return lead.leftJustified(column, ' ') + wrapped(description, column).mid(column);
}

// Every setting `settings set` takes, with its range and unit, and the
// emitter categories by code.
QString settings_list()
{
    QString text = "Settings (NAME=VALUE):\n";
    size_t n = 0;
    const Setting* table = settings_table(&n);
    for (size_t i = 0; i < n; ++i)
        text += help_row(table[i].name, value_help(table[i]));
    text += "\nEmitter categories (emitter_category=A1 or =1):\n";
    for (int i = 0; i < EMITTER_CATEGORY_COUNT; ++i)
        text += QString("  %1  %2\n").arg(i, 2).arg(QString::fromUtf8(EMITTER_CATEGORIES[i]).trimmed());
    return text;
}

// "settings import FILE": a command's words and arguments.
QString usage(const Command& c) { return QString("%1 %2").arg(c.words.join(' '), c.args).trimmed(); }

}  // namespace

const Command* find_command(const QStringList& positional, int* used)
{
    for (const Command& c : COMMANDS) {
        if (positional.size() >= c.words.size() && positional.mid(0, c.words.size()) == c.words) {
            *used = c.words.size();
            return &c;
        }
    }
    return nullptr;
}

QString command_list()
{
    QString text = "Commands:\n";
    for (const Command& c : COMMANDS)
        text += help_row(usage(c), c.summary);
    return text;
}

QString command_help(const QString& program, const Command& c)
{
    return QString("Usage: %1 [options] %2 %3\n\n").arg(program, c.words.join(' '), c.args) + wrapped(c.help, 0) +
           (c.words.value(1) == "set" ? "\n" + settings_list() : QString());
}

QString full_help(const QString& general, bool all)
{
    QString text = general + '\n' + command_list();
    if (all) {
        text += "\nCommand details:\n";
        for (const Command& c : COMMANDS)
            text += help_row(usage(c), c.help);
        text += '\n' + settings_list();
    }
    return text + "\nExit status:\n" +
           wrapped("0 done and confirmed, 1 failure on the unit, 2 bad usage, 3 bad input file or results not "
                   "written, 4 no unit, 129, 130, 143 stopped by SIGHUP, Ctrl-C, SIGTERM.",
                   2);
}

}  // namespace cli
