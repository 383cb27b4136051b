// Raw CAN sockets without kernel CAN support. socket(PF_CAN, SOCK_RAW,
// CAN_RAW) hands out one end of an AF_UNIX SOCK_SEQPACKET pair; the bus
// keeps the other end. Packets keep frame boundaries, so the tool's own
// fcntl, poll and close work unchanged on it, and SO_RCVTIMEO /
// SO_SNDTIMEO / O_NONBLOCK give real time-outs. The calls that must know
// about CAN are interposed here (socket, ioctl SIOCGIFINDEX, setsockopt
// SOL_CAN_RAW, bind, and read / write for the errors the kernel gives);
// every other call, and every call on another descriptor, goes to the next
// definition (libc, or a sanitizer's).
//
// One bus thread poll()s the bus ends and a wake-up eventfd and sleeps until
// the next frame of the unit or of a broadcasting node is due. A frame the
// tool writes is captured, passed to the other sockets bound to the same
// interface (never back to its sender), and on can0 handed to the virtual
// unit.
//
// write() refuses what the kernel refuses (see sim_world.h). A frame that
// passes goes through the socket pair to the bus thread.
//
// Closed sockets: close is not interposed. A socket is known closed when its
// bus end reads end-of-file / reports POLLHUP (the bus thread and every world
// call check), and a descriptor number is only taken for an emulated socket
// while fstat() still shows the same socket inode, so a reused number never
// reaches a stale registration. socket() also drops a registration left
// under the number it hands out. Descriptors at or above FLAGGED_FDS are
// never emulated: socket() refuses them with EMFILE.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <iterator>

#include "../EFIS_shared/can_export.h"
#include "kernel/unit_wire.h"
#include "world_internal.h"

