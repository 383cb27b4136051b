#include "get_set.h"

#include <cstring>

namespace {

uint32_t pack_registration(const Settings_t* s, int k)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(s->registration) + 4 * k;
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

void unpack_registration(Settings_t* s, int k, uint32_t v)
{
    unsigned char* b = reinterpret_cast<unsigned char*>(s->registration) + 4 * k;
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}

// The whole-word field an index selects, or null for the narrow fields and
// for indices that select nothing.
uint32_t* word_field(Settings_t* s, int index)
{
    switch (index) {
    case UNITS_VALUE_INDEX: return &s->units.units_value;
    case SKY_COLOR_0_INDEX: return &s->sky_color[0];
    case SKY_COLOR_1_INDEX: return &s->sky_color[1];
    case GROUND_COLOR_0_INDEX: return &s->ground_color[0];
    case GROUND_COLOR_1_INDEX: return &s->ground_color[1];
    case APPROACH_COLOR_INDEX: return &s->vref_indi_color;
    case AIRPLANE_COLOR_INDEX: return &s->airplane_color;
    case GREEN_ARC_COLOR_INDEX: return &s->green_arc_color;
    case YELLOW_ARC_COLOR_INDEX: return &s->yellow_arc_color;
    case RED_ARC_COLOR_INDEX: return &s->red_arc_color;
    case GEAR_INDI_COLOR_INDEX: return &s->gear_indi_color;
    case BACKLIGHT_BRIGHTNESS_INDEX: return &s->backlight_brightness;
    case TEXT_BG_ALPHA_INDEX: return &s->text_bg_alpha;
    case USE_MAG_INDEX: return &s->use_mag_heading;
    case OWNSHIP_ICAO_INDEX: return &s->ownship_icao;
    case ICAO_ADDR_TYPE_INDEX: return &s->icao_address_type;
    case EMITTER_CAT_INDEX: return &s->emitter_cat;
    case TERM_RESISTOR_INDEX: return &s->enable_term_resistor;
    case SETTINGS_CHECKSUM_INDEX: return &s->crc32;
    case SETTINGS_MAGIC_NUM: return &s->magic;
    case SETTINGS_VERSION: return &s->version;
    case SETTINGS_NUM_ELEMENTS: return &s->num_elements;
    default: return nullptr;
    }
}

uint8_t* vspeed_field(Settings_t* s, int index)
{
    uint8_t* v = &s->vspeeds.Vmin;
    if (index >= VMIN_INDEX && index <= VLO_INDEX)
        return v + (index - VMIN_INDEX);
    return nullptr;
}

uint16_t* volt_field(Settings_t* s, int index)
{
    switch (index) {
    case MIN_VOLTS_INDEX: return &s->volt_warnings.min_volts;
    case MAX_VOLTS_INDEX: return &s->volt_warnings.max_volts;
    case MIN_VOLTS_ALERT_INDEX: return &s->volt_alerts.min_volts;
    case MAX_VOLTS_ALERT_INDEX: return &s->volt_alerts.max_volts;
    default: return nullptr;
    }
}

float* float_field(Settings_t* s, int index)
{
    if (index == ROLL_CORRECTION_INDEX) return &s->roll_correction;
    if (index == PITCH_CORRECTION_INDEX) return &s->pitch_correction;
    return nullptr;
}

// Stores v into the field of s selected by index; false if none.
bool store(Settings_t* s, int index, uint32_t v)
{
    if (uint32_t* w = word_field(s, index)) {
        *w = v;
    } else if (index == MAP_DIR_INDEX) {
        std::memcpy(&s->map_track, &v, sizeof v);
    } else if (uint8_t* b = vspeed_field(s, index)) {
        *b = uint8_t(v);
    } else if (uint16_t* h = volt_field(s, index)) {
        *h = uint16_t(v);
    } else if (float* f = float_field(s, index)) {
        std::memcpy(f, &v, sizeof v);
    } else if (index >= REGISTRATION_1_INDEX && index <= REGISTRATION_3_INDEX) {
        unpack_registration(s, index - REGISTRATION_1_INDEX, v);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool settings_set_value(Settings_t* dest, settings_struct_index index, uint32_t* new_value)
{
    Settings_t tmp;
    std::memcpy(&tmp, dest, sizeof tmp);
    if (!store(&tmp, int(index), *new_value))
        return false;
    tmp.crc32 = settings_CalcCRC(&tmp);
    std::memcpy(dest, &tmp, sizeof tmp);
    return true;
}

uint32_t settings_get_value(Settings_t* src, settings_struct_index index)
{
    const int i = int(index);
    if (uint32_t* w = word_field(src, i))
        return *w;
    if (i == MAP_DIR_INDEX) {
        uint32_t v;
        std::memcpy(&v, &src->map_track, sizeof v);
        return v;
    }
    if (uint8_t* b = vspeed_field(src, i))
        return *b;
    if (uint16_t* h = volt_field(src, i))
        return *h;
    if (float* f = float_field(src, i)) {
        uint32_t v;
        std::memcpy(&v, f, sizeof v);
        return v;
    }
    if (i >= REGISTRATION_1_INDEX && i <= REGISTRATION_3_INDEX)
        return pack_registration(src, i - REGISTRATION_1_INDEX);
    return 0xFFFFFFFFu;
}
