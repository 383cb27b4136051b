#include "app/session_model.h"

#include <cstring>
#include <initializer_list>

#include "EFIS_shared/get_set.h"
#include "settings_doc/settings_file.h"

namespace {

using M = SessionModel;
using A = SessionModel::Action;
using U = SessionModel::Upload;
using settings_doc::Setting;

const uint32_t NO_SERIAL = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Fields and the record values behind them.

int valueCount(const Setting& s)
{
    return s.kind == settings_doc::Kind::Registration ? 3 : 1;
}

settings_struct_index valueOf(const Setting& s, int k)
{
    return settings_struct_index(s.index + k);
}

bool differs(const Settings_t& a, const Settings_t& b, const Setting& s)
{
    for (int k = 0; k < valueCount(s); ++k) {
        if (settings_doc::value_at(a, valueOf(s, k)) != settings_doc::value_at(b, valueOf(s, k)))
            return true;
    }
    return false;
}

void copyField(Settings_t* to, const Settings_t& from, const Setting& s)
{
    for (int k = 0; k < valueCount(s); ++k) {
        uint32_t v = settings_doc::value_at(from, valueOf(s, k));
        settings_set_value(to, valueOf(s, k), &v);
    }
}

template <typename Pred>
QStringList fieldsWhere(Pred pred)
{
    size_t n = 0;
    const Setting* table = settings_doc::settings_table(&n);
    QStringList names;
    for (size_t i = 0; i < n; ++i) {
        if (pred(table[i]))
            names << table[i].name;
    }
    return names;
}

template <typename Pred>
std::set<settings_struct_index> valuesWhere(Pred pred)
{
    size_t n = 0;
    const Setting* table = settings_doc::settings_table(&n);
    std::set<settings_struct_index> values;
    for (size_t i = 0; i < n; ++i) {
        if (!pred(table[i]))
            continue;
        for (int k = 0; k < valueCount(table[i]); ++k)
            values.insert(valueOf(table[i], k));
    }
    return values;
}

// ---------------------------------------------------------------------------
// The uploads' texts, by Upload.

struct UploadTexts {
    const char* name;            // in reasons: "Export is not available while the firmware upload runs"
    const char* alreadyRunning;  // this tab while its upload runs
    const char* otherRunning;    // this tab while the other upload runs
    const char* noFile;
    const char* notRunning;  // its Cancel
    const char* loss;        // what stopping it leaves
    const char* runningHolds;
    const char* stoppedHolds;
    const char* completeHolds;
};

const UploadTexts UPLOAD_TEXTS[2] = {
    {"the firmware upload", "Firmware update already in progress", "Finish airport transfer before firmware update",
     "No firmware file selected", "No firmware update is running",
     "A firmware update is running. Stopping it leaves the new firmware incomplete in the unit's spare firmware "
     "bank; the unit keeps its current firmware. Send the file again before you reboot the unit.",
     "the spare bank is being written; the unit keeps running its current firmware",
     "the spare bank holds an incomplete image; the unit keeps its current firmware",
     "the spare bank holds the new firmware: Reboot EFIS activates it"},
    {"the airport database upload", "Airport transfer already in progress",
     "Finish firmware update before airport transfer", "No airport database file selected",
     "No airport database transfer is running",
     "An airport database transfer is running. Stopping it leaves the unit's airport database closed until a "
     "complete transfer.",
     "the unit's airport database is closed until the transfer is complete",
     "the unit's airport database is closed until a complete transfer", "the unit's airport database is complete"},
};

U otherUpload(U u)
{
    return u == U::Firmware ? U::Airports : U::Firmware;
}

const UploadTexts& texts(U u)
{
    return UPLOAD_TEXTS[u == U::Firmware ? 0 : 1];
}

// ---------------------------------------------------------------------------
// Why an action may not run: each check gives "" when it passes.

QString firstOf(std::initializer_list<QString> reasons)
{
    for (const QString& r : reasons) {
        if (!r.isEmpty())
            return r;
    }
    return QString();
}

// The link carries one exchange at a time; an upload's would be mixed up.
QString uploadBusy(const M& m)
{
    return m.uploadRunning() ? SessionModel::linkBusy() : QString();
}

QString runningUploadBlocks(const M& m, const char* action)
{
    for (U u : {U::Firmware, U::Airports}) {
        if (m.uploadState(u) == M::UploadState::Running)
            return QString("%1 is not available while %2 runs").arg(action, texts(u).name);
    }
    return QString();
}

// Reconnecting replaces the link manager the upload's worker uses.
QString reconnectBusy(const M& m)
{
    return m.uploadRunning() ? QString("An upload is using the link - reconnect when it has finished") : QString();
}

QString noLink(const M& m)
{
    switch (m.linkState()) {
    case M::LinkState::Connected:
        return QString();
    case M::LinkState::Lost:
        return "The link to the unit was lost - check the connection, then Connection > Reconnect";
    case M::LinkState::None:
        break;
    }
    return "No communication interface connected (USB HID or CAN FD)";
}

QString notLoaded(const M& m)
{
    return m.recordLoaded() ? QString() : QString("Load the settings from the unit");
}

// Edits meant for one aircraft's unit never go to another's.
QString otherUnit(const M& m)
{
    return m.recordOfOtherUnit() ? QString("The form holds the settings of unit %1 - load the settings from this unit")
                                       .arg(settings_doc::hex(m.recordSerial()))
                                 : QString();
}

// Save says too what a store now would hold: placeholders only.
QString notLoadedForSave(const M& m)
{
    return m.recordLoaded() ? QString()
                            : QString("Load the settings from the unit - %1 value(s) were not read from the device")
                                  .arg(m.unreadValues());
}

QString nothingToSend(const M& m)
{
    return m.updateValues().empty() ? QString("No changes to send") : QString();
}

// The record holds a placeholder for every unread value; storing it would
// overwrite the unit's own value with it.
QString unreadValues(const M& m)
{
    return m.unreadValues() == 0 ? QString()
                                 : QString("%1 value(s) were not read from the device - load the settings again "
                                           "before saving")
                                       .arg(m.unreadValues());
}

// The other tab's buttons wait too: one upload owns the link at a time.
QString browseRefusal(const M& m, U u)
{
    if (m.uploadState(u) == M::UploadState::Running)
        return texts(u).alreadyRunning;
    if (m.uploadState(otherUpload(u)) == M::UploadState::Running)
        return texts(u).otherRunning;
    return QString();
}

const char* const START_NO_LINK = "Device not connected. Please connect to device first.";

QString startRefusal(const M& m, U u)
{
    return firstOf({browseRefusal(m, u), m.uploadFileChosen(u) ? QString() : QString(texts(u).noFile),
                    m.linkState() == M::LinkState::Connected ? QString() : QString(START_NO_LINK)});
}

QString cancelRefusal(const M& m, U u)
{
    if (m.uploadState(u) != M::UploadState::Running)
        return texts(u).notRunning;
    if (m.uploadCancelling(u))
        return "Cancelling - the upload stops at its next block or packet...";
    return QString();
}

// ---------------------------------------------------------------------------
// What to ask first.

M::Question rebootQuestion(const M& m)
{
    QStringList losses;
    if (!m.editsLoss(true).isEmpty())
        losses << m.editsLoss(true);
    // The boot loader would activate whatever the spare bank holds.
    if (m.uploadState(U::Firmware) == M::UploadState::Stopped)
        losses << "The firmware update did not complete: " + m.uploadHolds(U::Firmware) +
                      ". Send the firmware file again, and let the update complete, before you reboot the unit.";
    return {"Reboot the unit?", losses.join("\n\n"), "Reboot Anyway"};
}

M::Question closeQuestion(const M& m)
{
    QStringList losses;
    for (const QString& loss : {m.uploadLoss(), m.editsLoss(false)}) {
        if (!loss.isEmpty())
            losses << loss;
    }
    if (m.uploadRunning())
        return {"Stop the upload and close?", losses.join("\n\n"), "Stop and Close"};
    return {"Close without saving?", losses.join("\n\n"), "Close Anyway"};
}

// Import stores the file's settings and shows them read back.
M::Question importQuestion(const M& m)
{
    if (m.editedFields().isEmpty())
        return {};
    return {"Import settings", "The form's edits that were not sent are replaced.", "Import"};
}

// ---------------------------------------------------------------------------
// The actions: whether each may run (its refusal is empty), and what it asks.

struct Row {
    A action;
    const char* name;
    QString (*refusal)(const M&);
    M::Question (*question)(const M&);  // null: never asks
};

const Row ROWS[] = {
    {A::Load, "Load", [](const M& m) { return firstOf({uploadBusy(m), noLink(m)}); }, nullptr},
    {A::Update, "Update",
     [](const M& m) { return firstOf({uploadBusy(m), noLink(m), notLoaded(m), otherUnit(m), nothingToSend(m)}); },
     nullptr},
    {A::Save, "Save",
     [](const M& m) {
         return firstOf({uploadBusy(m), noLink(m), notLoadedForSave(m), otherUnit(m), unreadValues(m)});
     },
     nullptr},
    {A::Reboot, "Reboot", [](const M& m) { return firstOf({uploadBusy(m), noLink(m)}); }, rebootQuestion},
    {A::Export, "Export", [](const M& m) { return firstOf({runningUploadBlocks(m, "Export"), noLink(m)}); },
     nullptr},
    {A::Import, "Import", [](const M& m) { return firstOf({runningUploadBlocks(m, "Import"), noLink(m)}); },
     importQuestion},
    {A::Reconnect, "Reconnect", reconnectBusy, nullptr},
    {A::LinkChoice, "Link choice", reconnectBusy, nullptr},
    {A::BrowseFirmware, "Select Firmware File", [](const M& m) { return browseRefusal(m, U::Firmware); }, nullptr},
    {A::StartFirmware, "Start Update", [](const M& m) { return startRefusal(m, U::Firmware); }, nullptr},
    {A::CancelFirmware, "Cancel firmware update", [](const M& m) { return cancelRefusal(m, U::Firmware); },
     nullptr},
    {A::BrowseAirports, "Select Airport DB File", [](const M& m) { return browseRefusal(m, U::Airports); },
     nullptr},
    {A::StartAirports, "Start Transfer", [](const M& m) { return startRefusal(m, U::Airports); }, nullptr},
    {A::CancelAirports, "Cancel airport transfer", [](const M& m) { return cancelRefusal(m, U::Airports); },
     nullptr},
    {A::Close, "Close", [](const M&) { return QString(); }, closeQuestion},
};

static_assert(sizeof ROWS / sizeof ROWS[0] == SessionModel::ACTION_COUNT, "one row per action");

const Row& rowOf(A a)
{
    for (const Row& r : ROWS) {
        if (r.action == a)
            return r;
    }
    return ROWS[SessionModel::ACTION_COUNT - 1];
}

}  // namespace

