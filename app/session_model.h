#ifndef APP_SESSION_MODEL_H
#define APP_SESSION_MODEL_H

// Where the window stands with the unit: the link, the settings record as the
// unit holds it and as the form shows it, and the two uploads. Every action
// the window offers asks this model whether it may run, why not, and what to
// ask before it goes on; the answers come from one table in
// session_model.cpp, so that a button, its tooltip and its question cannot
// disagree. Qt Core only: it knows no widget and talks to no unit.
//
// A field is a setting as the owner sees it (one entry of
// settings_doc::settings_table(), named as there): the registration's three
// record values are one field. Edits are found by comparing the form's record
// with what the unit runs with, so a field changed back is no edit.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <set>

#include "EFIS_shared/settings_types.h"

class SessionModel {
public:
    enum class LinkState { None, Connected, Lost };
    enum class Link { UsbHid, CanFd };
    // The most pressing of what the record holds: edits not sent before
    // values sent but not stored.
    enum class RecordState { NotLoaded, Loaded, Edited, SentNotStored, Stored };
    enum class Upload { Firmware, Airports };
    enum class UploadState { Idle, Running, Stopped };
    enum class Action {
        Load,
        Update,
        Save,
        Reboot,
        Export,
        Import,
        Reconnect,
        LinkChoice,  // Auto / USB / CAN FD and the CAN interface
        BrowseFirmware,
        StartFirmware,
        CancelFirmware,
        BrowseAirports,
        StartAirports,
        CancelAirports,
        Close,
    };
    static const int ACTION_COUNT = 15;

    // What to ask before an action goes on, as a warning with a button that
    // goes on and one that cancels; nothing to ask when `detail` is empty.
    struct Question {
        QString title;    // "Reboot the unit?"
        QString detail;   // what would be lost
        QString proceed;  // "Reboot Anyway"
        bool isEmpty() const { return detail.isEmpty(); }
    };

    SessionModel();

    // The link. A link that goes after one was up is lost, not none: the
    // record stays, and Reconnect finds the unit again.
    void linkConnected(Link link, uint32_t serial);
    void linkLost();
    LinkState linkState() const;
    Link link() const;
    uint32_t serial() const;  // 0xFFFFFFFF: none or unknown

    // The record. setUnitRecord: a load from the connected unit; `unread`
    // holds the record values it did not read (placeholders in `record`).
    // A field sent but not stored stays so while the load reads the value
    // sent. clearRecord: a load that read nothing.
    void setUnitRecord(const Settings_t& record, const std::set<settings_struct_index>& unread = {});
    void clearRecord();
    // The form's record, whole or one value (a value set is known even if no
    // load read it).
    void setFormRecord(const Settings_t& record);
    void setFormValue(settings_struct_index index, uint32_t value);
    // The unit confirmed these values of the form (Update, or Save's sends).
    void valuesSent(const std::set<settings_struct_index>& indices);
    // The unit stored this record (Save, Import read back): it is the unit's
    // and the form's.
    void recordStored(const Settings_t& record);
    // The unit restarts. Fields sent but not stored stay so: the form still
    // shows them, and Save sends them again. A completed firmware upload is
    // activated.
    void unitRebooted();

    RecordState recordState() const;
    bool recordLoaded() const;
    // The record was loaded from another unit than the one connected.
    bool recordOfOtherUnit() const;
    uint32_t recordSerial() const;  // the unit the record was loaded from
    int unreadValues() const;
    const std::set<settings_struct_index>& unread() const;
    // Names of the fields typed and not sent; sent and not stored; and
    // either, which is what the unit does not keep.
    QStringList editedFields() const;
    QStringList sentFields() const;
    QStringList unsavedFields() const;
    // The record values Update sends (the edited fields) and Save sends
    // (also those sent and not stored, which a restart may have dropped).
    std::set<settings_struct_index> updateValues() const;
    std::set<settings_struct_index> saveValues() const;
    // Fields among record values: the registration counts once.
    static int fieldCount(const std::set<settings_struct_index>& indices);
    // Update's status, counted in fields.
    static QString updateResult(const std::set<settings_struct_index>& sent,
                                const std::set<settings_struct_index>& failed);
    // Nothing typed before a load can be sent: the form waits for one.
    bool formEnabled() const;
    QString formHint() const;
    // What formHint says while no record is loaded.
    static const char* const NO_RECORD_HINT;

    // The uploads. uploadEnded: `unitChanged` is false when the unit heard
    // nothing (a file refused before sending), which leaves the unit as it
    // was before the start; for the airport database it is whether the
    // database was left closed.
    void setUploadFile(Upload u, const QString& path);
    void uploadStarted(Upload u);
    void uploadCancelled(Upload u);
    void uploadEnded(Upload u, bool complete, bool unitChanged);
    UploadState uploadState(Upload u) const;
    bool uploadCancelling(Upload u) const;
    bool uploadRunning() const;
    bool uploadFileChosen(Upload u) const;
    // What the unit holds of this upload ("" when nothing to say).
    QString uploadHolds(Upload u) const;

    // Why a settings command waits while an upload runs.
    static QString linkBusy();

    // The actions, by the table.
    bool enabled(Action a) const;
    // Whether the window keeps the action's control enabled: also when the
    // only refusal is the missing link, which its click reports in the
    // status bar (the tooltip says it beforehand).
    bool offered(Action a) const;
    QString reason(Action a) const;  // "" when enabled
    Question question(Action a) const;
    static const char* actionName(Action a);

    // The parts of the questions: what stopping the running upload leaves,
    // and the edits the unit does not keep (before a reboot or the close).
    QString uploadLoss() const;
    QString editsLoss(bool reboot) const;

private:
    struct UploadSlot {
        UploadState state = UploadState::Idle;
        bool cancelling = false;
        bool file = false;
        QString holds;
        // Given back when the unit heard nothing.
        UploadState before = UploadState::Idle;
        QString holdsBefore;
    };
    UploadSlot& slot(Upload u);
    const UploadSlot& slot(Upload u) const;

    LinkState linkState_;
    Link link_;
    uint32_t serial_;
    bool loaded_;
    bool storedHere_;
    uint32_t recordSerial_;
    // What the unit keeps across a restart, what it runs with as far as the
    // window knows, and what the form shows.
    Settings_t stored_;
    Settings_t working_;
    Settings_t form_;
    std::set<settings_struct_index> unread_;
    // The unit restarted since values were sent: it may have dropped them.
    bool restarted_;
    UploadSlot uploads_[2];
};

#endif
