// The hidapi double and the SocketCAN emulation at raw level, without the
// production transports.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <hidapi.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "EFIS_shared/can_export.h"
#include "sim/kernel/unit_wire.h"
#include "sim/sim_world.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes WHOAMI_REPORT = {0x05, 0x23, 0x01, 0x00, 0x00, 0x02, 0xEF, 0x15};
const std::string UNIT_PATH = sim::unit_hid_interface().path;

std::vector<std::string> enumerated(unsigned short vid, unsigned short pid)
{
    std::vector<std::string> paths;
    struct hid_device_info* list = hid_enumerate(vid, pid);
    for (struct hid_device_info* d = list; d; d = d->next)
        paths.push_back(d->path);
    hid_free_enumeration(list);
    return paths;
}

TEST(SimHid, EnumerationFiltersLikeHidapi)
{
    sim::reset();
    sim::HidInterface keyboard = {"sim-hid-keyboard", 0x046D, 0xC31C, 0x0001, false};
    sim::set_hid_interfaces({keyboard, sim::unit_hid_interface()});
    const struct {
        unsigned short vid, pid;
        std::vector<std::string> paths;
    } cases[] = {
        {0, 0, {"sim-hid-keyboard", UNIT_PATH}},
        {vendor_id, product_id, {UNIT_PATH}},
        {vendor_id, 0, {UNIT_PATH}},
        {0x046D, 0, {"sim-hid-keyboard"}},
        {vendor_id, 0x0002, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(enumerated(c.vid, c.pid), c.paths) << std::hex << c.vid << ":" << c.pid;

    struct hid_device_info* unit = hid_enumerate(vendor_id, product_id);
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->usage_page, 0xFF00);
    hid_free_enumeration(unit);
}

TEST(SimHid, WhoamiReportIsAnsweredWithAFixedSizeInputReport)
{
    sim::reset();
    sim::with_unit([](sim::VirtualUnit& u) { u.serial = 0x12345678; });  // bytes to compare
    EXPECT_EQ(hid_open_path("no-such-path"), nullptr);
    hid_device* dev = hid_open_path(UNIT_PATH.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(sim::hid_open_handles(), 1);

    EXPECT_EQ(hid_write(dev, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), 8);
    unsigned char buf[128];
    ASSERT_EQ(hid_read_timeout(dev, buf, sizeof buf, 1000), 71);
    Bytes expected(71, 0);
    const Bytes head = {0x01, USB_HID, 0x23, 0x01, 0x00, 0x00, 8, 0xEF, 0x15, 0, 0, 0x12, 0x34, 0x56, 0x78};
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_EQ(Bytes(buf, buf + 71), expected);
    EXPECT_EQ(sim::hid_written(), std::vector<Bytes>{WHOAMI_REPORT});

    // A short buffer takes the front of the report.
    ASSERT_EQ(hid_write(dev, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), 8);
    ASSERT_EQ(hid_read_timeout(dev, buf, 7, 1000), 7);
    EXPECT_EQ(buf[6], 8);

    hid_close(dev);
    EXPECT_EQ(sim::hid_open_handles(), 0);
    EXPECT_EQ(hid_write(nullptr, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), -1);
    EXPECT_EQ(hid_read_timeout(nullptr, buf, sizeof buf, 10), -1);
}

TEST(SimHid, SilenceEndsInATimeOutAndUnpluggingInErrors)
{
    sim::reset();
    sim::set_usb_silent(true);
    hid_device* dev = hid_open_path(UNIT_PATH.c_str());
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(hid_write(dev, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), 8);
    unsigned char buf[128];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 300), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    sim::with_unit([](sim::VirtualUnit& u) { EXPECT_TRUE(u.received.empty()); });

    // A pushed report is delivered as given, even before anyone reads.
    sim::push_hid_input({0x05, 0x00, 0x02});
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 0), 3);

    sim::set_hid_interfaces({});
    EXPECT_EQ(hid_write(dev, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), -1);
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 10), -1);
    hid_close(dev);
}

