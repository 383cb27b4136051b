// What the targets share beyond fuzz_support.h: waits that take no time on
// the thread that runs an input, and the unit session.
//
// The tool waits for a real unit: it pauses between value requests, after
// the airport database closes and between packets, and a read waits until
// its answer comes or its time-out has passed. The virtual unit answers the
// moment a request is written, so none of these waits gives it anything;
// they would only cost executions. On the input's thread, while a
// fuzz::NoWaits lives:
//  - nanosleep (what QThread::msleep and std::this_thread::sleep_for come
//    down to) returns at once;
//  - ppoll first has the virtual unit take in every frame written so far
//    (its answers reach the sockets), then returns what is ready, or, when
//    nothing is, a time-out at once;
//  - a timed wait on a condition variable (the hidapi double's read) times
//    out at once: nothing comes that was not there when it began;
// and the monotonic clock moves on by the time skipped, on every thread, so
// that pauses, deadlines and time-outs pass as they would have. Waits
// without a time-out stay real. Other threads (libFuzzer's, the CAN bus
// thread) wait for real; their deadlines on a condition variable are taken
// back to the clock the kernel keeps.

#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "fuzz_support.h"

namespace {

thread_local int t_no_waits = 0;
thread_local bool t_in_ppoll = false;

// How far the monotonic clock has been moved on, in nanoseconds. It only
// grows, so the clock stays monotonic on every thread.
std::atomic<int64_t> g_skipped_ns{0};

// A real sleep or timed read ends some tens of microseconds after its
// deadline (see CommsManager::pauseBetweenCommands); a skipped one counts as
// one that did, so that no pause spins out its last microseconds.
const int64_t kOvershootNs = 50000;

const int64_t kNsPerSecond = 1000000000;

int64_t ns_of(const struct timespec& t)
{
    return int64_t(t.tv_sec) * kNsPerSecond + t.tv_nsec;
}

struct timespec timespec_of(int64_t ns)
{
    struct timespec t;
    t.tv_sec = time_t(ns / kNsPerSecond);
    t.tv_nsec = long(ns % kNsPerSecond);
    return t;
}

bool valid(const struct timespec& t)
{
    return t.tv_sec >= 0 && t.tv_nsec >= 0 && t.tv_nsec < kNsPerSecond;
}

void skip(int64_t ns)
{
    g_skipped_ns.fetch_add(std::max<int64_t>(ns, 0) + kOvershootNs, std::memory_order_relaxed);
}

template <class F>
F next_definition(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using clock_gettime_fn = int (*)(clockid_t, struct timespec*);
using nanosleep_fn = int (*)(const struct timespec*, struct timespec*);
using ppoll_fn = int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
using clockwait_fn = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);

int real_clock_gettime(clockid_t clock, struct timespec* tp)
{
    static const clock_gettime_fn next = next_definition<clock_gettime_fn>("clock_gettime");
    return next(clock, tp);
}

int64_t monotonic_ns()
{
    struct timespec t;
    real_clock_gettime(CLOCK_MONOTONIC, &t);
    return ns_of(t) + g_skipped_ns.load(std::memory_order_relaxed);
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* tp)
{
    const int result = real_clock_gettime(clock, tp);
    const int64_t skipped = g_skipped_ns.load(std::memory_order_relaxed);
    if (result == 0 && clock == CLOCK_MONOTONIC && skipped != 0)
        *tp = timespec_of(ns_of(*tp) + skipped);
    return result;
}

extern "C" int nanosleep(const struct timespec* req, struct timespec* rem)
{
    if (t_no_waits > 0) {
        // What the kernel refuses is still refused.
        if (req == nullptr) {
            errno = EFAULT;
            return -1;
        }
        if (!valid(*req)) {
            errno = EINVAL;
            return -1;
        }
        skip(ns_of(*req));
        return 0;
    }
    static const nanosleep_fn next = next_definition<nanosleep_fn>("nanosleep");
    return next(req, rem);
}

extern "C" int ppoll(struct pollfd* fds, nfds_t nfds, const struct timespec* timeout, const sigset_t* sigmask)
{
    static const ppoll_fn next = next_definition<ppoll_fn>("ppoll");
    if (t_no_waits == 0 || t_in_ppoll || timeout == nullptr || !valid(*timeout))
        return next(fds, nfds, timeout, sigmask);
    t_in_ppoll = true;
    // A world function takes in what the sockets wrote; the unit answers it.
    (void)sim::can_open_sockets();
    t_in_ppoll = false;
    const struct timespec now = {0, 0};
    const int ready = next(fds, nfds, &now, sigmask);
    if (ready == 0 && ns_of(*timeout) > 0)
        skip(ns_of(*timeout));
    return ready;
}

extern "C" int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                      const struct timespec* abstime)
{
    static const clockwait_fn next = next_definition<clockwait_fn>("pthread_cond_clockwait");
    if (clock != CLOCK_MONOTONIC || !valid(*abstime))
        return next(cond, mutex, clock, abstime);
    if (t_no_waits > 0) {
        const int64_t left = ns_of(*abstime) - monotonic_ns();
        if (left > 0)
            skip(left);
        return ETIMEDOUT;
    }
    // The deadline was read from the moved clock; the kernel keeps its own.
    const struct timespec real_deadline =
        timespec_of(std::max<int64_t>(0, ns_of(*abstime) - g_skipped_ns.load(std::memory_order_relaxed)));
    return next(cond, mutex, clock, &real_deadline);
}

namespace fuzz {

NoWaits::NoWaits() { ++t_no_waits; }
NoWaits::~NoWaits() { --t_no_waits; }

namespace {

// The unit as the first session found it, but without a flash: copying it
// allocates nothing, and the unit keeps its own.
const sim::VirtualUnit* g_blank_unit = nullptr;

void restart_unit()
{
    sim::with_unit([](sim::VirtualUnit& u) {
        sim::VirtualFlash flash(std::move(u.flash));
        flash.erase(0, sim::VirtualFlash::SIZE, true);
        flash.violations.clear();
        u = *g_blank_unit;
        u.flash = std::move(flash);
    });
}

}  // namespace

void UnitSession::start_from_current_unit()
{
    sim::with_unit([](sim::VirtualUnit& u) {
        sim::VirtualUnit* blank = new sim::VirtualUnit(u);
        sim::VirtualFlash gone(std::move(blank->flash));
        delete g_blank_unit;
        g_blank_unit = blank;
        // The few blocks the inputs write are written over and over.
        u.flash.keep_storage = true;
    });
}

UnitSession::UnitSession(bool can)
{
    check(g_blank_unit != nullptr, "start_from_current_unit() was called");
    // Every session leaves the unit as it found it, its link closed.
    check(sim::can_open_sockets() == 0 && sim::hid_open_handles() == 0, "the last input's link is closed");
    manager.reset(new CommsManager());
    const bool ok = can ? manager->connectCANFD("can0") : manager->connectUSB(vendor_id, product_id);
    check(ok, "the virtual unit's link opens");
}

UnitSession::~UnitSession()
{
    manager.reset();
    // Frames the link wrote last reach the unit now, not in the next input.
    (void)sim::can_open_sockets();
    restart_unit();
}

}  // namespace fuzz
