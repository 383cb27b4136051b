#include "firmware_ops.h"

#include <sys/prctl.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "formatted.h"

std::string firmware_ops_internal::formatted(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

namespace {

using firmware_ops_internal::formatted;

using Clock = std::chrono::steady_clock;

const uint8_t AIRPORT_DB_OP_CLOSE = 0xDC;
const uint8_t AIRPORT_DB_OP_OPEN = 0xDA;

const uint32_t kChunkSize = 64;
const std::chrono::microseconds kPacketPause(100);
const std::chrono::milliseconds kAfterCloseAck(10);
// Reasons given by more than one step.
const char* const NOT_CONNECTED = "the unit is not connected";
const char* const NO_BANK = "the unit did not name a firmware bank to write";

COMMS_MSG_t zeroed_msg()
{
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof(msg));
    return msg;
}

bool linked(CommsManager* comms)
{
    return comms != nullptr && comms->isConnected();
}

bool cancelled(const std::atomic<bool>* cancel)
{
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// The kernel's default timer slack (50 us) would stretch each 100 us pause
// by half again; the upload's thread runs with the least slack and gets its
// own back afterwards.
class TightTimers {
public:
    TightTimers() : previous(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) { prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0); }
    ~TightTimers()
    {
        if (previous > 0) {
            prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous), 0, 0, 0);
        }
    }
    TightTimers(const TightTimers&) = delete;
    TightTimers& operator=(const TightTimers&) = delete;

private:
    long previous;
};

// The first failure of a run, in a few words for the user (the log lines
// say more); later ones do not replace it.
void give_reason(std::string* reason, const std::string& text)
{
    if (reason != nullptr && reason->empty()) {
        *reason = text;
    }
}

// The largest payload length up to n that a CAN FD frame carries as it is:
// its length code knows 0-8, 12, 16, 20, 24, 32, 48 and 64 bytes only, and
// a controller pads any other length up to the next one.
uint8_t fd_exact_length(uint8_t n)
{
    static const uint8_t lengths[] = {64, 48, 32, 24, 20, 16, 12};
    if (n <= 8) {
        return n;
    }
    for (uint8_t l : lengths) {
        if (l <= n) {
            return l;
        }
    }
    return 8;
}

// How a routine words a flash acknowledgement that is not the one awaited.
struct FlashAckLines {
    const char* who;            // the routine's name
    const char* wrong_op;       // expected, reported operation
    const char* wrong_address;  // expected, reported address
};

const FlashAckLines ERASE_ACK_LINES = {
    "mx25_erase",
    "mx25_erase: Op type mismatch in response (expected=0x%02X, got=0x%02X)\n",
    "mx25_erase: Address mismatch (expected=0x%08X, got=0x%08X)\n",
};

const FlashAckLines ADDRESS_ACK_LINES = {
    "set_mx25_addr",
    "set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0x%02X, got=0x%02X)\n",
    "set_mx25_addr: Address mismatch (expected=0x%08X, got=0x%08X)\n",
};

// The flash acknowledgement of the command written last: it names `op` and,
// when it carries an address and `check_address` is set, `address`. One
// naming another operation or address answers an earlier command, sent twice
// or late: it is printed and skipped, and the wait goes on until the link's
// time-out for this command has passed (readAnswer bounds each wait by it).
// False then, and on a flash NACK. *address_given tells whether the answer
// carried an address, which then goes to *reported.
bool await_flash_ack(CommsManager* comms, uint8_t op, uint32_t address, bool check_address,
                     const FlashAckLines& lines, uint32_t* reported, bool* address_given)
{
    for (;;) {
        uint8_t got_op = OP_NONE;
        uint32_t got_address = 0;
        bool given = false;
        if (!wait_for_mx25_ack(comms, &got_op, &got_address, &given)) {
            return false;
        }
        if (got_op == op && (!given || !check_address || got_address == address)) {
            if (given) {
                *reported = got_address;
            }
            *address_given = given;
            return true;
        }
        if (got_op != op) {
            std::printf(lines.wrong_op, static_cast<unsigned>(op), static_cast<unsigned>(got_op));
        } else {
            std::printf(lines.wrong_address, address, got_address);
        }
        std::printf("%s: Skipped as a stale answer to an earlier command; waiting for this command's own\n", lines.who);
    }
}

