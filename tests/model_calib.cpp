// Calibration values by index: which field each index selects, the getter's
// two conversions, and that no checksum word is touched.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "EFIS_shared/calib_types.h"
#include "EFIS_shared/get_set.h"

namespace {

enum Get { BITS, TRUNC };  // getter returns the bit pattern, or the float truncated

struct CalibField {
    uint32_t index;
    size_t offset;  // byte offset in the 260-byte record
    Get get;
};

// Written out by hand. Matrix runs go column by column, storage row-major:
// element [r][c] of the MMC matrix is at 72 + 4 * (3r + c).
const CalibField kFields[] = {
    {0, 4, BITS},
    {1, 8, TRUNC}, {2, 12, TRUNC}, {3, 16, TRUNC}, {4, 20, BITS},
    {5, 24, BITS}, {6, 28, BITS}, {7, 32, BITS}, {8, 36, BITS},
    {9, 40, BITS}, {10, 44, BITS}, {11, 48, BITS}, {12, 52, BITS},
    {13, 56, BITS}, {14, 60, BITS}, {15, 64, BITS}, {16, 68, BITS},
    {17, 72, BITS}, {18, 84, BITS}, {19, 96, BITS},
    {20, 76, BITS}, {21, 88, BITS}, {22, 100, BITS},
    {23, 80, BITS}, {24, 92, BITS}, {25, 104, BITS},
    {26, 108, BITS},
    {41, 112, BITS}, {42, 116, BITS}, {43, 120, BITS}, {44, 124, BITS},
    {45, 128, BITS}, {46, 140, BITS}, {47, 152, BITS},
    {48, 132, BITS}, {49, 144, BITS}, {50, 156, BITS},
    {51, 136, BITS}, {52, 148, BITS}, {53, 160, BITS},
    {54, 164, BITS},
    {55, 168, BITS}, {56, 172, BITS}, {57, 176, BITS},
    {58, 180, TRUNC}, {59, 184, TRUNC}, {60, 188, TRUNC}, {61, 192, TRUNC},
    {62, 196, TRUNC}, {63, 200, TRUNC}, {64, 204, TRUNC}, {65, 208, BITS},
    {66, 212, TRUNC}, {67, 216, TRUNC}, {68, 220, TRUNC}, {69, 224, TRUNC},
    {70, 228, TRUNC}, {71, 232, TRUNC}, {72, 236, TRUNC}, {73, 240, BITS},
    {74, 244, BITS}, {75, 248, BITS}, {76, 252, BITS},
    {254, 0, BITS}, {255, 256, BITS},
};

sensor_calib_struct_index idx(uint32_t i) { return static_cast<sensor_calib_struct_index>(i); }

unsigned char* bytes(SENSOR_CALIB_t& c) { return reinterpret_cast<unsigned char*>(&c); }

SENSOR_CALIB_t random_record(uint32_t seed)
{
    std::mt19937 rng(seed);
    SENSOR_CALIB_t c;
    for (size_t i = 0; i < sizeof c; ++i)
        bytes(c)[i] = uint8_t(rng());
    return c;
}

uint32_t word_at(const unsigned char* raw, size_t off)
{
    return uint32_t(raw[off]) | uint32_t(raw[off + 1]) << 8 | uint32_t(raw[off + 2]) << 16 |
           uint32_t(raw[off + 3]) << 24;
}

void put_float(SENSOR_CALIB_t& c, size_t off, float f) { std::memcpy(bytes(c) + off, &f, sizeof f); }

TEST(CalibSet, EachIndexWritesOnlyItsOwnWord)
{
    for (const CalibField& f : kFields) {
        SENSOR_CALIB_t c = random_record(f.index);
        SENSOR_CALIB_t before = c;
        uint32_t v = 0xC0FFEE01u;
        ASSERT_TRUE(calib_set_value(&c, idx(f.index), &v)) << "index " << f.index;
        EXPECT_EQ(v, 0xC0FFEE01u);
        EXPECT_EQ(word_at(bytes(c), f.offset), 0xC0FFEE01u) << "index " << f.index;
        // Every other byte, the group checksums and crc32 included, is kept.
        for (size_t off = 0; off < sizeof c; ++off) {
            if (off < f.offset || off >= f.offset + 4) {
                ASSERT_EQ(bytes(c)[off], bytes(before)[off]) << "index " << f.index << " touched byte " << off;
            }
        }
    }
}

TEST(CalibSet, MatrixIndicesWalkColumnByColumn)
{
    for (int k = 0; k < 9; ++k) {
        const int row = k % 3;
        const int col = k / 3;
        SENSOR_CALIB_t c{};
        uint32_t v = 0x3F800000u;  // 1.0f
        ASSERT_TRUE(calib_set_value(&c, idx(MMC_INITIAL_A_MATRIX_0_0_index + k), &v));
        ASSERT_TRUE(calib_set_value(&c, idx(LIS_MAG_BIAS_0_0_index + k), &v));
        for (int r = 0; r < 3; ++r) {
            for (int cc = 0; cc < 3; ++cc) {
                const float want = (r == row && cc == col) ? 1.0f : 0.0f;
                EXPECT_EQ(c.MMC_INITIAL_CAL.A_matrix.matrix[r][cc], want) << "k " << k << " [" << r << "][" << cc << "]";
                EXPECT_EQ(c.LIS_CAL.A_matrix.matrix[r][cc], want) << "k " << k << " [" << r << "][" << cc << "]";
            }
        }
    }
}

TEST(CalibSet, IndicesWithoutFieldChangeNothing)
{
    std::vector<uint32_t> refused;
    for (uint32_t i = 27; i <= 40; ++i)
        refused.push_back(i);
    for (uint32_t i = 77; i <= 253; ++i)
        refused.push_back(i);
    for (uint32_t i : {256u, 1000u, 0xFFFFFFFFu})
        refused.push_back(i);

    const SENSOR_CALIB_t before = random_record(99);
    for (uint32_t i : refused) {
        SENSOR_CALIB_t c = before;
        uint32_t v = 0x01010101u;
        EXPECT_FALSE(calib_set_value(&c, idx(i), &v)) << "index " << i;
        EXPECT_EQ(std::memcmp(&c, &before, sizeof c), 0) << "index " << i;
        EXPECT_EQ(calib_get_value(&c, idx(i)), 0u) << "index " << i;
    }
}

TEST(CalibGet, BitPatternIndicesRoundTrip)
{
    for (const CalibField& f : kFields) {
        if (f.get != BITS)
            continue;
        SENSOR_CALIB_t c = random_record(f.index + 500);
        EXPECT_EQ(calib_get_value(&c, idx(f.index)), word_at(bytes(c), f.offset)) << "index " << f.index;
        uint32_t v = 0xBF800000u;  // -1.0f stays a bit pattern here
        ASSERT_TRUE(calib_set_value(&c, idx(f.index), &v));
        EXPECT_EQ(calib_get_value(&c, idx(f.index)), 0xBF800000u) << "index " << f.index;
    }
}

struct Truncation {
    float value;
    uint32_t expected;
};

TEST(CalibGet, TruncatingIndicesConvertTowardZero)
{
    const float inf = std::numeric_limits<float>::infinity();
    const Truncation cases[] = {
        {0.0f, 0u},
        {-0.0f, 0u},
        {1.9f, 1u},
        {-0.9f, 0u},
        {-1.5f, 0xFFFFFFFFu},
        {-123456.75f, uint32_t(-123456)},
        {123456.75f, 123456u},
        {3.0e9f, 3000000000u},
        // Saturated ends: values no 32-bit pattern can hold.
        {-2147483648.0f, 0x80000000u},
        {-3.0e9f, 0x80000000u},
        {4294967296.0f, 0xFFFFFFFFu},
        {1.0e30f, 0xFFFFFFFFu},
        {-1.0e30f, 0x80000000u},
        {inf, 0xFFFFFFFFu},
        {-inf, 0x80000000u},
        {std::nanf(""), 0u},
        {-std::nanf(""), 0u},
    };
    for (const CalibField& f : kFields) {
        if (f.get != TRUNC)
            continue;
        for (const Truncation& t : cases) {
            SENSOR_CALIB_t c = random_record(f.index);
            put_float(c, f.offset, t.value);
            EXPECT_EQ(calib_get_value(&c, idx(f.index)), t.expected) << "index " << f.index << " value " << t.value;
        }
    }
}

// The two AUAV offsets sit next to the truncated coefficients but cross as
// bit patterns.
TEST(CalibGet, AuavOffsetsAreBitPatterns)
{
    SENSOR_CALIB_t c{};
    c.AUAV_CAL.pitot_offset = -1.5f;
    c.AUAV_CAL.static_offset = 2.25f;
    EXPECT_EQ(calib_get_value(&c, AUAV_PITOT_OFFSET_INDEX), 0xBFC00000u);
    EXPECT_EQ(calib_get_value(&c, AUAV_STATIC_OFFSET_INDEX), 0x40100000u);
}

TEST(CalibSet, MagicLeavesRecordChecksumAlone)
{
    SENSOR_CALIB_t c = random_record(7);
    const uint32_t crc = c.crc32;
    uint32_t v = 0xCA11B000u;
    ASSERT_TRUE(calib_set_value(&c, CALIB_MAGIC_NUM, &v));
    EXPECT_EQ(c.magic, 0xCA11B000u);
    EXPECT_EQ(c.crc32, crc);
}

}  // namespace
