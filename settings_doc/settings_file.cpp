#include "settings_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <cstring>
#include <vector>

#include "EFIS_shared/get_set.h"
#include "EFIS_shared/registration.h"

namespace settings_doc {

namespace {

const char* const FORMAT = "skarvel-efis-settings";
const int FORMAT_VERSION = 1;
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

// A JSON string token's text, escapes resolved (the parser does it).
QString string_token(const QByteArray& token)
{
    if (!token.contains('\\'))
        return QString::fromUtf8(token.mid(1, token.size() - 2));
    return QJsonDocument::fromJson("[" + token + "]").array().at(0).toString();
}

// QJsonDocument keeps the last of two equal keys, so a key written twice
// (a setting added at the top of `values` while its old line stays) would
// silently lose one of them. The keys are looked for in the text itself;
// *where gets the key's path. Text that is not JSON passes unharmed, for
// the parser to refuse.
bool duplicate_key(const QByteArray& text, QString* where)
{
    struct Level {
        bool object;
        QString path;
        QSet<QString> keys;
        bool expect_key;
    };
    std::vector<Level> levels;
    QString value_path;  // the path of the value that comes next
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            const int start = i;
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\')
                    ++i;  // the escaped character, a quote perhaps
            }
            if (levels.empty() || !levels.back().object || !levels.back().expect_key)
                continue;
            Level& l = levels.back();
            const QString key = string_token(text.mid(start, i - start + 1));
            value_path = l.path.isEmpty() ? key : l.path + "." + key;
            if (l.keys.contains(key)) {
                *where = value_path;
                return true;
            }
            l.keys.insert(key);
            l.expect_key = false;
        } else if (c == '{' || c == '[') {
            const bool in_array = !levels.empty() && !levels.back().object;
            levels.push_back({c == '{', in_array ? levels.back().path + "[]" : value_path, {}, true});
        } else if ((c == '}' || c == ']') && !levels.empty()) {
            levels.pop_back();
        } else if (c == ',' && !levels.empty()) {
            levels.back().expect_key = true;
        }
    }
    return false;
}

// The offset of the first byte that is not UTF-8 text, -1 when there is
// none. The parser's own rules: no overlong forms, surrogates or code points
// past U+10FFFF. A NUL is not taken either: UTF-16 gives one for every ASCII
// character.
int not_utf8_at(const QByteArray& text)
{
    static const uint least[] = {0, 0, 0x80, 0x800, 0x10000};
    for (int i = 0; i < text.size();) {
        const uchar c = uchar(text[i]);
        const int len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (c == 0 || len == 0 || i + len > text.size())
            return i;
        uint cp = len == 1 ? c : c & (0x7Fu >> len);
        for (int k = 1; k < len; ++k) {
            if ((uchar(text[i + k]) & 0xC0) != 0x80)
                return i;
            cp = (cp << 6) | (uchar(text[i + k]) & 0x3F);
        }
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return i;
        i += len;
    }
    return -1;
}