enum PacketOutcome { PACKET_DONE, PACKET_NOT_SENT, PACKET_NOT_ACKED };

// Writes `len` bytes (1 to 64) at `address`, where the unit's write pointer
// stands, each write packet confirmed by its own flash acknowledgement (one
// that names its address, when it names any) before the next goes out. Over
// CAN FD a length that a frame cannot carry exactly goes as packets of
// lengths it can (36 as 32 + 4), so the unit never stores the controller's
// padding. *acked counts the bytes the unit confirmed; *reported gets the
// address the last acknowledgement named (`address` when none did).
PacketOutcome write_packet(CommsManager* comms, const uint8_t* bytes, uint8_t len, uint32_t address,
                           const FlashAckLines& lines, uint32_t* acked, uint32_t* reported)
{
    const bool exact_frames = comms->getActiveInterface() == CAN_FD;
    *acked = 0;
    *reported = address;
    while (*acked < len) {
        const uint8_t left = static_cast<uint8_t>(len - *acked);
        const uint8_t n = exact_frames ? fd_exact_length(left) : left;
        COMMS_MSG_t msg = zeroed_msg();
        msg.can_ID = CANMSG_WRITE_MX25;
        msg.msg_len = n;
        std::memcpy(msg.data, bytes + *acked, n);
        if (*acked > 0) {
            comms->pauseBetweenCommands(kPacketPause);
        }
        if (comms->write(msg) <= 0) {
            return PACKET_NOT_SENT;
        }
        bool address_given = false;
        if (!await_flash_ack(comms, OP_WRITE, address + *acked, true, lines, reported, &address_given)) {
            return PACKET_NOT_ACKED;
        }
        *acked += n;
    }
    return PACKET_DONE;
}

bool send_airport_db_op(CommsManager* comms, uint8_t op_byte)
{
    COMMS_MSG_t msg = zeroed_msg();
    msg.can_ID = CANMSG_AIRPORT_DB_OP;
    msg.msg_len = 1;
    msg.data[0] = op_byte;
    const int ret = comms->write(msg);
    if (ret > 0) {
        std::printf("send_airport_db_op: sent 0x%02X\n", op_byte);
        return true;
    }
    std::printf("send_airport_db_op: write failed (op=0x%02X, ret=%d)\n", op_byte, ret);
    return false;
}

// Erases blocks [first, first + count) in order; false at the first block
// the unit did not confirm, or when cancelled. `who` prefixes the lines.
bool erase_blocks(CommsManager* comms, const char* who, uint32_t first, uint32_t count,
                  fw_progress_callback_t progress_cb, void* user_data, const std::atomic<bool>* cancel,
                  std::string* reason)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (cancelled(cancel)) {
            std::printf("%s: Cancelled during erase (%u of %u blocks erased)\n", who, i, count);
            give_reason(reason, formatted("cancelled after %u of %u blocks were erased", i, count));
            return false;
        }
        const uint32_t block = first + i;
        if (!mx25_erase(comms, OP_BLOCK_ERASE, static_cast<uint16_t>(block), progress_cb, user_data, i, count)) {
            std::printf("%s: Erase of block %u not confirmed, stopping before any write\n", who, block);
            give_reason(reason, formatted("erase of block %u not confirmed", block));
            return false;
        }
    }
    return true;
}

// A packet loop's lines, in its routine's own words.
struct PacketLines {
    const char* cancelled;    // sent, total
    const char* not_sent;     // packet number
    const char* not_acked;    // packet number
    const char* progress;     // every 100 packets (sent, total, percent), or none
    FlashAckLines ack;
};

// A header written on its own before the payload, and its lines.
struct HeaderLines {
    const char* not_sent;
    const char* not_acked;
    const char* written;  // the address its acknowledgement named
    const char* payload;  // before the payload: its size, twice
    FlashAckLines ack;
};

