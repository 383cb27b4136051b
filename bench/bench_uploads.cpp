// Both uploads against the virtual unit, over USB and CAN FD, with the
// links' latency models and with none: a 4 MiB firmware image and a full
// 54 525 952-byte airport database. Per case: duration against the least
// time the link allows (bench_common.h), the uploading thread's CPU time and
// calls per packet, its heap allocations outside the doubles, and memory.
// Then the 100 us pause between packets itself, as the uploads make it on
// each link: median and 99th percentile of many single pauses.
//
//   bench_uploads                 the pauses, and the firmware image over both links without
//                                 latency and over CAN FD with it (about a minute)
//   bench_uploads --all           every case but the full airport database over modelled USB
//                                 (about half an hour)
//   bench_uploads --usb-airport   with --all, that one too (it takes about an hour, as on a real unit)
//   bench_uploads --syscalls      one 1 MiB firmware upload per link, no latency, for
//                                 bench/upload_syscalls.sh to count under strace
//   bench_uploads --only NAME     only the cases whose name (as "firmware-can-model",
//                                 "airports-usb-none") contains NAME

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "EFIS_shared/firmware.h"
#include "bench_common.h"
#include "firmware_ops/firmware_ops.h"
#include "sim/sim_world.h"
#include "sim/virtual_unit.h"

namespace {

thread_local bool t_counting = false;
thread_local uint64_t t_allocations = 0;

void count_allocation()
{
    if (t_counting && !sim::inside_double())
        ++t_allocations;
}

}  // namespace

// Every allocation through operator new on the uploading thread is counted,
// except those the doubles make on its behalf.
void* operator new(std::size_t n)
{
    count_allocation();
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    count_allocation();
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using bench::Clock;
using sim::Link;

const uint32_t FIRMWARE_BYTES = 4 * 1024 * 1024;
const uint32_t AIRPORT_BYTES = 832u * 65536u;
const auto PACKET_PAUSE = std::chrono::microseconds(100);
const auto CLOSE_PAUSE = std::chrono::milliseconds(10);

enum Kind { FIRMWARE, AIRPORT };

struct Case {
    Kind kind;
    Link link;
    bool modelled;
};

// The least time the link allows for the whole run: every exchange it must
// make, in turn, plus the pauses the procedure mandates.
Clock::duration lower_bound(Kind kind, Link link, uint32_t bytes)
{
    const uint32_t blocks = (bytes + 65535) / 65536;
    const uint32_t packets = (bytes + 63) / 64;  // the firmware header is one of them
    Clock::duration t{};
    auto exchange = [&](unsigned request_len, std::vector<unsigned> answers) {
        if (link == Link::USB) {
            t += bench::usb_exchange(request_len, unsigned(answers.size()));
        } else {
            t += bench::can_frame(request_len);
            for (unsigned a : answers)
                t += bench::can_frame(a);
        }
    };
    if (kind == FIRMWARE) {
        exchange(0, {6, 5});  // partition query: acknowledgement, flash acknowledgement
    } else {
        exchange(1, {6});  // close the database
        t += CLOSE_PAUSE;
    }
    for (uint32_t b = 0; b < blocks; ++b)
        exchange(3, {6, 5});  // erase: acknowledgement, flash acknowledgement
    exchange(4, {5});         // address
    for (uint32_t p = 0; p < packets; ++p)
        exchange(64, {5});
    if (link == Link::CAN)
        t += PACKET_PAUSE * (packets - 1);
    if (kind == AIRPORT)
        exchange(1, {});  // open the database, not acknowledged
    return t;
}

struct Result {
    bool ok = false;
    Clock::duration took{};
    Clock::duration bound{};
    uint32_t packets = 0;
    double cpu_us_per_packet = 0;
    double allocations_per_packet = 0;
    double hid_calls_per_packet = 0;
    long peak_rss_kib = 0;
    size_t flash_kib = 0;
    bool flash_matches = false;
};

double thread_cpu_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long peak_rss_kib()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

void reset_peak_rss()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

bool flash_matches(const std::string& path, uint32_t at, uint32_t bytes)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<char> block(65536);
    bool same = true;
    sim::with_unit([&](sim::VirtualUnit& u) {
        for (uint32_t done = 0; same && done < bytes;) {
            const uint32_t n = std::min<uint32_t>(uint32_t(block.size()), bytes - done);
            f.read(block.data(), n);
            const std::vector<uint8_t> got = u.flash.read(at + done, n);
            same = f.gcount() == std::streamsize(n) && std::memcmp(got.data(), block.data(), n) == 0;
            done += n;
        }
        same = same && u.flash.violations.empty();
    });
    return same;
}

