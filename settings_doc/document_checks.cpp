// The settings documents: their text read and checked, their export, and
// what an import is to warn of.
#include "settings_file.h"
#include "settings_internal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <vector>

#include "EFIS_shared/get_set.h"

namespace settings_doc {

using namespace internal;

namespace {

const char* const FORMAT = "skarvel-efis-settings";
const int FORMAT_VERSION = 1;

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
    for (const Setting& s : all_settings()) {
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
    for (const Setting& s : all_settings()) {
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

}  // namespace settings_doc
