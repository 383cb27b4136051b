#ifndef CLI_SESSION_H
#define CLI_SESSION_H

// One command run against the unit: the connection and info (session.cpp),
// the settings commands (settings_commands.cpp) and the uploads
// (uploads.cpp).

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "cli.h"
#include "comms/comms.h"
#include "help.h"
#include "log_capture.h"
#include "settings_doc/settings_file.h"

namespace cli {

// A serial number that could not be read.
constexpr uint32_t NO_SERIAL = 0xFFFFFFFFu;

struct Options {
    QString link = "auto";
    QString can_interface = "can0";
    uint32_t serial = CommsManager::ANY_UNIT;
    bool dry_run = false;
    bool no_backup = false;
};

class Session {
public:
    Session(const Options& o, LogCapture& log) : o(o), log(log), out(log.out()) {}

    // Runs the command with its arguments; the exit status.
    int run(const Command& c, const QStringList& args);

    // What a command done left the unit with ("" when it changed nothing),
    // for when its results could not be written.
    const QString& done_on_unit() const { return unit_done; }

private:
    // The connection and info.
    bool connect(std::vector<FoundUnit>* usb_units = nullptr);
    int unit_failed(const QString& error);
    int stopped(const QString& message);
    int done(const QString& line);
    int output_failed(const char* what, const char* consequence);
    int info(const std::vector<FoundUnit>& usb_units);
    int reboot();

    // The settings commands.
    bool read_json_file(const QString& name);
    bool parse_assignments(const QStringList& args, const Settings_t& unit, settings_doc::Values* values);
    int show(const Settings_t& unit, uint32_t checksum);
    int export_to(const QString& path, const Settings_t& unit, uint32_t checksum);
    int apply(const Settings_t& unit, uint32_t checksum, const settings_doc::Values& values, const char* again,
              const QString& kept_before);
    bool keep_backup(const Settings_t& unit, uint32_t checksum, const QString& kept_before);
    int backups();

    // The uploads.
    int upload(bool firmware, const QString& path);

    const Options& o;
    LogCapture& log;
    FILE* out;
    CommsManager comms;
    uint32_t serial = NO_SERIAL;
    QJsonObject document;
    QString unit_done;  // what the unit was left with by a command done
};

}  // namespace cli

#endif