// A raw CAN socket as the transport opens it: FD frames optional, bound to
// `name`, reads time out after 300 ms.
int can_socket(const char* name, bool fd_frames)
{
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0)
        return -1;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    int on = 1;
    struct timeval tv = {0, 300000};
    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    if (ioctl(fd, SIOCGIFINDEX, &ifr) != 0 ||
        (fd_frames && setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0) ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        close(fd);
        return -1;
    }
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(SimCan, InterfaceLookUp)
{
    sim::reset();
    sim::set_can_interfaces({"vcan0", "can0", "abcdefghijklmno"});
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ASSERT_GE(fd, 0);
    // Indices are the process's own; they follow the list's order.
    const struct {
        const char* name;
        int result, position, err;
    } cases[] = {
        {"vcan0", 0, 1, 0},
        {"can0", 0, 2, 0},
        {"vcan9", -1, 0, ENODEV},
        {"abcdefghijklmnopqrst", 0, 3, 0},  // only 15 characters are looked at
    };
    int first = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        struct ifreq ifr;
        std::memset(&ifr, 0, sizeof ifr);
        std::memcpy(ifr.ifr_name, c.name, std::min(std::strlen(c.name), sizeof ifr.ifr_name));
        errno = 0;
        EXPECT_EQ(ioctl(fd, SIOCGIFINDEX, &ifr), c.result);
        if (c.result == 0) {
            if (c.position == 1)
                first = ifr.ifr_ifindex;
            EXPECT_EQ(ifr.ifr_ifindex - first + 1, c.position);
        } else {
            EXPECT_EQ(errno, c.err);
        }
    }
    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = 9;
    EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), -1);
    EXPECT_EQ(errno, ENODEV);
    short small = 2;
    EXPECT_EQ(setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &small, sizeof small), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sim::can_open_sockets(), 1);
    close(fd);
    EXPECT_EQ(sim::can_open_sockets(), 0);
}

TEST(SimCan, ReusedDescriptorIsNotTakenForAClosedSocket)
{
    sim::reset();
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ASSERT_GE(fd, 0);
    close(fd);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const int reused = pipe_fds[0] == fd ? pipe_fds[0] : pipe_fds[1];
    ASSERT_EQ(reused, fd) << "the lowest free number is handed out again";
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strcpy(ifr.ifr_name, "can0");
    EXPECT_EQ(ioctl(reused, SIOCGIFINDEX, &ifr), -1) << "a pipe has no interfaces";
    EXPECT_EQ(sim::can_open_sockets(), 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

TEST(SimCan, FdFrameRoundTripWithTheUnit)
{
    sim::reset();
    sim::with_unit([](sim::VirtualUnit& u) { u.serial = 0x12345678; });  // bytes to compare
    int tool = can_socket("can0", true);
    int listener = can_socket("can0", true);
    ASSERT_GE(tool, 0);
    ASSERT_GE(listener, 0);

    struct canfd_frame req;
    std::memset(&req, 0, sizeof req);
    req.can_id = CANMSG_WHOAMI;
    req.len = 2;
    req.flags = CANFD_BRS;
    req.data[0] = 0xEF;
    req.data[1] = 0x15;
    ASSERT_EQ(write(tool, &req, sizeof req), ssize_t(sizeof req));

    struct canfd_frame ans;
    ASSERT_EQ(read(tool, &ans, sizeof ans), ssize_t(CANFD_MTU));
    EXPECT_EQ(ans.can_id, uint32_t(CANMSG_WHOAMI));
    EXPECT_EQ(ans.len, 8);
    EXPECT_EQ(ans.flags, CANFD_BRS);
    EXPECT_EQ(Bytes(ans.data, ans.data + 8), (Bytes{0xEF, 0x15, 0, 0, 0x12, 0x34, 0x56, 0x78}));

    // The other node sees the request and the answer, in that order.
    struct canfd_frame seen;
    ASSERT_EQ(read(listener, &seen, sizeof seen), ssize_t(CANFD_MTU));
    EXPECT_EQ(std::memcmp(&seen, &req, sizeof req), 0);
    ASSERT_EQ(read(listener, &seen, sizeof seen), ssize_t(CANFD_MTU));
    EXPECT_EQ(std::memcmp(&seen, &ans, sizeof ans), 0);

    const std::vector<Bytes> written = sim::can_written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], Bytes(reinterpret_cast<uint8_t*>(&req), reinterpret_cast<uint8_t*>(&req) + sizeof req));
    sim::with_unit([](sim::VirtualUnit& u) {
        ASSERT_EQ(u.received.size(), 1u);
        EXPECT_EQ(u.received[0].iface, CAN_FD);
    });

    EXPECT_EQ(sim::can_open_sockets(), 2);
    close(tool);
    close(listener);
    EXPECT_EQ(sim::can_open_sockets(), 0);
}

