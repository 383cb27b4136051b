#ifndef APP_SETTINGS_FILES_H
#define APP_SETTINGS_FILES_H

// The settings as files: Export and Import in the command-line tool's
// format, checked as it checks them, the copies kept of this unit, and the
// copy kept before anything changes what the unit holds.

#include <QString>

#include <cstdint>

#include "EFIS_shared/settings_types.h"
#include "app/form_binding.h"

class CommsManager;
class QWidget;
class Ui_MainWindow;

class SettingsFiles {
public:
    // `comms` is the window's link manager, replaced by each connection;
    // `window` parents the dialogs.
    SettingsFiles(Ui_MainWindow* ui, QWidget* window, CommsManager* const& comms, WorkingRecord record,
                  FormBinding& form);

    // The serial number of the unit on the link in use.
    uint32_t unitSerial() const;
    // The unit's record as read (or confirmed stored), with its checksum.
    void rememberUnitRecord(const Settings_t& unit, uint32_t checksum);
    // A load that does not finish leaves no record to keep a copy of.
    void forgetUnitRecord();
    // Keeps the unit's settings as last read (read now when none were) as a
    // copy; false when none could be kept and the user chose not to go on
    // without one, with the status saying that `what` was not done.
    bool keepUnitBackup(const QString& what, const QString& keptBefore);

    // Both expect the link ready for settings exchanges. Import adds
    // `editsNote` (what happens to the form's edits) to its question, and is
    // true when the unit stored the file's settings and the form shows them
    // read back.
    void exportSettings();
    bool importSettings(const QString& editsNote);

private:
    Ui_MainWindow* ui;
    QWidget* window;
    CommsManager* const& comms;
    WorkingRecord record;
    FormBinding& form;
    // The unit's record as last read, its checksum and the serial number of
    // the unit it came from (0xFFFFFFFF: none).
    Settings_t unitRecord;
    uint32_t unitRecordChecksum;
    uint32_t unitRecordSerial;
};

#endif
