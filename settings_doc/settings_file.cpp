#include "settings_file.h"
#include "settings_internal.h"

#include <QRegularExpression>

#include <cmath>
#include <cstring>
#include <vector>

#include "EFIS_shared/get_set.h"
#include "EFIS_shared/registration.h"

namespace settings_doc {

using namespace internal;

namespace {

const uint32_t OPAQUE = 0xFF000000u;

// The window's ranges: its spin boxes, sliders and combo boxes.
const Setting TABLE[] = {
    {"units", Kind::Units, UNITS_VALUE_INDEX, 0, 0, {}},
    {"vmin", Kind::Speed, VMIN_INDEX, 0, 255, {}},
    {"vs0", Kind::Speed, VS0_INDEX, 0, 255, {}},
    {"vs1", Kind::Speed, VS1_INDEX, 0, 255, {}},
    {"vfe", Kind::Speed, VFE_INDEX, 0, 255, {}},
    {"vno", Kind::Speed, VN0_INDEX, 0, 255, {}},
    {"vne", Kind::Speed, VNE_INDEX, 0, 240, {}},
    {"vref", Kind::Speed, APPROACHSPEED_INDEX, 0, 255, {}},
    {"vlo", Kind::Speed, VLO_INDEX, 0, 255, {}},
    {"min_volts_warning", Kind::Volts, MIN_VOLTS_INDEX, 50, 650, {}},
    {"max_volts_warning", Kind::Volts, MAX_VOLTS_INDEX, 50, 650, {}},
    {"registration", Kind::Registration, REGISTRATION_1_INDEX, 0, 11, {}},
    {"sky_color_0", Kind::Colour, SKY_COLOR_0_INDEX, 0, 0, {}},
    {"sky_color_1", Kind::Colour, SKY_COLOR_1_INDEX, 0, 0, {}},
    {"ground_color_0", Kind::Colour, GROUND_COLOR_0_INDEX, 0, 0, {}},
    {"ground_color_1", Kind::Colour, GROUND_COLOR_1_INDEX, 0, 0, {}},
    {"approach_color", Kind::Colour, APPROACH_COLOR_INDEX, 0, 0, {}},
    {"airplane_color", Kind::Colour, AIRPLANE_COLOR_INDEX, 0, 0, {}},
    {"green_arc_color", Kind::Colour, GREEN_ARC_COLOR_INDEX, 0, 0, {}},
    {"yellow_arc_color", Kind::Colour, YELLOW_ARC_COLOR_INDEX, 0, 0, {}},
    {"red_arc_color", Kind::Colour, RED_ARC_COLOR_INDEX, 0, 0, {}},
    {"gear_color", Kind::Colour, GEAR_INDI_COLOR_INDEX, 0, 0, {}},
    {"backlight", Kind::Integer, BACKLIGHT_BRIGHTNESS_INDEX, 0, 21, {}},
    {"roll_correction", Kind::Angle, ROLL_CORRECTION_INDEX, -900, 900, {}},
    {"pitch_correction", Kind::Angle, PITCH_CORRECTION_INDEX, -900, 900, {}},
    {"min_volts_alert", Kind::Volts, MIN_VOLTS_ALERT_INDEX, 50, 650, {}},
    {"max_volts_alert", Kind::Volts, MAX_VOLTS_ALERT_INDEX, 50, 650, {}},
    {"text_background_alpha", Kind::Integer, TEXT_BG_ALPHA_INDEX, 0, 254, {}},
    {"ownship_icao", Kind::Icao, OWNSHIP_ICAO_INDEX, 0, 0, {}},
    {"icao_address_type", Kind::Choice, ICAO_ADDR_TYPE_INDEX, 0, 1, {"icao", "random"}},
    {"emitter_category", Kind::Emitter, EMITTER_CAT_INDEX, 0, EMITTER_CATEGORY_COUNT - 1, {}},
    {"termination_resistor", Kind::Flag, TERM_RESISTOR_INDEX, 0, 1, {}},
    {"map_orientation", Kind::Choice, MAP_DIR_INDEX, 0, 1, {"north-up", "track-up"}},
};

}  // namespace

const char* const EMITTER_CATEGORIES[EMITTER_CATEGORY_COUNT] = {
    "A0 : Reserved",
    "A1 : Light (< 15.5k lbs)",
    "A2 : Small (15.5k to 75k lbs)",
    "A3 : Large (75k to 300k lbs)",
    "A4 : High vortex large",
    "A5 : Heavy (> 300k lbs) ",
    "A6 : High Perf > 5g & 400 kts",
    "A7 : Rotorcraft",
    "B0 : Reserved",
    "B1 : Glider / sailplane",
    "B2 : Lighter-than-air",
    "B3 : Parachutist / skydiver",
    "B4 : Ultralight / hang-glider / paraglider",
    "B5 : Reserved",
    "B6 : Unmanned aerial vehicle",
    "B7 : Space / trans-atmospheric vehicle",
    "C0 : Reserved",
    "C1 : Surface vehicle \u2013 emergency vehicle",
    "C2 : Surface vehicle \u2013 service vehicle",
    "C3 : Point obstacle (includes tethered balloons)",
    "C4 : Cluster obstacle",
    "C5 : Line obstacle",
};

namespace internal {

// A whole number from JSON or text.
bool whole(const QJsonValue& v, long long* out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!std::isfinite(d) || std::floor(d) != d || std::fabs(d) > 1e12)
        return false;
    *out = static_cast<long long>(d);
    return true;
}

QString json_text(const QJsonValue& v)
{
    if (v.isString())
        return '"' + v.toString() + '"';
    if (v.isDouble())
        return QString::number(v.toDouble(), 'g', 12);
    if (v.isBool())
        return v.toBool() ? "true" : "false";
    return v.isNull() ? "null" : "an object or array";
}

SettingRange all_settings()
{
    return {TABLE, TABLE + sizeof TABLE / sizeof TABLE[0]};
}

}  // namespace internal