Result run(const Case& c, const std::string& path, uint32_t bytes)
{
    bench::world_on(c.link);
    if (c.modelled)
        sim::set_latency(c.link, c.link == Link::USB ? sim::usb_full_speed_latency()
                                                      : sim::canfd_latency(bench::CAN_NOMINAL_BPS,
                                                                           bench::CAN_DATA_BPS));
    Result r;
    r.packets = (bytes + 63) / 64;
    r.bound = lower_bound(c.kind, c.link, bytes);
    CommsManager comms;
    if (!bench::connect(comms, c.link))
        return r;

    reset_peak_rss();
    double cpu = 0;
    uint64_t allocations = 0;
    sim::HidCalls calls;
    std::thread worker([&] {
        bench::Quiet quiet;
        t_counting = true;
        const double cpu0 = thread_cpu_seconds();
        const Clock::time_point t0 = Clock::now();
        r.ok = c.kind == FIRMWARE ? send_fw(&comms, path.c_str(), nullptr, nullptr)
                                  : send_airport_db(&comms, path.c_str(), nullptr, nullptr);
        r.took = Clock::now() - t0;
        cpu = thread_cpu_seconds() - cpu0;
        t_counting = false;
        allocations = t_allocations;
        calls = sim::hid_calls_of_this_thread();
    });
    worker.join();
    r.peak_rss_kib = peak_rss_kib();
    r.cpu_us_per_packet = cpu * 1e6 / r.packets;
    r.allocations_per_packet = double(allocations) / r.packets;
    r.hid_calls_per_packet = double(calls.writes + calls.reads) / r.packets;
    sim::with_unit([&](sim::VirtualUnit& u) { r.flash_kib = u.flash.blocks_in_use() * 64; });
    const uint32_t at = c.kind == FIRMWARE ? FW_BANK1_START_PAGE * MX25_BLOCK_SIZE : 0;
    r.flash_matches = r.ok && flash_matches(path, at, bytes);
    return r;
}

const char* link_name(Link l) { return l == Link::USB ? "USB HID" : "CAN FD"; }

struct PauseFigures {
    double median_us = 0;
    double p99_us = 0;
};

// The pause between packets as an upload makes it (pauseBetweenCommands on a
// connected link), timed one pause at a time on a thread with the uploads'
// timer slack (1 ns; the slack is per thread).
PauseFigures pause_figures(Link link)
{
    bench::world_on(link);
    CommsManager comms;
    PauseFigures f;
    if (!bench::connect(comms, link))
        return f;
    std::vector<double> us(20000);
    std::thread t([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        for (double& d : us) {
            const Clock::time_point t0 = Clock::now();
            comms.pauseBetweenCommands(PACKET_PAUSE);
            d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        }
    });
    t.join();
    std::sort(us.begin(), us.end());
    f.median_us = us[us.size() / 2];
    f.p99_us = us[us.size() * 99 / 100];
    return f;
}

