#ifndef TESTS_LINK_SUPPORT_H
#define TESTS_LINK_SUPPORT_H

// Wire-level helpers shared by the link tests: build what the unit would put
// on either link, decode what the tool wrote, and capture the log lines.

#include <gtest/gtest.h>
#include <linux/can.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comms/comms.h"
#include "sim/sim_world.h"
#include "sim/virtual_unit.h"

namespace linktest {

using sim::Link;

// A serial number as the tools write it: "0x1000ABCD".
inline std::string serial_text(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(serial));
    return text;
}
// The world's unit's and second unit's, each test process's own.
inline std::string unit_serial_text() { return serial_text(sim::unit_serial()); }
inline std::string second_serial_text() { return serial_text(sim::second_unit_serial()); }

inline std::string link_name(const testing::TestParamInfo<Link>& info)
{
    return info.param == Link::USB ? "USB" : "CAN";
}

inline COMM_INTERFACE_t iface_of(Link link)
{
    return link == Link::USB ? USB_HID : CAN_FD;
}

// Input report as the unit's HID interface delivers it: report number,
// iface, identifier (little-endian), msg_len, payload.
inline std::vector<uint8_t> hid_report(uint32_t id, uint8_t len, const std::vector<uint8_t>& payload,
                                       uint8_t iface = USB_HID)
{
    // Sized up front: growing a 7-byte vector by insert trips a false
    // array-bounds warning in GCC 12 at -O2.
    std::vector<uint8_t> r(7 + payload.size(), 0);
    r[0] = 0x05;
    r[1] = iface;
    r[2] = static_cast<uint8_t>(id);
    r[3] = static_cast<uint8_t>(id >> 8);
    r[4] = static_cast<uint8_t>(id >> 16);
    r[5] = static_cast<uint8_t>(id >> 24);
    r[6] = len;
    for (size_t i = 0; i < payload.size(); ++i)
        r[7 + i] = payload[i];
    return r;
}

inline struct canfd_frame fd_frame(uint32_t id, uint8_t len, const std::vector<uint8_t>& payload)
{
    struct canfd_frame f;
    std::memset(&f, 0, sizeof(f));
    f.can_id = id;
    f.len = len;
    f.flags = CANFD_BRS;
    if (!payload.empty()) {
        std::memcpy(f.data, payload.data(), std::min(payload.size(), sizeof(f.data)));
    }
    return f;
}

inline struct can_frame classic_frame(uint32_t id, uint8_t len, const std::vector<uint8_t>& payload)
{
    struct can_frame f;
    std::memset(&f, 0, sizeof(f));
    f.can_id = id;
    f.len = len;
    if (!payload.empty()) {
        std::memcpy(f.data, payload.data(), std::min(payload.size(), sizeof(f.data)));
    }
    return f;
}

// Puts a message on the link as the unit would send it.
inline void inject(Link link, const COMMS_MSG_t& msg)
{
    std::vector<uint8_t> payload(msg.data, msg.data + std::min<size_t>(msg.msg_len, sizeof(msg.data)));
    if (link == Link::USB) {
        sim::push_hid_input(hid_report(msg.can_ID, msg.msg_len, payload));
    } else {
        struct canfd_frame f = fd_frame(msg.can_ID, msg.msg_len, payload);
        sim::push_can_frame(&f, sizeof(f));
    }
}

inline void inject(Link link, const std::vector<COMMS_MSG_t>& msgs)
{
    for (const COMMS_MSG_t& m : msgs) {
        inject(link, m);
    }
}

inline COMMS_MSG_t msg_of(uint32_t id, uint8_t len, const std::vector<uint8_t>& payload)
{
    COMMS_MSG_t m;
    std::memset(&m, 0, sizeof(m));
    m.can_ID = id;
    m.msg_len = len;
    if (!payload.empty()) {
        std::memcpy(m.data, payload.data(), std::min(payload.size(), sizeof(m.data)));
    }
    return m;
}

inline COMMS_MSG_t ack_of(uint32_t id)
{
    return sim::make_msg(CANMSG_ACK, {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), 0, 0, 0xEF, 0x15});
}

// One message the tool put on the wire, decoded back.
struct Sent {
    uint32_t can_ID;
    std::vector<uint8_t> payload;
    bool operator==(const Sent& o) const { return can_ID == o.can_ID && payload == o.payload; }
};

inline void PrintTo(const Sent& s, std::ostream* os)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%03X", s.can_ID);
    *os << buf << " [";
    for (uint8_t b : s.payload) {
        std::snprintf(buf, sizeof(buf), " %02X", b);
        *os << buf;
    }
    *os << " ]";
}

inline std::vector<Sent> sent_on(Link link)
{
    std::vector<Sent> out;
    if (link == Link::USB) {
        for (const std::vector<uint8_t>& r : sim::hid_written()) {
            EXPECT_GE(r.size(), 6u);
            if (r.size() < 6) {
                continue;
            }
            EXPECT_EQ(r[0], 5);
            EXPECT_EQ(r.size(), r[5] + 6u) << "report length follows msg_len";
            uint32_t id = r[1] | (r[2] << 8) | (r[3] << 16) | (static_cast<uint32_t>(r[4]) << 24);
            out.push_back({id, std::vector<uint8_t>(r.begin() + 6, r.end())});
        }
    } else {
        for (const std::vector<uint8_t>& raw : sim::can_written()) {
            EXPECT_EQ(raw.size(), sizeof(struct canfd_frame));
            struct canfd_frame f;
            std::memset(&f, 0, sizeof(f));
            std::memcpy(&f, raw.data(), std::min(raw.size(), sizeof(f)));
            size_t n = std::min<size_t>(f.len, sizeof(f.data));
            out.push_back({f.can_id, std::vector<uint8_t>(f.data, f.data + n)});
        }
    }
    return out;
}

// A fresh world in which the unit is reachable over one link only. On CAN
// FD the unit broadcasts its sensor frames and another node talks too, as
// on an aircraft's bus.
inline void world_with_unit_on(Link link)
{
    sim::reset();
    if (link == Link::USB) {
        sim::set_can_interfaces({});
    } else {
        sim::set_hid_interfaces({});
        std::vector<sim::Broadcast> traffic = sim::unit_sensor_broadcasts();
        traffic.push_back(sim::second_node_broadcast());
        sim::set_can_broadcasts(traffic);
    }
}

inline bool connect_only(CommsManager& comms, Link link)
{
    return link == Link::USB ? comms.connectUSB(vendor_id, product_id) : comms.connectCANFD("can0");
}

inline void silence_unit()
{
    sim::with_unit([](sim::VirtualUnit& u) { u.faults.silent = true; });
}

struct Output {
    std::string out;
    std::string err;
};

template <class F>
Output capture(F&& f)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    std::fflush(stdout);
    std::fflush(stderr);
    Output o;
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

}  // namespace linktest

#endif