namespace {

// The four unit groups: the bits of each choice, in the window's order.
struct UnitGroup {
    const char* name;
    const char* words[3];
    uint32_t bits[3];
};
const UnitGroup UNIT_GROUPS[] = {
    {"airspeed", {"mph", "kt", "km/h"}, {1u << 0, 1u << 1, 1u << 2}},
    {"altitude", {"ft", "m", nullptr}, {1u << 3, 1u << 4, 0}},
    {"temperature", {"F", "C", nullptr}, {1u << 5, 1u << 6, 0}},
    {"pressure", {"inHg", "mbar", nullptr}, {1u << 7, 1u << 8, 0}},
};

// The word the window would show for a unit group.
const char* unit_word(const UnitGroup& g, uint32_t units)
{
    if (g.words[2] != nullptr) {  // airspeed: mph, else knots, else km/h, else knots
        if (units & g.bits[0])
            return g.words[0];
        if (units & g.bits[1])
            return g.words[1];
        return (units & g.bits[2]) ? g.words[2] : g.words[1];
    }
    return (units & g.bits[1]) ? g.words[1] : g.words[0];
}

bool fail(QString* error, const Setting& s, const QString& why)
{
    *error = QString("%1: %2").arg(s.name, why);
    return false;
}

// A number in tenths (11.5 -> 115); false when it has more decimals.
bool tenths(const QJsonValue& v, long long* out)
{
    if (!v.isDouble() || !std::isfinite(v.toDouble()) || std::fabs(v.toDouble()) > 1e9)
        return false;
    const double t = v.toDouble() * 10.0;
    const double r = std::round(t);
    if (std::fabs(t - r) > 1e-6)
        return false;
    *out = static_cast<long long>(r);
    return true;
}

QString range_text(const Setting& s)
{
    if (s.kind == Kind::Volts || s.kind == Kind::Angle)
        return QString("%1 to %2").arg(s.min / 10.0, 0, 'f', 1).arg(s.max / 10.0, 0, 'f', 1);
    return QString("%1 to %2").arg(s.min).arg(s.max);
}

bool parse_units(const Setting& s, const QJsonValue& v, const Settings_t& record, Values* out, QString* error)
{
    if (!v.isObject())
        return fail(error, s, "expected an object with airspeed, altitude, temperature and pressure");
    uint32_t units = record.units.units_value;
    const QJsonObject o = v.toObject();
    for (auto it = o.begin(); it != o.end(); ++it) {
        const UnitGroup* group = nullptr;
        for (const UnitGroup& g : UNIT_GROUPS) {
            if (it.key() == g.name)
                group = &g;
        }
        if (!group)
            return fail(error, s, QString("unknown unit group \"%1\"").arg(it.key()));
        int choice = -1;
        for (int i = 0; i < 3 && group->words[i]; ++i) {
            if (it.value().toString() == group->words[i])
                choice = i;
        }
        if (choice < 0) {
            QStringList words;
            for (int i = 0; i < 3 && group->words[i]; ++i)
                words << group->words[i];
            return fail(error, s,
                        QString("%1 must be one of %2, not %3").arg(it.key(), words.join(", "), json_text(it.value())));
        }
        for (int i = 0; i < 3; ++i)
            units &= ~group->bits[i];
        units |= group->bits[choice];
    }
    (*out)[UNITS_VALUE_INDEX] = units;
    return true;
}

}  // namespace

