#include "cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EFIS_shared/get_set.h"
#include "firmware_ops/firmware_ops.h"
#include "settings_file.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

const char* const VERSION = "1.0.0";
const uint32_t FAILED = 0xFFFFFFFFu;

// Set by Ctrl-C; the uploads stop at their next block or packet boundary.
std::atomic<bool> g_cancel(false);

void on_interrupt(int)
{
    g_cancel.store(true);
    static const char msg[] = "\nStopping at the next packet boundary (Ctrl-C again to quit at once)...\n";
    (void)!write(STDERR_FILENO, msg, sizeof msg - 1);
    signal(SIGINT, SIG_DFL);
}

// The link's and the procedures' diagnostic lines (written to standard
// output by the library) are taken off standard output, which carries the
// tool's results: into the log file, onto standard error with --verbose,
// and the last of them kept to explain a failure.
class LogCapture {
public:
    LogCapture(const QString& log_path, bool verbose) : verbose(verbose)
    {
        std::fflush(stdout);
        results_fd = dup(STDOUT_FILENO);
        results = results_fd >= 0 ? fdopen(results_fd, "w") : nullptr;
        if (!log_path.isEmpty())
            log = std::fopen(log_path.toLocal8Bit().constData(), "a");
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
            std::fprintf(stderr, "  %s\n", l.c_str());
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
            if (verbose)
                std::fprintf(original_err, "%s\n", partial->c_str());
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
};

struct Command {
    QStringList words;  // "settings", "import"
    const char* args;
    const char* help;
};

const Command COMMANDS[] = {
    {{"info"}, "", "Shows the link in use, the unit's serial number, the firmware bank it would have written and "
                   "its settings layout."},
    {{"settings", "show"}, "", "Lists every setting with its name, index, raw value and readable form."},
    {{"settings", "export"}, "FILE", "Writes the unit's settings as a JSON document to FILE (- for standard "
                                     "output)."},
    {{"settings", "import"}, "FILE",
     "Checks the whole settings file first and refuses a bad one naming the field, sending nothing. Then sends the "
     "values that differ from the unit's, stores the record with its checksum, reads it back and compares. With "
     "--dry-run it only prints what would change."},
    {{"settings", "set"}, "NAME=VALUE...",
     "Sets a few settings the same way, for example vne=180 registration=G-ABCD sky_color_0=#4080FF "
     "units=airspeed=kt,altitude=m. --dry-run prints what would change."},
    {{"firmware"}, "FILE", "Writes an encrypted firmware image into the bank the unit names. Ctrl-C stops at the "
                           "next packet boundary."},
    {{"airport-db"}, "FILE", "Writes an airport database into the unit's airport region (closing the database "
                             "first, opening it after a complete transfer). Ctrl-C stops at the next packet "
                             "boundary."},
    {{"reboot"}, "", "Restarts the unit into its boot loader."},
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

QString command_list()
{
    QString text = "Commands:\n";
    for (const Command& c : COMMANDS)
        text += QString("  %1 %2\n").arg(c.words.join(' '), c.args);
    return text;
}

const char* link_name(COMM_INTERFACE_t iface) { return iface == USB_HID ? "USB HID" : "CAN FD"; }

// The unit's whole record, every value read; false with *error otherwise.
bool read_record(CommsManager* comms, Settings_t* r, uint32_t* checksum, QString* error)
{
    std::memset(r, 0, sizeof *r);
    const settings_struct_index header[] = {SETTINGS_CHECKSUM_INDEX, SETTINGS_MAGIC_NUM, SETTINGS_VERSION,
                                            SETTINGS_NUM_ELEMENTS};
    uint32_t words[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        words[i] = get_value(comms, SETTINGS_COMMS, uint8_t(header[i]), &ok);
        if (!ok) {
            *error = QString("could not read header value %1 from the unit").arg(int(header[i]));
            return false;
        }
    }
    *checksum = words[0];
    r->magic = words[1];
    r->version = words[2];
    r->num_elements = words[3];
    if (r->num_elements > SETTINGS_MAX_ELEMENTS) {
        *error = QString("the unit reports a settings layout this tool does not know (%1 values)").arg(words[3]);
        return false;
    }
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        bool ok = false;
        uint32_t v = get_value(comms, SETTINGS_COMMS, uint8_t(i), &ok);
        if (!ok || !settings_set_value(r, settings_struct_index(i), &v)) {
            *error = QString("could not read value %1 from the unit").arg(i);
            return false;
        }
    }
    r->crc32 = words[0];
    return true;
}

// Stores the record as the window does: the checksum of the record as the
// unit will hold it, then both of the unit's answers.
bool store_record(CommsManager* comms, Settings_t rec, uint32_t* crc)
{
    rec.magic = SETTINGS_MAGIC;
    rec.crc32 = 0;
    *crc = settings_CalcCRC(&rec);
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = CANMSG_SAVE_USER_SETTINGS;
    msg.msg_len = 4;
    put_le32(msg.data, *crc);
    return comms->write(msg) > 0 &&
           wait_for_ack_and_mx25_ack(comms, CANMSG_SAVE_USER_SETTINGS, nullptr, nullptr, nullptr);
}

QString hex(uint32_t v) { return QString("0x%1").arg(v, 8, 16, QChar('0')).toUpper().replace("0X", "0x"); }

class Session {
public:
    Session(const Options& o, LogCapture& log) : o(o), log(log), out(log.out()) {}

