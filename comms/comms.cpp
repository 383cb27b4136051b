#include "comms.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>

#include "comms_internal.h"
#include "link_lock.h"

using namespace comms_internal;

namespace {

using Clock = std::chrono::steady_clock;

const char* const kCanInterface = "can0";
// How long the command after an unanswered wait first listens for the late
// answer, so that it is not read as its own.
const std::chrono::milliseconds kGracePeriod(250);
// How long after an answer a copy of it may follow. On USB the unit's
// 71-byte input report takes two 1 ms frames, so a copy lands 2 ms after
// the original; half a frame more for the host's timing. On CAN FD the copy
// is the next frame the unit sends, at most about 0.7 ms at 125 kbit/s
// without bit-rate switch, later still when other nodes win the bus first.
const std::chrono::microseconds kUsbCopyWindow(2500);
const std::chrono::microseconds kCanCopyWindow(1000);
// Every unit on a CAN bus answers the handshake; others may answer this
// long after the first.
const std::chrono::milliseconds kMoreUnitsListen(100);
// Reads of one discard: a HID handle's whole input buffer. A bus that keeps
// talking cannot hold the command back; its frames are skipped later.
const int kDiscardLimit = 64;

bool usb_up(const USBHID* usb)
{
    return usb != nullptr && usb->isConnected();
}

bool can_up(const CANFD* can)
{
    return can != nullptr && can->isConnected();
}

// Whole microseconds left until `deadline`, rounded up; 0 once it has passed.
long us_until(Clock::time_point deadline)
{
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    return static_cast<long>(std::chrono::ceil<std::chrono::microseconds>(left).count());
}

// A leftover of one of these is a late or doubled answer, worth a line;
// sensor traffic is not.
bool is_answer(uint32_t can_id)
{
    return can_id == CANMSG_WHOAMI || can_id == CANMSG_NACK || can_id == CANMSG_ACK || can_id == CANMSG_MX25_ACK ||
           can_id == CANMSG_MX25_NACK || can_id == CANMSG_SEND_USER_SETTING || can_id == CANMSG_SEND_SENSOR_CALIB;
}

void report_discarded(const COMMS_MSG_t& msg)
{
    if (is_answer(msg.can_ID)) {
        std::printf("Discarded a stale answer from the device (CAN ID 0x%03X).\n", msg.can_ID);
    }
}

// Reads and drops what arrives until `until`, at most kDiscardLimit
// messages; how many it dropped.
template <class Link>
int drop_until(Link* link, Clock::time_point until)
{
    COMMS_MSG_t msg;
    int discarded = 0;
    for (long us = us_until(until); us > 0 && discarded < kDiscardLimit; us = us_until(until)) {
        if (link->read(&msg, us) <= 0) {
            break;
        }
        ++discarded;
        report_discarded(msg);
    }
    return discarded;
}

// `grace_until`, when set, is how long to go on listening for a late answer.
template <class Link>
void discard_waiting(Link* link, Clock::time_point grace_until)
{
    if (grace_until != Clock::time_point()) {
        drop_until(link, grace_until);
    }
    COMMS_MSG_t msg;
    for (int i = 0; i < kDiscardLimit && link->read(&msg, 0) > 0; ++i) {
        report_discarded(msg);
    }
}

// One read of a wait that must end at `deadline`: the link's own result,
// which is its time-out result once the deadline has passed.
template <class Link>
int read_by(Link* link, COMMS_MSG_t* msg, Clock::time_point deadline)
{
    const long us = us_until(deadline);
    return us > 0 ? link->read(msg, us) : Link::READ_TIMED_OUT;
}

std::string serial_text(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", serial);
    return text;
}

std::string serials_text(const std::vector<uint32_t>& serials)
{
    std::string text;
    for (uint32_t serial : serials) {
        text += (text.empty() ? "" : ", ") + serial_text(serial);
    }
    return text;
}

std::string several_units_text(const std::string& interface_name, const std::vector<uint32_t>& serials)
{
    return std::to_string(serials.size()) + " units answer on " + interface_name + " (" + serials_text(serials) +
           "): settings and uploads over CAN FD need one unit on the bus - connect the unit by USB, or take the "
           "other off the bus";
}

// The serial number a handshake answer carries; false for an answer that is
// not one, with its line printed unless `quiet`.
bool serial_of(const COMMS_MSG_t& response, uint32_t* serial, bool quiet)
{
    if (response.msg_len != 8) {
        if (!quiet) {
            std::printf("get_serialnumber: Invalid response format (canID=0x%08X, len=%d)\n", response.can_ID,
                        static_cast<int>(response.msg_len));
        }
        return false;
    }
    if (response.data[0] != kMarker0 || response.data[1] != kMarker1 || response.data[2] != 0 ||
        response.data[3] != 0) {
        if (!quiet) {
            std::puts("get_serialnumber: Invalid header bytes in response.");
        }
        return false;
    }
    // The one big-endian number on the link.
    *serial = (static_cast<uint32_t>(response.data[4]) << 24) | (static_cast<uint32_t>(response.data[5]) << 16) |
              (static_cast<uint32_t>(response.data[6]) << 8) | static_cast<uint32_t>(response.data[7]);
    return true;
}

// get_serialnumber; *answered (when given) receives the serial number of
// every unit that answered on CAN FD.
uint32_t handshake(CommsManager* comms, COMM_INTERFACE_t iface, std::vector<uint32_t>* answered)
{
    if (comms == nullptr) {
        return kFailure;
    }

    COMMS_MSG_t request = zeroed_msg();
    request.iface = iface;
    request.can_ID = CANMSG_WHOAMI;
    request.msg_len = 2;
    request.data[0] = kMarker0;
    request.data[1] = kMarker1;

    // Each link is verified on its own, past the manager's routing. Whatever
    // waited on the link before the request answers something else.
    USBHID* usb = nullptr;
    CANFD* can = nullptr;
    int sent;
    int timeout_ms;
    if (iface == CAN_FD) {
        can = comms->getCANFD();
        if (!can_up(can)) {
            return kFailure;
        }
        discard_waiting(can, Clock::time_point());
        sent = can->write(request);
        timeout_ms = CANFD::READ_TIMEOUT_MS;
    } else if (iface == USB_HID) {
        usb = comms->getUSBHID();
        if (!usb_up(usb)) {
            return kFailure;
        }
        discard_waiting(usb, Clock::time_point());
        sent = usb->write(request);
        timeout_ms = USBHID::READ_TIMEOUT_MS;
    } else {
        return kFailure;
    }
    if (sent <= 0) {
        std::puts("get_serialnumber: Failed to send message to device.");
        return kFailure;
    }

    // Other nodes and the unit's own broadcasts are skipped; the first
    // serial-number answer is the one judged.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    COMMS_MSG_t response = zeroed_msg();
    for (;;) {
        response = zeroed_msg();
        int got = (can != nullptr) ? read_by(can, &response, deadline) : read_by(usb, &response, deadline);
        if (!read_brought_message(got, "get_serialnumber: No response received from device (timeout or no data).",
                                  "get_serialnumber: Error reading response from device.")) {
            return kFailure;
        }
        if (response.can_ID == CANMSG_WHOAMI) {
            break;
        }
    }
    uint32_t serial = kFailure;
    if (!serial_of(response, &serial, false)) {
        return kFailure;
    }
    if (can == nullptr) {
        return serial;
    }

    // Nothing in the protocol addresses one unit: every unit on the bus
    // answers every request, so a second one would answer in the middle of
    // every exchange. Units answer within milliseconds of a request, so
    // 100 ms after the first answer hears every other.
    std::vector<uint32_t> serials(1, serial);
    const Clock::time_point until = Clock::now() + kMoreUnitsListen;
    for (;;) {
        COMMS_MSG_t more = zeroed_msg();
        if (read_by(can, &more, until) <= 0) {
            break;
        }
        uint32_t other = kFailure;
        if (more.can_ID == CANMSG_WHOAMI && serial_of(more, &other, true) &&
            std::find(serials.begin(), serials.end(), other) == serials.end()) {
            serials.push_back(other);
        }
    }
    if (answered != nullptr) {
        *answered = serials;
    }
    if (serials.size() > 1) {
        std::puts(several_units_text(can->name(), serials).c_str());
        return kFailure;
    }
    return serial;
}

}  // namespace

