#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "EFIS_shared/registration.h"
#include "EFIS_shared/settings_types.h"
#include "app/connection.h"
#include "app/session_model.h"
#include "comms/comms.h"

class FormBinding;
class LogWindow;
class SettingsCommands;
class SettingsFiles;
class Uploads;
class Ui_MainWindow;

// The working settings record and its companions; touched on the GUI thread only.
extern Settings_t user_config;
extern uint32_t mem_version;
extern uint32_t user_config_chk;
extern uint32_t user_config_sizeof;

void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

// The form's geometry is in pixels at 96 dpi; on a denser screen the whole
// window must grow with its fonts. Call before the application object is
// made.
void enableHighDpiScaling();

// The form places its 12 pt captions in fixed geometry; a condensed face,
// where the system has one, keeps them from being cut off.
void useCondensedApplicationFont();

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Each of these hands its work to one of the rooms below; the settings
    // commands and the settings files wait for a link that is free first.
    void updateUIFromConfig();
    void updateConfigFromUI();
    uint32_t ownshipIcaoFromIcaoField() const;

    void loadConfigFromDevice();
    void updateConfigValueAndSend(settings_struct_index index, uint32_t value);
    void updateConfigValueLocal(settings_struct_index index, uint32_t value);

    void applyFirmwareUploadProgress(int bar_0_10000, const QString& status);
    void applyAirportUploadProgress(int bar_0_10000, const QString& status);
    void updateEraseProgress(uint32_t pages_erased, uint32_t total_pages);
    void updateWriteProgress(uint32_t bytes_written, uint32_t total_bytes);
    void updateVerifyProgress(uint32_t bytes_read, uint32_t total_bytes);

    // Shared steps of the commands and handlers above.
    bool linkReady();
    bool readHeaderValue(settings_struct_index index, uint32_t* value);
    bool settingsLayoutKnown(uint32_t num_elements);
    void writeUnitsFromForm();
    void pickColour(int row);
    void colourTextChanged(int row);
    int sendValues(const std::set<settings_struct_index>& indices, std::set<settings_struct_index>* failed);
    bool uploadRunning() const;
    void browseForUpload(int tab);
    void startUpload(int tab);
    void finishUpload(int tab);

    // The links the tool tries, kept between runs with the CAN interface's
    // name.
    using LinkChoice = Connection::LinkChoice;
    static constexpr LinkChoice LINK_AUTO = Connection::LINK_AUTO;
    static constexpr LinkChoice LINK_USB = Connection::LINK_USB;
    static constexpr LinkChoice LINK_CANFD = Connection::LINK_CANFD;
    // Connects again over the links chosen, closing what was open, and loads
    // the settings unless that would replace edits not yet sent. False, with
    // the reason in the status bar, when no link was verified.
    bool connectToUnit();
    // The periodic look while no unit is connected: enumerates the unit's USB
    // interfaces without opening them and connects to one that has appeared.
    void lookForUnit();
    void setLinkChoice(LinkChoice choice);
    void chooseCanInterface();
    // What to check while no unit is connected, for the links chosen.
    QString linkHint() const;
    // Asks whether an upload about to go over USB should go over CAN FD when
    // both links reach the same unit, and routes it there if so. False when
    // the user cancelled the upload.
    bool offerCanFdUpload(int tab);

    // The build that talks to the simulated unit says so in the title and
    // next to the link, so nobody takes it for an aircraft's unit.
    void setVirtualUnit(bool on);
    void showLinkInUse();
    // A field the unit would not take as shown gets a red background and a
    // tooltip saying why; an empty `why` gives it back its own look.
    void markField(QWidget* field, const QString& why);
    void markRegistration();
    // The registration as the form would store it ("" when the field is
    // empty), and why the unit cannot take it ("" when it can).
    QString typedRegistration() const;
    QString registrationProblem() const;
    // False, with the reason in the status bar, when it cannot be sent.
    bool registrationSendable();
    void markIcao();
    void markImplausibleLimits();
    bool icaoFieldValid() const;

    // Settings files in the command-line tool's format, checked as it checks
    // them, and the copies kept before the unit's settings change.
    void exportSettings();
    void importSettings();
    // The serial number of the unit on the link in use.
    uint32_t unitSerial() const;
    void rememberUnitRecord(const Settings_t& record, uint32_t checksum);
    // Keeps the unit's settings as last read (read now when none were) as a
    // copy; false when none could be kept and the user chose not to go on
    // without one, with the status saying that `what` was not done.
    bool keepUnitBackup(const QString& what, const QString& keptBefore);

    Ui_MainWindow* ui;
    QString firmwareFilePath;
    QString airportDbFilePath;
    CommsManager* comms;
    std::set<settings_struct_index> changed_values;

    // The Log window, made when first asked for; at the end of the log, or
    // at the line of a failure's status text.
    void showLog(const QString& status);
    LogWindow* logWindow;
    int logRun;

    // Closing and Reboot ask first where something would be lost: an
    // upload cut short, edits the unit does not keep. The question, with
    // `loss` as its detail; true when the user goes on.
    bool confirmLoss(const QString& question, const QString& loss, const QString& proceed);
    QString uploadLoss() const;
    QString editsLoss(bool reboot) const;

    // Where the window stands with the unit; every action's control takes
    // its enabled state and tooltip from it, and its question.
    SessionModel session;
    // The model to the widgets: each action's control enabled with the
    // refusal as its tooltip, and the settings fields only once a record was
    // loaded. Called after each event the model hears of.
    void applySession();
    // False, with the action's refusal in the status bar, when the model
    // refuses it for another reason than the link (which linkReady says).
    bool sessionAllows(SessionModel::Action action);
    // An edit in the form goes to the record, then to the model.
    void fieldEdited(settings_struct_index index);
    void pickColourAt(settings_struct_index index);
    // The form set the values first..last of the record: the model hears of
    // the record and counts them as known.
    void formValuesSet(settings_struct_index first, settings_struct_index last);
    // Help: the owner's guide and the About box.
    void showGuide();
    void showAboutBox();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // A unit was connected: its settings are loaded unless the form holds
    // edits not yet sent.
    void unitConnected(const QString& status);

    // The rooms that do the window's work; the window's functions above
    // hand it to them. Made in this order, each from the ones before.
    std::unique_ptr<FormBinding> form;
    std::unique_ptr<SettingsFiles> files;
    std::unique_ptr<SettingsCommands> commands;
    std::unique_ptr<Uploads> uploads;
    std::unique_ptr<Connection> connection;

