// Classic and FD frames of any content (the length byte included), decoded
// by the CAN FD transport.

#include <linux/can.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::unique_ptr<CommsManager> comms = fuzz::link(true);
    FuzzedDataProvider in(data, size);
    const size_t frame_size = in.ConsumeBool() ? CAN_MTU : CANFD_MTU;
    std::vector<uint8_t> frame = in.ConsumeBytes<uint8_t>(frame_size);
    frame.resize(frame_size, 0);
    sim::push_can_frame(frame.data(), frame.size());
    COMMS_MSG_t msg;
    std::memset(&msg, 0xA5, sizeof msg);
    const int got = comms->getCANFD()->read(&msg, 0);
    if (got > 0) {
        const size_t room = got == int(CAN_MTU) ? CAN_MAX_DLEN : CANFD_MAX_DLEN;
        for (size_t i = std::min<size_t>(room, msg.msg_len); i < sizeof msg.data; ++i)
            fuzz::check(msg.data[i] == 0, "nothing past the frame's data");
        fuzz::check(msg.iface == CAN_FD, "iface set");
    }
    return 0;
}
