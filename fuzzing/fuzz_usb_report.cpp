// Input reports of any length and content, decoded by the USB transport.

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::unique_ptr<CommsManager> comms = fuzz::link(false);
    sim::push_hid_input(std::vector<uint8_t>(data, data + size));
    COMMS_MSG_t msg;
    std::memset(&msg, 0xA5, sizeof msg);
    const int got = comms->getUSBHID()->read(&msg, 0);
    if (got > 0) {
        // Never more payload than the report held, and the rest zero.
        const size_t held = size_t(got) > 7 ? size_t(got) - 7 : 0;
        for (size_t i = std::min<size_t>(held, msg.msg_len); i < sizeof msg.data; ++i)
            fuzz::check(msg.data[i] == 0, "payload beyond the report is zero");
        fuzz::check(msg.padding[0] == 0 && msg.padding[1] == 0, "padding zero");
    }
    return 0;
}