// What the two uploads say and where they differ; the exchange itself is the
// same for both (upload_may_start, program_image).
struct UploadWords {
    upload_kind_t kind;
    const char* who;
    const char* image;           // "no checked <image> to send"
    const char* erased;          // after the erase, before the address is set: the address
    const char* left;            // after a failed erase or address, or none
    const HeaderLines* header;   // or none
    const char* complete;        // bytes, packets
    const char* incomplete;      // bytes sent, bytes, packets
    PacketLines packets;
};

const HeaderLines FIRMWARE_HEADER = {
    "send_fw: Failed to send firmware header\n",
    "send_fw: Header write acknowledgment failed\n",
    "send_fw: Firmware header written successfully (address=0x%08X)\n",
    "send_fw: Encrypted data size: %u bytes (0x%08X)\nsend_fw: Starting firmware data transmission...\n",
    {"send_fw", "send_fw: Header write op type mismatch (expected=OP_WRITE/0x%02X, got=0x%02X)\n",
     "send_fw: Header write acknowledged for another address (expected=0x%08X, got=0x%08X)\n"},
};

const UploadWords FIRMWARE_UPLOAD = {
    UPLOAD_FIRMWARE,
    "send_fw",
    "firmware image",
    "send_fw: All blocks erased, setting address and sending firmware header...\n"
    "send_fw: Setting MX25 address to 0x%08X for header\n",
    nullptr,
    &FIRMWARE_HEADER,
    "send_fw: Firmware transmission completed successfully (%u bytes, %u packets)\n",
    "send_fw: Firmware transmission incomplete (%u/%u bytes sent, %u packets)\n",
    {"send_fw: Cancelled after %u of %u bytes\n", "send_fw: Failed to send firmware data packet %u\n",
     "send_fw: MX25 write acknowledgment failed at packet %u\n", "send_fw: Progress: %u/%u bytes (%.1f%%)\n",
     {"send_fw", "send_fw: Op type mismatch in response (expected=OP_WRITE/0x%02X, got=0x%02X)\n",
      "send_fw: Write acknowledged for another address (expected=0x%08X, got=0x%08X)\n"}},
};

// Its incomplete line names no packets (printf ignores the extra argument).
const UploadWords AIRPORT_UPLOAD = {
    UPLOAD_AIRPORT_DB,
    "send_airport_db",
    "database file",
    "send_airport_db: Erase complete, setting address 0x%08X and transferring data...\n",
    "send_airport_db: airport DB left closed on device\n",
    nullptr,
    "send_airport_db: Complete (%u bytes, %u packets)\n",
    "send_airport_db: Incomplete (%u / %u bytes); not sending open command\n",
    {"send_airport_db: Cancelled after %u of %u bytes\n", "send_airport_db: Failed to send packet %u\n",
     "send_airport_db: MX25 ACK failed at packet %u\n", nullptr,
     {"send_airport_db", "send_airport_db: Op type mismatch (expected OP_WRITE 0x%02X, got 0x%02X)\n",
      "send_airport_db: Write acknowledged for another address (expected=0x%08X, got=0x%08X)\n"}},
};

// Sends `total` bytes of `data` in packets of 64 from `address` on, each
// acknowledged before the next goes out, with the pause after each. Stops at
// the first failure (or when cancelled) with its line and its reason.
// Returns the bytes the unit acknowledged; *packets counts the packets.
uint32_t send_packets(CommsManager* comms, const uint8_t* data, uint32_t total, uint32_t address,
                      const PacketLines& lines, fw_progress_callback_t progress_cb, void* user_data,
                      const std::atomic<bool>* cancel, uint32_t* packets, std::string* reason)
{
    uint32_t sent = 0;
    *packets = 0;
    while (sent < total) {
        if (cancelled(cancel)) {
            std::printf(lines.cancelled, sent, total);
            give_reason(reason, formatted("cancelled after %u of %u bytes", sent, total));
            break;
        }
        const uint32_t n = total - sent < kChunkSize ? total - sent : kChunkSize;
        uint32_t acked = 0;
        uint32_t reported = 0;
        const PacketOutcome outcome =
            write_packet(comms, data + sent, static_cast<uint8_t>(n), address + sent, lines.ack, &acked, &reported);
        sent += acked;
        if (outcome == PACKET_NOT_SENT) {
            std::printf(lines.not_sent, *packets);
            give_reason(reason, formatted("packet %u could not be sent", *packets));
            break;
        }
        if (outcome == PACKET_NOT_ACKED) {
            std::printf(lines.not_acked, *packets);
            give_reason(reason, formatted("write of packet %u not acknowledged", *packets));
            break;
        }
        ++*packets;
        if (progress_cb != nullptr) {
            progress_cb(sent, total, FW_PHASE_WRITE, user_data);
        }
        if (lines.progress != nullptr && *packets % 100 == 0) {
            const float percent = 100.0f * static_cast<float>(sent) / static_cast<float>(total);
            std::printf(lines.progress, sent, total, static_cast<double>(percent));
        }
        comms->pauseBetweenCommands(kPacketPause);
    }
    return sent;
}

