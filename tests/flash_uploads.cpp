// Both uploads through the real link manager and transports against the
// virtual unit's flash, over USB and CAN FD: what lands where, what is
// refused before anything is erased, and that no fault of the unit leads
// to a write onto flash that was not erased or outside the region.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "flash_support.h"

namespace {

using namespace flashtest;
using linktest::capture;

const uint32_t BANK1 = FW_BANK1_START_PAGE * MX25_BLOCK_SIZE;
const uint32_t BANK2 = FW_BANK2_START_PAGE * MX25_BLOCK_SIZE;
const uint32_t BANK_BYTES = FW_BANK_BLOCKS * MX25_BLOCK_SIZE;
const uint32_t AIRPORT_MAX = AIRPORT_DB_BLOCKS * MX25_BLOCK_SIZE;

class Uploads : public testing::TestWithParam<Link> {
protected:
    void SetUp() override
    {
        world_on(GetParam());
        comms.reset(new CommsManager());
        ASSERT_TRUE(linktest::connect_only(*comms, GetParam()));
    }

    void arm(const std::function<void(sim::VirtualUnit&)>& f) { sim::with_unit(f); }

    bool firmware(const Bytes& file, Progress* progress = nullptr, std::string* out = nullptr)
    {
        TempFile f(file);
        bool ok = false;
        linktest::Output o = capture([&] {
            ok = send_fw(comms.get(), f.path.c_str(), progress ? Progress::callback : nullptr, progress);
        });
        if (out)
            *out = o.out;
        return ok;
    }

    bool airport(const std::string& path, Progress* progress = nullptr, std::string* out = nullptr,
                 const std::atomic<bool>* cancel = nullptr)
    {
        bool ok = false;
        linktest::Output o = capture([&] {
            ok = send_airport_db(comms.get(), path.c_str(), progress ? Progress::callback : nullptr, progress,
                                 cancel);
        });
        if (out)
            *out = o.out;
        return ok;
    }

    std::unique_ptr<CommsManager> comms;
};

INSTANTIATE_TEST_SUITE_P(Links, Uploads, testing::Values(Link::USB, Link::CAN), linktest::link_name);

// The flash holds `file` at `at`, erased bytes behind it to the end of the
// last erased block, and no violation.
void expect_flash_holds(const sim::VirtualUnit& u, uint32_t at, const Bytes& file, uint32_t erased_blocks)
{
    EXPECT_EQ(u.flash.read(at, file.size()), file);
    const uint32_t end = at + erased_blocks * MX25_BLOCK_SIZE;
    EXPECT_TRUE(u.flash.erased(at + uint32_t(file.size()), end - at - file.size())) << "nothing past the image";
    EXPECT_EQ(u.flash.describe_violations(), "");
}

TEST_P(Uploads, FirmwareLandsInTheBankTheMarkerNames)
{
    const struct {
        mx25_partition marker;
        uint32_t bank, other;
        uint32_t total_size, encrypted_size;
    } cases[] = {
        {partition_1, BANK1, BANK2, 164, 100},       // a 64-byte and a 36-byte packet
        {partition_2, BANK2, BANK1, 64, 0},          // the header alone
        {partition_1, BANK1, BANK2, 3 * 65536, 3 * 65536 - 64 - 27},
        {partition_2, BANK2, BANK1, BANK_BYTES, 1},  // 64 blocks erased, the most a bank holds
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encrypted_size);
        SetUp();
        sim::clear_captures();
        arm([&](sim::VirtualUnit& u) { u.partition = c.marker; });
        const Bytes file = firmware_file(c.total_size, c.encrypted_size, c.encrypted_size);
        Progress p;
        std::string out;
        ASSERT_TRUE(firmware(file, &p, &out)) << out;
        const uint32_t blocks = (c.total_size + 65535) / 65536;
        const sim::VirtualUnit u = unit();
        expect_flash_holds(u, c.bank, file, blocks);
        EXPECT_TRUE(u.flash.erased(c.other, BANK_BYTES)) << "the running bank is never touched";
        EXPECT_EQ(p.erase.size(), blocks);
        EXPECT_EQ(p.erase_total, blocks);
        EXPECT_EQ(p.write.empty() ? 0u : p.write.back(), c.encrypted_size);
        EXPECT_NE(out.find("send_fw: Firmware transmission completed successfully"), std::string::npos);
        // Over CAN FD every packet has a length a frame carries as it is.
        if (GetParam() == Link::CAN) {
            for (const linktest::Sent& m : linktest::sent_on(Link::CAN)) {
                const size_t l = m.payload.size();
                if (m.can_ID == CANMSG_WRITE_MX25) {
                    EXPECT_TRUE(l <= 8 || l == 12 || l == 16 || l == 20 || l == 24 || l == 32 || l == 48 || l == 64)
                        << l;
                }
            }
        }
    }
}

