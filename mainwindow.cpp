#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QFontDatabase>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "EFIS_shared/get_set.h"
#include "EFIS_shared/registration.h"
#include "app/about.h"
#include "app/connection.h"
#include "app/form_binding.h"
#include "app/log_window.h"
#include "app/run_log.h"
#include "app/settings_commands.h"
#include "app/session_view.h"
#include "app/settings_files.h"
#include "app/status_area.h"
#include "app/uploads.h"
#include "ui_mainwindow.h"

Settings_t user_config;
uint32_t mem_version = 0;
uint32_t user_config_chk = 0;
uint32_t user_config_sizeof = 128;

namespace {

SessionModel::Upload uploadOf(int tab)
{
    return tab == Uploads::FIRMWARE_TAB ? SessionModel::Upload::Firmware : SessionModel::Upload::Airports;
}

const char* const COLOUR_SWATCH_STYLE = "QPushButton { border: 1px solid palette(dark); }"
                                        "QPushButton:focus { border: 2px solid palette(highlight); }"
                                        "QPushButton:pressed { border: 2px inset palette(dark); }";

}  // namespace

void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    const char* format = nullptr;
    switch (type) {
    case QtDebugMsg:
        format = "Debug: %s (%s:%u, %s)\n";
        break;
    case QtInfoMsg:
        format = "Info: %s (%s:%u, %s)\n";
        break;
    case QtWarningMsg:
        format = "Warning: %s (%s:%u, %s)\n";
        break;
    case QtCriticalMsg:
        format = "Critical: %s (%s:%u, %s)\n";
        break;
    case QtFatalMsg:
        format = "Fatal: %s (%s:%u, %s)\n";
        break;
    }
    if (format) {
        const QByteArray localMsg = msg.toLocal8Bit();
        const char* file = context.file ? context.file : "";
        const char* function = context.function ? context.function : "";
        const unsigned line = unsigned(context.line);
        const int size = std::snprintf(nullptr, 0, format, localMsg.constData(), file, line, function);
        QByteArray text(qMax(size, 0) + 1, '\0');
        std::snprintf(text.data(), size_t(text.size()), format, localMsg.constData(), file, line, function);
        text.chop(1);
        // What was printed on standard output before comes first in the log,
        // which is the owner's to read: the source location stays on the
        // terminal.
        RunLog& log = RunLog::instance();
        log.takeStandardOutput();
        std::fputs(text.constData(), stderr);
        log.append(QByteArray(format, int(std::strchr(format, ' ') - format)) + " " + localMsg + "\n");
        if (type == QtFatalMsg)
            std::abort();
    }
    std::fflush(stderr);
}

void enableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // 150 % stays 150 %: rounded up to 200 %, the window would not fit the
    // screen of a laptop set to 150 %.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

