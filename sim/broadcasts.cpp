// The frames nodes on can0 send by themselves: shared by the emulated bus
// and the virtual unit on a real CAN interface.

#include "../EFIS_shared/can_export.h"
#include "sim_world.h"

namespace sim {

std::vector<Broadcast> unit_sensor_broadcasts()
{
    const std::chrono::microseconds period(100000);
    return {
        {make_msg(CANMSG_ACC, {12, 0, 0xF9, 0xFF, 0xEB, 0x03, 0, 0}), false, period, true},
        {make_msg(CANMSG_GYRO, {1, 0, 0xFE, 0xFF, 0, 0, 0, 0}), false, period, true},
        {make_msg(CANMSG_ST_PRES, {0x10, 0x8A, 0x01, 0x00}), false, period, true},
    };
}

Broadcast second_node_broadcast()
{
    return {make_msg(CANMSG_IDRIVE_KEEPALIVE, {0xAA, 0x55}), true, std::chrono::microseconds(50000), false};
}

}  // namespace sim
