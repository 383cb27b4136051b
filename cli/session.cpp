// A command run against the unit: the connection, what the end of a
// command says, info and reboot.

#include "session.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include "firmware_ops/firmware_ops.h"
#include "settings_doc/unit_record.h"
#include "stops.h"
#include "text.h"

namespace cli {

using namespace settings_doc;

namespace {

const char* link_name(COMM_INTERFACE_t iface) { return iface == USB_HID ? "USB HID" : "CAN FD"; }

}  // namespace

int Session::run(const Command& c, const QStringList& args)
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

// Connects and verifies the link(s) asked for, USB first, with the
// window's lines in the log; `usb_units`, when given, receives every
// unit plugged in by USB. A failure says what the links found, then the
// log's last lines, then a hint for each link that found nothing.
bool Session::connect(std::vector<FoundUnit>* usb_units)
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

int Session::unit_failed(const QString& error)
{
    say(stderr, "error: " + error);
    log.explain_failure();
    return EXIT_UNIT_FAILED;
}

// A stop came: what the unit is left with, and the stop's status.
int Session::stopped(const QString& message)
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
int Session::done(const QString& line)
{
    unit_done = line;
    say(out, line);
    return EXIT_DONE;
}

int Session::output_failed(const char* what, const char* consequence)
{
    say(stderr, QString("error: cannot write %1 to standard output: %2%3")
                    .arg(what, std::strerror(errno), consequence));
    log.results_error_told();
    return EXIT_BAD_FILE;
}

int Session::info(const std::vector<FoundUnit>& usb_units)
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
                              u.serial != NO_SERIAL  ? hex(u.serial)
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

int Session::reboot()
{
    if (send_reboot(&comms) != 0)
        return unit_failed("the reboot command could not be sent");
    return done("reboot command sent");
}

}  // namespace cli
