#include "cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonObject>
#include <QRegularExpression>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EFIS_shared/get_set.h"
#include "firmware_ops/firmware_ops.h"
#include "settings_doc/doc_files.h"
#include "settings_doc/settings_file.h"
#include "settings_doc/unit_record.h"
#include "stops.h"

namespace cli {

using namespace settings_doc;

namespace {

using Clock = std::chrono::steady_clock;

const char* const VERSION = "1.0.0";
const uint32_t FAILED = 0xFFFFFFFFu;

// Arguments and file names are bytes. Bytes that are not UTF-8 become
// U+DC80-U+DCFF, so that a name goes through QString and back unchanged
// (QFile::decodeName would turn them into U+FFFD and open another name).
QString arg_text(const QByteArray& raw)
{
    static const uint least[] = {0, 0, 0x80, 0x800, 0x10000};
    QString text;
    for (int i = 0; i < raw.size();) {
        const uchar c = uchar(raw[i]);
        const int len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint cp = len == 1 ? c : c & (0x7Fu >> len);
        bool ok = len > 0 && i + len <= raw.size();
        for (int k = 1; ok && k < len; ++k) {
            ok = (uchar(raw[i + k]) & 0xC0) == 0x80;
            cp = (cp << 6) | (uchar(raw[i + k]) & 0x3F);
        }
        if (!ok || cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            text += QChar(ushort(0xDC00 + c));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            text += QChar(QChar::highSurrogate(cp));
            text += QChar(QChar::lowSurrogate(cp));
        } else {
            text += QChar(ushort(cp));
        }
        i += len;
    }
    return text;
}

bool kept_byte(const QString& text, int i)
{
    const ushort u = text[i].unicode();
    return u >= 0xDC80 && u <= 0xDCFF && !(i > 0 && text[i - 1].isHighSurrogate());
}

QByteArray arg_bytes(const QString& text)
{
    QByteArray out;
    int from = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (kept_byte(text, i)) {
            out += text.mid(from, i - from).toUtf8();
            out += char(text[i].unicode() - 0xDC00);
            from = i + 1;
        }
    }
    return out + text.mid(from).toUtf8();
}

// Text from files, the command line and the unit as it may reach a
// terminal: control characters (C0, DEL, C1) and bytes that were not UTF-8
// as \xNN, so that none of them acts on the terminal.
QByteArray shown(const QString& text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const ushort u = text[i].unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || kept_byte(text, i))
            out += QString("\\x%1").arg(u & 0xFF, 2, 16, QChar('0'));
        else
            out += text[i];
    }
    return out.toUtf8();
}

// A file's own name, as a copy of the settings says what it was kept
// before: "-" is standard input, and control characters and bytes that
// were not UTF-8 are written out.
QString base_name(const QString& path)
{
    if (path == "-")
        return "standard input";
    return QString::fromUtf8(shown(path.mid(path.lastIndexOf('/') + 1)));
}

// One message line, escaped.
void say(FILE* f, const QString& text)
{
    std::fputs(shown(text).constData(), f);
    std::fputc('\n', f);
}

