// A full-size airport database (54 525 952 bytes) sent through the window to
// the virtual unit with no modelled latency, over each link: how many
// progress updates reach the GUI thread (the throttle bounds them), the
// longest time the GUI event loop went without running, and the total
// duration next to the same upload made without the window.
//
//   bench_window_upload [usb|can]      (default: both links)

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "firmware_ops/firmware_ops.h"
#include "mainwindow.h"
#include "sim/sim_world.h"

namespace {

using bench::Clock;
using sim::Link;

const uint32_t AIRPORT_BYTES = 832u * 65536u;
// An upload that has not ended by then counts as failed, so the run always ends.
const int GIVE_UP_MS = 45 * 60 * 1000;

struct Row {
    Link link;
    bool ok = false;
    double window_s = 0;
    double plain_s = 0;
    int posted = 0;
    int post_bound = 0;
    double longest_gap_ms = 0;
};

// The upload without the window: the procedure on a thread of its own.
bool plain_upload(Link link, const std::string& path, double* seconds)
{
    bench::world_on(link);
    CommsManager comms;
    if (!bench::connect(comms, link))
        return false;
    bool ok = false;
    std::thread worker([&] {
        bench::Quiet quiet;
        const Clock::time_point t0 = Clock::now();
        ok = send_airport_db(&comms, path.c_str(), nullptr, nullptr);
        *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    });
    worker.join();
    return ok;
}

// The same upload started with the tab's Start button. A 1 ms timer on the
// GUI thread measures how long the event loop went without running.
bool window_upload(Link link, const std::string& path, Row* row)
{
    bench::world_on(link);
    bench::Quiet quiet;
    MainWindow* w = new MainWindow();
    auto* start = w->findChild<QPushButton*>("pushButton_start_airport");
    if (!start || w->statusBar()->currentMessage() != "Configuration successfully loaded from device") {
        delete w;
        return false;
    }
    // What choosing the file in the tab's dialog leaves behind.
    w->airportDbFilePath = QString::fromStdString(path);
    start->setEnabled(true);

    QEventLoop loop;
    bool finished = false;
    QObject::connect(w->statusBar(), &QStatusBar::messageChanged, [&](const QString& text) {
        if (text.startsWith("Erasing airport region") || text.startsWith("Uploading airport database")) {
            ++row->posted;
        } else if (text == "Airport database transfer finished" || text.startsWith("Error:")) {
            finished = text == "Airport database transfer finished";
            loop.quit();
        }
    });
    Clock::time_point last_tick{};
    Clock::duration longest{};
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        if (last_tick != Clock::time_point{})
            longest = std::max(longest, now - last_tick);
        last_tick = now;
    });
    QTimer::singleShot(GIVE_UP_MS, &loop, &QEventLoop::quit);

    Clock::time_point t0{};
    tick.start();
    QTimer::singleShot(0, [&] {
        t0 = Clock::now();
        start->click();
        if (!w->uploadRunning())
            loop.quit();
    });
    loop.exec();
    const Clock::duration took = Clock::now() - t0;
    tick.stop();
    delete w;  // waits for the worker, should the upload still run

    row->window_s = std::chrono::duration<double>(took).count();
    row->longest_gap_ms = bench::ms(longest);
    // The throttle posts on a change of phase, at the end, when the bar
    // (0-10000) has moved more than 40 since the last post, or when 40 ms
    // have passed: at most 2 + 1 + 10000 / 41 + duration / 40 ms.
    row->post_bound = 3 + 10000 / 41 + int(std::ceil(bench::ms(took) / 40.0));
    return finished;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<Link> links = {Link::USB, Link::CAN};
    if (argc > 1 && std::strcmp(argv[1], "usb") == 0)
        links = {Link::USB};
    else if (argc > 1 && std::strcmp(argv[1], "can") == 0)
        links = {Link::CAN};

    const std::string path = bench::make_upload_file(false, AIRPORT_BYTES);
    std::vector<Row> rows;
    for (Link link : links) {
        Row r;
        r.link = link;
        r.ok = plain_upload(link, path, &r.plain_s) && window_upload(link, path, &r);
        rows.push_back(r);
    }
    std::remove(path.c_str());

    std::printf("%-8s %-4s %16s %18s %10s %13s %18s\n", "link", "ok", "window took (s)", "without window (s)",
                "posts", "post bound", "longest GUI gap");
    bool all_ok = true;
    for (const Row& r : rows) {
        std::printf("%-8s %-4s %16.2f %18.2f %10d %13d %15.1f ms\n", r.link == Link::USB ? "USB HID" : "CAN FD",
                    r.ok ? "yes" : "NO", r.window_s, r.plain_s, r.posted, r.post_bound, r.longest_gap_ms);
        all_ok = all_ok && r.ok;
    }
    std::printf("%u bytes, no modelled latency; posts are the progress texts the GUI thread showed.\n",
                AIRPORT_BYTES);
    return all_ok ? 0 : 1;
}
