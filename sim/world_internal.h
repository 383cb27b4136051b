#ifndef SIM_WORLD_INTERNAL_H
#define SIM_WORLD_INTERNAL_H

// State shared by the world functions, the hidapi double and the SocketCAN
// emulation. Everything in World is guarded by World::mu.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim_world.h"

struct hid_device_;

namespace sim {
namespace detail {

using Clock = std::chrono::steady_clock;

// Bytes that become readable by the tool at `due`.
struct Delivery {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    int unit = 0;  // on USB: the unit whose interface delivers them
};

// One emulated raw CAN socket: the tool holds tool_fd, the bus the other end
// of the socket pair. dev/ino identify the tool's socket, so that a reused
// descriptor number is never taken for it.
struct CanSocket {
    int tool_fd = -1;
    int bus_fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    bool fd_frames = false;
    bool bound = false;
    std::string ifname;  // bound interface; empty when bound to all of them
    int pending_error = 0;  // reported once by the next read, as the kernel's sk_err
};

// A periodic frame on can0 and when it is next due.
struct ScheduledBroadcast {
    Broadcast b;
    Clock::time_point next;
};

struct World {
    std::mutex mu;
    std::condition_variable hid_cv;  // a report was queued or a handle closed

    VirtualUnit unit;
    VirtualUnit second_unit;
    bool second_on_can = false;
    LatencyModel usb_latency;
    LatencyModel can_latency;
    bool capture = true;

    // USB HID
    std::vector<HidInterface> hid_interfaces;
    bool usb_silent = false;
    std::set<hid_device_*> hid_handles;
    std::deque<Delivery> hid_input;  // the unit's input reports on their way to the open handles
    std::vector<std::vector<uint8_t>> hid_written;

    // CAN FD
    std::vector<std::string> can_interfaces;
    bool can_unit_attached = true;
    bool can_silent = false;
    std::map<int, CanSocket> can_sockets;  // by tool descriptor
    std::vector<int> can_closed_bus_fds;   // closed by the bus thread only
    std::deque<Delivery> can_output;       // the unit's frames to can0
    std::vector<std::vector<uint8_t>> can_written;
    std::vector<ScheduledBroadcast> can_broadcasts;
    std::set<std::string> can_down;        // interfaces that exist but are down
    std::map<std::string, int> can_mtu;    // interfaces not at the CAN FD MTU
    bool can_no_ack = false;
    int can_unacked = 0;                   // frames stuck in the controller while nobody acknowledges
    int can_eintr_reads = 0;
    int can_eintr_writes = 0;

    // Bus thread
    int wake_fd = -1;
    bool bus_running = false;
    bool bus_stopping = false;
    pid_t bus_pid = 0;
    std::thread::id bus_id;
    std::thread* bus = nullptr;

    // Restores everything a test may change; open handles and sockets stay.
    void reset_locked();
};

// Never destroyed: the bus thread and late callers may use it during exit.
World& world();

// Queues bytes behind what is already queued on the same link: a link never
// reorders, so a delivery is never due before the one in front of it.
void enqueue(std::deque<Delivery>& q, Clock::time_point due, std::vector<uint8_t> bytes, int unit = 0);

inline VirtualUnit& unit_of(World& w, int which)
{
    return which == 1 ? w.second_unit : w.unit;
}

// The path of the process's own emulated hidraw node n: a memory file
// reached through /proc/self/fd, which no other process can open.
std::string hid_node_path(int n);

// Marks the calling thread as inside a double while it lives.
class InDouble {
public:
    InDouble();
    ~InDouble();
    InDouble(const InDouble&) = delete;
    InDouble& operator=(const InDouble&) = delete;
};

// When the far end has a message that left at `start`, under `model`.
Clock::time_point arrival(const LatencyModel& model, bool to_unit, Clock::time_point start, const COMMS_MSG_t& m);

// Takes in every frame the tool sockets have written so far (the bus thread
// does the same asynchronously); the world functions call it first so that a
// frame written before the call is always seen by it.
void can_sync_locked(World& w);
// Lets the bus thread see new sockets, deliveries and closed descriptors.
void can_wake_locked(World& w);

}  // namespace detail
}  // namespace sim

#endif