    int run(const Command& c, const QStringList& args)
    {
        const QString name = c.words.join(' ');
        if (name == "firmware" || name == "airport-db")
            return upload(name == "firmware", args.value(0));
        if (name == "settings import" && !read_json_file(args.value(0)))
            return EXIT_BAD_FILE;
        if (name == "settings set" && args.isEmpty()) {
            std::fprintf(stderr, "error: settings set needs at least one NAME=VALUE\n");
            return EXIT_USAGE;
        }
        std::vector<FoundUnit> usb_units;
        if (!connect(name == "info" ? &usb_units : nullptr))
            return EXIT_NO_UNIT;
        if (name == "info")
            return info(usb_units);
        if (name == "reboot")
            return reboot();
        Settings_t unit;
        uint32_t checksum = 0;
        QString error;
        if (!read_record(&comms, &unit, &checksum, &error))
            return unit_failed(error);
        if (name == "settings show")
            return show(unit, checksum);
        if (name == "settings export")
            return export_to(args.value(0), unit, checksum);
        Values values;
        if (name == "settings import") {
            if (!check_document(document, unit, &values, &error)) {
                std::fprintf(stderr, "error: %s: %s\n", qPrintable(args.value(0)), qPrintable(error));
                return EXIT_BAD_FILE;
            }
        } else if (!parse_assignments(args, unit, &values)) {
            return EXIT_USAGE;
        }
        return apply(unit, values);
    }

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
            ok = comms.connectVerifiedCANFD(o.can_interface.toStdString(), o.serial);
        log.capture_stderr(false);
        if (ok) {
            serial = comms.serialNumber(comms.getActiveInterface());
            return true;
        }
        const std::string usb_why = usb ? comms.connectFailure(USB_HID) : std::string();
        const std::string can_why = can ? comms.connectFailure(CAN_FD) : std::string();
        for (const std::string& why : {usb_why, can_why}) {
            if (!why.empty())
                std::fprintf(stderr, "error: %s\n", why.c_str());
        }
        if (usb_why.empty() && can_why.empty()) {
            const QString where = !can ? QString("USB") : !usb ? o.can_interface : "USB or " + o.can_interface;
            std::fprintf(stderr, "error: no unit%s answered on %s\n",
                         o.serial == CommsManager::ANY_UNIT ? "" : qPrintable(" with serial number " + hex(o.serial)),
                         qPrintable(where));
        }
        log.explain_failure();
        if (usb && usb_why.empty())
            std::fprintf(stderr, "hint: USB: check the cable, and that the udev rule is installed (see README)\n");
        if (can && can_why.empty())
            std::fprintf(stderr,
                         "hint: CAN FD: bring %s up with `ip link set %s up type can bitrate 1000000 dbitrate "
                         "5000000 fd on`\n",
                         qPrintable(o.can_interface), qPrintable(o.can_interface));
        return false;
    }

    int unit_failed(const QString& error)
    {
        std::fprintf(stderr, "error: %s\n", qPrintable(error));
        log.explain_failure();
        return EXIT_UNIT_FAILED;
    }

