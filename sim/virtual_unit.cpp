#include "virtual_unit.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "../EFIS_shared/can_export.h"
#include "../EFIS_shared/firmware.h"
#include "../EFIS_shared/get_set.h"

namespace sim {

namespace {

// Where the unit keeps its two records in its external flash. Each lives in
// one sector, which is erased before it is rewritten.
const uint32_t SETTINGS_STORAGE_ADDR = 0x00000000;
const uint32_t CALIB_STORAGE_ADDR = 0x00001000;

// Marker the unit puts after an acknowledged command id, in this byte order.
const uint8_t MARKER_0 = 0xEF;
const uint8_t MARKER_1 = 0x15;

const uint32_t CALIB_MAGIC = 0x42494C43;  // "CLIB" in memory

COMMS_MSG_t blank(uint32_t can_ID, uint8_t msg_len)
{
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof m);
    m.can_ID = can_ID;
    m.msg_len = msg_len;
    return m;
}

// The acknowledgement and its negative share one layout: the command's id,
// then the marker.
COMMS_MSG_t verdict(uint32_t answer_id, uint32_t command_id)
{
    COMMS_MSG_t m = blank(answer_id, 6);
    put_le32(m.data, command_id);
    m.data[4] = MARKER_0;
    m.data[5] = MARKER_1;
    return m;
}

COMMS_MSG_t ack(uint32_t command_id) { return verdict(CANMSG_ACK, command_id); }
COMMS_MSG_t nack(uint32_t command_id) { return verdict(CANMSG_NACK, command_id); }

COMMS_MSG_t flash_verdict(uint32_t answer_id, uint8_t op, uint32_t address)
{
    COMMS_MSG_t m = blank(answer_id, 5);
    m.data[0] = op;
    put_le32(m.data + 1, address);
    return m;
}

COMMS_MSG_t value_answer(uint32_t answer_id, uint32_t value)
{
    COMMS_MSG_t m = blank(answer_id, 4);
    put_le32(m.data, value);
    return m;
}

// A frame of the unit's own accelerometer traffic: x, y, z in milli-g and a
// running count, all 16-bit little-endian.
COMMS_MSG_t sensor_frame(uint16_t count)
{
    COMMS_MSG_t m = blank(CANMSG_ACC, 8);
    const int16_t xyz[3] = {12, -7, 1003};
    for (int i = 0; i < 3; ++i) {
        m.data[2 * i] = uint8_t(uint16_t(xyz[i]));
        m.data[2 * i + 1] = uint8_t(uint16_t(xyz[i]) >> 8);
    }
    m.data[6] = uint8_t(count);
    m.data[7] = uint8_t(count >> 8);
    return m;
}

// The shared routines tell "no such field" only through the setter, which
// also computes the record's checksum. Whether an index selects a field
// does not depend on the record, so each index is tried once, on a scratch
// record, and not on every request.
bool settings_index_exists(uint8_t index)
{
    static const std::array<bool, 256> exists = [] {
        std::array<bool, 256> e{};
        Settings_t scratch;
        std::memset(&scratch, 0, sizeof scratch);
        for (size_t i = 0; i < e.size(); ++i) {
            uint32_t v = 0;
            e[i] = settings_set_value(&scratch, settings_struct_index(i), &v);
        }
        return e;
    }();
    return exists[index];
}

bool calib_index_exists(const SENSOR_CALIB_t& rec, uint8_t index)
{
    SENSOR_CALIB_t scratch = rec;
    const sensor_calib_struct_index i = sensor_calib_struct_index(index);
    uint32_t v = calib_get_value(&scratch, i);
    return calib_set_value(&scratch, i, &v);
}

SENSOR_CALIB_t factory_calib()
{
    SENSOR_CALIB_t c;
    std::memset(&c, 0, sizeof c);
    c.magic = CALIB_MAGIC;
    c.version = 1;
    c.LSM_CAL.acc_scale = {1.0f, 1.0f, 1.0f};
    for (int i = 0; i < 3; ++i) {
        c.MMC_INITIAL_CAL.A_matrix.matrix[i][i] = 1.0f;
        c.LIS_CAL.A_matrix.matrix[i][i] = 1.0f;
    }
    c.pitot_coeff.LIN_B = 1.0f;
    c.static_coeff.LIN_B = 1.0f;
    c.oat_cal_100deg = 1000;
    return c;
}

// Handlers give each answer the unit's own processing time (0 for the
// commands so far; a flash erase, for one, would take longer). Faults and
// the extra delay are applied afterwards, in VirtualUnit::handle.
using Answers = std::vector<Answer>;

void reply(Answers& out, const COMMS_MSG_t& m, uint32_t processing_us = 0)
{
    out.push_back({m, processing_us});
}

void on_whoami(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (req.msg_len < 2 || req.data[0] != MARKER_0 || req.data[1] != MARKER_1)
        return;
    COMMS_MSG_t m = blank(CANMSG_WHOAMI, 8);
    m.data[0] = MARKER_0;
    m.data[1] = MARKER_1;
    m.data[4] = uint8_t(u.serial >> 24);
    m.data[5] = uint8_t(u.serial >> 16);
    m.data[6] = uint8_t(u.serial >> 8);
    m.data[7] = uint8_t(u.serial);
    reply(out, m);
}

// Value requests for an index that selects nothing are refused with a NACK
// rather than answered with a made-up value: the tool then fails at once
// instead of after its time-out, and never mistakes garbage for a value.
// Malformed (too short) requests, sets and stores are refused the same way.
void on_settings_request(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (req.msg_len < 1) {
        reply(out, nack(req.can_ID));
        return;
    }
    const uint8_t index = req.data[0];
    if (u.faults.silent_index.count(index))
        return;
    if (!settings_index_exists(index)) {
        reply(out, nack(req.can_ID));
        return;
    }
    const uint32_t v = settings_get_value(&u.working, settings_struct_index(index));
    reply(out, value_answer(CANMSG_SEND_USER_SETTING, v));
}

void on_settings_set(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (req.msg_len < 5) {
        reply(out, nack(req.can_ID));
        return;
    }
    uint32_t v = get_le32(req.data + 1);
    if (settings_set_value(&u.working, settings_struct_index(req.data[0]), &v))
        reply(out, ack(req.can_ID));
    else
        reply(out, nack(req.can_ID));
}

// The unit stores only a record whose checksum, computed the way the tool
// computes it for storing, matches the one sent: a mismatch means the tool
// and the unit disagree about the record, and storing it would keep values
// the user never saw.
void on_settings_store(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (req.msg_len < 4) {
        reply(out, nack(req.can_ID));
        return;
    }
    if (u.faults.store_flash_nack) {
        reply(out, flash_verdict(CANMSG_MX25_NACK, OP_SECTOR_ERASE, SETTINGS_STORAGE_ADDR));
        return;
    }
    Settings_t rec = u.working;
    rec.magic = SETTINGS_MAGIC;
    rec.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&rec);
    if (crc != get_le32(req.data) && !u.faults.lenient_store) {
        reply(out, flash_verdict(CANMSG_MX25_NACK, OP_SECTOR_ERASE, SETTINGS_STORAGE_ADDR));
        return;
    }
    rec.crc32 = crc;
    u.stored = rec;
    u.working = rec;
    ++u.stores;
    const COMMS_MSG_t erased = flash_verdict(CANMSG_MX25_ACK, OP_SECTOR_ERASE, SETTINGS_STORAGE_ADDR);
    if (u.faults.store_ack_first) {
        reply(out, ack(req.can_ID));
        reply(out, erased);
    } else {
        reply(out, erased);
        reply(out, ack(req.can_ID));
    }
}