// The link's and the procedures' diagnostic lines (written to standard
// output by the library) are taken off standard output, which carries the
// tool's results: into the log file, onto standard error with --verbose,
// and the last of them kept to explain a failure.
class LogCapture {
public:
    // Takes `log` (may be null) over.
    LogCapture(FILE* log, bool verbose) : verbose(verbose), log(log)
    {
        std::fflush(stdout);
        results_fd = dup(STDOUT_FILENO);
        results = results_fd >= 0 ? fdopen(results_fd, "w") : nullptr;
        int p[2];
        if (results && pipe2(p, O_CLOEXEC) == 0) {
            saved_fd = dup(STDOUT_FILENO);
            dup2(p[1], STDOUT_FILENO);
            close(p[1]);
            // Read by the pump and, to catch up, by whoever needs the lines now.
            pipe_fd = p[0];
            fcntl(pipe_fd, F_SETFL, fcntl(pipe_fd, F_GETFL) | O_NONBLOCK);
            reader = std::thread([this] { pump(); });
        }
    }
    ~LogCapture()
    {
        capture_stderr(false);
        std::fflush(stdout);
        if (saved_fd >= 0) {
            dup2(saved_fd, STDOUT_FILENO);  // closes the pipe's last writer: the reader ends
            close(saved_fd);
        }
        if (reader.joinable())
            reader.join();
        if (pipe_fd >= 0)
            close(pipe_fd);
        if (log)
            std::fclose(log);
        if (results)
            std::fclose(results);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    FILE* out() { return results ? results : stdout; }
    bool ok() const { return results != nullptr; }
    // A write error on the results was reported already: not again at the end.
    void results_error_told() { told = true; }

    // Flushes and closes the results: false with *error when any of them
    // could not be written (a full disk, /dev/full).
    bool finish_results(QString* error)
    {
        if (!results)
            return true;
        const bool flushed = std::fflush(results) == 0;
        const int flush_errno = errno;
        const bool clean = !std::ferror(results);
        const bool closed = std::fclose(results) == 0;
        const int close_errno = errno;
        results = nullptr;
        if ((flushed && clean && closed) || told)
            return true;
        *error = !flushed ? std::strerror(flush_errno) : !closed ? std::strerror(close_errno) : "a write failed";
        return false;
    }

    // The transports write their set-up failures ("Failed to create
    // temporary CAN socket: ...") to standard error. While connecting they
    // go to the log instead, in the order written, and not among the lines
    // shown after a failure: the error and the hints that follow say it for
    // the user.
    void capture_stderr(bool on)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        if (on && !captured_err) {
            cookie_io_functions_t io = {nullptr, &LogCapture::write_stderr, nullptr, nullptr};
            FILE* f = fopencookie(this, "w", io);
            if (!f)
                return;
            setvbuf(f, nullptr, _IOLBF, 0);
            captured_err = f;
            original_err = stderr;
            stderr = f;
        } else if (!on && captured_err) {
            stderr = original_err;
            std::fclose(captured_err);
            captured_err = nullptr;
            std::lock_guard<std::mutex> lk(mu);
            take_output_locked();
        }
    }

    // The last lines the library wrote, for a failure's explanation.
    void explain_failure()
    {
        std::fflush(stdout);
        std::lock_guard<std::mutex> lk(mu);
        take_output_locked();
        if (last.empty() || verbose)
            return;
        std::fprintf(stderr, "Last lines of the log:\n");
        for (const std::string& l : last)
            say(stderr, "  " + arg_text(QByteArray::fromStdString(l)));
    }

private:
    // Takes in the lines as they come, so that a chatty upload never fills
    // the pipe; the others take in what is waiting before they act.
    void pump()
    {
        struct pollfd p = {pipe_fd, POLLIN, 0};
        bool open = true;
        while (open) {
            if (poll(&p, 1, -1) < 0 && errno != EINTR)
                break;
            std::lock_guard<std::mutex> lk(mu);
            open = take_output_locked();
        }
    }

    // Takes in what waits in the pipe; false once its writers are gone.
    bool take_output_locked()
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(pipe_fd, buf, sizeof buf);
            if (n > 0)
                take_locked(buf, n, &line, true);
            else if (n == 0)
                return false;
            else if (errno != EINTR)
                return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }

    // A line on the captured standard error comes after everything the
    // library wrote to standard output before it.
    static ssize_t write_stderr(void* cookie, const char* buf, size_t size)
    {
        LogCapture* self = static_cast<LogCapture*>(cookie);
        std::fflush(stdout);
        std::lock_guard<std::mutex> lk(self->mu);
        self->take_output_locked();
        self->take_locked(buf, ssize_t(size), &self->err_line, false);
        return ssize_t(size);
    }

    // `remember`: the lines may be shown after a failure.
    void take_locked(const char* buf, ssize_t n, std::string* partial, bool remember)
    {
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                *partial += buf[i];
                continue;
            }
            if (log)
                std::fprintf(log, "%s\n", partial->c_str());
            if (verbose)  // the lines name interfaces and paths as given
                say(original_err, arg_text(QByteArray::fromStdString(*partial)));
            if (remember)
                last.push_back(*partial);
            if (last.size() > 12)
                last.pop_front();
            partial->clear();
        }
    }

    bool verbose;
    int results_fd = -1;
    int saved_fd = -1;
    int pipe_fd = -1;
    std::string line;
    std::string err_line;
    FILE* results = nullptr;
    FILE* log = nullptr;
    bool told = false;
    FILE* captured_err = nullptr;
    FILE* original_err = stderr;
    std::thread reader;
    std::mutex mu;
    std::deque<std::string> last;
};

