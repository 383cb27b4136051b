#ifndef TESTS_FLASH_SUPPORT_H
#define TESTS_FLASH_SUPPORT_H

// Files to upload, the virtual unit's flash afterwards, and a link to the
// unit over USB or CAN FD (the latter with the unit's and another node's
// broadcasts on the bus, as in an aircraft).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "EFIS_shared/firmware.h"
#include "firmware_ops/firmware_ops.h"
#include "link_support.h"

namespace flashtest {

using Bytes = std::vector<uint8_t>;
using sim::Link;

// Deterministic bytes that are neither 0x00 nor 0xFF runs, so that a byte
// out of place shows.
inline Bytes pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = uint8_t(x >> 16);
    }
    return b;
}

// A file in the test's temporary folder, removed with the object.
class TempFile {
public:
    explicit TempFile(const Bytes& content, uint64_t sparse_size = 0)
    {
        char name[] = "/tmp/efis-flash-XXXXXX";
        const int fd = mkstemp(name);
        path = name;
        if (fd < 0)
            return;
        if (!content.empty() && ::write(fd, content.data(), content.size()) != ssize_t(content.size()))
            path.clear();
        if (sparse_size > 0 && ftruncate(fd, off_t(sparse_size)) != 0)
            path.clear();
        close(fd);
    }
    ~TempFile()
    {
        if (!path.empty())
            unlink(path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string path;
};

// Header and payload of a firmware file; the payload runs to the end.
inline Bytes firmware_file(uint32_t total_size, uint32_t encrypted_size, size_t payload_bytes, uint32_t seed = 7)
{
    firmware_header_t h;
    std::memset(&h, 0, sizeof h);
    h.magic = 0x57464B53;
    h.version = 0x00020001;
    h.total_size = total_size;
    h.plaintext_size = encrypted_size;
    h.encrypted_size = encrypted_size;
    h.iv[0] = 0x11223344;
    h.offset = 0x40;
    Bytes file(sizeof h);
    std::memcpy(file.data(), &h, sizeof h);
    const Bytes payload = pattern(payload_bytes, seed);
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

inline void world_on(Link link) { linktest::world_with_unit_on(link); }

inline sim::VirtualUnit unit()
{
    sim::VirtualUnit copy;
    sim::with_unit([&](sim::VirtualUnit& u) { copy = u; });
    return copy;
}

inline size_t received(uint32_t can_id)
{
    size_t n = 0;
    sim::with_unit([&](sim::VirtualUnit& u) {
        for (const COMMS_MSG_t& m : u.received)
            n += m.can_ID == can_id;
    });
    return n;
}

// Progress as the uploads report it.
struct Progress {
    std::vector<uint32_t> erase;  // current of each phase-0 report
    std::vector<uint32_t> write;  // current of each phase-1 report
    uint32_t erase_total = 0;
    uint32_t write_total = 0;
    std::atomic<bool>* cancel_on_write = nullptr;

    static void callback(uint32_t current, uint32_t total, int phase, void* user)
    {
        Progress* p = static_cast<Progress*>(user);
        if (phase == FW_PHASE_ERASE) {
            p->erase.push_back(current);
            p->erase_total = total;
        } else {
            p->write.push_back(current);
            p->write_total = total;
            if (p->cancel_on_write)
                *p->cancel_on_write = true;
        }
    }
};

}  // namespace flashtest

#endif
