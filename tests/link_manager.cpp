// Link manager: start-up connection policy with its log lines, the
// serial-number handshake and the routing of traffic to the preferred link.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comms/comms.h"
#include "link_support.h"

namespace {

using linktest::capture;
using linktest::inject;
using linktest::Link;
using linktest::msg_of;

const char* const kTryUsb = "Attempting to connect to USB HID device 0x1209:0x0001\n";
const char* const kUsbOpened = "USB HID device connected, verifying with serial number request...\n";
const std::string kUsbVerified = "Successfully connected to USB HID device! Serial number: " + linktest::unit_serial_text() + "\n";
const char* const kNoUsb = "Failed to connect to USB HID device\n";
const char* const kTryCan = "Attempting to connect to CAN FD interface: can0\n";
const char* const kCanOpened = "CAN FD interface connected, verifying with serial number request...\n";
const std::string kCanVerified = "Successfully connected to CAN FD interface! Serial number: " + linktest::unit_serial_text() + "\n";
const char* const kNoCan = "Failed to connect to CAN FD interface\n";
const char* const kNoCanDevice = "Interface can0 does not exist or is not available: No such device\n";

struct OutcomeCase {
    const char* name;
    std::function<void()> world;
    std::string out;
    std::string err;
    bool result;
    bool usb_open;
    bool can_open;
};

TEST(EstablishConnection, LinesAndLinksPerWorld)
{
    const OutcomeCase cases[] = {
        {"both links verified", [] {},
         std::string(kTryUsb) + kUsbOpened + kUsbVerified + kTryCan + kCanOpened + kCanVerified +
             "Connected via both USB HID and CAN FD\n",
         "", true, true, true},
        {"usb only", [] { sim::set_can_interfaces({}); },
         std::string(kTryUsb) + kUsbOpened + kUsbVerified + kTryCan + kNoCan + "Connected via USB HID\n",
         kNoCanDevice, true, true, false},
        {"can only, no HID interface listed", [] { sim::set_hid_interfaces({}); },
         std::string(kTryUsb) + kNoUsb + kTryCan + kCanOpened + kCanVerified + "Connected via CAN FD\n", "",
         true, false, true},
        {"neither",
         [] {
             sim::set_hid_interfaces({});
             sim::set_can_interfaces({});
         },
         std::string(kTryUsb) + kNoUsb + kTryCan + kNoCan + "Failed to connect via both USB HID and CAN FD\n",
         kNoCanDevice, false, false, false},
        {"usb opens but never answers", [] { sim::set_usb_silent(true); },
         std::string(kTryUsb) + kUsbOpened +
             "get_serialnumber: No response received from device (timeout or no data).\n"
             "Failed to get serial number from USB HID device - disconnecting\n" +
             kTryCan + kCanOpened + kCanVerified + "Connected via CAN FD\n",
         "", true, false, true},
        {"busy can bus: sensor frames around the answer are skipped",
         [] {
             sim::set_hid_interfaces({});
             sim::set_can_broadcasts(sim::unit_sensor_broadcasts());
             sim::with_unit([](sim::VirtualUnit& u) { u.faults.unrelated_before = 2; });
         },
         std::string(kTryUsb) + kNoUsb + kTryCan + kCanOpened + kCanVerified + "Connected via CAN FD\n", "", true,
         false, true},
        {"can unit not on the bus",
         [] {
             sim::set_hid_interfaces({});
             sim::set_can_unit_attached(false);
         },
         std::string(kTryUsb) + kNoUsb + kTryCan + kCanOpened +
             "get_serialnumber: Error reading response from device.\n"
             "Failed to get serial number from CAN FD interface - disconnecting\n"
             "Failed to connect via both USB HID and CAN FD\n",
         "", false, false, false},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        c.world();
        CommsManager comms;
        bool result = !c.result;
        linktest::Output o = capture([&] { result = comms.establish_connection(); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(comms.getUSBHID()->isConnected(), c.usb_open);
        EXPECT_EQ(comms.getCANFD()->isConnected(), c.can_open);
        EXPECT_EQ(comms.isConnected(), c.usb_open || c.can_open);
        EXPECT_EQ(comms.getActiveInterface(), c.can_open && !c.usb_open ? CAN_FD : USB_HID);
        // A link that failed its handshake is closed again, not left open.
        EXPECT_EQ(sim::hid_open_handles(), c.usb_open ? 1 : 0);
        EXPECT_EQ(sim::can_open_sockets(), c.can_open ? 1 : 0);
    }
}

TEST(Routing, BothLinksVerifiedTrafficGoesOverUsbOnly)
{
    sim::reset();
    CommsManager comms;
    bool up = false;
    capture([&] { up = comms.establish_connection(); });
    ASSERT_TRUE(up);
    sim::clear_captures();

    bool ok = false;
    uint32_t value = 0;
    capture([&] {
        value = get_value(&comms, SETTINGS_COMMS, VNE_INDEX, &ok);
        EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, value), 0);
    });
    EXPECT_TRUE(ok);
    Settings_t factory = sim::factory_settings();
    EXPECT_EQ(value, factory.vspeeds.Vne);
    EXPECT_EQ(sim::hid_written().size(), 2u);
    EXPECT_TRUE(sim::can_written().empty());
    EXPECT_EQ(sim::can_open_sockets(), 1) << "the verified CAN socket stays open";
}

TEST(Routing, NoLinkRefusesWithoutTouchingTheWire)
{
    sim::reset();
    CommsManager comms;
    COMMS_MSG_t m = msg_of(CANMSG_ENTER_BL, 1, {0x48});
    linktest::Output o = capture([&] {
        EXPECT_EQ(comms.write(m), -1);
        EXPECT_EQ(comms.read(&m), -1);
    });
    EXPECT_EQ(o.out, "No interface connected.\n");
    EXPECT_FALSE(comms.isConnected());
    EXPECT_EQ(comms.getActiveInterface(), USB_HID);
    EXPECT_TRUE(sim::hid_written().empty());
    EXPECT_TRUE(sim::can_written().empty());
}

TEST(Routing, PreferredLinkFailureIsNotRetriedOnTheOther)
{
    sim::reset();
    sim::set_usb_silent(true);
    CommsManager comms;
    ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
    ASSERT_TRUE(comms.connectCANFD("can0"));
    // An answer waits on CAN, but the read belongs to USB, which stays silent.
    inject(Link::CAN, sim::make_msg(CANMSG_SEND_USER_SETTING, {1, 2, 3, 4}));
    COMMS_MSG_t m;
    EXPECT_EQ(comms.read(&m), 0);
    EXPECT_EQ(comms.read(nullptr), -1);
}

class Handshake : public testing::TestWithParam<Link> {
protected:
    void SetUp() override
    {
        sim::reset();
        comms.reset(new CommsManager());
        ASSERT_TRUE(linktest::connect_only(*comms, GetParam()));
        sim::clear_captures();
    }
    std::unique_ptr<CommsManager> comms;
};

struct SerialCase {
    const char* name;
    std::vector<COMMS_MSG_t> answers;
    uint32_t serial;
    std::string out;
};

TEST_P(Handshake, JudgesTheFirstSerialNumberAnswer)
{
    const COMMS_MSG_t good = msg_of(0x123, 8, {0xEF, 0x15, 0, 0, 0x12, 0x34, 0x56, 0x78});
    const COMMS_MSG_t sensor = msg_of(0x302, 8, {1, 2, 3, 4, 5, 6, 7, 8});
    const SerialCase cases[] = {
        {"serial most significant byte first", {good}, 0x12345678, ""},
        {"non-zero header byte", {msg_of(0x123, 8, {0xEF, 0x15, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78})}, 0xFFFFFFFF,
         "get_serialnumber: Invalid header bytes in response.\n"},
        {"marker reversed", {msg_of(0x123, 8, {0x15, 0xEF, 0, 0, 0x12, 0x34, 0x56, 0x78})}, 0xFFFFFFFF,
         "get_serialnumber: Invalid header bytes in response.\n"},
        {"too short", {msg_of(0x123, 6, {0xEF, 0x15, 0, 0, 0x12, 0x34})}, 0xFFFFFFFF,
         "get_serialnumber: Invalid response format (canID=0x00000123, len=6)\n"},
        {"unrelated traffic first is skipped", {sensor, msg_of(0x377, 4, {1, 0, 0, 0}), good}, 0x12345678, ""},
        {"only unrelated traffic", {sensor}, 0xFFFFFFFF,
         GetParam() == Link::USB ? "get_serialnumber: No response received from device (timeout or no data).\n"
                                 : "get_serialnumber: Error reading response from device.\n"},
    };
    for (const SerialCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::clear_captures();
        sim::with_unit([&](sim::VirtualUnit& u) { u.faults.answer_with[CANMSG_WHOAMI] = c.answers; });
        uint32_t serial = 0;
        linktest::Output o = capture([&] { serial = get_serialnumber(comms.get(), linktest::iface_of(GetParam())); });
        EXPECT_EQ(serial, c.serial);
        EXPECT_EQ(o.out, c.out);
        auto sent = linktest::sent_on(GetParam());
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], (linktest::Sent{0x123, {0xEF, 0x15}}));
    }
}

TEST_P(Handshake, OtherLinkOrNoManagerFailsSilently)
{
    const COMM_INTERFACE_t other = GetParam() == Link::USB ? CAN_FD : USB_HID;
    linktest::Output o = capture([&] {
        EXPECT_EQ(get_serialnumber(comms.get(), other), 0xFFFFFFFFu);
        EXPECT_EQ(get_serialnumber(comms.get(), static_cast<COMM_INTERFACE_t>(2)), 0xFFFFFFFFu);
        EXPECT_EQ(get_serialnumber(nullptr, linktest::iface_of(GetParam())), 0xFFFFFFFFu);
    });
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(sim::hid_written().empty());
    EXPECT_TRUE(sim::can_written().empty());
}

INSTANTIATE_TEST_SUITE_P(Links, Handshake, testing::Values(Link::USB, Link::CAN), linktest::link_name);

}  // namespace
