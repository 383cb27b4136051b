#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

// What the fuzz targets share: a link to the virtual unit, messages made
// from the fuzzer's bytes, silence for the tool's diagnostic lines (they
// would cost more than the code under test), waits that take no time and a
// fresh unit for each input (fuzz_support.cpp).

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "comms/comms.h"
#include "sim/sim_world.h"
#include "sim/virtual_unit.h"

namespace fuzz {

inline void quiet_stdout()
{
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

// While one lives, the calling thread does not wait: sleeps, polls and
// timed reads return at once, as if their time had passed, which it then
// has on the monotonic clock (fuzz_support.cpp). The virtual unit answers a
// request the moment it is written: no wait gives it anything.
class NoWaits {
public:
    NoWaits();
    ~NoWaits();
    NoWaits(const NoWaits&) = delete;
    NoWaits& operator=(const NoWaits&) = delete;
};

// Stops the run with a message: libFuzzer keeps the input that did it.
inline void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// A message of any identifier, length and payload (the length byte may
// claim more than the payload holds, as a unit's may).
inline COMMS_MSG_t message(FuzzedDataProvider& in)
{
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof m);
    static const uint32_t ids[] = {CANMSG_ACK, CANMSG_NACK, CANMSG_MX25_ACK, CANMSG_MX25_NACK,
                                   CANMSG_SEND_USER_SETTING, CANMSG_WHOAMI, CANMSG_ACC};
    m.can_ID = in.ConsumeBool() ? ids[in.ConsumeIntegralInRange<size_t>(0, 6)] : in.ConsumeIntegral<uint32_t>();
    m.msg_len = in.ConsumeIntegral<uint8_t>();
    const std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
    if (!payload.empty())
        std::memcpy(m.data, payload.data(), payload.size());
    return m;
}

inline std::vector<COMMS_MSG_t> messages(FuzzedDataProvider& in, size_t most)
{
    std::vector<COMMS_MSG_t> out;
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, most);
    for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i)
        out.push_back(message(in));
    return out;
}

// A manager connected to the virtual unit over the link the input picks.
inline std::unique_ptr<CommsManager> link(bool can)
{
    sim::reset();
    sim::set_capture(false);
    std::unique_ptr<CommsManager> comms(new CommsManager());
    const bool ok = can ? comms->connectCANFD("can0") : comms->connectUSB(vendor_id, product_id);
    check(ok, "the virtual unit's link opens");
    return comms;
}

// Reads and drops what the unit sent that the input left unread. Left
// queued, it would be freed by the next input, which then frees more than
// it allocates while this one allocated more than it freed: libFuzzer runs
// such an input once more and then searches the heap for leaks.
inline void drop_unread(CommsManager* comms)
{
    COMMS_MSG_t msg;
    for (int i = 0; i < 256 && comms->getUSBHID()->isConnected() && comms->getUSBHID()->read(&msg, 0) > 0; ++i) {
    }
    for (int i = 0; i < 256 && comms->getCANFD()->isConnected() && comms->getCANFD()->read(&msg, 0) > 0; ++i) {
    }
}

// One input's exchange with the unit, over the link the input picks, for a
// target that needs the unit as reset() leaves it for every input. reset()
// builds two new units, each with a new table of flash blocks, which costs
// more than many an input; a session keeps the unit's table and erases only
// what was written. When it ends, the manager is closed, what its link
// still held is taken in, and what the input wrote is erased: an input
// frees what it allocated, or libFuzzer runs it once more and then
// searches it for leaks.
class UnitSession {
public:
    // Once, before the first session: every session starts with the unit
    // as it is now (after sim::reset()).
    static void start_from_current_unit();

    explicit UnitSession(bool can);
    ~UnitSession();
    UnitSession(const UnitSession&) = delete;
    UnitSession& operator=(const UnitSession&) = delete;

    CommsManager* comms() const { return manager.get(); }

private:
    std::unique_ptr<CommsManager> manager;
};

}  // namespace fuzz

#ifdef FUZZ_WITH_WINDOW
#include <QApplication>

#include "mainwindow.h"

namespace fuzz {

// The application (offscreen, log silenced) and one window, attached to the
// virtual unit over USB or to no unit at all.
inline MainWindow* make_window(int* argc, char*** argv, bool with_unit)
{
    quiet_stdout();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window's log stays in memory: no folder can be made under
    // /dev/null, so a run neither writes nor rotates the user's log files.
    qputenv("XDG_STATE_HOME", "/dev/null");
    new QApplication(*argc, *argv);
    sim::reset();
    sim::set_capture(false);
    sim::set_can_interfaces({});
    if (!with_unit)
        sim::set_hid_interfaces({});
    MainWindow* w = new MainWindow();
    // The window installs its own handler; its lines would cost more than the code under test.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    // Its log took standard output into a pipe and a reader thread, which
    // would copy the link's lines of every input into the log: they go
    // nowhere again, and the reader, whose pipe is closed, ends.
    quiet_stdout();
    return w;
}

// Delivers what the window posted to itself (queued signals, objects it
// deletes later), as the event loop would before the next keystroke;
// without a loop they would pile up from input to input.
inline void settle_window()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace fuzz
#endif

#endif