    bool read_json_file(const QString& path)
    {
        QFile f(path);
        const bool from_stdin = path == "-";
        if (from_stdin ? !f.open(stdin, QIODevice::ReadOnly) : !f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "error: cannot read %s: %s\n", qPrintable(path), qPrintable(f.errorString()));
            return false;
        }
        QJsonParseError pe;
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &pe);
        if (pe.error != QJsonParseError::NoError || !doc.isObject()) {
            std::fprintf(stderr, "error: %s is not a settings document: %s at byte %d\n", qPrintable(path),
                         pe.error != QJsonParseError::NoError ? qPrintable(pe.errorString()) : "not an object",
                         pe.offset);
            return false;
        }
        document = doc.object();
        return true;
    }

    bool parse_assignments(const QStringList& args, const Settings_t& unit, Values* values)
    {
        for (const QString& a : args) {
            const int eq = a.indexOf('=');
            const Setting* s = eq > 0 ? find_setting(a.left(eq)) : nullptr;
            QString error;
            if (!s) {
                std::fprintf(stderr, "error: %s: expected NAME=VALUE with a known setting name\n", qPrintable(a));
                return false;
            }
            if (!parse_text(*s, a.mid(eq + 1), unit, values, &error)) {
                std::fprintf(stderr, "error: %s\n", qPrintable(error));
                return false;
            }
        }
        return true;
    }

    int info(const std::vector<FoundUnit>& usb_units)
    {
        const COMM_INTERFACE_t iface = comms.getActiveInterface();
        std::fprintf(out, "link: %s%s\n", link_name(iface),
                     iface == CAN_FD ? qPrintable(" on " + o.can_interface) : "");
        std::fprintf(out, "serial number: %s\n", qPrintable(hex(serial)));
        if (usb_units.size() > 1) {
            std::fprintf(out, "units on USB: %zu (--serial chooses one)\n", usb_units.size());
            for (const FoundUnit& u : usb_units) {
                const bool used = iface == USB_HID && u.serial == serial;
                std::fprintf(out, "  %s: %s%s\n", u.path.c_str(),
                             u.serial != FAILED     ? qPrintable(hex(u.serial))
                             : !u.failure.empty() ? u.failure.c_str()
                                                  : "did not answer",
                             used ? " (this one)" : "");
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
        std::fprintf(out, "reboot command sent\n");
        return EXIT_DONE;
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
                         qPrintable(readable(s, unit)));
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
        QString error;
        const QJsonObject doc = export_document(unit, serial, checksum, &error);
        if (doc.isEmpty())
            return unit_failed(error);
        const QByteArray text = QJsonDocument(doc).toJson(QJsonDocument::Indented);
        if (path == "-") {
            std::fwrite(text.constData(), 1, size_t(text.size()), out);
            std::fflush(out);
            return EXIT_DONE;
        }
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size() || !f.flush()) {
            std::fprintf(stderr, "error: cannot write %s: %s\n", qPrintable(path), qPrintable(f.errorString()));
            return EXIT_BAD_FILE;
        }
        std::fprintf(stderr, "settings of unit %s written to %s\n", qPrintable(hex(serial)), qPrintable(path));
        return EXIT_DONE;
    }

    // Sends what differs, stores the record, reads it back and compares.
    int apply(const Settings_t& unit, const Values& values)
    {
        Settings_t target = unit;
        for (const auto& v : values) {
            uint32_t value = v.second;
            settings_set_value(&target, v.first, &value);
        }
        std::vector<settings_struct_index> changed;
        for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
            const settings_struct_index index = settings_struct_index(i);
            if (value_at(unit, index) != value_at(target, index))
                changed.push_back(index);
        }
        size_t n = 0;
        const Setting* table = settings_table(&n);
        for (size_t i = 0; i < n; ++i) {
            const Setting& s = table[i];
            const int span = s.kind == Kind::Registration ? 3 : 1;
            for (int k = 0; k < span; ++k) {
                if (value_at(unit, settings_struct_index(s.index + k)) !=
                    value_at(target, settings_struct_index(s.index + k))) {
                    std::fprintf(out, "%s: %s -> %s\n", s.name, qPrintable(readable(s, unit)),
                                 qPrintable(readable(s, target)));
                    break;
                }
            }
        }
        if (changed.empty())
            std::fprintf(out, "no value differs from the unit's\n");
        if (o.dry_run) {
            std::fprintf(out, "dry run: nothing sent\n");
            return EXIT_DONE;
        }
        for (settings_struct_index index : changed) {
            if (set_value(&comms, SETTINGS_COMMS, uint8_t(index), value_at(target, index)) != 0)
                return unit_failed(QString("the unit did not take value %1; nothing stored").arg(int(index)));
        }
        uint32_t crc = 0;
        if (!store_record(&comms, target, &crc))
            return unit_failed("the unit did not confirm the store");
        Settings_t back;
        uint32_t back_crc = 0;
        QString error;
        if (!read_record(&comms, &back, &back_crc, &error))
            return unit_failed("read back: " + error);
        for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
            const settings_struct_index index = settings_struct_index(i);
            if (value_at(back, index) != value_at(target, index)) {
                return unit_failed(QString("read back: value %1 is %2, expected %3")
                                       .arg(i)
                                       .arg(hex(value_at(back, index)), hex(value_at(target, index))));
            }
        }
        if (back_crc != crc)
            return unit_failed(QString("read back: checksum %1, expected %2").arg(hex(back_crc), hex(crc)));
        std::fprintf(out, "%zu value(s) sent, record stored with checksum %s and read back\n", changed.size(),
                     qPrintable(hex(crc)));
        return EXIT_DONE;
    }

    int upload(bool firmware, const QString& path);

    const Options& o;
    LogCapture& log;
    FILE* out;
    CommsManager comms;
    uint32_t serial = FAILED;
    QJsonObject document;
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
        std::fflush(out);
    }
};