void useCondensedApplicationFont()
{
    const QString condensed = "DejaVu Sans Condensed";
    if (!QFontDatabase().families().contains(condensed))
        return;
    QFont font = QApplication::font();
    font.setFamily(condensed);
    QApplication::setFont(font);
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      ui(new Ui_MainWindow),
      firmwareFilePath(),
      airportDbFilePath(),
      comms(nullptr),
      changed_values(),
      logWindow(nullptr),
      logRun(0)
{
    // Each window's life is one run of the log.
    logRun = RunLog::instance().startRun();
    qInstallMessageHandler(customMessageHandler);
    ui->setupUi(this);
    // The rooms that do the window's work, each given what it works on; the
    // connection follows once the form's menus are in place.
    const WorkingRecord record{user_config, user_config_chk, mem_version, user_config_sizeof, changed_values};
    form = std::make_unique<FormBinding>(ui, this, record);
    files = std::make_unique<SettingsFiles>(ui, this, comms, record, *form);
    commands = std::make_unique<SettingsCommands>(ui, comms, record, *form, *files);
    uploads = std::make_unique<Uploads>(ui, this, comms, *files, &firmwareFilePath, &airportDbFilePath);

    // The log: View > Log, and a click on an "Error:" text opens it at that
    // failure, which the log records after the lines that led to it.
    QAction* logAction = menuBar()->addMenu("&View")->addAction("&Log", this, [this] { showLog(QString()); });
    logAction->setObjectName("actionLog");
    logAction->setShortcut(QKeySequence("Ctrl+L"));
    // The form's geometry is fixed: the menu's line comes on top of it.
    resize(width(), height() + menuBar()->sizeHint().height());
    openOnErrorClick(ui->statusbar, [this](const QString& status) { showLog(status); });
    addStatusArea(ui->statusbar);
    ui->statusbar->showMessage("Initializing...");

    for (int i = 0; i < NUM_REGISTRATION_PREFIXES; ++i)
        ui->comboBox_reg_prefix->addItem(QString::fromLatin1(REGISTRATION_PREFIXES[i]));

    // A button whose style sheet sets only a background keeps the style's
    // bevel, which lightens the colour; a border of its own makes the sheet
    // draw the swatch flat, in exactly the colour it names.
    ui->layoutWidget->setStyleSheet(COLOUR_SWATCH_STYLE);

    ui->text_firmware_file->setEnabled(false);
    ui->pushButton_start_update->setEnabled(false);
    ui->progressBar_firmware->setEnabled(false);
    connect(ui->pushButton_browse, &QPushButton::clicked, this, &MainWindow::onBrowseClicked);
    connect(ui->pushButton_start_update, &QPushButton::clicked, this, &MainWindow::onStartUpdateClicked);
    connect(ui->pushButton_cancel_fw, &QPushButton::clicked, this, &MainWindow::onCancelUploadClicked);

    ui->text_firmware_file_2->setEnabled(false);
    ui->pushButton_start_airport->setEnabled(false);
    ui->progressBar_airports->setEnabled(false);
    connect(ui->pushButton_browse_airports, &QPushButton::clicked, this, &MainWindow::onBrowseAirportsClicked);
    connect(ui->pushButton_start_airport, &QPushButton::clicked, this, &MainWindow::onStartAirportClicked);
    connect(ui->pushButton_cancel_airport, &QPushButton::clicked, this, &MainWindow::onCancelUploadClicked);

    user_config.vspeeds.Vmin = 0;
    user_config.vspeeds.Vs0 = 0;
    user_config.vspeeds.Vs1 = 0;
    user_config.vspeeds.Vfe = 0;
    user_config.vspeeds.Vn0 = 0;
    user_config.vspeeds.Vne = 0;
    user_config.vspeeds.VRef = 0;
    user_config.vspeeds.Vlo = 0;

    connect(ui->pushButton_save, &QPushButton::clicked, this, &MainWindow::onSaveClicked);
    connect(ui->pushButton_load, &QPushButton::clicked, this, &MainWindow::onLoadClicked);
    connect(ui->color_picker_sky0, &QPushButton::clicked, this, &MainWindow::onSkyColorPickerClicked);
    connect(ui->color_picker_sky1, &QPushButton::clicked, this, &MainWindow::onSkyColor1PickerClicked);
    connect(ui->color_picker_ground0, &QPushButton::clicked, this, &MainWindow::onGroundColorPickerClicked);
    connect(ui->color_picker_ground1, &QPushButton::clicked, this, &MainWindow::onGroundColor1PickerClicked);
    connect(ui->color_picker_app_indi, &QPushButton::clicked, this, &MainWindow::onApproachIndiColorPickerClicked);
    connect(ui->color_picker_airplane, &QPushButton::clicked, this, &MainWindow::onAirplaneColorPickerClicked);
    connect(ui->color_picker_green, &QPushButton::clicked, this, &MainWindow::onGreenArcColorPickerClicked);
    connect(ui->color_picker_yellow, &QPushButton::clicked, this, &MainWindow::onYellowArcColorPickerClicked);
    connect(ui->color_picker_red, &QPushButton::clicked, this, &MainWindow::onRedArcColorPickerClicked);
    connect(ui->color_picker_gear, &QPushButton::clicked, this, &MainWindow::onGearIndiColorPickerClicked);
    connect(ui->comboBox_airspeed, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onUnitsChanged);
    connect(ui->comboBox_altitude, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onUnitsChanged);
    connect(ui->comboBox_temp, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onUnitsChanged);
    connect(ui->comboBox_pressure, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onUnitsChanged);
    connect(ui->spinBox_vmin, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVminChanged);
    connect(ui->spinBox_vs0, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVs0Changed);
    connect(ui->spinBox_vs1, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVs1Changed);
    connect(ui->spinBox_vfe, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVfeChanged);
    connect(ui->spinBox_vn0, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVn0Changed);
    connect(ui->spinBox_vne, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVneChanged);
    connect(ui->spinBox_vref, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVrefChanged);
    connect(ui->spinBox_vlo, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::onVloChanged);
    connect(ui->min_volt_warn_value, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &MainWindow::onMinVoltChanged);
    connect(ui->max_volt_warn_value, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &MainWindow::onMaxVoltChanged);
    connect(ui->min_volt_alert_value, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &MainWindow::onMinVoltAlertChanged);
    connect(ui->max_volt_alert_value, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &MainWindow::onMaxVoltAlertChanged);
    connect(ui->comboBox_reg_prefix, &QComboBox::currentTextChanged, this, &MainWindow::onRegistrationChanged);
    connect(ui->text_registration_num, &QPlainTextEdit::textChanged, this, &MainWindow::onRegistrationChanged);
    connect(ui->text_icao, &QPlainTextEdit::textChanged, this, &MainWindow::onOwnshipIcaoChanged);
    connect(ui->comboBox_emitter_cat, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onEmitterCatChanged);
    connect(ui->comboBox_map_view, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onMapViewChanged);
    connect(ui->comboBox_term_res, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::onTermResChanged);
    connect(ui->radioButton_use_icao, &QRadioButton::toggled, this, &MainWindow::onIcaoAddressTypeChanged);
    connect(ui->radioButton_rand_icao, &QRadioButton::toggled, this, &MainWindow::onIcaoAddressTypeChanged);
    connect(ui->backlight_slider, &QSlider::valueChanged, this, &MainWindow::onBacklightBrightnessChanged);
    connect(ui->text_bg_alpha_slider, &QSlider::valueChanged, this, &MainWindow::onTextBgAlphaChanged);
    connect(ui->roll_corr_spinbox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &MainWindow::onRollCorrectionChanged);
    connect(ui->pitch_corr_spinbox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &MainWindow::onPitchCorrectionChanged);
    connect(ui->pushButton_update, &QPushButton::clicked, this, &MainWindow::onUpdateClicked);
    connect(ui->pushButton_reboot, &QPushButton::clicked, this, &MainWindow::onRebootClicked);

    QMenu* settingsMenu = ui->menubar->addMenu("&Settings");
    settingsMenu->addAction("Export settings...", this, &MainWindow::exportSettings)
        ->setObjectName("action_export_settings");
    settingsMenu->addAction("Import settings...", this, &MainWindow::importSettings)
        ->setObjectName("action_import_settings");

    // The two text fields hold one line: the view never scrolls it away (the
    // field is barely one line high, so the mouse wheel could), and a field
    // left after a long entry shows its start again.
    for (QPlainTextEdit* field : {ui->text_registration_num, ui->text_icao}) {
        QScrollBar* bar = field->verticalScrollBar();
        connect(bar, &QScrollBar::valueChanged, bar, [bar](int value) {
            if (value != 0)
                bar->setValue(0);
        });
    }
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget*) { form->fieldLeft(old); });

    // Limits that contradict each other are marked as soon as they are entered.
    for (QSpinBox* box : {ui->spinBox_vs0, ui->spinBox_vs1, ui->spinBox_vfe, ui->spinBox_vn0, ui->spinBox_vne,
                          ui->spinBox_vlo})
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::markImplausibleLimits);
    for (QDoubleSpinBox* box : {ui->min_volt_alert_value, ui->min_volt_warn_value, ui->max_volt_warn_value,
                                ui->max_volt_alert_value})
        connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &MainWindow::markImplausibleLimits);

    // The form's fixed height has no room for a menu bar: the window grows
    // to keep the whole form, with its margins, in view below it.
    const QRect tabs = ui->tabWidget->geometry();
    ui->centralwidget->setMinimumSize(tabs.right() + 1 + tabs.left(), tabs.bottom() + 1 + tabs.top());

    // The connection is the owner's: the indicator, the Connection menu and
    // the look for a unit plugged in later. An upload's end, or its move to
    // CAN FD, shows in the indicator; a unit connected is loaded.
    connection = std::make_unique<Connection>(ui, this, comms, *uploads);
    connect(uploads.get(), &Uploads::linkChanged, connection.get(), &Connection::showLinkInUse);
    connect(connection.get(), &Connection::unitConnected, this, &MainWindow::unitConnected);

    // The model hears what happens; the widgets follow it.
    connect(connection.get(), &Connection::noUnit, this, [this] {
        session.linkLost();
        applySession();
    });
    connect(uploads.get(), &Uploads::ended, this, [this](int tab, bool complete, bool unitChanged) {
        session.uploadEnded(uploadOf(tab), complete, unitChanged);
        logOutcome(ui->statusbar);
        applySession();
    });

    QMenu* help = menuBar()->addMenu("&Help");
    help->setObjectName("menu_help");
    help->addAction("&README guide", this, &MainWindow::showGuide)->setObjectName("action_readme");
    help->addAction("&About...", this, &MainWindow::showAboutBox)->setObjectName("action_about");

    // Gives a unit that was just plugged in a moment before the first exchange.
    QThread::msleep(100);

    if (!connectToUnit())
        qDebug() << "Failed to establish connection via USB HID or CAN FD";
    applySession();
}

