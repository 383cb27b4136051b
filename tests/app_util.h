#ifndef TESTS_APP_UTIL_H
#define TESTS_APP_UTIL_H

// Small helpers shared by the window tests: the simulated world without a
// unit, the identifiers the tool put on each link, and a recorder of every
// status-bar message, including those shown inside the window's constructor.

#include <QApplication>
#include <QEvent>
#include <QStatusBar>
#include <QStringList>

#include <cstdint>
#include <cstring>
#include <vector>

#include <linux/can.h>

#include "mainwindow.h"
#include "sim/sim_world.h"
#include "sim/virtual_unit.h"
// Included here, not in the test sources: automatic uic looks for a form
// next to every source that names a ui_ header, and the form lives with the
// window.
#include "ui_mainwindow.h"

namespace apptest {

// No HID interface and no CAN interface: the window's connection attempt
// ends at once, nothing is sent and no time-out is waited for.
inline void world_without_unit()
{
    sim::reset();
    sim::set_hid_interfaces({});
    sim::set_can_interfaces({});
}

// can_ID of every HID output report the tool wrote (bytes 1-4, little-endian).
inline std::vector<uint32_t> hid_ids()
{
    std::vector<uint32_t> ids;
    for (const std::vector<uint8_t>& r : sim::hid_written()) {
        if (r.size() < 5)
            continue;
        ids.push_back(uint32_t(r[1]) | uint32_t(r[2]) << 8 | uint32_t(r[3]) << 16 | uint32_t(r[4]) << 24);
    }
    return ids;
}

// can_id of every frame the tool's CAN sockets wrote.
inline std::vector<uint32_t> can_ids()
{
    std::vector<uint32_t> ids;
    for (const std::vector<uint8_t>& f : sim::can_written()) {
        if (f.size() < sizeof(canid_t))
            continue;
        canid_t id;
        std::memcpy(&id, f.data(), sizeof id);
        ids.push_back(id);
    }
    return ids;
}

inline int unit_received_count()
{
    int n = 0;
    sim::with_unit([&](sim::VirtualUnit& u) { n = int(u.received.size()); });
    return n;
}

// Records every message of the first status bar created while it exists.
// The window shows several messages before its constructor returns, so the
// recorder hooks the bar from an application event filter as soon as the
// bar receives its first event (its own children are added in its
// constructor).
class StatusRecorder : public QObject {
public:
    StatusRecorder() { qApp->installEventFilter(this); }
    ~StatusRecorder() override { qApp->removeEventFilter(this); }

    QStringList messages;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!hooked_) {
            if (QStatusBar* bar = qobject_cast<QStatusBar*>(watched)) {
                hooked_ = true;
                connect(bar, &QStatusBar::messageChanged, this, [this](const QString& m) { messages << m; });
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool hooked_ = false;
};

}  // namespace apptest

#endif
