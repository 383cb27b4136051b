// The uploads: a firmware image and the airport database, with the
// terminal's progress bar.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <string>

#include "firmware_ops/firmware_ops.h"
#include "session.h"
#include "settings_doc/unit_record.h"
#include "stops.h"
#include "text.h"

namespace cli {

using namespace settings_doc;

namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

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

}  // namespace cli
