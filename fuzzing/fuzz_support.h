#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

// What the fuzz targets share: a link to the virtual unit, messages made
// from the fuzzer's bytes, and silence for the tool's diagnostic lines (they
// would cost more than the code under test).

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
    new QApplication(*argc, *argv);
    sim::reset();
    sim::set_capture(false);
    sim::set_can_interfaces({});
    if (!with_unit)
        sim::set_hid_interfaces({});
    MainWindow* w = new MainWindow();
    // The window installs its own handler; its lines would cost more than the code under test.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return w;
}

}  // namespace fuzz
#endif

#endif
