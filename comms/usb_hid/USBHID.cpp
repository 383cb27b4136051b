#include "USBHID.h"

#include <hidapi.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "../link_lock.h"

namespace {

// The unit's vendor-defined HID usage page; its other interfaces are ignored.
const unsigned short kVendorUsagePage = 0xFF00;
const size_t kInputReportSize = 128;
// Report number, iface, can_ID (4) and msg_len come before the payload.
const size_t kInputHeaderSize = 7;
// can_ID (4) and msg_len come before the payload in the output body.
const size_t kOutputBodyHeader = 5;

}  // namespace

USBHID::USBHID() : device_handle(nullptr), connected(false), report_ID(5), lock_fd(-1), unit_lock_fd(-1)
{
    hid_init();
}

USBHID::~USBHID()
{
    disconnect();
    hid_exit();
}

bool USBHID::connect(uint16_t vendor_id, uint16_t product_id)
{
    if (connected) {
        disconnect();
    }
    failure_text.clear();
    const std::vector<std::string> paths = unitPaths(vendor_id, product_id);
    if (paths.empty()) {
        connected = false;
        return false;
    }
    return connectPath(paths.front());
}

std::vector<std::string> USBHID::unitPaths(uint16_t vendor_id, uint16_t product_id)
{
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(vendor_id, product_id);
    for (const hid_device_info* it = list; it != nullptr; it = it->next) {
        if (it->vendor_id == vendor_id && it->product_id == product_id && it->usage_page == kVendorUsagePage &&
            it->path != nullptr) {
            paths.push_back(it->path);
        }
    }
    hid_free_enumeration(list);
    return paths;
}

bool USBHID::connectPath(const std::string& path)
{
    if (connected) {
        disconnect();
    }
    failure_text.clear();
    lock_fd = lock_hid_node(path, &failure_text);
    if (lock_fd < 0) {
        connected = false;
        return false;
    }
    errno = 0;
    device_handle = hid_open_path(path.c_str());
    if (device_handle == nullptr) {
        failure_text = hid_open_failure(path, errno);
        disconnect();
        return false;
    }
    node_path = path;
    connected = true;
    return true;
}

void USBHID::disconnect()
{
    if (device_handle != nullptr) {
        hid_close(device_handle);
        device_handle = nullptr;
    }
    // Released only once the device is closed.
    if (unit_lock_fd >= 0) {
        ::close(unit_lock_fd);
        unit_lock_fd = -1;
    }
    if (lock_fd >= 0) {
        ::close(lock_fd);
        lock_fd = -1;
    }
    node_path.clear();
    connected = false;
}

void USBHID::holdUnitLock(int fd)
{
    if (unit_lock_fd >= 0) {
        ::close(unit_lock_fd);
    }
    unit_lock_fd = fd;
}

int USBHID::unitLockFd() const
{
    return unit_lock_fd;
}

const std::string& USBHID::failure() const
{
    return failure_text;
}

const std::string& USBHID::path() const
{
    return node_path;
}

bool USBHID::isConnected() const
{
    return connected;
}

int USBHID::read(COMMS_MSG_t* msg)
{
    return read(msg, READ_TIMEOUT_MS * 1000L);
}

int USBHID::read(COMMS_MSG_t* msg, long timeout_us)
{
    if (!connected || device_handle == nullptr || msg == nullptr) {
        return -1;
    }

    // hidapi counts whole milliseconds: a partial one is waited in full.
    const int timeout_ms = timeout_us <= 0 ? 0 : static_cast<int>((timeout_us + 999) / 1000);
    unsigned char buffer[kInputReportSize];
    std::memset(buffer, 0, sizeof(buffer));
    int res = hid_read_timeout(device_handle, buffer, sizeof(buffer), timeout_ms);
    if (res <= 0) {
        return res;
    }
    if (res <= 6) {
        return -1;
    }

    std::memset(msg, 0, sizeof(*msg));
    msg->iface = static_cast<COMM_INTERFACE_t>(buffer[1]);
    msg->can_ID = get_le32(buffer + 2);
    msg->msg_len = buffer[6];

    // The report's own length bounds the copy, whatever its msg_len byte says;
    // a library claiming more than the buffer is held to the buffer.
    size_t present = static_cast<size_t>(res);
    if (present > sizeof(buffer)) {
        present = sizeof(buffer);
    }
    size_t count = present - kInputHeaderSize;
    if (count > msg->msg_len) {
        count = msg->msg_len;
    }
    if (count > sizeof(msg->data)) {
        count = sizeof(msg->data);
    }
    std::memcpy(msg->data, buffer + kInputHeaderSize, count);
    return res;
}

int USBHID::write(const uint8_t* data, size_t length)
{
    if (!connected || device_handle == nullptr) {
        return -1;
    }
    if (data == nullptr && length > 0) {
        return -1;
    }

    // A record's report fits on the stack; only longer byte arrays need the heap.
    unsigned char small[1 + kOutputBodyHeader + sizeof(COMMS_MSG_t::data)];
    std::vector<unsigned char> large;
    unsigned char* report = small;
    if (length + 1 > sizeof(small)) {
        large.resize(length + 1);
        report = large.data();
    }
    report[0] = report_ID;
    if (length > 0) {
        std::memcpy(report + 1, data, length);
    }
    return hid_write(device_handle, report, length + 1);
}

int USBHID::write(const COMMS_MSG_t& msg)
{
    if (!connected || device_handle == nullptr) {
        return -1;
    }
    // A longer msg_len would read past data; refuse rather than truncate.
    if (msg.msg_len > sizeof(msg.data)) {
        return -1;
    }

    uint8_t body[kOutputBodyHeader + sizeof(msg.data)];
    put_le32(body, msg.can_ID);
    body[4] = msg.msg_len;
    std::memcpy(body + kOutputBodyHeader, msg.data, msg.msg_len);
    return write(body, kOutputBodyHeader + msg.msg_len);
}
