#include "mainwindow.h"

#include <QAction>
#include <QActionGroup>
#include <QColor>
#include <QColorDialog>
#include <QApplication>
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonObject>
#include <QFontDatabase>
#include <QAction>
#include <QCloseEvent>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QPalette>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTextCursor>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "EFIS_shared/get_set.h"
#include "app/log_window.h"
#include "app/run_log.h"
#include "firmware_ops/firmware_ops.h"
#include "settings_doc/doc_files.h"
#include "settings_doc/settings_file.h"
#include "settings_doc/unit_record.h"
#include "ui_mainwindow.h"

Settings_t user_config;
uint32_t mem_version = 0;
uint32_t user_config_chk = 0;
uint32_t user_config_sizeof = 128;

namespace {

const char* const COLOR_STYLE = "background-color: %1;";
const char* const COLOR_PATTERN = "background-color: #([0-9a-fA-F]{6});";
const char* const COLOUR_SWATCH_STYLE = "QPushButton { border: 1px solid palette(dark); }"
                                        "QPushButton:focus { border: 2px solid palette(highlight); }"
                                        "QPushButton:pressed { border: 2px inset palette(dark); }";

// The record field of each row is reached through its settings index.
struct ColourRow {
    QPushButton* Ui_MainWindow::*button;
    const char* title;
    int r, g, b;  // reference colour offered in custom slot 1
    settings_struct_index index;
};

const ColourRow COLOUR_ROWS[10] = {
    {&Ui_MainWindow::color_picker_sky0, "Select Sky Color 0", 135, 206, 235, SKY_COLOR_0_INDEX},
    {&Ui_MainWindow::color_picker_sky1, "Select Sky Color 1", 135, 206, 235, SKY_COLOR_1_INDEX},
    {&Ui_MainWindow::color_picker_ground0, "Select Ground Color 0", 34, 139, 34, GROUND_COLOR_0_INDEX},
    {&Ui_MainWindow::color_picker_ground1, "Select Ground Color 1", 34, 139, 34, GROUND_COLOR_1_INDEX},
    {&Ui_MainWindow::color_picker_app_indi, "Select Approach Indicator Color", 255, 255, 0, APPROACH_COLOR_INDEX},
    {&Ui_MainWindow::color_picker_airplane, "Select Airplane Color", 255, 255, 255, AIRPLANE_COLOR_INDEX},
    {&Ui_MainWindow::color_picker_green, "Select Green Arc Color", 0, 255, 0, GREEN_ARC_COLOR_INDEX},
    {&Ui_MainWindow::color_picker_yellow, "Select Yellow Arc Color", 255, 255, 0, YELLOW_ARC_COLOR_INDEX},
    {&Ui_MainWindow::color_picker_red, "Select Red Arc Color", 255, 0, 0, RED_ARC_COLOR_INDEX},
    {&Ui_MainWindow::color_picker_gear, "Select Gear Indicator Color", 255, 255, 255, GEAR_INDI_COLOR_INDEX},
};

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

// Registration text of the form packed as the three link values.
void registrationFromForm(const QString& prefix, const QString& rest, uint32_t packed[3])
{
    unsigned char bytes[12];
    std::memset(bytes, 0, sizeof bytes);
    if (!rest.isEmpty()) {
        const QByteArray full = (prefix + rest).left(11).toLatin1();
        std::memcpy(bytes, full.constData(), size_t(qMin(full.size(), 11)));
    }
    std::memcpy(user_config.registration, bytes, sizeof bytes);
    for (int k = 0; k < 3; ++k)
        packed[k] = settings_get_value(&user_config, settings_struct_index(REGISTRATION_1_INDEX + k));
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

// Stores the settings record in the unit: the unit answers the store first
// with the erase of its settings storage, then with the acknowledgement.
int store_settings(CommsManager* comms, uint32_t crc)
{
    if (!comms || !comms->isConnected())
        return -1;
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = CANMSG_SAVE_USER_SETTINGS;
    msg.msg_len = 4;
    put_le32(msg.data, crc);
    if (comms->write(msg) <= 0) {
        qDebug() << "Failed to send store command";
        return -1;
    }
    // On CAN the acknowledgement wins arbitration over the flash
    // acknowledgement when both wait in the unit's queue: either order counts.
    bool erased = false;
    const bool answered = wait_for_ack_and_mx25_ack(comms, CANMSG_SAVE_USER_SETTINGS, &erased, nullptr, nullptr);
    if (!erased) {
        qDebug() << "Flash erase failed or timeout waiting for MX25 erase status";
        return -1;
    }
    qDebug() << "Flash erase succeeded";
    if (!answered) {
        qDebug() << "Store command failed: no valid ACK (or NACK) for save settings";
        return -1;
    }
    return 0;
}

// The record's ordinary values, 0 to 35.
std::set<settings_struct_index> allValues()
{
    std::set<settings_struct_index> all;
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i)
        all.insert(settings_struct_index(i));
    return all;
}

// A unit that stops answering (a pulled cable, a restart) would cost every
// remaining value of a command its full wait on the GUI thread; after this
// many failed in a row a command stops.
const int kUnansweredLimit = 3;

// Progress scale of both upload bars: the erase fills the first 1200 units,
// the write the remaining 8800.
const uint32_t kUploadBarMax = 10000;
const uint32_t kEraseBarWeight = 1200;

// Part of `whole` in percent; nothing of nothing is 0.
uint32_t percentOf(uint32_t part, uint32_t whole)
{
    return whole == 0 ? 0 : uint32_t(uint64_t(part) * 100 / whole);
}

// One per running upload, owned by its worker; reports go to `window`.
struct ThrottledUploadProgressCtx {
    using Clock = std::chrono::steady_clock;

    MainWindow* window = nullptr;
    Clock::time_point last_emit{};
    uint32_t last_posted_bar = 0xFFFFFFFFu;
    int last_phase = -2;
    // Where the write phase's throughput is measured from.
    Clock::time_point write_from{};
    uint32_t write_from_bytes = 0;

    uint32_t compute_bar(uint32_t current, uint32_t total, int phase) const
    {
        if (total == 0)
            return 0;
        if (phase == FW_PHASE_ERASE)
            return uint32_t(uint64_t(current) * kEraseBarWeight / total);
        return uint32_t(uint64_t(current) * (kUploadBarMax - kEraseBarWeight) / total) + kEraseBarWeight;
    }

    bool should_emit(uint32_t bar, int phase, uint32_t current, uint32_t total)
    {
        const Clock::time_point now = Clock::now();
        bool post = false;
        if (phase != last_phase) {
            last_phase = phase;
            post = true;
        } else if (current == total && total != 0) {
            post = true;
        } else if (last_posted_bar == 0xFFFFFFFFu || bar > last_posted_bar + 40) {
            post = true;
        } else if (std::chrono::duration_cast<std::chrono::milliseconds>(now - last_emit).count() >= 40) {
            post = true;
        }
        if (post) {
            last_posted_bar = bar;
            last_emit = now;
        }
        return post;
    }

    // The write phase's throughput counts from its first report.
    void note_progress(uint32_t current, int phase)
    {
        if (phase == FW_PHASE_WRITE && (write_from == Clock::time_point{} || current < write_from_bytes)) {
            write_from = Clock::now();
            write_from_bytes = current;
        }
    }