void MainWindow::applySession()
{
    // A link that went away between events is lost.
    if (session.linkState() == SessionModel::LinkState::Connected && !(comms && comms->isConnected()))
        session.linkLost();
    showSession(session, ui, this);
}

void MainWindow::showGuide() { showOwnersGuide(this); }

void MainWindow::showAboutBox()
{
    std::optional<AboutUnit> unit;
    if (comms && comms->isConnected()) {
        const COMM_INTERFACE_t link = comms->getActiveInterface();
        unit = AboutUnit{comms->serialNumber(link), link == CAN_FD ? "CAN FD" : "USB HID", mem_version};
    }
    showAbout(this, unit);
}

MainWindow::~MainWindow()
{
    // Focus moves while the form goes; the form is gone before the window.
    disconnect(qApp, nullptr, this, nullptr);
    uploads->stopAndWait();
    delete comms;
    comms = nullptr;
    delete ui;
    ui = nullptr;
    RunLog::instance().endRun(logRun);
}

void MainWindow::showLog(const QString& status)
{
    if (!logWindow)
        logWindow = new LogWindow(this);
    if (status.isEmpty())
        logWindow->showEnd();
    else
        logWindow->showFailure(status);
}

// ---------------------------------------------------------------------------
// The Settings tab's commands: each waits for a link that is free.

