// Byte layouts and constants shared with the unit: these must match the
// unit's software bit for bit.

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "EFIS_shared/can_export.h"
#include "EFIS_shared/comms_types.h"
#include "EFIS_shared/firmware.h"
#include "EFIS_shared/mem_layout.h"
#include "EFIS_shared/settings_types.h"

namespace {

uint32_t le32(const unsigned char* b)
{
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

struct Offset {
    const char* name;
    size_t actual;
    size_t expected;
};

TEST(WireLayout, SettingsRecordFields)
{
    EXPECT_EQ(sizeof(Settings_t), 128u);
    const Offset fields[] = {
        {"crc32", offsetof(Settings_t, crc32), 0},
        {"magic", offsetof(Settings_t, magic), 4},
        {"version", offsetof(Settings_t, version), 8},
        {"num_elements", offsetof(Settings_t, num_elements), 12},
        {"units", offsetof(Settings_t, units), 16},
        {"vspeeds.Vmin", offsetof(Settings_t, vspeeds.Vmin), 20},
        {"vspeeds.Vlo", offsetof(Settings_t, vspeeds.Vlo), 27},
        {"volt_warnings.max_volts", offsetof(Settings_t, volt_warnings.max_volts), 30},
        {"registration", offsetof(Settings_t, registration), 32},
        {"sky_color", offsetof(Settings_t, sky_color), 44},
        {"gear_indi_color", offsetof(Settings_t, gear_indi_color), 80},
        {"roll_correction", offsetof(Settings_t, roll_correction), 88},
        {"volt_alerts.min_volts", offsetof(Settings_t, volt_alerts.min_volts), 96},
        {"ownship_icao", offsetof(Settings_t, ownship_icao), 108},
        {"map_track", offsetof(Settings_t, map_track), 124},
    };
    for (const Offset& f : fields)
        EXPECT_EQ(f.actual, f.expected) << f.name;
    EXPECT_EQ(offsetof(Settings_t, map_track) + sizeof(map_dir_t), 128u);
}

// Bit-field allocation is the compiler's choice; the unit expects flag n in
// bit n of the little-endian word at offset 16.
TEST(WireLayout, UnitFlagsSitInTheirBits)
{
    struct Flag {
        const char* name;
        void (*set)(unit_bits_t&);
        int bit;
    };
    const Flag flags[] = {
        {"is_mph", [](unit_bits_t& b) { b.is_mph = 1; }, 0},
        {"is_knots", [](unit_bits_t& b) { b.is_knots = 1; }, 1},
        {"is_kph", [](unit_bits_t& b) { b.is_kph = 1; }, 2},
        {"is_feet", [](unit_bits_t& b) { b.is_feet = 1; }, 3},
        {"is_meters", [](unit_bits_t& b) { b.is_meters = 1; }, 4},
        {"is_fahrenheit", [](unit_bits_t& b) { b.is_fahrenheit = 1; }, 5},
        {"is_celsius", [](unit_bits_t& b) { b.is_celsius = 1; }, 6},
        {"is_inhg", [](unit_bits_t& b) { b.is_inhg = 1; }, 7},
        {"is_mbar", [](unit_bits_t& b) { b.is_mbar = 1; }, 8},
    };
    for (const Flag& f : flags) {
        Settings_t s{};
        f.set(s.units.bits);
        unsigned char raw[sizeof s];
        std::memcpy(raw, &s, sizeof s);
        EXPECT_EQ(le32(raw + 16), 1u << f.bit) << f.name;
    }
}

TEST(WireLayout, MessageRecordHasUnalignedIdentifier)
{
    EXPECT_EQ(sizeof(COMMS_MSG_t), 72u);
    EXPECT_EQ(sizeof(COMM_INTERFACE_t), 1u);

    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.iface = CAN_FD;
    msg.can_ID = 0x12345679u;
    msg.msg_len = 64;
    msg.data[63] = 0xEE;
    unsigned char raw[72];
    std::memcpy(raw, &msg, sizeof raw);
    EXPECT_EQ(raw[0], 1);
    EXPECT_EQ(le32(raw + 1), 0x12345679u);
    EXPECT_EQ(raw[5], 64);
    EXPECT_EQ(raw[69], 0xEE);
    EXPECT_EQ(raw[70], 0);
    EXPECT_EQ(raw[71], 0);

    // And back: identifier bytes laid down by the unit read as can_ID.
    unsigned char in[72] = {0, 0x55, 0x02, 0x00, 0x00, 6};
    COMMS_MSG_t got;
    std::memcpy(&got, in, sizeof got);
    // Copied out first: gtest binds references, and the packed field is unaligned.
    const uint32_t id = got.can_ID;
    EXPECT_EQ(id, uint32_t(CANMSG_ACK));
    EXPECT_EQ(got.msg_len, 6);
}

struct CanId {
    const char* name;
    CAN_IDS_t id;
    uint32_t value;
};

// Declaration order of the unit's table.
const CanId kCanIds[] = {
    {"CANMSG_WHOAMI", CANMSG_WHOAMI, 0x123},
    {"CANMSG_EFIS_LOG", CANMSG_EFIS_LOG, 0x155},
    {"CANMSG_ADSB_AIRCRAFT_IN", CANMSG_ADSB_AIRCRAFT_IN, 0x1AC},
    {"CANMSG_ADSB_OWNSHIP_STATE", CANMSG_ADSB_OWNSHIP_STATE, 0x1AD},
    {"CANMSG_ADSB_OWNSHIP_IDENT", CANMSG_ADSB_OWNSHIP_IDENT, 0x1AE},
    {"CANMSG_ADSB_WAKEUP", CANMSG_ADSB_WAKEUP, 0x1AF},
    {"CANMSG_NACK", CANMSG_NACK, 0x254},
    {"CANMSG_ACK", CANMSG_ACK, 0x255},
    {"CANMSG_MX25_ACK", CANMSG_MX25_ACK, 0x256},
    {"CANMSG_MX25_NACK", CANMSG_MX25_NACK, 0x257},
    {"CANMSG_GET_PARTITION", CANMSG_GET_PARTITION, 0x287},
    {"CANMSG_ACC_UNCAL", CANMSG_ACC_UNCAL, 0x301},
    {"CANMSG_ACC", CANMSG_ACC, 0x302},
    {"CANMSG_GYRO_UNCAL", CANMSG_GYRO_UNCAL, 0x303},
    {"CANMSG_GYRO", CANMSG_GYRO, 0x304},
    {"CANMSG_MAG_MMC_UNCAL", CANMSG_MAG_MMC_UNCAL, 0x305},
    {"CANMSG_MAG_MMC", CANMSG_MAG_MMC, 0x306},
    {"CANMSG_MAG_LIS_UNCAL", CANMSG_MAG_LIS_UNCAL, 0x307},
    {"CANMSG_MAG_LIS", CANMSG_MAG_LIS, 0x308},
    {"CANMSG_ST_PRES", CANMSG_ST_PRES, 0x309},
    {"CANMSG_PT_PRES", CANMSG_PT_PRES, 0x30A},
    {"CANMSG_LPS_STATIC", CANMSG_LPS_STATIC, 0x30B},
    {"CANMSG_GPS_ALT", CANMSG_GPS_ALT, 0x30C},
    {"CANMSG_GPS_LATLON", CANMSG_GPS_LATLON, 0x30D},
    {"CANMSG_ADC_OAT", CANMSG_ADC_OAT, 0x30E},
    {"CANMSG_INS_HEADING", CANMSG_INS_HEADING, 0x30F},
    {"CANMSG_EN_MSG", CANMSG_EN_MSG, 0x320},
    {"CANMSG_REQUEST_SENSOR_CALIB", CANMSG_REQUEST_SENSOR_CALIB, 0x354},
    {"CANMSG_SEND_SENSOR_CALIB", CANMSG_SEND_SENSOR_CALIB, 0x355},
    {"CANMSG_SET_SENSOR_CALIB", CANMSG_SET_SENSOR_CALIB, 0x356},
    {"CANMSG_SAVE_SENSOR_CALIB", CANMSG_SAVE_SENSOR_CALIB, 0x357},
    {"CANMSG_REQUEST_USER_SETTING", CANMSG_REQUEST_USER_SETTING, 0x376},
    {"CANMSG_SEND_USER_SETTING", CANMSG_SEND_USER_SETTING, 0x377},
    {"CANMSG_SET_USER_SETTING", CANMSG_SET_USER_SETTING, 0x378},
    {"CANMSG_SAVE_USER_SETTINGS", CANMSG_SAVE_USER_SETTINGS, 0x379},
    {"CANMSG_ENTER_BL", CANMSG_ENTER_BL, 0x399},
    {"CANMSG_READ_MX25", CANMSG_READ_MX25, 0x414},
    {"CANMSG_WRITE_MX25", CANMSG_WRITE_MX25, 0x415},
    {"CANMSG_ERASE_MX25", CANMSG_ERASE_MX25, 0x416},
    {"CANMSG_SET_ADDR_MX25", CANMSG_SET_ADDR_MX25, 0x417},
    {"CANMSG_AIRPORT_DB_OP", CANMSG_AIRPORT_DB_OP, 0x42F},
    {"CANMSG_NONCE", CANMSG_NONCE, 0x44A},
    {"CANMSG_RS", CANMSG_RS, 0x44B},
    {"CANMSG_IDRIVE_SETBRIGHTNESS", CANMSG_IDRIVE_SETBRIGHTNESS, 0x202},
    {"CANMSG_IDRIVE_ENCODER", CANMSG_IDRIVE_ENCODER, 0x264},
    {"CANMSG_IDRIVE_BUTTON_STATUS", CANMSG_IDRIVE_BUTTON_STATUS, 0x267},
    {"CANMSG_IDRIVE_INIT_RESPONSE", CANMSG_IDRIVE_INIT_RESPONSE, 0x273},
    {"CANMSG_IDRIVE_KEEPALIVE", CANMSG_IDRIVE_KEEPALIVE, 0x563},
    {"CANMSG_IDRIVE_STATUS", CANMSG_IDRIVE_STATUS, 0x5E7},
};

TEST(WireConstants, CanIdentifiers)
{
    ASSERT_EQ(sizeof kCanIds / sizeof kCanIds[0], 49u);
    std::set<uint32_t> seen;
    uint32_t largest = 0;
    for (const CanId& c : kCanIds) {
        EXPECT_EQ(uint32_t(c.id), c.value) << c.name;
        EXPECT_LE(uint32_t(c.id), 0x7FFu) << c.name << " is not an 11-bit identifier";
        EXPECT_TRUE(seen.insert(uint32_t(c.id)).second) << c.name << " duplicates another identifier";
        largest = std::max(largest, uint32_t(c.id));
    }
    EXPECT_EQ(largest, 0x5E7u);
}

TEST(WireLayout, FirmwareHeaderFieldsReadLittleEndianAtTheirOffsets)
{
    EXPECT_EQ(sizeof(firmware_header_t), 64u);
    unsigned char raw[64];
    for (int i = 0; i < 64; ++i)
        raw[i] = uint8_t(i + 1);
    firmware_header_t h;
    std::memcpy(&h, raw, sizeof h);
    const struct {
        const char* name;
        uint32_t value;
        size_t offset;
    } fields[] = {
        {"magic", h.magic, 0},
        {"version", h.version, 4},
        {"total_size", h.total_size, 8},
        {"plaintext_size", h.plaintext_size, 12},
        {"encrypted_size", h.encrypted_size, 16},
        {"crc32_plaintext", h.crc32_plaintext, 20},
        {"crc32_encrypted", h.crc32_encrypted, 24},
        {"iv[0]", h.iv[0], 28},
        {"iv[3]", h.iv[3], 40},
        {"offset", h.offset, 44},
        {"padding[0]", h.padding[0], 48},
        {"padding[3]", h.padding[3], 60},
    };
    for (const auto& f : fields)
        EXPECT_EQ(f.value, le32(raw + f.offset)) << f.name;
}

TEST(WireConstants, FlashOperationCodes)
{
    const struct {
        FlashOpType op;
        uint32_t value;
    } ops[] = {
        {OP_NONE, 0x00}, {OP_CHIP_ERASE, 0xCE}, {OP_SECTOR_ERASE, 0xAE}, {OP_BLOCK_ERASE, 0xBE},
        {OP_WRITE, 0xAA}, {OP_READ, 0xDD},      {OP_SETADDR, 0xA1},      {OP_GETPART, 0xAC},
    };
    for (const auto& o : ops)
        EXPECT_EQ(uint32_t(o.op), o.value);
    EXPECT_EQ(sizeof(FlashOpType), 4u);
}

TEST(WireConstants, PartitionMarkers)
{
    const struct {
        mx25_partition p;
        uint32_t value;
    } markers[] = {
        {partition_none, 0},
        {partition_1, 0xB1B1B1B1u},
        {partition_2, 0xB2B2B2B2u},
        {partition_debug, 0xB3B3B3B3u},
        {partition_unknown, 0xFFFFFFFFu},
    };
    for (const auto& m : markers)
        EXPECT_EQ(uint32_t(m.p), m.value);
    EXPECT_EQ(sizeof(mx25_partition), 4u);
}

TEST(WireConstants, FlashLayout)
{
    EXPECT_EQ(FW_BANK1_START_PAGE * MX25_BLOCK_SIZE, 0x03400000u);
    EXPECT_EQ(FW_BANK2_START_PAGE * MX25_BLOCK_SIZE, 0x03800000u);
    EXPECT_EQ((FW_BANK2_START_PAGE + FW_BANK_BLOCKS) * MX25_BLOCK_SIZE - 1, 0x03BFFFFFu);
    EXPECT_EQ(AIRPORT_DB_BLOCKS * MX25_BLOCK_SIZE, 54525952u);
}

}  // namespace
