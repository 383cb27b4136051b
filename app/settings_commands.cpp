#include "app/settings_commands.h"

#include <QDebug>
#include <QStatusBar>
#include <QThread>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "EFIS_shared/get_set.h"
#include "app/session_model.h"
#include "app/settings_files.h"
#include "comms/comms.h"
#include "ui_mainwindow.h"

namespace {

// Stores the settings record in the unit: the unit answers the store first
// with the erase of its settings storage, then with the acknowledgement.
int store_settings(CommsManager* comms, uint32_t crc)
{
    if (!comms || !comms->isConnected())
        return -1;
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = CANMSG_SAVE_USER_SETTINGS;
    msg.msg_len = 4;
    put_le32(msg.data, crc);
    if (comms->write(msg) <= 0) {
        qDebug() << "Failed to send store command";
        return -1;
    }
    // On CAN the acknowledgement wins arbitration over the flash
    // acknowledgement when both wait in the unit's queue: either order counts.
    bool erased = false;
    const bool answered = wait_for_ack_and_mx25_ack(comms, CANMSG_SAVE_USER_SETTINGS, &erased, nullptr, nullptr);
    if (!erased) {
        qDebug() << "Flash erase failed or timeout waiting for MX25 erase status";
        return -1;
    }
    qDebug() << "Flash erase succeeded";
    if (!answered) {
        qDebug() << "Store command failed: no valid ACK (or NACK) for save settings";
        return -1;
    }
    return 0;
}

// A unit that stops answering (a pulled cable, a restart) would cost every
// remaining value of a command its full wait on the GUI thread; after this
// many failed in a row a command stops.
const int kUnansweredLimit = 3;

// A correction that is not a number would reach the unit's attitude
// solution as garbage; it is as good as unread.
bool usableValue(settings_struct_index index, uint32_t value)
{
    if (index != ROLL_CORRECTION_INDEX && index != PITCH_CORRECTION_INDEX)
        return true;
    float f;
    std::memcpy(&f, &value, sizeof f);
    return std::isfinite(f);
}

}  // namespace

std::set<settings_struct_index> allSettingsValues()
{
    std::set<settings_struct_index> all;
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i)
        all.insert(settings_struct_index(i));
    return all;
}

SettingsCommands::SettingsCommands(Ui_MainWindow* ui, CommsManager* const& comms, WorkingRecord record,
                                   FormBinding& form, SettingsFiles& files)
    : ui(ui), comms(comms), record(record), form(form), files(files)
{
}

bool SettingsCommands::readHeaderValue(settings_struct_index index, uint32_t* value)
{
    struct HeaderText {
        settings_struct_index index;
        const char* log;
        const char* status;
    };
    static const HeaderText texts[] = {
        {SETTINGS_CHECKSUM_INDEX, "Error reading checksum value", "Error: Failed to read checksum from device"},
        {SETTINGS_MAGIC_NUM, "Error reading magic value", "Error: Failed to read magic number from device"},
        {SETTINGS_VERSION, "Error reading memory version value", "Error: Failed to read memory version from device"},
        {SETTINGS_NUM_ELEMENTS, "Error reading num_elements value", "Error: Failed to read num_elements from device"},
    };
    // A header value of 0xFFFFFFFF is real (an erased checksum); only a
    // failed exchange is a failed read.
    bool ok = false;
    *value = get_value(comms, SETTINGS_COMMS, uint8_t(index), &ok);
    if (ok)
        return true;
    for (const HeaderText& t : texts) {
        if (t.index == index) {
            qDebug() << t.log;
            ui->statusbar->showMessage(t.status);
        }
    }
    return false;
}

bool SettingsCommands::settingsLayoutKnown(uint32_t num_elements)
{
    // The record has 31 words after its checksum; a larger count is a layout
    // this tool does not know, and its checksums would mean nothing.
    if (num_elements <= SETTINGS_MAX_ELEMENTS)
        return true;
    qDebug() << "Unsupported num_elements value" << num_elements;
    ui->statusbar->showMessage(
        QString("Error: Device reports an unknown settings layout (num_elements %1, at most %2 supported)")
            .arg(num_elements)
            .arg(SETTINGS_MAX_ELEMENTS));
    return false;
}