// Clears *reason; false, with the upload's line and reason, when the link is down.
bool link_up(CommsManager* comms, const UploadWords& up, std::string* reason)
{
    if (reason != nullptr) {
        reason->clear();
    }
    if (!linked(comms)) {
        std::printf("%s: CommsManager not connected\n", up.who);
        give_reason(reason, NOT_CONNECTED);
        return false;
    }
    return true;
}

// The path-taking forms' steps before the image form: the link, then the file.
bool load_for_upload(CommsManager* comms, const UploadWords& up, const char* path, upload_image_t* image,
                     std::string* reason)
{
    if (!link_up(comms, up, reason)) {
        return false;
    }
    if (!load_upload_image(path, up.kind, image)) {
        give_reason(reason, "the file " + image->fault);
        return false;
    }
    return true;
}

// Whether the unit may hear anything of this upload: the link is up and
// the image is a checked one of the upload's kind.
bool upload_may_start(CommsManager* comms, const UploadWords& up, const upload_image_t& image, std::string* reason)
{
    if (!link_up(comms, up, reason)) {
        return false;
    }
    if (!image.accepted || image.kind != up.kind) {
        std::printf("%s: No checked %s to send\n", up.who, up.image);
        give_reason(reason, std::string("no checked ") + up.image + " to send");
        return false;
    }
    return true;
}

// The exchange both uploads make once the unit is ready: erases `blocks`
// blocks from `first_block` on, sets the address to the first one's start
// and writes `bytes` there: the header (when the upload has one), confirmed
// on its own, then `payload_size` bytes in packets. True only when all of it
// was confirmed.
bool program_image(CommsManager* comms, const UploadWords& up, uint32_t first_block, uint32_t blocks,
                   const uint8_t* bytes, uint32_t payload_size, fw_progress_callback_t progress_cb, void* user_data,
                   const std::atomic<bool>* cancel, std::string* reason)
{
    const uint32_t address = first_block * MX25_BLOCK_SIZE;
    bool placed = erase_blocks(comms, up.who, first_block, blocks, progress_cb, user_data, cancel, reason);
    if (placed) {
        std::printf(up.erased, address);
        placed = set_mx25_addr(comms, address);
        if (!placed) {
            std::printf("%s: Address 0x%08X not confirmed, stopping before any write\n", up.who, address);
            give_reason(reason, formatted("address 0x%08X not confirmed", address));
        }
    }
    if (!placed) {
        if (up.left != nullptr) {
            std::fputs(up.left, stdout);
        }
        return false;
    }

    uint32_t head = 0;
    if (up.header != nullptr) {
        head = sizeof(firmware_header_t);
        uint32_t acked = 0;
        uint32_t reported = 0;
        switch (write_packet(comms, bytes, static_cast<uint8_t>(head), address, up.header->ack, &acked, &reported)) {
        case PACKET_DONE:
            break;
        case PACKET_NOT_SENT:
            std::fputs(up.header->not_sent, stdout);
            give_reason(reason, "the header could not be sent");
            return false;
        case PACKET_NOT_ACKED:
            std::fputs(up.header->not_acked, stdout);
            give_reason(reason, "write of the header not acknowledged");
            return false;
        }
        std::printf(up.header->written, reported);
        std::printf(up.header->payload, payload_size, payload_size);
    }

    uint32_t packets = 0;
    const uint32_t sent = send_packets(comms, bytes + head, payload_size, address + head, up.packets, progress_cb,
                                       user_data, cancel, &packets, reason);
    if (sent != payload_size) {
        std::printf(up.incomplete, sent, payload_size, packets);
        return false;
    }
    std::printf(up.complete, sent, packets);
    return true;
}

}  // namespace