uint32_t value_at(const Settings_t& r, settings_struct_index i)
{
    Settings_t copy = r;
    return settings_get_value(&copy, i);
}

const Setting* settings_table(size_t* count)
{
    *count = sizeof TABLE / sizeof TABLE[0];
    return TABLE;
}

const Setting* find_setting(const QString& name)
{
    for (const Setting& s : TABLE) {
        if (name == s.name)
            return &s;
    }
    return nullptr;
}

bool parse_json(const Setting& s, const QJsonValue& v, const Settings_t& record, Values* out, QString* error)
{
    long long n = 0;
    switch (s.kind) {
    case Kind::Units:
        return parse_units(s, v, record, out, error);
    case Kind::Speed:
    case Kind::Integer:
    case Kind::Emitter:
        if (!whole(v, &n))
            return fail(error, s, QString("expected a whole number, not %1").arg(json_text(v)));
        if (n < s.min || n > s.max)
            return fail(error, s, QString("%1 is outside %2").arg(n).arg(range_text(s)));
        (*out)[s.index] = uint32_t(n);
        return true;
    case Kind::Volts:
    case Kind::Angle:
        if (!tenths(v, &n))
            return fail(error, s, QString("expected a number in steps of 0.1, not %1").arg(json_text(v)));
        if (n < s.min || n > s.max)
            return fail(error, s, QString("%1 is outside %2").arg(json_text(v), range_text(s)));
        if (s.kind == Kind::Volts) {
            (*out)[s.index] = uint32_t(n);
        } else {
            // As the window stores it: the value converted to the nearest float.
            const float f = float(double(n) / 10.0);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            (*out)[s.index] = bits;
        }
        return true;
    case Kind::Registration: {
        if (!v.isString())
            return fail(error, s, QString("expected a string, not %1").arg(json_text(v)));
        const QString text = v.toString();
        const QByteArray bytes = text.toUtf8();
        const registration_check_t check = registration_check(bytes.constData(), size_t(bytes.size()));
        if (check != REGISTRATION_OK)
            return fail(error, s, QString("\"%1\" cannot be stored - %2").arg(text, registration_check_text(check)));
        Settings_t scratch = record;
        std::memset(scratch.registration, 0, sizeof scratch.registration);
        std::memcpy(scratch.registration, bytes.constData(), size_t(bytes.size()));
        for (int k = 0; k < 3; ++k) {
            const settings_struct_index i = settings_struct_index(REGISTRATION_1_INDEX + k);
            (*out)[i] = settings_get_value(&scratch, i);
        }
        return true;
    }
    case Kind::Colour: {
        const QString text = v.toString();
        bool ok = text.size() == 7 && text.startsWith('#');
        const uint32_t rgb = ok ? text.mid(1).toUInt(&ok, 16) : 0;
        if (!ok || text.mid(1).contains(QRegularExpression("[^0-9A-Fa-f]")))
            return fail(error, s, QString("expected a colour as \"#RRGGBB\", not %1").arg(json_text(v)));
        (*out)[s.index] = OPAQUE | rgb;
        return true;
    }
    case Kind::Icao: {
        const QString text = v.toString();
        bool ok = v.isString() && !text.isEmpty() && text.size() <= 6 && !text.contains(QRegularExpression("[^0-9A-Fa-f]"));
        const uint32_t address = ok ? text.toUInt(&ok, 16) : 0;
        if (!ok)
            return fail(error, s, QString("expected 1 to 6 hexadecimal digits, not %1").arg(json_text(v)));
        (*out)[s.index] = address;
        return true;
    }
    case Kind::Choice:
        for (int i = 0; i <= s.max; ++i) {
            if (v.toString() == s.choices[i]) {
                (*out)[s.index] = uint32_t(i);
                return true;
            }
        }
        return fail(error, s,
                    QString("expected \"%1\" or \"%2\", not %3").arg(s.choices[0], s.choices[1], json_text(v)));
    case Kind::Flag:
        if (!v.isBool())
            return fail(error, s, QString("expected true or false, not %1").arg(json_text(v)));
        (*out)[s.index] = v.toBool() ? 1u : 0u;
        return true;
    }
    return false;
}

