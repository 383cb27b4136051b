// The world the virtual-unit build of the application starts in: the unit on
// both links, broadcasting its sensor frames on CAN FD next to another
// node's traffic, as on an aircraft's bus, each link as fast as the real
// one (USB full speed; CAN FD at 1 Mbit/s nominal, 5 Mbit/s data). Linked
// only into that build; the tests set up their own worlds.

#include "../sim_world.h"

namespace {

struct VirtualWorld {
    VirtualWorld()
    {
        std::vector<sim::Broadcast> traffic = sim::unit_sensor_broadcasts();
        traffic.push_back(sim::second_node_broadcast());
        sim::set_can_broadcasts(traffic);
        sim::set_latency(sim::Link::USB, sim::usb_full_speed_latency());
        sim::set_latency(sim::Link::CAN, sim::canfd_latency(1e6, 5e6));
    }
} g_virtual_world;

}  // namespace
