#ifndef EFIS_SHARED_SETTINGS_TYPES_H
#define EFIS_SHARED_SETTINGS_TYPES_H

// The unit's 128-byte user settings record, shared byte for byte with the
// unit's software. Little-endian, no gaps.

#include <cstddef>
#include <cstdint>

struct unit_bits_t {
    uint32_t is_mph : 1;
    uint32_t is_knots : 1;
    uint32_t is_kph : 1;
    uint32_t is_feet : 1;
    uint32_t is_meters : 1;
    uint32_t is_fahrenheit : 1;
    uint32_t is_celsius : 1;
    uint32_t is_inhg : 1;
    uint32_t is_mbar : 1;
    // bits 9-31 belong to the unit; the tool keeps them as received
};

union units_t {
    uint32_t units_value;
    unit_bits_t bits;
};

struct vspeeds_t {
    uint8_t Vmin;
    uint8_t Vs0;
    uint8_t Vs1;
    uint8_t Vfe;
    uint8_t Vn0;
    uint8_t Vne;
    uint8_t VRef;
    uint8_t Vlo;
};

// Tenths of a volt: 115 is 11.5 V.
struct volt_warnings_t {
    uint16_t min_volts;
    uint16_t max_volts;
};

enum map_dir_t : uint32_t {
    map_north_up = 0,
    map_track_up = 1,
};

struct Settings_t {
    uint32_t crc32;         // checksum of magic .. num_elements words
    uint32_t magic;
    uint32_t version;       // taken from the unit, never set by the tool
    uint32_t num_elements;  // words covered by the checksum, from offset 4
    units_t units;
    vspeeds_t vspeeds;
    volt_warnings_t volt_warnings;
    char registration[12];
    uint32_t sky_color[2];  // 0xAARRGGBB
    uint32_t ground_color[2];
    uint32_t vref_indi_color;
    uint32_t airplane_color;
    uint32_t green_arc_color;
    uint32_t yellow_arc_color;
    uint32_t red_arc_color;
    uint32_t gear_indi_color;
    uint32_t backlight_brightness;
    float roll_correction;
    float pitch_correction;
    volt_warnings_t volt_alerts;
    uint32_t text_bg_alpha;
    uint32_t use_mag_heading;
    uint32_t ownship_icao;       // 24-bit address in bits 0-23
    uint32_t icao_address_type;  // 1 = random address
    uint32_t emitter_cat;
    uint32_t enable_term_resistor;
    map_dir_t map_track;
};

static_assert(sizeof(units_t) == 4, "units_t is one word");
static_assert(sizeof(vspeeds_t) == 8, "vspeeds_t is 8 bytes");
static_assert(sizeof(volt_warnings_t) == 4, "volt_warnings_t is 4 bytes");
static_assert(sizeof(map_dir_t) == 4, "map_dir_t is 4 bytes");
static_assert(sizeof(float) == 4, "float is IEEE-754 single precision");
static_assert(sizeof(Settings_t) == 128, "Settings_t is 128 bytes");
static_assert(offsetof(Settings_t, crc32) == 0, "layout");
static_assert(offsetof(Settings_t, magic) == 4, "layout");
static_assert(offsetof(Settings_t, version) == 8, "layout");
static_assert(offsetof(Settings_t, num_elements) == 12, "layout");
static_assert(offsetof(Settings_t, units) == 16, "layout");
static_assert(offsetof(Settings_t, vspeeds) == 20, "layout");
static_assert(offsetof(Settings_t, volt_warnings) == 28, "layout");
static_assert(offsetof(Settings_t, registration) == 32, "layout");
static_assert(offsetof(Settings_t, sky_color) == 44, "layout");
static_assert(offsetof(Settings_t, ground_color) == 52, "layout");
static_assert(offsetof(Settings_t, vref_indi_color) == 60, "layout");
static_assert(offsetof(Settings_t, airplane_color) == 64, "layout");
static_assert(offsetof(Settings_t, green_arc_color) == 68, "layout");
static_assert(offsetof(Settings_t, yellow_arc_color) == 72, "layout");
static_assert(offsetof(Settings_t, red_arc_color) == 76, "layout");
static_assert(offsetof(Settings_t, gear_indi_color) == 80, "layout");
static_assert(offsetof(Settings_t, backlight_brightness) == 84, "layout");
static_assert(offsetof(Settings_t, roll_correction) == 88, "layout");
static_assert(offsetof(Settings_t, pitch_correction) == 92, "layout");
static_assert(offsetof(Settings_t, volt_alerts) == 96, "layout");
static_assert(offsetof(Settings_t, text_bg_alpha) == 100, "layout");
static_assert(offsetof(Settings_t, use_mag_heading) == 104, "layout");
static_assert(offsetof(Settings_t, ownship_icao) == 108, "layout");
static_assert(offsetof(Settings_t, icao_address_type) == 112, "layout");
static_assert(offsetof(Settings_t, emitter_cat) == 116, "layout");
static_assert(offsetof(Settings_t, enable_term_resistor) == 120, "layout");
static_assert(offsetof(Settings_t, map_track) == 124, "layout");

