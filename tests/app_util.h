#ifndef TESTS_APP_UTIL_H
#define TESTS_APP_UTIL_H

// Small helpers shared by the window tests: the simulated world with the
// unit on one link or without it, what the unit received, the identifiers
// the tool put on each link, and a recorder of every status-bar message,
// including those shown inside the window's constructor.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QStatusBar>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <linux/can.h>

#include "EFIS_shared/can_export.h"
#include "EFIS_shared/get_set.h"
#include "link_support.h"
#include "mainwindow.h"
#include "sim/sim_world.h"
#include "sim/virtual_unit.h"
// Included here, not in the test sources: automatic uic looks for a form
// next to every source that names a ui_ header, and the form lives with the
// window.
#include "ui_mainwindow.h"

namespace apptest {

// One request as the unit received it: identifier, index (-1 when the
// message carries none) and the 32-bit value it carries (0 when none).
using Request = std::tuple<uint32_t, int, uint32_t>;

inline const char* const LOADED = "Configuration successfully loaded from device";
inline const char* const SAVED = "Configuration saved to EEPROM successfully";
inline const char* const NO_LINK = "Error: No communication interface connected (USB HID or CAN FD)";
inline const char* const STORE_FAILED = "Error: Failed to store configuration to EEPROM";

inline uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint32_t bits_of(float f)
{
    uint32_t v;
    std::memcpy(&v, &f, sizeof v);
    return v;
}

inline void set(Settings_t* s, settings_struct_index index, uint32_t value)
{
    ASSERT_TRUE(settings_set_value(s, index, &value)) << index;
}

// Gives a record a valid checksum again after a test changed it.
inline void reseal(Settings_t* s)
{
    s->crc32 = 0;
    s->crc32 = settings_CalcCRC(s);
}

using linktest::world_with_unit_on;

inline sim::VirtualUnit unit()
{
    sim::VirtualUnit copy;
    sim::with_unit([&](sim::VirtualUnit& u) { copy = u; });
    return copy;
}

inline void forget_traffic()
{
    sim::with_unit([](sim::VirtualUnit& u) { u.received.clear(); });
    sim::clear_captures();
}

inline std::vector<Request> requests()
{
    std::vector<Request> out;
    for (const COMMS_MSG_t& m : unit().received) {
        const uint32_t id = m.can_ID;  // a copy: the packed field is unaligned
        if (id == CANMSG_REQUEST_USER_SETTING)
            out.emplace_back(id, m.data[0], 0u);
        else if (id == CANMSG_SET_USER_SETTING)
            out.emplace_back(id, m.data[0], le32(m.data + 1));
        else if (id == CANMSG_SAVE_USER_SETTINGS)
            out.emplace_back(id, -1, le32(m.data));
        else
            out.emplace_back(id, -1, 0u);
    }
    return out;
}

inline std::vector<Request> requests_with(uint32_t id)
{
    std::vector<Request> out;
    for (const Request& r : requests()) {
        if (std::get<0>(r) == id)
            out.push_back(r);
    }
    return out;
}

inline Request set_req(int index, uint32_t value) { return Request(CANMSG_SET_USER_SETTING, index, value); }
inline Request get_req(int index) { return Request(CANMSG_REQUEST_USER_SETTING, index, 0u); }

inline std::string status(MainWindow& w) { return w.ui->statusbar->currentMessage().toStdString(); }

inline bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

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

// Runs the event loop until `done` or `ms` have passed.
inline bool wait_until(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return done();
}

// Runs `open`, which returns once the modal dialog of type D it opens has
// closed; `answer` closes it. Whether such a dialog opened.
template <class D>
bool answer_dialog(const std::function<void()>& open, const std::function<void(D*)>& answer)
{
    bool opened = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* d = qobject_cast<D*>(QApplication::activeModalWidget());
        if (!d || !d->isVisible())
            return;
        poll.stop();
        opened = true;
        answer(d);
    });
    poll.start(5);
    open();
    return opened;
}

// Does `act`, handing the modal dialog of type D that it opens, if any, to
// `answer` (a modal dialog runs the event loop until it is answered).
template <class D>
void with_dialog(const std::function<void()>& act, const std::function<void(D*)>& answer)
{
    answer_dialog<D>(act, answer);
}

// Does `act`, answering the question it asks, if any: `proceed` presses
// the button that goes on, otherwise Cancel. The question and its detail;
// empty when none was asked.
inline std::string answer_question(bool proceed, const std::function<void()>& act)
{
    std::string asked;
    with_dialog<QMessageBox>(act, [&](QMessageBox* box) {
        asked = (box->text() + "\n" + box->informativeText()).toStdString();
        for (QAbstractButton* b : box->buttons()) {
            if ((box->buttonRole(b) == QMessageBox::DestructiveRole) == proceed)
                return b->click();
        }
    });
    return asked;
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