// Checks a file before the unit hears anything: readable, and sized as the
// procedure will take it.
bool check_upload_file(bool firmware, const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "error: cannot read %s: %s\n", qPrintable(path), qPrintable(f.errorString()));
        return false;
    }
    const qint64 size = f.size();
    if (!firmware) {
        const qint64 most = qint64(AIRPORT_DB_BLOCKS) * MX25_BLOCK_SIZE;
        if (size <= 0 || size > most) {
            std::fprintf(stderr, "error: %s: an airport database holds 1 to %lld bytes, this file %lld\n",
                         qPrintable(path), most, size);
            return false;
        }
        return true;
    }
    firmware_header_t h;
    if (f.read(reinterpret_cast<char*>(&h), sizeof h) != qint64(sizeof h)) {
        std::fprintf(stderr, "error: %s: shorter than a firmware header (64 bytes)\n", qPrintable(path));
        return false;
    }
    const uint64_t blocks = (uint64_t(h.total_size) + MX25_BLOCK_SIZE - 1) / MX25_BLOCK_SIZE;
    if (blocks == 0 || blocks > FW_BANK_BLOCKS || 64 + uint64_t(h.encrypted_size) > blocks * MX25_BLOCK_SIZE) {
        std::fprintf(stderr, "error: %s: the header's sizes do not fit a firmware bank (total %u, payload %u)\n",
                     qPrintable(path), h.total_size, h.encrypted_size);
        return false;
    }
    if (size < qint64(sizeof h) + qint64(h.encrypted_size)) {
        std::fprintf(stderr, "error: %s: the file ends before its payload (%lld of %lld bytes)\n", qPrintable(path),
                     size, qint64(sizeof h) + qint64(h.encrypted_size));
        return false;
    }
    return true;
}

int Session::upload(bool firmware, const QString& path)
{
    if (!check_upload_file(firmware, path))
        return EXIT_BAD_FILE;
    if (!connect())
        return EXIT_NO_UNIT;
    Progress progress{out, isatty(fileno(out)) != 0};
    g_cancel = false;
    struct sigaction action;
    struct sigaction previous;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, &previous);
    bool closed = false;
    const QByteArray file = path.toLocal8Bit();
    const bool ok = firmware ? send_fw(&comms, file.constData(), Progress::callback, &progress, &g_cancel)
                             : send_airport_db(&comms, file.constData(), Progress::callback, &progress, &g_cancel,
                                               &closed);
    sigaction(SIGINT, &previous, nullptr);
    if (progress.tty && progress.last_phase >= 0)
        std::fprintf(out, "\n");
    if (ok) {
        std::fprintf(out, firmware ? "firmware image written and confirmed\n"
                                   : "airport database written and confirmed; the unit's database is open again\n");
        return EXIT_DONE;
    }
    const char* state = firmware ? "the firmware bank being written holds an incomplete image; the unit keeps "
                                   "running the firmware it has. Send the image again."
                        : closed ? "the unit's airport database stays closed until a complete transfer. Send the "
                                   "file again."
                                 : "the unit's airport database was not touched.";
    if (g_cancel) {
        std::fprintf(stderr, "stopped: %s\n", state);
        return EXIT_INTERRUPTED;
    }
    std::fprintf(stderr, "error: the %s failed: %s\n", firmware ? "firmware upload" : "airport database upload",
                 state);
    log.explain_failure();
    return EXIT_UNIT_FAILED;
}

}  // namespace