COMMS_MSG_t comms_internal::zeroed_msg()
{
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof(msg));
    return msg;
}

bool comms_internal::read_brought_message(int got, const char* no_data_line, const char* error_line)
{
    if (got == 0) {
        std::puts(no_data_line);
        return false;
    }
    if (got < 0) {
        std::puts(error_line);
        return false;
    }
    return true;
}

CommsManager::CommsManager()
    : usbHid(new USBHID()),
      canFd(new CANFD()),
      lastCommand(Clock::now()),
      answerMayBeLate(false),
      copyMayArriveUntil(),
      inputDiscarded(false),
      usbSerial(kFailure),
      canSerial(kFailure),
      usbUnits(0),
      preferCan(false)
{
}

CommsManager::~CommsManager()
{
    delete usbHid;
    usbHid = nullptr;
    delete canFd;
    canFd = nullptr;
}

bool CommsManager::connectUSB(uint16_t vid, uint16_t pid)
{
    if (usbHid == nullptr) {
        return false;
    }
    return usbHid->connect(vid, pid);
}

bool CommsManager::connectCANFD(const std::string& interface_name)
{
    if (canFd == nullptr) {
        return false;
    }
    return canFd->connect(interface_name);
}

bool CommsManager::establish_connection()
{
    return establish_connection(true, true, kCanInterface);
}

