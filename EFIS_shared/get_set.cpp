#include "get_set.h"

#include <cmath>
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
    switch (index) {
    case VMIN_INDEX: return &s->vspeeds.Vmin;
    case VS0_INDEX: return &s->vspeeds.Vs0;
    case VS1_INDEX: return &s->vspeeds.Vs1;
    case VFE_INDEX: return &s->vspeeds.Vfe;
    case VN0_INDEX: return &s->vspeeds.Vn0;
    case VNE_INDEX: return &s->vspeeds.Vne;
    case APPROACHSPEED_INDEX: return &s->vspeeds.VRef;
    case VLO_INDEX: return &s->vspeeds.Vlo;
    default: return nullptr;
    }
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

namespace {

const long CALIB_NO_FIELD = -1;

// Offset within a MAG_CAL_t of the k-th value of its index run: B_vector x, y,
// z, its checksum, the nine matrix elements column by column, the matrix
// checksum.
long mag_offset(uint32_t k)
{
    if (k <= 3)
        return long(offsetof(MAG_CAL_t, B_vector) + 4 * k);
    if (k <= 12) {
        const uint32_t row = (k - 4) % 3;
        const uint32_t col = (k - 4) / 3;
        return long(offsetof(MAG_CAL_t, A_matrix) + 4 * (3 * row + col));
    }
    return long(offsetof(MAG_CAL_t, A_matrix_crc));
}

static_assert(offsetof(MAG_CAL_t, B_vector_crc) == offsetof(MAG_CAL_t, B_vector) + 12,
              "B_vector is followed by its checksum");
static_assert(sizeof(LSM_CAL_t) == 12 * 4, "LSM_CAL_t is twelve consecutive words");
static_assert(offsetof(AUAV_CAL_t, crc) == 8, "AUAV_CAL_t is three consecutive words");
static_assert(offsetof(AUAV_Coefficients_t, crc) == 28, "coefficients are eight consecutive words");
static_assert(offsetof(SENSOR_CALIB_t, oat_crc) == offsetof(SENSOR_CALIB_t, oat_cal_0deg) + 8,
              "the three OAT words are consecutive");

// Byte offset in SENSOR_CALIB_t of the field an index selects, or
// CALIB_NO_FIELD. Every selected field is one 32-bit word.
long calib_offset(uint32_t i)
{
    if (i == CALIB_VERSION_INDEX)
        return long(offsetof(SENSOR_CALIB_t, version));
    if (i >= LSM_ACC_OFFSET_X_INDEX && i <= LSM_GYRO_BIAS_CHKSUM_INDEX)
        return long(offsetof(SENSOR_CALIB_t, LSM_CAL) + 4 * (i - LSM_ACC_OFFSET_X_INDEX));
    if (i >= MMC_INITIAL_B_VECTOR_0_INDEX && i <= MMC_INITIAL_A_MATRIX_CHK_INDEX)
        return long(offsetof(SENSOR_CALIB_t, MMC_INITIAL_CAL)) + mag_offset(i - MMC_INITIAL_B_VECTOR_0_INDEX);
    // 27-40 name an installation calibration the record does not hold.
    if (i >= LIS_MAG_OFFSET_X_INDEX && i <= LIS_MAG_BIAS_CHKSUM1_INDEX)
        return long(offsetof(SENSOR_CALIB_t, LIS_CAL)) + mag_offset(i - LIS_MAG_OFFSET_X_INDEX);
    if (i >= AUAV_PITOT_OFFSET_INDEX && i <= AUAV_OFFSET_CAL_CRC)
        return long(offsetof(SENSOR_CALIB_t, AUAV_CAL) + 4 * (i - AUAV_PITOT_OFFSET_INDEX));
    if (i >= AUAV_PT_LIN_A && i <= AUAV_PT_CRC)
        return long(offsetof(SENSOR_CALIB_t, pitot_coeff) + 4 * (i - AUAV_PT_LIN_A));
    if (i >= AUAV_ST_LIN_A && i <= AUAV_ST_CRC)
        return long(offsetof(SENSOR_CALIB_t, static_coeff) + 4 * (i - AUAV_ST_LIN_A));
    if (i >= OAT_0DEG_INDEX && i <= OAT_CRC_INDEX)
        return long(offsetof(SENSOR_CALIB_t, oat_cal_0deg) + 4 * (i - OAT_0DEG_INDEX));
    if (i == CALIB_MAGIC_NUM)
        return long(offsetof(SENSOR_CALIB_t, magic));
    if (i == CALIB_CRC_INDEX)
        return long(offsetof(SENSOR_CALIB_t, crc32));
    return CALIB_NO_FIELD;
}

// Indices whose getter answers with the float truncated to an integer rather
// than its bit pattern.
bool calib_truncated(uint32_t i)
{
    return (i >= LSM_ACC_OFFSET_X_INDEX && i <= LSM_ACC_OFFSET_Z_INDEX) ||
           (i >= AUAV_PT_LIN_A && i <= AUAV_PT_TC50L) || (i >= AUAV_ST_LIN_A && i <= AUAV_ST_TC50L);
}

// Float truncated toward zero as a 32-bit pattern; negatives come out in two's
// complement (-1.5 gives 0xFFFFFFFF). A plain cast would be undefined outside
// the integer range, so the ends saturate instead: NaN gives 0, values at or
// above 2^32 give 0xFFFFFFFF, values at or below -2^31 give 0x80000000.
uint32_t truncate_to_u32(float f)
{
    if (std::isnan(f))
        return 0;
    if (f >= 4294967296.0f)
        return 0xFFFFFFFFu;
    if (f <= -2147483648.0f)
        return 0x80000000u;
    return uint32_t(int64_t(f));
}

}  // namespace

bool calib_set_value(SENSOR_CALIB_t* dest, sensor_calib_struct_index index, uint32_t* new_value)
{
    const long off = calib_offset(uint32_t(index));
    if (off == CALIB_NO_FIELD)
        return false;
    SENSOR_CALIB_t tmp;
    std::memcpy(&tmp, dest, sizeof tmp);
    // Floats take the value's bit pattern; group checksums stay as they are.
    std::memcpy(reinterpret_cast<unsigned char*>(&tmp) + off, new_value, sizeof(uint32_t));
    std::memcpy(dest, &tmp, sizeof tmp);
    return true;
}

uint32_t calib_get_value(SENSOR_CALIB_t* src, sensor_calib_struct_index index)
{
    const uint32_t i = uint32_t(index);
    const long off = calib_offset(i);
    if (off == CALIB_NO_FIELD)
        return 0;
    const unsigned char* field = reinterpret_cast<const unsigned char*>(src) + off;
    if (calib_truncated(i)) {
        float f;
        std::memcpy(&f, field, sizeof f);
        return truncate_to_u32(f);
    }
    uint32_t v;
    std::memcpy(&v, field, sizeof v);
    return v;
}
