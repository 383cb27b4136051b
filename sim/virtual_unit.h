#ifndef SIM_VIRTUAL_UNIT_H
#define SIM_VIRTUAL_UNIT_H

// The display unit's side of every exchange the tool makes, for tests,
// benchmarks and the virtual-unit build of the application. Give it a
// message, it answers with zero or more messages.

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <vector>

#include "../EFIS_shared/calib_types.h"
#include "../EFIS_shared/comms_types.h"
#include "../EFIS_shared/mem_layout.h"
#include "../EFIS_shared/settings_types.h"
#include "virtual_flash.h"

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
    // The next requests, whatever they are, answered in turn with these
    // messages instead of the unit's own (then answer_with and the unit).
    std::deque<std::vector<COMMS_MSG_t>> script;
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

    // Flash. Write packets are counted from 0 over the unit's life
    // (VirtualUnit::write_packets).
    std::set<uint16_t> erase_nack_blocks;    // block erases refused with a flash NACK, nothing erased
    std::set<uint16_t> erase_silent_blocks;  // block erases acknowledged, then never done nor confirmed
    std::set<uint32_t> packet_nack;          // write packets refused with a flash NACK, nothing written
    std::set<uint32_t> packet_silent;        // write packets stored but never confirmed
    std::set<uint32_t> packet_late;          // write packets confirmed after late_us
    std::set<uint32_t> wrong_flash_op;       // commands (can_ID) whose flash ACK names another operation
    std::set<uint32_t> wrong_flash_address;  // commands whose flash ACK reports the address + 64 KiB
    std::set<uint32_t> short_flash_ack;      // commands whose flash ACK carries only the operation
    int unplug_after_packets = -1;           // gone (unplugged) once this many write packets arrived
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
    bool keep_received = true;          // off for long uploads: the log would hold every packet
    std::vector<COMMS_MSG_t> received;  // every message handled, in order
    int reboots = 0;
    int stores = 0;                     // successful stores of the settings record

    // External flash: the airport database in blocks 0-831, firmware banks 1
    // and 2 behind it. The region being programmed is the airport region
    // while the database is closed, and the bank the marker names.
    VirtualFlash flash;
    mx25_partition partition = partition_1;  // the marker the unit reports: the bank to write
    bool airport_db_open = true;
    bool address_set = false;               // no write packet is stored before an address
    uint32_t write_pointer = 0;             // where the next write packet lands
    uint32_t write_packets = 0;             // write packets received
    uint32_t erase_us = 0;                  // time a block erase takes before it is confirmed
    bool unplugged = false;                 // gone from both links (unplug_after_packets)

    bool in_region(uint32_t address, uint32_t length) const;
};

// Builds a zero-filled record with the given identifier and payload.
COMMS_MSG_t make_msg(uint32_t can_ID, std::initializer_list<uint8_t> data);

}  // namespace sim

#endif