bool CommsManager::establish_connection(bool use_usb, bool use_can, const std::string& can_interface)
{
    const bool usb_ok = use_usb && connectVerifiedUSB();
    const bool can_ok = use_can && connectVerifiedCANFD(can_interface);
    if (!usb_ok && !can_ok) {
        std::puts(use_usb && use_can ? "Failed to connect via both USB HID and CAN FD"
                  : use_usb          ? "Failed to connect via USB HID"
                                     : "Failed to connect via CAN FD");
        return false;
    }
    if (usb_ok && can_ok) {
        std::puts("Connected via both USB HID and CAN FD");
    } else if (usb_ok) {
        std::puts("Connected via USB HID");
    } else {
        std::puts("Connected via CAN FD");
    }
    return true;
}

bool CommsManager::connectVerifiedUSB(uint32_t wanted)
{
    usbSerial = kFailure;
    usbFailure.clear();
    std::printf("Attempting to connect to USB HID device 0x%04X:0x%04X\n", static_cast<unsigned>(vendor_id),
                static_cast<unsigned>(product_id));
    const std::vector<std::string> paths = USBHID::unitPaths(vendor_id, product_id);
    usbUnits = static_cast<int>(paths.size());
    // Without a serial number only the first unit is tried: when that one
    // is busy, another may not be the unit meant.
    const size_t tries = usbHid == nullptr ? 0 : wanted == ANY_UNIT ? std::min<size_t>(paths.size(), 1) : paths.size();
    std::string unusable;
    std::vector<uint32_t> others;
    bool opened = false;
    for (size_t i = 0; i < tries; ++i) {
        if (!usbHid->connectPath(paths[i])) {
            if (unusable.empty()) {
                unusable = usbHid->failure();
            }
            continue;
        }
        opened = true;
        std::puts("USB HID device connected, verifying with serial number request...");
        const uint32_t serial = get_serialnumber(this, USB_HID);
        if (serial == kFailure) {
            std::puts("Failed to get serial number from USB HID device - disconnecting");
            usbHid->disconnect();
            continue;
        }
        if (wanted != ANY_UNIT && serial != wanted) {
            std::printf("USB HID device 0x%08X is not the unit asked for - disconnecting\n", serial);
            others.push_back(serial);
            usbHid->disconnect();
            continue;
        }
        if (!lockUnit(USB_HID, serial, usbHid->path())) {
            usbHid->disconnect();
            return false;
        }
        usbSerial = serial;
        std::printf("Successfully connected to USB HID device! Serial number: 0x%08X\n", serial);
        return true;
    }
    if (!opened) {
        std::puts("Failed to connect to USB HID device");
    }
    if (wanted != ANY_UNIT && !paths.empty()) {
        usbFailure = "no unit with serial number " + serial_text(wanted) + " on USB";
        if (!others.empty()) {
            usbFailure += " (found " + serials_text(others) + ")";
        }
        if (!unusable.empty()) {
            usbFailure += "; " + unusable;
        }
    } else {
        usbFailure = unusable;
    }
    if (!usbFailure.empty()) {
        std::puts(usbFailure.c_str());
    }
    return false;
}

