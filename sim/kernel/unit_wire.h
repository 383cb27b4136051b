#ifndef SIM_KERNEL_UNIT_WIRE_H
#define SIM_KERNEL_UNIT_WIRE_H

// The unit's side of both wires, for the virtual unit on real kernel
// interfaces: its HID report descriptor and reports, and its CAN FD frames.

#include <cstddef>
#include <cstdint>

#include "../../EFIS_shared/comms_types.h"

namespace sim {

// Input report (unit to host): number, iface, can_ID (4, LE), msg_len, 64
// payload bytes. Always sent at this length: the kernel drops shorter ones.
const uint8_t UNIT_INPUT_REPORT_ID = 0x01;
const size_t UNIT_INPUT_REPORT_SIZE = 1 + 6 + 64;
// Output report (host to unit): number, can_ID (4, LE), msg_len, payload;
// the host sends only msg_len payload bytes, so it arrives shorter than declared.
const uint8_t UNIT_OUTPUT_REPORT_ID = 0x05;
const size_t UNIT_OUTPUT_REPORT_SIZE = 1 + 5 + 64;

// Vendor-defined usage page 0xFF00, one input and one output report of the
// sizes above.
extern const uint8_t UNIT_REPORT_DESCRIPTOR[];
extern const size_t UNIT_REPORT_DESCRIPTOR_SIZE;

void unit_input_report(const COMMS_MSG_t& msg, uint8_t report[UNIT_INPUT_REPORT_SIZE]);
// False for anything but a whole output report of the unit's number.
bool unit_request_from_output_report(const uint8_t* report, size_t size, COMMS_MSG_t* msg);

// The payload length a CAN FD frame of len bytes has on the bus: its data
// length code only knows 0-8, 12, 16, 20, 24, 32, 48 and 64.
uint8_t canfd_bus_length(uint8_t len);
// A 16-byte classic or 72-byte FD frame as the unit receives it: FD payloads
// padded with zeros to the length the bus carried, flags ignored (the kernel
// adds CANFD_FDF to what was written). False for any other size or a len
// the frame cannot hold.
bool unit_request_from_frame(const uint8_t* frame, size_t size, COMMS_MSG_t* msg);
// Fills frame with an FD frame (flags CANFD_BRS), or a classic one; returns
// its size (72 or 16).
size_t unit_frame(const COMMS_MSG_t& msg, bool classic, uint8_t frame[72]);

}  // namespace sim

#endif