void on_calib_request(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (req.msg_len < 1) {
        reply(out, nack(req.can_ID));
        return;
    }
    const uint8_t index = req.data[0];
    if (u.faults.silent_index.count(index))
        return;
    if (!calib_index_exists(u.calib_working, index)) {
        reply(out, nack(req.can_ID));
        return;
    }
    const uint32_t v = calib_get_value(&u.calib_working, sensor_calib_struct_index(index));
    reply(out, value_answer(CANMSG_SEND_SENSOR_CALIB, v));
}

void on_calib_set(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (req.msg_len < 5) {
        reply(out, nack(req.can_ID));
        return;
    }
    uint32_t v = get_le32(req.data + 1);
    if (calib_set_value(&u.calib_working, sensor_calib_struct_index(req.data[0]), &v))
        reply(out, ack(req.can_ID));
    else
        reply(out, nack(req.can_ID));
}

// Calibration groups carry their own checksums; the unit stores the record
// as it stands.
void on_calib_store(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (u.faults.store_flash_nack) {
        reply(out, flash_verdict(CANMSG_MX25_NACK, OP_SECTOR_ERASE, CALIB_STORAGE_ADDR));
        return;
    }
    u.calib_stored = u.calib_working;
    reply(out, flash_verdict(CANMSG_MX25_ACK, OP_SECTOR_ERASE, CALIB_STORAGE_ADDR));
    reply(out, ack(req.can_ID));
}