    // ", about N min left" once the write phase has run a few seconds, else
    // nothing.
    QString time_left(uint32_t current, uint32_t total, int phase) const
    {
        if (phase != FW_PHASE_WRITE || current <= write_from_bytes || current >= total)
            return QString();
        const double seconds = std::chrono::duration<double>(Clock::now() - write_from).count();
        if (seconds < 3.0)
            return QString();
        const double left = double(total - current) * seconds / double(current - write_from_bytes);
        if (left >= 90.0)
            return QString(", about %1 min left").arg(qRound(left / 60.0));
        return QString(", about %1 s left").arg(qMax(1, int(std::ceil(left))));
    }
};

// Posts a report to the window when the throttle lets it through.
void post_progress(uint32_t current, uint32_t total, int phase, void* user_data, const char* erase_text,
                   const char* write_text, void (MainWindow::*apply)(int, const QString&))
{
    ThrottledUploadProgressCtx* ctx = static_cast<ThrottledUploadProgressCtx*>(user_data);
    if (!ctx || !ctx->window)
        return;
    const uint32_t bar = ctx->compute_bar(current, total, phase);
    ctx->note_progress(current, phase);
    if (!ctx->should_emit(bar, phase, current, total))
        return;
    // Texts are made only for the reports that are posted, not per packet.
    const QString text = QString(phase == FW_PHASE_ERASE ? erase_text : write_text).arg(current).arg(total) +
                         ctx->time_left(current, total, phase);
    MainWindow* window = ctx->window;
    QMetaObject::invokeMethod(
        window, [window, bar, text, apply] { (window->*apply)(int(bar), text); }, Qt::QueuedConnection);
}

void fw_progress_callback(uint32_t current, uint32_t total, int phase, void* user_data)
{
    post_progress(current, total, phase, user_data, "Erasing: %1 / %2 blocks", "Uploading: %1 / %2 bytes",
                  &MainWindow::applyFirmwareUploadProgress);
}

void airport_progress_callback(uint32_t current, uint32_t total, int phase, void* user_data)
{
    post_progress(current, total, phase, user_data, "Erasing airport region: %1 / %2 blocks",
                  "Uploading airport database: %1 / %2 bytes", &MainWindow::applyAirportUploadProgress);
}

// The two upload tabs: their widgets, their members and their texts.
enum { FIRMWARE_TAB = 0, AIRPORT_TAB = 1 };

struct UploadTab {
    upload_kind_t kind;
    QPushButton* Ui_MainWindow::*browse;
    QTextEdit* Ui_MainWindow::*file;
    QPushButton* Ui_MainWindow::*start;
    QPushButton* Ui_MainWindow::*cancel;
    QProgressBar* Ui_MainWindow::*bar;
    QString MainWindow::*path;
    QPointer<QThread> MainWindow::*thread;
    const char* caption;
    const char* filter;
    const char* no_file;
    const char* not_connected_log;
    const char* already_running;
    const char* other_running;
    const char* starting;
    const char* finished;
    const char* failed;   // followed by the reason
    const char* stopped;  // cancelled: followed by the reason
};

const UploadTab UPLOAD_TABS[2] = {
    {UPLOAD_FIRMWARE, &Ui_MainWindow::pushButton_browse, &Ui_MainWindow::text_firmware_file,
     &Ui_MainWindow::pushButton_start_update, &Ui_MainWindow::pushButton_cancel_fw,
     &Ui_MainWindow::progressBar_firmware, &MainWindow::firmwareFilePath, &MainWindow::firmwareUploadThread,
     "Select Firmware File", "Firmware Files (*.bin);;All Files (*)", "No firmware file selected",
     "Firmware update failed: CommsManager not connected", "Firmware update already in progress",
     "Finish airport transfer before firmware update", "Starting firmware update...", "Firmware update completed",
     "Error: Firmware update failed - ", "Warning: Firmware update stopped - "},
    {UPLOAD_AIRPORT_DB, &Ui_MainWindow::pushButton_browse_airports, &Ui_MainWindow::text_firmware_file_2,
     &Ui_MainWindow::pushButton_start_airport, &Ui_MainWindow::pushButton_cancel_airport,
     &Ui_MainWindow::progressBar_airports, &MainWindow::airportDbFilePath, &MainWindow::airportUploadThread,
     "Select Airport Database", "Database Files (*.db);;All Files (*)", "No airport database file selected",
     "Airport upload failed: CommsManager not connected", "Airport transfer already in progress",
     "Finish firmware update before airport transfer", "Starting airport database transfer...",
     "Airport database transfer finished", "Error: Airport database transfer failed - ",
     "Warning: Airport database transfer stopped - "},
};

// Where a failure's details are, for its status text: the log file by name.
QString seeTheLog()
{
    const RunLog& log = RunLog::instance();
    return log.filePath().isEmpty() ? QString("see View > Log for details")
                                    : "see the log for details: " + log.shownFilePath();
}

// What an upload takes away while it owns the link: the settings commands,
// the reboot and the other tab's browse and start.
std::array<QWidget*, 6> linkControls(Ui_MainWindow* ui, const UploadTab& other)
{
    return {ui->pushButton_load, ui->pushButton_update, ui->pushButton_save,
            ui->pushButton_reboot, ui->*other.browse, ui->*other.start};
}

// A correction that is not a number would reach the unit's attitude
// solution as garbage; it is as good as unread.
bool usableValue(settings_struct_index index, uint32_t value)
{
    if (index != ROLL_CORRECTION_INDEX && index != PITCH_CORRECTION_INDEX)
        return true;
    float f;
    std::memcpy(&f, &value, sizeof f);
    return std::isfinite(f);
}

// What the connection found but could not use (a unit in use by another
// instance, a node that cannot be opened, can0 not in CAN FD mode, several
// units on the bus); empty when it found nothing.
QString linkTrouble(const CommsManager& comms)
{
    QStringList why;
    for (COMM_INTERFACE_t link : {USB_HID, CAN_FD}) {
        if (!comms.connectFailure(link).empty())
            why << QString::fromStdString(comms.connectFailure(link));
    }
    return why.join("; ");
}

// The owner's link choice, kept between runs in
// ~/.config/skarvel-efis-config/skarvel-efis-config.conf (named here, so the
// file is the same whatever the application object is called).
const char* const SETTINGS_NAME = "skarvel-efis-config";
const char* const LINK_KEY = "connection/link";
const char* const CAN_INTERFACE_KEY = "connection/can_interface";
const char* const DEFAULT_CAN_INTERFACE = "can0";
// Stored as the command-line tool's --link names them, by LinkChoice.
const char* const LINK_NAMES[3] = {"auto", "usb", "can"};
const char* const LINK_TEXTS[3] = {"&Auto (USB first)", "&USB only", "CAN &FD only"};

// A name the kernel could give an interface: 1 to IFNAMSIZ - 1 bytes, no
// slash, colon or white space, not "." or "..".
bool canInterfaceNameValid(const QString& name)
{
    static const QRegularExpression allowed("^[^/:\\s]+$");
    return allowed.match(name).hasMatch() && name.toUtf8().size() <= 15 && name != "." && name != "..";
}

// Seconds per 64-byte packet of an upload, from bench_uploads: the 851 968
// packets of a full airport database take about 72 minutes over USB (each
// packet's report and its answer wait for the 1 ms frames of full speed) and
// about 6 over CAN FD at 1 and 5 Mbit/s.
const double kUsbPacketSeconds = 72.0 * 60.0 / 851968.0;
const double kCanPacketSeconds = 6.0 * 60.0 / 851968.0;

QString aboutDuration(double seconds)
{
    if (seconds >= 90.0)
        return QString("about %1 minutes").arg(qRound(seconds / 60.0));
    return QString("about %1 seconds").arg(qMax(1, qRound(seconds)));
}

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
        // What was printed on standard output before comes first in the log.
        RunLog& log = RunLog::instance();
        log.takeStandardOutput();
        std::fputs(text.constData(), stderr);
        log.append(text);
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
      unknown_values(allValues()),
      unsaved_values(),
      firmwareUploadThread(nullptr),
      airportUploadThread(nullptr),
      uploadCancel(false),
      uploadSucceeded(false),
      airportDatabaseClosed(false),
      uploadReason(),
      heldControls(),
      linkLabel(nullptr),
      virtualUnit(false),
      linkChoice(LINK_AUTO),
      canInterface(DEFAULT_CAN_INTERFACE),
      reconnectAction(nullptr),
      linkActions(),
      canInterfaceAction(nullptr),
      reconnectButton(nullptr),
      unitWatch(nullptr),
      attemptedUsbPaths(),
      lookedUsbPaths(),
      unitRecord(),
      unitRecordChecksum(0),
      unitRecordSerial(0xFFFFFFFFu),
      unmarkedLooks(),
      logWindow(nullptr),
      logRun(0)
{
    // Each window's life is one run of the log.
    logRun = RunLog::instance().startRun();
    qInstallMessageHandler(customMessageHandler);
    ui->setupUi(this);
    // The log: View > Log, and a click on an "Error:" text opens it at that
    // failure, which the log records after the lines that led to it.
    QAction* logAction = menuBar()->addMenu("&View")->addAction("&Log", this, [this] { showLog(QString()); });
    logAction->setObjectName("actionLog");
    logAction->setShortcut(QKeySequence("Ctrl+L"));
    // The form's geometry is fixed: the menu's line comes on top of it.
    resize(width(), height() + menuBar()->sizeHint().height());
    openOnErrorClick(ui->statusbar, [this](const QString& status) { showLog(status); });
    connect(ui->statusbar, &QStatusBar::messageChanged, this, [](const QString& message) {
        if (!message.startsWith("Error:"))
            return;
        RunLog& log = RunLog::instance();
        log.takeStandardOutput();
        log.append(statusLine(message));
    });
    ui->statusbar->showMessage("Initializing...");
    linkLabel = new QLabel(this);
    linkLabel->setObjectName("label_link");
    // Set apart from the messages, which run up to it.
    linkLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    linkLabel->setMargin(2);
    ui->statusbar->addPermanentWidget(linkLabel);
    reconnectButton = new QPushButton("Reconnect", this);
    reconnectButton->setObjectName("pushButton_reconnect");
    reconnectButton->hide();
    ui->statusbar->addPermanentWidget(reconnectButton);
    connect(reconnectButton, &QPushButton::clicked, this, &MainWindow::connectToUnit);

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
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget*) {
        if (old == ui->text_registration_num || old == ui->text_icao)
            showFromStart(static_cast<QPlainTextEdit*>(old));
    });

    // Limits that contradict each other are marked as soon as they are entered.
    for (QSpinBox* box : {ui->spinBox_vs0, ui->spinBox_vs1, ui->spinBox_vfe, ui->spinBox_vn0, ui->spinBox_vne,
                          ui->spinBox_vlo})
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this, &MainWindow::markImplausibleLimits);
    for (QDoubleSpinBox* box : {ui->min_volt_alert_value, ui->min_volt_warn_value, ui->max_volt_warn_value,
                                ui->max_volt_alert_value})
        connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &MainWindow::markImplausibleLimits);

    // The connection is the owner's: which links, which CAN interface, and
    // when to try again.
    {
        QSettings stored(SETTINGS_NAME, SETTINGS_NAME);
        const int choice = int(std::find(std::begin(LINK_NAMES), std::end(LINK_NAMES),
                                         stored.value(LINK_KEY).toString()) -
                               std::begin(LINK_NAMES));
        linkChoice = choice < 3 ? LinkChoice(choice) : LINK_AUTO;
        const QString name = stored.value(CAN_INTERFACE_KEY, DEFAULT_CAN_INTERFACE).toString();
        canInterface = canInterfaceNameValid(name) ? name : QString(DEFAULT_CAN_INTERFACE);
    }
    // The form's fixed height has no room for a menu bar: the window grows
    // to keep the whole form, with its margins, in view below it.
    const QRect form = ui->tabWidget->geometry();
    ui->centralwidget->setMinimumSize(form.right() + 1 + form.left(), form.bottom() + 1 + form.top());
    QMenu* menu = ui->menubar->addMenu("&Connection");
    menu->setObjectName("menu_connection");
    reconnectAction = menu->addAction("&Reconnect", this, &MainWindow::connectToUnit, QKeySequence("Ctrl+R"));
    reconnectAction->setObjectName("action_reconnect");
    menu->addSeparator();
    QActionGroup* links = new QActionGroup(this);
    for (int i = 0; i < 3; ++i) {
        linkActions[i] = menu->addAction(LINK_TEXTS[i]);
        linkActions[i]->setObjectName(QString("action_link_") + LINK_NAMES[i]);
        linkActions[i]->setCheckable(true);
        linkActions[i]->setChecked(i == linkChoice);
        links->addAction(linkActions[i]);
        connect(linkActions[i], &QAction::triggered, this, [this, i] { setLinkChoice(LinkChoice(i)); });
    }
    canInterfaceAction = menu->addAction(QString("CAN &Interface (%1)...").arg(canInterface), this,
                                         &MainWindow::chooseCanInterface);
    canInterfaceAction->setObjectName("action_can_interface");
    // A unit plugged in later is found without a click.
    unitWatch = new QTimer(this);
    unitWatch->setInterval(2000);
    connect(unitWatch, &QTimer::timeout, this, &MainWindow::lookForUnit);
    unitWatch->start();

    // Gives a unit that was just plugged in a moment before the first exchange.
    QThread::msleep(100);

    if (!connectToUnit())
        qDebug() << "Failed to establish connection via USB HID or CAN FD";
}