namespace {

using sim::detail::CanSocket;
using sim::detail::Clock;
using sim::detail::World;
using sim::detail::world;

using socket_fn = int (*)(int, int, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using setsockopt_fn = int (*)(int, int, int, const void*, socklen_t);
using bind_fn = int (*)(int, const struct sockaddr*, socklen_t);
using read_fn = ssize_t (*)(int, void*, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);

struct RealCalls {
    socket_fn socket;
    ioctl_fn ioctl;
    setsockopt_fn setsockopt;
    bind_fn bind;
    read_fn read;
    write_fn write;
};

template <class F>
F next_definition(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Resolved once, on first use, by whichever thread comes first.
const RealCalls& real()
{
    static const RealCalls calls = {
        next_definition<socket_fn>("socket"),
        next_definition<ioctl_fn>("ioctl"),
        next_definition<setsockopt_fn>("setsockopt"),
        next_definition<bind_fn>("bind"),
        next_definition<read_fn>("read"),
        next_definition<write_fn>("write"),
    };
    return calls;
}

// Live registrations; lets calls on ordinary descriptors skip the lock.
std::atomic<int> g_emulated{0};
// One flag per descriptor number that is (or may still be) an emulated
// socket, so that read and write on every other descriptor, the bus
// thread's own included, never take the world's lock.
const int FLAGGED_FDS = 4096;
std::atomic<bool> g_flagged[FLAGGED_FDS];

bool flagged(int fd)
{
    return fd >= 0 && fd < FLAGGED_FDS && g_flagged[fd].load(std::memory_order_acquire);
}

// The kernel's transmit queue of a CAN interface (txqueuelen 10).
const int TX_QUEUE_FRAMES = 10;
// Set once a bus thread was started, so exit only touches the world then.
std::atomic<bool> g_bus_started{false};

const char* const UNIT_INTERFACE = "can0";

int fail(int err)
{
    errno = err;
    return -1;
}

bool interface_exists(const World& w, const std::string& name)
{
    return std::find(w.can_interfaces.begin(), w.can_interfaces.end(), name) != w.can_interfaces.end();
}

int mtu_of(const World& w, const std::string& name)
{
    const auto it = w.can_mtu.find(name);
    return it == w.can_mtu.end() ? int(CANFD_MTU) : it->second;
}

// Interface indices are unique to the process (its pid in the high bits),
// as its emulated interfaces are its own: what the tool names after an
// index never meets another test process's.
int index_base()
{
    return int(getpid()) << 6;
}

bool peer_closed(int bus_fd)
{
    struct pollfd p = {bus_fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// Puts a frame into a tool socket's receive queue if the socket would
// receive it from `ifname`. A full queue drops the frame, as the kernel does.
void deliver_locked(const World& w, const CanSocket& s, const std::string& ifname, const uint8_t* frame, size_t len)
{
    if (!s.bound || (!s.ifname.empty() && s.ifname != ifname))
        return;
    // A classic bus carries no FD frames.
    if (len == CANFD_MTU && (!s.fd_frames || mtu_of(w, ifname) < int(CANFD_MTU)))
        return;
    (void)send(s.bus_fd, frame, len, MSG_DONTWAIT | MSG_NOSIGNAL);
}

std::vector<uint8_t> fd_frame_of(const COMMS_MSG_t& m)
{
    struct canfd_frame f;
    std::memset(&f, 0, sizeof f);
    f.can_id = m.can_ID;
    f.len = std::min<uint8_t>(m.msg_len, CANFD_MAX_DLEN);
    f.flags = CANFD_BRS;
    std::memcpy(f.data, m.data, f.len);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&f);
    return std::vector<uint8_t>(p, p + sizeof f);
}

std::vector<uint8_t> classic_frame_of(const COMMS_MSG_t& m)
{
    struct can_frame f;
    std::memset(&f, 0, sizeof f);
    f.can_id = m.can_ID;
    f.len = std::min<uint8_t>(m.msg_len, CAN_MAX_DLEN);
    std::memcpy(f.data, m.data, f.len);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&f);
    return std::vector<uint8_t>(p, p + sizeof f);
}

// Both frame layouts start with can_id, len, then data at byte 8. An FD
// frame arrives as the bus carried it: its length rounded up to one the
// data length code can express, the padding zero.
COMMS_MSG_t message_of(const uint8_t* frame, size_t len)
{
    struct canfd_frame f;
    std::memset(&f, 0, sizeof f);
    std::memcpy(&f, frame, std::min(len, sizeof f));
    const size_t room = len == CAN_MTU ? CAN_MAX_DLEN : CANFD_MAX_DLEN;
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof m);
    m.iface = CAN_FD;
    m.can_ID = f.can_id;
    const uint8_t sent = uint8_t(std::min<size_t>(f.len, room));
    m.msg_len = len == CANFD_MTU ? sim::canfd_bus_length(sent) : sent;
    std::memcpy(m.data, f.data, sent);
    return m;
}

// What the kernel's raw CAN sendmsg would refuse, as an errno, or 0.
int write_error_locked(World& w, const CanSocket& s, const void* frame, size_t len)
{
    if (len != CAN_MTU && !(len == CANFD_MTU && s.fd_frames))
        return EINVAL;
    if (!frame)
        return EFAULT;
    const uint8_t dlen = static_cast<const uint8_t*>(frame)[offsetof(struct canfd_frame, len)];
    if (dlen > (len == CAN_MTU ? CAN_MAX_DLEN : CANFD_MAX_DLEN))
        return EINVAL;
    if (!s.bound || s.ifname.empty() || !interface_exists(w, s.ifname))
        return ENXIO;
    if (len == CANFD_MTU && mtu_of(w, s.ifname) < int(CANFD_MTU))
        return EINVAL;
    if (w.can_down.count(s.ifname))
        return ENETDOWN;
    return 0;
}

void on_tool_frame_locked(World& w, const CanSocket& from, const uint8_t* frame, size_t len)
{
    // write() refused everything else already; a frame can still meet an
    // interface that vanished or went down since.
    if (write_error_locked(w, from, frame, len) != 0)
        return;
    if (w.capture)
        w.can_written.emplace_back(frame, frame + len);
    for (const auto& entry : w.can_sockets) {
        if (entry.second.tool_fd != from.tool_fd)
            deliver_locked(w, entry.second, from.ifname, frame, len);
    }
    if (from.ifname != UNIT_INTERFACE || w.can_silent)
        return;
    // The units act on the request now; only their answers' times follow the bus.
    const COMMS_MSG_t request = message_of(frame, len);
    const Clock::time_point arrival = sim::detail::arrival(w.can_latency, true, Clock::now(), request);
    bool queued = false;
    for (sim::VirtualUnit* unit : {w.can_unit_attached ? &w.unit : nullptr, w.second_on_can ? &w.second_unit : nullptr}) {
        if (!unit)
            continue;
        for (const sim::Answer& a : unit->handle(request)) {
            const Clock::time_point sent = arrival + std::chrono::microseconds(a.delay_us);
            const Clock::time_point due = sim::detail::arrival(w.can_latency, false, sent, a.msg);
            sim::detail::enqueue(w.can_output, due, fd_frame_of(a.msg));
            queued = true;
        }
    }
    if (queued)
        sim::detail::can_wake_locked(w);
}

// Takes in every frame waiting at the bus end; true once the tool's end is
// closed and nothing is left to read.
bool drain_locked(World& w, const CanSocket& s)
{
    uint8_t buf[128];
    for (;;) {
        const ssize_t n = recv(s.bus_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            on_tool_frame_locked(w, s, buf, size_t(n));
        } else if (n == 0) {
            // End of file, or an empty packet (which no frame is).
            if (peer_closed(s.bus_fd))
                return true;
        } else if (errno != EINTR) {
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
}

void drop_locked(World& w, std::map<int, CanSocket>::iterator it)
{
    w.can_closed_bus_fds.push_back(it->second.bus_fd);
    if (it->first >= 0 && it->first < FLAGGED_FDS)
        g_flagged[it->first].store(false, std::memory_order_release);
    w.can_sockets.erase(it);
    --g_emulated;
    sim::detail::can_wake_locked(w);
}

bool unit_interface_carries(const World& w)
{
    return interface_exists(w, UNIT_INTERFACE) && !w.can_down.count(UNIT_INTERFACE);
}

void deliver_due_locked(World& w)
{
    const Clock::time_point now = Clock::now();
    while (!w.can_output.empty() && w.can_output.front().due <= now) {
        const std::vector<uint8_t> frame = std::move(w.can_output.front().bytes);
        w.can_output.pop_front();
        if (!unit_interface_carries(w))
            continue;
        for (const auto& entry : w.can_sockets)
            deliver_locked(w, entry.second, UNIT_INTERFACE, frame.data(), frame.size());
    }
    for (sim::detail::ScheduledBroadcast& sb : w.can_broadcasts) {
        if (sb.next > now)
            continue;
        // A node that fell behind (a stopped process) sends once, not a burst.
        sb.next = std::max(sb.next + sb.b.period, now);
        const bool sends = !sb.b.from_unit || (w.can_unit_attached && !w.can_silent && !w.unit.unplugged);
        if (!sends || !unit_interface_carries(w))
            continue;
        const std::vector<uint8_t> frame = sb.b.classic ? classic_frame_of(sb.b.msg) : fd_frame_of(sb.b.msg);
        for (const auto& entry : w.can_sockets)
            deliver_locked(w, entry.second, UNIT_INTERFACE, frame.data(), frame.size());
    }
}

// When the bus thread must next deliver something, if ever.
bool next_due_locked(const World& w, Clock::time_point* due)
{
    bool any = false;
    if (!w.can_output.empty()) {
        *due = w.can_output.front().due;
        any = true;
    }
    for (const sim::detail::ScheduledBroadcast& sb : w.can_broadcasts) {
        if (!any || sb.next < *due)
            *due = sb.next;
        any = true;
    }
    return any;
}

// The emulated socket behind descriptor fd, or null if fd is not (or no
// longer) one: the registration must name the very socket fd refers to now.
CanSocket* find_locked(World& w, int fd)
{
    auto it = w.can_sockets.find(fd);
    if (it == w.can_sockets.end())
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_dev == it->second.dev && st.st_ino == it->second.ino)
        return &it->second;
    drain_locked(w, it->second);
    drop_locked(w, it);
    return nullptr;
}

void bus_main()
{
    // Frames are due to the microsecond; the default timer slack (50 us)
    // would deliver them late and charge the tool for it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    std::vector<struct pollfd> fds;
    while (!w.bus_stopping) {
        for (int fd : w.can_closed_bus_fds)
            close(fd);
        w.can_closed_bus_fds.clear();
        deliver_due_locked(w);

        fds.clear();
        fds.push_back({w.wake_fd, POLLIN, 0});
        for (const auto& entry : w.can_sockets)
            fds.push_back({entry.second.bus_fd, POLLIN, 0});
        struct timespec ts;
        struct timespec* timeout = nullptr;
        Clock::time_point due;
        if (next_due_locked(w, &due)) {
            const auto left = std::max(Clock::duration::zero(), due - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = time_t(ns / 1000000000);
            ts.tv_nsec = long(ns % 1000000000);
            timeout = &ts;
        }

        lk.unlock();
        const int ready = ppoll(fds.data(), fds.size(), timeout, nullptr);
        lk.lock();
        if (ready <= 0)
            continue;
        if (fds[0].revents) {
            uint64_t count;
            (void)read(w.wake_fd, &count, sizeof count);
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            // The socket may have been dropped by another thread meanwhile;
            // its descriptor is still open (only this thread closes them).
            for (auto it = w.can_sockets.begin(); it != w.can_sockets.end(); ++it) {
                if (it->second.bus_fd != fds[i].fd)
                    continue;
                if (drain_locked(w, it->second))
                    drop_locked(w, it);
                break;
            }
        }
    }
}

void start_bus_locked(World& w)
{
    if (w.bus_running || w.bus_stopping)
        return;
    w.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w.wake_fd < 0)
        return;
    w.bus = new std::thread(bus_main);
    w.bus_id = w.bus->get_id();
    w.bus_pid = getpid();
    w.bus_running = true;
    g_bus_started = true;
}

// Stops and joins the bus thread at exit, so that nothing runs while the
// process tears down. A forked child has no bus thread to stop.
struct BusStopper {
    ~BusStopper()
    {
        if (!g_bus_started)
            return;
        World& w = world();
        std::thread* bus = nullptr;
        {
            std::lock_guard<std::mutex> lk(w.mu);
            w.bus_stopping = true;
            if (!w.bus_running || w.bus_pid != getpid())
                return;
            sim::detail::can_wake_locked(w);
            bus = w.bus;
        }
        bus->join();
        std::lock_guard<std::mutex> lk(w.mu);
        delete w.bus;
        w.bus = nullptr;
        w.bus_running = false;
    }
} g_bus_stopper;

int open_emulated(int type)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    if (sv[0] >= FLAGGED_FDS) {
        close(sv[0]);
        close(sv[1]);
        return fail(EMFILE);
    }
    if (!(type & SOCK_CLOEXEC))
        (void)fcntl(sv[0], F_SETFD, 0);
    if (type & SOCK_NONBLOCK)
        (void)fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    struct stat st;
    if (fstat(sv[0], &st) != 0) {
        const int err = errno;
        close(sv[0]);
        close(sv[1]);
        return fail(err);
    }

    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    auto stale = w.can_sockets.find(sv[0]);
    if (stale != w.can_sockets.end()) {
        drain_locked(w, stale->second);
        drop_locked(w, stale);
    }
    CanSocket s;
    s.tool_fd = sv[0];
    s.bus_fd = sv[1];
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    w.can_sockets[sv[0]] = s;
    g_flagged[sv[0]].store(true, std::memory_order_release);
    ++g_emulated;
    start_bus_locked(w);
    sim::detail::can_wake_locked(w);
    return sv[0];
}

int interface_index(World& w, struct ifreq* ifr)
{
    // The kernel looks at no more than IFNAMSIZ - 1 characters.
    const std::string name(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ - 1));
    for (size_t i = 0; i < w.can_interfaces.size(); ++i) {
        if (w.can_interfaces[i] == name) {
            ifr->ifr_ifindex = index_base() + int(i) + 1;
            return 0;
        }
    }
    return fail(ENODEV);
}

int interface_mtu(World& w, struct ifreq* ifr)
{
    const std::string name(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ - 1));
    if (!interface_exists(w, name))
        return fail(ENODEV);
    ifr->ifr_mtu = mtu_of(w, name);
    return 0;
}