// ---------------------------------------------------------------------------

SessionModel::SessionModel()
    : linkState_(LinkState::None), link_(Link::UsbHid), serial_(NO_SERIAL), loaded_(false), storedHere_(false),
      recordSerial_(NO_SERIAL), restarted_(false)
{
    clearRecord();
}

void SessionModel::linkConnected(Link link, uint32_t serial)
{
    linkState_ = LinkState::Connected;
    link_ = link;
    serial_ = serial;
}

void SessionModel::linkLost()
{
    if (linkState_ != LinkState::None)
        linkState_ = LinkState::Lost;
}

SessionModel::LinkState SessionModel::linkState() const { return linkState_; }
SessionModel::Link SessionModel::link() const { return link_; }
uint32_t SessionModel::serial() const { return linkState_ == LinkState::Connected ? serial_ : NO_SERIAL; }

void SessionModel::setUnitRecord(const Settings_t& record, const std::set<settings_struct_index>& unread)
{
    // A load reads what the unit runs with, not what it stored: a value sent
    // and read back is still not stored. Another unit's record starts afresh.
    Settings_t stored = record;
    if (loaded_ && recordSerial_ == serial()) {
        size_t n = 0;
        const Setting* table = settings_doc::settings_table(&n);
        for (size_t i = 0; i < n; ++i) {
            if (differs(working_, stored_, table[i]) && !differs(record, working_, table[i]))
                copyField(&stored, stored_, table[i]);
        }
    }
    stored_ = stored;
    working_ = record;
    form_ = record;
    unread_ = unread;
    loaded_ = true;
    storedHere_ = false;
    recordSerial_ = serial();
    restarted_ = false;
}

