#include "firmware_ops.h"

#include <sys/prctl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const uint8_t AIRPORT_DB_OP_CLOSE = 0xDC;
const uint8_t AIRPORT_DB_OP_OPEN = 0xDA;

const uint32_t kChunkSize = 64;
const std::chrono::microseconds kPacketPause(100);
const std::chrono::milliseconds kAfterCloseAck(10);
// The file is read through one buffer of this size: one read() per 1024 packets.
const size_t kFileBuffer = 65536;

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

class File {
public:
    explicit File(const char* path) : f(std::fopen(path, "rb")), buffer()
    {
        if (f != nullptr) {
            buffer.resize(kFileBuffer);
            std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
        }
    }
    ~File()
    {
        if (f != nullptr) {
            std::fclose(f);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    FILE* f;

private:
    std::vector<char> buffer;  // outlives f: fclose comes first
};

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

enum PacketOutcome { PACKET_DONE, PACKET_NOT_SENT, PACKET_NOT_ACKED, PACKET_WRONG_OP };

// Writes `len` bytes (1 to 64) where the unit's write pointer stands, each
// write packet confirmed by its flash acknowledgement before the next goes
// out. Over CAN FD a length that a frame cannot carry exactly goes as
// packets of lengths it can (36 as 32 + 4), so the unit never stores the
// controller's padding. *acked counts the bytes the unit confirmed.
PacketOutcome write_packet(CommsManager* comms, const uint8_t* bytes, uint8_t len, uint8_t* op_out,
                           uint32_t* address_out, uint32_t* acked)
{
    const bool exact_frames = comms->getActiveInterface() == CAN_FD;
    *acked = 0;
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
        if (!wait_for_mx25_ack(comms, op_out, address_out)) {
            return PACKET_NOT_ACKED;
        }
        if (*op_out != OP_WRITE) {
            return PACKET_WRONG_OP;
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
                  fw_progress_callback_t progress_cb, void* user_data, const std::atomic<bool>* cancel)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (cancelled(cancel)) {
            std::printf("%s: Cancelled during erase (%u of %u blocks erased)\n", who, i, count);
            return false;
        }
        const uint32_t block = first + i;
        if (!mx25_erase(comms, OP_BLOCK_ERASE, static_cast<uint16_t>(block), progress_cb, user_data, i, count)) {
            std::printf("%s: Erase of block %u not confirmed, stopping before any write\n", who, block);
            return false;
        }
    }
    return true;
}

// A packet loop's lines, in its routine's own words.
struct PacketLines {
    const char* cancelled;    // sent, total
    const char* end_of_file;
    const char* read_error;   // system error text
    const char* not_sent;     // packet number
    const char* not_acked;    // packet number
    const char* wrong_op;     // expected, reported operation
    const char* progress;     // every 100 packets (sent, total, percent), or none
};

const PacketLines FIRMWARE_LINES = {
    "send_fw: Cancelled after %u of %u bytes\n",
    "send_fw: Reached end of file",
    "send_fw: Error reading file: %s\n",
    "send_fw: Failed to send firmware data packet %u\n",
    "send_fw: MX25 write acknowledgment failed at packet %u\n",
    "send_fw: Op type mismatch in response (expected=OP_WRITE/0x%02X, got=0x%02X)\n",
    "send_fw: Progress: %u/%u bytes (%.1f%%)\n",
};

const PacketLines AIRPORT_LINES = {
    "send_airport_db: Cancelled after %u of %u bytes\n",
    "send_airport_db: Unexpected EOF",
    "send_airport_db: fread error: %s\n",
    "send_airport_db: Failed to send packet %u\n",
    "send_airport_db: MX25 ACK failed at packet %u\n",
    "send_airport_db: Op type mismatch (expected OP_WRITE 0x%02X, got 0x%02X)\n",
    nullptr,
};

// Sends `total` bytes from the file's position in packets of 64, each
// acknowledged before the next is read, with the pause after each. Stops at
// the first failure (or when cancelled) with its line. Returns the bytes the
// unit acknowledged; *packets counts the packets.
uint32_t send_packets(CommsManager* comms, FILE* file, uint32_t total, const PacketLines& lines,
                      fw_progress_callback_t progress_cb, void* user_data, const std::atomic<bool>* cancel,
                      uint32_t* packets)
{
    uint32_t sent = 0;
    *packets = 0;
    uint8_t buffer[kChunkSize];
    uint8_t op = OP_NONE;
    uint32_t address = 0;
    uint32_t acked = 0;
    while (sent < total) {
        if (cancelled(cancel)) {
            std::printf(lines.cancelled, sent, total);
            break;
        }
        const uint32_t want = total - sent < kChunkSize ? total - sent : kChunkSize;
        errno = 0;
        const size_t got = std::fread(buffer, 1, want, file);
        if (got == 0) {
            if (std::feof(file)) {
                std::puts(lines.end_of_file);
            } else {
                std::printf(lines.read_error, std::strerror(errno));
            }
            break;
        }
        const PacketOutcome outcome = write_packet(comms, buffer, static_cast<uint8_t>(got), &op, &address, &acked);
        sent += acked;
        if (outcome == PACKET_NOT_SENT) {
            std::printf(lines.not_sent, *packets);
            break;
        }
        if (outcome == PACKET_NOT_ACKED) {
            std::printf(lines.not_acked, *packets);
            break;
        }
        if (outcome == PACKET_WRONG_OP) {
            std::printf(lines.wrong_op, static_cast<unsigned>(OP_WRITE), static_cast<unsigned>(op));
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

    uint8_t reported_op = OP_NONE;
    uint32_t reported_address = 0;
    bool address_given = false;
    if (!wait_for_mx25_ack(comms, &reported_op, &reported_address, &address_given)) {
        std::puts("mx25_erase: Erase operation failed or timeout");
        return false;
    }
    if (reported_op != static_cast<uint8_t>(op_type)) {
        std::printf("mx25_erase: Op type mismatch in response (expected=0x%02X, got=0x%02X)\n",
                    static_cast<unsigned>(op_type), static_cast<unsigned>(reported_op));
        return false;
    }
    uint32_t expected = 0;
    if (op_type == OP_SECTOR_ERASE) {
        expected = static_cast<uint32_t>(block_or_sector) * MX25_SECTOR_SIZE;
    } else if (op_type == OP_BLOCK_ERASE) {
        expected = static_cast<uint32_t>(block_or_sector) * MX25_BLOCK_SIZE;
    }
    if (op_type != OP_CHIP_ERASE) {
        // Without an address the unit has not said which area it erased.
        if (!address_given) {
            std::printf("mx25_erase: No address in response (expected=0x%08X), erase not confirmed\n", expected);
            return false;
        }
        if (reported_address != expected) {
            std::printf("mx25_erase: Address mismatch (expected=0x%08X, got=0x%08X)\n", expected, reported_address);
            return false;
        }
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

    uint8_t reported_op = OP_NONE;
    uint32_t reported_address = 0;
    bool address_given = false;
    if (!wait_for_mx25_ack(comms, &reported_op, &reported_address, &address_given)) {
        std::puts("set_mx25_addr: Failed to receive acknowledgment or operation failed");
        return false;
    }
    if (reported_op != OP_SETADDR) {
        std::printf("set_mx25_addr: Op type mismatch (expected=OP_SETADDR/0x%02X, got=0x%02X)\n",
                    static_cast<unsigned>(OP_SETADDR), static_cast<unsigned>(reported_op));
        return false;
    }
    if (!address_given) {
        std::printf("set_mx25_addr: No address in response (expected=0x%08X), address not confirmed\n", address);
        return false;
    }
    if (reported_address != address) {
        std::printf("set_mx25_addr: Address mismatch (expected=0x%08X, got=0x%08X)\n", address, reported_address);
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
             void* user_data, const std::atomic<bool>* cancel)
{
    if (!linked(comms)) {
        std::puts("send_fw: CommsManager not connected");
        return false;
    }
    if (encrypted_bin_file_path == nullptr) {
        std::puts("send_fw: Invalid encrypted file path");
        return false;
    }
    TightTimers timers;

    std::puts("send_fw: Getting current MX25 partition...");
    const mx25_partition partition = get_mx25_partition(comms);
    uint32_t start_page;
    const char* partition_name;
    if (partition == partition_none) {
        std::puts("send_fw: Invalid partition (partition_none), cannot proceed");
        return false;
    } else if (partition == partition_1) {
        start_page = FW_BANK1_START_PAGE;
        partition_name = "partition_1 (BANK1)";
    } else if (partition == partition_2) {
        start_page = FW_BANK2_START_PAGE;
        partition_name = "partition_2 (BANK2)";
    } else {
        std::printf("send_fw: Unknown partition value (0x%02X), cannot proceed\n", static_cast<unsigned>(partition));
        return false;
    }
    std::printf("send_fw: Using %s, starting at page %u\n", partition_name, start_page);

    File file(encrypted_bin_file_path);
    if (file.f == nullptr) {
        std::printf("send_fw: Failed to open file %s: %s\n", encrypted_bin_file_path, std::strerror(errno));
        return false;
    }
    firmware_header_t header;
    uint8_t header_bytes[sizeof(firmware_header_t)];
    errno = 0;
    if (std::fread(header_bytes, 1, sizeof(header_bytes), file.f) != sizeof(header_bytes)) {
        std::printf("send_fw: Failed to read firmware header from %s: %s\n", encrypted_bin_file_path,
                    std::strerror(errno));
        return false;
    }
    std::memcpy(&header, header_bytes, sizeof(header));
    std::printf("send_fw: Read firmware header (total_size=%u, plaintext_size=%u, encrypted_size=%u, "
                "offset=0x%08X)\n",
                header.total_size, header.plaintext_size, header.encrypted_size, header.offset);

    const uint32_t num_blocks_needed =
        static_cast<uint32_t>((static_cast<uint64_t>(header.total_size) + MX25_BLOCK_SIZE - 1) / MX25_BLOCK_SIZE);
    const uint32_t end_page = start_page + num_blocks_needed;
    if (end_page > start_page + FW_BANK_BLOCKS) {
        std::printf("send_fw: Error: Firmware too large for partition (%u blocks needed, but partition only has %u "
                    "blocks)\n",
                    num_blocks_needed, FW_BANK_BLOCKS);
        return false;
    }
    // What is written must fit into what is erased: past it lie unerased
    // flash and, from bank 1, bank 2.
    const uint64_t bytes_to_write = sizeof(firmware_header_t) + static_cast<uint64_t>(header.encrypted_size);
    const uint64_t bytes_erased = static_cast<uint64_t>(num_blocks_needed) * MX25_BLOCK_SIZE;
    if (bytes_to_write > bytes_erased) {
        std::printf("send_fw: Error: Image does not fit the blocks it erases (64 + %u bytes, %u blocks = %llu "
                    "bytes)\n",
                    header.encrypted_size, num_blocks_needed, static_cast<unsigned long long>(bytes_erased));
        return false;
    }
    std::printf("send_fw: Firmware size: %u bytes, will erase %u blocks (pages %u to %u)\n", header.total_size,
                num_blocks_needed, start_page, end_page - 1);

    if (!erase_blocks(comms, "send_fw", start_page, num_blocks_needed, progress_cb, user_data, cancel)) {
        return false;
    }

    std::puts("send_fw: All blocks erased, setting address and sending firmware header...");
    const uint32_t header_address = start_page * MX25_BLOCK_SIZE;
    std::printf("send_fw: Setting MX25 address to 0x%08X for header\n", header_address);
    if (!set_mx25_addr(comms, header_address)) {
        std::printf("send_fw: Address 0x%08X not confirmed, stopping before any write\n", header_address);
        return false;
    }

    uint8_t op = OP_NONE;
    uint32_t address = 0;
    uint32_t acked = 0;
    switch (write_packet(comms, header_bytes, sizeof(header_bytes), &op, &address, &acked)) {
    case PACKET_DONE:
        break;
    case PACKET_NOT_SENT:
        std::puts("send_fw: Failed to send firmware header");
        return false;
    case PACKET_NOT_ACKED:
        std::puts("send_fw: Header write acknowledgment failed");
        return false;
    case PACKET_WRONG_OP:
        std::printf("send_fw: Header write op type mismatch (expected=OP_WRITE/0x%02X, got=0x%02X)\n",
                    static_cast<unsigned>(OP_WRITE), static_cast<unsigned>(op));
        return false;
    }
    std::printf("send_fw: Firmware header written successfully (address=0x%08X)\n", address);

    const uint32_t encrypted_data_size = header.encrypted_size;
    std::printf("send_fw: Encrypted data size: %u bytes (0x%08X)\n", encrypted_data_size, encrypted_data_size);
    uint32_t packet_count = 0;
    std::puts("send_fw: Starting firmware data transmission...");
    const uint32_t total_bytes_sent = send_packets(comms, file.f, encrypted_data_size, FIRMWARE_LINES, progress_cb,
                                                   user_data, cancel, &packet_count);

    if (total_bytes_sent == encrypted_data_size) {
        std::printf("send_fw: Firmware transmission completed successfully (%u bytes, %u packets)\n",
                    total_bytes_sent, packet_count);
        return true;
    }
    std::printf("send_fw: Firmware transmission incomplete (%u/%u bytes sent, %u packets)\n", total_bytes_sent,
                encrypted_data_size, packet_count);
    return false;
}

bool send_airport_db(CommsManager* comms, const char* db_file_path, fw_progress_callback_t progress_cb,
                     void* user_data, const std::atomic<bool>* cancel, bool* database_closed)
{
    bool closed_here = false;
    bool* closed = database_closed != nullptr ? database_closed : &closed_here;
    *closed = false;
    if (!linked(comms)) {
        std::puts("send_airport_db: CommsManager not connected");
        return false;
    }
    if (db_file_path == nullptr) {
        std::puts("send_airport_db: Invalid file path");
        return false;
    }
    TightTimers timers;

    File file(db_file_path);
    if (file.f == nullptr) {
        std::printf("send_airport_db: Failed to open file %s: %s\n", db_file_path, std::strerror(errno));
        return false;
    }
    if (fseeko(file.f, 0, SEEK_END) != 0) {
        std::printf("send_airport_db: Failed to seek end of file: %s\n", std::strerror(errno));
        return false;
    }
    const off_t size = ftello(file.f);
    if (size < 0) {
        std::printf("send_airport_db: ftell failed: %s\n", std::strerror(errno));
        return false;
    }
    if (size == 0) {
        std::puts("send_airport_db: File is empty");
        return false;
    }
    const uint64_t blocks = (static_cast<uint64_t>(size) + MX25_BLOCK_SIZE - 1) / MX25_BLOCK_SIZE;
    if (blocks > AIRPORT_DB_BLOCKS) {
        std::printf("send_airport_db: File too large (%llu bytes, %llu blocks); max %u blocks before firmware bank\n",
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(blocks),
                    AIRPORT_DB_BLOCKS);
        return false;
    }
    const uint32_t file_size = static_cast<uint32_t>(size);
    const uint32_t num_blocks = static_cast<uint32_t>(blocks);
    const uint32_t start_address = AIRPORT_DB_FIRST_BLOCK * MX25_BLOCK_SIZE;
    std::printf("send_airport_db: %u bytes, erasing %u blocks starting at block 0 (address 0x%08X)\n", file_size,
                num_blocks, start_address);

    std::puts("send_airport_db: closing airport DB on device before flash update...");
    if (!send_airport_db_op(comms, AIRPORT_DB_OP_CLOSE)) {
        std::puts("send_airport_db: close DB command failed, aborting");
        return false;
    }
    // From here the unit may have closed its database, even if the
    // acknowledgement does not come.
    *closed = true;
    if (!wait_for_ack(comms, CANMSG_AIRPORT_DB_OP)) {
        std::printf("send_airport_db: no ACK for close DB (expected CAN ID 0x%03X in ACK payload), aborting\n",
                    static_cast<unsigned>(CANMSG_AIRPORT_DB_OP));
        return false;
    }
    std::puts("send_airport_db: close DB acknowledged");
    std::this_thread::sleep_for(kAfterCloseAck);

    if (!erase_blocks(comms, "send_airport_db", AIRPORT_DB_FIRST_BLOCK, num_blocks, progress_cb, user_data, cancel)) {
        std::puts("send_airport_db: airport DB left closed on device");
        return false;
    }

    std::printf("send_airport_db: Erase complete, setting address 0x%08X and transferring data...\n", start_address);
    if (fseeko(file.f, 0, SEEK_SET) != 0) {
        std::printf("send_airport_db: Failed to seek start of file: %s\n", std::strerror(errno));
        std::puts("send_airport_db: airport DB left closed on device");
        return false;
    }
    if (!set_mx25_addr(comms, start_address)) {
        std::printf("send_airport_db: Address 0x%08X not confirmed, stopping before any write\n", start_address);
        std::puts("send_airport_db: airport DB left closed on device");
        return false;
    }

    uint32_t packet_count = 0;
    const uint32_t total_bytes_sent =
        send_packets(comms, file.f, file_size, AIRPORT_LINES, progress_cb, user_data, cancel, &packet_count);

    if (total_bytes_sent != file_size) {
        std::printf("send_airport_db: Incomplete (%u / %u bytes); not sending open command\n", total_bytes_sent,
                    file_size);
        return false;
    }
    std::printf("send_airport_db: Complete (%u bytes, %u packets)\n", total_bytes_sent, packet_count);
    std::puts("send_airport_db: opening airport DB on device...");
    if (!send_airport_db_op(comms, AIRPORT_DB_OP_OPEN)) {
        std::puts("send_airport_db: warning: open DB command failed; device may need a reconnect");
        return false;
    }
    *closed = false;
    return true;
}
