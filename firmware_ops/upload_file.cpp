// An upload's file, read and checked before the unit hears anything: kept
// apart from the exchange with the unit, which only ever sees the checked copy.

#include "firmware_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formatted.h"

namespace {

using firmware_ops_internal::formatted;

// The largest files that can be valid: a header and one bank, or the whole
// airport region.
const size_t kFirmwareFileMost = sizeof(firmware_header_t) + size_t(FW_BANK_BLOCKS) * MX25_BLOCK_SIZE;
const size_t kAirportFileMost = size_t(AIRPORT_DB_BLOCKS) * MX25_BLOCK_SIZE;

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

}  // namespace

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
