// CAN FD transport against the SocketCAN emulation: frame layout in both
// directions, interface look-up and socket ownership.

#include <gtest/gtest.h>
#include <linux/can.h>

#include <string>
#include <vector>

#include "comms/canfd/canfd.h"
#include "link_support.h"

namespace {

using linktest::capture;
using linktest::classic_frame;
using linktest::fd_frame;
using linktest::msg_of;

class CanTransport : public testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        ASSERT_TRUE(can.connect("can0"));
        sim::clear_captures();
    }
    CANFD can;
};

std::vector<uint8_t> filled(size_t n, uint8_t value)
{
    return std::vector<uint8_t>(n, value);
}

struct canfd_frame only_frame_written()
{
    struct canfd_frame f;
    std::memset(&f, 0xEE, sizeof(f));
    auto written = sim::can_written();
    EXPECT_EQ(written.size(), 1u);
    if (written.size() == 1) {
        EXPECT_EQ(written[0].size(), sizeof(f));
        std::memcpy(&f, written[0].data(), std::min(written[0].size(), sizeof(f)));
    }
    return f;
}

struct EncodeCase {
    const char* name;
    COMMS_MSG_t msg;
    int result;
};

TEST_F(CanTransport, EncodesOneFdFramePerRecord)
{
    COMMS_MSG_t junk = msg_of(0x378, 5, {0x18, 0x50, 0, 0, 0});
    for (size_t i = 5; i < sizeof(junk.data); ++i) {
        junk.data[i] = 0xCC;
    }
    junk.padding[0] = junk.padding[1] = 0xCC;
    junk.iface = USB_HID;

    const EncodeCase cases[] = {
        {"serial number request", msg_of(0x123, 2, {0xEF, 0x15}), 2},
        {"empty payload returns zero", msg_of(0x287, 0, {}), 0},
        {"bytes beyond msg_len not sent", junk, 5},
        {"full 64-byte packet", msg_of(0x415, 64, filled(64, 0x5A)), 64},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::clear_captures();
        EXPECT_EQ(can.write(c.msg), c.result);
        struct canfd_frame f = only_frame_written();
        EXPECT_EQ(f.can_id, static_cast<uint32_t>(c.msg.can_ID));
        EXPECT_EQ(f.len, c.msg.msg_len);
        EXPECT_EQ(f.flags, CANFD_BRS);
        EXPECT_EQ(f.__res0, 0);
        EXPECT_EQ(f.__res1, 0);
        std::vector<uint8_t> expected(c.msg.data, c.msg.data + c.msg.msg_len);
        expected.resize(CANFD_MAX_DLEN, 0);
        EXPECT_EQ(std::vector<uint8_t>(f.data, f.data + CANFD_MAX_DLEN), expected);
    }
}

TEST_F(CanTransport, RefusesRecordLongerThanData)
{
    for (uint8_t len : {65, 255}) {
        SCOPED_TRACE(static_cast<int>(len));
        COMMS_MSG_t m = msg_of(0x415, len, filled(64, 1));
        linktest::Output o = capture([&] { EXPECT_EQ(can.write(m), -1); });
        EXPECT_TRUE(o.out.empty());
    }
    EXPECT_TRUE(sim::can_written().empty());
}

struct ByteWriteCase {
    const char* name;
    std::vector<uint8_t> bytes;
    int result;
};

TEST_F(CanTransport, ByteFormChecksItsOwnLength)
{
    const ByteWriteCase cases[] = {
        {"identifier, length, data", {0x23, 0x01, 0x00, 0x00, 0x02, 0xEF, 0x15}, 72},
        {"no length byte", {0x23, 0x01, 0x00, 0x00}, -1},
        {"length above 64", {0x15, 0x04, 0x00, 0x00, 65}, -1},
        {"fewer bytes than the length says", {0x23, 0x01, 0x00, 0x00, 0x03, 0xEF, 0x15}, -1},
    };
    for (const ByteWriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::clear_captures();
        linktest::Output o = capture([&] { EXPECT_EQ(can.write(c.bytes.data(), c.bytes.size()), c.result); });
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(sim::can_written().size(), c.result > 0 ? 1u : 0u);
    }
    sim::clear_captures();
    const uint8_t whoami[] = {0x23, 0x01, 0x00, 0x00, 0x02, 0xEF, 0x15};
    ASSERT_EQ(can.write(whoami, sizeof(whoami)), 72);
    struct canfd_frame f = only_frame_written();
    EXPECT_EQ(f.can_id, 0x123u);
    EXPECT_EQ(f.len, 2);
    EXPECT_EQ(f.flags, CANFD_BRS);
    EXPECT_EQ(f.data[0], 0xEF);
    EXPECT_EQ(f.data[1], 0x15);
    EXPECT_EQ(f.data[2], 0);
}