bool SettingsCommands::loadFromUnit(std::set<settings_struct_index>* unread_values)
{
    record.changed.clear();
    std::memset(&record.values, 0, sizeof record.values);
    *unread_values = allSettingsValues();
    // A load that does not finish leaves no record to keep a copy of.
    files.forgetUnitRecord();

    uint32_t value;
    if (!readHeaderValue(SETTINGS_CHECKSUM_INDEX, &value))
        return false;
    record.checksum = value;
    record.values.crc32 = value;
    if (!readHeaderValue(SETTINGS_MAGIC_NUM, &value))
        return false;
    record.values.magic = value;
    if (!readHeaderValue(SETTINGS_VERSION, &value))
        return false;
    record.memVersion = value;
    record.values.version = value;
    if (!readHeaderValue(SETTINGS_NUM_ELEMENTS, &value) || !settingsLayoutKnown(value))
        return false;
    record.values.num_elements = value;
    record.sizeBytes = 128;

    bool ok = false;
    int unread = 0;
    int unanswered = 0;  // in a row
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const settings_struct_index index = settings_struct_index(i);
        value = get_value(comms, SETTINGS_COMMS, uint8_t(i), &ok);
        unanswered = ok ? 0 : unanswered + 1;
        if (ok && !usableValue(index, value)) {
            qDebug() << "Warning: Value for index" << i << "is not a finite number";
            ok = false;
        }
        if (!ok) {
            qDebug() << "Warning: Failed to read value for index" << i << ", setting to 0";
            value = 0;
            ++unread;
        } else {
            unread_values->erase(index);
        }
        if (!settings_set_value(&record.values, index, &value)) {
            qDebug() << "Error setting value for index" << i;
            ui->statusbar->showMessage("Error: Failed to process configuration data");
            return false;
        }
        if (unanswered == kUnansweredLimit) {
            // The rest stay unknown, so Save refuses them; the form keeps
            // what it showed. Values count from 1: 0 means none was read.
            const int after = i + 1 - kUnansweredLimit;
            qDebug() << "Load stopped: no answer to values" << after << "to" << i << "(counted from 0)";
            ui->statusbar->showMessage(
                QString("Error: the unit stopped answering after value %1 - check the connection and load again")
                    .arg(after));
            return true;
        }
        QThread::msleep(1);
    }

    const uint32_t calculated = settings_CalcCRC(&record.values);
    std::printf("app: 0x%08lX, device: 0x%08lX \n", (unsigned long)calculated, (unsigned long)record.checksum);
    const bool crcOk = calculated == record.checksum;
    if (crcOk) {
        std::printf("CRC Check Passed.\n");
    } else {
        qDebug() << "CRC mismatch: Calculated =" << Qt::hex << calculated << "Stored=" << record.checksum;
        ui->statusbar->showMessage("Warning: Configuration CRC verification failed");
    }
    std::fflush(stdout);
    if (unread == 0)
        files.rememberUnitRecord(record.values, record.checksum);

    form.show();
    if (unread == 0 && crcOk) {
        ui->statusbar->showMessage("Configuration successfully loaded from device");
    } else if (unread == 0) {
        ui->statusbar->showMessage("Warning: Configuration loaded from device, but CRC verification failed");
    } else {
        QString text = QString("Warning: Configuration loaded from device, but %1 value(s) could not be read "
                               "- load again before saving")
                           .arg(unread);
        if (!crcOk)
            text += "; CRC verification failed";
        ui->statusbar->showMessage(text);
    }
    return true;
}

int SettingsCommands::sendValues(const std::set<settings_struct_index>& indices,
                                 std::set<settings_struct_index>* failed)
{
    int sent = 0;
    int unanswered = 0;  // in a row
    for (settings_struct_index index : indices) {
        // The unit is not listening: what is left stays pending, unsent.
        if (unanswered == kUnansweredLimit) {
            qDebug() << "Not sent, the unit stopped answering: index" << int(index);
            failed->insert(index);
            continue;
        }
        const uint32_t value = settings_get_value(&record.values, index);
        if (set_value(comms, SETTINGS_COMMS, uint8_t(index), value) != 0) {
            qDebug() << "Failed to send value for index" << int(index);
            failed->insert(index);
            ++unanswered;
        } else {
            ++sent;
            unanswered = 0;
        }
        QThread::msleep(1);
    }
    return sent;
}

