// The virtual unit on its own: what it answers to each request, and how its
// faults bend those answers.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "EFIS_shared/can_export.h"
#include "EFIS_shared/get_set.h"
#include "sim/virtual_unit.h"

namespace {

using sim::make_msg;
using sim::VirtualUnit;

std::vector<uint8_t> payload(const COMMS_MSG_t& m)
{
    return std::vector<uint8_t>(m.data, m.data + m.msg_len);
}

std::vector<uint32_t> ids(const std::vector<sim::Answer>& answers)
{
    std::vector<uint32_t> out;
    for (const sim::Answer& a : answers) {
        const uint32_t id = a.msg.can_ID;  // packed: no reference to it
        out.push_back(id);
    }
    return out;
}

// The checksum the tool sends with the store command for `rec`.
uint32_t store_crc(Settings_t rec)
{
    rec.magic = SETTINGS_MAGIC;
    rec.crc32 = 0;
    return settings_CalcCRC(&rec);
}

COMMS_MSG_t store_msg(uint32_t crc)
{
    return make_msg(CANMSG_SAVE_USER_SETTINGS,
                    {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)});
}

TEST(SimUnit, FactoryRecordIsConsistent)
{
    Settings_t s = sim::factory_settings();
    EXPECT_EQ(s.version, 3u);
    EXPECT_EQ(s.num_elements, 31u);
    EXPECT_EQ(s.magic, SETTINGS_MAGIC);
    EXPECT_EQ(s.airplane_color, 0xFFFFFFFFu);
    EXPECT_EQ(s.gear_indi_color, 0xFFFFFFFFu);
    EXPECT_STREQ(s.registration, "N123AB");
    EXPECT_NE(s.units.units_value & ~0x1FFu, 0u) << "a unit-private bit is set";
    const uint32_t crc = s.crc32;
    s.crc32 = 0;
    EXPECT_EQ(settings_CalcCRC(&s), crc);
}

struct Exchange {
    const char* name;
    COMMS_MSG_t request;
    std::vector<uint32_t> answer_ids;
    std::vector<uint8_t> first_payload;
};

void PrintTo(const Exchange& e, std::ostream* os)
{
    *os << e.name;
}

class SimUnitAnswers : public testing::TestWithParam<Exchange> {};

