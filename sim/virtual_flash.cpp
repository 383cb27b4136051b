#include "virtual_flash.h"

#include <algorithm>
#include <cstdio>

namespace sim {

VirtualFlash::VirtualFlash() : blocks(BLOCKS) {}

namespace {

bool inside(uint32_t address, size_t length)
{
    return length <= VirtualFlash::SIZE && address <= VirtualFlash::SIZE - length;
}

}  // namespace

bool VirtualFlash::erase(uint32_t address, uint32_t length, bool in_region)
{
    if (!inside(address, length))
        return false;
    if (!in_region)
        violations.push_back({FlashViolation::ERASE_OUTSIDE_REGION, address, length});
    for (uint32_t a = address; a < address + length;) {
        std::vector<uint8_t>& b = blocks[a / BLOCK_SIZE];
        const uint32_t offset = a % BLOCK_SIZE;
        const uint32_t n = std::min(BLOCK_SIZE - offset, address + length - a);
        if (offset == 0 && n == BLOCK_SIZE && !keep_storage)
            std::vector<uint8_t>().swap(b);
        else if (!b.empty())
            std::fill(b.begin() + offset, b.begin() + offset + n, uint8_t(0xFF));
        a += n;
    }
    return true;
}

bool VirtualFlash::program(uint32_t address, const uint8_t* data, size_t length, bool in_region)
{
    if (!inside(address, length))
        return false;
    if (!in_region)
        violations.push_back({FlashViolation::WRITE_OUTSIDE_REGION, address, uint32_t(length)});
    bool overwrote = false;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t a = address + uint32_t(i);
        std::vector<uint8_t>& b = blocks[a / BLOCK_SIZE];
        if (b.empty())
            b.assign(BLOCK_SIZE, 0xFF);
        uint8_t& cell = b[a % BLOCK_SIZE];
        overwrote = overwrote || cell != 0xFF;
        cell &= data[i];
    }
    if (overwrote)
        violations.push_back({FlashViolation::WRITE_NOT_ERASED, address, uint32_t(length)});
    return true;
}

uint8_t VirtualFlash::byte(uint32_t address) const
{
    if (address >= SIZE)
        return 0xFF;
    const std::vector<uint8_t>& b = blocks[address / BLOCK_SIZE];
    return b.empty() ? 0xFF : b[address % BLOCK_SIZE];
}

std::vector<uint8_t> VirtualFlash::read(uint32_t address, size_t length) const
{
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = byte(address + uint32_t(i));
    return out;
}

bool VirtualFlash::erased(uint32_t address, size_t length) const
{
    for (size_t i = 0; i < length; ++i) {
        if (byte(address + uint32_t(i)) != 0xFF)
            return false;
    }
    return true;
}

size_t VirtualFlash::blocks_in_use() const
{
    size_t n = 0;
    for (const std::vector<uint8_t>& b : blocks) {
        if (!b.empty() && std::any_of(b.begin(), b.end(), [](uint8_t v) { return v != 0xFF; }))
            ++n;
    }
    return n;
}

std::string VirtualFlash::describe_violations() const
{
    static const char* const kinds[] = {"write onto non-erased bytes", "write outside the region",
                                        "erase outside the region"};
    std::string out;
    char line[96];
    for (const FlashViolation& v : violations) {
        std::snprintf(line, sizeof line, "%s at 0x%08X (%u bytes)\n", kinds[v.kind], v.address, v.length);
        out += line;
    }
    return out;
}

}  // namespace sim
