// The partition query against answers from the fuzzer.

#include "firmware_ops/firmware_ops.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::unique_ptr<CommsManager> usb = fuzz::link(false);
    fuzz::NoWaits no_waits;
    FuzzedDataProvider in(data, size);
    std::vector<COMMS_MSG_t> answers;
    if (in.ConsumeBool()) {
        COMMS_MSG_t ack = sim::make_msg(CANMSG_ACK, {0x87, 0x02, 0, 0, 0xEF, 0x15});
        answers.push_back(ack);
    }
    for (const COMMS_MSG_t& m : fuzz::messages(in, 6))
        answers.push_back(m);
    answers.push_back(sim::make_msg(CANMSG_NACK, {}));
    answers.push_back(sim::make_msg(CANMSG_MX25_NACK, {}));
    sim::with_unit([&](sim::VirtualUnit& u) { u.faults.script = {answers}; });
    const mx25_partition p = get_mx25_partition(usb.get());
    fuzz::check(p == partition_none || p == partition_1 || p == partition_2, "only a bank or none");
    fuzz::drop_unread(usb.get());
    return 0;
}