bool MainWindow::linkReady()
{
    // The link carries one exchange at a time; an upload's would be mixed up.
    if (uploadRunning()) {
        qDebug() << "Settings command refused: an upload is using the link";
        ui->statusbar->showMessage("Error: " + SessionModel::linkBusy());
        return false;
    }
    if (comms && comms->isConnected())
        return true;
    qDebug() << "No communication interface connected";
    ui->statusbar->showMessage("Error: No communication interface connected (USB HID or CAN FD)");
    return false;
}

bool MainWindow::readHeaderValue(settings_struct_index index, uint32_t* value)
{
    return commands->readHeaderValue(index, value);
}
bool MainWindow::settingsLayoutKnown(uint32_t num_elements) { return commands->settingsLayoutKnown(num_elements); }
int MainWindow::sendValues(const std::set<settings_struct_index>& indices, std::set<settings_struct_index>* failed)
{
    return commands->sendValues(indices, failed);
}

bool MainWindow::sessionAllows(SessionModel::Action action)
{
    if (session.enabled(action))
        return true;
    const QString why = session.reason(action);
    qDebug().noquote() << SessionModel::actionName(action) << "refused:" << why;
    ui->statusbar->showMessage(why == "No changes to send" ? why : "Error: " + why);
    return false;
}

void MainWindow::loadConfigFromDevice()
{
    if (!linkReady())
        return;
    std::set<settings_struct_index> unread;
    if (commands->loadFromUnit(&unread))
        session.setUnitRecord(user_config, unread);
    else
        session.clearRecord();
    applySession();
}