struct Options {
    QString link = "auto";
    QString can_interface = "can0";
    uint32_t serial = CommsManager::ANY_UNIT;
    bool dry_run = false;
    bool no_backup = false;
};

struct Command {
    QStringList words;  // "settings", "import"
    const char* args;
    const char* summary;  // one line, in the command list
    const char* help;
};

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

QString command_list()
{
    QString text = "Commands:\n";
    for (const Command& c : COMMANDS)
        text += help_row(QString("%1 %2").arg(c.words.join(' '), c.args).trimmed(), c.summary);
    return text;
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

// The help of one command: its usage and what it does.
QString command_help(const QString& program, const Command& c)
{
    return QString("Usage: %1 [options] %2 %3\n\n").arg(program, c.words.join(' '), c.args) + wrapped(c.help, 0) +
           (c.words.value(1) == "set" ? "\n" + settings_list() : QString());
}

const char* link_name(COMM_INTERFACE_t iface) { return iface == USB_HID ? "USB HID" : "CAN FD"; }

class Session {
public:
    Session(const Options& o, LogCapture& log) : o(o), log(log), out(log.out()) {}

    int run(const Command& c, const QStringList& args)
    {
        const QString name = c.words.join(' ');
        if (name == "firmware" || name == "airport-db") {
            const SignalGuard guard;
            return upload(name == "firmware", args.value(0));
        }
        if (name == "settings backups")
            return backups();
        if (name == "settings import" && !read_json_file(args.value(0)))
            return EXIT_BAD_FILE;
        if (name == "settings set") {
            // What can be checked without the unit's record is checked before
            // any link is tried: a usage error stays one without a unit.
            Settings_t blank;
            std::memset(&blank, 0, sizeof blank);
            Values scratch;
            if (args.isEmpty()) {
                std::fprintf(stderr, "error: settings set needs at least one NAME=VALUE\n");
                return EXIT_USAGE;
            }
            if (!parse_assignments(args, blank, &scratch))
                return EXIT_USAGE;
        }
        const SignalGuard guard;
        std::vector<FoundUnit> usb_units;
        if (!connect(name == "info" ? &usb_units : nullptr))
            return EXIT_NO_UNIT;
        if (g_stop)
            return stopped("stopped before anything was sent; the unit is unchanged");
        if (name == "info")
            return info(usb_units);
        if (name == "reboot")
            return reboot();
        Settings_t unit;
        uint32_t checksum = 0;
        QString error;
        bool halted = false;
        if (!read_record(&comms, &unit, &checksum, &error, &halted, &g_stop)) {
            return halted ? stopped("stopped while reading the unit's settings (" + error +
                                    "); nothing was sent - the unit is unchanged")
                          : unit_failed(error);
        }
        if (name == "settings show")
            return show(unit, checksum);
        if (name == "settings export")
            return export_to(args.value(0), unit, checksum);
        Values values;
        if (name == "settings import") {
            if (!check_document(document, unit, &values, &error)) {
                say(stderr, "error: " + args.value(0) + ": " + error);
                return EXIT_BAD_FILE;
            }
            // Said, not refused: copying a unit's settings is what import is for.
            for (const QString& warning : import_warnings(document, unit, serial, values))
                say(stderr, "warning: " + args.value(0) + ": " + warning);
            return apply(unit, checksum, values, "import again", "before import of " + base_name(args.value(0)));
        }
        if (!parse_assignments(args, unit, &values))
            return EXIT_USAGE;
        return apply(unit, checksum, values, "set them again", "before settings set");
    }

    // What a command done left the unit with ("" when it changed nothing),
    // for when its results could not be written.
    const QString& done_on_unit() const { return unit_done; }

private:
    // Connects and verifies the link(s) asked for, USB first, with the
    // window's lines in the log; `usb_units`, when given, receives every
    // unit plugged in by USB. A failure says what the links found, then the
    // log's last lines, then a hint for each link that found nothing.
    bool connect(std::vector<FoundUnit>* usb_units = nullptr)
    {
        const bool usb = o.link == "auto" || o.link == "usb";
        const bool can = o.link == "auto" || o.link == "can";
        bool ok = false;
        log.capture_stderr(true);
        if (usb && usb_units)
            *usb_units = comms.findUSBUnits();
        if (usb)
            ok = comms.connectVerifiedUSB(o.serial);
        if (!ok && can)
            ok = comms.connectVerifiedCANFD(arg_bytes(o.can_interface).toStdString(), o.serial);
        log.capture_stderr(false);
        if (ok) {
            serial = comms.serialNumber(comms.getActiveInterface());
            return true;
        }
        const std::string usb_why = usb ? comms.connectFailure(USB_HID) : std::string();
        const std::string can_why = can ? comms.connectFailure(CAN_FD) : std::string();
        // The link's reasons name the interface and the node as given.
        for (const std::string& why : {usb_why, can_why}) {
            if (!why.empty())
                say(stderr, "error: " + arg_text(QByteArray::fromStdString(why)));
        }
        if (usb_why.empty() && can_why.empty()) {
            const QString where = !can ? QString("USB") : !usb ? o.can_interface : "USB or " + o.can_interface;
            const QString which =
                o.serial == CommsManager::ANY_UNIT ? QString() : " with serial number " + hex(o.serial);
            say(stderr, "error: no unit" + which + " answered on " + where);
        }
        log.explain_failure();
        if (usb && usb_why.empty())
            std::fprintf(stderr, "hint: USB: check the cable, and that the udev rule is installed (see README)\n");
        if (can && can_why.empty())
            say(stderr, QString("hint: CAN FD: bring %1 up with `ip link set %1 up type can bitrate 1000000 dbitrate "
                                "5000000 fd on`")
                            .arg(o.can_interface));
        return false;
    }

    int unit_failed(const QString& error)
    {
        say(stderr, "error: " + error);
        log.explain_failure();
        return EXIT_UNIT_FAILED;
    }

    // A stop came: what the unit is left with, and the stop's status.
    int stopped(const QString& message)
    {
        std::fflush(out);
        if (g_stop == SIGPIPE) {
            say(stderr, QString("error: cannot write to standard output: %1 (nobody reads it); ")
                                .arg(std::strerror(EPIPE)) +
                            message);
            log.results_error_told();
        } else {
            say(stderr, message);
        }
        return exit_for_stop(g_stop);
    }

    // The command was done on the unit: the line that says so, kept to be
    // said on standard error should the results not reach standard output.
    int done(const QString& line)
    {
        unit_done = line;
        say(out, line);
        return EXIT_DONE;
    }

    int output_failed(const char* what, const char* consequence)
    {
        say(stderr, QString("error: cannot write %1 to standard output: %2%3")
                        .arg(what, std::strerror(errno), consequence));
        log.results_error_told();
        return EXIT_BAD_FILE;
    }

    // The settings document from a file or standard input ("-").
    bool read_json_file(const QString& name)
    {
        QString error;
        if (read_document(arg_bytes(name), name, &document, &error))
            return true;
        say(stderr, "error: " + error);
        return false;
    }

    bool parse_assignments(const QStringList& args, const Settings_t& unit, Values* values)
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

    int info(const std::vector<FoundUnit>& usb_units)
    {
        const COMM_INTERFACE_t iface = comms.getActiveInterface();
        say(out, QString("link: %1%2").arg(link_name(iface), iface == CAN_FD ? " on " + o.can_interface : QString()));
        std::fprintf(out, "serial number: %s\n", qPrintable(hex(serial)));
        if (usb_units.size() > 1) {
            std::fprintf(out, "units on USB: %zu (--serial chooses one)\n", usb_units.size());
            for (const FoundUnit& u : usb_units) {
                const bool used = iface == USB_HID && u.serial == serial;
                say(out, QString("  %1: %2%3")
                             .arg(arg_text(QByteArray::fromStdString(u.path)),
                                  u.serial != FAILED     ? hex(u.serial)
                                  : !u.failure.empty() ? arg_text(QByteArray::fromStdString(u.failure))
                                                       : QString("did not answer"),
                                  used ? " (this one)" : ""));
            }
        }
        const mx25_partition bank = get_mx25_partition(&comms);
        std::fprintf(out, "firmware bank to write: %s\n",
                     bank == partition_1   ? "1 (0xB1B1B1B1)"
                     : bank == partition_2 ? "2 (0xB2B2B2B2)"
                                           : "none (the unit reported no usable bank)");
        bool ok_version = false;
        bool ok_count = false;
        const uint32_t version = get_value(&comms, SETTINGS_COMMS, SETTINGS_VERSION, &ok_version);
        const uint32_t count = get_value(&comms, SETTINGS_COMMS, SETTINGS_NUM_ELEMENTS, &ok_count);
        if (!ok_version || !ok_count)
            return unit_failed("could not read the settings layout");
        std::fprintf(out, "settings layout: version %u, %u values\n", version, count);
        return EXIT_DONE;
    }

    int reboot()
    {
        COMMS_MSG_t msg;
        std::memset(&msg, 0, sizeof msg);
        msg.can_ID = CANMSG_ENTER_BL;
        msg.msg_len = 1;
        msg.data[0] = 0x48;
        if (comms.write(msg) <= 0)
            return unit_failed("the reboot command could not be sent");
        return done("reboot command sent");
    }

    int show(const Settings_t& unit, uint32_t checksum)
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

    int export_to(const QString& path, const Settings_t& unit, uint32_t checksum)
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
    int apply(const Settings_t& unit, uint32_t checksum, const Values& values, const char* again,
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
    bool keep_backup(const Settings_t& unit, uint32_t checksum, const QString& kept_before)
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
    int backups()
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

    int upload(bool firmware, const QString& path);

    const Options& o;
    LogCapture& log;
    FILE* out;
    CommsManager comms;
    uint32_t serial = FAILED;
    QJsonObject document;
    QString unit_done;  // what the unit was left with by a command done
};

// The terminal's progress bar, or plain lines when standard output is not
// a terminal.
struct Progress {
    FILE* out;
    bool tty;
    Clock::time_point write_from{};
    uint32_t write_from_bytes = 0;
    Clock::time_point last_line{};
    int last_phase = -1;

    static void callback(uint32_t current, uint32_t total, int phase, void* user)
    {
        static_cast<Progress*>(user)->report(current, total, phase);
    }

    void report(uint32_t current, uint32_t total, int phase)
    {
        // Nobody reads the progress any more: the upload stops after the
        // packet in flight, as for a signal.
        if (g_stop == SIGPIPE || reader_gone(fileno(out))) {
            stop_for_closed_output();
            return;
        }
        const Clock::time_point now = Clock::now();
        const bool last = current == total;
        if (phase != last_phase) {
            if (tty && last_phase >= 0)
                std::fprintf(out, "\n");
            last_phase = phase;
            last_line = Clock::time_point{};
            write_from = now;
            write_from_bytes = current;
        }
        // A terminal gets a redraw every 100 ms, a log a line every 5 s.
        const auto every = tty ? std::chrono::milliseconds(100) : std::chrono::milliseconds(5000);
        if (!last && now - last_line < every)
            return;
        last_line = now;
        QString text;
        if (phase == FW_PHASE_ERASE) {
            text = QString("erasing: %1 / %2 blocks").arg(current).arg(total);
        } else {
            const double seconds = std::chrono::duration<double>(now - write_from).count();
            const double rate = seconds > 0 ? (current - write_from_bytes) / seconds : 0;
            text = QString("writing: %1 / %2 bytes (%3%), %4 KiB/s")
                       .arg(current)
                       .arg(total)
                       .arg(total ? int(uint64_t(current) * 100 / total) : 100)
                       .arg(rate / 1024.0, 0, 'f', 1);
            if (seconds >= 3 && rate > 0 && !last) {
                const double left = (total - current) / rate;
                text += left >= 90 ? QString(", about %1 min left").arg(qRound(left / 60))
                                   : QString(", about %1 s left").arg(qMax(1, int(std::ceil(left))));
            }
        }
        if (tty) {
            const int width = 24;
            const int filled = total ? int(uint64_t(current) * width / total) : width;
            std::fprintf(out, "\r[%s%s] %-70s", std::string(size_t(filled), '#').c_str(),
                         std::string(size_t(width - filled), '-').c_str(), qPrintable(text));
        } else {
            std::fprintf(out, "%s\n", qPrintable(text));
        }
        if (std::fflush(out) != 0 && errno == EPIPE)
            stop_for_closed_output();
    }
};

// Reads and checks a file before the unit hears anything; what is sent is
// this copy, whatever happens to the file meanwhile.
bool check_upload_file(bool firmware, const QString& path, upload_image_t* image)
{
    if (!load_upload_image(arg_bytes(path).constData(), firmware ? UPLOAD_FIRMWARE : UPLOAD_AIRPORT_DB, image)) {
        std::fprintf(stderr, "error: %s: %s\n", shown(path).constData(),
                     shown(QString::fromStdString(image->fault)).constData());
        return false;
    }
    return true;
}

int Session::upload(bool firmware, const QString& path)
{
    upload_image_t image;
    if (!check_upload_file(firmware, path, &image))
        return EXIT_BAD_FILE;
    if (!connect())
        return EXIT_NO_UNIT;
    if (g_stop)
        return stopped("stopped before anything was sent; the unit is unchanged");
    if (firmware) {
        // A new firmware may start from other settings: the ones held now are
        // kept first.
        Settings_t unit;
        uint32_t checksum = 0;
        QString error;
        bool halted = false;
        if (read_record(&comms, &unit, &checksum, &error, &halted, &g_stop)) {
            if (!keep_backup(unit, checksum, "before firmware upload of " + base_name(path)))
                return EXIT_BAD_FILE;
        } else if (halted) {
            return stopped("stopped before anything was sent; the unit is unchanged");
        } else if (!o.no_backup) {
            return unit_failed("no copy of the unit's settings could be kept (" + error +
                               "); nothing sent - --no-backup goes on without one");
        } else {
            say(stderr, "warning: no copy of the unit's settings kept (" + error + "); going on (--no-backup)");
        }
    }
    // Standard output that nobody reads any more would stop the upload at its
    // first line, with the airport database closed already.
    if (reader_gone(fileno(out)))
        stop_for_closed_output();
    if (g_stop)
        return stopped("stopped before anything was sent; the unit is unchanged");
    Progress progress{out, isatty(fileno(out)) != 0};
    bool closed = false;
    std::string reason;
    const bool ok = firmware ? send_fw_image(&comms, image, Progress::callback, &progress, &g_cancel, &reason)
                             : send_airport_db_image(&comms, image, Progress::callback, &progress, &g_cancel,
                                                     &closed, &reason);
    if (progress.tty && progress.last_phase >= 0)
        std::fprintf(out, "\n");
    if (ok) {
        return done(firmware ? "firmware image written and confirmed"
                             : "airport database written and confirmed; the unit's database is open again");
    }
    const char* state = firmware ? "the firmware bank being written holds an incomplete image; the unit keeps "
                                   "running the firmware it has. Send the image again."
                        : closed ? "the unit's airport database stays closed until a complete transfer. Send the "
                                   "file again."
                                 : "the unit's airport database was not touched.";
    if (g_stop)
        return stopped(QString("stopped: ") + state);
    say(stderr, QString("error: the %1 failed - %2: %3")
                    .arg(firmware ? "firmware upload" : "airport database upload",
                         arg_text(QByteArray::fromStdString(reason)), state));
    log.explain_failure();
    return EXIT_UNIT_FAILED;
}

// Help and version go straight to standard output; a failed write there is
// a failure too.
int stdout_written()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return EXIT_DONE;
    std::fprintf(stderr, "error: cannot write to standard output: %s\n", std::strerror(errno));
    return EXIT_BAD_FILE;
}

}  // namespace