bool parse_text(const Setting& s, const QString& text, const Settings_t& record, Values* out, QString* error)
{
    switch (s.kind) {
    case Kind::Speed:
    case Kind::Integer:
    case Kind::Emitter:
    case Kind::Volts:
    case Kind::Angle: {
        // An emitter category also by its code as the window's list shows it (A1).
        for (int i = 0; s.kind == Kind::Emitter && i < EMITTER_CATEGORY_COUNT; ++i) {
            if (text.trimmed().compare(QString::fromLatin1(EMITTER_CATEGORIES[i], 2), Qt::CaseInsensitive) == 0)
                return parse_json(s, QJsonValue(i), record, out, error);
        }
        bool ok = false;
        const double d = text.trimmed().toDouble(&ok);
        if (!ok)
            return fail(error, s, QString("expected a number, not \"%1\"").arg(text));
        return parse_json(s, QJsonValue(d), record, out, error);
    }
    case Kind::Flag: {
        const QString t = text.trimmed().toLower();
        if (t == "on" || t == "true" || t == "yes" || t == "1")
            return parse_json(s, QJsonValue(true), record, out, error);
        if (t == "off" || t == "false" || t == "no" || t == "0")
            return parse_json(s, QJsonValue(false), record, out, error);
        return fail(error, s, QString("expected on or off, not \"%1\"").arg(text));
    }
    case Kind::Units: {
        // "airspeed=kt,altitude=m": the groups named change, the others stay.
        QJsonObject o;
        for (const QString& part : text.split(',', Qt::SkipEmptyParts)) {
            const int eq = part.indexOf('=');
            if (eq <= 0)
                return fail(error, s, QString("expected GROUP=UNIT, not \"%1\"").arg(part));
            const QString group = part.left(eq).trimmed();
            if (o.contains(group))
                return fail(error, s, QString("%1 named twice").arg(group));
            o[group] = part.mid(eq + 1).trimmed();
        }
        return parse_json(s, o, record, out, error);
    }
    default:
        return parse_json(s, QJsonValue(text), record, out, error);
    }
}

