#ifndef SIM_VIRTUAL_UNIT_H
#define SIM_VIRTUAL_UNIT_H

// The display unit's side of every exchange the tool makes, for tests,
// benchmarks and the virtual-unit build of the application. Give it a
// message, it answers with zero or more messages.

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "../EFIS_shared/calib_types.h"
#include "../EFIS_shared/comms_types.h"
#include "../EFIS_shared/settings_types.h"

namespace sim {

// One answer of the unit; delay_us is the unit's own processing time before
// it sends the answer, counted from the arrival of the request. The link's
// latency comes on top (sim_world.h).
struct Answer {
    COMMS_MSG_t msg;
    uint32_t delay_us;
};

struct UnitFaults {
    bool silent = false;                 // answers nothing at all
    std::set<uint32_t> nack;             // commands (can_ID) answered with CANMSG_NACK
    std::set<uint32_t> bad_ack;          // commands whose ACK carries a wrong marker (15 EF)
    std::set<uint32_t> wrong_ack_id;     // commands whose ACK names another command (id + 1)
    std::set<uint32_t> ignore;           // commands (can_ID) that get no answer
    std::set<uint8_t> silent_index;      // value requests for these indices get no answer
    bool store_flash_nack = false;       // store answered with CANMSG_MX25_NACK
    int unrelated_before = 0;            // CANMSG_ACC sensor frames sent before each answer
    uint32_t extra_delay_us = 0;         // added to every answer's delay

    // Commands (can_ID) answered with exactly these messages instead of the
    // unit's own answers; the unit still acts on the command.
    std::map<uint32_t, std::vector<COMMS_MSG_t>> answer_with;
    // Answers that come after the tool has stopped waiting: every answer to
    // these commands (can_ID), or to value requests for these indices, is
    // held back by late_us.
    std::set<uint32_t> late;
    std::set<uint8_t> late_index;
    uint32_t late_us = 1100000;
    std::set<uint32_t> duplicate;        // commands (can_ID) whose every answer is sent twice
    // The store's acknowledgement before its flash acknowledgement: on CAN
    // 0x255 wins arbitration when both wait in the unit's transmit queue.
    bool store_ack_first = false;
    bool lenient_store = false;          // stores its working record whatever checksum was sent
};

// A sensible factory record: version 3, 31 elements, valid checksum, white
// (0xFFFFFFFF) airplane and gear colours, registration "N123AB".
Settings_t factory_settings();

class VirtualUnit {
public:
    VirtualUnit();  // factory settings, stored and working alike

    void factory_reset();
    void erase_storage();  // stored record all 0xFF, working record reloaded from it
    void reboot();         // working record reloaded from the stored one

    std::vector<Answer> handle(const COMMS_MSG_t& request);

    Settings_t working;
    Settings_t stored;
    SENSOR_CALIB_t calib_working;
    SENSOR_CALIB_t calib_stored;
    uint32_t serial = 0x12345678;
    UnitFaults faults;
    std::vector<COMMS_MSG_t> received;  // every message handled, in order
    int reboots = 0;
    int stores = 0;                     // successful stores of the settings record
};

// Builds a zero-filled record with the given identifier and payload.
COMMS_MSG_t make_msg(uint32_t can_ID, std::initializer_list<uint8_t> data);

}  // namespace sim

#endif
