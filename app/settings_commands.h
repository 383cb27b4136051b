#ifndef APP_SETTINGS_COMMANDS_H
#define APP_SETTINGS_COMMANDS_H

// The Settings tab's exchanges with the unit: Load reads the whole record,
// Update sends the edits, Save sends what is pending and stores the record,
// Reboot restarts the unit into its boot loader. Each expects the link to be
// ready for a settings exchange; what failed stays pending, and the status
// bar says what happened.

#include <cstdint>
#include <set>

#include "EFIS_shared/settings_types.h"
#include "app/form_binding.h"

class CommsManager;
class SettingsFiles;
class Ui_MainWindow;

// The record's ordinary values, 0 to 35: each one unknown until a load.
std::set<settings_struct_index> allSettingsValues();

class SettingsCommands {
public:
    // `comms` is the window's link manager, replaced by each connection.
    SettingsCommands(Ui_MainWindow* ui, CommsManager* const& comms, WorkingRecord record, FormBinding& form,
                     SettingsFiles& files);

    // True when a record was read, whole or in part, with the values not
    // read in `unread` (placeholders in the record); false when its header
    // could not be read.
    bool loadFromUnit(std::set<settings_struct_index>* unread);
    // Sends `values` (the fields edited); what the unit confirmed goes into
    // `sent`.
    void updateUnit(const std::set<settings_struct_index>& values, std::set<settings_struct_index>* sent);
    // Sends `values` and whatever the form changes in the record, then
    // stores the record; true when stored. What the unit confirmed goes into
    // `sent`.
    bool saveToUnit(const std::set<settings_struct_index>& values, std::set<settings_struct_index>* sent);
    // True when the unit took the command.
    bool rebootUnit();
    // Sets one value and sends it at once; true when the unit took it.
    bool sendValue(settings_struct_index index, uint32_t value);

    // Shared steps of the commands.
    bool readHeaderValue(settings_struct_index index, uint32_t* value);
    bool settingsLayoutKnown(uint32_t num_elements);
    int sendValues(const std::set<settings_struct_index>& indices, std::set<settings_struct_index>* failed);

private:
    Ui_MainWindow* ui;
    CommsManager* const& comms;
    WorkingRecord record;
    FormBinding& form;
    SettingsFiles& files;
};

#endif