bool to_json(const Setting& s, const Settings_t& record, QJsonValue* out)
{
    const uint32_t v = value_at(record, s.index);
    switch (s.kind) {
    case Kind::Units: {
        QJsonObject o;
        for (const UnitGroup& g : UNIT_GROUPS)
            o[g.name] = unit_word(g, v);
        *out = o;
        return true;
    }
    case Kind::Speed:
    case Kind::Integer:
    case Kind::Emitter:
        *out = double(int32_t(v));
        return true;
    case Kind::Volts:
        *out = double(v) / 10.0;
        return true;
    case Kind::Angle: {
        float f;
        std::memcpy(&f, &v, sizeof f);
        if (!std::isfinite(f))
            return false;
        // The window shows and saves one decimal.
        *out = std::round(double(f) * 10.0) / 10.0;
        return true;
    }
    case Kind::Registration: {
        QString text;
        for (int i = 0; i < 11; ++i) {
            const unsigned char c = static_cast<unsigned char>(record.registration[i]);
            if (c == 0x00 || c == 0xFF)
                break;
            text += QChar(c);
        }
        *out = text;
        return true;
    }
    case Kind::Colour:
        *out = QString("#%1").arg(v & 0xFFFFFFu, 6, 16, QChar('0')).toUpper();
        return true;
    case Kind::Icao:
        *out = QString("%1").arg(v & 0xFFFFFFu, 6, 16, QChar('0')).toUpper();
        return true;
    case Kind::Choice:
        // As the window: anything but the second word reads as the first.
        *out = QString(s.choices[v == 1 ? 1 : 0]);
        return true;
    case Kind::Flag:
        *out = v != 0;
        return true;
    }
    return false;
}

QString readable(const Setting& s, const Settings_t& record)
{
    QJsonValue j;
    if (!to_json(s, record, &j))
        return "not a number";
    const uint32_t units = record.units.units_value;
    switch (s.kind) {
    case Kind::Units: {
        QStringList parts;
        for (const UnitGroup& g : UNIT_GROUPS)
            parts << QString("%1 %2").arg(g.name, unit_word(g, units));
        return parts.join(", ");
    }
    case Kind::Speed:
        return QString("%1 %2").arg(j.toInt()).arg(unit_word(UNIT_GROUPS[0], units));
    case Kind::Volts:
        return QString("%1 V").arg(j.toDouble(), 0, 'f', 1);
    case Kind::Angle:
        return QString("%1 deg").arg(j.toDouble(), 0, 'f', 1);
    case Kind::Flag:
        return j.toBool() ? "on" : "off";
    case Kind::Integer:
        return QString::number(j.toInt());
    case Kind::Emitter:
        if (j.toInt() < 0 || j.toInt() >= EMITTER_CATEGORY_COUNT)
            return QString("%1 (not a category)").arg(j.toInt());
        return QString::fromUtf8(EMITTER_CATEGORIES[j.toInt()]).trimmed();
    case Kind::Registration:
        return '"' + j.toString() + '"';
    default:
        return j.toString();
    }
}

