// The hidapi functions the USB transport calls, answering from the world:
// the interfaces it lists, and the virtual unit behind the unit's interface.
// Linked instead of the real library, never next to it.
//
// As with hidraw, every open handle has its own input buffer of 64 reports.
// It starts empty (reports that arrived before the open are not seen) and
// drops new reports while it is full. Only output reports with the unit's
// report number (5) reach the unit; the link takes others and the unit
// ignores them.
//
// The interfaces' paths are real nodes of this process (memory files
// reached through /proc/self/fd), so that the tool can open and lock them
// as it does a hidraw node. open() is interposed only to refuse a node
// listed as not openable with EACCES, as a hidraw node without the udev
// rule is refused.

#include <dlfcn.h>
#include <fcntl.h>
#include <hidapi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel/unit_wire.h"
#include "world_internal.h"

struct hid_device_ {
    std::string path;
    bool is_unit;
    int unit;
    bool nonblocking;
    std::chrono::steady_clock::time_point opened;
    std::deque<std::vector<uint8_t>> input;
};

namespace {

using sim::detail::Clock;
using sim::detail::World;
using sim::detail::world;

// hidraw's per-file ring of input reports.
const size_t HANDLE_BUFFER_REPORTS = 64;

thread_local sim::HidCalls t_calls;

// Built by the unit's own code, so the double and the unit on uhid send the
// same bytes: always the full length, like a real interrupt endpoint.
std::vector<uint8_t> input_report(const COMMS_MSG_t& m)
{
    std::vector<uint8_t> r(sim::UNIT_INPUT_REPORT_SIZE, 0);
    sim::unit_input_report(m, r.data());
    return r;
}

const sim::HidInterface* listed(const World& w, const std::string& path)
{
    for (const sim::HidInterface& i : w.hid_interfaces) {
        if (i.path == path)
            return &i;
    }
    return nullptr;
}

bool matches(const sim::HidInterface& i, unsigned short vid, unsigned short pid)
{
    return (vid == 0 || i.vendor_id == vid) && (pid == 0 || i.product_id == pid);
}

// A handle is usable while it is open and its interface is still listed: an
// interface taken out of the list behaves like an unplugged device.
bool usable(World& w, hid_device* dev)
{
    return dev && w.hid_handles.count(dev) && listed(w, dev->path) &&
           !(dev->is_unit && sim::detail::unit_of(w, dev->unit).unplugged);
}

hid_device* open_locked(World& w, const sim::HidInterface& i)
{
    if (!i.openable) {
        errno = EACCES;
        return nullptr;
    }
    hid_device* dev = new hid_device{i.path, i.is_unit, i.unit, false, Clock::now(), {}};
    w.hid_handles.insert(dev);
    return dev;
}

const char* const NODE_PREFIX = "/proc/self/fd/";

// A node the world lists as not openable.
bool refused(const char* path)
{
    if (!path || std::strncmp(path, NODE_PREFIX, std::strlen(NODE_PREFIX)) != 0)
        return false;
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    const sim::HidInterface* i = listed(w, path);
    return i && !i->openable;
}

using open_fn = int (*)(const char*, int, ...);

int open_node(open_fn next, const char* path, int flags, va_list ap)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        mode = va_arg(ap, mode_t);
    if (refused(path)) {
        errno = EACCES;
        return -1;
    }
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(path, flags, mode);
}

// Hands every report that has arrived by now to the unit's open handles,
// each into its own buffer.
void settle_locked(World& w)
{
    const Clock::time_point now = Clock::now();
    while (!w.hid_input.empty() && w.hid_input.front().due <= now) {
        const sim::detail::Delivery& d = w.hid_input.front();
        for (hid_device* dev : w.hid_handles) {
            if (dev->is_unit && dev->unit == d.unit && listed(w, dev->path) && dev->opened <= d.due &&
                dev->input.size() < HANDLE_BUFFER_REPORTS)
                dev->input.push_back(d.bytes);
        }
        w.hid_input.pop_front();
    }
}

// ms < 0 waits until a report comes.
int read_report(hid_device* dev, unsigned char* data, size_t length, int ms, bool use_mode)
{
    sim::detail::InDouble in_double;
    ++t_calls.reads;
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    if (!data || !usable(w, dev))
        return -1;
    if (use_mode)
        ms = dev->nonblocking ? 0 : -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    for (;;) {
        if (!usable(w, dev))
            return -1;
        settle_locked(w);
        if (!dev->input.empty()) {
            const std::vector<uint8_t> r = std::move(dev->input.front());
            dev->input.pop_front();
            const size_t n = std::min(length, r.size());
            if (n > 0)
                std::memcpy(data, r.data(), n);
            return int(n);
        }
        const Clock::time_point now = Clock::now();
        const bool queued = dev->is_unit && !w.hid_input.empty();
        if (ms >= 0 && now >= deadline)
            return 0;
        if (ms < 0 && !queued) {
            w.hid_cv.wait(lk);
        } else {
            Clock::time_point wake = ms < 0 ? w.hid_input.front().due : deadline;
            if (queued)
                wake = std::min(wake, w.hid_input.front().due);
            w.hid_cv.wait_until(lk, wake);
        }
    }
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    static const open_fn next = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    const int fd = open_node(next, path, flags, ap);
    va_end(ap);
    return fd;
}

