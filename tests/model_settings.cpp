// Settings values by index: field selection, conversions and the checksum
// refresh that follows every write.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "EFIS_shared/get_set.h"
#include "EFIS_shared/settings_types.h"

namespace {

enum Kind { LE, PACKED_BE };  // little-endian field, or registration bytes packed first-byte-high

struct Field {
    uint32_t index;
    size_t offset;
    size_t width;
    Kind kind;
};

// Where each index lands in the 128 raw bytes, written out by hand.
const Field kFields[] = {
    {0, 16, 4, LE},    {1, 20, 1, LE},    {2, 21, 1, LE},    {3, 22, 1, LE},    {4, 23, 1, LE},
    {5, 24, 1, LE},    {6, 25, 1, LE},    {7, 26, 1, LE},    {8, 27, 1, LE},    {9, 28, 2, LE},
    {10, 30, 2, LE},   {11, 32, 4, PACKED_BE}, {12, 36, 4, PACKED_BE}, {13, 40, 4, PACKED_BE},
    {14, 44, 4, LE},   {15, 48, 4, LE},   {16, 52, 4, LE},   {17, 56, 4, LE},   {18, 60, 4, LE},
    {19, 64, 4, LE},   {20, 68, 4, LE},   {21, 72, 4, LE},   {22, 76, 4, LE},   {23, 80, 4, LE},
    {24, 84, 4, LE},   {25, 88, 4, LE},   {26, 92, 4, LE},   {27, 96, 2, LE},   {28, 98, 2, LE},
    {29, 100, 4, LE},  {30, 104, 4, LE},  {31, 108, 4, LE},  {32, 112, 4, LE},  {33, 116, 4, LE},
    {34, 120, 4, LE},  {35, 124, 4, LE},  {252, 0, 4, LE},   {253, 4, 4, LE},   {254, 8, 4, LE},
    {255, 12, 4, LE},
};

unsigned char* bytes(Settings_t& s) { return reinterpret_cast<unsigned char*>(&s); }

// The value the field's raw bytes stand for on the link.
uint32_t read_field(const unsigned char* raw, const Field& f)
{
    uint32_t v = 0;
    for (size_t i = 0; i < f.width; ++i) {
        if (f.kind == LE)
            v |= uint32_t(raw[f.offset + i]) << (8 * i);
        else
            v |= uint32_t(raw[f.offset + i]) << (8 * (3 - i));
    }
    return v;
}

uint32_t width_mask(size_t width) { return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

Settings_t random_record(uint32_t seed)
{
    std::mt19937 rng(seed);
    Settings_t s;
    for (size_t i = 0; i < sizeof s; ++i)
        bytes(s)[i] = uint8_t(rng());
    s.crc32 = 0x0BADF00Du;
    s.num_elements = 31;
    return s;
}

settings_struct_index idx(uint32_t i) { return static_cast<settings_struct_index>(i); }

TEST(SettingsGet, EveryIndexReadsItsFieldWithItsConversion)
{
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        Settings_t s = random_record(seed);
        const Settings_t before = s;
        for (const Field& f : kFields)
            EXPECT_EQ(settings_get_value(&s, idx(f.index)), read_field(bytes(s), f)) << "index " << f.index;
        EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0) << "getter changed the record";
    }
}

TEST(SettingsSet, EveryIndexWritesOnlyItsFieldAndRefreshesChecksum)
{
    for (const Field& f : kFields) {
        for (uint32_t value : {0xA1B2C3D4u, 0x00000155u, 0x0001FFFFu, 0x7FC00001u, 0u}) {
            Settings_t s = random_record(f.index + 100);
            Settings_t before = s;
            uint32_t v = value;
            ASSERT_TRUE(settings_set_value(&s, idx(f.index), &v)) << "index " << f.index;
            EXPECT_EQ(v, value) << "caller's value changed";
            // Compared on a copy marked non-erased: with num_elements 0 the
            // checksum itself is 0xFFFFFFFF, the erased marker.
            Settings_t probe = s;
            probe.crc32 = 0;
            EXPECT_EQ(s.crc32, settings_CalcCRC(&probe)) << "index " << f.index;
            if (f.index != SETTINGS_CHECKSUM_INDEX) {  // its own value is replaced at once
                EXPECT_EQ(read_field(bytes(s), f), value & width_mask(f.width)) << "index " << f.index;
                EXPECT_EQ(settings_get_value(&s, idx(f.index)), value & width_mask(f.width)) << "index " << f.index;
            }
            for (size_t off = 4; off < sizeof s; ++off) {
                if (off < f.offset || off >= f.offset + f.width) {
                    EXPECT_EQ(bytes(s)[off], bytes(before)[off]) << "index " << f.index << " touched byte " << off;
                }
            }
        }
    }
}

TEST(SettingsSet, RefusedIndicesChangeNothing)
{
    for (uint32_t i : {36u, 37u, 100u, 251u, 256u, 1000u, 0xFFFFFFFFu}) {
        Settings_t s = random_record(i);
        const Settings_t before = s;
        uint32_t v = 0x12345678u;
        EXPECT_FALSE(settings_set_value(&s, idx(i), &v)) << "index " << i;
        EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0) << "index " << i;
        EXPECT_EQ(settings_get_value(&s, idx(i)), 0xFFFFFFFFu) << "index " << i;
    }
}