// Restarting into the boot loader drops every value not stored.
void on_enter_bootloader(VirtualUnit& u, const COMMS_MSG_t& req, Answers&)
{
    if (req.msg_len >= 1 && req.data[0] == 0x48)
        u.reboot();
}

// The erase is acknowledged at once and confirmed once done, with the
// operation and the erased area's start.
void on_flash_erase(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    if (req.msg_len < 3) {
        reply(out, nack(req.can_ID));
        return;
    }
    const uint8_t op = req.data[0];
    const uint16_t index = uint16_t(req.data[1] | (req.data[2] << 8));
    reply(out, ack(req.can_ID));
    uint32_t address = 0;
    uint32_t length = VirtualFlash::SIZE;
    if (op == OP_BLOCK_ERASE) {
        address = uint32_t(index) * VirtualFlash::BLOCK_SIZE;
        length = VirtualFlash::BLOCK_SIZE;
        if (u.faults.erase_silent_blocks.count(index))
            return;
        if (u.faults.erase_nack_blocks.count(index)) {
            reply(out, flash_verdict(CANMSG_MX25_NACK, op, address), u.erase_us);
            return;
        }
    } else if (op == OP_SECTOR_ERASE) {
        address = uint32_t(index) * VirtualFlash::SECTOR_SIZE;
        length = VirtualFlash::SECTOR_SIZE;
    } else if (op != OP_CHIP_ERASE) {
        reply(out, flash_verdict(CANMSG_MX25_NACK, op, 0));
        return;
    }
    if (!u.flash.erase(address, length, u.in_region(address, length))) {
        reply(out, flash_verdict(CANMSG_MX25_NACK, op, address));
        return;
    }
    reply(out, flash_verdict(CANMSG_MX25_ACK, op, address), u.erase_us);
}

void on_flash_set_address(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    const uint32_t address = req.msg_len >= 4 ? get_le32(req.data) : VirtualFlash::SIZE;
    if (address >= VirtualFlash::SIZE) {
        reply(out, flash_verdict(CANMSG_MX25_NACK, OP_SETADDR, address));
        return;
    }
    u.write_pointer = address;
    u.address_set = true;
    reply(out, flash_verdict(CANMSG_MX25_ACK, OP_SETADDR, address));
}

// Stores the packet where the last one ended, as many bytes as arrived: on
// CAN FD that is the length the bus carried, padding included.
void on_flash_write(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    const uint32_t number = u.write_packets++;
    const uint32_t address = u.write_pointer;
    const uint32_t length = std::min<uint32_t>(req.msg_len, sizeof req.data);
    if (!u.address_set || length == 0 || u.faults.packet_nack.count(number) ||
        !u.flash.program(address, req.data, length, u.in_region(address, length))) {
        reply(out, flash_verdict(CANMSG_MX25_NACK, OP_WRITE, address));
        return;
    }
    u.write_pointer += length;
    if (u.faults.packet_silent.count(number))
        return;
    reply(out, flash_verdict(CANMSG_MX25_ACK, OP_WRITE, address),
          u.faults.packet_late.count(number) ? u.faults.late_us : 0);
}

void on_get_partition(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    reply(out, ack(req.can_ID));
    reply(out, flash_verdict(CANMSG_MX25_ACK, OP_GETPART, uint32_t(u.partition)));
}