bool mx25_erase(CommsManager* comms, FlashOpType op_type, uint16_t block_or_sector, fw_progress_callback_t progress_cb,
                void* user_data, uint32_t current_block, uint32_t total_blocks)
{
    if (!linked(comms)) {
        std::puts("mx25_erase: CommsManager not connected");
        return false;
    }
    COMMS_MSG_t msg = zeroed_msg();
    msg.can_ID = CANMSG_ERASE_MX25;
    msg.msg_len = 3;
    msg.data[0] = static_cast<uint8_t>(op_type);
    msg.data[1] = static_cast<uint8_t>(block_or_sector);
    msg.data[2] = static_cast<uint8_t>(block_or_sector >> 8);
    if (comms->write(msg) <= 0) {
        std::puts("mx25_erase: Failed to send erase command");
        return false;
    }
    std::printf("mx25_erase: Successfully sent erase command (op_type=0x%02X, block/sector=%d)\n",
                static_cast<unsigned>(op_type), static_cast<int>(block_or_sector));

    if (!wait_for_ack(comms, CANMSG_ERASE_MX25)) {
        std::puts("mx25_erase: ACK validation failed");
        return false;
    }
    std::puts("mx25_erase: ACK received, erase command acknowledged");

    uint32_t expected = 0;
    if (op_type == OP_SECTOR_ERASE) {
        expected = static_cast<uint32_t>(block_or_sector) * MX25_SECTOR_SIZE;
    } else if (op_type == OP_BLOCK_ERASE) {
        expected = static_cast<uint32_t>(block_or_sector) * MX25_BLOCK_SIZE;
    }
    // A chip erase is confirmed whatever address it names.
    const bool check_address = op_type != OP_CHIP_ERASE;
    uint32_t reported_address = 0;
    bool address_given = false;
    if (!await_flash_ack(comms, static_cast<uint8_t>(op_type), expected, check_address, ERASE_ACK_LINES,
                         &reported_address, &address_given)) {
        std::puts("mx25_erase: Erase operation failed or timeout");
        return false;
    }
    // Without an address the unit has not said which area it erased.
    if (check_address && !address_given) {
        std::printf("mx25_erase: No address in response (expected=0x%08X), erase not confirmed\n", expected);
        return false;
    }
    std::printf("mx25_erase: Erase completed successfully (address=0x%08X)\n", reported_address);
    if (progress_cb != nullptr) {
        progress_cb(current_block + 1, total_blocks, FW_PHASE_ERASE, user_data);
    }
    return true;
}

bool set_mx25_addr(CommsManager* comms, uint32_t address)
{
    if (!linked(comms)) {
        std::puts("set_mx25_addr: CommsManager not connected");
        return false;
    }
    COMMS_MSG_t msg = zeroed_msg();
    msg.can_ID = CANMSG_SET_ADDR_MX25;
    msg.msg_len = 4;
    put_le32(msg.data, address);
    if (comms->write(msg) <= 0) {
        std::puts("set_mx25_addr: Failed to send address");
        return false;
    }
    std::printf("set_mx25_addr: Successfully sent address (0x%08X)\n", address);

    uint32_t reported_address = 0;
    bool address_given = false;
    if (!await_flash_ack(comms, OP_SETADDR, address, true, ADDRESS_ACK_LINES, &reported_address, &address_given)) {
        std::puts("set_mx25_addr: Failed to receive acknowledgment or operation failed");
        return false;
    }
    if (!address_given) {
        std::printf("set_mx25_addr: No address in response (expected=0x%08X), address not confirmed\n", address);
        return false;
    }
    std::printf("set_mx25_addr: Address set successfully (0x%08X)\n", address);
    return true;
}

