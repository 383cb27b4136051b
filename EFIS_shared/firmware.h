#ifndef EFIS_SHARED_FIRMWARE_H
#define EFIS_SHARED_FIRMWARE_H

// Flash operation codes and the firmware file header, shared with the unit.

#include <cstddef>
#include <cstdint>

// Operation codes of the flash commands and of the unit's flash
// acknowledgement. Four bytes in memory, one byte on the wire.
enum FlashOpType {
    OP_NONE = 0x00,
    OP_CHIP_ERASE = 0xCE,
    OP_SECTOR_ERASE = 0xAE,
    OP_BLOCK_ERASE = 0xBE,  // the only erase the uploads issue
    OP_WRITE = 0xAA,
    OP_READ = 0xDD,
    OP_SETADDR = 0xA1,
    OP_GETPART = 0xAC,
};

static_assert(sizeof(FlashOpType) == 4, "FlashOpType is four bytes in memory");

// The 64 bytes in front of an encrypted firmware image, all little-endian.
// The tool reads only the sizes and the offset; the rest is forwarded as is.
struct firmware_header_t {
    uint32_t magic;
    uint32_t version;
    uint32_t total_size;      // sizes the erase
    uint32_t plaintext_size;
    uint32_t encrypted_size;  // payload bytes after the header
    uint32_t crc32_plaintext;
    uint32_t crc32_encrypted;
    uint32_t iv[4];
    uint32_t offset;
    uint32_t padding[4];
};

static_assert(sizeof(firmware_header_t) == 64, "firmware_header_t is 64 bytes");
static_assert(offsetof(firmware_header_t, magic) == 0, "layout");
static_assert(offsetof(firmware_header_t, version) == 4, "layout");
static_assert(offsetof(firmware_header_t, total_size) == 8, "layout");
static_assert(offsetof(firmware_header_t, plaintext_size) == 12, "layout");
static_assert(offsetof(firmware_header_t, encrypted_size) == 16, "layout");
static_assert(offsetof(firmware_header_t, crc32_plaintext) == 20, "layout");
static_assert(offsetof(firmware_header_t, crc32_encrypted) == 24, "layout");
static_assert(offsetof(firmware_header_t, iv) == 28, "layout");
static_assert(offsetof(firmware_header_t, offset) == 44, "layout");
static_assert(offsetof(firmware_header_t, padding) == 48, "layout");

#endif
