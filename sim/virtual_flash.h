#ifndef SIM_VIRTUAL_FLASH_H
#define SIM_VIRTUAL_FLASH_H

// The unit's external NOR flash: 960 blocks of 65536 bytes. Erasing sets
// bytes to 0xFF; programming can only clear bits. Blocks never written cost
// nothing, so a full-size airport database costs only what was written.
// It keeps a record of what a careful writer never does: programming bytes
// that are not erased, and erasing or programming outside the region the
// owner allows at that moment.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct FlashViolation {
    enum Kind { WRITE_NOT_ERASED, WRITE_OUTSIDE_REGION, ERASE_OUTSIDE_REGION } kind;
    uint32_t address;  // first byte concerned
    uint32_t length;
};

class VirtualFlash {
public:
    static const uint32_t BLOCK_SIZE = 65536;
    static const uint32_t SECTOR_SIZE = 4096;
    static const uint32_t BLOCKS = 960;
    static const uint32_t SIZE = BLOCK_SIZE * BLOCKS;

    VirtualFlash();  // all erased

    // `in_region` tells whether the owner allows this area to change now;
    // either way the flash does what it is told.
    // False (and nothing changed) for an area not inside the chip.
    bool erase(uint32_t address, uint32_t length, bool in_region);
    // Clears the bits that are 0 in data; false (nothing changed) past the chip.
    bool program(uint32_t address, const uint8_t* data, size_t length, bool in_region);

    uint8_t byte(uint32_t address) const;
    std::vector<uint8_t> read(uint32_t address, size_t length) const;
    bool erased(uint32_t address, size_t length) const;
    size_t blocks_in_use() const;  // blocks holding anything but 0xFF

    std::vector<FlashViolation> violations;
    std::string describe_violations() const;

    // Erasing a whole block keeps its storage (all 0xFF) instead of giving
    // it back, for a process that writes the same few blocks over and over
    // (the fuzz targets): there a new block per write costs more than the
    // write. What the flash holds is the same either way.
    bool keep_storage = false;

private:
    // One entry per block; an empty one reads as erased.
    std::vector<std::vector<uint8_t>> blocks;
};

}  // namespace sim

#endif