private slots:
    void onSaveClicked();
    void onLoadClicked();
    void onBrowseClicked();
    void onStartUpdateClicked();
    void onBrowseAirportsClicked();
    void onStartAirportClicked();
    void onCancelUploadClicked();
    void onSkyColorPickerClicked();
    void onSkyColor1PickerClicked();
    void onGroundColorPickerClicked();
    void onGroundColor1PickerClicked();
    void onApproachIndiColorPickerClicked();
    void onAirplaneColorPickerClicked();
    void onGreenArcColorPickerClicked();
    void onYellowArcColorPickerClicked();
    void onRedArcColorPickerClicked();
    void onGearIndiColorPickerClicked();
    void onUnitsChanged();
    void onVminChanged(int value);
    void onVs0Changed(int value);
    void onVs1Changed(int value);
    void onVfeChanged(int value);
    void onVn0Changed(int value);
    void onVneChanged(int value);
    void onVrefChanged(int value);
    void onVloChanged(int value);
    void onMinVoltChanged(double value);
    void onMaxVoltChanged(double value);
    void onMinVoltAlertChanged(double value);
    void onMaxVoltAlertChanged(double value);
    void onRegistrationChanged();
    void onSkyColor0Changed();
    void onSkyColor1Changed();
    void onGroundColor0Changed();
    void onGroundColor1Changed();
    void onApproachIndiColorChanged();
    void onAirplaneColorChanged();
    void onGreenArcColorChanged();
    void onYellowArcColorChanged();
    void onRedArcColorChanged();
    void onGearIndiColorChanged();
    void onBacklightBrightnessChanged(int value);
    void onTextBgAlphaChanged(int value);
    void onRollCorrectionChanged(double value);
    void onPitchCorrectionChanged(double value);
    void onOwnshipIcaoChanged();
    void onEmitterCatChanged(int index);
    void onMapViewChanged(int index);
    void onTermResChanged(int index);
    void onIcaoAddressTypeChanged();
    void onUpdateClicked();
    void onRebootClicked();

};

#endif