// One 1 MiB firmware upload per link, no latency; the uploading thread's id
// goes to standard error for the strace count.
int syscalls_mode()
{
    const uint32_t bytes = 1024 * 1024;
    const std::string path = bench::make_upload_file(true, bytes);
    for (Link link : {Link::USB, Link::CAN}) {
        bench::world_on(link);
        CommsManager comms;
        if (!bench::connect(comms, link))
            return 1;
        bool ok = false;
        std::thread worker([&] {
            std::fprintf(stderr, "upload %s tid %ld packets %u\n", link == Link::USB ? "usb" : "can",
                         long(syscall(SYS_gettid)), (bytes + 63) / 64);
            bench::Quiet quiet;
            ok = send_fw(&comms, path.c_str(), nullptr, nullptr);
        });
        worker.join();
        if (!ok)
            return 1;
    }
    std::remove(path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool usb_airport = false;
    bool all = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--syscalls") == 0)
            return syscalls_mode();
        if (std::strcmp(argv[i], "--usb-airport") == 0)
            usb_airport = true;
        if (std::strcmp(argv[i], "--all") == 0)
            all = true;
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
    }
    std::vector<Case> cases;
    for (Kind kind : {FIRMWARE, AIRPORT}) {
        for (bool modelled : {false, true}) {
            for (Link link : {Link::USB, Link::CAN}) {
                const std::string name = std::string(kind == FIRMWARE ? "firmware" : "airports") +
                                         (link == Link::USB ? "-usb" : "-can") + (modelled ? "-model" : "-none");
                const bool quick = kind == FIRMWARE && (!modelled || link == Link::CAN);
                const bool skipped = !only.empty() ? name.find(only) == std::string::npos
                                     : all         ? kind == AIRPORT && modelled && link == Link::USB && !usb_airport
                                                   : !quick;
                if (skipped)
                    continue;
                cases.push_back({kind, link, modelled});
            }
        }
    }

    std::printf("%-9s %-8s %-8s %9s %10s %10s %6s %11s %9s %9s %10s %9s %5s\n", "upload", "link", "latency",
                "packets", "took (s)", "bound (s)", "ratio", "CPU/packet", "allocs/p", "hid/p", "peak RSS",
                "flash", "exact");
    int failures = 0;
    double can_firmware_ratio = 0;
    std::string paths[2];
    for (const Case& c : cases) {
        const uint32_t bytes = c.kind == FIRMWARE ? FIRMWARE_BYTES : AIRPORT_BYTES;
        std::string& path = paths[c.kind];
        if (path.empty())
            path = bench::make_upload_file(c.kind == FIRMWARE, bytes);
        const Result r = run(c, path, bytes);
        failures += !(r.ok && r.flash_matches);
        const double took = std::chrono::duration<double>(r.took).count();
        const double bound = std::chrono::duration<double>(r.bound).count();
        if (c.kind == FIRMWARE && c.link == Link::CAN && c.modelled)
            can_firmware_ratio = took / bound;
        std::printf("%-9s %-8s %-8s %9u %10.2f %10.2f %6.2f %8.1f us %9.3f %9.2f %7ld MiB %5zu MiB %5s\n",
                    c.kind == FIRMWARE ? "firmware" : "airports", link_name(c.link), c.modelled ? "model" : "none",
                    r.packets, took, bound, c.modelled ? took / bound : 0.0, r.cpu_us_per_packet,
                    r.allocations_per_packet, r.hid_calls_per_packet, r.peak_rss_kib / 1024, r.flash_kib / 1024,
                    r.flash_matches ? "yes" : "NO");
        std::fflush(stdout);
    }
    for (const std::string& p : paths) {
        if (!p.empty())
            std::remove(p.c_str());
    }
    if (can_firmware_ratio > 0)
        std::printf("The firmware image over modelled CAN FD took %.2f times its bound.\n", can_firmware_ratio);
    for (Link link : {Link::USB, Link::CAN}) {
        const PauseFigures p = pause_figures(link);
        std::printf("The 100 us pause between packets over %s: median %.1f us, 99th percentile %.1f us.\n",
                    link_name(link), p.median_us, p.p99_us);
    }
    std::printf("Bounds: USB one 64-byte transaction per 1 ms frame each way (a packet 2 frames out, its 71-byte "
                "answer 2 back); CAN FD 1/5 Mbit/s frame bits without stuffing, plus the 100 us pause per packet.\n"
                "CPU/packet is the uploading thread's, the doubles' work on that thread included (for USB the "
                "unit's handling runs inside hid_write). allocs/p counts operator new outside the doubles. hid/p "
                "counts hidapi calls. Peak RSS is the process's, the virtual flash's written blocks included.\n");
    return failures == 0 ? 0 : 1;
}