TEST(SimCan, FrameKindsReachOnlySocketsThatTakeThem)
{
    sim::reset();
    int fd_sock = can_socket("can0", true);
    int classic_sock = can_socket("can0", false);
    ASSERT_GE(fd_sock, 0);
    ASSERT_GE(classic_sock, 0);

    struct can_frame acc;
    std::memset(&acc, 0, sizeof acc);
    acc.can_id = CANMSG_ACC;
    acc.len = 8;
    sim::push_can_frame(&acc, sizeof acc);
    struct canfd_frame buf;
    for (int fd : {fd_sock, classic_sock})
        EXPECT_EQ(recv(fd, &buf, sizeof buf, MSG_DONTWAIT), ssize_t(CAN_MTU));

    struct canfd_frame fd_frame;
    std::memset(&fd_frame, 0, sizeof fd_frame);
    fd_frame.can_id = CANMSG_ACC;
    fd_frame.len = 12;
    sim::push_can_frame(&fd_frame, sizeof fd_frame);
    EXPECT_EQ(recv(fd_sock, &buf, sizeof buf, MSG_DONTWAIT), ssize_t(CANFD_MTU));
    EXPECT_EQ(recv(classic_sock, &buf, sizeof buf, MSG_DONTWAIT), -1);

    // The kernel refuses an FD frame from a socket without FD frames, and
    // the unit's FD answers never reach such a socket.
    struct canfd_frame whoami;
    std::memset(&whoami, 0, sizeof whoami);
    whoami.can_id = CANMSG_WHOAMI;
    whoami.len = 2;
    whoami.data[0] = 0xEF;
    whoami.data[1] = 0x15;
    errno = 0;
    EXPECT_EQ(write(classic_sock, &whoami, sizeof whoami), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(sim::can_written().empty());
    ASSERT_EQ(write(fd_sock, &whoami, sizeof whoami), ssize_t(sizeof whoami));
    EXPECT_EQ(read(fd_sock, &buf, sizeof buf), ssize_t(CANFD_MTU));
    EXPECT_EQ(sim::can_written().size(), 1u);
    EXPECT_EQ(recv(classic_sock, &buf, sizeof buf, MSG_DONTWAIT), -1);
    close(fd_sock);
    close(classic_sock);
}

TEST(SimCan, SilentUnitLetsTheReadTimeOut)
{
    sim::reset();
    sim::set_can_silent(true);
    int fd = can_socket("can0", true);
    ASSERT_GE(fd, 0);
    struct canfd_frame f;
    std::memset(&f, 0, sizeof f);
    f.can_id = CANMSG_WHOAMI;
    f.len = 2;
    f.data[0] = 0xEF;
    f.data[1] = 0x15;
    ASSERT_EQ(write(fd, &f, sizeof f), ssize_t(sizeof f));
    errno = 0;
    EXPECT_EQ(read(fd, &f, sizeof f), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    EXPECT_EQ(sim::can_written().size(), 1u);
    sim::with_unit([](sim::VirtualUnit& u) { EXPECT_TRUE(u.received.empty()); });
    close(fd);
}

// Answers that are not due yet are held back, then delivered without anyone
// asking again (the bus thread and the HID reader wake up by themselves).
TEST(SimLatency, DelayedAnswersArriveNoEarlierThanDue)
{
    sim::reset();
    sim::with_unit([](sim::VirtualUnit& u) { u.serial = 0x12345678; });  // bytes to compare
    sim::set_latency(sim::Link::USB, sim::usb_full_speed_latency());
    sim::set_latency(sim::Link::CAN, sim::canfd_latency(500e3, 2e6));
    sim::with_unit([](sim::VirtualUnit& u) { u.faults.extra_delay_us = 30000; });
    const auto delay = std::chrono::milliseconds(30);

    hid_device* dev = hid_open_path(UNIT_PATH.c_str());
    ASSERT_NE(dev, nullptr);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(hid_write(dev, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), 8);
    unsigned char buf[128];
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 1000), 71);
    EXPECT_GE(std::chrono::steady_clock::now() - start, delay);
    hid_close(dev);

    int fd = can_socket("can0", true);
    ASSERT_GE(fd, 0);
    struct canfd_frame f;
    std::memset(&f, 0, sizeof f);
    f.can_id = CANMSG_WHOAMI;
    f.len = 2;
    f.data[0] = 0xEF;
    f.data[1] = 0x15;
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(write(fd, &f, sizeof f), ssize_t(sizeof f));
    EXPECT_EQ(read(fd, &f, sizeof f), ssize_t(CANFD_MTU));
    EXPECT_GE(std::chrono::steady_clock::now() - start, delay);
    EXPECT_EQ(f.data[7], 0x78);
    close(fd);
}

