#ifndef EFIS_SHARED_GET_SET_H
#define EFIS_SHARED_GET_SET_H

#include <cstdint>

#include "calib_types.h"
#include "settings_types.h"

// Writes one 32-bit value into the field the index selects and refreshes
// crc32. Returns false, with *dest untouched, when the index selects nothing.
bool settings_set_value(Settings_t* dest, settings_struct_index index, uint32_t* new_value);
// The field's value, or 0xFFFFFFFF when the index selects nothing.
uint32_t settings_get_value(Settings_t* src, settings_struct_index index);

// Calibration values by index; no checksum is recomputed.
bool calib_set_value(SENSOR_CALIB_t* dest, sensor_calib_struct_index index, uint32_t* new_value);
uint32_t calib_get_value(SENSOR_CALIB_t* src, sensor_calib_struct_index index);

#endif
