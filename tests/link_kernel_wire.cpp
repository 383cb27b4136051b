// What skarvel-virtual-unit makes of the bytes the kernel hands it: output
// reports from hidraw through uhid, and frames from a raw CAN FD socket
// (the kernel adds CANFD_FDF to the flags, and a real bus pads lengths).

#include <gtest/gtest.h>

#include <linux/can.h>

#include <cstring>
#include <vector>

#include "sim/kernel/unit_wire.h"

namespace {

struct WireCase {
    const char* name;
    std::vector<uint8_t> bytes;
    bool taken;
    uint32_t can_ID;
    uint8_t msg_len;
    std::vector<uint8_t> data;  // the payload as the unit sees it
};

void expect_request(const WireCase& c, bool taken, const COMMS_MSG_t& m, COMM_INTERFACE_t iface)
{
    SCOPED_TRACE(c.name);
    ASSERT_EQ(taken, c.taken);
    if (!taken)
        return;
    EXPECT_EQ(m.iface, iface);
    const uint32_t can_ID = m.can_ID;  // packed: no reference to it
    EXPECT_EQ(can_ID, c.can_ID);
    EXPECT_EQ(m.msg_len, c.msg_len);
    std::vector<uint8_t> data(m.data, m.data + sizeof m.data);
    std::vector<uint8_t> want = c.data;
    want.resize(sizeof m.data, 0);
    EXPECT_EQ(data, want);
}

TEST(KernelWire, OutputReportsBecomeRequests)
{
    const WireCase cases[] = {
        {"serial-number request", {0x05, 0x23, 0x01, 0, 0, 2, 0xEF, 0x15}, true, 0x123, 2, {0xEF, 0x15}},
        {"empty payload", {0x05, 0x87, 0x02, 0, 0, 0}, true, 0x287, 0, {}},
        {"another report number", {0x04, 0x23, 0x01, 0, 0, 2, 0xEF, 0x15}, false, 0, 0, {}},
        {"shorter than its msg_len", {0x05, 0x78, 0x03, 0, 0, 5, 6, 180}, false, 0, 0, {}},
        {"msg_len past the payload", {0x05, 0x15, 0x04, 0, 0, 65}, false, 0, 0, {}},
        {"no msg_len", {0x05, 0x23, 0x01, 0, 0}, false, 0, 0, {}},
    };
    for (const WireCase& c : cases) {
        COMMS_MSG_t m;
        const bool taken = sim::unit_request_from_output_report(c.bytes.data(), c.bytes.size(), &m);
        expect_request(c, taken, m, USB_HID);
    }
}

std::vector<uint8_t> frame(uint32_t id, uint8_t len, uint8_t flags, size_t size, uint8_t fill)
{
    struct canfd_frame f;
    std::memset(&f, 0, sizeof f);
    f.can_id = id;
    f.len = len;
    f.flags = flags;
    std::memset(f.data, fill, std::min<size_t>(len, sizeof f.data));
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&f);
    return std::vector<uint8_t>(p, p + size);
}

TEST(KernelWire, FramesBecomeRequestsAsTheBusCarriesThem)
{
    const std::vector<uint8_t> five(5, 0xAB);
    const std::vector<uint8_t> thirty_seven(37, 0x11);
    const WireCase cases[] = {
        {"FD frame as the kernel delivers it (FDF | BRS)", frame(0x378, 5, 0x05, CANFD_MTU, 0xAB), true, 0x378, 5, five},
        {"FD frame as written (BRS)", frame(0x378, 5, 0x01, CANFD_MTU, 0xAB), true, 0x378, 5, five},
        {"37 bytes arrive as 48, padded with zeros", frame(0x415, 37, 0x05, CANFD_MTU, 0x11), true, 0x415, 48,
         thirty_seven},
        {"classic frame", frame(0x563, 2, 0, CAN_MTU, 0x55), true, 0x563, 2, {0x55, 0x55}},
        {"classic frame claiming 9 bytes", frame(0x563, 9, 0, CAN_MTU, 0x55), false, 0, 0, {}},
        {"FD frame claiming 65 bytes", frame(0x415, 65, 0x05, CANFD_MTU, 0), false, 0, 0, {}},
        {"a size that is no frame", frame(0x415, 4, 0x05, 20, 0), false, 0, 0, {}},
    };
    for (const WireCase& c : cases) {
        COMMS_MSG_t m;
        const bool taken = sim::unit_request_from_frame(c.bytes.data(), c.bytes.size(), &m);
        expect_request(c, taken, m, CAN_FD);
    }
}

TEST(KernelWire, AnswersGoOutAtTheirFullSize)
{
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof m);
    m.can_ID = 0x256;
    m.msg_len = 5;
    std::memset(m.data, 0x7E, 5);
    uint8_t report[sim::UNIT_INPUT_REPORT_SIZE];
    sim::unit_input_report(m, report);
    EXPECT_EQ(report[0], sim::UNIT_INPUT_REPORT_ID);
    EXPECT_EQ(report[2], 0x56);
    EXPECT_EQ(report[3], 0x02);
    EXPECT_EQ(report[6], 5);

    uint8_t f[CANFD_MTU];
    EXPECT_EQ(sim::unit_frame(m, false, f), size_t(CANFD_MTU));
    EXPECT_EQ(f[5], CANFD_BRS);
    m.msg_len = 12;
    EXPECT_EQ(sim::unit_frame(m, true, f), size_t(CAN_MTU));
    EXPECT_EQ(f[4], CAN_MAX_DLEN);  // a classic frame carries at most 8 bytes
}

}  // namespace
