// How long a connection (the link opened, its locks taken and the unit
// verified by its serial number), a full settings load and a save of a
// changed record take through the window against the virtual unit, with the answer latency of a
// full-speed USB device and of a CAN FD bus (1 Mbit/s nominal, 5 Mbit/s
// data), next to the least time that the link and the command's own pauses
// allow.
//
//   bench_settings [runs]      (default 21 runs per command and link)

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "EFIS_shared/can_export.h"
#include "bench_common.h"
#include "mainwindow.h"
#include "sim/sim_world.h"
#include "sim/virtual_unit.h"

namespace {

using Clock = std::chrono::steady_clock;
using sim::Link;

const auto PAUSE = std::chrono::milliseconds(1);  // the window's pause after each value
const int SETS_PER_SAVE = 3;                      // values the form changes before each save

// One exchange of a command: the request, the unit's answers, then the
// command's pause before the next request.
struct Exchange {
    COMMS_MSG_t request;
    std::vector<COMMS_MSG_t> answers;
    Clock::duration pause;
};

COMMS_MSG_t msg(uint32_t id, uint8_t len)
{
    COMMS_MSG_t m = sim::make_msg(id, {});
    m.msg_len = len;
    return m;
}

Exchange read_value(Clock::duration pause)
{
    return {msg(CANMSG_REQUEST_USER_SETTING, 1), {msg(CANMSG_SEND_USER_SETTING, 4)}, pause};
}

// Four header values back to back, then 36 values each followed by a pause.
std::vector<Exchange> load_exchanges()
{
    std::vector<Exchange> out(4, read_value(Clock::duration::zero()));
    out.insert(out.end(), 36, read_value(PAUSE));
    return out;
}

// Version and element count, the changed values each followed by a pause,
// then the store with its erase report and its acknowledgement.
std::vector<Exchange> save_exchanges(int sets)
{
    std::vector<Exchange> out(2, read_value(Clock::duration::zero()));
    out.insert(out.end(), size_t(sets), Exchange{msg(CANMSG_SET_USER_SETTING, 5), {msg(CANMSG_ACK, 6)}, PAUSE});
    out.push_back({msg(CANMSG_SAVE_USER_SETTINGS, 4), {msg(CANMSG_MX25_ACK, 5), msg(CANMSG_ACK, 6)},
                   Clock::duration::zero()});
    return out;
}

// The handshake: one request (2 bytes) and one answer (8 bytes). On CAN FD
// every unit on the bus answers it, so the link listens 100 ms after the
// first answer for a second one: a pause of the procedure's own.
const auto MORE_UNITS_LISTEN = std::chrono::milliseconds(100);
std::vector<Exchange> connect_exchanges(Link link)
{
    return {{msg(CANMSG_WHOAMI, 2), {msg(CANMSG_WHOAMI, 8)},
             link == Link::CAN ? Clock::duration(MORE_UNITS_LISTEN) : Clock::duration::zero()}};
}

sim::LatencyModel model_for(Link link)
{
    return link == Link::USB ? sim::usb_full_speed_latency() : sim::canfd_latency(1e6, 5e6);
}

// The least time the links allow for the exchanges (bench_common.h): a
// load at least 40 x 3 + 36 x 1 = 156 ms on USB.
Clock::duration lower_bound(Link link, const std::vector<Exchange>& exchanges)
{
    Clock::duration t{};
    for (const Exchange& x : exchanges) {
        if (link == Link::USB) {
            t += bench::usb_exchange(x.request.msg_len, unsigned(x.answers.size()));
        } else {
            t += bench::can_frame(x.request.msg_len);
            for (const COMMS_MSG_t& a : x.answers)
                t += bench::can_frame(a.msg_len);
        }
        t += x.pause;
    }
    return t;
}

struct Row {
    std::string command;
    std::string link;
    int runs = 0;
    int failures = 0;
    double median_ms = 0;
    double min_ms = 0;
    double bound_ms = 0;
};

using bench::ms;

Row measure(const char* command, Link link, int runs, const std::function<bool()>& prepare_and_run,
            Clock::duration bound)
{
    std::vector<double> times;
    Row row;
    row.command = command;
    row.link = link == Link::USB ? "USB HID" : "CAN FD";
    row.runs = runs;
    for (int i = 0; i < runs; ++i) {
        Clock::duration took{};
        const bool ok = [&] {
            bench::Quiet quiet;
            const Clock::time_point t0 = Clock::now();
            const bool r = prepare_and_run();
            took = Clock::now() - t0;
            return r;
        }();
        if (!ok)
            ++row.failures;
        times.push_back(ms(took));
    }
    std::sort(times.begin(), times.end());
    row.median_ms = times[times.size() / 2];
    row.min_ms = times.front();
    row.bound_ms = ms(bound);
    return row;
}

// Alternates a value between two settings so that every save has changes.
void toggle(QSpinBox* box, int a, int b) { box->setValue(box->value() == a ? b : a); }

std::vector<Row> run_link(Link link, int runs)
{
    bench::world_on(link);
    sim::set_latency(link, model_for(link));

    std::vector<Row> rows;
    rows.push_back(measure("connect (handshake)", link, runs,
                           [&] {
                               CommsManager comms;
                               return link == Link::USB ? comms.connectVerifiedUSB()
                                                        : comms.connectVerifiedCANFD("can0");
                           },
                           lower_bound(link, connect_exchanges(link))));
    MainWindow* w = nullptr;
    {
        bench::Quiet quiet;
        w = new MainWindow();
    }
    const QString loaded = "Configuration successfully loaded from device";
    const QString saved = "Configuration saved to EEPROM successfully";
    if (w->statusBar()->currentMessage() != loaded) {
        std::fprintf(stderr, "start-up load failed: %s\n", qPrintable(w->statusBar()->currentMessage()));
        delete w;
        return rows;
    }

    rows.push_back(measure("load", link, runs,
                           [&] {
                               w->loadConfigFromDevice();
                               return w->statusBar()->currentMessage() == loaded;
                           },
                           lower_bound(link, load_exchanges())));

    // By object name: the generated form header belongs to the window's own target.
    QSpinBox* vs0 = w->findChild<QSpinBox*>("spinBox_vs0");
    QSpinBox* vne = w->findChild<QSpinBox*>("spinBox_vne");
    QSlider* backlight = w->findChild<QSlider*>("backlight_slider");
    QPushButton* save = w->findChild<QPushButton*>("pushButton_save");
    if (!vs0 || !vne || !backlight || !save) {
        std::fprintf(stderr, "form widgets missing\n");
        delete w;
        return rows;
    }
    rows.push_back(measure(
        "save (3 changed values)", link, runs,
        [&] {
            toggle(vs0, 45, 46);
            toggle(vne, 150, 151);
            backlight->setValue(backlight->value() == 10 ? 11 : 10);
            if (w->changed_values.size() != size_t(SETS_PER_SAVE))
                return false;
            save->click();
            return w->statusBar()->currentMessage() == saved;
        },
        lower_bound(link, save_exchanges(SETS_PER_SAVE))));

    {
        bench::Quiet quiet;
        delete w;
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The copy of the settings the window keeps before each save goes here,
    // not among the user's own.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    int runs = argc > 1 ? std::atoi(argv[1]) : 21;
    if (runs < 1)
        runs = 1;

    std::vector<Row> rows;
    for (Link link : {Link::USB, Link::CAN}) {
        const std::vector<Row> r = run_link(link, runs);
        rows.insert(rows.end(), r.begin(), r.end());
    }

    std::printf("%-24s %-8s %5s %12s %10s %16s %7s\n", "command", "link", "runs", "median (ms)", "min (ms)",
                "lower bound (ms)", "ratio");
    int failures = 0;
    for (const Row& r : rows) {
        std::printf("%-24s %-8s %5d %12.2f %10.2f %16.2f %7.2f\n", r.command.c_str(), r.link.c_str(), r.runs,
                    r.median_ms, r.min_ms, r.bound_ms, r.median_ms / r.bound_ms);
        failures += r.failures;
    }
    std::printf("connect: one request and one answer, on CAN FD then 100 ms listening for a second unit; load: 40 "
                "exchanges, 36 pauses of 1 ms; save: 2 reads, %d sets each with a pause of 1 ms, store with two "
                "answers.\n",
                SETS_PER_SAVE);
    if (failures)
        std::printf("%d run(s) did not end with the expected status\n", failures);
    return failures == 0 && rows.size() == 6 ? 0 : 1;
}