// Words of the record after crc32; a larger num_elements is never read past.
static const uint32_t SETTINGS_MAX_ELEMENTS = 31;

static const uint32_t SETTINGS_MAGIC = 0x5F54555A;

// Returns 0 for an erased record (crc32 == 0xFFFFFFFF), otherwise the CRC of
// min(num_elements, 31) words starting at magic.
uint32_t settings_CalcCRC(const Settings_t* s);

// The underlying type is fixed so that any index a caller passes, above 255
// included, is a valid value of the type and simply selects nothing; int keeps
// the promotions of a plain enumeration.
enum settings_struct_index : int {
    UNITS_VALUE_INDEX = 0,
    VMIN_INDEX = 1,
    VS0_INDEX = 2,
    VS1_INDEX = 3,
    VFE_INDEX = 4,
    VN0_INDEX = 5,
    VNE_INDEX = 6,
    APPROACHSPEED_INDEX = 7,
    VLO_INDEX = 8,
    MIN_VOLTS_INDEX = 9,
    MAX_VOLTS_INDEX = 10,
    REGISTRATION_1_INDEX = 11,
    REGISTRATION_2_INDEX = 12,
    REGISTRATION_3_INDEX = 13,
    SKY_COLOR_0_INDEX = 14,
    SKY_COLOR_1_INDEX = 15,
    GROUND_COLOR_0_INDEX = 16,
    GROUND_COLOR_1_INDEX = 17,
    APPROACH_COLOR_INDEX = 18,
    AIRPLANE_COLOR_INDEX = 19,
    GREEN_ARC_COLOR_INDEX = 20,
    YELLOW_ARC_COLOR_INDEX = 21,
    RED_ARC_COLOR_INDEX = 22,
    GEAR_INDI_COLOR_INDEX = 23,
    BACKLIGHT_BRIGHTNESS_INDEX = 24,
    ROLL_CORRECTION_INDEX = 25,
    PITCH_CORRECTION_INDEX = 26,
    MIN_VOLTS_ALERT_INDEX = 27,
    MAX_VOLTS_ALERT_INDEX = 28,
    TEXT_BG_ALPHA_INDEX = 29,
    USE_MAG_INDEX = 30,
    OWNSHIP_ICAO_INDEX = 31,
    ICAO_ADDR_TYPE_INDEX = 32,
    EMITTER_CAT_INDEX = 33,
    TERM_RESISTOR_INDEX = 34,
    MAP_DIR_INDEX = 35,
    SETTINGS_LAST_INDEX = 36,
    SETTINGS_CHECKSUM_INDEX = 252,
    SETTINGS_MAGIC_NUM = 253,
    SETTINGS_VERSION = 254,
    SETTINGS_NUM_ELEMENTS = 255,
};

#endif