// "0x1234ABCD", as a document gives serial numbers and checksums.
bool hex_word(const QJsonValue& v, uint32_t* out)
{
    const QString digits = v.toString().mid(2);
    if (!v.isString() || !v.toString().startsWith("0x", Qt::CaseInsensitive) || digits.isEmpty() ||
        digits.size() > 8 || digits.contains(QRegularExpression("[^0-9A-Fa-f]")))
        return false;
    *out = digits.toUInt(nullptr, 16);
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

bool parse_document(const QByteArray& text, QJsonObject* doc, QString* error)
{
    if (text.size() > MAX_DOCUMENT_BYTES) {
        *error = QString("longer than a settings document can be (%1 bytes at most)").arg(MAX_DOCUMENT_BYTES);
        return false;
    }
    // The key scanner reads bytes: UTF-16 would pass it as keys named twice.
    // A UTF-8 byte order mark is taken, as the parser takes it.
    const int bad = not_utf8_at(text);
    if (bad >= 0) {
        *error = QString("not UTF-8 text (byte %1); a settings document is JSON in UTF-8").arg(bad);
        return false;
    }
    // Looked for first: the parser leaks the earlier of two equal keys'
    // objects.
    QString where;
    if (duplicate_key(text, &where)) {
        *error = QString("%1: named twice; a settings document names each entry once").arg(where);
        return false;
    }
    QJsonParseError pe;
    const QJsonDocument parsed = QJsonDocument::fromJson(text, &pe);
    if (pe.error != QJsonParseError::NoError || !parsed.isObject()) {
        *error = QString("not a settings document: %1 at byte %2")
                     .arg(pe.error != QJsonParseError::NoError ? pe.errorString() : "not an object")
                     .arg(pe.offset);
        return false;
    }
    *doc = parsed.object();
    return true;
}

QJsonObject export_document(const Settings_t& record, uint32_t serial, uint32_t checksum, QString* error,
                            bool partial)
{
    QJsonObject values;
    QJsonArray not_numbers;
    for (const Setting& s : TABLE) {
        QJsonValue v;
        if (to_json(s, record, &v)) {
            values[s.name] = v;
        } else if (partial) {
            not_numbers.append(s.name);
        } else {
            *error = QString("%1: the unit holds a value that is not a number").arg(s.name);
            return QJsonObject();
        }
    }
    QJsonObject layout;
    layout["version"] = double(record.version);
    layout["num_elements"] = double(record.num_elements);
    // Kept by the unit, not by a settings file: shown, never imported.
    QJsonObject unit_owned;
    unit_owned["use_mag_heading"] = double(record.use_mag_heading);
    unit_owned["units_bits_9_to_31"] = hex(record.units.units_value & ~0x1FFu);
    if (!not_numbers.isEmpty())
        unit_owned["not_a_number"] = not_numbers;
    QJsonObject doc;
    doc["format"] = FORMAT;
    doc["format_version"] = FORMAT_VERSION;
    doc["serial_number"] = hex(serial);
    doc["layout"] = layout;
    doc["checksum"] = hex(checksum);
    doc["values"] = values;
    doc["unit_owned"] = unit_owned;
    return doc;
}

bool check_document(const QJsonObject& doc, const Settings_t& unit_record, Values* out, QString* error)
{
    static const QStringList known = {"format", "format_version", "serial_number", "layout",
                                      "checksum", "values", "unit_owned", "kept_before"};
    for (const QString& key : doc.keys()) {
        if (!known.contains(key)) {
            *error = QString("%1: unknown entry").arg(key);
            return false;
        }
    }
    if (doc.value("format").toString() != FORMAT) {
        *error = QString("format: expected \"%1\"").arg(FORMAT);
        return false;
    }
    long long version = 0;
    if (!whole(doc.value("format_version"), &version) || version != FORMAT_VERSION) {
        *error = QString("format_version: %1 is not a version this tool reads (%2)")
                     .arg(json_text(doc.value("format_version")))
                     .arg(FORMAT_VERSION);
        return false;
    }
    const QJsonObject layout = doc.value("layout").toObject();
    long long layout_version = -1;
    long long elements = -1;
    whole(layout.value("version"), &layout_version);
    whole(layout.value("num_elements"), &elements);
    if (layout_version != unit_record.version || elements != unit_record.num_elements) {
        *error = QString("layout: the file is for settings version %1 with %2 values, the unit has version %3 with "
                         "%4")
                     .arg(json_text(layout.value("version")), json_text(layout.value("num_elements")))
                     .arg(unit_record.version)
                     .arg(unit_record.num_elements);
        return false;
    }
    if (!doc.value("values").isObject()) {
        *error = "values: expected an object of settings by name";
        return false;
    }
    const QJsonObject values = doc.value("values").toObject();
    Values parsed;
    for (auto it = values.begin(); it != values.end(); ++it) {
        const Setting* s = find_setting(it.key());
        if (!s) {
            *error = QString("values.%1: unknown setting").arg(it.key());
            return false;
        }
        if (!parse_json(*s, it.value(), unit_record, &parsed, error)) {
            *error = "values." + *error;
            return false;
        }
    }
    *out = parsed;
    return true;
}

bool document_serial(const QJsonObject& doc, uint32_t* serial) { return hex_word(doc.value("serial_number"), serial); }

namespace {

// The record a document's checksum was taken over, as far as the document
// tells it: the unit's record with the document's values and what the
// exporting unit kept for itself. `raw_where_same`: where the unit's value
// reads as the document's, the unit's raw value stays. A copy kept before a
// change records the checksum of the record as read, which a file shows
// rounded where it holds a correction finer than a tenth, a colour's alpha
// or an unused byte.
Settings_t exported_record(const QJsonObject& doc, const Settings_t& unit_record, const Values& values,
                           bool raw_where_same)
{
    Settings_t r = with_values(unit_record, values);
    for (const Setting& s : TABLE) {
        QJsonValue mine, theirs;
        if (!raw_where_same || !to_json(s, unit_record, &mine) || !to_json(s, r, &theirs) || mine != theirs)
            continue;
        for (int k = 0; k < (s.kind == Kind::Registration ? 3 : 1); ++k) {
            const settings_struct_index i = settings_struct_index(s.index + k);
            uint32_t raw = value_at(unit_record, i);
            settings_set_value(&r, i, &raw);
        }
    }
    const QJsonObject owned = doc.value("unit_owned").toObject();
    long long mag = 0;
    if (whole(owned.value("use_mag_heading"), &mag) && mag >= 0 && mag <= 0xFFFFFFFFll)
        r.use_mag_heading = uint32_t(mag);
    uint32_t high = 0;
    if (hex_word(owned.value("units_bits_9_to_31"), &high))
        r.units.units_value = (r.units.units_value & 0x1FFu) | (high & ~0x1FFu);
    r.crc32 = 0;  // not summed; 0xFFFFFFFF would read as an erased record
    return r;
}

}  // namespace

QStringList import_warnings(const QJsonObject& doc, const Settings_t& unit_record, uint32_t serial,
                            const Values& values)
{
    QStringList out;
    const Settings_t target = with_values(unit_record, values);
    bool identity_changes = false;
    for (int i : {REGISTRATION_1_INDEX, REGISTRATION_2_INDEX, REGISTRATION_3_INDEX, OWNSHIP_ICAO_INDEX}) {
        const settings_struct_index index = settings_struct_index(i);
        identity_changes = identity_changes || value_at(unit_record, index) != value_at(target, index);
    }
    uint32_t from = 0;
    if (identity_changes && document_serial(doc, &from) && from != serial) {
        out << QString("exported from unit %1, this is unit %2: its registration %3 and ICAO address %4 are those "
                       "of another aircraft - two aircraft with one ICAO address confuse traffic systems")
                   .arg(hex(from), hex(serial), readable(*find_setting("registration"), target),
                        readable(*find_setting("ownship_icao"), target));
    }
    if (!doc.contains("checksum"))
        return out;  // written by hand from the start
    uint32_t recorded = 0;
    const bool readable_sum = hex_word(doc.value("checksum"), &recorded);
    const Settings_t as_exported = exported_record(doc, unit_record, values, false);
    const Settings_t as_read = exported_record(doc, unit_record, values, true);
    const uint32_t computed = settings_CalcCRC(&as_exported);
    if (!readable_sum || (recorded != computed && recorded != settings_CalcCRC(&as_read))) {
        out << QString("the checksum it records (%1) is not that of its values (%2): edited by hand or damaged")
                   .arg(readable_sum ? hex(recorded) : json_text(doc.value("checksum")), hex(computed));
    }
    return out;
}

bool export_text(const Settings_t& unit, uint32_t serial, uint32_t checksum, QByteArray* text, QString* error)
{
    Settings_t copy = unit;
    const uint32_t values_crc = settings_CalcCRC(&copy);
    if (values_crc != checksum) {
        *error = QString("the values read give checksum %1, the unit's record says %2: they are not what the unit "
                         "holds")
                     .arg(hex(values_crc), hex(checksum));
        return false;
    }
    // Only what an import takes back is written.
    QJsonObject doc = export_document(unit, serial, checksum, error);
    Values values;
    if (doc.isEmpty() || !check_document(doc, unit, &values, error)) {
        *error = "the unit holds what a settings file cannot carry: " + *error;
        return false;
    }
    // An angle the unit holds finer than a tenth is written rounded, as the
    // window shows it: the checksum is the one an import of the file stores.
    const Settings_t written = with_values(unit, values);
    doc["checksum"] = hex(settings_CalcCRC(&written));
    *text = QJsonDocument(doc).toJson(QJsonDocument::Indented);
    return true;
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
