// One tool per unit and one unit per tool: each link locked against a second
// instance, several units on one CAN bus refused, units on USB told apart by
// their serial numbers, and connect failures that say what was found.

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "comms/comms.h"
#include "link_support.h"

namespace {

using linktest::capture;
using linktest::iface_of;
using linktest::Link;

const uint32_t ANY = CommsManager::ANY_UNIT;

bool connect_verified(CommsManager& comms, Link link, uint32_t serial = ANY)
{
    bool ok = false;
    capture([&] {
        ok = link == Link::USB ? comms.connectVerifiedUSB(serial) : comms.connectVerifiedCANFD("can0", serial);
    });
    return ok;
}

sim::VirtualUnit unit(int which = 0)
{
    sim::VirtualUnit copy;
    (which == 0 ? sim::with_unit : sim::with_second_unit)([&](sim::VirtualUnit& u) { copy = u; });
    return copy;
}

class OneToolPerUnit : public testing::TestWithParam<Link> {};

TEST_P(OneToolPerUnit, SecondInstanceIsRefusedNamingTheHolderAndTheFirstGoesOn)
{
    const Link link = GetParam();
    linktest::world_with_unit_on(link);
    CommsManager first;
    ASSERT_TRUE(connect_verified(first, link));
    sim::with_unit([](sim::VirtualUnit& u) { u.received.clear(); });

    CommsManager second;
    EXPECT_FALSE(connect_verified(second, link));
    const std::string where = link == Link::USB ? sim::unit_hid_interface().path : "can0";
    EXPECT_EQ(second.connectFailure(iface_of(link)), "the unit on " + where +
                                                         " is in use by another Skarvel EFIS Config (process " +
                                                         std::to_string(getpid()) + ")");
    EXPECT_TRUE(unit().received.empty()) << "the second instance never talks to the unit";

    capture([&] { EXPECT_EQ(set_value(&first, SETTINGS_COMMS, VNE_INDEX, 171), 0); });
    EXPECT_EQ(unit().working.vspeeds.Vne, 171);

    // Free again as soon as the first lets go.
    first.getUSBHID()->disconnect();
    first.getCANFD()->disconnect();
    EXPECT_TRUE(connect_verified(second, link));
    EXPECT_EQ(second.connectFailure(iface_of(link)), "");
}

// One program per unit, not per link: a second program reaching the same
// unit over the other link is refused after its handshake, while the first
// program's two links share their lock.
TEST_P(OneToolPerUnit, TheOtherLinkToTheSameUnitIsRefusedToo)
{
    const Link link = GetParam();
    const Link other = link == Link::USB ? Link::CAN : Link::USB;
    sim::reset();
    CommsManager first;
    ASSERT_TRUE(connect_verified(first, link));
    CommsManager second;
    EXPECT_FALSE(connect_verified(second, other));
    const std::string where = other == Link::USB ? sim::unit_hid_interface().path : "can0";
    EXPECT_EQ(second.connectFailure(iface_of(other)), "the unit on " + where + " (" + linktest::unit_serial_text() +
                                                          ") is in use by another Skarvel EFIS Config (process " +
                                                          std::to_string(getpid()) + ")");
    EXPECT_FALSE(second.isConnected());
    for (const linktest::Sent& s : linktest::sent_on(other))
        EXPECT_EQ(s.can_ID, uint32_t(CANMSG_WHOAMI)) << "nothing past the handshake";

    // Both links of one program reach the unit; the lock lasts while either does.
    const auto close = [&](Link l) {
        if (l == Link::USB)
            first.getUSBHID()->disconnect();
        else
            first.getCANFD()->disconnect();
    };
    ASSERT_TRUE(connect_verified(first, other));
    close(link);
    EXPECT_FALSE(connect_verified(second, link));
    close(other);
    EXPECT_TRUE(connect_verified(second, other));
    capture([&] { EXPECT_EQ(set_value(&second, SETTINGS_COMMS, VNE_INDEX, 173), 0); });
    EXPECT_EQ(unit().working.vspeeds.Vne, 173);
}

INSTANTIATE_TEST_SUITE_P(Links, OneToolPerUnit, testing::Values(Link::USB, Link::CAN), linktest::link_name);

TEST(ConnectFailure, SaysWhatWasFoundAndSendsNothingPastTheHandshake)
{
    const std::string two_units =
        "2 units answer on can0 (" + linktest::unit_serial_text() + ", " + linktest::second_serial_text() + "): settings and uploads over CAN FD need one unit on the "
        "bus - connect the unit by USB, or take the other off the bus";
    const struct {
        const char* name;
        Link link;
        std::function<void()> world;
        uint32_t serial;
        std::string failure;  // empty: connected
        size_t sent;          // handshakes on the wire
    } cases[] = {
        {"can0 in classic mode", Link::CAN, [] { sim::set_can_interface_mtu("can0", 16); }, ANY,
         "can0 is not in CAN FD mode (MTU 16): bring it up with `ip link set can0 up type can bitrate 1000000 "
         "dbitrate 5000000 fd on`",
         0},
        {"node without the udev rule", Link::USB,
         [] {
             sim::HidInterface node = sim::unit_hid_interface();
             node.openable = false;
             sim::set_hid_interfaces({node});
         },
         ANY,
         "found the unit at " + sim::unit_hid_interface().path +
             " but cannot open it: Permission denied - install the udev rule, see README",
         0},
        {"two units on the bus", Link::CAN, [] { sim::set_second_unit(false, true); }, ANY, two_units, 1},
        {"the second answers late in the window", Link::CAN,
         [] {
             sim::set_second_unit(false, true);
             sim::with_second_unit([](sim::VirtualUnit& u) { u.faults.extra_delay_us = 80000; });
         },
         ANY, two_units, 1},
        {"one unit answering twice is one unit", Link::CAN,
         [] { sim::with_unit([](sim::VirtualUnit& u) { u.faults.duplicate = {CANMSG_WHOAMI}; }); }, ANY, "", 1},
        {"the unit on the bus is not the one asked for", Link::CAN, [] {}, sim::second_unit_serial(),
         "the unit on can0 has serial number " + linktest::unit_serial_text() + ", not " +
             linktest::second_serial_text(),
         1},
        {"no unit on USB has the serial number", Link::USB, [] { sim::set_second_unit(true, false); }, 0x0BADBEEF,
         "no unit with serial number 0x0BADBEEF on USB (found " + linktest::unit_serial_text() + ", " +
             linktest::second_serial_text() + ")", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        linktest::world_with_unit_on(c.link);
        c.world();
        CommsManager comms;
        bool ok = false;
        const linktest::Output o = capture([&] {
            ok = c.link == Link::USB ? comms.connectVerifiedUSB(c.serial) : comms.connectVerifiedCANFD("can0", c.serial);
        });
        EXPECT_EQ(ok, c.failure.empty());
        EXPECT_EQ(comms.isConnected(), ok);
        EXPECT_EQ(comms.connectFailure(iface_of(c.link)), c.failure);
        if (!ok) {
            EXPECT_NE((o.out + o.err).find(c.failure), std::string::npos) << o.out << o.err;
        }
        const std::vector<linktest::Sent> sent = linktest::sent_on(c.link);
        EXPECT_EQ(sent.size(), c.sent);
        for (const linktest::Sent& s : sent)
            EXPECT_EQ(s.can_ID, uint32_t(CANMSG_WHOAMI));
    }
}

TEST(UnitsOnUsb, ToldApartBySerialNumber)
{
    linktest::world_with_unit_on(Link::USB);
    sim::set_second_unit(true, false);
    CommsManager comms;
    std::vector<FoundUnit> found;
    capture([&] { found = comms.findUSBUnits(); });
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, sim::unit_hid_interface().path);
    EXPECT_EQ(found[0].serial, sim::unit_serial());
    EXPECT_EQ(found[1].path, sim::second_unit_hid_interface().path);
    EXPECT_EQ(found[1].serial, sim::second_unit_serial());
    EXPECT_FALSE(comms.isConnected());

    // Without a choice the first, as the window does.
    ASSERT_TRUE(connect_verified(comms, Link::USB));
    EXPECT_EQ(comms.serialNumber(USB_HID), sim::unit_serial());
    EXPECT_EQ(comms.usbUnitsFound(), 2);

    ASSERT_TRUE(connect_verified(comms, Link::USB, sim::second_unit_serial()));
    capture([&] { EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 172), 0); });
    EXPECT_EQ(unit(1).working.vspeeds.Vne, 172);
    EXPECT_EQ(unit(0).working.vspeeds.Vne, sim::factory_settings().vspeeds.Vne);
}

}  // namespace
