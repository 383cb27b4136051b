// Single-value requests and acknowledgement waits, run over each link in
// turn through the real transports.

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EFIS_shared/get_set.h"
#include "comms/comms.h"
#include "link_support.h"

namespace {

using linktest::ack_of;
using linktest::capture;
using linktest::inject;
using linktest::Link;
using linktest::msg_of;
using linktest::Sent;

const uint32_t kFail = 0xFFFFFFFFu;

class Protocol : public testing::TestWithParam<Link> {
protected:
    void SetUp() override { fresh_link(); }

    // A world with only the link under test connected; earlier leftovers gone.
    void fresh_link()
    {
        comms.reset();
        sim::reset();
        comms.reset(new CommsManager());
        ASSERT_TRUE(linktest::connect_only(*comms, GetParam()));
        sim::clear_captures();
    }

    // The unit answers `command` with exactly `answers`, once it has received it.
    static void answer(uint32_t command, const std::vector<COMMS_MSG_t>& answers)
    {
        sim::with_unit([&](sim::VirtualUnit& u) { u.faults.answer_with[command] = answers; });
    }

    // What a silent unit produces on this link: USB reports a time-out, CAN an error.
    std::string silent(const char* usb_line, const char* can_line) const
    {
        return std::string(GetParam() == Link::USB ? usb_line : can_line) + "\n";
    }

