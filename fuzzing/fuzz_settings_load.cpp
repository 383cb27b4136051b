// A whole settings load through the window, against a unit whose every
// answer comes from the fuzzer (each ends with a value answer, so that no
// read runs into its time-out): whatever comes, the window never claims a
// value it did not read.

#include <QApplication>

#include <cmath>
#include <vector>

#include "EFIS_shared/get_set.h"
#define FUZZ_WITH_WINDOW
#include "fuzz_support.h"

namespace {
MainWindow* g_window = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    g_window = fuzz::make_window(argc, argv, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::NoWaits no_waits;
    FuzzedDataProvider in(data, size);
    std::vector<std::vector<COMMS_MSG_t>> script(40);
    for (std::vector<COMMS_MSG_t>& answer : script) {
        if (in.ConsumeBool())
            answer = fuzz::messages(in, 2);
        COMMS_MSG_t value = sim::make_msg(CANMSG_SEND_USER_SETTING, {});
        value.msg_len = 4;
        put_le32(value.data, in.ConsumeIntegral<uint32_t>());
        answer.push_back(value);
    }
    // Into the unit's own list, which keeps its storage from input to input.
    sim::with_unit([&](sim::VirtualUnit& u) {
        for (std::vector<COMMS_MSG_t>& answer : script)
            u.faults.script.push_back(std::move(answer));
    });
    g_window->loadConfigFromDevice();
    // A value the window holds as known was read from a value answer, and
    // only layouts it knows are taken in.
    fuzz::check(user_config.num_elements <= SETTINGS_MAX_ELEMENTS || g_window->session.unread().size() == 36,
                "unknown layouts leave every value unknown");
    for (settings_struct_index i : {ROLL_CORRECTION_INDEX, PITCH_CORRECTION_INDEX}) {
        if (!g_window->session.unread().count(i)) {
            const uint32_t bits = settings_get_value(&user_config, i);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            fuzz::check(std::isfinite(f), "a known correction is a number");
        }
    }
    sim::with_unit([](sim::VirtualUnit& u) { u.faults.script.clear(); });
    fuzz::settle_window();
    return 0;
}
