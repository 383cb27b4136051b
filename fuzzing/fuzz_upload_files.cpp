// Firmware files (header and payload) and airport database files from the
// fuzzer, sent by the flash procedures to the virtual unit: whatever the
// file says, nothing is written onto flash that is not erased or outside the
// region, and success means the flash holds the file.

#include <sys/mman.h>
#include <unistd.h>

#include "EFIS_shared/firmware.h"
#include "firmware_ops/firmware_ops.h"
#include "fuzz_support.h"

namespace {
// The file lives in memory (a regular file all the same, opened by its
// path): no disk, and nothing left behind.
int g_file = -1;
char g_path[64];
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    sim::reset();
    sim::set_capture(false);
    fuzz::UnitSession::start_from_current_unit();
    g_file = memfd_create("efis-fuzz-upload", MFD_CLOEXEC);
    fuzz::check(g_file >= 0, "a file in memory");
    std::snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::NoWaits no_waits;
    FuzzedDataProvider in(data, size);
    const bool firmware = in.ConsumeBool();
    const bool can = in.ConsumeBool();
    std::vector<uint8_t> file;
    if (firmware) {
        // A header whose sizes the fuzzer picks, kept to what a short run allows.
        firmware_header_t h;
        std::memset(&h, 0, sizeof h);
        h.total_size = in.ConsumeIntegralInRange<uint32_t>(0, 3 * 65536 + 1);
        h.encrypted_size = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegralInRange<uint32_t>(0, 4096);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&h);
        file.assign(p, p + (in.ConsumeBool() ? sizeof h : in.ConsumeIntegralInRange<size_t>(0, sizeof h)));
    }
    const std::vector<uint8_t> rest = in.ConsumeRemainingBytes<uint8_t>();
    file.insert(file.end(), rest.begin(), rest.begin() + std::min<size_t>(rest.size(), 4096));
    fuzz::check(ftruncate(g_file, 0) == 0 &&
                    (file.empty() || pwrite(g_file, file.data(), file.size(), 0) == ssize_t(file.size())),
                "the file is written");

    fuzz::UnitSession session(can);
    const bool ok = firmware ? send_fw(session.comms(), g_path, nullptr, nullptr)
                             : send_airport_db(session.comms(), g_path, nullptr, nullptr);
    sim::with_unit([&](sim::VirtualUnit& u) {
        fuzz::check(u.flash.violations.empty(), "no write onto non-erased flash or outside the region");
        if (ok) {
            const uint32_t at = firmware ? FW_BANK1_START_PAGE * MX25_BLOCK_SIZE : 0;
            const size_t n = firmware ? 64 + reinterpret_cast<const firmware_header_t*>(file.data())->encrypted_size
                                      : file.size();
            fuzz::check(n <= file.size() && u.flash.read(at, n) == std::vector<uint8_t>(file.begin(), file.begin() + n),
                        "success means the flash holds the file");
        }
    });
    return 0;
}
