#ifndef FIRMWARE_OPS_FIRMWARE_OPS_H
#define FIRMWARE_OPS_FIRMWARE_OPS_H

// The unit's external flash, programmed through the unit: erase, address,
// partition query, and the two uploads built on them. Every call blocks its
// thread until the unit has answered (or the link's time-out has passed);
// the uploads run on a worker thread, never on the GUI thread.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "../EFIS_shared/firmware.h"
#include "../EFIS_shared/mem_layout.h"
#include "../comms/comms.h"

// Progress of an upload, called on the upload's thread: phase 0 after each
// confirmed block erase (block position 1..total), phase 1 after each
// acknowledged packet (payload bytes so far, of total).
typedef void (*fw_progress_callback_t)(uint32_t current, uint32_t total, int phase, void* user_data);

const int FW_PHASE_ERASE = 0;
const int FW_PHASE_WRITE = 1;

// True only when the unit confirmed the erase of exactly this sector, block
// (or, for OP_CHIP_ERASE, the chip); then progress_cb, if given, reports it.
bool mx25_erase(CommsManager* comms, FlashOpType op_type, uint16_t block_or_sector, fw_progress_callback_t progress_cb,
                void* user_data, uint32_t current_block, uint32_t total_blocks);

// True only when the unit confirmed OP_SETADDR at `address`.
bool set_mx25_addr(CommsManager* comms, uint32_t address);

// partition_1, partition_2 or partition_none (no usable answer).
mx25_partition get_mx25_partition(CommsManager* comms);

enum upload_kind_t { UPLOAD_FIRMWARE, UPLOAD_AIRPORT_DB };

// An upload's file, read whole once and checked: an upload sends this copy,
// so a file rewritten, replaced or still growing on disk cannot reach the
// unit as anything but what was checked.
struct upload_image_t {
    upload_kind_t kind = UPLOAD_FIRMWARE;
    bool accepted = false;
    std::vector<uint8_t> bytes;  // what lands in flash: the firmware header and its payload, or the database
    firmware_header_t header{};  // firmware: the first 64 bytes
    uint32_t num_blocks = 0;     // blocks the upload erases
    std::string fault;           // why the file was refused, to follow its name or "the file" ("is a FIFO, not a
                                 // regular file")
};

// Reads and checks an upload's file before the unit hears anything. Only a
// regular file is read, and never more than the largest valid image (64
// bytes and one firmware bank, or the airport region) and one byte. Prints
// the procedure's lines ("send_fw: ...", "send_airport_db: ...") as it
// checks; true when the file was accepted.
bool load_upload_image(const char* path, upload_kind_t kind, upload_image_t* image);

// True only when the whole image (header and payload) was written and
// acknowledged. `cancel`, when given and set, stops the run at the next
// block or packet boundary. The path-taking form reads and checks the file
// first (load_upload_image). On failure *reason (when given) says in a few
// words what went wrong first, to follow "failed - " ("erase of block 833
// not confirmed", "cancelled after 640 of 5000 bytes"); it is empty after a
// success.
bool send_fw(CommsManager* comms, const char* encrypted_bin_file_path, fw_progress_callback_t progress_cb,
             void* user_data, const std::atomic<bool>* cancel = nullptr, std::string* reason = nullptr);
bool send_fw_image(CommsManager* comms, const upload_image_t& image, fw_progress_callback_t progress_cb,
                   void* user_data, const std::atomic<bool>* cancel = nullptr, std::string* reason = nullptr);

// True only when the whole file was written and acknowledged and the unit
// was told to open its database again. Any failure after the close leaves
// the unit's database closed; *database_closed (when given) says whether
// the run left it so. *reason as for send_fw.
bool send_airport_db(CommsManager* comms, const char* db_file_path, fw_progress_callback_t progress_cb,
                     void* user_data, const std::atomic<bool>* cancel = nullptr, bool* database_closed = nullptr,
                     std::string* reason = nullptr);
bool send_airport_db_image(CommsManager* comms, const upload_image_t& image, fw_progress_callback_t progress_cb,
                           void* user_data, const std::atomic<bool>* cancel = nullptr,
                           bool* database_closed = nullptr, std::string* reason = nullptr);

#endif
