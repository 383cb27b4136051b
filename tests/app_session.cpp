// What each action of the window may do, why not, and what it asks first:
// the session's state by the owner's steps, the action, and what the owner
// sees. Counts are in fields, and a field changed back is no edit.

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "EFIS_shared/get_set.h"
#include "app/session_model.h"

namespace {

using M = SessionModel;
using A = SessionModel::Action;
using U = SessionModel::Upload;

const uint32_t SERIAL = 0x12345678u;

Settings_t unitRecord()
{
    Settings_t r;
    std::memset(&r, 0, sizeof r);
    uint32_t vne = 180;
    settings_set_value(&r, VNE_INDEX, &vne);
    return r;
}

void none(M&) {}
void connected(M& m) { m.linkConnected(M::Link::UsbHid, SERIAL); }
void loaded(M& m) { connected(m), m.setUnitRecord(unitRecord()); }
void partial(M& m) { connected(m), m.setUnitRecord(unitRecord(), {VS0_INDEX, VS1_INDEX}); }
void lost(M& m) { loaded(m), m.linkLost(); }
void otherUnit(M& m) { loaded(m), m.linkConnected(M::Link::CanFd, 0xCAFE0001u); }
// Four fields, the registration's three values among them.
void edited(M& m)
{
    loaded(m);
    m.setFormValue(VS0_INDEX, 40);
    m.setFormValue(VNE_INDEX, 170);
    m.setFormValue(BACKLIGHT_BRIGHTNESS_INDEX, 9);
    for (int k = 0; k < 3; ++k)
        m.setFormValue(settings_struct_index(REGISTRATION_1_INDEX + k), 0x41414141u + k);
}
void updated(M& m) { loaded(m), m.setFormValue(VS0_INDEX, 40), m.valuesSent(m.updateValues()); }
void rebooted(M& m) { updated(m), m.unitRebooted(); }
void fwRunning(M& m) { loaded(m), m.setUploadFile(U::Firmware, "fw.bin"), m.uploadStarted(U::Firmware); }
void fwCancelling(M& m) { fwRunning(m), m.uploadCancelled(U::Firmware); }
void fwStopped(M& m) { fwRunning(m), m.uploadEnded(U::Firmware, false, true); }
void fwRefused(M& m) { fwRunning(m), m.uploadEnded(U::Firmware, false, false); }
void dbRunning(M& m) { loaded(m), m.setUploadFile(U::Airports, "a.db"), m.uploadStarted(U::Airports); }

struct Case {
    const char* state;
    void (*steps)(M&);
    A action;
    const char* refused;  // in the reason; null: enabled
    const char* asks;     // in the question's title, detail or button; null: asks nothing
};

const char* const BUSY = "An upload is using the link - wait until it has finished";
const char* const RECONNECT_BUSY = "An upload is using the link - reconnect when it has finished";

const Case CASES[] = {
    {"StartUp", loaded, A::StartFirmware, "No firmware file selected", nullptr},
    {"StartUp", loaded, A::CancelFirmware, "No firmware update is running", nullptr},
    {"StartUp", loaded, A::StartAirports, "No airport database file selected", nullptr},
    {"StartUp", loaded, A::CancelAirports, "No airport database transfer is running", nullptr},
    {"StartUp", loaded, A::BrowseFirmware, nullptr, nullptr},
    {"StartUp", loaded, A::BrowseAirports, nullptr, nullptr},
    {"StartUp", loaded, A::Reboot, nullptr, nullptr},
    {"StartUp", loaded, A::Update, "No changes to send", nullptr},
    {"StartUp", loaded, A::Save, nullptr, nullptr},
    {"StartUp", loaded, A::Close, nullptr, nullptr},
    {"NotLoaded", connected, A::Update, "Load the settings from the unit", nullptr},
    {"NotLoaded", connected, A::Save, "Load the settings from the unit", nullptr},
    {"NotLoaded", connected, A::Load, nullptr, nullptr},
    {"NotLoaded", connected, A::Reboot, nullptr, nullptr},
    {"NoLink", none, A::Load, "No communication interface connected (USB HID or CAN FD)", nullptr},
    {"NoLink", none, A::Reconnect, nullptr, nullptr},
    {"Lost", lost, A::Update, "link to the unit was lost", nullptr},
    {"OtherUnit", otherUnit, A::Save, "settings of unit 0x12345678 - load", nullptr},
    {"OtherUnit", otherUnit, A::Load, nullptr, nullptr},
    {"Partial", partial, A::Save, "2 value(s) were not read from the device", nullptr},
    {"Edited", edited, A::Update, nullptr, nullptr},
    {"Edited", edited, A::Close, nullptr, "4 edited value(s) are not saved in the unit. Closing loses them"},
    {"Edited", edited, A::Reboot, nullptr, "4 edited value(s) are not saved in the unit. The unit restarts"},
    {"Edited", edited, A::Import, nullptr, "edits that were not sent are replaced"},
    {"Updated", updated, A::Update, "No changes to send", nullptr},
    {"Updated", updated, A::Reboot, nullptr, "1 edited value(s) are not saved in the unit (1 sent with Update"},
    {"Rebooted", rebooted, A::Close, nullptr, "(1 sent with Update"},
    {"Rebooted", rebooted, A::Save, nullptr, nullptr},
    {"FwRunning", fwRunning, A::Export, "Export is not available while the firmware upload runs", nullptr},
    {"FwRunning", fwRunning, A::Import, "Import is not available while the firmware upload runs", nullptr},
    {"FwRunning", fwRunning, A::Reconnect, RECONNECT_BUSY, nullptr},
    {"FwRunning", fwRunning, A::LinkChoice, RECONNECT_BUSY, nullptr},
    {"FwRunning", fwRunning, A::Load, BUSY, nullptr},
    {"FwRunning", fwRunning, A::Reboot, BUSY, nullptr},
    {"FwRunning", fwRunning, A::StartFirmware, "Firmware update already in progress", nullptr},
    {"FwRunning", fwRunning, A::BrowseAirports, "Finish firmware update before airport transfer", nullptr},
    {"FwRunning", fwRunning, A::StartAirports, "Finish firmware update before airport transfer", nullptr},
    {"FwRunning", fwRunning, A::CancelFirmware, nullptr, nullptr},
    {"FwRunning", fwRunning, A::Close, nullptr, "incomplete in the unit's spare firmware bank"},
    {"FwCancelling", fwCancelling, A::CancelFirmware, "Cancelling", nullptr},
    {"FwCancelling", fwCancelling, A::Close, nullptr, "Stop the upload and close?\nA firmware update"},
    {"FwStopped", fwStopped, A::Reboot, nullptr, "spare bank holds an incomplete image"},
    {"FwStopped", fwStopped, A::Reboot, nullptr, "Send the firmware file again"},
    {"FwStopped", fwStopped, A::StartFirmware, nullptr, nullptr},
    {"FwStopped", fwStopped, A::Export, nullptr, nullptr},
    {"FwStopped", fwStopped, A::Close, nullptr, nullptr},
    {"FwRefused", fwRefused, A::Reboot, nullptr, nullptr},
    {"DbRunning", dbRunning, A::Export, "Export is not available while the airport database upload runs", nullptr},
    {"DbRunning", dbRunning, A::StartFirmware, "Finish airport transfer before firmware update", nullptr},
    {"DbRunning", dbRunning, A::CancelAirports, nullptr, nullptr},
    {"DbRunning", dbRunning, A::Close, nullptr, "airport database closed until a complete transfer"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.state << " " << M::actionName(c.action); }

class SessionActions : public testing::TestWithParam<Case> {};

INSTANTIATE_TEST_SUITE_P(Session, SessionActions, testing::ValuesIn(CASES), [](const testing::TestParamInfo<Case>& i) {
    std::string name = std::string(i.param.state) + "_" + M::actionName(i.param.action) + "_" + std::to_string(i.index);
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST_P(SessionActions, EnabledReasonQuestion)
{
    const Case& c = GetParam();
    M m;
    c.steps(m);
    const QString reason = m.reason(c.action);
    EXPECT_EQ(m.enabled(c.action), c.refused == nullptr) << reason.toStdString();
    EXPECT_TRUE(c.refused ? reason.contains(c.refused) : reason.isEmpty()) << reason.toStdString();
    const M::Question q = m.question(c.action);
    const QString asked = q.isEmpty() ? QString() : q.title + "\n" + q.detail + "\n" + q.proceed;
    EXPECT_TRUE(c.asks ? asked.contains(c.asks) : asked.isEmpty()) << asked.toStdString();
}

TEST(SessionRecord, ChangedBackIsNoEditAndFieldsCountOnce)
{
    M m;
    EXPECT_FALSE(m.formEnabled());
    EXPECT_EQ(m.formHint(), "Load the settings from the unit");
    loaded(m);
    EXPECT_TRUE(m.formEnabled());
    m.setFormValue(VNE_INDEX, 170);
    EXPECT_EQ(m.editedFields(), QStringList({"vne"}));
    m.setFormValue(VNE_INDEX, 180);
    EXPECT_EQ(m.recordState(), M::RecordState::Loaded);

    edited(m);
    EXPECT_EQ(m.editedFields().size(), 4);
    EXPECT_EQ(M::updateResult(m.updateValues(), {}), "Successfully sent 4 configuration value(s) to device");
    EXPECT_EQ(M::updateResult({VS0_INDEX}, {REGISTRATION_2_INDEX, REGISTRATION_3_INDEX}),
              "Error: Sent 1 value(s), 1 failed");
}

TEST(SessionRecord, SentStaysUnsavedUntilStored)
{
    M m;
    updated(m);
    // Typed back to what the unit stored: the unit still runs the value sent.
    m.setFormValue(VS0_INDEX, 0);
    EXPECT_EQ(m.editedFields(), QStringList({"vs0"}));
    EXPECT_EQ(m.sentFields(), QStringList({"vs0"}));
    m.setFormValue(VS0_INDEX, 40);
    m.unitRebooted();
    EXPECT_EQ(m.recordState(), M::RecordState::SentNotStored);
    EXPECT_EQ(m.saveValues(), std::set<settings_struct_index>({VS0_INDEX}));
    // A load that reads the stored value again shows the unit as it is.
    m.setUnitRecord(unitRecord());
    EXPECT_EQ(m.recordState(), M::RecordState::Loaded);
    updated(m);
    Settings_t stored = unitRecord();
    uint32_t vs0 = 40;
    settings_set_value(&stored, VS0_INDEX, &vs0);
    m.setUnitRecord(stored);  // read back the value sent: still not stored
    EXPECT_EQ(m.sentFields(), QStringList({"vs0"}));
    m.recordStored(stored);
    EXPECT_EQ(m.recordState(), M::RecordState::Stored);
    EXPECT_TRUE(m.question(A::Close).isEmpty());
}

}  // namespace