MainWindow::~MainWindow()
{
    // Focus moves while the form goes; the form is gone before the window.
    disconnect(qApp, nullptr, this, nullptr);
    // A worker uses the link manager, so the manager must outlive it: the
    // upload is told to stop at its next block or packet boundary (it then
    // leaves the airport database closed), and the window waits for it.
    uploadCancel = true;
    for (QPointer<QThread>* t : {&firmwareUploadThread, &airportUploadThread}) {
        if (*t && (*t)->isRunning()) {
            if (!(*t)->wait(120000)) {
                while (*t && (*t)->isRunning())
                    (*t)->wait(1000);
            }
        }
        // Its finish handler and deleteLater will not run any more.
        delete t->data();
    }
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
// Record to form and back.

void MainWindow::updateUIFromConfig()
{
    QWidget* const blocked[] = {
        ui->comboBox_airspeed,     ui->comboBox_altitude,     ui->comboBox_temp,
        ui->comboBox_pressure,     ui->spinBox_vmin,          ui->spinBox_vs0,
        ui->spinBox_vs1,           ui->spinBox_vfe,           ui->spinBox_vn0,
        ui->spinBox_vne,           ui->spinBox_vref,          ui->spinBox_vlo,
        ui->min_volt_warn_value,   ui->max_volt_warn_value,   ui->min_volt_alert_value,
        ui->max_volt_alert_value,  ui->text_registration_num, ui->comboBox_reg_prefix,
        ui->backlight_slider,      ui->text_bg_alpha_slider,  ui->roll_corr_spinbox,
        ui->pitch_corr_spinbox,    ui->comboBox_emitter_cat,  ui->text_icao,
        ui->radioButton_use_icao,  ui->radioButton_rand_icao, ui->comboBox_map_view,
        ui->comboBox_term_res,
    };
    for (QWidget* w : blocked)
        w->blockSignals(true);

    for (const ColourRow& row : COLOUR_ROWS)
        (ui->*row.button)->setStyleSheet(colourStyle(settings_get_value(&user_config, row.index)));

    const unit_bits_t& bits = user_config.units.bits;
    ui->comboBox_airspeed->setCurrentIndex(bits.is_mph ? 0 : bits.is_knots ? 1 : bits.is_kph ? 2 : 1);
    ui->comboBox_altitude->setCurrentIndex(bits.is_meters ? 1 : 0);
    ui->comboBox_temp->setCurrentIndex(bits.is_celsius ? 1 : 0);
    ui->comboBox_pressure->setCurrentIndex(bits.is_mbar ? 1 : 0);

    ui->spinBox_vmin->setValue(user_config.vspeeds.Vmin);
    ui->spinBox_vs0->setValue(user_config.vspeeds.Vs0);
    ui->spinBox_vs1->setValue(user_config.vspeeds.Vs1);
    ui->spinBox_vfe->setValue(user_config.vspeeds.Vfe);
    ui->spinBox_vn0->setValue(user_config.vspeeds.Vn0);
    ui->spinBox_vne->setValue(user_config.vspeeds.Vne);
    ui->spinBox_vref->setValue(user_config.vspeeds.VRef);
    ui->spinBox_vlo->setValue(user_config.vspeeds.Vlo);
    ui->min_volt_warn_value->setValue(user_config.volt_warnings.min_volts / 10.0);
    ui->max_volt_warn_value->setValue(user_config.volt_warnings.max_volts / 10.0);
    ui->min_volt_alert_value->setValue(user_config.volt_alerts.min_volts / 10.0);
    ui->max_volt_alert_value->setValue(user_config.volt_alerts.max_volts / 10.0);

    const unsigned char* reg = reinterpret_cast<const unsigned char*>(user_config.registration);
    bool erased = true;
    for (int i = 0; i < 12; ++i)
        erased = erased && reg[i] == 0xFF;
    int len = 0;
    while (!erased && len < 11 && reg[len] != 0x00 && reg[len] != 0xFF)
        ++len;
    if (erased || len == 0) {
        ui->comboBox_reg_prefix->setCurrentText("N");
        ui->text_registration_num->setPlainText("");
    } else {
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

    ui->backlight_slider->setValue(int32_t(user_config.backlight_brightness));
    ui->text_bg_alpha_slider->setValue(qMin(int32_t(user_config.text_bg_alpha), 254));
    ui->roll_corr_spinbox->setValue(double(user_config.roll_correction));
    ui->pitch_corr_spinbox->setValue(double(user_config.pitch_correction));

    ui->text_icao->setPlainText(icaoText(user_config.ownship_icao));

    const int emitterLast = ui->comboBox_emitter_cat->count() - 1;
    ui->comboBox_emitter_cat->setCurrentIndex(qBound(0, int32_t(user_config.emitter_cat), emitterLast));
    if (user_config.icao_address_type == 1)
        ui->radioButton_rand_icao->setChecked(true);
    else
        ui->radioButton_use_icao->setChecked(true);
    int map = int32_t(user_config.map_track);
    if (map < 0 || map > ui->comboBox_map_view->count() - 1)
        map = 0;
    ui->comboBox_map_view->setCurrentIndex(map);
    ui->comboBox_term_res->setCurrentIndex(user_config.enable_term_resistor == 0 ? 1 : 0);

    for (QWidget* w : blocked)
        w->blockSignals(false);

    showFromStart(ui->text_registration_num);
    showFromStart(ui->text_icao);
    markRegistration();
    markIcao();
    markImplausibleLimits();
}

void MainWindow::writeUnitsFromForm()
{
    unit_bits_t& bits = user_config.units.bits;
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
}

void MainWindow::updateConfigFromUI()
{
    auto set = [](settings_struct_index index, uint32_t value) { settings_set_value(&user_config, index, &value); };

    for (const ColourRow& row : COLOUR_ROWS) {
        uint32_t value;
        if (colourFromStyle((ui->*row.button)->styleSheet(), &value))
            set(row.index, value);
    }

    writeUnitsFromForm();
    set(UNITS_VALUE_INDEX, user_config.units.units_value);

    set(VMIN_INDEX, uint32_t(ui->spinBox_vmin->value()));
    set(VS0_INDEX, uint32_t(ui->spinBox_vs0->value()));
    set(VS1_INDEX, uint32_t(ui->spinBox_vs1->value()));
    set(VFE_INDEX, uint32_t(ui->spinBox_vfe->value()));
    set(VN0_INDEX, uint32_t(ui->spinBox_vn0->value()));
    set(VNE_INDEX, uint32_t(ui->spinBox_vne->value()));
    set(APPROACHSPEED_INDEX, uint32_t(ui->spinBox_vref->value()));
    set(VLO_INDEX, uint32_t(ui->spinBox_vlo->value()));

    set(MIN_VOLTS_INDEX, voltTenths(ui->min_volt_warn_value->value()));
    set(MAX_VOLTS_INDEX, voltTenths(ui->max_volt_warn_value->value()));
    set(MIN_VOLTS_ALERT_INDEX, voltTenths(ui->min_volt_alert_value->value()));
    set(MAX_VOLTS_ALERT_INDEX, voltTenths(ui->max_volt_alert_value->value()));

    uint32_t packed[3];
    registrationFromForm(ui->comboBox_reg_prefix->currentText(), ui->text_registration_num->toPlainText(), packed);
    set(REGISTRATION_1_INDEX, packed[0]);
    set(REGISTRATION_2_INDEX, packed[1]);
    set(REGISTRATION_3_INDEX, packed[2]);

    set(BACKLIGHT_BRIGHTNESS_INDEX, uint32_t(ui->backlight_slider->value()));
    set(TEXT_BG_ALPHA_INDEX, uint32_t(ui->text_bg_alpha_slider->value()));
    set(ROLL_CORRECTION_INDEX, floatBits(ui->roll_corr_spinbox->value()));
    set(PITCH_CORRECTION_INDEX, floatBits(ui->pitch_corr_spinbox->value()));
    if (icaoFieldValid())
        set(OWNSHIP_ICAO_INDEX, ownshipIcaoFromIcaoField());
    set(ICAO_ADDR_TYPE_INDEX, ui->radioButton_rand_icao->isChecked() ? 1u : 0u);
    set(EMITTER_CAT_INDEX, uint32_t(ui->comboBox_emitter_cat->currentIndex()));
    set(MAP_DIR_INDEX, uint32_t(ui->comboBox_map_view->currentIndex()));
    set(TERM_RESISTOR_INDEX, ui->comboBox_term_res->currentIndex() == 0 ? 1u : 0u);
}

uint32_t MainWindow::ownshipIcaoFromIcaoField() const
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

void MainWindow::onUnitsChanged()
{
    writeUnitsFromForm();
    updateConfigValueLocal(UNITS_VALUE_INDEX, user_config.units.units_value);
}

void MainWindow::onRegistrationChanged()
{
    dropLineBreaks(ui->text_registration_num);
    uint32_t packed[3];
    registrationFromForm(ui->comboBox_reg_prefix->currentText(), ui->text_registration_num->toPlainText(), packed);
    updateConfigValueLocal(REGISTRATION_1_INDEX, packed[0]);
    updateConfigValueLocal(REGISTRATION_2_INDEX, packed[1]);
    updateConfigValueLocal(REGISTRATION_3_INDEX, packed[2]);
    markRegistration();
}

void MainWindow::onIcaoAddressTypeChanged()
{
    updateConfigValueLocal(ICAO_ADDR_TYPE_INDEX, ui->radioButton_rand_icao->isChecked() ? 1u : 0u);
}

// ---------------------------------------------------------------------------
// Per-field edits.

void MainWindow::updateConfigValueLocal(settings_struct_index index, uint32_t value)
{
    if (settings_set_value(&user_config, index, &value)) {
        changed_values.insert(index);
        unknown_values.erase(index);
    } else {
        qDebug() << "Error setting value for index" << int(index);
    }
}

void MainWindow::updateConfigValueAndSend(settings_struct_index index, uint32_t value)
{
    if (!linkReady())
        return;
    if (!settings_set_value(&user_config, index, &value)) {
        qDebug() << "Error setting value for index" << int(index);
        ui->statusbar->showMessage("Error: Failed to update configuration");
        return;
    }
    if (set_value(comms, SETTINGS_COMMS, uint8_t(index), value) != 0) {
        qDebug() << "Error updating value for index" << int(index);
        ui->statusbar->showMessage("Error: Failed to send configuration to device");
        return;
    }
    changed_values.insert(index);
    unknown_values.erase(index);
    unsaved_values.insert(index);
    ui->statusbar->showMessage("Configuration updated successfully");
}

void MainWindow::onVminChanged(int value) { updateConfigValueLocal(VMIN_INDEX, uint32_t(value)); }
void MainWindow::onVs0Changed(int value) { updateConfigValueLocal(VS0_INDEX, uint32_t(value)); }
void MainWindow::onVs1Changed(int value) { updateConfigValueLocal(VS1_INDEX, uint32_t(value)); }
void MainWindow::onVfeChanged(int value) { updateConfigValueLocal(VFE_INDEX, uint32_t(value)); }
void MainWindow::onVn0Changed(int value) { updateConfigValueLocal(VN0_INDEX, uint32_t(value)); }
void MainWindow::onVneChanged(int value) { updateConfigValueLocal(VNE_INDEX, uint32_t(value)); }
void MainWindow::onVrefChanged(int value) { updateConfigValueLocal(APPROACHSPEED_INDEX, uint32_t(value)); }
void MainWindow::onVloChanged(int value) { updateConfigValueLocal(VLO_INDEX, uint32_t(value)); }
void MainWindow::onMinVoltChanged(double value) { updateConfigValueLocal(MIN_VOLTS_INDEX, voltTenths(value)); }
void MainWindow::onMaxVoltChanged(double value) { updateConfigValueLocal(MAX_VOLTS_INDEX, voltTenths(value)); }
void MainWindow::onMinVoltAlertChanged(double value)
{
    updateConfigValueLocal(MIN_VOLTS_ALERT_INDEX, voltTenths(value));
}
void MainWindow::onMaxVoltAlertChanged(double value)
{
    updateConfigValueLocal(MAX_VOLTS_ALERT_INDEX, voltTenths(value));
}
void MainWindow::onBacklightBrightnessChanged(int value)
{
    updateConfigValueLocal(BACKLIGHT_BRIGHTNESS_INDEX, uint32_t(value));
}
void MainWindow::onTextBgAlphaChanged(int value) { updateConfigValueLocal(TEXT_BG_ALPHA_INDEX, uint32_t(value)); }
void MainWindow::onRollCorrectionChanged(double value)
{
    updateConfigValueLocal(ROLL_CORRECTION_INDEX, floatBits(value));
}
void MainWindow::onPitchCorrectionChanged(double value)
{
    updateConfigValueLocal(PITCH_CORRECTION_INDEX, floatBits(value));
}
void MainWindow::onOwnshipIcaoChanged()
{
    dropLineBreaks(ui->text_icao);
    // A text that is no address leaves the last one in the record, not 000000.
    if (icaoFieldValid())
        updateConfigValueLocal(OWNSHIP_ICAO_INDEX, ownshipIcaoFromIcaoField());
    markIcao();
}
void MainWindow::onEmitterCatChanged(int index) { updateConfigValueLocal(EMITTER_CAT_INDEX, uint32_t(index)); }
void MainWindow::onMapViewChanged(int index) { updateConfigValueLocal(MAP_DIR_INDEX, uint32_t(index)); }
void MainWindow::onTermResChanged(int index) { updateConfigValueLocal(TERM_RESISTOR_INDEX, index == 0 ? 1u : 0u); }

// ---------------------------------------------------------------------------
// What the unit will get, at a glance.

void MainWindow::markField(QWidget* field, const QString& why)
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

QString MainWindow::typedRegistration() const
{
    // An empty field clears the registration; the prefix alone is not stored.
    const QString rest = ui->text_registration_num->toPlainText();
    return rest.isEmpty() ? QString() : ui->comboBox_reg_prefix->currentText() + rest;
}

QString MainWindow::registrationProblem() const
{
    const QByteArray typed = typedRegistration().toUtf8();
    return QString::fromLatin1(registration_check_text(registration_check(typed.constData(), size_t(typed.size()))));
}

void MainWindow::markRegistration()
{
    const QString problem = registrationProblem();
    QString why;
    if (!problem.isEmpty())
        why = QString("Registration \"%1\" cannot be stored - %2").arg(typedRegistration(), problem);
    markField(ui->text_registration_num, why);
    showFieldWarning(ui->statusbar, "Registration", why);
}

bool MainWindow::registrationSendable()
{
    const QString problem = registrationProblem();
    if (problem.isEmpty())
        return true;
    qDebug().noquote() << "Registration" << typedRegistration() << "not sent:" << problem;
    ui->statusbar->showMessage(
        QString("Error: registration \"%1\" cannot be stored - fix the marked field").arg(typedRegistration()));
    return false;
}

bool MainWindow::icaoFieldValid() const
{
    static const QRegularExpression address("^[0-9a-fA-F]{1,6}$");
    return address.match(ui->text_icao->toPlainText().trimmed()).hasMatch();
}

void MainWindow::markIcao()
{
    QString why;
    if (!icaoFieldValid())
        why = QString("ICAO address takes 1 to 6 hexadecimal digits - the settings keep %1")
                  .arg(icaoText(user_config.ownship_icao));
    markField(ui->text_icao, why);
    showFieldWarning(ui->statusbar, "ICAO address", why);
}

// Speeds and voltage limits that contradict each other: the user decides,
// nothing is refused, but both ends of each contradiction are marked, by the
// rule the command-line tool warns by.
void MainWindow::markImplausibleLimits()
{
    const std::pair<settings_struct_index, QSpinBox*> speeds[] = {
        {VS0_INDEX, ui->spinBox_vs0}, {VS1_INDEX, ui->spinBox_vs1}, {VFE_INDEX, ui->spinBox_vfe},
        {VN0_INDEX, ui->spinBox_vn0}, {VNE_INDEX, ui->spinBox_vne}, {VLO_INDEX, ui->spinBox_vlo},
    };
    const std::pair<settings_struct_index, QDoubleSpinBox*> volts[] = {
        {MIN_VOLTS_ALERT_INDEX, ui->min_volt_alert_value},
        {MIN_VOLTS_INDEX, ui->min_volt_warn_value},
        {MAX_VOLTS_INDEX, ui->max_volt_warn_value},
        {MAX_VOLTS_ALERT_INDEX, ui->max_volt_alert_value},
    };
    // The form's values as the record would get them.
    Settings_t shown = user_config;
    std::map<settings_struct_index, QWidget*> boxes;
    for (const auto& s : speeds) {
        uint32_t value = uint32_t(s.second->value());
        settings_set_value(&shown, s.first, &value);
        boxes[s.first] = s.second;
    }
    for (const auto& v : volts) {
        uint32_t value = voltTenths(v.second->value());
        settings_set_value(&shown, v.first, &value);
        boxes[v.first] = v.second;
    }
    std::map<QWidget*, QStringList> why;
    for (const settings_doc::LimitConflict& c : settings_doc::limit_conflicts(shown)) {
        why[boxes[c.low]] << c.text;
        why[boxes[c.high]] << c.text;
    }
    for (const auto& b : boxes)
        markField(b.second, why[b.second].join('\n'));
}

// ---------------------------------------------------------------------------
// Which unit, over which link.

void MainWindow::setVirtualUnit(bool on)
{
    virtualUnit = on;
    setWindowTitle(on ? "Skarvel EFIS Config - virtual unit" : "Skarvel EFIS Config");
    showLinkInUse();
}

void MainWindow::showLinkInUse()
{
    QString text = "not connected";
    if (comms && comms->isConnected()) {
        const COMM_INTERFACE_t link = comms->getActiveInterface();
        const uint32_t serial = comms->serialNumber(link);
        text = QString(link == CAN_FD ? "CAN FD" : "USB HID") + ", serial " +
               (serial == 0xFFFFFFFFu ? QString("unknown")
                                      : "0x" + QString::number(serial, 16).rightJustified(8, '0').toUpper());
        // Without a choice the first unit plugged in is used.
        if (link == USB_HID && comms->usbUnitsFound() > 1)
            text += QString(", 1 of %1 units").arg(comms->usbUnitsFound());
    } else if (comms && !linkTrouble(*comms).isEmpty()) {
        text += ": " + linkTrouble(*comms);
    } else if (comms) {
        text = linkHint();
    }
    if (virtualUnit)
        text = "virtual unit - " + text;
    // A long reason would widen the window past the screen and leave the
    // message no room: the indicator shows its start, the tip all of it.
    const QFontMetrics metrics = linkLabel->fontMetrics();
    linkLabel->setText(metrics.elidedText(text, Qt::ElideRight, metrics.averageCharWidth() * 54));
    linkLabel->setToolTip(text);
    reconnectButton->setVisible(comms && !comms->isConnected());
}

QString MainWindow::linkHint() const
{
    // Short enough to be read whole beside the status message.
    if (linkChoice == LINK_USB)
        return "not connected by USB: check cable and udev rule";
    if (linkChoice == LINK_CANFD)
        return QString("not connected on %1: check it is up, in FD mode").arg(canInterface);
    return QString("not connected: check USB cable, udev rule or %1").arg(canInterface);
}

bool MainWindow::connectToUnit()
{
    // The upload's worker uses the link manager until it ends.
    if (uploadRunning()) {
        ui->statusbar->showMessage("Error: An upload is using the link - reconnect when it has finished");
        return comms && comms->isConnected();
    }
    // A fresh manager: the old one's links and locks go with it, so the unit
    // it held can be taken again.
    delete comms;
    comms = new CommsManager();
    const bool useUsb = linkChoice != LINK_CANFD;
    const bool useCan = linkChoice != LINK_USB;
    attemptedUsbPaths = useUsb ? USBHID::unitPaths(vendor_id, product_id) : std::vector<std::string>();
    lookedUsbPaths = attemptedUsbPaths;
    const bool connected = comms->establish_connection(useUsb, useCan, canInterface.toStdString());
    showLinkInUse();
    if (!connected) {
        const QString why = linkTrouble(*comms);
        const QString where = linkChoice == LINK_USB     ? QString("USB")
                              : linkChoice == LINK_CANFD ? "CAN FD on " + canInterface
                                                         : QString("USB or CAN FD");
        ui->statusbar->showMessage(why.isEmpty()
                                       ? QString("Failed to connect to EFIS via %1 - please check connections").arg(where)
                                       : "Error: " + why);
        return false;
    }
    USBHID* usb = comms->getUSBHID();
    CANFD* can = comms->getCANFD();
    QString text;
    if (usb && usb->isConnected() && can && can->isConnected())
        text = "Connected via both USB HID and CAN FD";
    else if (comms->getActiveInterface() == USB_HID)
        text = "Connected via USB HID";
    else
        text = "Connected via CAN FD";
    ui->statusbar->showMessage(text);
    // A load replaces the form; edits not yet sent are the owner's to keep.
    if (changed_values.empty())
        loadConfigFromDevice();
    else
        ui->statusbar->showMessage(text + QString(" - the form keeps %1 edit(s) not yet sent; Load reads the "
                                                  "unit's settings instead")
                                              .arg(changed_values.size()));
    return true;
}

void MainWindow::lookForUnit()
{
    // Nothing changes under an open dialog or a running upload.
    if (!comms || comms->isConnected() || uploadRunning() || linkChoice == LINK_CANFD ||
        QApplication::activeModalWidget())
        return;
    const std::vector<std::string> paths = USBHID::unitPaths(vendor_id, product_id);
    auto listed = [](const std::vector<std::string>& list, const std::string& path) {
        return std::find(list.begin(), list.end(), path) != list.end();
    };
    // A unit unplugged since the last attempt is new again when it returns.
    attemptedUsbPaths.erase(std::remove_if(attemptedUsbPaths.begin(), attemptedUsbPaths.end(),
                                           [&](const std::string& p) { return !listed(paths, p); }),
                            attemptedUsbPaths.end());
    const bool fresh =
        std::any_of(paths.begin(), paths.end(), [&](const std::string& p) { return !listed(attemptedUsbPaths, p); });
    // udev gives a new node its permissions a moment after it appears, and
    // the unit needs a moment too: a node is tried once a whole look has
    // seen it.
    const bool settled = paths == lookedUsbPaths;
    lookedUsbPaths = paths;
    if (fresh && settled) {
        qDebug() << "A unit appeared on USB - connecting";
        connectToUnit();
    }
}

void MainWindow::setLinkChoice(LinkChoice choice)
{
    linkChoice = choice;
    linkActions[choice]->setChecked(true);
    QSettings(SETTINGS_NAME, SETTINGS_NAME).setValue(LINK_KEY, LINK_NAMES[choice]);
    connectToUnit();
}

void MainWindow::chooseCanInterface()
{
    bool ok = false;
    const QString name = QInputDialog::getText(this, "CAN Interface", "The CAN interface the unit is on:",
                                               QLineEdit::Normal, canInterface, &ok)
                             .trimmed();
    if (!ok || name == canInterface)
        return;
    if (!canInterfaceNameValid(name)) {
        ui->statusbar->showMessage(QString("Error: \"%1\" is not a network interface name (1 to 15 characters, "
                                           "no spaces, slashes or colons)")
                                       .arg(name));
        return;
    }
    canInterface = name;
    canInterfaceAction->setText(QString("CAN &Interface (%1)...").arg(name));
    QSettings(SETTINGS_NAME, SETTINGS_NAME).setValue(CAN_INTERFACE_KEY, name);
    if (linkChoice == LINK_USB)
        showLinkInUse();
    else
        connectToUnit();
}

bool MainWindow::offerCanFdUpload(int tab)
{
    USBHID* usb = comms->getUSBHID();
    CANFD* can = comms->getCANFD();
    // Both links must reach the one unit: another unit on the bus would get
    // the image meant for this one.
    if (comms->getActiveInterface() != USB_HID || !usb || !usb->isConnected() || !can || !can->isConnected() ||
        comms->serialNumber(USB_HID) != comms->serialNumber(CAN_FD))
        return true;
    const double packets = std::ceil(double(QFileInfo(this->*UPLOAD_TABS[tab].path).size()) / 64.0);
    QMessageBox question(QMessageBox::Question, "Upload over CAN FD?",
                         QString("The unit is connected by USB and on %1. This upload takes %2 over CAN FD and "
                                 "%3 over USB.\n\nSend it over CAN FD?")
                             .arg(can->name().c_str(), aboutDuration(packets * kCanPacketSeconds),
                                  aboutDuration(packets * kUsbPacketSeconds)),
                         QMessageBox::Cancel, this);
    question.setObjectName("question_upload_link");
    QPushButton* overCan = question.addButton("Use CAN FD", QMessageBox::AcceptRole);
    QPushButton* overUsb = question.addButton("Use USB", QMessageBox::AcceptRole);
    question.setDefaultButton(overCan);
    question.exec();
    if (question.clickedButton() != overCan && question.clickedButton() != overUsb)
        return false;
    if (question.clickedButton() == overCan) {
        qDebug() << "Upload routed over CAN FD";
        comms->setPreferCANFD(true);
        showLinkInUse();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Colours.

void MainWindow::pickColour(int row)
{
    const ColourRow& r = COLOUR_ROWS[row];
    QColorDialog::setCustomColor(1, QColor(r.r, r.g, r.b, 255));
    const QColor initial(QRgb(settings_get_value(&user_config, r.index) & 0x00FFFFFFu));
    const QColor chosen = QColorDialog::getColor(initial, this, r.title);
    if (!chosen.isValid())
        return;
    (ui->*r.button)->setStyleSheet(colourStyle(chosen.rgb()));
    colourTextChanged(row);
}

void MainWindow::colourTextChanged(int row)
{
    uint32_t value;
    if (colourFromStyle((ui->*COLOUR_ROWS[row].button)->styleSheet(), &value))
        updateConfigValueLocal(COLOUR_ROWS[row].index, value);
}

void MainWindow::onSkyColorPickerClicked() { pickColour(0); }
void MainWindow::onSkyColor1PickerClicked() { pickColour(1); }
void MainWindow::onGroundColorPickerClicked() { pickColour(2); }
void MainWindow::onGroundColor1PickerClicked() { pickColour(3); }
void MainWindow::onApproachIndiColorPickerClicked() { pickColour(4); }
void MainWindow::onAirplaneColorPickerClicked() { pickColour(5); }
void MainWindow::onGreenArcColorPickerClicked() { pickColour(6); }
void MainWindow::onYellowArcColorPickerClicked() { pickColour(7); }
void MainWindow::onRedArcColorPickerClicked() { pickColour(8); }
void MainWindow::onGearIndiColorPickerClicked() { pickColour(9); }
void MainWindow::onSkyColor0Changed() { colourTextChanged(0); }
void MainWindow::onSkyColor1Changed() { colourTextChanged(1); }
void MainWindow::onGroundColor0Changed() { colourTextChanged(2); }
void MainWindow::onGroundColor1Changed() { colourTextChanged(3); }
void MainWindow::onApproachIndiColorChanged() { colourTextChanged(4); }
void MainWindow::onAirplaneColorChanged() { colourTextChanged(5); }
void MainWindow::onGreenArcColorChanged() { colourTextChanged(6); }
void MainWindow::onYellowArcColorChanged() { colourTextChanged(7); }
void MainWindow::onRedArcColorChanged() { colourTextChanged(8); }
void MainWindow::onGearIndiColorChanged() { colourTextChanged(9); }

// ---------------------------------------------------------------------------
// Settings commands.

bool MainWindow::linkReady()
{
    // The link carries one exchange at a time; an upload's would be mixed up.
    if (uploadRunning()) {
        qDebug() << "Settings command refused: an upload is using the link";
        ui->statusbar->showMessage("Error: An upload is using the link - wait until it has finished");
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
    struct HeaderText {
        settings_struct_index index;
        const char* log;
        const char* status;
    };
    static const HeaderText texts[] = {
        {SETTINGS_CHECKSUM_INDEX, "Error reading checksum value", "Error: Failed to read checksum from device"},
        {SETTINGS_MAGIC_NUM, "Error reading magic value", "Error: Failed to read magic number from device"},
        {SETTINGS_VERSION, "Error reading memory version value", "Error: Failed to read memory version from device"},
        {SETTINGS_NUM_ELEMENTS, "Error reading num_elements value", "Error: Failed to read num_elements from device"},
    };
    // A header value of 0xFFFFFFFF is real (an erased checksum); only a
    // failed exchange is a failed read.
    bool ok = false;
    *value = get_value(comms, SETTINGS_COMMS, uint8_t(index), &ok);
    if (ok)
        return true;
    for (const HeaderText& t : texts) {
        if (t.index == index) {
            qDebug() << t.log;
            ui->statusbar->showMessage(t.status);
        }
    }
    return false;
}

bool MainWindow::settingsLayoutKnown(uint32_t num_elements)
{
    // The record has 31 words after its checksum; a larger count is a layout
    // this tool does not know, and its checksums would mean nothing.
    if (num_elements <= SETTINGS_MAX_ELEMENTS)
        return true;
    qDebug() << "Unsupported num_elements value" << num_elements;
    ui->statusbar->showMessage(
        QString("Error: Device reports an unknown settings layout (num_elements %1, at most %2 supported)")
            .arg(num_elements)
            .arg(SETTINGS_MAX_ELEMENTS));
    return false;
}

void MainWindow::onLoadClicked()
{
    loadConfigFromDevice();
}

void MainWindow::loadConfigFromDevice()
{
    if (!linkReady())
        return;
    changed_values.clear();
    std::memset(&user_config, 0, sizeof user_config);
    unknown_values = allValues();
    // A load that does not finish leaves no record to keep a copy of.
    unitRecordSerial = 0xFFFFFFFFu;

    uint32_t value;
    if (!readHeaderValue(SETTINGS_CHECKSUM_INDEX, &value))
        return;
    user_config_chk = value;
    user_config.crc32 = value;
    if (!readHeaderValue(SETTINGS_MAGIC_NUM, &value))
        return;
    user_config.magic = value;
    if (!readHeaderValue(SETTINGS_VERSION, &value))
        return;
    mem_version = value;
    user_config.version = value;
    if (!readHeaderValue(SETTINGS_NUM_ELEMENTS, &value) || !settingsLayoutKnown(value))
        return;
    user_config.num_elements = value;
    user_config_sizeof = 128;

    bool ok = false;
    int unread = 0;
    int unanswered = 0;  // in a row
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const settings_struct_index index = settings_struct_index(i);
        value = get_value(comms, SETTINGS_COMMS, uint8_t(i), &ok);
        unanswered = ok ? 0 : unanswered + 1;
        if (ok && !usableValue(index, value)) {
            qDebug() << "Warning: Value for index" << i << "is not a finite number";
            ok = false;
        }
        if (!ok) {
            qDebug() << "Warning: Failed to read value for index" << i << ", setting to 0";
            value = 0;
            ++unread;
        } else {
            unknown_values.erase(index);
        }
        if (!settings_set_value(&user_config, index, &value)) {
            qDebug() << "Error setting value for index" << i;
            ui->statusbar->showMessage("Error: Failed to process configuration data");
            return;
        }
        if (unanswered == kUnansweredLimit) {
            // The rest stay unknown, so Save refuses them; the form keeps
            // what it showed. Values count from 1: 0 means none was read.
            const int after = i + 1 - kUnansweredLimit;
            qDebug() << "Load stopped: no answer to values" << after << "to" << i << "(counted from 0)";
            ui->statusbar->showMessage(
                QString("Error: the unit stopped answering after value %1 - check the connection and load again")
                    .arg(after));
            return;
        }
        QThread::msleep(1);
    }

    const uint32_t calculated = settings_CalcCRC(&user_config);
    std::printf("app: 0x%08lX, device: 0x%08lX \n", (unsigned long)calculated, (unsigned long)user_config_chk);
    const bool crcOk = calculated == user_config_chk;
    if (crcOk) {
        std::printf("CRC Check Passed.\n");
    } else {
        qDebug() << "CRC mismatch: Calculated =" << Qt::hex << calculated << "Stored=" << user_config_chk;
        ui->statusbar->showMessage("Warning: Configuration CRC verification failed");
    }
    std::fflush(stdout);
    if (unread == 0)
        rememberUnitRecord(user_config, user_config_chk);

    updateUIFromConfig();
    if (unread == 0 && crcOk) {
        ui->statusbar->showMessage("Configuration successfully loaded from device");
    } else if (unread == 0) {
        ui->statusbar->showMessage("Warning: Configuration loaded from device, but CRC verification failed");
    } else {
        QString text = QString("Warning: Configuration loaded from device, but %1 value(s) could not be read "
                               "- load again before saving")
                           .arg(unread);
        if (!crcOk)
            text += "; CRC verification failed";
        ui->statusbar->showMessage(text);
    }
}

int MainWindow::sendValues(const std::set<settings_struct_index>& indices, std::set<settings_struct_index>* failed)
{
    int sent = 0;
    int unanswered = 0;  // in a row
    for (settings_struct_index index : indices) {
        // The unit is not listening: what is left stays pending, unsent.
        if (unanswered == kUnansweredLimit) {
            qDebug() << "Not sent, the unit stopped answering: index" << int(index);
            failed->insert(index);
            continue;
        }
        const uint32_t value = settings_get_value(&user_config, index);
        if (set_value(comms, SETTINGS_COMMS, uint8_t(index), value) != 0) {
            qDebug() << "Failed to send value for index" << int(index);
            failed->insert(index);
            ++unanswered;
        } else {
            ++sent;
            unanswered = 0;
            unsaved_values.insert(index);
        }
        QThread::msleep(1);
    }
    return sent;
}

void MainWindow::onUpdateClicked()
{
    if (!linkReady())
        return;
    if (changed_values.empty()) {
        ui->statusbar->showMessage("No changes to send");
        return;
    }
    // Nothing goes while the registration to be sent is one the unit cannot
    // hold; every edit stays pending until the field is fixed.
    const bool registrationPending = changed_values.count(REGISTRATION_1_INDEX) ||
                                     changed_values.count(REGISTRATION_2_INDEX) ||
                                     changed_values.count(REGISTRATION_3_INDEX);
    if (registrationPending && !registrationSendable())
        return;
    std::set<settings_struct_index> failed;
    const int sent = sendValues(changed_values, &failed);
    // What the unit did not receive stays pending for the next Update.
    changed_values = failed;
    if (failed.empty())
        ui->statusbar->showMessage(QString("Successfully sent %1 configuration value(s) to device").arg(sent));
    else
        ui->statusbar->showMessage(QString("Error: Sent %1 value(s), %2 failed").arg(sent).arg(failed.size()));
}

void MainWindow::onSaveClicked()
{
    // The store takes the registration the form shows.
    if (!linkReady() || !registrationSendable())
        return;
    // The record holds a placeholder for every unread value; storing it
    // would overwrite the unit's own value with it.
    if (!unknown_values.empty()) {
        qDebug() << "Save refused:" << int(unknown_values.size()) << "value(s) not read from the device";
        ui->statusbar->showMessage(QString("Error: %1 value(s) were not read from the device - load the settings "
                                           "again before saving")
                                       .arg(unknown_values.size()));
        return;
    }
    if (!keepUnitBackup("Save", "before Save"))
        return;

    // Values the form changes in the record (for example one shown at the end
    // of a widget's range) must reach the unit before it stores its record.
    Settings_t before;
    std::memcpy(&before, &user_config, sizeof before);
    updateConfigFromUI();
    std::set<settings_struct_index> pending = changed_values;
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        const settings_struct_index index = settings_struct_index(i);
        if (settings_get_value(&before, index) != settings_get_value(&user_config, index))
            pending.insert(index);
    }

    uint32_t value;
    if (!readHeaderValue(SETTINGS_VERSION, &value)) {
        changed_values = pending;
        return;
    }
    mem_version = value;
    user_config.version = value;
    if (!readHeaderValue(SETTINGS_NUM_ELEMENTS, &value) || !settingsLayoutKnown(value)) {
        changed_values = pending;
        return;
    }
    user_config.num_elements = value;

    std::set<settings_struct_index> failed;
    sendValues(pending, &failed);
    if (!failed.empty()) {
        changed_values = failed;
        ui->statusbar->showMessage(
            QString("Error: Failed to send %1 value(s) to device - settings not saved").arg(failed.size()));
        return;
    }

    user_config.magic = SETTINGS_MAGIC;
    user_config.crc32 = 0;
    const uint32_t crc = settings_CalcCRC(&user_config);
    std::printf("New CRC %08X\n", crc);
    std::fflush(stdout);

    if (store_settings(comms, crc) != 0) {
        qDebug() << "Error storing configuration to EEPROM";
        ui->statusbar->showMessage("Error: Failed to store configuration to EEPROM");
        // Not stored: everything edited stays pending for another attempt.
        changed_values = pending;
        return;
    }
    changed_values.clear();
    unsaved_values.clear();
    Settings_t stored = user_config;
    stored.crc32 = crc;
    rememberUnitRecord(stored, crc);
    updateUIFromConfig();
    ui->statusbar->showMessage("Configuration saved to EEPROM successfully");
}

void MainWindow::onRebootClicked()
{
    if (!linkReady())
        return;
    const QString loss = editsLoss(true);
    if (!loss.isEmpty() && !confirmLoss("Reboot the unit?", loss, "Reboot Anyway"))
        return;
    COMMS_MSG_t msg;
    std::memset(&msg, 0, sizeof msg);
    msg.can_ID = CANMSG_ENTER_BL;
    msg.msg_len = 1;
    msg.data[0] = 0x48;
    if (comms->write(msg) > 0) {
        qDebug() << "Reboot command sent successfully";
        // The restart drops what was sent but not stored; the form still
        // shows it, so the next Save sends it again before the store.
        changed_values.insert(unsaved_values.begin(), unsaved_values.end());
        unsaved_values.clear();
        ui->statusbar->showMessage("Reboot command sent to device");
    } else {
        qDebug() << "Failed to send reboot command";
        ui->statusbar->showMessage("Error: Failed to send reboot command");
    }
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

QString MainWindow::uploadLoss() const
{
    if (firmwareUploadThread)
        return "A firmware update is running. Stopping it leaves the new firmware incomplete in the unit's spare "
               "firmware bank; the unit keeps its current firmware. Send the file again before you reboot the unit.";
    if (airportUploadThread)
        return "An airport database transfer is running. Stopping it leaves the unit's airport database closed "
               "until a complete transfer.";
    return QString();
}

QString MainWindow::editsLoss(bool reboot) const
{
    size_t sent = 0;
    for (settings_struct_index index : unsaved_values)
        sent += changed_values.count(index) ? 0 : 1;
    const size_t edits = changed_values.size() + sent;
    if (edits == 0)
        return QString();
    QString text = QString("%1 edited value(s) are not saved in the unit").arg(edits);
    if (sent > 0)
        text += QString(" (%1 sent with Update: the unit keeps them only until it restarts)").arg(sent);
    text += reboot ? ". The unit restarts with its saved settings; press Save first to keep the edits."
                   : ". Closing loses them; press Save first to keep them.";
    return text;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    QStringList losses;
    for (const QString& loss : {uploadLoss(), editsLoss(false)}) {
        if (!loss.isEmpty())
            losses << loss;
    }
    const bool upload = uploadRunning();
    if (!losses.isEmpty() && !confirmLoss(upload ? "Stop the upload and close?" : "Close without saving?",
                                          losses.join("\n\n"), upload ? "Stop and Close" : "Close Anyway")) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

// Settings files, and the copies kept before the unit's settings change.

uint32_t MainWindow::unitSerial() const
{
    return comms ? comms->serialNumber(comms->getActiveInterface()) : 0xFFFFFFFFu;
}

void MainWindow::rememberUnitRecord(const Settings_t& record, uint32_t checksum)
{
    unitRecord = record;
    unitRecordChecksum = checksum;
    unitRecordSerial = unitSerial();
}

bool MainWindow::keepUnitBackup(const QString& what, const QString& keptBefore)
{
    const uint32_t serial = unitSerial();
    QString error;
    if (unitRecordSerial != serial) {
        Settings_t record;
        uint32_t checksum = 0;
        if (settings_doc::read_record(comms, &record, &checksum, &error, nullptr, nullptr))
            rememberUnitRecord(record, checksum);
        else
            error = "the unit's settings could not be read: " + error;
    }
    QByteArray path;
    bool written = false;
    if (unitRecordSerial == serial &&
        settings_doc::write_backup(unitRecord, serial, unitRecordChecksum, keptBefore, &path, &written, &error)) {
        qDebug().noquote() << "Settings of unit" << settings_doc::hex(serial)
                           << (written ? "kept in" : "already kept in") << QFile::decodeName(path);
        return true;
    }
    qDebug().noquote() << "No copy of the unit's settings kept:" << error;
    const QMessageBox::StandardButton answer = QMessageBox::warning(
        this, "No copy of the settings",
        QString("The settings the unit holds could not be kept as a copy before they change:\n%1\n\n"
                "Go on without a copy?")
            .arg(error),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes) {
        qDebug().noquote() << what << "goes on without a copy of the unit's settings";
        return true;
    }
    ui->statusbar->showMessage(
        QString("Error: %1 not done - no copy of the unit's settings could be kept: %2").arg(what, error));
    return false;
}

void MainWindow::exportSettings()
{
    if (!linkReady())
        return;
    const uint32_t serial = unitSerial();
    const QString suggested = QDir::home().filePath(
        QString("skarvel-efis-%1-%2.json")
            .arg(settings_doc::hex(serial).mid(2), QDate::currentDate().toString("yyyy-MM-dd")));
    const QString file =
        QFileDialog::getSaveFileName(this, "Export settings", suggested, "Settings files (*.json);;All Files (*)");
    if (file.isEmpty())
        return;
    // What the unit holds now, checked as the command-line tool checks an
    // export.
    Settings_t record;
    uint32_t checksum = 0;
    QString error;
    QByteArray text;
    if (!settings_doc::read_record(comms, &record, &checksum, &error, nullptr, nullptr) ||
        !settings_doc::export_text(record, serial, checksum, &text, &error)) {
        ui->statusbar->showMessage("Error: Export failed - " + error + "; no file written");
        return;
    }
    rememberUnitRecord(record, checksum);
    if (!settings_doc::replace_file(QFile::encodeName(file), text, &error)) {
        ui->statusbar->showMessage("Error: cannot write " + file + ": " + error + "; no file was replaced");
        return;
    }
    ui->statusbar->showMessage(QString("Settings of unit %1 written to %2").arg(settings_doc::hex(serial), file));
}

void MainWindow::importSettings()
{
    if (!linkReady())
        return;
    const uint32_t serial = unitSerial();
    // One of the copies kept of this unit, newest first, or any file.
    const std::vector<settings_doc::Backup> kept = settings_doc::list_backups(serial);
    const QString anotherFile = "Another file...";
    QStringList items;
    for (const settings_doc::Backup& b : kept) {
        QString when = b.saved.toLocalTime().toString("yyyy-MM-dd HH:mm:ss");
        if (!b.kept_before.isEmpty())
            when += ", " + b.kept_before;
        if (items.contains(when))
            when = b.saved.toLocalTime().toString("yyyy-MM-dd HH:mm:ss.zzz") +
                   (b.kept_before.isEmpty() ? QString() : ", " + b.kept_before);
        items << when;
    }
    items << anotherFile;
    QString choice = anotherFile;
    if (!kept.empty()) {
        bool ok = false;
        choice = QInputDialog::getItem(this, "Import settings",
                                       QString("Settings of unit %1 as kept before they changed, newest first, or "
                                               "another file:")
                                           .arg(settings_doc::hex(serial)),
                                       items, 0, false, &ok);
        if (!ok)
            return;
    }
    QByteArray path;
    QString name;
    if (choice == anotherFile) {
        name = QFileDialog::getOpenFileName(this, "Import settings", QFile::decodeName(settings_doc::backups_dir()),
                                            "Settings files (*.json);;All Files (*)");
        if (name.isEmpty())
            return;
        path = QFile::encodeName(name);
    } else {
        path = kept[size_t(items.indexOf(choice))].path;
        name = QFile::decodeName(path);
    }

    // The file and the unit's record are checked, as the command-line tool
    // checks them, before the unit hears of any change.
    QJsonObject doc;
    QString error;
    if (!settings_doc::read_document(path, name, &doc, &error)) {
        ui->statusbar->showMessage("Error: " + error);
        return;
    }
    Settings_t unit;
    uint32_t checksum = 0;
    if (!settings_doc::read_record(comms, &unit, &checksum, &error, nullptr, nullptr)) {
        ui->statusbar->showMessage("Error: Import stopped - " + error + "; nothing sent");
        return;
    }
    rememberUnitRecord(unit, checksum);
    settings_doc::Values values;
    if (!settings_doc::check_document(doc, unit, &values, &error)) {
        ui->statusbar->showMessage("Error: " + name + ": " + error);
        return;
    }
    const Settings_t target = settings_doc::with_values(unit, values);
    const QStringList changes = settings_doc::change_lines(unit, target);
    if (changes.isEmpty()) {
        ui->statusbar->showMessage("No value in " + name + " differs from the unit's - nothing sent");
        return;
    }
    QStringList question;
    question << QString("Import %1 into unit %2?").arg(name, settings_doc::hex(serial)) << QString() << changes;
    for (const settings_doc::LimitConflict& c : settings_doc::limit_conflicts(target))
        question << "Warning: " + c.text;
    question << QString() << "The settings the unit holds are kept as a copy first; then the changes are sent, "
                             "stored and read back.";
    if (!changed_values.empty())
        question << "The form's edits that were not sent are replaced.";
    if (QMessageBox::question(this, "Import settings", question.join('\n'), QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes) {
        ui->statusbar->showMessage("Import cancelled - nothing sent");
        return;
    }
    if (!keepUnitBackup("Import", "before import of " + QFileInfo(name).fileName()))
        return;

    const settings_doc::ApplyResult r = settings_doc::apply_record(comms, unit, target, nullptr);
    const QString live = r.sent == 0 ? QString()
                                     : QString("; %1 value(s) sent are in use until the unit restarts - Load shows "
                                               "what it holds")
                                           .arg(r.sent);
    switch (r.outcome) {
    case settings_doc::Applied::Done:
        break;
    case settings_doc::Applied::ValueRefused:
        ui->statusbar->showMessage(QString("Error: Import failed - the unit did not take value %1; nothing stored%2")
                                       .arg(r.refused)
                                       .arg(live));
        return;
    case settings_doc::Applied::StoreFailed:
        ui->statusbar->showMessage("Error: Import failed - the unit did not confirm the store" + live);
        return;
    case settings_doc::Applied::Stopped:
    case settings_doc::Applied::ReadBackFailed:
        ui->statusbar->showMessage(QString("Error: Import stored with checksum %1, but the read back found %2 - Load "
                                           "shows what the unit holds")
                                       .arg(settings_doc::hex(r.crc), r.detail));
        return;
    }
    // The form shows what the unit read back.
    user_config = r.back;
    user_config_chk = r.back_crc;
    mem_version = r.back.version;
    changed_values.clear();
    unsaved_values.clear();
    unknown_values.clear();
    rememberUnitRecord(r.back, r.back_crc);
    updateUIFromConfig();
    ui->statusbar->showMessage(QString("Settings imported from %1: %2 value(s) sent, record stored with checksum %3 "
                                       "and read back")
                                   .arg(name)
                                   .arg(r.changed)
                                   .arg(settings_doc::hex(r.crc)));
}

// ---------------------------------------------------------------------------
// Uploads.

void MainWindow::applyFirmwareUploadProgress(int bar_0_10000, const QString& status)
{
    ui->progressBar_firmware->setRange(0, int(kUploadBarMax));
    ui->progressBar_firmware->setValue(bar_0_10000);
    // Once cancelled, the status says so until the upload has stopped.
    if (!uploadCancel)
        ui->statusbar->showMessage(status);
}

void MainWindow::applyAirportUploadProgress(int bar_0_10000, const QString& status)
{
    ui->progressBar_airports->setRange(0, int(kUploadBarMax));
    ui->progressBar_airports->setValue(bar_0_10000);
    if (!uploadCancel)
        ui->statusbar->showMessage(status);
}

void MainWindow::updateEraseProgress(uint32_t pages_erased, uint32_t total_pages)
{
    ui->progressBar_firmware->setValue(int(percentOf(pages_erased, total_pages)));
    ui->statusbar->showMessage(QString("Erase Progress: %1 / %2 pages").arg(pages_erased).arg(total_pages));
}

void MainWindow::updateWriteProgress(uint32_t bytes_written, uint32_t total_bytes)
{
    ui->progressBar_firmware->setValue(int(percentOf(bytes_written, total_bytes)));
    ui->statusbar->showMessage(QString("Write Progress: %1 / %2 bytes").arg(bytes_written).arg(total_bytes));
}

void MainWindow::updateVerifyProgress(uint32_t bytes_read, uint32_t total_bytes)
{
    ui->progressBar_firmware->setValue(int(percentOf(bytes_read, total_bytes)));
    ui->statusbar->showMessage(QString("Verify Progress: %1 / %2 bytes").arg(bytes_read).arg(total_bytes));
}

bool MainWindow::uploadRunning() const
{
    return firmwareUploadThread || airportUploadThread;
}

void MainWindow::onBrowseClicked() { browseForUpload(FIRMWARE_TAB); }
void MainWindow::onBrowseAirportsClicked() { browseForUpload(AIRPORT_TAB); }
void MainWindow::onStartUpdateClicked() { startUpload(FIRMWARE_TAB); }
void MainWindow::onStartAirportClicked() { startUpload(AIRPORT_TAB); }

// The worker stops at its next block or packet boundary, as when the window
// closes; its finish handler then says what the unit is left with.
void MainWindow::onCancelUploadClicked()
{
    if (!uploadRunning())
        return;
    uploadCancel = true;
    ui->pushButton_cancel_fw->setEnabled(false);
    ui->pushButton_cancel_airport->setEnabled(false);
    qDebug() << "Upload cancelled by the user";
    ui->statusbar->showMessage("Cancelling - the upload stops at its next block or packet...");
}

void MainWindow::browseForUpload(int tab)
{
    const UploadTab& t = UPLOAD_TABS[tab];
    const QString path = QFileDialog::getOpenFileName(this, tr(t.caption), QString(), tr(t.filter));
    if (path.isEmpty())
        return;
    this->*t.path = path;
    const QString name = QFileInfo(path).fileName();
    if (tab == FIRMWARE_TAB)
        ui->text_firmware_file->setText(name);
    else
        ui->text_firmware_file_2->setPlainText(name);
    (ui->*t.file)->setEnabled(true);
    (ui->*t.start)->setEnabled(true);
    (ui->*t.bar)->setEnabled(true);
}

void MainWindow::startUpload(int tab)
{
    const UploadTab& t = UPLOAD_TABS[tab];
    const UploadTab& other = UPLOAD_TABS[1 - tab];
    if ((this->*t.path).isEmpty()) {
        ui->statusbar->showMessage(t.no_file);
        return;
    }
    if (!comms || !comms->isConnected()) {
        ui->statusbar->showMessage("Device not connected. Please connect to device first.");
        qDebug() << t.not_connected_log;
        return;
    }
    if (this->*t.thread) {
        ui->statusbar->showMessage(t.already_running);
        return;
    }
    if (this->*other.thread) {
        ui->statusbar->showMessage(t.other_running);
        return;
    }
    // A new firmware may start from other settings: the ones the unit holds
    // are kept first.
    if (tab == FIRMWARE_TAB &&
        !keepUnitBackup("Firmware update", "before firmware upload of " + QFileInfo(firmwareFilePath).fileName()))
        return;
    if (!offerCanFdUpload(tab))
        return;

    (ui->*t.browse)->setEnabled(false);
    (ui->*t.start)->setEnabled(false);
    (ui->*t.file)->setEnabled(false);
    (ui->*t.cancel)->setEnabled(true);
    QProgressBar* bar = ui->*t.bar;
    bar->setEnabled(true);
    bar->setRange(0, int(kUploadBarMax));
    bar->setValue(0);
    // The link belongs to the upload: settings exchanges would take its
    // acknowledgements, a reboot would cut its writes.
    const std::array<QWidget*, 6> held = linkControls(ui, other);
    for (size_t i = 0; i < held.size(); ++i) {
        heldControls[i] = held[i]->isEnabled();
        held[i]->setEnabled(false);
    }

    ui->statusbar->showMessage(t.starting);
    if (tab == FIRMWARE_TAB)
        qDebug() << "Starting firmware update with file:" << firmwareFilePath;
    else
        qDebug() << "Airport database upload:" << airportDbFilePath;

    uploadCancel = false;
    uploadSucceeded = false;
    airportDatabaseClosed = false;
    uploadReason.clear();
    MainWindow* window = this;
    const QByteArray pathBytes = (this->*t.path).toLocal8Bit();
    CommsManager* commsPtr = comms;
    QThread* worker = QThread::create([window, pathBytes, commsPtr, tab] {
        // The file is read whole and checked, with the command-line tool's
        // checks, before the unit hears anything, and what is sent is this
        // copy. Off the GUI thread: a database on a slow stick takes seconds.
        upload_image_t image;
        bool ok = false;
        bool closed = false;
        std::string reason;
        if (!load_upload_image(pathBytes.constData(), UPLOAD_TABS[tab].kind, &image)) {
            reason = "the file " + image.fault;
        } else {
            ThrottledUploadProgressCtx ctx;
            ctx.window = window;
            ok = tab == FIRMWARE_TAB ? send_fw_image(commsPtr, image, fw_progress_callback, &ctx,
                                                     &window->uploadCancel, &reason)
                                     : send_airport_db_image(commsPtr, image, airport_progress_callback, &ctx,
                                                             &window->uploadCancel, &closed, &reason);
        }
        window->uploadReason = reason;
        window->airportDatabaseClosed = closed;
        window->uploadSucceeded = ok;
    });
    this->*t.thread = worker;
    connect(worker, &QThread::finished, this, [this, tab] { finishUpload(tab); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start(QThread::InheritPriority);
}

void MainWindow::finishUpload(int tab)
{
    const UploadTab& t = UPLOAD_TABS[tab];
    (ui->*t.browse)->setEnabled(true);
    (ui->*t.start)->setEnabled(true);
    (ui->*t.file)->setEnabled(true);
    (ui->*t.cancel)->setEnabled(false);
    const std::array<QWidget*, 6> held = linkControls(ui, UPLOAD_TABS[1 - tab]);
    for (size_t i = 0; i < held.size(); ++i)
        held[i]->setEnabled(heldControls[i]);

    // A failed upload keeps the bar where it stopped and says why; a
    // cancelled one also says what the unit is left with.
    if (uploadSucceeded) {
        (ui->*t.bar)->setValue(int(kUploadBarMax));
        ui->statusbar->showMessage(t.finished);
    } else {
        QString text = (uploadCancel ? t.stopped : t.failed) +
                       (uploadReason.empty() ? seeTheLog()
                                             : QString::fromStdString(uploadReason));
        if (tab == AIRPORT_TAB && airportDatabaseClosed)
            text += "; the unit's airport database stays closed until a complete transfer";
        else if (tab == FIRMWARE_TAB && uploadCancel)
            text += "; the unit keeps running the firmware it has";
        ui->statusbar->showMessage(text);
    }
    if (tab == FIRMWARE_TAB)
        qDebug() << "Firmware update process finished";
    this->*t.thread = nullptr;
    // Settings traffic goes over USB again, as before the upload.
    comms->setPreferCANFD(false);
    showLinkInUse();
}
