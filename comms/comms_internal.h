#ifndef COMMS_COMMS_INTERNAL_H
#define COMMS_COMMS_INTERNAL_H

// What the link manager (comms.cpp) and the request protocol (protocol.cpp)
// both use; not part of the link's interface.

#include <cstdint>

#include "../EFIS_shared/comms_types.h"

namespace comms_internal {

const uint32_t kFailure = 0xFFFFFFFFu;

// Both sides of the link put this pair after the identifier.
const uint8_t kMarker0 = 0xEF;
const uint8_t kMarker1 = 0x15;

COMMS_MSG_t zeroed_msg();

// A read result that brought no message: prints the line for an empty read
// (0) or for a failed one (negative) and returns false.
bool read_brought_message(int got, const char* no_data_line, const char* error_line);

}  // namespace comms_internal

#endif