QString value_help(const Setting& s)
{
    switch (s.kind) {
    case Kind::Units: {
        QStringList groups;
        for (const UnitGroup& g : UNIT_GROUPS) {
            QStringList words;
            for (int i = 0; i < 3 && g.words[i]; ++i)
                words << g.words[i];
            groups << QString("%1=%2").arg(g.name, words.join('|'));
        }
        return "GROUP=UNIT,... of " + groups.join(", ") + "; the groups not named stay";
    }
    case Kind::Speed:
        return range_text(s) + " mph, kt or km/h (the unit's airspeed unit)";
    case Kind::Volts:
        return range_text(s) + " V, in steps of 0.1";
    case Kind::Angle:
        return range_text(s) + " degrees, in steps of 0.1";
    case Kind::Registration:
        return QString("up to %1 characters A-Z, 0-9 and -, beginning with a nationality prefix (N, C, G, D, "
                       "EC, 9H, ...) with something after it; empty clears it")
            .arg(REGISTRATION_MAX_CHARS);
    case Kind::Colour:
        return "#RRGGBB, hexadecimal red, green and blue";
    case Kind::Integer:
        return range_text(s) + (s.index == BACKLIGHT_BRIGHTNESS_INDEX ? ", display brightness steps"
                                                                       : ", the alpha of the text background");
    case Kind::Icao:
        return "1 to 6 hexadecimal digits";
    case Kind::Choice:
        return QString("%1 or %2").arg(s.choices[0], s.choices[1]);
    case Kind::Flag:
        return "on or off";
    case Kind::Emitter:
        return range_text(s) + ", or the category's code A0 to C5 as listed below";
    }
    return QString();
}

QString hex(uint32_t v) { return "0x" + QString("%1").arg(v, 8, 16, QChar('0')).toUpper(); }

Settings_t with_values(const Settings_t& record, const Values& values)
{
    Settings_t r = record;
    for (const auto& v : values) {
        uint32_t value = v.second;
        settings_set_value(&r, v.first, &value);
    }
    return r;
}

QStringList change_lines(const Settings_t& unit, const Settings_t& target)
{
    QStringList lines;
    for (const Setting& s : TABLE) {
        const int span = s.kind == Kind::Registration ? 3 : 1;
        for (int k = 0; k < span; ++k) {
            const settings_struct_index i = settings_struct_index(s.index + k);
            if (value_at(unit, i) != value_at(target, i)) {
                lines << QString("%1: %2 -> %3").arg(s.name, readable(s, unit), readable(s, target));
                break;
            }
        }
    }
    return lines;
}

std::vector<LimitConflict> limit_conflicts(const Settings_t& record)
{
    struct Limit {
        settings_struct_index index;
        const char* name;  // as the form labels it
        bool volts;        // tenths of a volt
    };
    static const Limit limits[] = {
        {VS0_INDEX, "Vs0", false},
        {VS1_INDEX, "Vs1", false},
        {VFE_INDEX, "Vfe", false},
        {VN0_INDEX, "Vno", false},
        {VNE_INDEX, "Vne", false},
        {VLO_INDEX, "Vlo", false},
        {MIN_VOLTS_ALERT_INDEX, "Min Volt Alert", true},
        {MIN_VOLTS_INDEX, "Min Volt Warning", true},
        {MAX_VOLTS_INDEX, "Max Volt Warning", true},
        {MAX_VOLTS_ALERT_INDEX, "Max Volt Alert", true},
    };
    // Positions in `limits`: Vs0 <= Vs1 <= Vno <= Vne, Vfe <= Vne, Vlo <= Vne;
    // min alert <= min warning < max warning <= max alert.
    static const struct {
        int low, high;
        bool strict;
    } rules[] = {
        {0, 1, false}, {1, 3, false}, {3, 4, false}, {2, 4, false},
        {5, 4, false}, {6, 7, false}, {7, 8, true},  {8, 9, false},
    };
    const auto shown = [&](const Limit& l) {
        const uint32_t v = value_at(record, l.index);
        return QString("%1 (%2)").arg(l.name, l.volts ? QString::number(v / 10.0, 'f', 1) + " V" : QString::number(v));
    };
    std::vector<LimitConflict> out;
    for (const auto& r : rules) {
        const Limit& low = limits[r.low];
        const Limit& high = limits[r.high];
        const uint32_t a = value_at(record, low.index);
        const uint32_t b = value_at(record, high.index);
        if (r.strict ? a < b : a <= b)
            continue;
        out.push_back({low.index, high.index,
                       QString(r.strict ? "%1 is not below %2" : "%1 is above %2").arg(shown(low), shown(high))});
    }
    return out;
}

}  // namespace settings_doc
