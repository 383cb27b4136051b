// Exchanges as a real bus delivers them: answers that come late or twice,
// traffic from other nodes, interrupted system calls. Each command must
// take its own answer and end within its link's time-out.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "EFIS_shared/get_set.h"
#include "comms/comms.h"
#include "link_support.h"

namespace {

using linktest::capture;
using linktest::Link;
using linktest::msg_of;
using Clock = std::chrono::steady_clock;

int timeout_ms(Link link) { return link == Link::USB ? USBHID::READ_TIMEOUT_MS : CANFD::READ_TIMEOUT_MS; }

class RealBus : public testing::TestWithParam<Link> {
protected:
    void SetUp() override
    {
        sim::reset();
        comms.reset(new CommsManager());
        ASSERT_TRUE(linktest::connect_only(*comms, GetParam()));
    }

    // Faults of the unit; late answers come 100 ms after the tool gave up.
    void faults(const std::function<void(sim::UnitFaults&)>& f)
    {
        const uint32_t late = uint32_t(timeout_ms(GetParam()) + 100) * 1000;
        sim::with_unit([&](sim::VirtualUnit& u) {
            u.faults = sim::UnitFaults();
            u.faults.late_us = late;
            f(u.faults);
        });
    }

    // Frames take their time on the wire, so a copy of an answer trails the
    // original and may come after the next request went out.
    static void wire_times()
    {
        sim::set_latency(sim::Link::USB, sim::usb_full_speed_latency());
        sim::set_latency(sim::Link::CAN, sim::canfd_latency(500e3, 2e6));
    }

    uint32_t value(uint8_t index, bool* ok)
    {
        uint32_t v = 0;
        capture([&] { v = get_value(comms.get(), SETTINGS_COMMS, index, ok); });
        return v;
    }

