#include "unit_wire.h"

#include <linux/can.h>

#include <algorithm>
#include <cstring>

namespace sim {

const uint8_t UNIT_REPORT_DESCRIPTOR[] = {
    0x06, 0x00, 0xFF,        // Usage Page (vendor-defined 0xFF00)
    0x09, 0x01,              // Usage (1)
    0xA1, 0x01,              // Collection (Application)
    0x15, 0x00,              //   Logical Minimum (0)
    0x26, 0xFF, 0x00,        //   Logical Maximum (255)
    0x75, 0x08,              //   Report Size (8)
    0x85, UNIT_INPUT_REPORT_ID,
    0x95, uint8_t(UNIT_INPUT_REPORT_SIZE - 1),   // Report Count
    0x09, 0x02,              //   Usage (2)
    0x81, 0x02,              //   Input (Data, Variable, Absolute)
    0x85, UNIT_OUTPUT_REPORT_ID,
    0x95, uint8_t(UNIT_OUTPUT_REPORT_SIZE - 1),  // Report Count
    0x09, 0x03,              //   Usage (3)
    0x91, 0x02,              //   Output (Data, Variable, Absolute)
    0xC0,                    // End Collection
};
const size_t UNIT_REPORT_DESCRIPTOR_SIZE = sizeof UNIT_REPORT_DESCRIPTOR;

void unit_input_report(const COMMS_MSG_t& msg, uint8_t report[UNIT_INPUT_REPORT_SIZE])
{
    report[0] = UNIT_INPUT_REPORT_ID;
    report[1] = msg.iface;
    put_le32(report + 2, msg.can_ID);
    report[6] = msg.msg_len;
    std::memcpy(report + 7, msg.data, sizeof msg.data);
}

bool unit_request_from_output_report(const uint8_t* report, size_t size, COMMS_MSG_t* msg)
{
    if (size < 6 || size > UNIT_OUTPUT_REPORT_SIZE || report[0] != UNIT_OUTPUT_REPORT_ID ||
        report[5] > sizeof msg->data || size < 6u + report[5])
        return false;
    std::memset(msg, 0, sizeof *msg);
    msg->iface = USB_HID;
    msg->can_ID = get_le32(report + 1);
    msg->msg_len = report[5];
    std::memcpy(msg->data, report + 6, report[5]);
    return true;
}

uint8_t canfd_bus_length(uint8_t len)
{
    static const uint8_t lengths[] = {12, 16, 20, 24, 32, 48, 64};
    if (len <= 8)
        return len;
    for (uint8_t l : lengths) {
        if (l >= len)
            return l;
    }
    return CANFD_MAX_DLEN;
}

bool unit_request_from_frame(const uint8_t* frame, size_t size, COMMS_MSG_t* msg)
{
    struct canfd_frame f;
    if (size != CAN_MTU && size != CANFD_MTU)
        return false;
    std::memset(&f, 0, sizeof f);
    std::memcpy(&f, frame, size);
    if (f.len > (size == CAN_MTU ? CAN_MAX_DLEN : CANFD_MAX_DLEN))
        return false;
    std::memset(msg, 0, sizeof *msg);
    msg->iface = CAN_FD;
    msg->can_ID = f.can_id;
    msg->msg_len = size == CANFD_MTU ? canfd_bus_length(f.len) : f.len;
    std::memcpy(msg->data, f.data, f.len);
    return true;
}

size_t unit_frame(const COMMS_MSG_t& msg, bool classic, uint8_t frame[72])
{
    struct canfd_frame f;
    std::memset(&f, 0, sizeof f);
    f.can_id = msg.can_ID;
    f.len = std::min<uint8_t>(msg.msg_len, classic ? CAN_MAX_DLEN : CANFD_MAX_DLEN);
    f.flags = classic ? 0 : CANFD_BRS;
    std::memcpy(f.data, msg.data, f.len);
    const size_t size = classic ? CAN_MTU : CANFD_MTU;
    std::memcpy(frame, &f, size);
    return size;
}

}  // namespace sim
