#ifndef EFIS_SHARED_COMMS_TYPES_H
#define EFIS_SHARED_COMMS_TYPES_H

// Message record shared with the display unit's software: one record per
// HID report or CAN FD frame.

#include <cstddef>
#include <cstdint>

// Which link a message went out on or came in from. One byte on the wire.
enum COMM_INTERFACE_t : uint8_t {
    USB_HID = 0,
    CAN_FD = 1,
};

#pragma pack(push, 1)
struct COMMS_MSG_t {
    COMM_INTERFACE_t iface;  // never sent; set by the link manager
    uint32_t can_ID;         // 11-bit identifier from CAN_IDS_t, host order
    uint8_t msg_len;         // meaningful bytes in data
    uint8_t data[64];
    uint8_t padding[2];      // always zero
};
#pragma pack(pop)

static_assert(sizeof(COMMS_MSG_t) == 72, "COMMS_MSG_t is 72 bytes on both sides of the link");
static_assert(offsetof(COMMS_MSG_t, iface) == 0, "iface at offset 0");
static_assert(offsetof(COMMS_MSG_t, can_ID) == 1, "can_ID is unaligned at offset 1");
static_assert(offsetof(COMMS_MSG_t, msg_len) == 5, "msg_len at offset 5");
static_assert(offsetof(COMMS_MSG_t, data) == 6, "data at offset 6");
static_assert(offsetof(COMMS_MSG_t, padding) == 70, "padding at offset 70");

// Multi-byte numbers inside payloads and on the wire are little-endian.
inline uint32_t get_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void put_le32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// USB identifiers of the unit's HID interface. 0x1209 is the pid.codes
// vendor; product 0x0001 is its test identifier, never given to a product.
static const uint16_t vendor_id = 0x1209;
static const uint16_t product_id = 0x0001;

#endif
