#ifndef SIM_SIM_WORLD_H
#define SIM_SIM_WORLD_H

// The process-wide test world behind the hidapi double and the SocketCAN
// emulation: which HID interfaces and CAN interfaces exist, where the
// virtual unit is attached, link latency, and wire-level captures.
// Every function is thread-safe. The default world (at start and after
// reset()) has the unit's HID interface enumerated and answering, "can0"
// existing, up, in CAN FD mode, with the unit attached and answering, no
// second unit, no faults, no latency, no broadcasts.
//
// The emulated hidraw nodes, CAN interfaces and units are the calling
// process's own: its HID paths are nodes no other process can open, its CAN
// interfaces have indices and its units serial numbers no other process's
// have, so that the tool's locks on them keep test processes run at once
// apart.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "virtual_unit.h"

namespace sim {

enum class Link { USB, CAN };

struct HidInterface {
    std::string path;
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t usage_page;
    bool is_unit;          // reports go to and come from the virtual unit
    int unit = 0;          // which one: 0 the unit, 1 the second unit
    bool openable = true;  // false: listed, but opening it fails with EACCES, as without the udev rule
};

// Time messages spend on a link, in both directions and in the order they
// happen: to_unit gives when the unit has a request the tool wrote at
// `written`, to_tool when the tool can read an answer the unit sent at
// `sent`. A model with no functions charges nothing.
struct LatencyModel {
    using Clock = std::chrono::steady_clock;
    std::function<Clock::time_point(Clock::time_point written, const COMMS_MSG_t& request)> to_unit;
    std::function<Clock::time_point(Clock::time_point sent, const COMMS_MSG_t& answer)> to_tool;
};

// USB full speed: 1 ms frames, one transaction of at most 64 bytes per frame
// in each direction, each transfer starting in the first frame that begins
// after it was submitted. An output report is msg_len + 6 bytes; the unit's
// input reports are 71 bytes, so each takes two frames.
LatencyModel usb_full_speed_latency();
// CAN FD frames with bit-rate switch, requests and answers sharing one bus.
LatencyModel canfd_latency(double nominal_bps, double data_bps);

void reset();

// The serial numbers the unit and the second unit get at start and on
// reset(): the calling process's own, so that the tool's lock on a unit
// keeps test processes run at once apart. A test may set another.
uint32_t unit_serial();
uint32_t second_unit_serial();

// Runs f with the unit locked.
void with_unit(const std::function<void(VirtualUnit&)>& f);

// A second unit (second_unit_serial(), factory settings) next to the
// first: on USB a HID interface of its own (second_unit_hid_interface(),
// listed after the others), on can0 a second node that answers every
// request as the first does. On neither link at start.
void set_second_unit(bool on_usb, bool on_can);
void with_second_unit(const std::function<void(VirtualUnit&)>& f);

// USB HID
void set_hid_interfaces(const std::vector<HidInterface>& list);
HidInterface unit_hid_interface();        // the default entry of the unit
HidInterface second_unit_hid_interface(); // the second unit's entry
void set_usb_silent(bool silent);         // opens, but the unit never answers on USB
void push_hid_input(const std::vector<uint8_t>& raw_report);  // queued as an input report
std::vector<std::vector<uint8_t>> hid_written();              // every hid_write, raw
int hid_open_handles();
// hidapi calls made so far by the calling thread, for the benchmarks.
struct HidCalls {
    uint64_t writes = 0;
    uint64_t reads = 0;  // hid_read and hid_read_timeout
};
HidCalls hid_calls_of_this_thread();

// CAN FD. Writes fail as the kernel's do: EINVAL for a frame of the wrong
// size (72 bytes without CAN_RAW_FD_FRAMES) or an over-long len, ENXIO on an
// unbound socket or a vanished interface, ENETDOWN on an interface that is
// down, ENOBUFS once the controller's queue is full because no node
// acknowledges. FD frames whose len a CAN FD frame cannot carry (9-63 but
// not 12, 16, 20, 24, 32, 48) reach the unit padded with zeros to the next
// length that it can.
void set_can_interfaces(const std::vector<std::string>& names);  // existing interfaces
void set_can_interface_up(const std::string& name, bool up);     // a downed interface also fails its readers once
// 72 (CAN FD, the default) or 16 (classic CAN): a classic interface takes
// the FD option, then refuses every FD frame with EINVAL and carries none.
void set_can_interface_mtu(const std::string& name, int mtu);
void set_can_unit_attached(bool attached);                       // unit is a node on can0
void set_can_silent(bool silent);
void set_can_no_ack(bool no_ack);             // no node acknowledges: frames stay queued, then ENOBUFS
void inject_can_eintr(int reads, int writes); // the next reads / writes on CAN sockets fail with EINTR
void push_can_frame(const void* frame, size_t len);  // 16 (classic) or 72 (FD) bytes, from another node on can0
std::vector<std::vector<uint8_t>> can_written();     // every frame a tool socket wrote, raw
int can_open_sockets();                              // emulated CAN sockets still open

// A frame a node on can0 sends by itself, over and over.
struct Broadcast {
    COMMS_MSG_t msg;  // identifier, len and payload
    bool classic;     // a classic 16-byte frame instead of an FD frame
    std::chrono::microseconds period;
    bool from_unit;   // sent only while the unit is attached and not silent
};
// The unit's own sensor traffic: accelerometer, gyro and static pressure, 10 Hz each.
std::vector<Broadcast> unit_sensor_broadcasts();
// Another node's traffic: a control head's classic keep-alive at 20 Hz.
Broadcast second_node_broadcast();
void set_can_broadcasts(const std::vector<Broadcast>& list);

void set_latency(Link link, LatencyModel model);     // empty model: no latency
void clear_captures();
// Off for long uploads: captures and the unit's log would hold every packet.
void set_capture(bool on);

// True while the calling thread runs inside one of the doubles (the
// benchmarks count the tool's own allocations apart from theirs).
bool inside_double();

}  // namespace sim

#endif