TEST(SimLatency, ModelsChargeFramesAndTheSharedBus)
{
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    const COMMS_MSG_t whoami = sim::make_msg(CANMSG_WHOAMI, {0xEF, 0x15});
    COMMS_MSG_t packet = sim::make_msg(CANMSG_WRITE_MX25, {});
    packet.msg_len = 64;
    const COMMS_MSG_t ack = sim::make_msg(CANMSG_ACK, {0x78, 0x03, 0, 0, 0xEF, 0x15});

    // USB: one transaction of 64 bytes per 1 ms frame each way; a 70-byte
    // output report and every 71-byte input report take two.
    sim::LatencyModel usb = sim::usb_full_speed_latency();
    const steady_clock::time_point t0(milliseconds(5000));
    EXPECT_EQ(usb.to_unit(t0 + std::chrono::microseconds(10), whoami), t0 + milliseconds(2));
    EXPECT_EQ(usb.to_unit(t0 + milliseconds(2), packet), t0 + milliseconds(4));
    EXPECT_EQ(usb.to_tool(t0 + milliseconds(4), ack), t0 + milliseconds(6));
    EXPECT_EQ(usb.to_tool(t0 + milliseconds(4), ack), t0 + milliseconds(8)) << "one report after the other";

    // CAN FD: request and answers take turns on one bus.
    sim::LatencyModel can = sim::canfd_latency(1e6, 5e6);
    const steady_clock::time_point t1(milliseconds(7000));
    const steady_clock::time_point request_end = can.to_unit(t1, ack);
    const steady_clock::time_point answer_end = can.to_tool(t1, ack);
    EXPECT_GT(request_end, t1);
    EXPECT_EQ(answer_end - request_end, request_end - t1) << "the answer waits for the request's frame";
    EXPECT_GT(can.to_unit(answer_end, packet) - answer_end, request_end - t1) << "a longer frame takes longer";
}

}  // namespace

namespace {

struct canfd_frame frame_of(uint32_t id, uint8_t len)
{
    struct canfd_frame f;
    std::memset(&f, 0, sizeof f);
    f.can_id = id;
    f.len = len;
    f.flags = CANFD_BRS;
    for (uint8_t i = 0; i < len && i < CANFD_MAX_DLEN; ++i)
        f.data[i] = uint8_t(0xA0 + i);
    return f;
}

}  // namespace

