// The process-wide world: defaults, reset, the unit, latency models and the
// setters that concern both links. The link-specific parts live with their
// doubles (hidapi_double.cpp, socketcan_double.cpp).

#include <algorithm>
#include <memory>
#include <mutex>

#include <unistd.h>

#include "world_internal.h"

namespace sim {
namespace detail {

World& world()
{
    static World* const w = [] {
        World* p = new World;
        p->reset_locked();
        return p;
    }();
    return *w;
}

void World::reset_locked()
{
    unit = VirtualUnit();
    unit.serial = unit_serial();
    second_unit = VirtualUnit();
    second_unit.serial = second_unit_serial();
    second_on_can = false;
    usb_latency = LatencyModel();
    can_latency = LatencyModel();
    capture = true;
    hid_interfaces = {unit_hid_interface()};
    usb_silent = false;
    hid_input.clear();
    hid_written.clear();
    can_interfaces = {"can0"};
    can_unit_attached = true;
    can_silent = false;
    can_output.clear();
    can_written.clear();
    can_broadcasts.clear();
    can_down.clear();
    can_mtu.clear();
    can_no_ack = false;
    can_unacked = 0;
    can_eintr_reads = 0;
    can_eintr_writes = 0;
}

void enqueue(std::deque<Delivery>& q, Clock::time_point due, std::vector<uint8_t> bytes, int unit)
{
    if (!q.empty() && due < q.back().due)
        due = q.back().due;
    q.push_back({due, std::move(bytes), unit});
}

}  // namespace detail

// Process ids are unique among the processes running at once, and below
// 2^22: the serial numbers of two test processes never meet.
uint32_t unit_serial() { return 0x10000000u | uint32_t(getpid()); }
uint32_t second_unit_serial() { return 0x20000000u | uint32_t(getpid()); }

using detail::Clock;
using detail::World;
using detail::world;

namespace {

thread_local int t_in_double = 0;

Clock::time_point frame_start_at_or_after(Clock::time_point t)
{
    const std::chrono::milliseconds frame(1);
    const auto since = t.time_since_epoch();
    auto frames = since / frame;
    if (since % frame != Clock::duration::zero())
        ++frames;
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(frames * frame));
}

}  // namespace

LatencyModel usb_full_speed_latency()
{
    // Each direction is a pipe that moves one transaction of up to 64 bytes
    // per 1 ms frame; a transfer begins in the first frame that starts at or
    // after its submission and after the pipe's previous transfer, and it is
    // delivered at the end of its last frame.
    struct Pipes {
        std::mutex mu;
        Clock::time_point out_free, in_free;
    };
    auto pipes = std::make_shared<Pipes>();
    auto carry = [](Clock::time_point ready, Clock::time_point* free, size_t bytes) {
        const size_t transactions = std::max<size_t>(1, (bytes + 63) / 64);
        const Clock::time_point start = frame_start_at_or_after(std::max(ready, *free));
        *free = start + std::chrono::milliseconds(transactions);
        return *free;
    };
    LatencyModel m;
    m.to_unit = [pipes, carry](Clock::time_point written, const COMMS_MSG_t& request) {
        std::lock_guard<std::mutex> lk(pipes->mu);
        return carry(written, &pipes->out_free, size_t(std::min<uint8_t>(request.msg_len, 64)) + 6);
    };
    m.to_tool = [pipes, carry](Clock::time_point sent, const COMMS_MSG_t&) {
        std::lock_guard<std::mutex> lk(pipes->mu);
        return carry(sent, &pipes->in_free, 7 + 64);
    };
    return m;
}

