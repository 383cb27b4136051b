// Firmware files (header and payload) and airport database files from the
// fuzzer, sent by the flash procedures to the virtual unit: whatever the
// file says, nothing is written onto flash that is not erased or outside the
// region, and success means the flash holds the file.

#include <unistd.h>

#include "EFIS_shared/firmware.h"
#include "firmware_ops/firmware_ops.h"
#include "fuzz_support.h"

namespace {
char g_path[64];
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    std::snprintf(g_path, sizeof g_path, "/tmp/efis-fuzz-upload-%d", int(getpid()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
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
    FILE* f = std::fopen(g_path, "wb");
    fuzz::check(f != nullptr, "temporary file");
    if (!file.empty())
        std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);

    std::unique_ptr<CommsManager> comms = fuzz::link(can);
    const bool ok = firmware ? send_fw(comms.get(), g_path, nullptr, nullptr)
                             : send_airport_db(comms.get(), g_path, nullptr, nullptr);
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
