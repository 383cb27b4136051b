#ifndef SETTINGS_DOC_SETTINGS_FILE_H
#define SETTINGS_DOC_SETTINGS_FILE_H

// The unit's settings by name, as the window and the command-line tool show,
// export, import and set them: one entry per setting (the registration's three
// values are one), each with the range the window allows. Plain data in
// and out; nothing here talks to the unit.

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <vector>

#include "EFIS_shared/settings_types.h"

namespace settings_doc {

enum class Kind { Units, Speed, Volts, Registration, Colour, Integer, Angle, Icao, Choice, Flag, Emitter };

struct Setting {
    const char* name;
    Kind kind;
    settings_struct_index index;  // the first of the registration's three
    int min, max;                 // Speed, Integer (whole numbers); Volts, Angle (tenths)
    const char* choices[3];       // Choice: the words for 0 and 1 (and the unit words)
};

// The record's value at `i` (settings_get_value on a copy: it takes no const).
uint32_t value_at(const Settings_t& r, settings_struct_index i);

// The emitter categories as the window's list shows them, by value.
const int EMITTER_CATEGORY_COUNT = 22;
extern const char* const EMITTER_CATEGORIES[EMITTER_CATEGORY_COUNT];

// Every setting, in index order.
const Setting* settings_table(size_t* count);
const Setting* find_setting(const QString& name);

// The values a setting puts into the record, by index.
using Values = std::map<settings_struct_index, uint32_t>;

// Reads a JSON value (or, from the command line, its text) into record
// values; false with *error naming what is wrong. `record` supplies what a
// value keeps of the unit's own (bits 9-31 of the units).
bool parse_json(const Setting& s, const QJsonValue& v, const Settings_t& record, Values* out, QString* error);
bool parse_text(const Setting& s, const QString& text, const Settings_t& record, Values* out, QString* error);

// The setting's value in `record`, for JSON and for people; false when the
// record holds something the window could not show (a NaN correction).
bool to_json(const Setting& s, const Settings_t& record, QJsonValue* out);
QString readable(const Setting& s, const Settings_t& record);

// What a setting takes on the command line, with its range and unit, for
// the help.
QString value_help(const Setting& s);

// The largest settings document the tool reads. An export is about 1.5 KiB;
// the rest leaves room for hand editing. Nothing longer is a settings
// document, so no read goes further.
const int MAX_DOCUMENT_BYTES = 64 * 1024;

// The text of a settings document as an object: at most MAX_DOCUMENT_BYTES,
// JSON, an object, and no key twice in one object; false with *error
// naming what is wrong.
bool parse_document(const QByteArray& text, QJsonObject* doc, QString* error);

// The whole document: format, unit, layout, checksum and every value. A
// value that is not a number (a correction) refuses the document, or, when
// `partial`, is left out and named in unit_owned.not_a_number.
QJsonObject export_document(const Settings_t& record, uint32_t serial, uint32_t checksum, QString* error,
                            bool partial = false);

// Checks a whole document against the unit's record and layout before
// anything is sent: format version, known names, every value in range.
// The values it sets go into *out.
bool check_document(const QJsonObject& doc, const Settings_t& unit_record, Values* out, QString* error);

// The serial number of the unit a document was exported from
// (serial_number, "0x1234ABCD"); false when it names none that reads as one.
bool document_serial(const QJsonObject& doc, uint32_t* serial);

// What an import of a checked document (`values` as check_document gave
// them) into the unit with `serial` and `unit_record` is to warn of before
// anything is sent, without refusing it: a document exported from another
// unit that would give this one another aircraft's registration or ICAO
// address, and a recorded checksum that is not that of the document's
// values. Each text is to follow the document's name and ": ".
QStringList import_warnings(const QJsonObject& doc, const Settings_t& unit_record, uint32_t serial,
                            const Values& values);

// An export of what the unit holds, as text: refused when the values read do
// not give the unit's own checksum (they are not what it holds) or hold what
// a settings file cannot carry, since such a file would not restore what was
// read. The checksum written is that of the values written.
bool export_text(const Settings_t& unit, uint32_t serial, uint32_t checksum, QByteArray* text, QString* error);

// 0x0000ABCD: serial numbers, checksums and raw values as both programs show them.
QString hex(uint32_t v);

// The record with the given values put in.
Settings_t with_values(const Settings_t& record, const Values& values);

// What differs between the unit's record and the one to send, one line per
// setting as people read it: "vne: 200 kt -> 150 kt".
QStringList change_lines(const Settings_t& unit, const Settings_t& target);

// Limits that contradict each other (Vs0 above Vne, a minimum voltage
// warning not below the maximum): the user decides, so neither program
// refuses them, but the window marks both ends and the command-line tool
// warns.
struct LimitConflict {
    settings_struct_index low, high;  // the one that should be lower, and the other
    QString text;                     // "Vs0 (200) is above Vne (100)"
};
std::vector<LimitConflict> limit_conflicts(const Settings_t& record);

}  // namespace settings_doc

#endif