void SessionModel::clearRecord()
{
    std::memset(&stored_, 0, sizeof stored_);
    working_ = stored_;
    form_ = stored_;
    // Every value is a placeholder until a load reads it or the owner sets it.
    unread_.clear();
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i)
        unread_.insert(settings_struct_index(i));
    loaded_ = false;
    storedHere_ = false;
    recordSerial_ = NO_SERIAL;
    restarted_ = false;
}

void SessionModel::setFormRecord(const Settings_t& record) { form_ = record; }

void SessionModel::setFormValue(settings_struct_index index, uint32_t value)
{
    if (settings_set_value(&form_, index, &value))
        unread_.erase(index);
}

void SessionModel::valuesSent(const std::set<settings_struct_index>& indices)
{
    for (settings_struct_index index : indices) {
        uint32_t v = settings_doc::value_at(form_, index);
        settings_set_value(&working_, index, &v);
    }
}

void SessionModel::recordStored(const Settings_t& record)
{
    stored_ = record;
    working_ = record;
    form_ = record;
    unread_.clear();
    loaded_ = true;
    storedHere_ = true;
    recordSerial_ = serial();
    restarted_ = false;
}

void SessionModel::unitRebooted()
{
    // The boot loader activates a complete image; an incomplete one stays
    // what it is, and the next reboot asks again.
    restarted_ = true;
    UploadSlot& fw = slot(Upload::Firmware);
    if (fw.state == UploadState::Idle)
        fw.holds.clear();
}