    std::unique_ptr<CommsManager> comms;
};

INSTANTIATE_TEST_SUITE_P(Links, RealBus, testing::Values(Link::USB, Link::CAN), linktest::link_name);

TEST_P(RealBus, LateOrDoubledValueIsNotTakenForTheNextOne)
{
    wire_times();
    Settings_t f = sim::factory_settings();
    for (bool doubled : {false, true}) {
        SCOPED_TRACE(doubled ? "doubled" : "late");
        faults([&](sim::UnitFaults& u) {
            if (doubled)
                u.duplicate = {CANMSG_REQUEST_USER_SETTING};
            else
                u.late_index = {VNE_INDEX};
        });
        bool ok = false;
        const uint32_t vne = value(VNE_INDEX, &ok);
        EXPECT_EQ(ok, doubled);
        if (doubled) {
            EXPECT_EQ(vne, f.vspeeds.Vne);
        }
        faults([](sim::UnitFaults&) {});
        // Every following request gets its own value, not the one before.
        for (uint8_t index : {VFE_INDEX, VS0_INDEX, MIN_VOLTS_INDEX}) {
            EXPECT_EQ(value(index, &ok), settings_get_value(&f, settings_struct_index(index))) << int(index);
            EXPECT_TRUE(ok);
        }
    }
}

TEST_P(RealBus, DoubledAcknowledgementDoesNotHideARefusal)
{
    wire_times();
    faults([](sim::UnitFaults& u) { u.duplicate = {CANMSG_SET_USER_SETTING}; });
    linktest::Output o = capture([&] {
        EXPECT_EQ(set_value(comms.get(), SETTINGS_COMMS, VNE_INDEX, 180), 0);
        // The unit refuses a set of an index it does not have.
        EXPECT_EQ(set_value(comms.get(), SETTINGS_COMMS, 200, 1), -1);
    });
    EXPECT_NE(o.out.find("NACK received from device (CAN ID 0x254)."), std::string::npos) << o.out;
}

// Other nodes keep talking while the unit ignores the command: every wait
// still ends once the link's read time-out has passed since the command.
TEST_P(RealBus, WaitsEndWithinTheLinkTimeOutWhateverArrives)
{
    const Link link = GetParam();
    faults([](sim::UnitFaults& u) {
        u.ignore = {CANMSG_SET_USER_SETTING, CANMSG_ERASE_MX25, CANMSG_SAVE_USER_SETTINGS};
    });
    std::atomic<bool> stop(false);
    std::thread chatter;
    if (link == Link::CAN) {
        std::vector<sim::Broadcast> b = sim::unit_sensor_broadcasts();
        b.push_back(sim::second_node_broadcast());
        sim::set_can_broadcasts(b);
    } else {
        chatter = std::thread([&] {
            for (int i = 0; i < 400 && !stop; ++i) {  // bounded: a hung wait cannot keep it alive
                linktest::inject(Link::USB, msg_of(CANMSG_ACC, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    const std::function<bool()> waits[] = {
        [&] { return set_value(comms.get(), SETTINGS_COMMS, VNE_INDEX, 180) == 0; },
        [&] {
            comms->write(msg_of(CANMSG_ERASE_MX25, 3, {0xBE, 0x40, 0x03}));
            return wait_for_mx25_ack(comms.get(), nullptr, nullptr);
        },
        [&] {
            comms->write(msg_of(CANMSG_SAVE_USER_SETTINGS, 4, {1, 2, 3, 4}));
            return wait_for_ack_and_mx25_ack(comms.get(), CANMSG_SAVE_USER_SETTINGS, nullptr, nullptr, nullptr);
        },
    };
    for (const auto& wait : waits) {
        const Clock::time_point start = Clock::now();
        bool result = true;
        capture([&] { result = wait(); });
        EXPECT_FALSE(result);
        // The grace period of the late-answer drain comes before the command.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(timeout_ms(link) + 250 + 300));
    }
    stop = true;
    if (chatter.joinable())
        chatter.join();
}

TEST_P(RealBus, HandshakeSkipsTrafficAndStaleAnswers)
{
    if (GetParam() == Link::CAN)
        sim::set_can_broadcasts(sim::unit_sensor_broadcasts());
    faults([](sim::UnitFaults& u) { u.unrelated_before = 2; });
    // A value answer from an earlier session, still waiting on the link.
    linktest::inject(GetParam(), msg_of(CANMSG_SEND_USER_SETTING, 4, {0x96, 0, 0, 0}));
    uint32_t serial = 0;
    capture([&] { serial = get_serialnumber(comms.get(), linktest::iface_of(GetParam())); });
    EXPECT_EQ(serial, sim::unit_serial());
}

TEST_P(RealBus, StoreTakesItsTwoAnswersInEitherOrder)
{
    struct Case {
        const char* name;
        std::function<void(sim::UnitFaults&)> arm;
        bool result;
        bool flash_ok;
    } cases[] = {
        {"flash acknowledgement first", [](sim::UnitFaults&) {}, true, true},
        {"acknowledgement first", [](sim::UnitFaults& u) { u.store_ack_first = true; }, true, true},
        {"refused", [](sim::UnitFaults& u) { u.nack = {CANMSG_SAVE_USER_SETTINGS}; }, false, false},
        {"erase failed", [](sim::UnitFaults& u) { u.store_flash_nack = true; }, false, false},
        {"acknowledged, flash acknowledgement never comes",
         [](sim::UnitFaults& u) {
             u.answer_with[CANMSG_SAVE_USER_SETTINGS] = {linktest::ack_of(CANMSG_SAVE_USER_SETTINGS)};
         },
         false, false},
    };
    Settings_t rec = sim::factory_settings();
    rec.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&rec);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faults(c.arm);
        bool flash_ok = !c.flash_ok;
        bool result = !c.result;
        capture([&] {
            ASSERT_GT(comms->write(msg_of(CANMSG_SAVE_USER_SETTINGS, 4,
                                          {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)})),
                      0);
            result = wait_for_ack_and_mx25_ack(comms.get(), CANMSG_SAVE_USER_SETTINGS, &flash_ok, nullptr, nullptr);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(flash_ok, c.flash_ok);
    }
}

TEST(RealBusCan, InterruptedCallsAreRetried)
{
    sim::reset();
    CommsManager comms;
    ASSERT_TRUE(comms.connectCANFD("can0"));
    sim::inject_can_eintr(2, 2);
    bool ok = false;
    uint32_t v = 0;
    linktest::Output o = capture([&] { v = get_value(&comms, SETTINGS_COMMS, VNE_INDEX, &ok); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(v, 150u);
    EXPECT_EQ(o.err, "");
}

}  // namespace