void SettingsCommands::updateUnit(const std::set<settings_struct_index>& values,
                                  std::set<settings_struct_index>* sent)
{
    // A field showing a number it cannot hold is not what the record holds.
    if (!form.typedValuesSendable())
        return;
    if (values.empty()) {
        ui->statusbar->showMessage("No changes to send");
        return;
    }
    // Nothing goes while the registration to be sent is one the unit cannot
    // hold; every edit stays pending until the field is fixed.
    const bool registrationPending =
        values.count(REGISTRATION_1_INDEX) || values.count(REGISTRATION_2_INDEX) || values.count(REGISTRATION_3_INDEX);
    if (registrationPending && !form.registrationSendable())
        return;
    std::set<settings_struct_index> failed;
    sendValues(values, &failed);
    for (settings_struct_index index : values) {
        if (!failed.count(index))
            sent->insert(index);
    }
    // What the unit did not receive stays pending for the next Update.
    record.changed = failed;
    ui->statusbar->showMessage(SessionModel::updateResult(*sent, failed));
}

bool SettingsCommands::saveToUnit(const std::set<settings_struct_index>& values,
                                  std::set<settings_struct_index>* sent)
{
    // The store takes the registration the form shows.
    if (!form.typedValuesSendable() || !form.registrationSendable())
        return false;
    if (!files.keepUnitBackup("Save", "before Save"))
        return false;

    // Values the form changes in the record (for example one shown at the end
    // of a widget's range) must reach the unit before it stores its record.
    Settings_t before;
    std::memcpy(&before, &record.values, sizeof before);
    form.take();
    std::set<settings_struct_index> pending = values;
    pending.insert(record.changed.begin(), record.changed.end());
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const settings_struct_index index = settings_struct_index(i);
        if (settings_get_value(&before, index) != settings_get_value(&record.values, index))
            pending.insert(index);
    }

    uint32_t value;
    if (!readHeaderValue(SETTINGS_VERSION, &value)) {
        record.changed = pending;
        return false;
    }
    record.memVersion = value;
    record.values.version = value;
    if (!readHeaderValue(SETTINGS_NUM_ELEMENTS, &value) || !settingsLayoutKnown(value)) {
        record.changed = pending;
        return false;
    }
    record.values.num_elements = value;

    std::set<settings_struct_index> failed;
    sendValues(pending, &failed);
    for (settings_struct_index index : pending) {
        if (!failed.count(index))
            sent->insert(index);
    }
    if (!failed.empty()) {
        record.changed = failed;
        ui->statusbar->showMessage(
            QString("Error: Failed to send %1 value(s) to device - settings not saved").arg(failed.size()));
        return false;
    }

    record.values.magic = SETTINGS_MAGIC;
    record.values.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&record.values);
    std::printf("New CRC %08X\n", crc);
    std::fflush(stdout);

    if (store_settings(comms, crc) != 0) {
        qDebug() << "Error storing configuration to EEPROM";
        ui->statusbar->showMessage("Error: Failed to store configuration to EEPROM");
        // Not stored: everything edited stays pending for another attempt.
        record.changed = pending;
        return false;
    }
    record.changed.clear();
    Settings_t stored = record.values;
    stored.crc32 = crc;
    files.rememberUnitRecord(stored, crc);
    form.show();
    ui->statusbar->showMessage("Configuration saved to EEPROM successfully");
    return true;
}

bool SettingsCommands::rebootUnit()
{
    if (send_reboot(comms) == 0) {
        qDebug() << "Reboot command sent successfully";
        ui->statusbar->showMessage("Reboot command sent to device");
        return true;
    }
    qDebug() << "Failed to send reboot command";
    ui->statusbar->showMessage("Error: Failed to send reboot command");
    return false;
}

bool SettingsCommands::sendValue(settings_struct_index index, uint32_t value)
{
    if (!settings_set_value(&record.values, index, &value)) {
        qDebug() << "Error setting value for index" << int(index);
        ui->statusbar->showMessage("Error: Failed to update configuration");
        return false;
    }
    if (set_value(comms, SETTINGS_COMMS, uint8_t(index), value) != 0) {
        qDebug() << "Error updating value for index" << int(index);
        ui->statusbar->showMessage("Error: Failed to send configuration to device");
        return false;
    }
    record.changed.insert(index);
    ui->statusbar->showMessage("Configuration updated successfully");
    return true;
}