TEST(SettingsSet, ErasedRecordGetsZeroThenRealChecksum)
{
    Settings_t s = random_record(42);
    s.crc32 = 0xFFFFFFFFu;
    uint32_t v = 180;
    ASSERT_TRUE(settings_set_value(&s, VNE_INDEX, &v));
    EXPECT_EQ(s.crc32, 0u);
    EXPECT_EQ(s.vspeeds.Vne, 180);
    v = 60;
    ASSERT_TRUE(settings_set_value(&s, VS0_INDEX, &v));
    EXPECT_NE(s.crc32, 0u);
    EXPECT_EQ(s.crc32, settings_CalcCRC(&s));
}

TEST(SettingsSet, ChecksumIndexIsOverwrittenByComputedChecksum)
{
    Settings_t s = random_record(43);
    uint32_t v = 0x12345678u;
    ASSERT_TRUE(settings_set_value(&s, SETTINGS_CHECKSUM_INDEX, &v));
    EXPECT_NE(s.crc32, 0x12345678u);
    EXPECT_EQ(s.crc32, settings_CalcCRC(&s));

    // Writing the erased marker itself gives 0, like an erased record.
    v = 0xFFFFFFFFu;
    ASSERT_TRUE(settings_set_value(&s, SETTINGS_CHECKSUM_INDEX, &v));
    EXPECT_EQ(s.crc32, 0u);
}

TEST(SettingsSet, NumElementsChangesCoverage)
{
    Settings_t s = random_record(44);
    uint32_t v = 2;
    ASSERT_TRUE(settings_set_value(&s, SETTINGS_NUM_ELEMENTS, &v));
    const uint32_t crc = s.crc32;
    s.map_track = map_track_up;  // beyond the two covered words
    v = 0x00FF00FFu;
    ASSERT_TRUE(settings_set_value(&s, SKY_COLOR_0_INDEX, &v));
    EXPECT_EQ(s.crc32, crc);
}

TEST(SettingsRegistration, PacksFirstCharacterHighBothWays)
{
    Settings_t s{};
    uint32_t v = 0x4E313233u;
    ASSERT_TRUE(settings_set_value(&s, REGISTRATION_1_INDEX, &v));
    EXPECT_EQ(std::memcmp(s.registration, "N123", 4), 0);

    std::memset(s.registration, 0, sizeof s.registration);
    std::memcpy(s.registration, "N123", 4);
    EXPECT_EQ(settings_get_value(&s, REGISTRATION_1_INDEX), 0x4E313233u);
}

TEST(SettingsRegistration, HighBytesStayInTheirOwnByte)
{
    Settings_t s{};
    s.registration[9] = char(0xC4);
    EXPECT_EQ(settings_get_value(&s, REGISTRATION_3_INDEX), 0x00C40000u);

    for (int k = 0; k < 4; ++k) {
        Settings_t t{};
        uint32_t v = 0x80u << (8 * (3 - k));
        ASSERT_TRUE(settings_set_value(&t, REGISTRATION_2_INDEX, &v));
        for (int b = 0; b < 12; ++b)
            EXPECT_EQ(uint8_t(t.registration[b]), b == 4 + k ? 0x80 : 0x00) << "byte " << b;
    }
}

TEST(SettingsRegistration, ElevenCharactersLeaveLastByteZero)
{
    Settings_t s{};
    std::memcpy(s.registration, "D-EABC12345", 11);
    EXPECT_EQ(settings_get_value(&s, REGISTRATION_1_INDEX), 0x442D4541u);  // D-EA
    EXPECT_EQ(settings_get_value(&s, REGISTRATION_2_INDEX), 0x42433132u);  // BC12
    EXPECT_EQ(settings_get_value(&s, REGISTRATION_3_INDEX), 0x33343500u);  // 345 and the zero
}

TEST(SettingsSet, RollCorrectionTakesFloatBitPattern)
{
    Settings_t s{};
    uint32_t v = 0x3F800000u;
    ASSERT_TRUE(settings_set_value(&s, ROLL_CORRECTION_INDEX, &v));
    EXPECT_EQ(s.roll_correction, 1.0f);
    s.pitch_correction = -90.0f;
    EXPECT_EQ(settings_get_value(&s, PITCH_CORRECTION_INDEX), 0xC2B40000u);
}

// The form changes the unit flags in the record and passes the whole word on;
// bits the tool has no field for must come back as the unit sent them.
TEST(SettingsSet, UnitWordKeepsUnknownBits)
{
    Settings_t s{};
    s.units.units_value = 0xABCDE000u | (1u << 1);  // knots, plus bits of the unit's own
    s.units.bits.is_knots = 0;
    s.units.bits.is_mph = 1;
    s.units.bits.is_mbar = 1;
    uint32_t v = s.units.units_value;
    ASSERT_TRUE(settings_set_value(&s, UNITS_VALUE_INDEX, &v));
    EXPECT_EQ(settings_get_value(&s, UNITS_VALUE_INDEX), 0xABCDE101u);
}

}  // namespace