LatencyModel canfd_latency(double nominal_bps, double data_bps)
{
    // Frame time of a CAN FD frame with bit-rate switch, approximated within
    // a few bits:
    //  - arbitration phase at the nominal rate: about 30 bits (SOF, 11-bit
    //    identifier, RRS, IDE, FDF, res, BRS and their stuff bits);
    //  - data phase at the data rate: the payload rounded up to the next
    //    valid FD length, about 10 control bits (ESI, DLC, stuff count), the
    //    CRC (17 bits up to 16 payload bytes, 21 above), the fixed stuff bits
    //    of the CRC field (one per four) and roughly one dynamic stuff bit
    //    per ten bits of control and payload;
    //  - end at the nominal rate: about 12 bits (CRC delimiter, ACK slot and
    //    delimiter, end of frame, the start of the intermission).
    // Requests and answers share the bus: a frame starts no earlier than the
    // end of the one before it, and arrives at its end.
    struct Bus {
        std::mutex mu;
        Clock::time_point free_at;
    };
    auto bus = std::make_shared<Bus>();
    auto carry = [bus, nominal_bps, data_bps](Clock::time_point ready, const COMMS_MSG_t& m) {
        if (!(nominal_bps > 0.0) || !(data_bps > 0.0))
            return ready;
        static const unsigned fd_lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
        const unsigned len = std::min<unsigned>(m.msg_len, 64);
        unsigned payload = 64;
        for (unsigned l : fd_lengths) {
            if (l >= len) {
                payload = l;
                break;
            }
        }
        const double arbitration_bits = 30.0;
        const double control_bits = 10.0;
        const double crc_bits = payload <= 16 ? 17.0 : 21.0;
        const double dynamic_stuff = (control_bits + 8.0 * payload) / 10.0;
        const double data_bits = control_bits + 8.0 * payload + crc_bits + crc_bits / 4.0 + dynamic_stuff;
        const double end_bits = 12.0;
        const double seconds = (arbitration_bits + end_bits) / nominal_bps + data_bits / data_bps;
        const auto frame = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        std::lock_guard<std::mutex> lk(bus->mu);
        const Clock::time_point start = std::max(ready, bus->free_at);
        bus->free_at = start + frame;
        return bus->free_at;
    };
    LatencyModel m;
    m.to_unit = carry;
    m.to_tool = carry;
    return m;
}

namespace detail {

InDouble::InDouble() { ++t_in_double; }
InDouble::~InDouble() { --t_in_double; }

Clock::time_point arrival(const LatencyModel& model, bool to_unit, Clock::time_point start, const COMMS_MSG_t& m)
{
    const auto& f = to_unit ? model.to_unit : model.to_tool;
    return f ? f(start, m) : start;
}

}  // namespace detail

bool inside_double() { return t_in_double > 0; }

void reset()
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.reset_locked();
    w.hid_cv.notify_all();
    detail::can_wake_locked(w);
}

// f runs under the world's lock: it must not call back into the world.
void with_unit(const std::function<void(VirtualUnit&)>& f)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    f(w.unit);
}

// f runs under the world's lock: it must not call back into the world.
void with_second_unit(const std::function<void(VirtualUnit&)>& f)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    f(w.second_unit);
}

void set_second_unit(bool on_usb, bool on_can)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.second_on_can = on_can;
    auto& list = w.hid_interfaces;
    list.erase(std::remove_if(list.begin(), list.end(), [](const HidInterface& i) { return i.is_unit && i.unit == 1; }),
               list.end());
    if (on_usb)
        list.push_back(second_unit_hid_interface());
    w.hid_cv.notify_all();
}

HidInterface unit_hid_interface()
{
    return {detail::hid_node_path(0), vendor_id, product_id, 0xFF00, true, 0, true};
}

HidInterface second_unit_hid_interface()
{
    return {detail::hid_node_path(1), vendor_id, product_id, 0xFF00, true, 1, true};
}

void set_hid_interfaces(const std::vector<HidInterface>& list)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.hid_interfaces = list;
    // Readers of an interface that is gone must notice.
    w.hid_cv.notify_all();
}

void set_usb_silent(bool silent)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.usb_silent = silent;
}

void set_can_interfaces(const std::vector<std::string>& names)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.can_interfaces = names;
}

void set_can_unit_attached(bool attached)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.can_unit_attached = attached;
}

void set_can_silent(bool silent)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.can_silent = silent;
}

// The model runs under the world's lock: it must not call back into the world.
void set_latency(Link link, LatencyModel model)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    if (link == Link::USB)
        w.usb_latency = std::move(model);
    else
        w.can_latency = std::move(model);
}

void set_capture(bool on)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.capture = on;
    w.unit.keep_received = on;
}

void clear_captures()
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.hid_written.clear();
    w.can_written.clear();
}

}  // namespace sim
