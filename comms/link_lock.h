#ifndef COMMS_LINK_LOCK_H
#define COMMS_LINK_LOCK_H

// One process of ours per unit. Two instances on one link read each other's
// answers (a value answer carries no index), so each link is locked before
// its handshake and stays locked while it is connected. A lock is held by a
// descriptor: closing it releases the lock, and the kernel releases it when
// its holder dies, so no lock outlives its holder and no file is left behind.

#include <cstdint>
#include <string>

// Locks the unit's hidraw node with flock on a descriptor of its own, which
// every process of ours opening that node meets, whoever runs it. The
// descriptor that holds the lock, or -1 with *failure saying why: the node
// cannot be opened, or another process holds it (named when it can be).
int lock_hid_node(const std::string& path, std::string* failure);

// Locks a CAN interface by binding an abstract-namespace UNIX socket named
// after it; the holder listens, so that a second instance can ask it for its
// process id. The descriptor that holds the lock, or -1 with *failure.
int lock_can_interface(const std::string& name, int ifindex, std::string* failure);

// Locks the unit itself, by its serial number, the same way: a unit reached
// over USB by one process and over CAN FD by another would get two
// programs' commands interleaved. `where` names the link in the refusal.
int lock_unit(uint32_t serial, const std::string& where, std::string* failure);

// "found the unit at PATH but cannot open it: ..." for a node that
// enumeration lists but that cannot be opened (errno err).
std::string hid_open_failure(const std::string& path, int err);

#endif
