// Word-wise CRC and the settings record checksum built on it.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "EFIS_shared/crc.h"
#include "EFIS_shared/settings_types.h"

namespace {

// Byte-wise CRC-32/MPEG-2, written independently of EFIS_crc: each word is fed
// most significant byte first.
uint32_t reference_crc(const std::vector<uint32_t>& words)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t w : words) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            crc ^= uint32_t((w >> shift) & 0xFFu) << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

uint32_t crc_of(std::vector<uint32_t> words)
{
    return EFIS_crc(words.data(), uint32_t(words.size()));
}

// The record's words from magic on, read little-endian from memory.
std::vector<uint32_t> words_after_crc(const Settings_t& s, uint32_t count)
{
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&s);
    std::vector<uint32_t> words(count);
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* b = raw + 4 + 4 * i;
        words[i] = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    return words;
}

Settings_t random_record(std::mt19937& rng, uint32_t num_elements)
{
    Settings_t s;
    unsigned char* raw = reinterpret_cast<unsigned char*>(&s);
    for (size_t i = 0; i < sizeof s; ++i)
        raw[i] = uint8_t(rng());
    s.crc32 = 0x01020304u;
    s.num_elements = num_elements;
    return s;
}

struct WorkedValue {
    std::vector<uint32_t> words;
    uint32_t crc;
};

TEST(EfisCrc, WorkedValues)
{
    const WorkedValue cases[] = {
        {{}, 0xFFFFFFFFu},
        {{0x00000000u}, 0xC704DD7Bu},
        {{0x64636261u}, 0xA62F1C36u},
        {{0x00000001u, 0x00000002u}, 0x298BE7BAu},
    };
    for (const WorkedValue& c : cases) {
        EXPECT_EQ(crc_of(c.words), c.crc) << "words: " << c.words.size();
        EXPECT_EQ(reference_crc(c.words), c.crc) << "reference disagrees, words: " << c.words.size();
    }
}

TEST(EfisCrc, MatchesByteWiseReferenceOnRandomData)
{
    std::mt19937 rng(20240611u);
    for (int n = 0; n < 400; ++n) {
        std::vector<uint32_t> words(rng() % 40);
        for (uint32_t& w : words)
            w = rng();
        const std::vector<uint32_t> before = words;
        ASSERT_EQ(EFIS_crc(words.data(), uint32_t(words.size())), reference_crc(words)) << "record " << n;
        ASSERT_EQ(words, before) << "EFIS_crc changed its input";
    }
}

TEST(SettingsChecksum, ErasedRecordGivesZero)
{
    std::mt19937 rng(7u);
    for (uint32_t n : {0u, 1u, 31u, 1000u}) {
        Settings_t s = random_record(rng, n);
        s.crc32 = 0xFFFFFFFFu;
        EXPECT_EQ(settings_CalcCRC(&s), 0u) << "num_elements " << n;
    }
}

TEST(SettingsChecksum, OwnFieldNeverEntersResult)
{
    std::mt19937 rng(11u);
    for (uint32_t n : {1u, 12u, 31u}) {
        Settings_t s = random_record(rng, n);
        const uint32_t expected = reference_crc(words_after_crc(s, n));
        for (uint32_t own : {0u, 1u, 0x12345678u, 0xFFFFFFFEu, expected}) {
            s.crc32 = own;
            EXPECT_EQ(settings_CalcCRC(&s), expected) << "crc32 " << own << " num_elements " << n;
        }
    }
}

TEST(SettingsChecksum, NoElementsGivesInitialValue)
{
    std::mt19937 rng(3u);
    Settings_t s = random_record(rng, 0);
    EXPECT_EQ(settings_CalcCRC(&s), 0xFFFFFFFFu);
}

// Every byte inside the covered words changes the checksum, every byte beyond
// them does not. num_elements itself (bytes 12-15) is left alone: changing it
// changes the coverage.
TEST(SettingsChecksum, CoversExactlyNumElementsWords)
{
    std::mt19937 rng(5u);
    for (uint32_t n : {1u, 2u, 3u, 4u, 9u, 30u, 31u}) {
        const Settings_t base = random_record(rng, n);
        const uint32_t base_crc = settings_CalcCRC(&base);
        for (size_t off = 4; off < sizeof(Settings_t); ++off) {
            if (off >= 12 && off < 16)
                continue;
            Settings_t s = base;
            reinterpret_cast<unsigned char*>(&s)[off] ^= 0x5A;
            const bool covered = off < 4 + 4 * size_t(n);
            EXPECT_EQ(settings_CalcCRC(&s) != base_crc, covered) << "num_elements " << n << " byte " << off;
        }
    }
}

// A count from the unit above 31 would run past the record; it is capped. The
// record is on the heap with nothing after it, so an over-read shows under ASan.
TEST(SettingsChecksum, CountAboveRecordIsCappedAt31Words)
{
    std::mt19937 rng(13u);
    for (uint32_t n : {32u, 33u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
        auto s = std::make_unique<Settings_t>(random_record(rng, n));
        EXPECT_EQ(settings_CalcCRC(s.get()), reference_crc(words_after_crc(*s, 31))) << "num_elements " << n;
    }
}

}  // namespace