mx25_partition get_mx25_partition(CommsManager* comms)
{
    mx25_partition result = partition_none;
    if (!linked(comms)) {
        std::puts("get_mx25_partition: CommsManager not connected");
        return result;
    }
    COMMS_MSG_t msg = zeroed_msg();
    msg.can_ID = CANMSG_GET_PARTITION;
    msg.msg_len = 0;
    std::printf("get_mx25_partition: Sending command - CAN_ID=0x%08X, msg_len=%u\n", msg.can_ID,
                static_cast<unsigned>(msg.msg_len));
    const int written = comms->write(msg);
    std::printf("get_mx25_partition: write() returned %d bytes\n", written);
    // A CAN FD frame without payload is sent with a result of 0.
    if (written < 0) {
        std::printf("get_mx25_partition: Failed to send get partition command (bytes_written=%d)\n", written);
        return result;
    }
    std::puts("get_mx25_partition: Successfully sent get partition command");
    if (!wait_for_ack(comms, CANMSG_GET_PARTITION)) {
        std::puts("get_mx25_partition: ACK validation failed");
        return result;
    }
    std::puts("get_mx25_partition: ACK received, get partition command acknowledged");

    // The unit's own broadcasts and other nodes' frames are skipped, as in
    // the handshake; the first flash answer is the one judged.
    std::puts("get_mx25_partition: Waiting for mx25_ack response...");
    COMMS_MSG_t answer = zeroed_msg();
    int got;
    do {
        answer = zeroed_msg();
        got = comms->readAnswer(&answer);
    } while (got > 0 && answer.can_ID != CANMSG_MX25_ACK && answer.can_ID != CANMSG_MX25_NACK);
    std::printf("get_mx25_partition: read() returned %d bytes\n", got);
    if (got == 0) {
        std::puts("get_mx25_partition: No response received (timeout or no data).");
        return result;
    }
    if (got < 0) {
        std::printf("get_mx25_partition: Error reading response from device (bytes_read=%d).\n", got);
        return result;
    }
    std::printf("get_mx25_partition: Response received - CAN_ID=0x%08X, msg_len=%u\n", answer.can_ID,
                static_cast<unsigned>(answer.msg_len));
    std::printf("get_mx25_partition: Response data[0-7]: ");
    for (unsigned i = 0; i < answer.msg_len && i < 8; ++i) {
        std::printf("0x%02X ", static_cast<unsigned>(answer.data[i]));
    }
    std::printf("\n");

    if (answer.can_ID == CANMSG_MX25_ACK) {
        const uint32_t marker = get_le32(&answer.data[1]);
        std::printf("get_mx25_partition: op_type=0x%02X, extracted partition_value=0x%08X\n",
                    static_cast<unsigned>(answer.data[0]), marker);
        if (marker == partition_1 || marker == partition_2 || marker == partition_none) {
            result = static_cast<mx25_partition>(marker);
            std::printf("get_mx25_partition: Partition retrieved successfully (partition=0x%02X, raw=0x%08X)\n",
                        marker, marker);
        } else {
            std::printf("get_mx25_partition: Invalid partition value received (raw=0x%08X)\n", marker);
        }
    } else {
        std::puts("get_mx25_partition: Operation failed (CAN ID 0x257)");
    }
    return result;
}

bool send_fw(CommsManager* comms, const char* encrypted_bin_file_path, fw_progress_callback_t progress_cb,
             void* user_data, const std::atomic<bool>* cancel, std::string* reason)
{
    upload_image_t image;
    return load_for_upload(comms, FIRMWARE_UPLOAD, encrypted_bin_file_path, &image, reason) &&
           send_fw_image(comms, image, progress_cb, user_data, cancel, reason);
}