int bind_emulated(World& w, CanSocket& s, const struct sockaddr* addr, socklen_t len)
{
    if (!addr)
        return fail(EFAULT);
    // The kernel's minimum: family and interface index.
    if (len < socklen_t(offsetof(struct sockaddr_can, can_ifindex) + sizeof(int)))
        return fail(EINVAL);
    struct sockaddr_can sa;
    std::memset(&sa, 0, sizeof sa);
    std::memcpy(&sa, addr, std::min<size_t>(len, sizeof sa));
    if (sa.can_family != AF_CAN)
        return fail(EINVAL);
    if (sa.can_ifindex == 0) {  // all interfaces
        s.bound = true;
        s.ifname.clear();
        return 0;
    }
    const long n = long(sa.can_ifindex) - index_base();
    if (n < 1 || size_t(n) > w.can_interfaces.size())
        return fail(ENODEV);
    s.bound = true;
    s.ifname = w.can_interfaces[size_t(n) - 1];
    return 0;
}

}  // namespace

namespace sim {
namespace detail {

void can_sync_locked(World& w)
{
    for (auto it = w.can_sockets.begin(); it != w.can_sockets.end();) {
        auto next = std::next(it);
        if (drain_locked(w, it->second))
            drop_locked(w, it);
        it = next;
    }
    deliver_due_locked(w);
}

void can_wake_locked(World& w)
{
    if (w.wake_fd < 0 || std::this_thread::get_id() == w.bus_id)
        return;
    const uint64_t one = 1;
    (void)write(w.wake_fd, &one, sizeof one);
}

}  // namespace detail

void push_can_frame(const void* frame, size_t len)
{
    if (!frame || (len != CAN_MTU && len != CANFD_MTU))
        return;
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    if (!interface_exists(w, UNIT_INTERFACE))
        return;
    const uint8_t* bytes = static_cast<const uint8_t*>(frame);
    for (const auto& entry : w.can_sockets)
        deliver_locked(w, entry.second, UNIT_INTERFACE, bytes, len);
}

std::vector<std::vector<uint8_t>> can_written()
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    return w.can_written;
}