SessionModel::RecordState SessionModel::recordState() const
{
    if (!loaded_)
        return RecordState::NotLoaded;
    if (!editedFields().isEmpty())
        return RecordState::Edited;
    if (!sentFields().isEmpty())
        return RecordState::SentNotStored;
    return storedHere_ ? RecordState::Stored : RecordState::Loaded;
}

bool SessionModel::recordLoaded() const { return loaded_; }

bool SessionModel::recordOfOtherUnit() const
{
    return loaded_ && linkState_ == LinkState::Connected && serial_ != recordSerial_;
}

uint32_t SessionModel::recordSerial() const { return recordSerial_; }
int SessionModel::unreadValues() const { return int(unread_.size()); }
const std::set<settings_struct_index>& SessionModel::unread() const { return unread_; }

QStringList SessionModel::editedFields() const
{
    if (!loaded_)
        return QStringList();
    return fieldsWhere([this](const Setting& s) { return differs(form_, working_, s); });
}

QStringList SessionModel::sentFields() const
{
    if (!loaded_)
        return QStringList();
    return fieldsWhere([this](const Setting& s) { return differs(working_, stored_, s); });
}

QStringList SessionModel::unsavedFields() const
{
    if (!loaded_)
        return QStringList();
    return fieldsWhere(
        [this](const Setting& s) { return differs(form_, working_, s) || differs(working_, stored_, s); });
}

std::set<settings_struct_index> SessionModel::updateValues() const
{
    if (!loaded_)
        return {};
    return valuesWhere([this](const Setting& s) { return differs(form_, working_, s); });
}

std::set<settings_struct_index> SessionModel::saveValues() const
{
    if (!loaded_)
        return {};
    // Values sent before a restart are sent again; before one, the unit
    // still runs with them.
    return valuesWhere([this](const Setting& s) {
        return differs(form_, working_, s) || (restarted_ && differs(form_, stored_, s));
    });
}

int SessionModel::fieldCount(const std::set<settings_struct_index>& indices)
{
    return fieldsWhere([&indices](const Setting& s) {
               for (int k = 0; k < valueCount(s); ++k) {
                   if (indices.count(valueOf(s, k)))
                       return true;
               }
               return false;
           })
        .size();
}

