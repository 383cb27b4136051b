#ifndef SETTINGS_DOC_UNIT_RECORD_H
#define SETTINGS_DOC_UNIT_RECORD_H

// The unit's whole settings record over the link, as both programs read,
// store and change it: every value read, the store confirmed, and an
// import or a set applied as one checked step.

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "EFIS_shared/settings_types.h"
#include "comms/comms.h"

namespace settings_doc {

// The unit's whole record, every value read; false with *error otherwise.
// When `stop` (may be null) turns non-zero the read ends between two
// values, with *stopped (may be null) set and *error telling how far it
// came.
bool read_record(CommsManager* comms, Settings_t* r, uint32_t* checksum, QString* error, bool* stopped,
                 const std::atomic<int>* stop);

// Stores the record as the window does: the checksum of the record as the
// unit will hold it, then both of the unit's answers.
bool store_record(CommsManager* comms, Settings_t rec, uint32_t* crc);

enum class Applied {
    Done,            // sent, stored, read back and equal
    Stopped,         // `stop` turned non-zero: see sent and stored
    ValueRefused,    // the unit did not take value `refused`; nothing stored
    StoreFailed,     // every value sent, the store not confirmed
    ReadBackFailed,  // stored, but the record read back is not the one sent (detail)
};

struct ApplyResult {
    Applied outcome = Applied::Done;
    size_t changed = 0;  // values that differ from the unit's
    size_t sent = 0;     // of those, the ones the unit took
    bool stored = false;
    uint32_t crc = 0;  // the checksum stored with
    int refused = -1;
    QString detail;  // what the read back found, or how far it came
    Settings_t back{};  // the record read back
    uint32_t back_crc = 0;
};

// Sends the values in which `target` differs from `unit` (the record just
// read), stores the record, reads it back and compares. `stop` (may be null)
// is looked at before each exchange.
ApplyResult apply_record(CommsManager* comms, const Settings_t& unit, const Settings_t& target,
                         const std::atomic<int>* stop);

}  // namespace settings_doc

#endif