// write() fails the way the kernel's raw CAN socket does.
TEST(SimCan, WritesFailAsTheKernelFailsThem)
{
    const struct {
        const char* name;
        void (*world)();
        bool bound, fd_frames;
        size_t size;
        uint8_t len;
        int err;
    } cases[] = {
        {"FD frame without FD frames", [] {}, true, false, CANFD_MTU, 2, EINVAL},
        {"len beyond 64", [] {}, true, true, CANFD_MTU, 65, EINVAL},
        {"classic len beyond 8", [] {}, true, true, CAN_MTU, 9, EINVAL},
        {"odd size", [] {}, true, true, 20, 2, EINVAL},
        {"unbound", [] {}, false, false, CAN_MTU, 2, ENXIO},
        {"interface down", [] { sim::set_can_interface_up("can0", false); }, true, true, CANFD_MTU, 2, ENETDOWN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        int fd = c.bound ? can_socket("can0", c.fd_frames) : socket(PF_CAN, SOCK_RAW, CAN_RAW);
        ASSERT_GE(fd, 0);
        c.world();
        struct canfd_frame f = frame_of(CANMSG_WHOAMI, 0);
        f.len = c.len;
        errno = 0;
        EXPECT_EQ(write(fd, &f, c.size), -1);
        EXPECT_EQ(errno, c.err);
        EXPECT_TRUE(sim::can_written().empty());
        close(fd);
    }

    // A reader of an interface that goes down learns it once.
    sim::reset();
    int fd = can_socket("can0", true);
    ASSERT_GE(fd, 0);
    sim::set_can_interface_up("can0", false);
    struct canfd_frame f;
    errno = 0;
    EXPECT_EQ(read(fd, &f, sizeof f), -1);
    EXPECT_EQ(errno, ENETDOWN);
    errno = 0;
    EXPECT_EQ(read(fd, &f, sizeof f), -1);
    EXPECT_EQ(errno, EAGAIN) << "then only the time-out";

    // Nobody acknowledging: the controller's queue of 10 fills, then ENOBUFS.
    sim::reset();
    sim::set_can_no_ack(true);
    f = frame_of(CANMSG_WHOAMI, 2);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(write(fd, &f, sizeof f), ssize_t(sizeof f));
    errno = 0;
    EXPECT_EQ(write(fd, &f, sizeof f), -1);
    EXPECT_EQ(errno, ENOBUFS);
    sim::with_unit([](sim::VirtualUnit& u) { EXPECT_TRUE(u.received.empty()); });

    sim::inject_can_eintr(1, 1);
    errno = 0;
    EXPECT_EQ(write(fd, &f, sizeof f), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(read(fd, &f, sizeof f), -1);
    EXPECT_EQ(errno, EINTR);
    close(fd);
}

// The data length code has no code for 9-11, 13-15, ... bytes: the unit
// receives such a frame padded with zeros to the next length that exists.
TEST(SimCan, FdLengthsArriveAsTheBusCarriesThem)
{
    const struct {
        uint8_t sent, received;
    } cases[] = {{8, 8}, {9, 12}, {12, 12}, {13, 16}, {33, 48}, {36, 48}, {49, 64}, {64, 64}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.sent));
        sim::reset();
        int fd = can_socket("can0", true);
        ASSERT_GE(fd, 0);
        struct canfd_frame f = frame_of(CANMSG_WRITE_MX25, c.sent);
        ASSERT_EQ(write(fd, &f, sizeof f), ssize_t(sizeof f));
        ASSERT_EQ(sim::can_written().size(), 1u);  // syncs the bus
        sim::with_unit([&](sim::VirtualUnit& u) {
            ASSERT_EQ(u.received.size(), 1u);
            EXPECT_EQ(u.received[0].msg_len, c.received);
            EXPECT_EQ(std::memcmp(u.received[0].data, f.data, c.sent), 0);
            for (int i = c.sent; i < 64; ++i)
                EXPECT_EQ(u.received[0].data[i], 0) << i;
        });
        close(fd);
    }
}

TEST(SimCan, BroadcastsReachEveryReaderOnTheirOwn)
{
    sim::reset();
    std::vector<sim::Broadcast> b = sim::unit_sensor_broadcasts();
    b.push_back(sim::second_node_broadcast());
    sim::set_can_broadcasts(b);
    int fd = can_socket("can0", true);
    ASSERT_GE(fd, 0);
    std::vector<uint32_t> ids;
    unsigned char buf[CANFD_MTU];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    while (std::chrono::steady_clock::now() < until) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            canid_t id;
            std::memcpy(&id, buf, sizeof id);
            ids.push_back(id);
        }
    }
    for (uint32_t id : {uint32_t(CANMSG_ACC), uint32_t(CANMSG_GYRO), uint32_t(CANMSG_ST_PRES),
                        uint32_t(CANMSG_IDRIVE_KEEPALIVE)})
        EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << std::hex << id;
    // A silent unit stops its own traffic; the other node goes on.
    sim::set_can_silent(true);
    const auto later = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    ids.clear();
    while (read(fd, buf, sizeof buf) > 0 && std::chrono::steady_clock::now() < later) {
        canid_t id;
        std::memcpy(&id, buf, sizeof id);
        ids.push_back(id);
    }
    EXPECT_EQ(std::count(ids.begin(), ids.end(), uint32_t(CANMSG_ACC)), 0);
    EXPECT_GT(std::count(ids.begin(), ids.end(), uint32_t(CANMSG_IDRIVE_KEEPALIVE)), 0);
    close(fd);
}