QString SessionModel::updateResult(const std::set<settings_struct_index>& sent,
                                   const std::set<settings_struct_index>& failed)
{
    if (failed.empty())
        return QString("Successfully sent %1 configuration value(s) to device").arg(fieldCount(sent));
    return QString("Error: Sent %1 value(s), %2 failed").arg(fieldCount(sent)).arg(fieldCount(failed));
}

bool SessionModel::formEnabled() const { return loaded_; }
const char* const SessionModel::NO_RECORD_HINT = "Load the settings from the unit";

QString SessionModel::linkBusy() { return "An upload is using the link - wait until it has finished"; }

QString SessionModel::formHint() const { return loaded_ ? QString() : QString(NO_RECORD_HINT); }

SessionModel::UploadSlot& SessionModel::slot(Upload u) { return uploads_[u == Upload::Firmware ? 0 : 1]; }
const SessionModel::UploadSlot& SessionModel::slot(Upload u) const { return uploads_[u == Upload::Firmware ? 0 : 1]; }

void SessionModel::setUploadFile(Upload u, const QString& path) { slot(u).file = !path.isEmpty(); }

void SessionModel::uploadStarted(Upload u)
{
    UploadSlot& s = slot(u);
    s.before = s.state;
    s.holdsBefore = s.holds;
    s.state = UploadState::Running;
    s.cancelling = false;
    s.holds = texts(u).runningHolds;
}

void SessionModel::uploadCancelled(Upload u)
{
    if (slot(u).state == UploadState::Running)
        slot(u).cancelling = true;
}

void SessionModel::uploadEnded(Upload u, bool complete, bool unitChanged)
{
    UploadSlot& s = slot(u);
    s.cancelling = false;
    if (complete) {
        s.state = UploadState::Idle;
        s.holds = texts(u).completeHolds;
    } else if (unitChanged) {
        s.state = UploadState::Stopped;
        s.holds = texts(u).stoppedHolds;
    } else {
        s.state = s.before;
        s.holds = s.holdsBefore;
    }
}

SessionModel::UploadState SessionModel::uploadState(Upload u) const { return slot(u).state; }
bool SessionModel::uploadCancelling(Upload u) const { return slot(u).cancelling; }

bool SessionModel::uploadRunning() const
{
    return uploads_[0].state == UploadState::Running || uploads_[1].state == UploadState::Running;
}

bool SessionModel::uploadFileChosen(Upload u) const { return slot(u).file; }
QString SessionModel::uploadHolds(Upload u) const { return slot(u).holds; }

bool SessionModel::enabled(Action a) const { return reason(a).isEmpty(); }

bool SessionModel::offered(Action a) const
{
    const QString r = reason(a);
    return r.isEmpty() || r == noLink(*this) || r == START_NO_LINK;
}
QString SessionModel::reason(Action a) const { return rowOf(a).refusal(*this); }

SessionModel::Question SessionModel::question(Action a) const
{
    const Row& r = rowOf(a);
    return r.question ? r.question(*this) : Question();
}

const char* SessionModel::actionName(Action a) { return rowOf(a).name; }

QString SessionModel::uploadLoss() const
{
    for (Upload u : {Upload::Firmware, Upload::Airports}) {
        if (slot(u).state == UploadState::Running)
            return texts(u).loss;
    }
    return QString();
}

QString SessionModel::editsLoss(bool reboot) const
{
    const int edits = unsavedFields().size();
    if (edits == 0)
        return QString();
    // Sent and not stored, and not edited again since.
    const int sent = edits - editedFields().size();
    QString text = QString("%1 edited value(s) are not saved in the unit").arg(edits);
    if (sent > 0)
        text += QString(" (%1 sent with Update: the unit keeps them only until it restarts)").arg(sent);
    text += reboot ? ". The unit restarts with its saved settings; press Save first to keep the edits."
                   : ". Closing loses them; press Save first to keep them.";
    return text;
}