bool send_fw_image(CommsManager* comms, const upload_image_t& image, fw_progress_callback_t progress_cb,
                   void* user_data, const std::atomic<bool>* cancel, std::string* reason)
{
    if (!upload_may_start(comms, FIRMWARE_UPLOAD, image, reason)) {
        return false;
    }
    TightTimers timers;

    std::puts("send_fw: Getting current MX25 partition...");
    const mx25_partition partition = get_mx25_partition(comms);
    uint32_t start_page;
    const char* partition_name;
    if (partition == partition_none) {
        std::puts("send_fw: Invalid partition (partition_none), cannot proceed");
        give_reason(reason, NO_BANK);
        return false;
    } else if (partition == partition_1) {
        start_page = FW_BANK1_START_PAGE;
        partition_name = "partition_1 (BANK1)";
    } else if (partition == partition_2) {
        start_page = FW_BANK2_START_PAGE;
        partition_name = "partition_2 (BANK2)";
    } else {
        std::printf("send_fw: Unknown partition value (0x%02X), cannot proceed\n", static_cast<unsigned>(partition));
        give_reason(reason, NO_BANK);
        return false;
    }
    std::printf("send_fw: Using %s, starting at page %u\n", partition_name, start_page);

    const uint32_t num_blocks_needed = image.num_blocks;
    const uint32_t end_page = start_page + num_blocks_needed;
    std::printf("send_fw: Firmware size: %u bytes, will erase %u blocks (pages %u to %u)\n", image.header.total_size,
                num_blocks_needed, start_page, end_page - 1);

    return program_image(comms, FIRMWARE_UPLOAD, start_page, num_blocks_needed, image.bytes.data(),
                         image.header.encrypted_size, progress_cb, user_data, cancel, reason);
}

bool send_airport_db(CommsManager* comms, const char* db_file_path, fw_progress_callback_t progress_cb,
                     void* user_data, const std::atomic<bool>* cancel, bool* database_closed, std::string* reason)
{
    if (database_closed != nullptr) {
        *database_closed = false;
    }
    upload_image_t image;
    return load_for_upload(comms, AIRPORT_UPLOAD, db_file_path, &image, reason) &&
           send_airport_db_image(comms, image, progress_cb, user_data, cancel, database_closed, reason);
}

bool send_airport_db_image(CommsManager* comms, const upload_image_t& image, fw_progress_callback_t progress_cb,
                           void* user_data, const std::atomic<bool>* cancel, bool* database_closed,
                           std::string* reason)
{
    bool closed_here = false;
    bool* closed = database_closed != nullptr ? database_closed : &closed_here;
    *closed = false;
    if (!upload_may_start(comms, AIRPORT_UPLOAD, image, reason)) {
        return false;
    }
    TightTimers timers;

    const uint32_t file_size = static_cast<uint32_t>(image.bytes.size());
    const uint32_t num_blocks = image.num_blocks;
    const uint32_t start_address = AIRPORT_DB_FIRST_BLOCK * MX25_BLOCK_SIZE;
    std::printf("send_airport_db: %u bytes, erasing %u blocks starting at block 0 (address 0x%08X)\n", file_size,
                num_blocks, start_address);

    std::puts("send_airport_db: closing airport DB on device before flash update...");
    if (!send_airport_db_op(comms, AIRPORT_DB_OP_CLOSE)) {
        std::puts("send_airport_db: close DB command failed, aborting");
        give_reason(reason, "the command to close the airport database could not be sent");
        return false;
    }
    // From here the unit may have closed its database, even if the
    // acknowledgement does not come.
    *closed = true;
    if (!wait_for_ack(comms, CANMSG_AIRPORT_DB_OP)) {
        std::printf("send_airport_db: no ACK for close DB (expected CAN ID 0x%03X in ACK payload), aborting\n",
                    static_cast<unsigned>(CANMSG_AIRPORT_DB_OP));
        give_reason(reason, "closing the airport database not acknowledged");
        return false;
    }
    std::puts("send_airport_db: close DB acknowledged");
    std::this_thread::sleep_for(kAfterCloseAck);

    if (!program_image(comms, AIRPORT_UPLOAD, AIRPORT_DB_FIRST_BLOCK, num_blocks, image.bytes.data(), file_size,
                       progress_cb, user_data, cancel, reason)) {
        return false;
    }
    std::puts("send_airport_db: opening airport DB on device...");
    if (!send_airport_db_op(comms, AIRPORT_DB_OP_OPEN)) {
        std::puts("send_airport_db: warning: open DB command failed; device may need a reconnect");
        give_reason(reason, "the command to open the airport database again could not be sent");
        return false;
    }
    *closed = false;
    return true;
}