// Like hidraw: each open handle has its own buffer of 64 reports, empty at
// open, that drops new reports while full; only report number 5 reaches the unit.
TEST(SimHid, EachHandleBuffersItsOwnReports)
{
    sim::reset();
    hid_device* a = hid_open_path(UNIT_PATH.c_str());
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 70; ++i)
        ASSERT_EQ(hid_write(a, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), 8);
    hid_device* b = hid_open_path(UNIT_PATH.c_str());
    ASSERT_NE(b, nullptr);
    unsigned char buf[128];
    int got = 0;
    while (hid_read_timeout(a, buf, sizeof buf, 0) > 0)
        ++got;
    EXPECT_EQ(got, 64);
    EXPECT_EQ(hid_read_timeout(b, buf, sizeof buf, 0), 0) << "opened after the answers arrived";

    Bytes other_number = WHOAMI_REPORT;
    other_number[0] = 0x06;
    EXPECT_EQ(hid_write(b, other_number.data(), other_number.size()), 8);
    EXPECT_EQ(hid_read_timeout(b, buf, sizeof buf, 50), 0);
    ASSERT_EQ(hid_write(b, WHOAMI_REPORT.data(), WHOAMI_REPORT.size()), 8);
    EXPECT_EQ(hid_read_timeout(b, buf, sizeof buf, 50), 71);
    EXPECT_EQ(hid_read_timeout(a, buf, sizeof buf, 0), 71) << "both handles see the unit's report";
    hid_close(a);
    hid_close(b);
}

// The unit decodes the output report as on uhid, but one written longer than
// its declared size still reaches it, and one shorter than its msg_len does not.
TEST(SimHid, OutputReportLengthsThatReachTheUnit)
{
    sim::reset();
    hid_device* dev = hid_open_path(UNIT_PATH.c_str());
    ASSERT_NE(dev, nullptr);
    Bytes padded = WHOAMI_REPORT;
    padded.resize(sim::UNIT_OUTPUT_REPORT_SIZE + 10, 0xAA);
    const Bytes cut(WHOAMI_REPORT.begin(), WHOAMI_REPORT.end() - 1);
    EXPECT_EQ(hid_write(dev, padded.data(), padded.size()), int(padded.size()));
    EXPECT_EQ(hid_write(dev, cut.data(), cut.size()), int(cut.size()));
    unsigned char buf[128];
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 1000), 71);
    EXPECT_EQ(hid_read_timeout(dev, buf, sizeof buf, 50), 0);
    sim::with_unit([](sim::VirtualUnit& u) {
        ASSERT_EQ(u.received.size(), 1u);
        EXPECT_EQ(u.received[0].msg_len, 2);
        EXPECT_EQ(u.received[0].data[2], 0) << "bytes past msg_len are not payload";
    });
    hid_close(dev);
}

// As the kernel: a classic interface takes the FD option, then refuses every
// FD frame; as without the udev rule: a node that is listed but not opened.
TEST(SimFaults, ClassicInterfaceAndUnopenableNode)
{
    sim::reset();
    sim::set_can_interface_mtu("can0", 16);
    int fd = can_socket("can0", true);
    ASSERT_GE(fd, 0) << "the FD option is taken";
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strcpy(ifr.ifr_name, "can0");
    ASSERT_EQ(ioctl(fd, SIOCGIFMTU, &ifr), 0);
    EXPECT_EQ(ifr.ifr_mtu, 16);
    struct canfd_frame fd_frame;
    std::memset(&fd_frame, 0, sizeof fd_frame);
    fd_frame.can_id = CANMSG_WHOAMI;
    errno = 0;
    EXPECT_EQ(write(fd, &fd_frame, sizeof fd_frame), -1);
    EXPECT_EQ(errno, EINVAL);
    struct can_frame classic;
    std::memset(&classic, 0, sizeof classic);
    EXPECT_EQ(write(fd, &classic, sizeof classic), ssize_t(sizeof classic));
    close(fd);

    sim::HidInterface node = sim::unit_hid_interface();
    node.openable = false;
    sim::set_hid_interfaces({node});
    EXPECT_EQ(enumerated(vendor_id, product_id), std::vector<std::string>{UNIT_PATH});
    errno = 0;
    EXPECT_EQ(hid_open_path(UNIT_PATH.c_str()), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(open(UNIT_PATH.c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
}
