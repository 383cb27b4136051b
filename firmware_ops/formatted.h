#ifndef FIRMWARE_OPS_FORMATTED_H
#define FIRMWARE_OPS_FORMATTED_H

// Internal to firmware_ops/: both the uploads and the checks of their files
// word their reasons with it.

#include <string>

namespace firmware_ops_internal {

// printf into a string; texts longer than 255 characters are cut there.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace firmware_ops_internal

#endif
