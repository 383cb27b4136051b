#include "app/uploads.h"

#include <QApplication>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>

#include <array>
#include <chrono>
#include <cmath>
#include <memory>

#include "app/run_log.h"
#include "app/settings_files.h"
#include "comms/comms.h"
#include "firmware_ops/firmware_ops.h"
#include "ui_mainwindow.h"

namespace {

// Progress scale of both upload bars: the erase fills the first 1200 units,
// the write the remaining 8800.
const uint32_t kUploadBarMax = 10000;
const uint32_t kEraseBarWeight = 1200;

// Part of `whole` in percent; nothing of nothing is 0.
uint32_t percentOf(uint32_t part, uint32_t whole)
{
    return whole == 0 ? 0 : uint32_t(uint64_t(part) * 100 / whole);
}

// One per running upload, owned by its worker; reports go to `uploads`.
struct ThrottledUploadProgressCtx {
    using Clock = std::chrono::steady_clock;

    Uploads* uploads = nullptr;
    int tab = Uploads::FIRMWARE_TAB;
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

// The two upload tabs: their widgets and their texts.
struct UploadTab {
    upload_kind_t kind;
    QPushButton* Ui_MainWindow::*browse;
    QTextEdit* Ui_MainWindow::*file;
    QPushButton* Ui_MainWindow::*start;
    QPushButton* Ui_MainWindow::*cancel;
    QProgressBar* Ui_MainWindow::*bar;
    const char* caption;
    const char* filter;
    const char* no_file;
    const char* not_connected_log;
    const char* already_running;
    const char* other_running;
    const char* starting;
    const char* finished;
    const char* failed;   // followed by the reason
    const char* stopped;    // cancelled: followed by the reason
    const char* erasing;    // progress: blocks erased, of how many
    const char* uploading;  // progress: bytes sent, of how many
};

const UploadTab UPLOAD_TABS[2] = {
    {UPLOAD_FIRMWARE, &Ui_MainWindow::pushButton_browse, &Ui_MainWindow::text_firmware_file,
     &Ui_MainWindow::pushButton_start_update, &Ui_MainWindow::pushButton_cancel_fw,
     &Ui_MainWindow::progressBar_firmware,
     "Select Firmware File", "Firmware Files (*.bin);;All Files (*)", "No firmware file selected",
     "Firmware update failed: CommsManager not connected", "Firmware update already in progress",
     "Finish airport transfer before firmware update", "Starting firmware update...", "Firmware update completed",
     "Error: Firmware update failed - ", "Warning: Firmware update stopped - ", "Erasing: %1 / %2 blocks",
     "Uploading: %1 / %2 bytes"},
    {UPLOAD_AIRPORT_DB, &Ui_MainWindow::pushButton_browse_airports, &Ui_MainWindow::text_firmware_file_2,
     &Ui_MainWindow::pushButton_start_airport, &Ui_MainWindow::pushButton_cancel_airport,
     &Ui_MainWindow::progressBar_airports,
     "Select Airport Database", "Database Files (*.db);;All Files (*)", "No airport database file selected",
     "Airport upload failed: CommsManager not connected", "Airport transfer already in progress",
     "Finish firmware update before airport transfer", "Starting airport database transfer...",
     "Airport database transfer finished", "Error: Airport database transfer failed - ",
     "Warning: Airport database transfer stopped - ", "Erasing airport region: %1 / %2 blocks",
     "Uploading airport database: %1 / %2 bytes"},
};

// Posts a report to the tab when the throttle lets it through.
void progress_callback(uint32_t current, uint32_t total, int phase, void* user_data)
{
    ThrottledUploadProgressCtx* ctx = static_cast<ThrottledUploadProgressCtx*>(user_data);
    if (!ctx || !ctx->uploads)
        return;
    const uint32_t bar = ctx->compute_bar(current, total, phase);
    ctx->note_progress(current, phase);
    if (!ctx->should_emit(bar, phase, current, total))
        return;
    // Texts are made only for the reports that are posted, not per packet.
    const UploadTab& t = UPLOAD_TABS[ctx->tab];
    const QString text = QString(phase == FW_PHASE_ERASE ? t.erasing : t.uploading).arg(current).arg(total) +
                         ctx->time_left(current, total, phase);
    Uploads* uploads = ctx->uploads;
    const int tab = ctx->tab;
    QMetaObject::invokeMethod(
        uploads, [uploads, tab, bar, text] { uploads->applyProgress(tab, int(bar), text); }, Qt::QueuedConnection);
}

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

Uploads::Uploads(Ui_MainWindow* ui, QWidget* window, CommsManager* const& comms, SettingsFiles& files,
                 QString* firmwarePath, QString* airportPath)
    : ui(ui),
      window(window),
      comms(comms),
      files(files),
      paths{firmwarePath, airportPath},
      threads(),
      cancelled(false),
      succeeded(false),
      airportDatabaseClosed(false),
      reason(),
      heldControls()
{
}

bool Uploads::running() const
{
    return threads[FIRMWARE_TAB] || threads[AIRPORT_TAB];
}

void Uploads::applyProgress(int tab, int bar_0_10000, const QString& status)
{
    QProgressBar* bar = ui->*UPLOAD_TABS[tab].bar;
    bar->setRange(0, int(kUploadBarMax));
    bar->setValue(bar_0_10000);
    // Once cancelled, the status says so until the upload has stopped.
    if (!cancelled)
        ui->statusbar->showMessage(status);
}

void Uploads::showPercent(const char* format, uint32_t done, uint32_t total)
{
    ui->progressBar_firmware->setValue(int(percentOf(done, total)));
    ui->statusbar->showMessage(QString(format).arg(done).arg(total));
}

void Uploads::cancel()
{
    if (!running())
        return;
    cancelled = true;
    ui->pushButton_cancel_fw->setEnabled(false);
    ui->pushButton_cancel_airport->setEnabled(false);
    qDebug() << "Upload cancelled by the user";
    ui->statusbar->showMessage("Cancelling - the upload stops at its next block or packet...");
}

void Uploads::stopAndWait()
{
    cancelled = true;
    for (QPointer<QThread>& t : threads) {
        if (t && t->isRunning()) {
            if (!t->wait(120000)) {
                while (t && t->isRunning())
                    t->wait(1000);
            }
        }
        // Its finish and deleteLater will not run any more.
        delete t.data();
    }
}

bool Uploads::offerCanFd(int tab, qint64 bytes)
{
    USBHID* usb = comms->getUSBHID();
    CANFD* can = comms->getCANFD();
    // Both links must reach the one unit: another unit on the bus would get
    // the image meant for this one.
    if (comms->getActiveInterface() != USB_HID || !usb || !usb->isConnected() || !can || !can->isConnected() ||
        comms->serialNumber(USB_HID) != comms->serialNumber(CAN_FD))
        return true;
    const double packets = std::ceil(double(bytes >= 0 ? bytes : QFileInfo(*paths[tab]).size()) / 64.0);
    QMessageBox question(QMessageBox::Question, "Upload over CAN FD?",
                         QString("The unit is connected by USB and on %1. This upload takes %2 over CAN FD and "
                                 "%3 over USB.\n\nSend it over CAN FD?")
                             .arg(can->name().c_str(), aboutDuration(packets * kCanPacketSeconds),
                                  aboutDuration(packets * kUsbPacketSeconds)),
                         QMessageBox::Cancel, window);
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
        emit linkChanged();
    }
    return true;
}

void Uploads::browse(int tab)
{
    const UploadTab& t = UPLOAD_TABS[tab];
    const QString path = QFileDialog::getOpenFileName(window, tr(t.caption), QString(), tr(t.filter));
    if (path.isEmpty())
        return;
    *paths[tab] = path;
    const QString name = QFileInfo(path).fileName();
    if (tab == FIRMWARE_TAB)
        ui->text_firmware_file->setText(name);
    else
        ui->text_firmware_file_2->setPlainText(name);
    (ui->*t.file)->setEnabled(true);
    (ui->*t.start)->setEnabled(true);
    (ui->*t.bar)->setEnabled(true);
}

void Uploads::start(int tab)
{
    const UploadTab& t = UPLOAD_TABS[tab];
    const UploadTab& other = UPLOAD_TABS[1 - tab];
    if (paths[tab]->isEmpty()) {
        ui->statusbar->showMessage(t.no_file);
        return;
    }
    if (!comms || !comms->isConnected()) {
        ui->statusbar->showMessage("Device not connected. Please connect to device first.");
        qDebug() << t.not_connected_log;
        return;
    }
    if (threads[tab]) {
        ui->statusbar->showMessage(t.already_running);
        return;
    }
    if (threads[1 - tab]) {
        ui->statusbar->showMessage(t.other_running);
        return;
    }
    // The file is read whole and checked, with the command-line tool's
    // checks, before anything is asked or kept: a file the unit would refuse
    // costs no question and no copy of the settings. What is sent is this
    // copy, so what was checked is what the unit gets.
    const std::shared_ptr<upload_image_t> image = std::make_shared<upload_image_t>();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool accepted = load_upload_image(paths[tab]->toLocal8Bit().constData(), t.kind, image.get());
    QApplication::restoreOverrideCursor();
    if (!accepted) {
        qDebug().noquote() << "Upload refused:" << *paths[tab] << QString::fromStdString(image->fault);
        ui->statusbar->showMessage(t.failed + QString("the file ") + QString::fromStdString(image->fault));
        return;
    }
    // A new firmware may start from other settings: the ones the unit holds
    // are kept first.
    if (tab == FIRMWARE_TAB &&
        !files.keepUnitBackup("Firmware update", "before firmware upload of " + QFileInfo(*paths[tab]).fileName()))
        return;
    if (!offerCanFd(tab, qint64(image->bytes.size())))
        return;

    (ui->*t.browse)->setEnabled(false);
    (ui->*t.start)->setEnabled(false);
    (ui->*t.file)->setEnabled(false);
    (ui->*t.cancel)->setEnabled(true);
    QProgressBar* bar = ui->*t.bar;
    bar->setEnabled(true);
    bar->setRange(0, int(kUploadBarMax));
    bar->setValue(0);
    bar->resetFormat();
    // The link belongs to the upload: settings exchanges would take its
    // acknowledgements, a reboot would cut its writes.
    const std::array<QWidget*, 6> held = linkControls(ui, other);
    for (size_t i = 0; i < held.size(); ++i) {
        heldControls[i] = held[i]->isEnabled();
        held[i]->setEnabled(false);
    }

    ui->statusbar->showMessage(t.starting);
    if (tab == FIRMWARE_TAB)
        qDebug() << "Starting firmware update with file:" << *paths[tab];
    else
        qDebug() << "Airport database upload:" << *paths[tab];

    cancelled = false;
    succeeded = false;
    airportDatabaseClosed = false;
    reason.clear();
    Uploads* uploads = this;
    CommsManager* commsPtr = comms;
    QThread* worker = QThread::create([uploads, image, commsPtr, tab] {
        bool closed = false;
        std::string reason;
        ThrottledUploadProgressCtx ctx;
        ctx.uploads = uploads;
        ctx.tab = tab;
        const bool ok = tab == FIRMWARE_TAB ? send_fw_image(commsPtr, *image, progress_callback, &ctx,
                                                            &uploads->cancelled, &reason)
                                            : send_airport_db_image(commsPtr, *image, progress_callback, &ctx,
                                                                    &uploads->cancelled, &closed, &reason);
        uploads->reason = reason;
        uploads->airportDatabaseClosed = closed;
        uploads->succeeded = ok;
    });
    threads[tab] = worker;
    connect(worker, &QThread::finished, this, [this, tab] { finish(tab); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start(QThread::InheritPriority);
}

void Uploads::finish(int tab)
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
    // cancelled one also says what the unit is left with, and its bar that it
    // was cancelled there.
    if (cancelled && !succeeded)
        (ui->*t.bar)->setFormat("%p% - cancelled");
    if (succeeded) {
        (ui->*t.bar)->setValue(int(kUploadBarMax));
        ui->statusbar->showMessage(t.finished);
    } else {
        QString text =
            (cancelled ? t.stopped : t.failed) + (reason.empty() ? seeTheLog() : QString::fromStdString(reason));
        if (tab == AIRPORT_TAB && airportDatabaseClosed)
            text += "; the unit's airport database stays closed until a complete transfer";
        else if (tab == FIRMWARE_TAB && cancelled)
            text += "; the unit keeps running the firmware it has";
        ui->statusbar->showMessage(text);
    }
    if (tab == FIRMWARE_TAB)
        qDebug() << "Firmware update process finished";
    threads[tab] = nullptr;
    // Settings traffic goes over USB again, as before the upload.
    comms->setPreferCANFD(false);
    emit ended(tab, succeeded, tab == AIRPORT_TAB ? bool(airportDatabaseClosed) : true);
    emit linkChanged();
}
