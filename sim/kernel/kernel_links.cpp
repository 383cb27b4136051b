#include "kernel_links.h"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/uhid.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "unit_wire.h"

namespace sim {

namespace {

std::string system_error(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// uhid takes and gives one whole event per read or write.
bool write_event(int fd, const struct uhid_event& ev)
{
    ssize_t n;
    do {
        n = ::write(fd, &ev, sizeof ev);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof ev);
}

const char* event_name(uint32_t type)
{
    switch (type) {
    case UHID_STOP: return "stop";
    case UHID_OPEN: return "open";
    case UHID_CLOSE: return "close";
    default: return nullptr;
    }
}

}  // namespace

UhidUnit::~UhidUnit()
{
    destroy();
    if (uhid_fd >= 0)
        ::close(uhid_fd);
}

bool UhidUnit::create(uint32_t serial, std::string* error)
{
    if (uhid_fd < 0)
        uhid_fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (uhid_fd < 0) {
        *error = system_error("cannot open /dev/uhid");
        return false;
    }
    struct uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    struct uhid_create2_req& c = ev.u.create2;
    std::snprintf(reinterpret_cast<char*>(c.name), sizeof c.name, "Skarvel EFIS virtual unit");
    std::snprintf(reinterpret_cast<char*>(c.phys), sizeof c.phys, "skarvel-virtual-unit");
    std::snprintf(reinterpret_cast<char*>(c.uniq), sizeof c.uniq, "%08X", serial);
    c.rd_size = uint16_t(UNIT_REPORT_DESCRIPTOR_SIZE);
    c.bus = 0x03;  // BUS_USB
    c.vendor = vendor_id;
    c.product = product_id;
    std::memcpy(c.rd_data, UNIT_REPORT_DESCRIPTOR, UNIT_REPORT_DESCRIPTOR_SIZE);
    if (!write_event(uhid_fd, ev)) {
        *error = system_error("cannot create the uhid device");
        return false;
    }
    created = true;
    return true;
}

void UhidUnit::destroy()
{
    if (!created)
        return;
    struct uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    write_event(uhid_fd, ev);
    created = false;
}

UhidUnit::Event UhidUnit::receive(COMMS_MSG_t* msg, std::string* note)
{
    struct uhid_event ev;
    ssize_t n;
    do {
        n = ::read(uhid_fd, &ev, sizeof ev);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN)
        return NOTHING;
    if (n < ssize_t(sizeof ev.type)) {
        *note = system_error("reading /dev/uhid failed");
        return FAILED;
    }
    switch (ev.type) {
    case UHID_START:
        return STARTED;
    case UHID_OUTPUT:
        if (ev.u.output.rtype == UHID_OUTPUT_REPORT &&
            unit_request_from_output_report(ev.u.output.data, ev.u.output.size, msg))
            return REQUEST;
        *note = "ignored an output report of " + std::to_string(ev.u.output.size) + " bytes";
        return NOTHING;
    case UHID_GET_REPORT:
    case UHID_SET_REPORT: {
        // The unit has no feature reports; hidraw passes the refusal on.
        // Both requests start with their id, both replies with the id and
        // an error.
        const bool get = ev.type == UHID_GET_REPORT;
        const uint32_t id = ev.u.get_report.id;
        std::memset(&ev, 0, sizeof ev);
        ev.type = get ? UHID_GET_REPORT_REPLY : UHID_SET_REPORT_REPLY;
        ev.u.set_report_reply.id = id;
        ev.u.set_report_reply.err = EIO;
        write_event(uhid_fd, ev);
        *note = get ? "refused a get-report request" : "refused a set-report request";
        return NOTHING;
    }
    default:
        if (const char* name = event_name(ev.type))
            *note = std::string("uhid ") + name;
        return NOTHING;
    }
}

bool UhidUnit::send(const COMMS_MSG_t& msg, std::string* error)
{
    if (!created) {
        *error = "the uhid device is gone";
        return false;
    }
    struct uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_INPUT2;
    ev.u.input2.size = uint16_t(UNIT_INPUT_REPORT_SIZE);
    unit_input_report(msg, ev.u.input2.data);
    if (!write_event(uhid_fd, ev)) {
        *error = system_error("sending an input report failed");
        return false;
    }
    return true;
}

CanUnit::~CanUnit()
{
    if (socket_fd >= 0)
        ::close(socket_fd);
}

bool CanUnit::open(const std::string& interface_name, std::string* error)
{
    socket_fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    if (socket_fd < 0) {
        *error = system_error("cannot open a CAN socket");
        return false;
    }
    const int on = 1;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", interface_name.c_str());
    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    if (::setsockopt(socket_fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) {
        *error = system_error("cannot enable CAN FD frames");
    } else if (::ioctl(socket_fd, SIOCGIFINDEX, &ifr) < 0) {
        *error = system_error(("no CAN interface " + interface_name).c_str());
    } else {
        addr.can_ifindex = ifr.ifr_ifindex;
        if (::bind(socket_fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        *error = system_error(("cannot bind to " + interface_name).c_str());
    }
    ::close(socket_fd);
    socket_fd = -1;
    return false;
}

bool CanUnit::receive(COMMS_MSG_t* msg, bool* got, std::string* error)
{
    uint8_t frame[CANFD_MTU];
    *got = false;
    const ssize_t n = ::read(socket_fd, frame, sizeof frame);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return true;
        *error = system_error("CAN read failed");
        return false;
    }
    *got = unit_request_from_frame(frame, size_t(n), msg);
    return true;
}

bool CanUnit::send(const COMMS_MSG_t& msg, bool classic, std::string* error)
{
    uint8_t frame[CANFD_MTU];
    const size_t size = unit_frame(msg, classic, frame);
    ssize_t n;
    do {
        n = ::write(socket_fd, frame, size);
    } while (n < 0 && errno == EINTR);
    if (n != ssize_t(size)) {
        *error = system_error("CAN write failed");
        return false;
    }
    return true;
}

}  // namespace sim
