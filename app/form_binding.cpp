#include "app/form_binding.h"

#include <QColorDialog>
#include <QCoreApplication>
#include <QDebug>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTextCursor>
#include <QValidator>

#include <cstring>
#include <functional>
#include <memory>

#include "EFIS_shared/get_set.h"
#include "EFIS_shared/registration.h"
#include "settings_doc/settings_file.h"
#include "ui_mainwindow.h"

namespace {

const char* const COLOR_STYLE = "background-color: %1;";
const char* const COLOR_PATTERN = "background-color: #([0-9a-fA-F]{6});";

// The opaque colour of a 0xAARRGGBB value as a button style sheet.
QString colourStyle(uint32_t value)
{
    return QString(COLOR_STYLE).arg(QColor(QRgb(value & 0x00FFFFFFu)).name());
}

// Reads a button's style sheet back into an opaque 0xFFRRGGBB value.
bool colourFromStyle(const QString& style, uint32_t* value)
{
    static const QRegularExpression re(COLOR_PATTERN);
    const QRegularExpressionMatch m = re.match(style);
    if (!m.hasMatch())
        return false;
    bool ok = false;
    const uint32_t rgb = m.captured(1).toUInt(&ok, 16);
    if (!ok)
        return false;
    *value = rgb | 0xFF000000u;
    return true;
}

// The registration text of the form packed as the three link values.
void registrationFromForm(const QString& prefix, const QString& rest, uint32_t packed[3])
{
    Settings_t scratch;
    std::memset(&scratch, 0, sizeof scratch);
    if (!rest.isEmpty()) {
        const QByteArray full = (prefix + rest).left(11).toLatin1();
        std::memcpy(scratch.registration, full.constData(), size_t(qMin(full.size(), 11)));
    }
    for (int k = 0; k < 3; ++k)
        packed[k] = settings_get_value(&scratch, settings_struct_index(REGISTRATION_1_INDEX + k));
}

// The ICAO address as the field shows it: six upper-case hexadecimal digits.
QString icaoText(uint32_t icao)
{
    return QString("%1").arg(icao & 0xFFFFFFu, 6, 16, QChar('0')).toUpper();
}

// Takes the line breaks (Enter, or a pasted text) out of a one-line field: in
// the record they would be line feeds. Each goes where it is, in the edit
// step that brought it, so the cursor, the rest of the text and undo stay
// as the user expects.
void dropLineBreaks(QPlainTextEdit* field)
{
    // Paragraph and line separators read as '\n', position for position.
    const QString text = field->toPlainText();
    if (!text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return;
    const QSignalBlocker quiet(field);
    QTextCursor cursor(field->document());
    cursor.joinPreviousEditBlock();
    for (int i = text.size() - 1; i >= 0; --i) {
        if (text[i] == QLatin1Char('\n') || text[i] == QLatin1Char('\r')) {
            cursor.setPosition(i);
            cursor.deleteChar();
        }
    }
    cursor.endEditBlock();
}

// A text longer than its field shows its beginning, not the end last typed.
void showFromStart(QPlainTextEdit* field)
{
    field->horizontalScrollBar()->setValue(0);
    field->verticalScrollBar()->setValue(0);
}

// A field's warning stays in the status bar while it holds and goes once the
// field is right again, unless another message has replaced it meanwhile.
void showFieldWarning(QStatusBar* bar, const QString& lead, const QString& why)
{
    if (!why.isEmpty())
        bar->showMessage("Warning: " + why);
    else if (bar->currentMessage().startsWith("Warning: " + lead))
        bar->clearMessage();
}

uint32_t voltTenths(double value)
{
    return uint32_t(int32_t(value * 10.0));
}

uint32_t floatBits(double value)
{
    const float f = float(value);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

double bitsFloat(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return double(f);
}

// A number widget's value, and the value it is to show; a list's entry.
double shownNumber(const QWidget* w)
{
    if (const QComboBox* list = qobject_cast<const QComboBox*>(w))
        return list->currentIndex();
    if (const QDoubleSpinBox* box = qobject_cast<const QDoubleSpinBox*>(w))
        return box->value();
    if (const QSpinBox* box = qobject_cast<const QSpinBox*>(w))
        return box->value();
    return static_cast<const QAbstractSlider*>(w)->value();
}

void showNumber(QWidget* w, double value)
{
    if (QComboBox* list = qobject_cast<QComboBox*>(w))
        list->setCurrentIndex(int(value));
    else if (QDoubleSpinBox* box = qobject_cast<QDoubleSpinBox*>(w))
        box->setValue(value);
    else if (QSpinBox* box = qobject_cast<QSpinBox*>(w))
        box->setValue(int(value));
    else
        static_cast<QAbstractSlider*>(w)->setValue(int(value));
}

// The number typed into a spin box, without its prefix and suffix; false
// when the text is no number of the box's kind.
bool typedNumber(const QAbstractSpinBox* box, const QString& text, double* value)
{
    QString bare = text;
    if (const QDoubleSpinBox* d = qobject_cast<const QDoubleSpinBox*>(box)) {
        bare = bare.mid(bare.startsWith(d->prefix()) ? d->prefix().size() : 0);
        bare.chop(bare.endsWith(d->suffix()) ? d->suffix().size() : 0);
    } else if (const QSpinBox* i = qobject_cast<const QSpinBox*>(box)) {
        bare = bare.mid(bare.startsWith(i->prefix()) ? i->prefix().size() : 0);
        bare.chop(bare.endsWith(i->suffix()) ? i->suffix().size() : 0);
    }
    bare = bare.trimmed();
    // A few digits at most: a wrong value is said, not a runaway string kept.
    if (bare.isEmpty() || bare.size() > 8)
        return false;
    bool ok = false;
    const QLocale locale = box->locale();
    const double v = qobject_cast<const QSpinBox*>(box) ? double(locale.toInt(bare, &ok)) : locale.toDouble(bare, &ok);
    if (ok && value)
        *value = v;
    return ok;
}

// A spin box's own validator throws away the keystroke that takes a number
// past its range, so "250" in a box of 0 to 240 would show 25. This one keeps
// such a number as typed, incomplete for the box, so the form can say why it
// is not taken.
class KeepTypedNumber : public QValidator {
public:
    explicit KeepTypedNumber(QAbstractSpinBox* box) : QValidator(box), box(box) {}

    State validate(QString& input, int& pos) const override
    {
        const State own = box->validate(input, pos);
        if (own != Invalid)
            return own;
        // A sign may start a number below the range.
        const QString bare = input.trimmed();
        return bare == "-" || bare == "+" || typedNumber(box, input, nullptr) ? Intermediate : Invalid;
    }
    void fixup(QString& input) const override { box->fixup(input); }

private:
    QAbstractSpinBox* box;
};

// Left alone, a spin box replaces a text it cannot take with its last value
// when it loses the focus, gets Enter or is hidden and shown again; while
// its text is a number out of range those events leave the text as typed.
class TypedNumberGuard : public QObject {
public:
    explicit TypedNumberGuard(std::function<bool(QObject*)> outOfRange) : outOfRange(std::move(outOfRange)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!outOfRange(watched))
            return false;
        switch (event->type()) {
        case QEvent::FocusOut:
            // The text field still learns that the focus went.
            if (QLineEdit* edit = watched->findChild<QLineEdit*>())
                QCoreApplication::sendEvent(edit, event);
            return true;
        case QEvent::KeyPress: {
            const int key = static_cast<QKeyEvent*>(event)->key();
            return key == Qt::Key_Return || key == Qt::Key_Enter;
        }
        case QEvent::Hide:
        case QEvent::Show:
            return true;
        default:
            return false;
        }
    }

private:
    std::function<bool(QObject*)> outOfRange;
};

}  // namespace

FormBinding::FormBinding(Ui_MainWindow* ui, QWidget* window, WorkingRecord record)
    : ui(ui),
      window(window),
      record(record),
      fields{
          {"units", ui->comboBox_airspeed, Conversion::Units},
          {"vmin", ui->spinBox_vmin, Conversion::Whole, ui->label_vmin},
          {"vs0", ui->spinBox_vs0, Conversion::Whole, ui->label_vs0},
          {"vs1", ui->spinBox_vs1, Conversion::Whole, ui->label_vs1},
          {"vfe", ui->spinBox_vfe, Conversion::Whole, ui->label_vfe},
          {"vno", ui->spinBox_vn0, Conversion::Whole, ui->label_vn0},
          {"vne", ui->spinBox_vne, Conversion::Whole, ui->label_vne},
          {"vref", ui->spinBox_vref, Conversion::Whole, ui->label_vref},
          {"vlo", ui->spinBox_vlo, Conversion::Whole, ui->label_vlo},
          {"min_volts_warning", ui->min_volt_warn_value, Conversion::Tenths, ui->label_MinVolt_warn},
          {"max_volts_warning", ui->max_volt_warn_value, Conversion::Tenths, ui->label_MaxVolt_warn},
          {"registration", ui->text_registration_num, Conversion::Registration},
          {"sky_color_0", ui->color_picker_sky0, Conversion::Colour, ui->sky_top_label, qRgb(135, 206, 235)},
          {"sky_color_1", ui->color_picker_sky1, Conversion::Colour, ui->sky_bottom_label, qRgb(135, 206, 235)},
          {"ground_color_0", ui->color_picker_ground0, Conversion::Colour, ui->ground_top_label, qRgb(34, 139, 34)},
          {"ground_color_1", ui->color_picker_ground1, Conversion::Colour, ui->ground_bottom_label, qRgb(34, 139, 34)},
          {"approach_color", ui->color_picker_app_indi, Conversion::Colour, ui->approach_indi_label,
           qRgb(255, 255, 0)},
          {"airplane_color", ui->color_picker_airplane, Conversion::Colour, ui->airplane_label,
           qRgb(255, 255, 255)},
          {"green_arc_color", ui->color_picker_green, Conversion::Colour, ui->green_label, qRgb(0, 255, 0)},
          {"yellow_arc_color", ui->color_picker_yellow, Conversion::Colour, ui->yellow_label,
           qRgb(255, 255, 0)},
          {"red_arc_color", ui->color_picker_red, Conversion::Colour, ui->red_label, qRgb(255, 0, 0)},
          {"gear_color", ui->color_picker_gear, Conversion::Colour, ui->gear_label,
           qRgb(255, 255, 255)},
          {"backlight", ui->backlight_slider, Conversion::Whole},
          {"roll_correction", ui->roll_corr_spinbox, Conversion::Degrees, ui->label_roll_corr},
          {"pitch_correction", ui->pitch_corr_spinbox, Conversion::Degrees, ui->label_pitch_corr},
          {"min_volts_alert", ui->min_volt_alert_value, Conversion::Tenths, ui->label_MinVolt_alert},
          {"max_volts_alert", ui->max_volt_alert_value, Conversion::Tenths, ui->label_MaxVolt_alarm},
          {"text_background_alpha", ui->text_bg_alpha_slider, Conversion::Whole},
          {"ownship_icao", ui->text_icao, Conversion::Icao},
          {"icao_address_type", ui->radioButton_rand_icao, Conversion::RandomChecked},
          {"emitter_category", ui->comboBox_emitter_cat, Conversion::Listed},
          {"termination_resistor", ui->comboBox_term_res, Conversion::EnableFirst},
          {"map_orientation", ui->comboBox_map_view, Conversion::ListedOrFirst},
      }
{
    for (Field& f : fields) {
        f.setting = settings_doc::find_setting(f.name);
        Q_ASSERT(f.setting);
    }
    typedGuard = std::make_unique<TypedNumberGuard>(
        [this](QObject* box) { return outOfRange.count(static_cast<QWidget*>(box)) != 0; });
    for (const Field& f : fields) {
        QAbstractSpinBox* box = qobject_cast<QAbstractSpinBox*>(f.widget);
        QLineEdit* edit = box ? box->findChild<QLineEdit*>() : nullptr;
        if (!edit)
            continue;
        // A value counts once it is complete (Enter, Tab, the arrows), not
        // each digit on the way: "250" is never 25 in the record.
        box->setKeyboardTracking(false);
        edit->setValidator(new KeepTypedNumber(box));
        box->installEventFilter(typedGuard.get());
        const settings_struct_index index = f.setting->index;
        QObject::connect(edit, &QLineEdit::textChanged, typedGuard.get(), [this, index] { checkTyped(index); });
    }
    // The four text fields draw no frame of their own: at 150 % the style's
    // one-pixel line falls on half a device pixel and is lost under the
    // field's edge or its viewport. Each lies one pixel inside a box filled
    // with the frame colour, a band that no rounding hides.
    for (QWidget* border :
         {ui->registration_border, ui->icao_border, ui->firmware_file_border, ui->airports_file_border}) {
        border->setBackgroundRole(QPalette::Mid);
        border->setAutoFillBackground(true);
    }
}

FormBinding::~FormBinding() = default;

const FormBinding::Field& FormBinding::field(settings_struct_index index) const
{
    for (const Field& f : fields) {
        if (f.setting->index == index)
            return f;
    }
    Q_ASSERT(false);
    return fields.front();
}

// ---------------------------------------------------------------------------
// Record to form and back.

void FormBinding::show()
{
    // Filling the form is no edit: the inputs report nothing meanwhile.
    std::vector<QWidget*> inputs = {ui->comboBox_altitude, ui->comboBox_temp, ui->comboBox_pressure,
                                    ui->comboBox_reg_prefix, ui->radioButton_use_icao};
    for (const Field& f : fields) {
        if (f.conversion != Conversion::Colour)
            inputs.push_back(f.widget);
    }
    for (QWidget* w : inputs)
        w->blockSignals(true);
    for (const Field& f : fields)
        showField(f);
    for (QWidget* w : inputs)
        w->blockSignals(false);

    showFromStart(ui->text_registration_num);
    showFromStart(ui->text_icao);
    markRegistration();
    markIcao();
    markImplausibleLimits();
}

void FormBinding::showField(const Field& f)
{
    const uint32_t value = settings_get_value(&record.values, f.setting->index);
    const int32_t whole = int32_t(value);
    switch (f.conversion) {
    case Conversion::Whole:
        // The widget holds the value at the nearer end of its range.
        showNumber(f.widget, whole);
        break;
    case Conversion::Tenths:
        showNumber(f.widget, value / 10.0);
        break;
    case Conversion::Degrees:
        showNumber(f.widget, bitsFloat(value));
        break;
    case Conversion::Listed:
        showNumber(f.widget, qBound(f.setting->min, whole, f.setting->max));
        break;
    case Conversion::ListedOrFirst:
        showNumber(f.widget, whole < f.setting->min || whole > f.setting->max ? f.setting->min : whole);
        break;
    case Conversion::EnableFirst:
        showNumber(f.widget, value == 0 ? 1 : 0);
        break;
    case Conversion::RandomChecked:
        if (value == 1)
            ui->radioButton_rand_icao->setChecked(true);
        else
            ui->radioButton_use_icao->setChecked(true);
        break;
    case Conversion::Colour:
        f.widget->setStyleSheet(colourStyle(value));
        break;
    case Conversion::Units: {
        const unit_bits_t& bits = record.values.units.bits;
        ui->comboBox_airspeed->setCurrentIndex(bits.is_mph ? 0 : bits.is_knots ? 1 : bits.is_kph ? 2 : 1);
        ui->comboBox_altitude->setCurrentIndex(bits.is_meters ? 1 : 0);
        ui->comboBox_temp->setCurrentIndex(bits.is_celsius ? 1 : 0);
        ui->comboBox_pressure->setCurrentIndex(bits.is_mbar ? 1 : 0);
        break;
    }
    case Conversion::Registration:
        showRegistration();
        break;
    case Conversion::Icao:
        ui->text_icao->setPlainText(icaoText(value));
        break;
    }
}

void FormBinding::showRegistration()
{
    const unsigned char* reg = reinterpret_cast<const unsigned char*>(record.values.registration);
    bool erased = true;
    for (int i = 0; i < 12; ++i)
        erased = erased && reg[i] == 0xFF;
    int len = 0;
    while (!erased && len < 11 && reg[len] != 0x00 && reg[len] != 0xFF)
        ++len;
    if (erased || len == 0) {
        ui->comboBox_reg_prefix->setCurrentText("N");
        ui->text_registration_num->setPlainText("");
        return;
    }
    const QByteArray bytes(reinterpret_cast<const char*>(reg), len);
    const QString text = QString::fromLatin1(bytes);
    qDebug().noquote() << "Created string:" << text;
    const int found = registration_prefix_index(bytes.constData(), size_t(bytes.size()));
    const QString prefix = found < 0 ? QString() : QString::fromLatin1(REGISTRATION_PREFIXES[found]);
    qDebug().noquote() << "Found prefix:" << prefix;
    if (!prefix.isEmpty()) {
        ui->comboBox_reg_prefix->setCurrentText(prefix);
        ui->text_registration_num->setPlainText(text.mid(prefix.size()).left(11 - prefix.size()));
    } else {
        ui->comboBox_reg_prefix->setCurrentText("N");
        ui->text_registration_num->setPlainText(text.left(10));
    }
}

std::vector<std::pair<settings_struct_index, uint32_t>> FormBinding::formValues(const Field& f) const
{
    const settings_struct_index index = f.setting->index;
    switch (f.conversion) {
    case Conversion::Whole:
    case Conversion::Listed:
    case Conversion::ListedOrFirst:
        return {{index, uint32_t(int(shownNumber(f.widget)))}};
    case Conversion::Tenths:
        return {{index, voltTenths(shownNumber(f.widget))}};
    case Conversion::Degrees:
        return {{index, floatBits(shownNumber(f.widget))}};
    case Conversion::EnableFirst:
        return {{index, shownNumber(f.widget) == 0 ? 1u : 0u}};
    case Conversion::RandomChecked:
        return {{index, ui->radioButton_rand_icao->isChecked() ? 1u : 0u}};
    case Conversion::Colour: {
        uint32_t value;
        if (!colourFromStyle(f.widget->styleSheet(), &value))
            return {};
        return {{index, value}};
    }
    case Conversion::Units: {
        // Bits 9 to 31 are the unit's own and stay as they are.
        units_t units = record.values.units;
        unit_bits_t& bits = units.bits;
        const int airspeed = ui->comboBox_airspeed->currentIndex();
        bits.is_mph = airspeed == 0;
        bits.is_knots = airspeed == 1;
        bits.is_kph = airspeed == 2;
        bits.is_meters = ui->comboBox_altitude->currentIndex() == 1;
        bits.is_feet = !bits.is_meters;
        bits.is_celsius = ui->comboBox_temp->currentIndex() == 1;
        bits.is_fahrenheit = !bits.is_celsius;
        bits.is_mbar = ui->comboBox_pressure->currentIndex() == 1;
        bits.is_inhg = !bits.is_mbar;
        return {{index, units.units_value}};
    }
    case Conversion::Registration: {
        uint32_t packed[3];
        registrationFromForm(ui->comboBox_reg_prefix->currentText(), ui->text_registration_num->toPlainText(),
                             packed);
        return {{REGISTRATION_1_INDEX, packed[0]},
                {REGISTRATION_2_INDEX, packed[1]},
                {REGISTRATION_3_INDEX, packed[2]}};
    }
    case Conversion::Icao:
        // A text that is no address leaves the last one in the record, not 000000.
        if (!icaoFieldValid())
            return {};
        return {{index, icaoFromField()}};
    }
    return {};
}

void FormBinding::take()
{
    for (const Field& f : fields)
        store(f.setting->index);
}

void FormBinding::store(settings_struct_index index)
{
    for (auto [i, value] : formValues(field(index)))
        settings_set_value(&record.values, i, &value);
}

void FormBinding::edited(settings_struct_index index)
{
    const Field& f = field(index);
    if (f.conversion == Conversion::Registration || f.conversion == Conversion::Icao)
        dropLineBreaks(static_cast<QPlainTextEdit*>(f.widget));
    for (const auto& [i, value] : formValues(f))
        setLocal(i, value);
    if (f.conversion == Conversion::Registration)
        markRegistration();
    else if (f.conversion == Conversion::Icao)
        markIcao();
}

void FormBinding::setLocal(settings_struct_index index, uint32_t value)
{
    if (settings_set_value(&record.values, index, &value)) {
        record.changed.insert(index);
    } else {
        qDebug() << "Error setting value for index" << int(index);
    }
}

void FormBinding::pickColour(settings_struct_index index)
{
    const Field& f = field(index);
    QColorDialog::setCustomColor(1, QColor(f.reference));
    const QColor initial(QRgb(settings_get_value(&record.values, index) & 0x00FFFFFFu));
    // Named as the form names the colour, so the dialog says which one it sets.
    const QColor chosen =
        QColorDialog::getColor(initial, window, QString("Select %1 colour").arg(f.caption->text().simplified()));
    if (!chosen.isValid())
        return;
    f.widget->setStyleSheet(colourStyle(chosen.rgb()));
    edited(index);
}

void FormBinding::fieldLeft(QWidget* field)
{
    if (field == ui->text_registration_num || field == ui->text_icao)
        showFromStart(static_cast<QPlainTextEdit*>(field));
}

uint32_t FormBinding::icaoFromField() const
{
    static const QRegularExpression hexOnly("^[\\da-fA-F]+$");
    const QString text = ui->text_icao->toPlainText().trimmed();
    if (text.isEmpty())
        return 0;
    // Only digits count: the toolkit's parser would also take a leading sign.
    if (text.startsWith('+'))
        return 0;
    bool ok = false;
    const uint value = hexOnly.match(text).hasMatch() ? text.toUInt(&ok, 16) : text.toUInt(&ok, 10);
    if (!ok)
        return 0;
    return value & 0xFFFFFFu;
}

bool FormBinding::icaoFieldValid() const
{
    static const QRegularExpression address("^[0-9a-fA-F]{1,6}$");
    return address.match(ui->text_icao->toPlainText().trimmed()).hasMatch();
}

// ---------------------------------------------------------------------------
// What the unit will get, at a glance.

void FormBinding::markField(QWidget* field, const QString& why)
{
    const auto own = unmarkedLooks.find(field);
    if (why.isEmpty()) {
        if (own != unmarkedLooks.end()) {
            field->setToolTip(own->second.first);
            field->setPalette(own->second.second);
            unmarkedLooks.erase(own);
        }
        return;
    }
    if (own == unmarkedLooks.end()) {
        // An empty palette hands the field back to the one it inherits.
        const QPalette palette = field->testAttribute(Qt::WA_SetPalette) ? field->palette() : QPalette();
        unmarkedLooks.emplace(field, std::make_pair(field->toolTip(), palette));
    }
    field->setToolTip(why);
    // A tinted background keeps the platform's frame and arrows, which a
    // style-sheet border would replace.
    QPalette tinted = field->palette();
    tinted.setColor(QPalette::Base, QColor(255, 200, 200));
    field->setPalette(tinted);
}

QString FormBinding::typedRegistration() const
{
    // An empty field clears the registration; the prefix alone is not stored.
    const QString rest = ui->text_registration_num->toPlainText();
    return rest.isEmpty() ? QString() : ui->comboBox_reg_prefix->currentText() + rest;
}

QString FormBinding::registrationProblem() const
{
    const QByteArray typed = typedRegistration().toUtf8();
    return QString::fromLatin1(registration_check_text(registration_check(typed.constData(), size_t(typed.size()))));
}

void FormBinding::markRegistration()
{
    const QString problem = registrationProblem();
    QString why;
    if (!problem.isEmpty())
        why = QString("Registration \"%1\" cannot be stored - %2").arg(typedRegistration(), problem);
    markField(ui->text_registration_num, why);
    showFieldWarning(ui->statusbar, "Registration", why);
}

bool FormBinding::registrationSendable()
{
    const QString problem = registrationProblem();
    if (problem.isEmpty())
        return true;
    qDebug().noquote() << "Registration" << typedRegistration() << "not sent:" << problem;
    ui->statusbar->showMessage(
        QString("Error: registration \"%1\" cannot be stored - fix the marked field").arg(typedRegistration()));
    return false;
}

void FormBinding::markIcao()
{
    QString why;
    if (!icaoFieldValid())
        why = QString("ICAO address takes 1 to 6 hexadecimal digits - the settings keep %1")
                  .arg(icaoText(record.values.ownship_icao));
    markField(ui->text_icao, why);
    showFieldWarning(ui->statusbar, "ICAO address", why);
}

// Speeds and voltage limits that contradict each other: the user decides,
// nothing is refused, but both ends of each contradiction are marked, by the
// rule the command-line tool warns by.
void FormBinding::markImplausibleLimits()
{
    // The form's numbers as the record would get them.
    Settings_t shown = record.values;
    std::map<settings_struct_index, QWidget*> boxes;
    for (const Field& f : fields) {
        if ((f.conversion != Conversion::Whole && f.conversion != Conversion::Tenths) ||
            !qobject_cast<QAbstractSpinBox*>(f.widget))
            continue;
        for (auto [i, value] : formValues(f))
            settings_set_value(&shown, i, &value);
        boxes[f.setting->index] = f.widget;
    }
    std::map<QWidget*, QStringList> why;
    for (const auto& typed : outOfRange)
        why[typed.first] << typed.second;
    for (const settings_doc::LimitConflict& c : settings_doc::limit_conflicts(shown)) {
        why[boxes[c.low]] << c.text;
        why[boxes[c.high]] << c.text;
    }
    for (const Field& f : fields) {
        if (f.conversion == Conversion::Degrees)
            boxes[f.setting->index] = f.widget;
    }
    for (const auto& b : boxes)
        markField(b.second, why[b.second].join('\n'));
}

// ---------------------------------------------------------------------------
// Numbers typed past a field's range: said and kept as typed, never taken.

void FormBinding::checkTyped(settings_struct_index index)
{
    const Field& f = field(index);
    QAbstractSpinBox* box = static_cast<QAbstractSpinBox*>(f.widget);
    const bool tenths = f.conversion != Conversion::Whole;
    const double low = tenths ? f.setting->min / 10.0 : f.setting->min;
    const double high = tenths ? f.setting->max / 10.0 : f.setting->max;
    QString unit = " V";
    if (f.conversion == Conversion::Degrees)
        unit = QString::fromUtf8("\u00B0");
    else if (f.conversion == Conversion::Whole)
        unit = QStringList{" mph", " kt", " km/h"}.value(ui->comboBox_airspeed->currentIndex(), " kt");
    const QString caption = f.caption->text().simplified();
    const QString text = box->text().trimmed();
    double typed = 0;
    QString why;
    if (typedNumber(box, text, &typed) && (typed < low || typed > high)) {
        why = QString("%1 %2 is %3 value, %4%5")
                  .arg(caption, text, typed > high ? "above the highest" : "below the lowest",
                       QString::number(typed > high ? high : low, 'f', tenths ? 1 : 0), unit);
    }
    const auto held = outOfRange.find(box);
    if (why.isEmpty()) {
        if (held == outOfRange.end())
            return;
        if (ui->statusbar->currentMessage() == held->second)
            ui->statusbar->clearMessage();
        outOfRange.erase(held);
    } else {
        outOfRange[box] = why;
        ui->statusbar->showMessage(why);
    }
    markImplausibleLimits();
}

bool FormBinding::typedValuesSendable()
{
    if (outOfRange.empty())
        return true;
    // The first in the form's order.
    for (const Field& f : fields) {
        const auto held = outOfRange.find(f.widget);
        if (held == outOfRange.end())
            continue;
        qDebug().noquote() << "Nothing sent:" << held->second;
        ui->statusbar->showMessage("Error: " + held->second + " - correct the marked field; nothing sent");
        break;
    }
    return false;
}