// Closing is acknowledged; opening is not (the tool does not wait for it).
void on_airport_db(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out)
{
    const uint8_t op = req.msg_len >= 1 ? req.data[0] : 0;
    if (op == 0xDC) {
        u.airport_db_open = false;
        reply(out, ack(req.can_ID));
    } else if (op == 0xDA) {
        u.airport_db_open = true;
    } else {
        reply(out, nack(req.can_ID));
    }
}

struct Handler {
    uint32_t can_ID;
    void (*run)(VirtualUnit& u, const COMMS_MSG_t& req, Answers& out);
};

// The unit's commands. Faults are applied by VirtualUnit::handle around
// every handler.
const Handler HANDLERS[] = {
    {CANMSG_WHOAMI, on_whoami},
    {CANMSG_REQUEST_USER_SETTING, on_settings_request},
    {CANMSG_SET_USER_SETTING, on_settings_set},
    {CANMSG_SAVE_USER_SETTINGS, on_settings_store},
    {CANMSG_REQUEST_SENSOR_CALIB, on_calib_request},
    {CANMSG_SET_SENSOR_CALIB, on_calib_set},
    {CANMSG_SAVE_SENSOR_CALIB, on_calib_store},
    {CANMSG_ENTER_BL, on_enter_bootloader},
    {CANMSG_ERASE_MX25, on_flash_erase},
    {CANMSG_SET_ADDR_MX25, on_flash_set_address},
    {CANMSG_WRITE_MX25, on_flash_write},
    {CANMSG_GET_PARTITION, on_get_partition},
    {CANMSG_AIRPORT_DB_OP, on_airport_db},
};

const Handler* find_handler(uint32_t can_ID)
{
    for (const Handler& h : HANDLERS) {
        if (h.can_ID == can_ID)
            return &h;
    }
    return nullptr;
}

}  // namespace

Settings_t factory_settings()
{
    Settings_t s;
    std::memset(&s, 0, sizeof s);
    s.magic = SETTINGS_MAGIC;
    s.version = 3;
    s.num_elements = 31;
    s.units.units_value = 0;
    s.units.bits.is_knots = 1;
    s.units.bits.is_feet = 1;
    s.units.bits.is_fahrenheit = 1;
    s.units.bits.is_inhg = 1;
    s.units.units_value |= 1u << 12;  // the unit's own flag, kept by the tool
    s.vspeeds = {40, 45, 50, 85, 120, 150, 65, 100};
    s.volt_warnings = {115, 155};
    s.volt_alerts = {110, 160};
    std::memcpy(s.registration, "N123AB", 6);
    s.sky_color[0] = 0xFF87CEEB;
    s.sky_color[1] = 0xFF1E90FF;
    s.ground_color[0] = 0xFF8B4513;
    s.ground_color[1] = 0xFFA0522D;
    s.vref_indi_color = 0xFFFF00FF;
    s.airplane_color = 0xFFFFFFFF;  // white: equal to the read-failure value
    s.green_arc_color = 0xFF00C000;
    s.yellow_arc_color = 0xFFFFD700;
    s.red_arc_color = 0xFFFF0000;
    s.gear_indi_color = 0xFFFFFFFF;
    s.backlight_brightness = 10;
    s.roll_correction = 0.0f;
    s.pitch_correction = -1.5f;
    s.text_bg_alpha = 150;
    s.use_mag_heading = 1;
    s.ownship_icao = 0xABCDEF;
    s.icao_address_type = 0;
    s.emitter_cat = 1;
    s.enable_term_resistor = 1;
    s.map_track = map_north_up;
    s.crc32 = 0;
    s.crc32 = settings_CalcCRC(&s);
    return s;
}

COMMS_MSG_t make_msg(uint32_t can_ID, std::initializer_list<uint8_t> data)
{
    const size_t n = std::min(data.size(), sizeof(COMMS_MSG_t::data));
    COMMS_MSG_t m = blank(can_ID, uint8_t(n));
    std::copy(data.begin(), data.begin() + n, m.data);
    return m;
}

