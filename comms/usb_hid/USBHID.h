#ifndef COMMS_USB_HID_USBHID_H
#define COMMS_USB_HID_USBHID_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../../EFIS_shared/comms_types.h"

struct hid_device_;
typedef struct hid_device_ hid_device;

// One COMMS_MSG_t per HID report on the unit's vendor-defined interface.
class USBHID {
public:
    USBHID();
    ~USBHID();
    USBHID(const USBHID&) = delete;
    USBHID& operator=(const USBHID&) = delete;

    // The first of the unit's interfaces that enumeration lists.
    bool connect(uint16_t vendor_id, uint16_t product_id);
    // One of the paths unitPaths lists. The node is locked before it is
    // opened, and stays locked until disconnect.
    bool connectPath(const std::string& path);
    void disconnect();
    bool isConnected() const;
    // Keeps `fd`, the lock on the unit reached (lock_unit), until
    // disconnect, as the link's own lock is kept.
    void holdUnitLock(int fd);
    // The unit lock held, -1 when none.
    int unitLockFd() const;
    // The unit's vendor-defined interfaces, one per unit plugged in, in
    // enumeration order.
    static std::vector<std::string> unitPaths(uint16_t vendor_id, uint16_t product_id);
    // Why the last connect found a unit but could not use it (in use by
    // another instance, cannot be opened); empty when it found none or
    // succeeded.
    const std::string& failure() const;
    // The node in use; empty when closed.
    const std::string& path() const;

    static const int READ_TIMEOUT_MS = 1000;
    // What read returns when nothing came in time.
    static const int READ_TIMED_OUT = 0;

    // Bytes of the input report, 0 on time-out (1000 ms), -1 on error.
    int read(COMMS_MSG_t* msg);
    // The same, waiting at most timeout_us; 0 takes only a report already waiting.
    int read(COMMS_MSG_t* msg, long timeout_us);
    // Sends report_ID followed by the bytes; hid_write's result.
    int write(const uint8_t* data, size_t length);
    // msg_len + 6 on success, -1 on failure or when msg_len exceeds 64.
    int write(const COMMS_MSG_t& msg);

private:
    hid_device* device_handle;
    bool connected;
    uint8_t report_ID;
    int lock_fd;
    int unit_lock_fd;
    std::string node_path;
    std::string failure_text;
};

#endif