struct DecodeCase {
    const char* name;
    std::vector<uint8_t> raw;
    int result;
    uint32_t can_ID;
    uint8_t msg_len;
    std::vector<uint8_t> data;  // leading data bytes; the rest must be zero
};

template <class Frame>
std::vector<uint8_t> bytes_of(const Frame& f)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&f);
    return std::vector<uint8_t>(p, p + sizeof(f));
}

TEST_F(CanTransport, DecodesFramesNeverPastData)
{
    std::vector<uint8_t> sensor = {1, 2, 3, 4, 5, 6, 7, 8};
    struct canfd_frame short_len = fd_frame(0x377, 5, {9, 8, 7, 6, 5, 4, 3, 2});  // bytes after len are junk

    const DecodeCase cases[] = {
        {"classic sensor frame", bytes_of(classic_frame(0x302, 8, sensor)), 16, 0x302, 8, sensor},
        {"classic frame with a lying length", bytes_of(classic_frame(0x302, 12, sensor)), 16, 0x302, 12, sensor},
        {"fd frame with a lying length", bytes_of(fd_frame(0x415, 100, filled(64, 0xAB))), 72, 0x415, 100,
         filled(64, 0xAB)},
        {"only len bytes of an fd frame", bytes_of(short_len), 72, 0x377, 5, {9, 8, 7, 6, 5}},
        {"flag bits kept in the identifier", bytes_of(fd_frame(CAN_EFF_FLAG | 0x123, 1, {0x42})), 72,
         CAN_EFF_FLAG | 0x123, 1, {0x42}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::push_can_frame(c.raw.data(), c.raw.size());
        COMMS_MSG_t m;
        std::memset(&m, 0xA5, sizeof(m));
        ASSERT_EQ(can.read(&m), c.result);
        EXPECT_EQ(m.iface, CAN_FD);
        EXPECT_EQ(static_cast<uint32_t>(m.can_ID), c.can_ID);
        EXPECT_EQ(m.msg_len, c.msg_len);
        std::vector<uint8_t> expected = c.data;
        expected.resize(sizeof(m.data), 0);
        EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + sizeof(m.data)), expected);
        EXPECT_EQ(m.padding[0], 0);
        EXPECT_EQ(m.padding[1], 0);
    }
}

TEST_F(CanTransport, SilenceLooksLikeAnError)
{
    COMMS_MSG_t m;
    EXPECT_EQ(can.read(&m), -1);
    EXPECT_EQ(can.read(nullptr), -1);
    EXPECT_TRUE(can.isConnected());
}

TEST(CanConnect, MissingInterfaceLeavesNoSocket)
{
    struct Case {
        const char* name;
        std::vector<std::string> world;
        std::string asked;
    };
    const Case cases[] = {
        {"no interfaces at all", {}, "can0"},
        {"another interface only", {"vcan1"}, "can0"},
        {"long name shown in full", {}, "abcdefghijklmnopqrst"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::set_can_interfaces(c.world);
        CANFD can;
        bool ok = true;
        linktest::Output o = capture([&] { ok = can.connect(c.asked); });
        EXPECT_FALSE(ok);
        EXPECT_FALSE(can.isConnected());
        EXPECT_EQ(o.err, "Interface " + c.asked + " does not exist or is not available: No such device\n");
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(sim::can_open_sockets(), 0);
    }
}

TEST(CanConnect, LongNameLookedUpByFirstFifteenCharacters)
{
    sim::reset();
    sim::set_can_interfaces({"abcdefghijklmno"});
    CANFD can;
    linktest::Output o = capture([&] { EXPECT_TRUE(can.connect("abcdefghijklmnopqrst")); });
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(can.isConnected());
    EXPECT_EQ(sim::can_open_sockets(), 1);
}

TEST(CanConnect, OneSocketAtATimeAndClosedByOwner)
{
    sim::reset();
    {
        CANFD can;
        ASSERT_TRUE(can.connect("can0"));
        ASSERT_TRUE(can.connect("can0"));  // reconnect replaces the socket
        EXPECT_EQ(sim::can_open_sockets(), 1);
        can.disconnect();
        EXPECT_FALSE(can.isConnected());
        EXPECT_EQ(sim::can_open_sockets(), 0);
        ASSERT_TRUE(can.connect("can0"));
    }
    EXPECT_EQ(sim::can_open_sockets(), 0);
}

TEST(CanConnect, ClosedTransportRefusesWithALine)
{
    sim::reset();
    CANFD can;
    COMMS_MSG_t m = msg_of(0x123, 2, {0xEF, 0x15});
    linktest::Output o = capture([&] {
        EXPECT_EQ(can.write(m), -1);
        EXPECT_EQ(can.read(&m), -1);
    });
    EXPECT_EQ(o.err, "CANFD::write: Not connected or invalid socket\n");
    EXPECT_TRUE(sim::can_written().empty());
}

}  // namespace