int cli_main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString program = QStringLiteral("skarvel-efis-cli");

    QCommandLineParser parser;
    parser.setApplicationDescription("Settings, firmware and airport database of a Skarvel EFIS display unit.");
    const QCommandLineOption help_option({"h", "help"}, "Shows this help, or a command's with the command.");
    const QCommandLineOption version_option("version", "Shows the tool's version.");
    const QCommandLineOption link_option("link", "The link to the unit: auto (USB, then CAN FD), usb or can.", "LINK",
                                         "auto");
    const QCommandLineOption can_option("can-interface", "The SocketCAN interface of the CAN FD link.", "NAME",
                                        "can0");
    const QCommandLineOption serial_option("serial",
                                           "The unit to use, by its serial number in hex: one of the units plugged "
                                           "in by USB (info lists them), or the one on the CAN FD bus.",
                                           "HEX");
    const QCommandLineOption dry_run_option("dry-run", "settings import / set: print what would change, send nothing.");
    const QCommandLineOption log_option("log", "Appends the link's diagnostic lines to FILE.", "FILE");
    const QCommandLineOption verbose_option("verbose", "Shows the link's diagnostic lines on standard error.");
    for (const QCommandLineOption& opt :
         {help_option, version_option, link_option, can_option, serial_option, dry_run_option, log_option,
          verbose_option})
        parser.addOption(opt);
    parser.addPositionalArgument("command", "One of the commands below; COMMAND --help tells more.",
                                 "COMMAND [ARGUMENTS]");

    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "error: %s\n%s", qPrintable(parser.errorText()), qPrintable(command_list()));
        return EXIT_USAGE;
    }
    const QStringList positional = parser.positionalArguments();
    int used = 0;
    const Command* command = find_command(positional, &used);
    if (parser.isSet(version_option)) {
        std::printf("%s %s\n", qPrintable(program), VERSION);
        return EXIT_DONE;
    }
    QString general = parser.helpText();
    general.replace(QRegularExpression("^Usage: \\S+"), "Usage: " + program);
    if (parser.isSet(help_option)) {
        if (command) {
            std::printf("Usage: %s [options] %s %s\n\n%s\n\n", qPrintable(program), qPrintable(command->words.join(' ')),
                        command->args, command->help);
            std::printf("%s", qPrintable(general.mid(general.indexOf("Options:"))));
        } else {
            std::printf("%s\n%s\nExit status: 0 done and confirmed, 1 failure on the unit, 2 bad usage, 3 bad "
                        "input file, 4 no unit, 130 stopped by Ctrl-C.\n",
                        qPrintable(general), qPrintable(command_list()));
        }
        return EXIT_DONE;
    }
    if (!command) {
        std::fprintf(stderr, "error: %s\n%s",
                     positional.isEmpty() ? "no command given"
                                          : qPrintable("unknown command \"" + positional.join(' ') + "\""),
                     qPrintable(command_list()));
        return EXIT_USAGE;
    }
    Options o;
    o.link = parser.value(link_option);
    o.can_interface = parser.value(can_option);
    o.dry_run = parser.isSet(dry_run_option);
    if (o.link != "auto" && o.link != "usb" && o.link != "can") {
        std::fprintf(stderr, "error: --link takes auto, usb or can, not \"%s\"\n", qPrintable(o.link));
        return EXIT_USAGE;
    }
    if (parser.isSet(serial_option)) {
        QString text = parser.value(serial_option);
        if (text.startsWith("0x", Qt::CaseInsensitive))
            text = text.mid(2);
        bool ok = false;
        o.serial = text.size() <= 8 ? text.toUInt(&ok, 16) : 0;
        if (!ok || o.serial == CommsManager::ANY_UNIT) {
            std::fprintf(stderr, "error: --serial takes a unit's serial number in hex, for example 12345678, not "
                                 "\"%s\"\n",
                         qPrintable(parser.value(serial_option)));
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

    LogCapture log(parser.value(log_option), parser.isSet(verbose_option));
    if (!log.ok()) {
        std::fprintf(stderr, "error: cannot set up the log: %s\n", std::strerror(errno));
        return EXIT_UNIT_FAILED;
    }
    Session session(o, log);
    return session.run(*command, args);
}

}  // namespace cli