void MainWindow::onLoadClicked()
{
    const OwnerAction owner(ui->statusbar, "Load");
    loadConfigFromDevice();
}

void MainWindow::onUpdateClicked()
{
    const OwnerAction owner(ui->statusbar, "Update");
    if (!linkReady() || !sessionAllows(SessionModel::Action::Update))
        return;
    std::set<settings_struct_index> sent;
    commands->updateUnit(session.updateValues(), &sent);
    session.valuesSent(sent);
    applySession();
}

void MainWindow::onSaveClicked()
{
    const OwnerAction owner(ui->statusbar, "Save");
    if (!linkReady() || !sessionAllows(SessionModel::Action::Save))
        return;
    std::set<settings_struct_index> sent;
    const bool stored = commands->saveToUnit(session.saveValues(), &sent);
    // The form may have given the record values of its own before sending.
    session.setFormRecord(user_config);
    if (stored)
        session.recordStored(user_config);
    else
        session.valuesSent(sent);
    applySession();
}

void MainWindow::onRebootClicked()
{
    const OwnerAction owner(ui->statusbar, "Reboot");
    if (!linkReady() || !sessionAllows(SessionModel::Action::Reboot))
        return;
    const SessionModel::Question q = session.question(SessionModel::Action::Reboot);
    if (!q.isEmpty() && !confirmLoss(q.title, q.detail, q.proceed))
        return;
    if (commands->rebootUnit())
        session.unitRebooted();
    applySession();
}

void MainWindow::updateConfigValueAndSend(settings_struct_index index, uint32_t value)
{
    if (!linkReady())
        return;
    const bool sent = commands->sendValue(index, value);
    session.setFormRecord(user_config);
    if (sent) {
        session.setFormValue(index, settings_get_value(&user_config, index));
        session.valuesSent({index});
    }
    applySession();
}

// ---------------------------------------------------------------------------
// Questions before something is lost.

bool MainWindow::confirmLoss(const QString& question, const QString& loss, const QString& proceed)
{
    QMessageBox box(QMessageBox::Warning, windowTitle(), question, QMessageBox::NoButton, this);
    box.setInformativeText(loss);
    QPushButton* go = box.addButton(proceed, QMessageBox::DestructiveRole);
    QPushButton* stay = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(stay);
    box.setEscapeButton(stay);
    box.exec();
    const bool proceeding = box.clickedButton() == go;
    qDebug().noquote() << question << (proceeding ? proceed : QString("Cancel")) << "-" << loss;
    return proceeding;
}

QString MainWindow::uploadLoss() const { return session.uploadLoss(); }
QString MainWindow::editsLoss(bool reboot) const { return session.editsLoss(reboot); }