// The same call on 64-bit Linux, by the name large-file builds use.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int hid_init(void) { return 0; }

int hid_exit(void) { return 0; }

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    struct hid_device_info* head = nullptr;
    struct hid_device_info** tail = &head;
    for (const sim::HidInterface& i : w.hid_interfaces) {
        if (!matches(i, vendor_id, product_id) || (i.is_unit && sim::detail::unit_of(w, i.unit).unplugged))
            continue;
        auto* info = static_cast<struct hid_device_info*>(std::calloc(1, sizeof(struct hid_device_info)));
        if (!info)
            break;
        info->path = strdup(i.path.c_str());
        info->vendor_id = i.vendor_id;
        info->product_id = i.product_id;
        info->usage_page = i.usage_page;
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(struct hid_device_info* devs)
{
    while (devs) {
        struct hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t*)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    settle_locked(w);
    for (const sim::HidInterface& i : w.hid_interfaces) {
        if (matches(i, vendor_id, product_id))
            return open_locked(w, i);
    }
    errno = ENOENT;
    return nullptr;
}

hid_device* hid_open_path(const char* path)
{
    if (!path)
        return nullptr;
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    settle_locked(w);
    const sim::HidInterface* i = listed(w, path);
    if (!i) {
        errno = ENOENT;
        return nullptr;
    }
    return open_locked(w, *i);
}

void hid_close(hid_device* dev)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    // Reports that arrived while it was open are its own, not a later handle's.
    settle_locked(w);
    if (dev && w.hid_handles.erase(dev)) {
        delete dev;
        w.hid_cv.notify_all();
    }
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    sim::detail::InDouble in_double;
    ++t_calls.writes;
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    if (!data || !usable(w, dev))
        return -1;
    if (w.capture)
        w.hid_written.emplace_back(data, data + length);
    // Decoded as the unit decodes it. A report longer than the unit's own
    // still reaches it here, cut to that length: msg_len names nothing past it.
    COMMS_MSG_t msg;
    if (!dev->is_unit || w.usb_silent ||
        !sim::unit_request_from_output_report(data, std::min(length, sim::UNIT_OUTPUT_REPORT_SIZE), &msg))
        return int(length);
    // The unit acts on the request now; only its answers' times follow the link.
    const Clock::time_point arrival = sim::detail::arrival(w.usb_latency, true, Clock::now(), msg);
    for (const sim::Answer& a : sim::detail::unit_of(w, dev->unit).handle(msg)) {
        const Clock::time_point sent = arrival + std::chrono::microseconds(a.delay_us);
        const Clock::time_point due = sim::detail::arrival(w.usb_latency, false, sent, a.msg);
        sim::detail::enqueue(w.hid_input, due, input_report(a.msg), dev->unit);
    }
    w.hid_cv.notify_all();
    return int(length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    return read_report(dev, data, length, milliseconds, false);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    return read_report(dev, data, length, 0, true);
}

int hid_set_nonblocking(hid_device* dev, int nonblock)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    if (!dev || !w.hid_handles.count(dev))
        return -1;
    dev->nonblocking = nonblock != 0;
    return 0;
}

const wchar_t* hid_error(hid_device*)
{
    return L"virtual HID device: operation failed";
}

}  // extern "C"

namespace sim {
namespace detail {

std::string hid_node_path(int n)
{
    static std::string paths[2];
    static std::once_flag made;
    std::call_once(made, [] {
        for (int i = 0; i < 2; ++i) {
            const std::string name = "sim-hidraw" + std::to_string(i);
            const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
            paths[i] = fd >= 0 ? NODE_PREFIX + std::to_string(fd) : "/nonexistent/" + name;
        }
    });
    return paths[n == 1 ? 1 : 0];
}

}  // namespace detail

void push_hid_input(const std::vector<uint8_t>& raw_report)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    detail::enqueue(w.hid_input, Clock::now(), raw_report);
    w.hid_cv.notify_all();
}

std::vector<std::vector<uint8_t>> hid_written()
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    return w.hid_written;
}

HidCalls hid_calls_of_this_thread()
{
    return t_calls;
}

int hid_open_handles()
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    return int(w.hid_handles.size());
}

}  // namespace sim
