#ifndef EFIS_SHARED_MEM_LAYOUT_H
#define EFIS_SHARED_MEM_LAYOUT_H

// Layout of the unit's external serial flash and its firmware bank markers.

#include <cstdint>

// Marker the unit reports for the firmware bank to write; each is one byte
// repeated four times.
enum mx25_partition : uint32_t {
    partition_none = 0,
    partition_1 = 0xB1B1B1B1,
    partition_2 = 0xB2B2B2B2,
    partition_debug = 0xB3B3B3B3,
    partition_unknown = 0xFFFFFFFF,
};

static_assert(sizeof(mx25_partition) == 4, "mx25_partition is four bytes");

static const uint32_t MX25_SECTOR_SIZE = 4096;
static const uint32_t MX25_BLOCK_SIZE = 65536;

// Blocks ("pages") 0-831 hold the airport database, then two firmware banks
// of 64 blocks each. Nothing above block 959 is used.
static const uint32_t AIRPORT_DB_FIRST_BLOCK = 0;
static const uint32_t AIRPORT_DB_BLOCKS = 832;
static const uint32_t FW_BANK_BLOCKS = 64;
static const uint32_t FW_BANK1_START_PAGE = 832;
static const uint32_t FW_BANK2_START_PAGE = 896;

static_assert(AIRPORT_DB_FIRST_BLOCK + AIRPORT_DB_BLOCKS == FW_BANK1_START_PAGE,
              "bank 1 follows the airport database");
static_assert(FW_BANK1_START_PAGE + FW_BANK_BLOCKS == FW_BANK2_START_PAGE, "bank 2 follows bank 1");

#endif