TEST_P(SimUnitAnswers, AnswersAsTheToolExpects)
{
    VirtualUnit unit;
    unit.serial = 0x12345678;
    COMMS_MSG_t req = GetParam().request;
    req.iface = CAN_FD;
    const std::vector<sim::Answer> answers = unit.handle(req);
    ASSERT_EQ(ids(answers), GetParam().answer_ids);
    for (const sim::Answer& a : answers) {
        EXPECT_EQ(a.msg.iface, CAN_FD) << "iface copied from the request";
        EXPECT_EQ(a.msg.padding[0] | a.msg.padding[1], 0);
        for (size_t i = a.msg.msg_len; i < sizeof a.msg.data; ++i)
            ASSERT_EQ(a.msg.data[i], 0) << "byte " << i << " beyond msg_len";
    }
    if (!answers.empty()) {
        EXPECT_EQ(payload(answers[0].msg), GetParam().first_payload);
    }
    ASSERT_EQ(unit.received.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SimUnitAnswers,
    testing::Values(
        Exchange{"Whoami", make_msg(CANMSG_WHOAMI, {0xEF, 0x15}), {CANMSG_WHOAMI},
                 {0xEF, 0x15, 0, 0, 0x12, 0x34, 0x56, 0x78}},
        Exchange{"WhoamiWrongMarker", make_msg(CANMSG_WHOAMI, {0x15, 0xEF}), {}, {}},
        Exchange{"ValueVne", make_msg(CANMSG_REQUEST_USER_SETTING, {VNE_INDEX}), {CANMSG_SEND_USER_SETTING},
                 {150, 0, 0, 0}},
        Exchange{"ValueNumElements", make_msg(CANMSG_REQUEST_USER_SETTING, {255}), {CANMSG_SEND_USER_SETTING},
                 {31, 0, 0, 0}},
        Exchange{"ValueNoSuchIndex", make_msg(CANMSG_REQUEST_USER_SETTING, {36}), {CANMSG_NACK},
                 {0x76, 0x03, 0, 0, 0xEF, 0x15}},
        Exchange{"ValueEmptyRequest", make_msg(CANMSG_REQUEST_USER_SETTING, {}), {CANMSG_NACK},
                 {0x76, 0x03, 0, 0, 0xEF, 0x15}},
        Exchange{"Set", make_msg(CANMSG_SET_USER_SETTING, {VNE_INDEX, 180, 0, 0, 0}), {CANMSG_ACK},
                 {0x78, 0x03, 0, 0, 0xEF, 0x15}},
        Exchange{"SetNoSuchIndex", make_msg(CANMSG_SET_USER_SETTING, {200, 1, 0, 0, 0}), {CANMSG_NACK},
                 {0x78, 0x03, 0, 0, 0xEF, 0x15}},
        Exchange{"SetTooShort", make_msg(CANMSG_SET_USER_SETTING, {VNE_INDEX, 180}), {CANMSG_NACK},
                 {0x78, 0x03, 0, 0, 0xEF, 0x15}},
        Exchange{"StoreWrongChecksum", store_msg(0x1234ABCD), {CANMSG_MX25_NACK}, {0xAE, 0, 0, 0, 0}},
        Exchange{"StoreRightChecksum", store_msg(store_crc(sim::factory_settings())),
                 {CANMSG_MX25_ACK, CANMSG_ACK}, {0xAE, 0, 0, 0, 0}},
        Exchange{"CalibValue", make_msg(CANMSG_REQUEST_SENSOR_CALIB, {CALIB_VERSION_INDEX}),
                 {CANMSG_SEND_SENSOR_CALIB}, {1, 0, 0, 0}},
        Exchange{"CalibStore", make_msg(CANMSG_SAVE_SENSOR_CALIB, {}), {CANMSG_MX25_ACK, CANMSG_ACK},
                 {0xAE, 0x00, 0x10, 0, 0}},
        Exchange{"Reboot", make_msg(CANMSG_ENTER_BL, {0x48}), {}, {}},
        Exchange{"Unhandled", make_msg(CANMSG_READ_MX25, {0, 0, 0x40, 0x03}), {}, {}}),
    [](const testing::TestParamInfo<Exchange>& info) { return std::string(info.param.name); });

TEST(SimUnit, StoreKeepsTheRecordTheToolDescribedAndRebootReturnsToIt)
{
    VirtualUnit unit;
    uint32_t vne = 180;
    ASSERT_TRUE(settings_set_value(&unit.working, VNE_INDEX, &vne));
    const Settings_t expected_before_store = unit.working;

    // A mismatching store changes nothing.
    unit.handle(store_msg(store_crc(sim::factory_settings())));
    EXPECT_EQ(unit.stores, 0);
    EXPECT_EQ(unit.stored.vspeeds.Vne, 150);

    // Without a store, a reboot loses the change.
    unit.handle(make_msg(CANMSG_ENTER_BL, {0x48}));
    EXPECT_EQ(unit.reboots, 1);
    EXPECT_EQ(unit.working.vspeeds.Vne, 150);

    ASSERT_TRUE(settings_set_value(&unit.working, VNE_INDEX, &vne));
    const uint32_t crc = store_crc(expected_before_store);
    const std::vector<sim::Answer> answers = unit.handle(store_msg(crc));
    ASSERT_EQ(ids(answers), (std::vector<uint32_t>{CANMSG_MX25_ACK, CANMSG_ACK}));
    EXPECT_EQ(payload(answers[1].msg), (std::vector<uint8_t>{0x79, 0x03, 0, 0, 0xEF, 0x15}));
    EXPECT_EQ(unit.stores, 1);
    EXPECT_EQ(unit.stored.crc32, crc);
    EXPECT_EQ(unit.stored.vspeeds.Vne, 180);

    unit.handle(make_msg(CANMSG_ENTER_BL, {0x48}));
    EXPECT_EQ(unit.reboots, 2);
    EXPECT_EQ(std::memcmp(&unit.working, &unit.stored, sizeof(Settings_t)), 0);
}

TEST(SimUnit, ErasedStorageReadsAllOnes)
{
    VirtualUnit unit;
    unit.erase_storage();
    const std::vector<sim::Answer> a = unit.handle(make_msg(CANMSG_REQUEST_USER_SETTING, {SETTINGS_CHECKSUM_INDEX}));
    ASSERT_EQ(ids(a), std::vector<uint32_t>{CANMSG_SEND_USER_SETTING});
    EXPECT_EQ(payload(a[0].msg), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

// Erased blocks that keep their storage change only what the flash costs.
TEST(SimUnit, FlashReadsTheSameWhetherErasedBlocksKeepTheirStorage)
{
    const uint32_t block = sim::VirtualFlash::BLOCK_SIZE;
    const uint8_t bytes[] = {0x12, 0x00, 0xA5};
    for (const bool keep : {false, true}) {
        sim::VirtualFlash flash;
        flash.keep_storage = keep;
        ASSERT_TRUE(flash.program(block - 1, bytes, sizeof bytes, true));  // the end of block 0, block 1
        ASSERT_TRUE(flash.erase(block, block, true));
        EXPECT_EQ(flash.read(block - 1, 3), (std::vector<uint8_t>{0x12, 0xFF, 0xFF})) << keep;
        EXPECT_EQ(flash.blocks_in_use(), 1u) << keep;
        ASSERT_TRUE(flash.program(block, bytes + 1, 2, true));
        EXPECT_EQ(flash.read(block, 2), (std::vector<uint8_t>{0x00, 0xA5})) << keep;
        EXPECT_EQ(flash.describe_violations(), "") << keep << ": the erased block takes the write";
    }
}

TEST(SimUnit, FaultsBendTheAnswers)
{
    const COMMS_MSG_t set = make_msg(CANMSG_SET_USER_SETTING, {VNE_INDEX, 180, 0, 0, 0});
    struct Case {
        const char* name;
        void (*arm)(sim::UnitFaults&);
        std::vector<uint32_t> answer_ids;
        std::vector<uint8_t> last_payload;
        uint32_t delay_us;
    } cases[] = {
        {"none", [](sim::UnitFaults&) {}, {CANMSG_ACK}, {0x78, 0x03, 0, 0, 0xEF, 0x15}, 0},
        {"bad_ack", [](sim::UnitFaults& f) { f.bad_ack = {CANMSG_SET_USER_SETTING}; }, {CANMSG_ACK},
         {0x78, 0x03, 0, 0, 0x15, 0xEF}, 0},
        {"wrong_ack_id", [](sim::UnitFaults& f) { f.wrong_ack_id = {CANMSG_SET_USER_SETTING}; }, {CANMSG_ACK},
         {0x79, 0x03, 0, 0, 0xEF, 0x15}, 0},
        {"nack", [](sim::UnitFaults& f) { f.nack = {CANMSG_SET_USER_SETTING}; }, {CANMSG_NACK},
         {0x78, 0x03, 0, 0, 0xEF, 0x15}, 0},
        {"ignore", [](sim::UnitFaults& f) { f.ignore = {CANMSG_SET_USER_SETTING}; }, {}, {}, 0},
        {"silent", [](sim::UnitFaults& f) { f.silent = true; }, {}, {}, 0},
        {"other ids untouched", [](sim::UnitFaults& f) { f.nack = {CANMSG_SAVE_USER_SETTINGS}; }, {CANMSG_ACK},
         {0x78, 0x03, 0, 0, 0xEF, 0x15}, 0},
        {"unrelated_before", [](sim::UnitFaults& f) { f.unrelated_before = 2; },
         {CANMSG_ACC, CANMSG_ACC, CANMSG_ACK}, {0x78, 0x03, 0, 0, 0xEF, 0x15}, 0},
        {"extra_delay_us", [](sim::UnitFaults& f) { f.extra_delay_us = 2500; }, {CANMSG_ACK},
         {0x78, 0x03, 0, 0, 0xEF, 0x15}, 2500},
        {"late",
         [](sim::UnitFaults& f) {
             f.late = {CANMSG_SET_USER_SETTING};
             f.late_us = 700000;
         },
         {CANMSG_ACK}, {0x78, 0x03, 0, 0, 0xEF, 0x15}, 700000},
        {"late index is for value requests only", [](sim::UnitFaults& f) { f.late_index = {VNE_INDEX}; },
         {CANMSG_ACK}, {0x78, 0x03, 0, 0, 0xEF, 0x15}, 0},
        {"duplicate", [](sim::UnitFaults& f) { f.duplicate = {CANMSG_SET_USER_SETTING}; },
         {CANMSG_ACK, CANMSG_ACK}, {0x78, 0x03, 0, 0, 0xEF, 0x15}, 0},
        {"answer_with",
         [](sim::UnitFaults& f) { f.answer_with[CANMSG_SET_USER_SETTING] = {make_msg(CANMSG_MX25_ACK, {0xAA})}; },
         {CANMSG_MX25_ACK}, {0xAA}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualUnit unit;
        c.arm(unit.faults);
        const std::vector<sim::Answer> answers = unit.handle(set);
        ASSERT_EQ(ids(answers), c.answer_ids);
        EXPECT_EQ(unit.received.size(), 1u) << "every request is logged";
        if (answers.empty())
            continue;
        EXPECT_EQ(payload(answers.back().msg), c.last_payload);
        for (const sim::Answer& a : answers) {
            EXPECT_EQ(a.delay_us, c.delay_us);
            if (a.msg.can_ID == CANMSG_ACC) {
                EXPECT_EQ(a.msg.msg_len, 8);
            }
        }
    }
}

TEST(SimUnit, StoreAnswerOrderAndLenientUnit)
{
    VirtualUnit unit;
    unit.faults.store_ack_first = true;
    EXPECT_EQ(ids(unit.handle(store_msg(store_crc(unit.working)))),
              (std::vector<uint32_t>{CANMSG_ACK, CANMSG_MX25_ACK}));
    uint32_t vne = 181;
    ASSERT_TRUE(settings_set_value(&unit.working, VNE_INDEX, &vne));
    unit.faults.lenient_store = true;
    unit.handle(store_msg(0x1234ABCD));
    EXPECT_EQ(unit.stores, 2);
    EXPECT_EQ(unit.stored.vspeeds.Vne, 181) << "stored whatever checksum came";
    EXPECT_EQ(unit.stored.crc32, store_crc(unit.stored)) << "with its own checksum";
}

TEST(SimUnit, StoreFlashNackAndSilentIndex)
{
    VirtualUnit unit;
    unit.faults.store_flash_nack = true;
    unit.faults.silent_index = {VNE_INDEX};
    EXPECT_EQ(ids(unit.handle(store_msg(store_crc(unit.working)))), std::vector<uint32_t>{CANMSG_MX25_NACK});
    EXPECT_EQ(unit.stores, 0);
    EXPECT_TRUE(unit.handle(make_msg(CANMSG_REQUEST_USER_SETTING, {VNE_INDEX})).empty());
    EXPECT_EQ(ids(unit.handle(make_msg(CANMSG_REQUEST_USER_SETTING, {VFE_INDEX}))),
              std::vector<uint32_t>{CANMSG_SEND_USER_SETTING});
}

}  // namespace