bool CommsManager::connectVerifiedCANFD(const std::string& interface_name, uint32_t wanted)
{
    canSerial = kFailure;
    canFailure.clear();
    std::printf("Attempting to connect to CAN FD interface: %s\n", interface_name.c_str());
    if (!connectCANFD(interface_name)) {
        std::puts("Failed to connect to CAN FD interface");
        if (canFd != nullptr) {
            canFailure = canFd->failure();
        }
        return false;
    }
    std::puts("CAN FD interface connected, verifying with serial number request...");
    std::vector<uint32_t> answered;
    const uint32_t serial = handshake(this, CAN_FD, &answered);
    if (serial == kFailure) {
        if (answered.size() > 1) {
            canFailure = several_units_text(interface_name, answered);
        }
        std::puts("Failed to get serial number from CAN FD interface - disconnecting");
        canFd->disconnect();
        return false;
    }
    if (wanted != ANY_UNIT && serial != wanted) {
        canFailure = "the unit on " + interface_name + " has serial number " + serial_text(serial) + ", not " +
                     serial_text(wanted);
        std::printf("%s - disconnecting\n", canFailure.c_str());
        canFd->disconnect();
        return false;
    }
    if (!lockUnit(CAN_FD, serial, interface_name)) {
        canFd->disconnect();
        return false;
    }
    canSerial = serial;
    std::printf("Successfully connected to CAN FD interface! Serial number: 0x%08X\n", serial);
    return true;
}

bool CommsManager::lockUnit(COMM_INTERFACE_t iface, uint32_t serial, const std::string& where)
{
    // Our other link may reach the same unit: it shares the lock, held
    // until the later of the two links closes.
    const bool usb = iface == USB_HID;
    const int ours = usb ? (canSerial == serial ? canFd->unitLockFd() : -1)
                         : (usbSerial == serial ? usbHid->unitLockFd() : -1);
    std::string failure;
    const int fd = ours >= 0 ? ::fcntl(ours, F_DUPFD_CLOEXEC, 0) : lock_unit(serial, where, &failure);
    if (fd < 0) {
        if (failure.empty()) {
            failure = std::string("cannot lock the unit: ") + std::strerror(errno);
        }
        std::printf("%s - disconnecting\n", failure.c_str());
        (usb ? usbFailure : canFailure) = failure;
        return false;
    }
    if (usb) {
        usbHid->holdUnitLock(fd);
    } else {
        canFd->holdUnitLock(fd);
    }
    return true;
}

const std::string& CommsManager::connectFailure(COMM_INTERFACE_t iface) const
{
    static const std::string none;
    return iface == USB_HID ? usbFailure : iface == CAN_FD ? canFailure : none;
}

int CommsManager::usbUnitsFound() const
{
    return usbUnits;
}

std::vector<FoundUnit> CommsManager::findUSBUnits()
{
    std::vector<FoundUnit> found;
    if (usbHid == nullptr) {
        return found;
    }
    for (const std::string& path : USBHID::unitPaths(vendor_id, product_id)) {
        FoundUnit unit = {path, kFailure, std::string()};
        if (usbHid->connectPath(path)) {
            unit.serial = get_serialnumber(this, USB_HID);
            usbHid->disconnect();
        } else {
            unit.failure = usbHid->failure();
        }
        found.push_back(unit);
    }
    return found;
}

int CommsManager::write(const COMMS_MSG_t& msg)
{
    COMMS_MSG_t copy = msg;
    int sent;
    if (routesToUSB()) {
        discardStaleInput();
        copy.iface = USB_HID;
        sent = usbHid->write(copy);
    } else if (can_up(canFd)) {
        discardStaleInput();
        copy.iface = CAN_FD;
        sent = canFd->write(copy);
    } else {
        std::puts("No interface connected.");
        return -1;
    }
    lastCommand = Clock::now();
    return sent;
}

