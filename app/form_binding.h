#ifndef APP_FORM_BINDING_H
#define APP_FORM_BINDING_H

// The Settings tab bound to the working record. One table names, for each
// setting, the widget that shows it and how its value converts; the
// setting is the one the settings files and the command-line tool name,
// with its index, range and unit. Filling the form, reading it back and
// each edit go through that table, and so do the marks on what the unit
// would not take as shown.

#include <QColor>
#include <QObject>
#include <QPalette>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "EFIS_shared/settings_types.h"

class QLabel;
class QPlainTextEdit;
class QWidget;
class Ui_MainWindow;

namespace settings_doc {
struct Setting;
}

// The record the window works on and what it owes the unit; touched on the
// GUI thread only. What no load read, and what was sent and not stored, is
// the session model's.
struct WorkingRecord {
    Settings_t& values;
    uint32_t& checksum;    // the unit's, as last read
    uint32_t& memVersion;  // the unit's layout version
    uint32_t& sizeBytes;   // the record's size: 128
    // Edited in the form and not sent yet.
    std::set<settings_struct_index>& changed;
};

class FormBinding {
public:
    // How a record value shows in its widget and comes back from it.
    enum class Conversion {
        Whole,          // spin box or slider: the number itself
        Tenths,         // volts: the record holds tenths
        Degrees,        // angles: the record holds the float's bits
        Listed,         // a list's entry; past either end of the list, that end
        ListedOrFirst,  // a list's entry; past either end of the list, the first
        EnableFirst,    // a list whose first entry ("Enable") is 1, the other 0
        RandomChecked,  // the random-address button checked is 1
        Colour,         // a swatch's style sheet, opaque 0xAARRGGBB
        Units,          // the four unit lists, bits 0 to 8 of the units
        Registration,   // prefix list and text, packed into three values
        Icao,           // the address as hexadecimal text
    };

    struct Field {
        const char* name;  // the setting's name in a settings file
        QWidget* widget;
        Conversion conversion;
        QLabel* caption = nullptr;    // the label naming it: colours, spin boxes
        QRgb reference = 0;           // colours: offered as custom colour 1
        const settings_doc::Setting* setting = nullptr;
    };

    // `window` parents the colour dialog.
    FormBinding(Ui_MainWindow* ui, QWidget* window, WorkingRecord record);
    ~FormBinding();

    // Record to form, with no edit reported, then the marks.
    void show();
    // Form to record, every field; no edit is counted.
    void take();
    // One field's form value into the record, uncounted.
    void store(settings_struct_index index);
    // The user changed the field: its value goes into the record as an edit.
    void edited(settings_struct_index index);
    // One value set as an edit, pending until it is sent.
    void setLocal(settings_struct_index index, uint32_t value);
    // The colour dialog for a swatch; a colour chosen is an edit.
    void pickColour(settings_struct_index index);
    // A one-line field that loses the focus shows its start again.
    void fieldLeft(QWidget* field);

    uint32_t icaoFromField() const;
    bool icaoFieldValid() const;
    // The registration as the form would store it ("" when the field is
    // empty), and why the unit cannot take it ("" when it can).
    QString typedRegistration() const;
    QString registrationProblem() const;
    // False, with the reason in the status bar, when it cannot be sent.
    bool registrationSendable();
    // False, with the field named in the status bar, while a field shows a
    // typed number outside its range: the record holds another value.
    bool typedValuesSendable();

    // A field the unit would not take as shown gets a red background and a
    // tooltip saying why; an empty `why` gives it back its own look.
    void markField(QWidget* field, const QString& why);
    void markRegistration();
    void markIcao();
    void markImplausibleLimits();

private:
    const Field& field(settings_struct_index index) const;
    // What the form gives a field, by index: nothing when it shows no value
    // the record can take (a style sheet without a colour, a text that is no
    // address), three values for the registration.
    std::vector<std::pair<settings_struct_index, uint32_t>> formValues(const Field& f) const;
    void showField(const Field& f);
    void showRegistration();
    // A spin box's text changed: a number past its range is said and marked.
    void checkTyped(settings_struct_index index);

    Ui_MainWindow* ui;
    QWidget* window;
    WorkingRecord record;
    std::vector<Field> fields;
    // Tooltip and palette of each marked field, given back when its mark
    // goes.
    std::map<QWidget*, std::pair<QString, QPalette>> unmarkedLooks;
    // Spin boxes showing a typed number past their range, with what is wrong.
    std::map<QWidget*, QString> outOfRange;
    // Keeps those texts as typed through focus, Enter and tab changes.
    std::unique_ptr<QObject> typedGuard;
};

#endif
