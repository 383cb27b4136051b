#ifndef SIM_KERNEL_KERNEL_LINKS_H
#define SIM_KERNEL_KERNEL_LINKS_H

// The virtual unit's two links on the real kernel: a uhid device that the
// HID core and hidraw take for a USB unit, and a raw CAN FD socket. Each
// turns what arrives into requests for the unit and sends its answers.
// Failures are return values with the system's error text in *error.

#include <cstdint>
#include <string>

#include "../../EFIS_shared/comms_types.h"

namespace sim {

class UhidUnit {
public:
    UhidUnit() = default;
    ~UhidUnit();
    UhidUnit(const UhidUnit&) = delete;
    UhidUnit& operator=(const UhidUnit&) = delete;

    // Opens /dev/uhid and creates the device: bus USB, vendor_id and
    // product_id, the serial number as its unique id.
    bool create(uint32_t serial, std::string* error);
    // The device disappears as if its cable were pulled; the descriptor stays.
    void destroy();
    bool exists() const { return created; }
    int fd() const { return uhid_fd; }

    enum Event { NOTHING, REQUEST, STARTED, FAILED };
    // Takes one event from the kernel: REQUEST fills *msg with an output
    // report's request, STARTED says a driver bound the device (its hidraw
    // node follows); the kernel's other events are answered or noted.
    Event receive(COMMS_MSG_t* msg, std::string* note);
    bool send(const COMMS_MSG_t& msg, std::string* error);

private:
    int uhid_fd = -1;
    bool created = false;
};

class CanUnit {
public:
    CanUnit() = default;
    ~CanUnit();
    CanUnit(const CanUnit&) = delete;
    CanUnit& operator=(const CanUnit&) = delete;

    bool open(const std::string& interface_name, std::string* error);
    int fd() const { return socket_fd; }
    // False with *error when the read failed (the interface went down, say);
    // true with *got false for a frame that is no request of the unit's.
    bool receive(COMMS_MSG_t* msg, bool* got, std::string* error);
    bool send(const COMMS_MSG_t& msg, bool classic, std::string* error);

private:
    int socket_fd = -1;
};

}  // namespace sim

#endif
