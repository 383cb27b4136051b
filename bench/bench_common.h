#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

// What the benchmarks share: quiet runs, and the least time the links allow.
//
// The bounds come from what the wire must carry, never from our latency
// models:
//  - USB full speed moves one transaction of at most 64 bytes per 1 ms frame
//    in each direction. A request's output report is msg_len + 6 bytes; the
//    unit's input reports are 71 bytes (report number, iface, identifier,
//    msg_len, 64 data bytes), two transactions each. An answer cannot travel
//    in a frame that carried its request to the unit, and answers follow
//    one another: an exchange costs at least (request frames + 2 per answer)
//    ms.
//  - CAN FD: each frame occupies the bus for at least its bits without any
//    stuff bit: 30 at the nominal rate (SOF, identifier, RRS, IDE, FDF, res,
//    BRS; CRC delimiter, ACK slot and delimiter, 7 bits end of frame, 3 bits
//    intermission) and, at the data rate, ESI, 4 bits DLC, the payload
//    rounded up to a length the DLC can express, the 4-bit stuff count and
//    the CRC (17 bits up to 16 bytes, 21 above). Requests and answers take
//    turns on the one bus.
// A command's own pauses overlap nothing on CAN FD: the next request is
// written only after them. On USB a pause shorter than a frame can hide in
// the wait for the next frame, so only whole-millisecond pauses count there.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "EFIS_shared/comms_types.h"
#include "EFIS_shared/firmware.h"
#include "comms/comms.h"
#include "sim/sim_world.h"

namespace bench {

using Clock = std::chrono::steady_clock;

const double CAN_NOMINAL_BPS = 1e6;
const double CAN_DATA_BPS = 5e6;

inline Clock::duration usb_exchange(unsigned request_len, unsigned answers)
{
    const unsigned frames = (request_len + 6 + 63) / 64 + 2 * answers;
    return std::chrono::milliseconds(frames);
}

inline Clock::duration can_frame(unsigned len)
{
    static const unsigned fd_lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    unsigned payload = 64;
    for (unsigned l : fd_lengths) {
        if (l >= len) {
            payload = l;
            break;
        }
    }
    const double data_bits = 1 + 4 + 8.0 * payload + 4 + (payload <= 16 ? 17 : 21);
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(30.0 / CAN_NOMINAL_BPS + data_bits / CAN_DATA_BPS));
}

// Sends standard output and standard error to /dev/null while it lives: the
// tool's log lines would otherwise bury the table.
class Quiet {
public:
    Quiet()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        out_ = dup(1);
        err_ = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
            close(null);
        }
    }
    ~Quiet()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        if (out_ >= 0) {
            dup2(out_, 1);
            close(out_);
        }
        if (err_ >= 0) {
            dup2(err_, 2);
            close(err_);
        }
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    int out_ = -1;
    int err_ = -1;
};

// A fresh test world with the virtual unit on `link` only, no capture of
// the wire (a long upload would fill memory with it) and no latency model.
inline void world_on(sim::Link link)
{
    sim::reset();
    sim::set_capture(false);
    if (link == sim::Link::USB)
        sim::set_can_interfaces({});
    else
        sim::set_hid_interfaces({});
}

inline bool connect(CommsManager& comms, sim::Link link)
{
    return link == sim::Link::USB ? comms.connectUSB(vendor_id, product_id) : comms.connectCANFD("can0");
}

// An upload file of `bytes` with deterministic content, streamed to disk in
// blocks: a firmware image (header first) or an airport database.
inline std::string make_upload_file(bool firmware, uint32_t bytes)
{
    const std::string path = std::string("/tmp/efis-bench-") + (firmware ? "fw.bin" : "airports.db");
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    uint32_t written = 0;
    if (firmware) {
        firmware_header_t h;
        std::memset(&h, 0, sizeof h);
        h.magic = 0x57464B53;
        h.total_size = bytes;
        h.encrypted_size = bytes - uint32_t(sizeof h);
        h.plaintext_size = h.encrypted_size;
        f.write(reinterpret_cast<const char*>(&h), sizeof h);
        written = sizeof h;
    }
    std::vector<char> block(65536);
    uint32_t x = 12345;
    while (written < bytes) {
        const uint32_t n = std::min<uint32_t>(uint32_t(block.size()), bytes - written);
        for (uint32_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            block[i] = char(x >> 16);
        }
        f.write(block.data(), n);
        written += n;
    }
    return path;
}

inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace bench

#endif