int CommsManager::readAnswer(COMMS_MSG_t* msg)
{
    if (msg == nullptr) {
        return -1;
    }
    const Clock::time_point deadline = lastCommand + std::chrono::milliseconds(readTimeoutMs());
    int got;
    if (routesToUSB()) {
        got = read_by(usbHid, msg, deadline);
    } else if (can_up(canFd)) {
        got = read_by(canFd, msg, deadline);
    } else {
        return -1;
    }
    if (got <= 0) {
        answerMayBeLate = true;
    }
    return got;
}

void CommsManager::answerMissing()
{
    answerMayBeLate = true;
}

void CommsManager::answerTaken()
{
    copyMayArriveUntil = Clock::now() + (routesToUSB() ? kUsbCopyWindow : kCanCopyWindow);
}

void CommsManager::discardStaleInput()
{
    const bool grace = answerMayBeLate;
    answerMayBeLate = false;
    Clock::time_point until;
    if (copyMayArriveUntil > Clock::now()) {
        until = copyMayArriveUntil;
    }
    copyMayArriveUntil = Clock::time_point();
    if (inputDiscarded && !grace && until == Clock::time_point()) {
        inputDiscarded = false;
        return;
    }
    inputDiscarded = false;
    // The missing answer may come as late as the link allows after its
    // command, and a little later still.
    if (grace) {
        until = std::max(Clock::now(), lastCommand + std::chrono::milliseconds(readTimeoutMs())) + kGracePeriod;
    }
    if (routesToUSB()) {
        discard_waiting(usbHid, until);
    } else if (can_up(canFd)) {
        discard_waiting(canFd, until);
    }
}

void CommsManager::pauseBetweenCommands(std::chrono::microseconds pause)
{
    // A sleep or a timed read wakes some tens of microseconds after its
    // deadline even with the least timer slack, a third of a 100 us pause:
    // it is set this much early, and the clock ends the pause.
    const std::chrono::microseconds wake_margin(40);
    const Clock::time_point until = Clock::now() + pause;
    const Clock::time_point wake = until - wake_margin;
    if (!routesToUSB() && can_up(canFd)) {
        int discarded = drop_until(canFd, wake);
        COMMS_MSG_t msg;
        while (Clock::now() < until) {
            if (discarded < kDiscardLimit && canFd->read(&msg, 0) > 0) {
                ++discarded;
                report_discarded(msg);
            }
        }
        inputDiscarded = discarded < kDiscardLimit;
        return;
    }
    // hidapi waits in whole milliseconds: USB just sleeps.
    const Clock::duration left = wake - Clock::now();
    if (left > Clock::duration::zero()) {
        std::this_thread::sleep_for(left);
    }
    while (Clock::now() < until) {
    }
}

int CommsManager::read(COMMS_MSG_t* msg)
{
    if (msg == nullptr) {
        return -1;
    }
    if (routesToUSB()) {
        return usbHid->read(msg);
    }
    if (can_up(canFd)) {
        return canFd->read(msg);
    }
    return -1;
}

bool CommsManager::isConnected() const
{
    return usb_up(usbHid) || can_up(canFd);
}

uint32_t CommsManager::serialNumber(COMM_INTERFACE_t iface) const
{
    return iface == CAN_FD ? canSerial : iface == USB_HID ? usbSerial : kFailure;
}

int CommsManager::readTimeoutMs() const
{
    return getActiveInterface() == CAN_FD ? CANFD::READ_TIMEOUT_MS : USBHID::READ_TIMEOUT_MS;
}

bool CommsManager::routesToUSB() const
{
    return usb_up(usbHid) && !(preferCan && can_up(canFd));
}

void CommsManager::setPreferCANFD(bool on)
{
    preferCan = on;
}

COMM_INTERFACE_t CommsManager::getActiveInterface() const
{
    if (routesToUSB()) {
        return USB_HID;
    }
    if (can_up(canFd)) {
        return CAN_FD;
    }
    return USB_HID;
}

USBHID* CommsManager::getUSBHID()
{
    return usbHid;
}

CANFD* CommsManager::getCANFD()
{
    return canFd;
}

uint32_t get_serialnumber(CommsManager* comms, COMM_INTERFACE_t iface)
{
    return handshake(comms, iface, nullptr);
}
