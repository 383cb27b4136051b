// What reaches the unit is the file as it was checked, and every flash
// confirmation is matched to its own command: files changed mid-upload,
// files that are not regular files, and a unit that answers twice.

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

#include "flash_support.h"

namespace {

using namespace flashtest;

const uint32_t BANK1 = FW_BANK1_START_PAGE * MX25_BLOCK_SIZE;

// Runs `act` at the boundary after write packet `packet` (1-based).
struct AtPacket {
    uint32_t packet, seen;
    std::function<void()> act;
    static void callback(uint32_t, uint32_t, int phase, void* user)
    {
        AtPacket* a = static_cast<AtPacket*>(user);
        if (phase == FW_PHASE_WRITE && ++a->seen == a->packet)
            a->act();
    }
};

class Snapshot : public testing::TestWithParam<Link> {
protected:
    void SetUp() override
    {
        world_on(GetParam());
        comms.reset(new CommsManager());
        ASSERT_TRUE(linktest::connect_only(*comms, GetParam()));
    }
    bool upload(bool firmware, const std::string& path, AtPacket* at = nullptr)
    {
        bool ok = false;
        out = linktest::capture([&] {
            fw_progress_callback_t cb = at ? AtPacket::callback : nullptr;
            ok = firmware ? send_fw(comms.get(), path.c_str(), cb, at) : send_airport_db(comms.get(), path.c_str(), cb, at);
        }).out;
        return ok;
    }
    std::unique_ptr<CommsManager> comms;
    std::string out;
};

INSTANTIATE_TEST_SUITE_P(Links, Snapshot, testing::Values(Link::USB, Link::CAN), linktest::link_name);

// Writes from the start of the file, or its end with O_APPEND.
void write_to(const std::string& path, int flags, const Bytes& bytes)
{
    const int fd = open(path.c_str(), O_WRONLY | flags);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
}

TEST_P(Snapshot, AFileChangedMidUploadNeverReachesTheUnit)
{
    const struct {
        const char* name;
        std::function<void(const std::string&, const Bytes& other)> change;
    } changes[] = {
        {"rewritten in place", [](const std::string& p, const Bytes& o) { write_to(p, 0, o); }},
        {"replaced (cp over it)", [](const std::string& p, const Bytes& o) { write_to(p, O_TRUNC, o); }},
        {"grown", [](const std::string& p, const Bytes& o) { write_to(p, O_APPEND, o); }},
        {"shrunk", [](const std::string& p, const Bytes&) { ASSERT_EQ(truncate(p.c_str(), 100), 0); }},
    };
    for (bool firmware : {true, false}) {
        // Larger than any buffer a reader of the file would keep.
        const Bytes file = firmware ? firmware_file(2 * 65536, 70000, 70000, 1) : pattern(70000, 1);
        const Bytes other = firmware ? firmware_file(3 * 65536, 140000, 140000, 2) : pattern(140000, 2);
        for (const auto& c : changes) {
            SCOPED_TRACE(std::string(firmware ? "firmware " : "airport database ") + c.name);
            SetUp();
            TempFile f(file);
            AtPacket at{3, 0, [&] { c.change(f.path, other); }};
            EXPECT_TRUE(upload(firmware, f.path, &at)) << out;
            EXPECT_GT(at.seen, 3u) << "changed before the last packet";
            EXPECT_EQ(unit().flash.read(firmware ? BANK1 : 0, file.size()), file);
            EXPECT_TRUE(unit().flash.erased((firmware ? BANK1 : 0) + uint32_t(file.size()), 64)) << "nothing more";
            EXPECT_EQ(unit().flash.describe_violations(), "");
        }
    }
}

TEST_P(Snapshot, WhatIsNotARegularFileIsRefusedWithNothingSent)
{
    char dir[] = "/tmp/efis-snapshot-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // no writer: an open that waits for one hangs
    TempFile too_large(Bytes(), 64 + FW_BANK_BLOCKS * MX25_BLOCK_SIZE + 1);
    const struct {
        std::string path;
        std::vector<bool> as_firmware;
        const char* line;
    } cases[] = {
        {fifo, {true, false}, "it is a FIFO, not a regular file"},
        {dir, {true, false}, "it is a directory, not a regular file"},
        {"/dev/zero", {true, false}, "it is a character device, not a regular file"},
        {too_large.path, {true}, "send_fw: Error: File larger than any firmware image (more than 4194368 bytes)"},
    };
    for (const auto& c : cases) {
        for (bool firmware : c.as_firmware) {
            SCOPED_TRACE(c.path + (firmware ? " as firmware" : " as airport database"));
            SetUp();
            EXPECT_FALSE(upload(firmware, c.path));
            EXPECT_NE(out.find(c.line), std::string::npos) << out;
            EXPECT_TRUE(unit().received.empty()) << "the unit heard nothing";
        }
    }
    unlink(fifo.c_str());
    rmdir(dir);
}

COMMS_MSG_t flash_ack(uint8_t op, uint32_t at)
{
    return sim::make_msg(CANMSG_MX25_ACK, {op, uint8_t(at), uint8_t(at >> 8), uint8_t(at >> 16), uint8_t(at >> 24)});
}

// A confirmation of another command (sent twice, or late) comes before a
// command's own and must not pass for it. With the links' latency the
// unit's second copy of an answer comes after the next command went out.
TEST_P(Snapshot, EveryConfirmationIsMatchedToItsCommand)
{
    const Bytes firmware = firmware_file(65536, 1024, 1024);
    const COMMS_MSG_t erase_ack = sim::make_msg(CANMSG_ACK, {0x16, 0x04, 0, 0, 0xEF, 0x15});
    const struct {
        const char* name;
        Bytes file;  // a database when not the firmware image
        uint32_t command;
        std::vector<COMMS_MSG_t> answers;  // the unit's answers to it instead of its own; none: its own, twice
        const char* line;
    } cases[] = {
        {"write doubled, last packet refused", firmware, CANMSG_WRITE_MX25, {},
         "send_fw: Firmware transmission incomplete (960/1024 bytes sent, 15 packets)"},
        {"another block's erase first", firmware, CANMSG_ERASE_MX25,
         {erase_ack, flash_ack(OP_BLOCK_ERASE, BANK1 + MX25_BLOCK_SIZE), flash_ack(OP_BLOCK_ERASE, BANK1)},
         "mx25_erase: Address mismatch (expected=0x03400000, got=0x03410000)"},
        {"the erase's before the address's", firmware, CANMSG_SET_ADDR_MX25,
         {flash_ack(OP_BLOCK_ERASE, BANK1), flash_ack(OP_SETADDR, BANK1)},
         "set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0xA1, got=0xBE)"},
        {"the address's before the packet's", pattern(64, 6), CANMSG_WRITE_MX25,
         {flash_ack(OP_SETADDR, 0), flash_ack(OP_WRITE, 0)},
         "send_airport_db: Op type mismatch (expected OP_WRITE 0xAA, got 0xA1)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::set_latency(GetParam(), GetParam() == Link::USB ? sim::usb_full_speed_latency()
                                                             : sim::canfd_latency(500e3, 2e6));
        const bool doubled = c.answers.empty();
        sim::with_unit([&](sim::VirtualUnit& u) {
            if (doubled) {
                u.faults.duplicate = {c.command};
                u.faults.packet_nack = {16};  // the last: the header is packet 0
            } else {
                u.faults.answer_with[c.command] = c.answers;
            }
        });
        const bool is_firmware = c.file == firmware;
        TempFile f(c.file);
        EXPECT_EQ(upload(is_firmware, f.path), !doubled) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        // All but the refused packet, or all.
        Bytes expected = c.file;
        std::fill(expected.end() - (doubled ? 64 : 0), expected.end(), 0xFF);
        EXPECT_EQ(unit().flash.read(is_firmware ? BANK1 : 0, c.file.size()), expected);
        EXPECT_EQ(unit().flash.describe_violations(), "");
    }
}

}  // namespace
