#ifndef COMMS_COMMS_H
#define COMMS_COMMS_H

#include <cstdint>
#include <string>

#include "../EFIS_shared/can_export.h"
#include "../EFIS_shared/comms_types.h"
#include "canfd/canfd.h"
#include "usb_hid/USBHID.h"

enum target_comms_t {
    SENSOR_COMMS = 0,
    SETTINGS_COMMS = 1,
};

// Owns one transport of each kind; USB is preferred whenever it is connected.
class CommsManager {
public:
    CommsManager();
    ~CommsManager();
    CommsManager(const CommsManager&) = delete;
    CommsManager& operator=(const CommsManager&) = delete;

    bool connectUSB(uint16_t vendor_id, uint16_t product_id);
    bool connectCANFD(const std::string& interface_name);
    bool establish_connection();

    int write(const COMMS_MSG_t& msg);
    int read(COMMS_MSG_t* msg);

    bool isConnected() const;
    COMM_INTERFACE_t getActiveInterface() const;
    USBHID* getUSBHID();
    CANFD* getCANFD();

private:
    USBHID* usbHid;
    CANFD* canFd;
};

// The unit's serial number over the named link, or 0xFFFFFFFF on failure.
uint32_t get_serialnumber(CommsManager* comms, COMM_INTERFACE_t iface);

// 0xFFFFFFFF on failure; *ok (when given) tells a failed exchange from a
// real value of 0xFFFFFFFF.
uint32_t get_value(CommsManager* comms, target_comms_t src, uint8_t index, bool* ok = nullptr);
int set_value(CommsManager* comms, target_comms_t src, uint8_t index, uint32_t value);
int store_value(CommsManager* comms, target_comms_t src, uint32_t crc);
bool wait_for_ack(CommsManager* comms, uint32_t expected_can_id);
bool wait_for_mx25_ack(CommsManager* comms, uint8_t* op_type_out, uint32_t* address_out);

#endif