int cli_main(int argc, char** argv)
{
    const WriteSignalsIgnored writes_fail_as_errors;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << arg_text(QByteArray(argv[i]));
    const QString program = QStringLiteral("skarvel-efis-cli");

    QCommandLineParser parser;
    parser.setApplicationDescription("Settings, firmware and airport database of a Skarvel EFIS display unit.");
    const QCommandLineOption help_option({"h", "help"}, "Shows this help, or a command's with the command.");
    const QCommandLineOption help_all_option("help-all", "Shows this help, every command's and every setting's.");
    const QCommandLineOption version_option("version", "Shows the tool's version.");
    const QCommandLineOption link_option(
        "link", "The link to the unit: auto (USB, then CAN FD), usb or can (default: auto).", "LINK", "auto");
    const QCommandLineOption can_option("can-interface", "The SocketCAN interface for CAN FD (default: can0).",
                                        "NAME", "can0");
    const QCommandLineOption serial_option("serial",
                                           "The unit to use, by its serial number in hex: one of the units plugged "
                                           "in by USB (info lists them), or the one on the CAN FD bus.",
                                           "HEX");
    const QCommandLineOption dry_run_option("dry-run", "settings import / set: print what would change, send nothing.");
    const QCommandLineOption no_backup_option(
        "no-backup", "settings import / set, firmware: go on when no copy of the unit's settings can be kept.");
    const QCommandLineOption log_option("log", "Appends the link's diagnostic lines to FILE.", "FILE");
    const QCommandLineOption verbose_option("verbose", "Shows the link's diagnostic lines on standard error.");
    for (const QCommandLineOption& opt :
         {help_option, help_all_option, version_option, link_option, can_option, serial_option, dry_run_option,
          no_backup_option,
          log_option,
          verbose_option})
        parser.addOption(opt);
    parser.addPositionalArgument("command", "One of the commands below; COMMAND --help tells more.",
                                 "COMMAND [ARGUMENTS]");

    if (!parser.parse(arguments)) {
        say(stderr, "error: " + parser.errorText());
        std::fprintf(stderr, "%s", qPrintable(command_list()));
        return EXIT_USAGE;
    }
    const QStringList positional = parser.positionalArguments();
    int used = 0;
    const Command* command = find_command(positional, &used);
    if (parser.isSet(version_option)) {
        std::printf("%s %s\n", qPrintable(program), VERSION);
        return stdout_written();
    }
    QString general = parser.helpText();
    general.replace(QRegularExpression("^Usage: \\S+"), "Usage: " + program);
    if (parser.isSet(help_option) && command) {
        std::printf("%s\n%s", qPrintable(command_help(program, *command)),
                    qPrintable(general.mid(general.indexOf("Options:"))));
        return stdout_written();
    }
    if (parser.isSet(help_option) || parser.isSet(help_all_option)) {
        QString text = general + '\n' + command_list();
        if (parser.isSet(help_all_option)) {
            text += "\nCommand details:\n";
            for (const Command& c : COMMANDS)
                text += help_row(QString("%1 %2").arg(c.words.join(' '), c.args).trimmed(), c.help);
            text += '\n' + settings_list();
        }
        text += "\nExit status:\n" + wrapped("0 done and confirmed, 1 failure on the unit, 2 bad usage, 3 bad input "
                                             "file or results not written, 4 no unit, 129, 130, 143 stopped by "
                                             "SIGHUP, Ctrl-C, SIGTERM.",
                                             2);
        std::printf("%s", qPrintable(text));
        return stdout_written();
    }
    if (!command) {
        say(stderr, positional.isEmpty() ? QString("error: no command given")
                                         : "error: unknown command \"" + positional.join(' ') + "\"");
        std::fprintf(stderr, "%s", qPrintable(command_list()));
        return EXIT_USAGE;
    }
    Options o;
    o.link = parser.value(link_option);
    o.can_interface = parser.value(can_option);
    o.dry_run = parser.isSet(dry_run_option);
    o.no_backup = parser.isSet(no_backup_option);
    if (o.link != "auto" && o.link != "usb" && o.link != "can") {
        say(stderr, "error: --link takes auto, usb or can, not \"" + o.link + "\"");
        return EXIT_USAGE;
    }
    if (parser.isSet(serial_option)) {
        QString text = parser.value(serial_option);
        if (text.startsWith("0x", Qt::CaseInsensitive))
            text = text.mid(2);
        bool ok = false;
        o.serial = text.size() <= 8 ? text.toUInt(&ok, 16) : 0;
        if (!ok || o.serial == CommsManager::ANY_UNIT) {
            say(stderr, "error: --serial takes a unit's serial number in hex, for example 12345678, not \"" +
                            parser.value(serial_option) + "\"");
            return EXIT_USAGE;
        }
    }
    const QStringList args = positional.mid(used);
    const int wanted = QString(command->args).isEmpty() ? 0 : QString(command->args).endsWith("...") ? -1 : 1;
    if ((wanted >= 0 && args.size() != wanted) || (wanted < 0 && args.isEmpty())) {
        std::fprintf(stderr, "error: usage: %s %s %s\n", qPrintable(program), qPrintable(command->words.join(' ')),
                     command->args);
        return EXIT_USAGE;
    }
    if (o.dry_run && command->words.value(1) != "import" && command->words.value(1) != "set") {
        std::fprintf(stderr, "error: --dry-run applies to settings import and settings set only\n");
        return EXIT_USAGE;
    }
    if (o.no_backup && command->words.value(1) != "import" && command->words.value(1) != "set" &&
        command->words.value(0) != "firmware") {
        std::fprintf(stderr, "error: --no-backup applies to settings import, settings set and firmware only\n");
        return EXIT_USAGE;
    }

    // A log asked for and not to be had is said at once, not found missing
    // after a failure.
    FILE* log_file = nullptr;
    if (parser.isSet(log_option)) {
        log_file = std::fopen(arg_bytes(parser.value(log_option)).constData(), "ae");
        if (!log_file) {
            say(stderr, "error: cannot open the log " + parser.value(log_option) + ": " + std::strerror(errno));
            return EXIT_USAGE;
        }
    }
    LogCapture log(log_file, parser.isSet(verbose_option));
    if (!log.ok()) {
        std::fprintf(stderr, "error: cannot set up the log: %s\n", std::strerror(errno));
        return EXIT_UNIT_FAILED;
    }
    Session session(o, log);
    int code = session.run(*command, args);
    QString error;
    if (!log.finish_results(&error)) {
        const QString done = session.done_on_unit();
        say(stderr, "error: cannot write the results to standard output: " + error +
                        (done.isEmpty() ? QString() : " - done on the unit all the same: " + done));
        if (code == EXIT_DONE)
            code = EXIT_BAD_FILE;
    }
    return code;
}

}  // namespace cli