int can_open_sockets()
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    return int(w.can_sockets.size());
}

void set_can_interface_up(const std::string& name, bool up)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    if (up) {
        w.can_down.erase(name);
        return;
    }
    if (!w.can_down.insert(name).second)
        return;
    // Sockets bound to it learn of it on their next read, as from sk_err.
    for (auto& entry : w.can_sockets) {
        if (entry.second.bound && entry.second.ifname == name)
            entry.second.pending_error = ENETDOWN;
    }
}

void set_can_interface_mtu(const std::string& name, int mtu)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    if (mtu == int(CANFD_MTU))
        w.can_mtu.erase(name);
    else
        w.can_mtu[name] = mtu;
}

void set_can_no_ack(bool no_ack)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.can_no_ack = no_ack;
    w.can_unacked = 0;
}

void inject_can_eintr(int reads, int writes)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    w.can_eintr_reads = reads;
    w.can_eintr_writes = writes;
}

void set_can_broadcasts(const std::vector<Broadcast>& list)
{
    World& w = world();
    std::lock_guard<std::mutex> lk(w.mu);
    detail::can_sync_locked(w);
    w.can_broadcasts.clear();
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < list.size(); ++i) {
        // Staggered, as independent nodes and tasks are.
        const auto offset = list[i].period * int(i + 1) / int(list.size() + 1);
        w.can_broadcasts.push_back({list[i], now + offset});
    }
    detail::can_wake_locked(w);
}

}  // namespace sim