TEST_P(Uploads, RefusedFirmwareErasesNothing)
{
    const struct {
        const char* name;
        mx25_partition marker;
        Bytes file;
        const char* line;
    } cases[] = {
        {"debug marker", partition_debug, firmware_file(164, 100, 100),
         "get_mx25_partition: Invalid partition value received (raw=0xB3B3B3B3)"},
        {"unknown marker", partition_unknown, firmware_file(164, 100, 100),
         "send_fw: Invalid partition (partition_none), cannot proceed"},
        {"65 blocks", partition_1, firmware_file(BANK_BYTES + 1, 100, 100),
         "send_fw: Error: Firmware too large for partition (65 blocks needed, but partition only has 64 blocks)"},
        {"payload past the erased blocks", partition_1, firmware_file(65536, 65536 - 63, 65536 - 63),
         "send_fw: Error: Image does not fit the blocks it erases"},
        {"nothing to erase", partition_2, firmware_file(0, 0, 0), "send_fw: Error: Image does not fit"},
        {"header cut short", partition_1, Bytes(63, 0x5A), "send_fw: Failed to read firmware header from"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        arm([&](sim::VirtualUnit& u) { u.partition = c.marker; });
        std::string out;
        EXPECT_FALSE(firmware(c.file, nullptr, &out));
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(received(CANMSG_ERASE_MX25) + received(CANMSG_WRITE_MX25) + received(CANMSG_SET_ADDR_MX25), 0u);
    }
}

// An erase or an address the unit did not confirm stops the upload before
// a single packet is written, with a line of the routine's own.
TEST_P(Uploads, UnconfirmedEraseOrAddressWritesNothing)
{
    const struct {
        const char* name;
        std::function<void(sim::UnitFaults&)> fault;
        const char* line;
    } cases[] = {
        {"erase refused", [](sim::UnitFaults& f) { f.erase_nack_blocks = {833}; },
         "send_fw: Erase of block 833 not confirmed, stopping before any write"},
        {"erase never confirmed", [](sim::UnitFaults& f) { f.erase_silent_blocks = {832}; },
         "send_fw: Erase of block 832 not confirmed"},
        {"erase command refused", [](sim::UnitFaults& f) { f.nack = {CANMSG_ERASE_MX25}; },
         "mx25_erase: ACK validation failed"},
        {"erase confirms another operation", [](sim::UnitFaults& f) { f.wrong_flash_op = {CANMSG_ERASE_MX25}; },
         "mx25_erase: Op type mismatch in response (expected=0xBE, got=0xBF)"},
        {"erase confirms another block", [](sim::UnitFaults& f) { f.wrong_flash_address = {CANMSG_ERASE_MX25}; },
         "mx25_erase: Address mismatch (expected=0x03400000, got=0x03410000)"},
        {"erase confirmed without an address", [](sim::UnitFaults& f) { f.short_flash_ack = {CANMSG_ERASE_MX25}; },
         "mx25_erase: No address in response (expected=0x03400000), erase not confirmed"},
        {"address refused", [](sim::UnitFaults& f) { f.nack = {CANMSG_SET_ADDR_MX25}; },
         "send_fw: Address 0x03400000 not confirmed, stopping before any write"},
        {"another address", [](sim::UnitFaults& f) { f.wrong_flash_address = {CANMSG_SET_ADDR_MX25}; },
         "set_mx25_addr: Address mismatch (expected=0x03400000, got=0x03410000)"},
        {"address without an address", [](sim::UnitFaults& f) { f.short_flash_ack = {CANMSG_SET_ADDR_MX25}; },
         "set_mx25_addr: No address in response (expected=0x03400000), address not confirmed"},
        {"address confirmed as another operation",
         [](sim::UnitFaults& f) { f.wrong_flash_op = {CANMSG_SET_ADDR_MX25}; },
         "set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0xA1, got=0xA0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        arm([&](sim::VirtualUnit& u) { c.fault(u.faults); });
        std::string out;
        EXPECT_FALSE(firmware(firmware_file(2 * 65536, 1000, 1000), nullptr, &out));
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(received(CANMSG_WRITE_MX25), 0u);
        EXPECT_EQ(unit().flash.describe_violations(), "");
    }
}

// A packet that fails ends the upload as a failure; whatever the unit did
// with it, the next upload is not misled by a late answer and writes the
// image whole.
TEST_P(Uploads, FailedPacketIsAFailureAndTheRetryIsWhole)
{
    const uint32_t late_us = uint32_t((GetParam() == Link::USB ? 1000 : 500) + 100) * 1000;
    const struct {
        const char* name;
        std::function<void(sim::UnitFaults&)> fault;
        const char* line;
    } cases[] = {
        {"refused", [](sim::UnitFaults& f) { f.packet_nack = {3}; }, "send_fw: MX25 write acknowledgment failed"},
        {"never confirmed", [](sim::UnitFaults& f) { f.packet_silent = {3}; }, "acknowledgment failed at packet 2"},
        {"confirmed late", [](sim::UnitFaults& f) { f.packet_late = {3}; }, "acknowledgment failed at packet 2"},
        {"another operation", [](sim::UnitFaults& f) { f.wrong_flash_op = {CANMSG_WRITE_MX25}; },
         "send_fw: Header write op type mismatch (expected=OP_WRITE/0xAA, got=0xAB)"},
    };
    const Bytes file = firmware_file(65536, 1000, 1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        arm([&](sim::VirtualUnit& u) {
            u.faults.late_us = late_us;
            c.fault(u.faults);
        });
        std::string out;
        EXPECT_FALSE(firmware(file, nullptr, &out));
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        arm([](sim::VirtualUnit& u) {
            u.faults = sim::UnitFaults();
            u.flash.violations.clear();
        });
        ASSERT_TRUE(firmware(file, nullptr, &out)) << out;
        expect_flash_holds(unit(), BANK1, file, 1);
    }
}

TEST_P(Uploads, UnitUnpluggedMidTransferEndsPromptly)
{
    arm([](sim::VirtualUnit& u) { u.faults.unplug_after_packets = 10; });
    const auto start = std::chrono::steady_clock::now();
    std::string out;
    EXPECT_FALSE(firmware(firmware_file(65536, 4000, 4000), nullptr, &out));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_NE(out.find("send_fw: Firmware transmission incomplete"), std::string::npos) << out;
}

TEST_P(Uploads, AirportDatabaseWrittenBetweenCloseAndOpen)
{
    for (size_t size : {size_t(1), size_t(130), size_t(65536 + 1)}) {
        SCOPED_TRACE(size);
        SetUp();
        const Bytes content = pattern(size, uint32_t(size));
        TempFile f(content);
        Progress p;
        std::string out;
        ASSERT_TRUE(airport(f.path, &p, &out)) << out;
        const sim::VirtualUnit u = unit();
        expect_flash_holds(u, 0, content, uint32_t((size + 65535) / 65536));
        EXPECT_TRUE(u.airport_db_open);
        EXPECT_EQ(p.write.back(), size);
        EXPECT_EQ(p.erase.size(), (size + 65535) / 65536);
    }
}

TEST_P(Uploads, AirportFailuresLeaveTheDatabaseClosedOrUntouched)
{
    const struct {
        const char* name;
        std::function<void(sim::UnitFaults&)> fault;
        bool closed;
        const char* line;
    } cases[] = {
        {"close refused", [](sim::UnitFaults& f) { f.nack = {CANMSG_AIRPORT_DB_OP}; }, false,
         "send_airport_db: no ACK for close DB (expected CAN ID 0x42F in ACK payload), aborting"},
        {"erase refused", [](sim::UnitFaults& f) { f.erase_nack_blocks = {1}; }, true,
         "send_airport_db: Erase of block 1 not confirmed, stopping before any write"},
        {"address refused", [](sim::UnitFaults& f) { f.nack = {CANMSG_SET_ADDR_MX25}; }, true,
         "send_airport_db: Address 0x00000000 not confirmed"},
        {"packet refused", [](sim::UnitFaults& f) { f.packet_nack = {5}; }, true,
         "send_airport_db: Incomplete (320 / 70000 bytes); not sending open command"},
    };
    const Bytes content = pattern(70000, 3);
    TempFile f(content);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        arm([&](sim::VirtualUnit& u) { c.fault(u.faults); });
        std::string out;
        EXPECT_FALSE(airport(f.path, nullptr, &out));
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        const sim::VirtualUnit u = unit();
        EXPECT_EQ(u.airport_db_open, !c.closed);
        EXPECT_EQ(u.flash.describe_violations(), "");
        if (!c.closed) {
            EXPECT_EQ(received(CANMSG_ERASE_MX25), 0u);
        }
    }
}

// The size limits, without writing 52 MB: the largest file is accepted and
// erases all 832 blocks (the upload is then cancelled), one byte more is
// refused before the unit hears anything.
TEST_P(Uploads, AirportSizeLimits)
{
    TempFile largest(Bytes(), AIRPORT_MAX);
    std::atomic<bool> cancel(false);
    Progress p;
    p.cancel_on_write = &cancel;
    std::string out;
    EXPECT_FALSE(airport(largest.path, &p, &out, &cancel));
    EXPECT_EQ(p.erase.size(), AIRPORT_DB_BLOCKS);
    EXPECT_EQ(p.write.size(), 1u) << "stopped at the first packet boundary";
    EXPECT_FALSE(unit().airport_db_open);
    EXPECT_EQ(unit().flash.describe_violations(), "");

    SetUp();
    for (uint64_t size : {uint64_t(AIRPORT_MAX) + 1, uint64_t(0)}) {
        TempFile f(Bytes(), size);
        EXPECT_FALSE(airport(f.path, nullptr, &out));
        EXPECT_NE(out.find(size ? "send_airport_db: File too large (54525953 bytes, 833 blocks); max 832 blocks"
                                : "send_airport_db: File is empty"),
                  std::string::npos)
            << out;
    }
    EXPECT_TRUE(unit().received.empty());
}

}  // namespace
