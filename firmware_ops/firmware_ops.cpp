#include "firmware_ops.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
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
// Reasons given by more than one step.
const char* const NOT_CONNECTED = "the unit is not connected";
const char* const NO_BANK = "the unit did not name a firmware bank to write";
// The largest files that can be valid: a header and one bank, or the whole
// airport region.
const size_t kFirmwareFileMost = sizeof(firmware_header_t) + size_t(FW_BANK_BLOCKS) * MX25_BLOCK_SIZE;
const size_t kAirportFileMost = size_t(AIRPORT_DB_BLOCKS) * MX25_BLOCK_SIZE;

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

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

// The first failure of a run, in a few words for the user (the log lines
// say more); later ones do not replace it.
void give_reason(std::string* reason, const std::string& text)
{
    if (reason != nullptr && reason->empty()) {
        *reason = text;
    }
}

const char* file_type_name(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "of an unknown type";
}

// Reads to the end of the file, but never more than `most` bytes; false on a
// read error (errno tells it). `expected` (the size fstat gave) only sizes
// the first buffer: the file may have changed since.
bool read_at_most(int fd, size_t most, off_t expected, std::vector<uint8_t>* out)
{
    const size_t hint = expected > 0 ? static_cast<size_t>(expected) + 1 : 0;
    out->resize(std::min(most, std::max<size_t>(hint, 4096)));
    size_t have = 0;
    for (;;) {
        if (have == out->size()) {
            if (have >= most) {
                break;
            }
            out->resize(std::min(most, 2 * have));
        }
        const ssize_t n = ::read(fd, out->data() + have, out->size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        have += static_cast<size_t>(n);
    }
    out->resize(have);
    return true;
}

// The checks of a firmware file read whole: the header's sizes fit a bank,
// its payload fits the blocks it erases, and the file holds that payload.
bool check_firmware(const char* path, upload_image_t* image)
{
    const size_t size = image->bytes.size();
    if (size > kFirmwareFileMost) {
        std::printf("send_fw: Error: File larger than any firmware image (more than %zu bytes)\n", kFirmwareFileMost);
        image->fault = formatted("is larger than any firmware image (more than %zu bytes)", kFirmwareFileMost);
        return false;
    }
    if (size < sizeof(firmware_header_t)) {
        std::printf("send_fw: Failed to read firmware header from %s: %s\n", path,
                    formatted("the file ends after %zu bytes", size).c_str());
        image->fault = "is shorter than a firmware header (64 bytes)";
        return false;
    }
    firmware_header_t& header = image->header;
    std::memcpy(&header, image->bytes.data(), sizeof(header));
    std::printf("send_fw: Read firmware header (total_size=%u, plaintext_size=%u, encrypted_size=%u, "
                "offset=0x%08X)\n",
                header.total_size, header.plaintext_size, header.encrypted_size, header.offset);

    // The sizes themselves are in the lines above and below.
    const char* const bad_sizes = "is not a firmware image (its header's sizes do not fit a bank)";
    const uint32_t num_blocks_needed =
        static_cast<uint32_t>((static_cast<uint64_t>(header.total_size) + MX25_BLOCK_SIZE - 1) / MX25_BLOCK_SIZE);
    if (num_blocks_needed > FW_BANK_BLOCKS) {
        std::printf("send_fw: Error: Firmware too large for partition (%u blocks needed, but partition only has %u "
                    "blocks)\n",
                    num_blocks_needed, FW_BANK_BLOCKS);
        image->fault = bad_sizes;
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
        image->fault = bad_sizes;
        return false;
    }
    if (size < bytes_to_write) {
        std::puts("send_fw: Reached end of file");
        image->fault = formatted("ends before its payload (%zu of %llu bytes)", size,
                                 static_cast<unsigned long long>(bytes_to_write));
        std::printf("send_fw: Error: the file %s\n", image->fault.c_str());
        return false;
    }
    // Bytes behind the payload are not part of the image.
    image->bytes.resize(static_cast<size_t>(bytes_to_write));
    image->num_blocks = num_blocks_needed;
    return true;
}

bool check_airport_db(const struct stat& st, upload_image_t* image)
{
    const size_t got = image->bytes.size();
    if (got > 0 && got <= kAirportFileMost) {
        image->num_blocks = static_cast<uint32_t>((got + MX25_BLOCK_SIZE - 1) / MX25_BLOCK_SIZE);
        return true;
    }
    // A file that grew past the limit may be larger still than what was read.
    const uint64_t size = got == 0 ? 0 : std::max<uint64_t>(got, st.st_size > 0 ? uint64_t(st.st_size) : 0);
    if (got == 0) {
        image->fault = "is empty";
        std::puts("send_airport_db: File is empty");
    } else {
        image->fault = formatted("is larger than the airport region (%llu bytes, %zu at most)",
                                 static_cast<unsigned long long>(size), kAirportFileMost);
        std::printf("send_airport_db: File too large (%llu bytes, %llu blocks); max %u blocks before firmware bank\n",
                    static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>((size + MX25_BLOCK_SIZE - 1) / MX25_BLOCK_SIZE),
                    AIRPORT_DB_BLOCKS);
    }
    return false;
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

bool load_upload_image(const char* path, upload_kind_t kind, upload_image_t* image)
{
    const bool firmware = kind == UPLOAD_FIRMWARE;
    const char* who = firmware ? "send_fw" : "send_airport_db";
    *image = upload_image_t();
    image->kind = kind;
    if (path == nullptr) {
        std::puts(firmware ? "send_fw: Invalid encrypted file path" : "send_airport_db: Invalid file path");
        image->fault = "is not named";
        return false;
    }
    // Non-blocking: opening a FIFO that has no writer must not hang.
    Descriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.fd < 0) {
        const int error = errno;
        std::printf("%s: Failed to open file %s: %s\n", who, path, std::strerror(error));
        image->fault = std::string("cannot be opened: ") + std::strerror(error);
        return false;
    }
    // The type of what was opened, not of what the name points to now.
    struct stat st;
    if (fstat(file.fd, &st) != 0) {
        const int error = errno;
        std::printf("%s: Failed to examine file %s: %s\n", who, path, std::strerror(error));
        image->fault = std::string("cannot be examined: ") + std::strerror(error);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        image->fault = std::string("is ") + file_type_name(st.st_mode) + ", not a regular file";
        std::printf("%s: Refusing %s: it %s\n", who, path, image->fault.c_str());
        return false;
    }
    if (!read_at_most(file.fd, (firmware ? kFirmwareFileMost : kAirportFileMost) + 1, st.st_size, &image->bytes)) {
        const int error = errno;
        std::printf(firmware ? "send_fw: Error reading file: %s\n" : "send_airport_db: fread error: %s\n",
                    std::strerror(error));
        image->fault = std::string("cannot be read: ") + std::strerror(error);
        image->bytes.clear();
        return false;
    }
    image->accepted = firmware ? check_firmware(path, image) : check_airport_db(st, image);
    if (!image->accepted) {
        image->bytes.clear();
        image->bytes.shrink_to_fit();
    }
    return image->accepted;
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