void MainWindow::closeEvent(QCloseEvent* event)
{
    const SessionModel::Question q = session.question(SessionModel::Action::Close);
    if (!q.isEmpty() && !confirmLoss(q.title, q.detail, q.proceed)) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

// ---------------------------------------------------------------------------
// The form: its binding does the work.

void MainWindow::updateUIFromConfig() { form->show(); }
void MainWindow::updateConfigFromUI() { form->take(); }
void MainWindow::writeUnitsFromForm() { form->store(UNITS_VALUE_INDEX); }
uint32_t MainWindow::ownshipIcaoFromIcaoField() const { return form->icaoFromField(); }
void MainWindow::updateConfigValueLocal(settings_struct_index index, uint32_t value)
{
    form->setLocal(index, value);
    formValuesSet(index, index);
}
void MainWindow::pickColour(int row) { pickColourAt(settings_struct_index(SKY_COLOR_0_INDEX + row)); }

void MainWindow::pickColourAt(settings_struct_index index)
{
    form->pickColour(index);
    formValuesSet(index, index);
}

void MainWindow::fieldEdited(settings_struct_index index)
{
    form->edited(index);
    // The registration is three values.
    formValuesSet(index, index == REGISTRATION_1_INDEX ? REGISTRATION_3_INDEX : index);
}

void MainWindow::formValuesSet(settings_struct_index first, settings_struct_index last)
{
    session.setFormRecord(user_config);
    // A value set on the form is known, whether a load read it or not.
    for (int i = first; i <= last; ++i)
        session.setFormValue(settings_struct_index(i), settings_get_value(&user_config, settings_struct_index(i)));
    applySession();
}
void MainWindow::colourTextChanged(int row) { fieldEdited(settings_struct_index(SKY_COLOR_0_INDEX + row)); }
void MainWindow::markField(QWidget* field, const QString& why) { form->markField(field, why); }
void MainWindow::markRegistration() { form->markRegistration(); }
QString MainWindow::typedRegistration() const { return form->typedRegistration(); }
QString MainWindow::registrationProblem() const { return form->registrationProblem(); }
bool MainWindow::registrationSendable() { return form->registrationSendable(); }
void MainWindow::markIcao() { form->markIcao(); }
void MainWindow::markImplausibleLimits() { form->markImplausibleLimits(); }
bool MainWindow::icaoFieldValid() const { return form->icaoFieldValid(); }

void MainWindow::onUnitsChanged() { fieldEdited(UNITS_VALUE_INDEX); }
void MainWindow::onVminChanged(int) { fieldEdited(VMIN_INDEX); }
void MainWindow::onVs0Changed(int) { fieldEdited(VS0_INDEX); }
void MainWindow::onVs1Changed(int) { fieldEdited(VS1_INDEX); }
void MainWindow::onVfeChanged(int) { fieldEdited(VFE_INDEX); }
void MainWindow::onVn0Changed(int) { fieldEdited(VN0_INDEX); }
void MainWindow::onVneChanged(int) { fieldEdited(VNE_INDEX); }
void MainWindow::onVrefChanged(int) { fieldEdited(APPROACHSPEED_INDEX); }
void MainWindow::onVloChanged(int) { fieldEdited(VLO_INDEX); }
void MainWindow::onMinVoltChanged(double) { fieldEdited(MIN_VOLTS_INDEX); }
void MainWindow::onMaxVoltChanged(double) { fieldEdited(MAX_VOLTS_INDEX); }
void MainWindow::onMinVoltAlertChanged(double) { fieldEdited(MIN_VOLTS_ALERT_INDEX); }
void MainWindow::onMaxVoltAlertChanged(double) { fieldEdited(MAX_VOLTS_ALERT_INDEX); }
void MainWindow::onRegistrationChanged() { fieldEdited(REGISTRATION_1_INDEX); }
void MainWindow::onBacklightBrightnessChanged(int) { fieldEdited(BACKLIGHT_BRIGHTNESS_INDEX); }
void MainWindow::onTextBgAlphaChanged(int) { fieldEdited(TEXT_BG_ALPHA_INDEX); }
void MainWindow::onRollCorrectionChanged(double) { fieldEdited(ROLL_CORRECTION_INDEX); }
void MainWindow::onPitchCorrectionChanged(double) { fieldEdited(PITCH_CORRECTION_INDEX); }
void MainWindow::onOwnshipIcaoChanged() { fieldEdited(OWNSHIP_ICAO_INDEX); }
void MainWindow::onIcaoAddressTypeChanged() { fieldEdited(ICAO_ADDR_TYPE_INDEX); }
void MainWindow::onEmitterCatChanged(int) { fieldEdited(EMITTER_CAT_INDEX); }
void MainWindow::onMapViewChanged(int) { fieldEdited(MAP_DIR_INDEX); }
void MainWindow::onTermResChanged(int) { fieldEdited(TERM_RESISTOR_INDEX); }

void MainWindow::onSkyColorPickerClicked() { pickColourAt(SKY_COLOR_0_INDEX); }
void MainWindow::onSkyColor1PickerClicked() { pickColourAt(SKY_COLOR_1_INDEX); }
void MainWindow::onGroundColorPickerClicked() { pickColourAt(GROUND_COLOR_0_INDEX); }
void MainWindow::onGroundColor1PickerClicked() { pickColourAt(GROUND_COLOR_1_INDEX); }
void MainWindow::onApproachIndiColorPickerClicked() { pickColourAt(APPROACH_COLOR_INDEX); }
void MainWindow::onAirplaneColorPickerClicked() { pickColourAt(AIRPLANE_COLOR_INDEX); }
void MainWindow::onGreenArcColorPickerClicked() { pickColourAt(GREEN_ARC_COLOR_INDEX); }
void MainWindow::onYellowArcColorPickerClicked() { pickColourAt(YELLOW_ARC_COLOR_INDEX); }
void MainWindow::onRedArcColorPickerClicked() { pickColourAt(RED_ARC_COLOR_INDEX); }
void MainWindow::onGearIndiColorPickerClicked() { pickColourAt(GEAR_INDI_COLOR_INDEX); }
void MainWindow::onSkyColor0Changed() { fieldEdited(SKY_COLOR_0_INDEX); }
void MainWindow::onSkyColor1Changed() { fieldEdited(SKY_COLOR_1_INDEX); }
void MainWindow::onGroundColor0Changed() { fieldEdited(GROUND_COLOR_0_INDEX); }
void MainWindow::onGroundColor1Changed() { fieldEdited(GROUND_COLOR_1_INDEX); }
void MainWindow::onApproachIndiColorChanged() { fieldEdited(APPROACH_COLOR_INDEX); }
void MainWindow::onAirplaneColorChanged() { fieldEdited(AIRPLANE_COLOR_INDEX); }
void MainWindow::onGreenArcColorChanged() { fieldEdited(GREEN_ARC_COLOR_INDEX); }
void MainWindow::onYellowArcColorChanged() { fieldEdited(YELLOW_ARC_COLOR_INDEX); }
void MainWindow::onRedArcColorChanged() { fieldEdited(RED_ARC_COLOR_INDEX); }
void MainWindow::onGearIndiColorChanged() { fieldEdited(GEAR_INDI_COLOR_INDEX); }

// ---------------------------------------------------------------------------
// Which unit, over which link.

void MainWindow::setVirtualUnit(bool on) { connection->setVirtualUnit(on); }
void MainWindow::showLinkInUse() { connection->showLinkInUse(); }
QString MainWindow::linkHint() const { return connection->linkHint(); }
bool MainWindow::connectToUnit() { return connection->connectToUnit(); }
void MainWindow::lookForUnit() { connection->lookForUnit(); }
void MainWindow::setLinkChoice(LinkChoice choice) { connection->setLinkChoice(choice); }
void MainWindow::chooseCanInterface() { connection->chooseCanInterface(); }

void MainWindow::unitConnected(const QString& status)
{
    const COMM_INTERFACE_t link = comms->getActiveInterface();
    session.linkConnected(link == CAN_FD ? SessionModel::Link::CanFd : SessionModel::Link::UsbHid,
                          comms->serialNumber(link));
    // A load replaces the form; edits not yet sent are the owner's to keep.
    const int edits = session.editedFields().size();
    if (edits == 0)
        loadConfigFromDevice();
    else
        ui->statusbar->showMessage(status + QString(" - the form keeps %1 edit(s) not yet sent; Load reads the "
                                                    "unit's settings instead")
                                                .arg(edits));
    applySession();
}

// ---------------------------------------------------------------------------
// Settings files, and the copies kept before the unit's settings change.

uint32_t MainWindow::unitSerial() const { return files->unitSerial(); }
void MainWindow::rememberUnitRecord(const Settings_t& record, uint32_t checksum)
{
    files->rememberUnitRecord(record, checksum);
}
bool MainWindow::keepUnitBackup(const QString& what, const QString& keptBefore)
{
    return files->keepUnitBackup(what, keptBefore);
}

void MainWindow::exportSettings()
{
    const OwnerAction owner(ui->statusbar, "Export settings");
    if (sessionAllows(SessionModel::Action::Export) && linkReady())
        files->exportSettings();
}

void MainWindow::importSettings()
{
    const OwnerAction owner(ui->statusbar, "Import settings");
    if (!sessionAllows(SessionModel::Action::Import) || !linkReady())
        return;
    if (files->importSettings(session.question(SessionModel::Action::Import).detail))
        session.recordStored(user_config);
    applySession();
}

// ---------------------------------------------------------------------------
// Uploads.

void MainWindow::applyFirmwareUploadProgress(int bar_0_10000, const QString& status)
{
    uploads->applyProgress(Uploads::FIRMWARE_TAB, bar_0_10000, status);
}
void MainWindow::applyAirportUploadProgress(int bar_0_10000, const QString& status)
{
    uploads->applyProgress(Uploads::AIRPORT_TAB, bar_0_10000, status);
}
void MainWindow::updateEraseProgress(uint32_t pages_erased, uint32_t total_pages)
{
    uploads->showPercent("Erase Progress: %1 / %2 pages", pages_erased, total_pages);
}
void MainWindow::updateWriteProgress(uint32_t bytes_written, uint32_t total_bytes)
{
    uploads->showPercent("Write Progress: %1 / %2 bytes", bytes_written, total_bytes);
}
void MainWindow::updateVerifyProgress(uint32_t bytes_read, uint32_t total_bytes)
{
    uploads->showPercent("Verify Progress: %1 / %2 bytes", bytes_read, total_bytes);
}
bool MainWindow::uploadRunning() const { return uploads->running(); }
bool MainWindow::offerCanFdUpload(int tab) { return uploads->offerCanFd(tab); }
void MainWindow::browseForUpload(int tab)
{
    uploads->browse(tab);
    session.setUploadFile(uploadOf(tab), tab == Uploads::FIRMWARE_TAB ? firmwareFilePath : airportDbFilePath);
    applySession();
}

void MainWindow::startUpload(int tab)
{
    const OwnerAction owner(ui->statusbar, QString(tab == Uploads::FIRMWARE_TAB ? "Start firmware upload of %1"
                                                                                 : "Start airport database upload of %1")
                                               .arg(tab == Uploads::FIRMWARE_TAB ? firmwareFilePath : airportDbFilePath));
    // Refusals (no file, no link, the file's checks, the owner's answer) start nothing.
    const bool before = uploads->running();
    uploads->start(tab);
    if (!before && uploads->running())
        session.uploadStarted(uploadOf(tab));
    applySession();
}

void MainWindow::finishUpload(int tab) { uploads->finish(tab); }

void MainWindow::onBrowseClicked() { browseForUpload(Uploads::FIRMWARE_TAB); }
void MainWindow::onBrowseAirportsClicked() { browseForUpload(Uploads::AIRPORT_TAB); }
void MainWindow::onStartUpdateClicked() { startUpload(Uploads::FIRMWARE_TAB); }
void MainWindow::onStartAirportClicked() { startUpload(Uploads::AIRPORT_TAB); }

void MainWindow::onCancelUploadClicked()
{
    const OwnerAction owner(ui->statusbar, "Cancel upload");
    uploads->cancel();
    for (SessionModel::Upload u : {SessionModel::Upload::Firmware, SessionModel::Upload::Airports})
        session.uploadCancelled(u);
    applySession();
}