extern "C" {

int socket(int domain, int type, int protocol) noexcept
{
    const int kind = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (domain == PF_CAN && kind == SOCK_RAW && protocol == CAN_RAW)
        return open_emulated(type);
    if (!real().socket)
        return fail(ENOSYS);
    return real().socket(domain, type, protocol);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if ((request == SIOCGIFINDEX || request == SIOCGIFMTU) && g_emulated > 0) {
        World& w = world();
        std::lock_guard<std::mutex> lk(w.mu);
        if (find_locked(w, fd)) {
            if (!arg)
                return fail(EFAULT);
            struct ifreq* ifr = static_cast<struct ifreq*>(arg);
            return request == SIOCGIFINDEX ? interface_index(w, ifr) : interface_mtu(w, ifr);
        }
    }
    if (!real().ioctl)
        return fail(ENOSYS);
    return real().ioctl(fd, request, arg);
}

int setsockopt(int fd, int level, int optname, const void* optval, socklen_t optlen) noexcept
{
    if (level == SOL_CAN_RAW && g_emulated > 0) {
        World& w = world();
        std::lock_guard<std::mutex> lk(w.mu);
        if (CanSocket* s = find_locked(w, fd)) {
            // Filters, loop-back and error masks are not emulated; refusing
            // them beats pretending they work.
            if (optname != CAN_RAW_FD_FRAMES)
                return fail(ENOPROTOOPT);
            if (optlen != sizeof(int))
                return fail(EINVAL);
            if (!optval)
                return fail(EFAULT);
            int on;
            std::memcpy(&on, optval, sizeof on);
            s->fd_frames = on != 0;
            return 0;
        }
    }
    if (!real().setsockopt)
        return fail(ENOSYS);
    return real().setsockopt(fd, level, optname, optval, optlen);
}

int bind(int fd, const struct sockaddr* addr, socklen_t len) noexcept
{
    if (g_emulated > 0) {
        World& w = world();
        std::lock_guard<std::mutex> lk(w.mu);
        if (CanSocket* s = find_locked(w, fd))
            return bind_emulated(w, *s, addr, len);
    }
    if (!real().bind)
        return fail(ENOSYS);
    return real().bind(fd, addr, len);
}

ssize_t read(int fd, void* buf, size_t count)
{
    if (flagged(fd)) {
        sim::detail::InDouble in_double;
        World& w = world();
        std::lock_guard<std::mutex> lk(w.mu);
        if (CanSocket* s = find_locked(w, fd)) {
            if (w.can_eintr_reads > 0) {
                --w.can_eintr_reads;
                return fail(EINTR);
            }
            if (s->pending_error != 0) {
                const int err = s->pending_error;
                s->pending_error = 0;
                return fail(err);
            }
        }
    }
    if (!real().read)
        return fail(ENOSYS);
    return real().read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    if (flagged(fd)) {
        sim::detail::InDouble in_double;
        World& w = world();
        std::unique_lock<std::mutex> lk(w.mu);
        if (CanSocket* s = find_locked(w, fd)) {
            if (w.can_eintr_writes > 0) {
                --w.can_eintr_writes;
                return fail(EINTR);
            }
            if (const int err = write_error_locked(w, *s, buf, count))
                return fail(err);
            if (w.can_no_ack) {
                // The controller keeps retrying the frame at the head of its
                // queue; later frames wait behind it until the queue is full.
                if (w.can_unacked >= TX_QUEUE_FRAMES)
                    return fail(ENOBUFS);
                ++w.can_unacked;
                return ssize_t(count);
            }
        }
        // The bus thread takes the lock to drain the pair: never hold it
        // across a write that could wait for room.
    }
    if (!real().write)
        return fail(ENOSYS);
    return real().write(fd, buf, count);
}

}  // extern "C"
