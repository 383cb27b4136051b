#ifndef COMMS_COMMS_H
#define COMMS_COMMS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "../EFIS_shared/can_export.h"
#include "../EFIS_shared/comms_types.h"
#include "canfd/canfd.h"
#include "usb_hid/USBHID.h"

enum target_comms_t {
    SENSOR_COMMS = 0,
    SETTINGS_COMMS = 1,
};

// A unit on USB as findUSBUnits saw it.
struct FoundUnit {
    std::string path;     // its hidraw node
    uint32_t serial;      // 0xFFFFFFFF when it could not be read
    std::string failure;  // why it could not be used, when the transport knows
};

// Owns one transport of each kind; USB is preferred whenever it is connected.
class CommsManager {
public:
    // The serial number that picks no particular unit: no unit can be
    // verified with it.
    static const uint32_t ANY_UNIT = 0xFFFFFFFFu;

    CommsManager();
    ~CommsManager();
    CommsManager(const CommsManager&) = delete;
    CommsManager& operator=(const CommsManager&) = delete;

    bool connectUSB(uint16_t vendor_id, uint16_t product_id);
    bool connectCANFD(const std::string& interface_name);
    bool establish_connection();
    // The same policy over the links asked for, with CAN FD on
    // `can_interface`: the owner may keep the tool off a link.
    bool establish_connection(bool use_usb, bool use_can, const std::string& can_interface);
    // One link of establish_connection, with its lines: connected and
    // verified, or closed again. `serial` picks the unit: on USB the one of
    // the units plugged in that has it (ANY_UNIT: the first), on CAN FD the
    // one unit on the bus must have it.
    bool connectVerifiedUSB(uint32_t serial = ANY_UNIT);
    bool connectVerifiedCANFD(const std::string& interface_name, uint32_t serial = ANY_UNIT);
    // Why the last connect of the link found something it could not use (a
    // unit in use by another instance, a node that cannot be opened, an
    // interface not in CAN FD mode, several units on the bus, another
    // serial number); empty when it found nothing or succeeded.
    const std::string& connectFailure(COMM_INTERFACE_t iface) const;
    // The units plugged in by USB when connectVerifiedUSB last looked.
    int usbUnitsFound() const;
    // Every unit plugged in by USB with its serial number, each locked and
    // verified in turn; leaves the USB link closed.
    std::vector<FoundUnit> findUSBUnits();

    // Every write is a command: input still waiting when it goes out answers
    // nothing its caller will wait for and is discarded first
    // (discardStaleInput).
    int write(const COMMS_MSG_t& msg);
    int read(COMMS_MSG_t* msg);
    // One message of the answer to the last command written: waits at most
    // until the preferred link's read time-out has passed since that
    // command went out, whatever else arrives meanwhile. The link's result;
    // its time-out result once that time is up.
    int readAnswer(COMMS_MSG_t* msg);
    // A wait gave up on its answer by a limit of its own: the next command
    // first listens for the late answer, as after a read that timed out.
    void answerMissing();
    // An answer was taken that a copy of it could not be told from the next
    // command's (a value, an acknowledgement): the next command first
    // listens for such a copy for as long as the link takes to bring one.
    void answerTaken();

    // Reads and drops what is already waiting on the preferred link, at most
    // a buffer's worth, without waiting. After a wait that went unanswered
    // it first goes on reading for a grace period, so that an answer that
    // was merely late is not taken for the next command's; after an answer
    // taken (answerTaken), until a copy of it would have come.
    void discardStaleInput();
    // Waits `pause` between two commands. On CAN FD the wait is a read of the
    // socket that drops whatever arrives meanwhile, so the next command needs
    // no discard of its own.
    void pauseBetweenCommands(std::chrono::microseconds pause);

    bool isConnected() const;
    COMM_INTERFACE_t getActiveInterface() const;
    // With both links connected, routes the traffic over CAN FD instead of
    // USB (an upload takes a twelfth of the time); off, USB is preferred
    // whenever it is connected. Change it only while no exchange runs.
    void setPreferCANFD(bool on);
    // How long after a command its answer may come on the preferred link.
    int readTimeoutMs() const;
    // The serial number establish_connection verified on that link, or
    // 0xFFFFFFFF when it verified none there.
    uint32_t serialNumber(COMM_INTERFACE_t iface) const;
    USBHID* getUSBHID();
    CANFD* getCANFD();

private:
    // The preferred link is USB: connected, and CAN FD not preferred over it.
    bool routesToUSB() const;
    // Locks the unit `serial` that the link verified, for as long as the link
    // stays connected; false with the link's failure set when another program
    // holds it (over either link).
    bool lockUnit(COMM_INTERFACE_t iface, uint32_t serial, const std::string& where);

    USBHID* usbHid;
    CANFD* canFd;
    std::chrono::steady_clock::time_point lastCommand;
    bool answerMayBeLate;
    // Until when a copy of the last answer taken may still arrive.
    std::chrono::steady_clock::time_point copyMayArriveUntil;
    bool inputDiscarded;  // by the pause since the last command
    uint32_t usbSerial;
    uint32_t canSerial;
    int usbUnits;
    bool preferCan;
    std::string usbFailure;
    std::string canFailure;
};

// The unit's serial number over the named link, or 0xFFFFFFFF on failure.
// On CAN FD every unit on the bus answers, each within milliseconds of the
// request: it listens 100 ms after the first answer, and fails when more
// than one unit answered.
uint32_t get_serialnumber(CommsManager* comms, COMM_INTERFACE_t iface);

// 0xFFFFFFFF on failure; *ok (when given) tells a failed exchange from a
// real value of 0xFFFFFFFF.
uint32_t get_value(CommsManager* comms, target_comms_t src, uint8_t index, bool* ok = nullptr);
int set_value(CommsManager* comms, target_comms_t src, uint8_t index, uint32_t value);
int store_value(CommsManager* comms, target_comms_t src, uint32_t crc);
// Restarts the unit into its boot loader. The unit sends no answer: 0 once
// the command went out, -1 when it could not be sent.
int send_reboot(CommsManager* comms);
bool wait_for_ack(CommsManager* comms, uint32_t expected_can_id);
// *address_given (when given) tells whether the answer carried an address
// (msg_len above 4); *address_out is left alone when it did not.
bool wait_for_mx25_ack(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out,
                       bool* address_given = nullptr);
// The two answers of a command that the unit answers with both, in whichever
// order they come: the acknowledgement of expected_can_id and the flash
// acknowledgement. True when both arrived; a negative answer of either kind
// fails it. *flash_ok (when given) tells whether the flash acknowledgement
// arrived.
bool wait_for_ack_and_mx25_ack(CommsManager* comms, uint32_t expected_can_id, bool* flash_ok,
                               uint8_t* op_type_out, uint32_t* address_out);

#endif