VirtualUnit::VirtualUnit() { factory_reset(); }

// Records only: faults, counters and the log of received messages stay.
void VirtualUnit::factory_reset()
{
    working = stored = factory_settings();
    calib_working = calib_stored = factory_calib();
}

void VirtualUnit::erase_storage()
{
    std::memset(&stored, 0xFF, sizeof stored);
    working = stored;
}

void VirtualUnit::reboot()
{
    working = stored;
    ++reboots;
}

bool VirtualUnit::in_region(uint32_t address, uint32_t length) const
{
    const uint64_t end = uint64_t(address) + length;
    const uint64_t airport_end = uint64_t(AIRPORT_DB_FIRST_BLOCK + AIRPORT_DB_BLOCKS) * VirtualFlash::BLOCK_SIZE;
    if (!airport_db_open && end <= airport_end)
        return true;
    uint32_t bank = 0;
    if (partition == partition_1)
        bank = FW_BANK1_START_PAGE;
    else if (partition == partition_2)
        bank = FW_BANK2_START_PAGE;
    else
        return false;
    const uint64_t bank_start = uint64_t(bank) * VirtualFlash::BLOCK_SIZE;
    return address >= bank_start && end <= bank_start + uint64_t(FW_BANK_BLOCKS) * VirtualFlash::BLOCK_SIZE;
}

std::vector<Answer> VirtualUnit::handle(const COMMS_MSG_t& request)
{
    if (keep_received)
        received.push_back(request);
    std::vector<Answer> out;
    const uint32_t id = request.can_ID;
    if (unplugged || faults.silent || faults.ignore.count(id))
        return out;
    if (id == CANMSG_WRITE_MX25 && faults.unplug_after_packets >= 0 &&
        write_packets >= uint32_t(faults.unplug_after_packets)) {
        unplugged = true;
        return out;
    }

    // A command on the NACK list is refused before the unit acts on it, so
    // even commands without a handler (or without an answer) get a NACK.
    Answers answers;
    if (faults.nack.count(id)) {
        reply(answers, nack(id));
    } else if (const Handler* h = find_handler(id)) {
        h->run(*this, request, answers);
    }
    const auto scripted = faults.answer_with.find(id);
    if (!faults.script.empty()) {
        answers.clear();
        for (const COMMS_MSG_t& m : faults.script.front())
            reply(answers, m);
        faults.script.pop_front();
    } else if (scripted != faults.answer_with.end()) {
        answers.clear();
        for (const COMMS_MSG_t& m : scripted->second)
            reply(answers, m);
    }
    const bool late = faults.late.count(id) ||
                      (id == CANMSG_REQUEST_USER_SETTING && request.msg_len >= 1 &&
                       faults.late_index.count(request.data[0]));
    const int copies = faults.duplicate.count(id) ? 2 : 1;

    uint16_t sensor_count = 0;
    for (Answer& a : answers) {
        COMMS_MSG_t& m = a.msg;
        if (m.can_ID == CANMSG_ACK) {
            if (faults.bad_ack.count(id))
                std::swap(m.data[4], m.data[5]);
            if (faults.wrong_ack_id.count(id))
                put_le32(m.data, id + 1);
        }
        if (m.can_ID == CANMSG_MX25_ACK) {
            if (faults.wrong_flash_op.count(id))
                m.data[0] ^= 0x01;
            if (faults.wrong_flash_address.count(id))
                put_le32(m.data + 1, get_le32(m.data + 1) + VirtualFlash::BLOCK_SIZE);
            if (faults.short_flash_ack.count(id)) {
                std::memset(m.data + 1, 0, sizeof m.data - 1);
                m.msg_len = 1;
            }
        }
        m.iface = request.iface;
        a.delay_us += faults.extra_delay_us + (late ? faults.late_us : 0);
        for (int i = 0; i < faults.unrelated_before; ++i) {
            COMMS_MSG_t s = sensor_frame(sensor_count++);
            s.iface = request.iface;
            out.push_back({s, a.delay_us});
        }
        for (int i = 0; i < copies; ++i)
            out.push_back(a);
    }
    return out;
}

}  // namespace sim
