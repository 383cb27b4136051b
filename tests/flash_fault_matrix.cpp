// Every exchange the tool makes against every fault the virtual unit can
// inject, over both links. For each cell: nothing crashes, the exchange ends
// within its time-outs, what it reports is true (a success the unit did not
// give is never claimed), the next exchange gets its own answer, and the
// flash holds no write onto non-erased bytes or outside the region. Faults
// that do no harm (other traffic, a doubled answer) must not make an
// exchange fail. The matrix of outcomes is printed at the end of each run.

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "EFIS_shared/get_set.h"
#include "flash_support.h"

namespace {

using namespace flashtest;
using Clock = std::chrono::steady_clock;

enum class Fault { Silence, Nack, FlashNack, WrongPayload, WrongOp, Unrelated, Late, Duplicate, Unplug };
const Fault FAULTS[] = {Fault::Silence,   Fault::Nack,      Fault::FlashNack, Fault::WrongPayload, Fault::WrongOp,
                        Fault::Unrelated, Fault::Late,      Fault::Duplicate, Fault::Unplug};
const char* const FAULT_NAMES[] = {"silence", "NACK", "flash NACK", "wrong payload", "wrong op",
                                   "traffic", "late", "duplicate", "unplug"};

bool harmless(Fault f) { return f == Fault::Unrelated || f == Fault::Duplicate; }

struct Exchange {
    const char* name;
    uint32_t command;                       // the command the fault is aimed at
    std::vector<uint8_t> sample;            // its payload, for the unit's answers to cut
    // Runs the exchange; true when the tool reports success.
    std::function<bool(CommsManager&)> run;
    // Whether that success is true of the unit afterwards.
    std::function<bool(const sim::VirtualUnit&)> truth;
    int commands;  // how many commands it sends at most (for its time bound)
};

COMMS_MSG_t command(uint32_t id, std::initializer_list<uint8_t> payload) { return sim::make_msg(id, payload); }

const Bytes& small_image()
{
    static const Bytes image = firmware_file(65536, 200, 200);
    return image;
}

std::vector<Exchange> exchanges()
{
    const uint32_t bank1 = FW_BANK1_START_PAGE * MX25_BLOCK_SIZE;
    return {
        {"handshake", CANMSG_WHOAMI, {0xEF, 0x15},
         [](CommsManager& c) {
             return get_serialnumber(&c, c.getActiveInterface()) != 0xFFFFFFFFu;
         },
         [](const sim::VirtualUnit&) { return true; }, 1},
        {"value", CANMSG_REQUEST_USER_SETTING, {VNE_INDEX},
         [](CommsManager& c) {
             bool ok = false;
             return get_value(&c, SETTINGS_COMMS, VNE_INDEX, &ok) == 150 && ok;
         },
         [](const sim::VirtualUnit&) { return true; }, 1},
        {"set", CANMSG_SET_USER_SETTING, {VNE_INDEX, 181, 0, 0, 0},
         [](CommsManager& c) { return set_value(&c, SETTINGS_COMMS, VNE_INDEX, 181) == 0; },
         [](const sim::VirtualUnit& u) { return u.working.vspeeds.Vne == 181; }, 1},
        {"store", CANMSG_SAVE_USER_SETTINGS, {0, 0, 0, 0},
         [](CommsManager& c) {
             Settings_t rec = sim::factory_settings();
             rec.crc32 = 0;
             const uint32_t crc = settings_CalcCRC(&rec);
             c.write(command(CANMSG_SAVE_USER_SETTINGS,
                             {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}));
             return wait_for_ack_and_mx25_ack(&c, CANMSG_SAVE_USER_SETTINGS, nullptr, nullptr, nullptr);
         },
         [](const sim::VirtualUnit& u) { return u.stores == 1; }, 1},
        {"reboot", CANMSG_ENTER_BL, {0x48}, [](CommsManager& c) { return c.write(command(CANMSG_ENTER_BL, {0x48})) > 0; },
         // Nothing is awaited: "sent" is all the tool says.
         [](const sim::VirtualUnit&) { return true; }, 1},
        {"partition query", CANMSG_GET_PARTITION, {}, [](CommsManager& c) { return get_mx25_partition(&c) == partition_1; },
         [](const sim::VirtualUnit&) { return true; }, 1},
        {"erase", CANMSG_ERASE_MX25, {0xBE, 0x40, 0x03},
         [](CommsManager& c) { return mx25_erase(&c, OP_BLOCK_ERASE, 832, nullptr, nullptr, 0, 1); },
         [bank1](const sim::VirtualUnit& u) { return u.flash.erased(bank1, MX25_BLOCK_SIZE); }, 1},
        {"address", CANMSG_SET_ADDR_MX25, {0x00, 0x00, 0x40, 0x03}, [bank1](CommsManager& c) { return set_mx25_addr(&c, bank1); },
         [bank1](const sim::VirtualUnit& u) { return u.address_set && u.write_pointer == bank1; }, 1},
        {"write packet", CANMSG_WRITE_MX25, {1, 2, 3, 4},
         [](CommsManager& c) {
             TempFile f(small_image());
             return send_fw(&c, f.path.c_str(), nullptr, nullptr);
         },
         [bank1](const sim::VirtualUnit& u) { return u.flash.read(bank1, small_image().size()) == small_image(); }, 8},
        {"close database", CANMSG_AIRPORT_DB_OP, {0xDC},
         [](CommsManager& c) {
             c.write(command(CANMSG_AIRPORT_DB_OP, {0xDC}));
             return wait_for_ack(&c, CANMSG_AIRPORT_DB_OP);
         },
         [](const sim::VirtualUnit& u) { return !u.airport_db_open; }, 1},
        {"open database", CANMSG_AIRPORT_DB_OP, {0xDA},
         [](CommsManager& c) { return c.write(command(CANMSG_AIRPORT_DB_OP, {0xDA})) > 0; },
         // Not acknowledged: "sent" is all the tool says.
         [](const sim::VirtualUnit&) { return true; }, 1},
    };
}

// Aims `fault` at the exchange's command; answers come `late_us` after the
// tool gave up.
void arm(sim::VirtualUnit& u, Fault fault, const Exchange& x, uint32_t late_us)
{
    const uint32_t command = x.command;
    sim::UnitFaults& f = u.faults;
    f.late_us = late_us;
    switch (fault) {
    case Fault::Silence:
        f.ignore = {command};
        break;
    case Fault::Nack:
        f.nack = {command};
        break;
    case Fault::FlashNack:
        f.answer_with[command] = {sim::make_msg(CANMSG_MX25_NACK, {0xAA})};
        break;
    case Fault::WrongPayload: {
        // The unit's own answers, cut to one byte.
        sim::VirtualUnit scratch = u;
        scratch.faults = sim::UnitFaults();
        scratch.faults.lenient_store = true;
        scratch.address_set = true;
        std::vector<COMMS_MSG_t> cut;
        COMMS_MSG_t req = sim::make_msg(command, {});
        req.msg_len = uint8_t(x.sample.size());
        std::copy(x.sample.begin(), x.sample.end(), req.data);
        for (const sim::Answer& a : scratch.handle(req)) {
            COMMS_MSG_t m = a.msg;
            std::memset(m.data + 1, 0, sizeof m.data - 1);
            m.msg_len = 1;
            cut.push_back(m);
        }
        if (!cut.empty())
            f.answer_with[command] = cut;
        break;
    }
    case Fault::WrongOp:
        f.wrong_flash_op = {command};
        f.wrong_ack_id = {command};
        break;
    case Fault::Unrelated:
        f.unrelated_before = 3;
        break;
    case Fault::Late:
        f.late = {command};
        break;
    case Fault::Duplicate:
        f.duplicate = {command};
        break;
    case Fault::Unplug:
        u.unplugged = true;
        break;
    }
}

class FaultMatrix : public testing::TestWithParam<std::tuple<Link, int>> {};

TEST_P(FaultMatrix, EveryFaultIsReportedTruthfullyAndSafely)
{
    const Link link = std::get<0>(GetParam());
    const Exchange x = exchanges()[size_t(std::get<1>(GetParam()))];
    const int timeout_ms = link == Link::USB ? USBHID::READ_TIMEOUT_MS : CANFD::READ_TIMEOUT_MS;
    std::string row = std::string(x.name) + (link == Link::USB ? " (USB)" : " (CAN)") + ":";
    for (Fault fault : FAULTS) {
        SCOPED_TRACE(FAULT_NAMES[int(fault)]);
        world_on(link);
        CommsManager comms;
        ASSERT_TRUE(linktest::connect_only(comms, link));
        sim::with_unit([&](sim::VirtualUnit& u) {
            // The erase must be seen to erase: the block holds data first.
            u.partition = partition_1;
            const uint8_t old[4] = {1, 2, 3, 4};
            u.flash.program(FW_BANK1_START_PAGE * MX25_BLOCK_SIZE, old, sizeof old, true);
            arm(u, fault, x, uint32_t(timeout_ms + 100) * 1000);
        });

        const Clock::time_point start = Clock::now();
        bool claimed = false;
        linktest::capture([&] { claimed = x.run(comms); });
        const auto took = Clock::now() - start;
        // Each command: its time-out, the grace after an unanswered one, and slack.
        EXPECT_LT(took, std::chrono::milliseconds(x.commands * (timeout_ms + 250) + 500));

        const sim::VirtualUnit u = unit();
        if (claimed) {
            EXPECT_TRUE(x.truth(u)) << "success claimed that the unit did not give";
        }
        if (harmless(fault)) {
            EXPECT_TRUE(claimed) << "a harmless fault made the exchange fail";
        }
        EXPECT_EQ(u.flash.describe_violations(), "");
        row += std::string(" ") + FAULT_NAMES[int(fault)] + "=" + (claimed ? "ok" : "failed");

        // The next exchange is not misled by anything the fault left behind.
        if (fault != Fault::Unplug) {
            sim::with_unit([](sim::VirtualUnit& v) { v.faults = sim::UnitFaults(); });
            bool ok = false;
            uint32_t vne = 0;
            linktest::capture([&] { vne = get_value(&comms, SETTINGS_COMMS, VNE_INDEX, &ok); });
            EXPECT_TRUE(ok);
            EXPECT_EQ(vne, unit().working.vspeeds.Vne) << "the next answer is its own";
        }
    }
    std::printf("%s\n", row.c_str());
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix,
                         testing::Combine(testing::Values(Link::USB, Link::CAN), testing::Range(0, 11)),
                         [](const testing::TestParamInfo<std::tuple<Link, int>>& i) {
                             std::string name = exchanges()[size_t(std::get<1>(i.param))].name;
                             for (char& c : name)
                                 if (c == ' ')
                                     c = '_';
                             return std::string(std::get<0>(i.param) == Link::USB ? "USB_" : "CAN_") + name;
                         });

}  // namespace
