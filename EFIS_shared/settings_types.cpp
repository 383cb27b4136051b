#include "settings_types.h"

#include <cstring>

#include "crc.h"

uint32_t settings_CalcCRC(const Settings_t* s)
{
    if (s->crc32 == 0xFFFFFFFFu)
        return 0;
    // The record has 31 words after crc32; a larger count from the unit must
    // not take the checksum past its end.
    uint32_t words = s->num_elements;
    if (words > SETTINGS_MAX_ELEMENTS)
        words = SETTINGS_MAX_ELEMENTS;
    uint32_t buf[SETTINGS_MAX_ELEMENTS];
    std::memcpy(buf, reinterpret_cast<const unsigned char*>(s) + offsetof(Settings_t, magic),
                words * sizeof(uint32_t));
    return EFIS_crc(buf, words);
}
