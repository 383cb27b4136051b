// The world the virtual-unit build of the application starts in: the unit on
// both links, broadcasting its sensor frames on CAN FD next to another
// node's traffic, as on an aircraft's bus. Linked only into that build; the
// tests set up their own worlds.

#include "../sim_world.h"

namespace {

struct VirtualWorld {
    VirtualWorld()
    {
        std::vector<sim::Broadcast> traffic = sim::unit_sensor_broadcasts();
        traffic.push_back(sim::second_node_broadcast());
        sim::set_can_broadcasts(traffic);
    }
} g_virtual_world;

}  // namespace