    std::unique_ptr<CommsManager> comms;
};

struct Family {
    target_comms_t target;
    uint32_t request;
    uint32_t response;
    uint32_t set;
    uint32_t store;
};

TEST_P(Protocol, TargetSelectsIdentifierFamily)
{
    const Family families[] = {
        {SETTINGS_COMMS, 0x376, 0x377, 0x378, 0x379},
        {SENSOR_COMMS, 0x354, 0x355, 0x356, 0x357},
    };
    for (const Family& f : families) {
        SCOPED_TRACE(f.target);
        fresh_link();
        answer(f.request, {msg_of(f.response, 4, {0x80, 0x00, 0x00, 0x00})});
        answer(f.set, {ack_of(f.set)});
        answer(f.store, {ack_of(f.store)});
        bool ok = false;
        linktest::Output o = capture([&] {
            EXPECT_EQ(get_value(comms.get(), f.target, 252, &ok), 128u);
            EXPECT_EQ(set_value(comms.get(), f.target, 24, 80), 0);
            EXPECT_EQ(store_value(comms.get(), f.target, 0xA1B2C3D4), 0);
        });
        EXPECT_TRUE(ok);
        EXPECT_EQ(o.out, "");
        const std::vector<Sent> expected = {
            {f.request, {0xFC}},
            {f.set, {0x18, 0x50, 0x00, 0x00, 0x00}},
            {f.store, {0xD4, 0xC3, 0xB2, 0xA1}},
        };
        EXPECT_EQ(linktest::sent_on(GetParam()), expected);
    }
}

TEST_P(Protocol, GetValueSkipsShortAndUnrelatedMessages)
{
    answer(0x376, {
                      msg_of(0x377, 3, {0x11, 0x22, 0x33}),
                      msg_of(0x302, 8, {1, 2, 3, 4, 5, 6, 7, 8}),
                      ack_of(0x376),
                      msg_of(0x377, 8, {0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}),
                  });
    bool ok = false;
    uint32_t value = 0;
    linktest::Output o = capture([&] { value = get_value(comms.get(), SETTINGS_COMMS, 9, &ok); });
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(o.out, "");
}

// The unit's white colour is a real 0xFFFFFFFF; only ok tells it from a failure.
TEST_P(Protocol, ValuesFromTheUnitIncludingAllOnes)
{
    Settings_t factory = sim::factory_settings();
    ASSERT_EQ(factory.airplane_color, kFail);
    const uint8_t indices[] = {VNE_INDEX, MIN_VOLTS_INDEX, REGISTRATION_1_INDEX, AIRPLANE_COLOR_INDEX, 252};
    for (uint8_t index : indices) {
        SCOPED_TRACE(static_cast<int>(index));
        bool ok = false;
        uint32_t value = 0;
        linktest::Output o = capture([&] { value = get_value(comms.get(), SETTINGS_COMMS, index, &ok); });
        EXPECT_TRUE(ok);
        EXPECT_EQ(value, settings_get_value(&factory, static_cast<settings_struct_index>(index)));
        EXPECT_EQ(o.out, "");
    }
}

double thread_cpu_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_P(Protocol, SilentUnitEndsEveryWaitThroughTheRead)
{
    linktest::silence_unit();
    bool ok = true;
    uint32_t value = 0;
    double cpu = 0;
    linktest::Output o = capture([&] {
        double cpu_before = thread_cpu_seconds();
        value = get_value(comms.get(), SETTINGS_COMMS, VNE_INDEX, &ok);
        cpu = thread_cpu_seconds() - cpu_before;
    });
    EXPECT_EQ(value, kFail);
    EXPECT_FALSE(ok);
    EXPECT_EQ(o.out, silent("No response received from device (timeout or no data).",
                            "Error reading response from device."));
    // The wait blocks in the read; a polling loop would burn the whole time-out.
    EXPECT_LT(cpu, 0.2);

    o = capture([&] { EXPECT_EQ(set_value(comms.get(), SETTINGS_COMMS, VNE_INDEX, 180), -1); });
    EXPECT_EQ(o.out, silent("No ACK received from device (timeout or no data).", "Error reading ACK from device."));

    uint8_t op = 0x77;
    o = capture([&] {
        EXPECT_GT(comms->write(msg_of(CANMSG_SET_ADDR_MX25, 4, {0, 0, 0x40, 0x03})), 0);
        EXPECT_FALSE(wait_for_mx25_ack(comms.get(), &op, nullptr));
    });
    EXPECT_EQ(o.out, silent("wait_for_mx25_ack: No response received (timeout or no data).",
                            "wait_for_mx25_ack: Error reading response from device."));
    EXPECT_EQ(op, 0x77);
}

TEST_P(Protocol, GetValueGivesUpWhenChatterOutlastsDeadline)
{
    linktest::silence_unit();
    std::atomic<bool> stop(false);
    const Link link = GetParam();
    std::thread chatter([&] {
        // Bounded, so a hung call cannot keep the thread alive forever.
        for (int i = 0; i < 500 && !stop.load(); ++i) {
            inject(link, msg_of(CANMSG_ACC, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    bool ok = true;
    uint32_t value = 0;
    linktest::Output o = capture([&] { value = get_value(comms.get(), SETTINGS_COMMS, VNE_INDEX, &ok); });
    stop = true;
    chatter.join();
    EXPECT_EQ(value, kFail);
    EXPECT_FALSE(ok);
    EXPECT_EQ(o.out, "get_value: timeout waiting for response (expected CAN ID 0x377).\n");
}

struct AckCase {
    const char* name;
    std::vector<COMMS_MSG_t> arriving;
    bool result;
    std::string out;
};

TEST_P(Protocol, AckVerdicts)
{
    const AckCase cases[] = {
        {"matching acknowledgement", {ack_of(0x378)}, true, ""},
        {"unrelated traffic and flash ack skipped",
         {msg_of(0x302, 8, {1, 2, 3, 4, 5, 6, 7, 8}), msg_of(0x256, 5, {0xAA, 0, 0, 0, 0}), ack_of(0x378)}, true, ""},
        {"length not six", {msg_of(0x255, 5, {0x78, 0x03, 0x00, 0x00, 0xEF})}, false,
         "ACK validation failed: msg_len mismatch (expected 0x06, got 0x05)\n"},
        {"acknowledges another command", {ack_of(0x379), ack_of(0x378)}, false,
         "ACK validation failed: data can_ID mismatch (expected 0x00000378, got 0x00000379)\n"},
        {"marker reversed", {msg_of(0x255, 6, {0x78, 0x03, 0x00, 0x00, 0x15, 0xEF})}, false,
         "ACK validation failed: data[4-5] mismatch (expected 0x15 0xEF, got 0x15 0xEF)\n"},
        {"nack before ack", {msg_of(0x254, 0, {}), ack_of(0x378)}, false, "NACK received from device (CAN ID 0x254).\n"},
        {"nack of another command", {msg_of(0x302, 8, {}), msg_of(0x254, 4, {0x16, 0x04, 0, 0})}, false,
         "NACK received from device (CAN ID 0x254).\n"},
    };
    for (const AckCase& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_link();
        answer(0x378, c.arriving);
        int result = 1;
        linktest::Output o = capture([&] { result = set_value(comms.get(), SETTINGS_COMMS, VNE_INDEX, 180); });
        EXPECT_EQ(result, c.result ? 0 : -1);
        EXPECT_EQ(o.out, c.out);
    }
}

struct FlashAckCase {
    const char* name;
    std::vector<COMMS_MSG_t> arriving;
    bool result;
    uint8_t op;
    uint32_t address;
    std::string out;
};

TEST_P(Protocol, FlashAckVerdicts)
{
    const uint8_t kOpUnset = 0x77;
    const uint32_t kAddrUnset = 0xDEADBEEF;
    const FlashAckCase cases[] = {
        {"operation only, address untouched", {msg_of(0x256, 4, {0xAA, 0x00, 0x10, 0x00})}, true, 0xAA, kAddrUnset,
         ""},
        {"operation and address", {msg_of(0x256, 5, {0xAA, 0x00, 0x10, 0x00, 0x00})}, true, 0xAA, 0x1000, ""},
        {"acknowledgement and sensor traffic skipped",
         {msg_of(0x302, 8, {}), ack_of(0x416), msg_of(0x256, 5, {0xA1, 0x00, 0x00, 0x01, 0x00})}, true, 0xA1,
         0x10000, ""},
        {"generic nack is not its verdict", {msg_of(0x254, 0, {}), msg_of(0x256, 5, {0xAA, 0x40, 0, 0, 0})}, true,
         0xAA, 0x40, ""},
        {"flash nack", {msg_of(0x257, 1, {0xAA}), msg_of(0x256, 5, {0xAA, 0, 0, 0, 0})}, false, kOpUnset, kAddrUnset,
         "wait_for_mx25_ack: Operation failed (CAN ID 0x257)\n"},
    };
    const COMMS_MSG_t set_address = msg_of(CANMSG_SET_ADDR_MX25, 4, {0, 0, 0, 0});
    for (const FlashAckCase& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_link();
        answer(CANMSG_SET_ADDR_MX25, c.arriving);
        uint8_t op = kOpUnset;
        uint32_t address = kAddrUnset;
        bool result = !c.result;
        linktest::Output o = capture([&] {
            ASSERT_GT(comms->write(set_address), 0);
            result = wait_for_mx25_ack(comms.get(), &op, &address);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(op, c.op);
        EXPECT_EQ(address, c.address);
        EXPECT_EQ(o.out, c.out);
    }
    fresh_link();
    answer(CANMSG_SET_ADDR_MX25, {msg_of(0x256, 5, {0xAA, 0, 0, 0, 0})});
    ASSERT_GT(comms->write(set_address), 0);
    EXPECT_TRUE(wait_for_mx25_ack(comms.get(), nullptr, nullptr));
}

struct FaultCase {
    const char* name;
    void (*fault)(sim::UnitFaults&);
    int result;
    std::string out;
};

TEST_P(Protocol, SetValueAgainstUnitFaults)
{
    const FaultCase cases[] = {
        {"answered", [](sim::UnitFaults&) {}, 0, ""},
        {"sensor frames before the answer", [](sim::UnitFaults& f) { f.unrelated_before = 3; }, 0, ""},
        {"nack", [](sim::UnitFaults& f) { f.nack.insert(0x378); }, -1, "NACK received from device (CAN ID 0x254).\n"},
        {"bad marker", [](sim::UnitFaults& f) { f.bad_ack.insert(0x378); }, -1,
         "ACK validation failed: data[4-5] mismatch (expected 0x15 0xEF, got 0x15 0xEF)\n"},
        {"names another command", [](sim::UnitFaults& f) { f.wrong_ack_id.insert(0x378); }, -1,
         "ACK validation failed: data can_ID mismatch (expected 0x00000378, got 0x00000379)\n"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_link();
        sim::with_unit([&](sim::VirtualUnit& u) { c.fault(u.faults); });
        int result = 1;
        linktest::Output o = capture([&] { result = set_value(comms.get(), SETTINGS_COMMS, 24, 80); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(linktest::sent_on(GetParam()), (std::vector<Sent>{{0x378, {0x18, 0x50, 0x00, 0x00, 0x00}}}));
    }
}

TEST_P(Protocol, OversizedRecordNeverReachesTheWire)
{
    COMMS_MSG_t m = msg_of(CANMSG_WRITE_MX25, 65, std::vector<uint8_t>(64, 0x5A));
    capture([&] { EXPECT_EQ(comms->write(m), -1); });
    EXPECT_TRUE(sim::hid_written().empty());
    EXPECT_TRUE(sim::can_written().empty());
}

INSTANTIATE_TEST_SUITE_P(Links, Protocol, testing::Values(Link::USB, Link::CAN), linktest::link_name);

TEST(ProtocolUnconnected, EveryCallFailsBeforeSending)
{
    sim::reset();
    CommsManager comms;
    bool ok = true;
    uint8_t op = 0x77;
    linktest::Output o = capture([&] {
        EXPECT_EQ(get_value(&comms, SETTINGS_COMMS, VNE_INDEX, &ok), kFail);
        EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 180), -1);
        EXPECT_EQ(store_value(&comms, SETTINGS_COMMS, 0x12345678), -1);
        EXPECT_FALSE(wait_for_ack(&comms, 0x378));
        EXPECT_FALSE(wait_for_mx25_ack(&comms, &op, nullptr));
        EXPECT_EQ(get_value(nullptr, SETTINGS_COMMS, VNE_INDEX), kFail);
        EXPECT_EQ(set_value(nullptr, SETTINGS_COMMS, VNE_INDEX, 180), -1);
        EXPECT_FALSE(wait_for_ack(nullptr, 0x378));
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(op, 0x77);
    EXPECT_EQ(o.out, "CommsManager not connected.\nCommsManager not connected.\n");
    EXPECT_TRUE(sim::hid_written().empty());
    EXPECT_TRUE(sim::can_written().empty());
}

}  // namespace
