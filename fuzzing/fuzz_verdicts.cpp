// The acknowledgement, flash acknowledgement and store verdicts, judged on
// answers from the fuzzer (each ends with negative answers, so that no wait
// has to run into its time-out).

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
    const int which = in.ConsumeIntegralInRange<int>(0, 2);
    std::vector<COMMS_MSG_t> answers = fuzz::messages(in, 8);
    answers.push_back(sim::make_msg(CANMSG_NACK, {}));
    answers.push_back(sim::make_msg(CANMSG_MX25_NACK, {}));
    answers.push_back(sim::make_msg(CANMSG_NACK, {}));
    sim::with_unit([&](sim::VirtualUnit& u) { u.faults.script = {answers}; });
    COMMS_MSG_t cmd = sim::make_msg(CANMSG_SET_USER_SETTING, {6, 150, 0, 0, 0});
    usb->write(cmd);
    uint8_t op = 0x77;
    uint32_t address = 0xDEADBEEF;
    bool given = true;
    bool flash_ok = true;
    if (which == 0) {
        const bool ok = wait_for_ack(usb.get(), CANMSG_SET_USER_SETTING);
        // A true verdict needs a well-formed acknowledgement of the command.
        bool seen = false;
        for (const COMMS_MSG_t& a : answers) {
            if (a.can_ID == CANMSG_NACK)
                break;
            seen = seen || (a.can_ID == CANMSG_ACK && a.msg_len == 6 && get_le32(a.data) == CANMSG_SET_USER_SETTING &&
                            a.data[4] == 0xEF && a.data[5] == 0x15);
        }
        fuzz::check(!ok || seen, "acknowledged only by its acknowledgement");
    } else if (which == 1) {
        const bool ok = wait_for_mx25_ack(usb.get(), &op, &address, &given);
        fuzz::check(ok || op == 0x77, "no operation from a failed wait");
        fuzz::check(given || address == 0xDEADBEEF, "no address without one");
    } else {
        const bool ok = wait_for_ack_and_mx25_ack(usb.get(), CANMSG_SET_USER_SETTING, &flash_ok, &op, &address);
        fuzz::check(!ok || flash_ok, "both answers for a true verdict");
    }
    fuzz::drop_unread(usb.get());
    return 0;
}
