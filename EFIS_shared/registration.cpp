#include "registration.h"

#include <cstring>

const char* const REGISTRATION_PREFIXES[NUM_REGISTRATION_PREFIXES] = {
    "N",  "C",  "G",  "F",  "D",  "I",  "EC", "PH", "SE", "LN", "OY", "OH", "SP", "OK", "HA",
    "YR", "LZ", "YU", "9A", "S5", "LY", "YL", "ES", "UR", "RA", "4K", "EK", "EI", "LX", "HB",
    "OE", "9H", "9V", "VH", "ZK", "JA", "B",  "HL", "HS", "9M", "PK", "RP", "VT", "AP", "S2",
    "4R", "A5", "XY", "XU", "RDPL", "VN", "P2", "C6", "V2", "V3", "V4", "V5", "V6", "V7", "V8",
    "V9", "XA", "PP", "LV", "CC", "OB", "CP", "CX", "HK", "YV", "HC", "HP", "TI", "YN", "YS",
    "TG", "HR", "JY", "SU", "7T", "CN", "5A", "ST", "ET", "5Y", "5H", "5X", "9Q", "9J", "9K",
    "A6", "A7", "A9C", "HZ", "EP", "YK", "OD", "4X", "J2", "S7", "D2", "D6", "3B", "3C", "3D",
    "3X", "3Y", "5B", "5C", "5D", "5E", "5F", "5G", "5H", "5I", "5J", "5K", "5L", "5M", "5N",
    "5O", "5P", "5Q", "5R", "5S", "5T", "5U", "5V", "5W", "5X", "5Y", "5Z", "6O", "6P", "6Q",
    "6R", "6S", "6T", "6U", "6V", "6W", "6X", "6Y", "6Z", "7O", "7P", "7Q", "7R", "7S", "7T",
    "7U", "7V", "7W", "7X", "7Y", "7Z", "8P", "8Q", "8R", "8S", "8T", "8U", "8V", "8W", "8X",
    "8Y", "8Z", "9A", "9B", "9C", "9D", "9E", "9F", "9G", "9H", "9I", "9J", "9K", "9L", "9M",
    "9N", "9O", "9P", "9Q", "9R", "9S", "9T", "9U", "9V", "9W", "9X", "9Y", "9Z",
};

int registration_prefix_index(const char* text, size_t len)
{
    for (int i = 0; i < NUM_REGISTRATION_PREFIXES; ++i) {
        const size_t n = std::strlen(REGISTRATION_PREFIXES[i]);
        if (n <= len && std::memcmp(text, REGISTRATION_PREFIXES[i], n) == 0)
            return i;
    }
    return -1;
}

registration_check_t registration_check(const char* text, size_t len)
{
    bool lower = false;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (c >= 'a' && c <= 'z')
            lower = true;
        else if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
            return REGISTRATION_BAD_CHARACTER;
    }
    // Registrations are written in capitals; the unit shows what it holds.
    if (lower)
        return REGISTRATION_LOWER_CASE;
    if (len == 0)
        return REGISTRATION_OK;
    if (len > REGISTRATION_MAX_CHARS)
        return REGISTRATION_TOO_LONG;
    const int prefix = registration_prefix_index(text, len);
    if (prefix < 0)
        return REGISTRATION_NO_PREFIX;
    if (std::strlen(REGISTRATION_PREFIXES[prefix]) == len)
        return REGISTRATION_ONLY_PREFIX;
    return REGISTRATION_OK;
}

const char* registration_check_text(registration_check_t result)
{
    switch (result) {
    case REGISTRATION_OK:
        return "";
    case REGISTRATION_LOWER_CASE:
        return "lower-case letters - registrations are written in capitals";
    case REGISTRATION_BAD_CHARACTER:
        return "only the letters A to Z, digits and - can be stored";
    case REGISTRATION_TOO_LONG:
        return "longer than 11 characters with its prefix";
    case REGISTRATION_NO_PREFIX:
        return "it does not begin with a nationality prefix of the list";
    case REGISTRATION_ONLY_PREFIX:
        return "nothing follows its nationality prefix";
    }
    return "";
}
