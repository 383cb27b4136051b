#include "app/settings_files.h"

#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QJsonObject>
#include <QMessageBox>
#include <QStatusBar>

#include "settings_doc/doc_files.h"
#include "settings_doc/settings_file.h"
#include "settings_doc/unit_record.h"
#include "ui_mainwindow.h"

SettingsFiles::SettingsFiles(Ui_MainWindow* ui, QWidget* window, CommsManager* const& comms, WorkingRecord record,
                             FormBinding& form)
    : ui(ui),
      window(window),
      comms(comms),
      record(record),
      form(form),
      unitRecord(),
      unitRecordChecksum(0),
      unitRecordSerial(0xFFFFFFFFu)
{
}

uint32_t SettingsFiles::unitSerial() const
{
    return comms ? comms->serialNumber(comms->getActiveInterface()) : 0xFFFFFFFFu;
}

void SettingsFiles::rememberUnitRecord(const Settings_t& unit, uint32_t checksum)
{
    unitRecord = unit;
    unitRecordChecksum = checksum;
    unitRecordSerial = unitSerial();
}

void SettingsFiles::forgetUnitRecord()
{
    unitRecordSerial = 0xFFFFFFFFu;
}

bool SettingsFiles::keepUnitBackup(const QString& what, const QString& keptBefore)
{
    const uint32_t serial = unitSerial();
    QString error;
    if (unitRecordSerial != serial) {
        Settings_t unit;
        uint32_t checksum = 0;
        if (settings_doc::read_record(comms, &unit, &checksum, &error, nullptr, nullptr))
            rememberUnitRecord(unit, checksum);
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
        window, "No copy of the settings",
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

void SettingsFiles::exportSettings()
{
    const uint32_t serial = unitSerial();
    const QString suggested = QDir::home().filePath(
        QString("skarvel-efis-%1-%2.json")
            .arg(settings_doc::hex(serial).mid(2), QDate::currentDate().toString("yyyy-MM-dd")));
    const QString file =
        QFileDialog::getSaveFileName(window, "Export settings", suggested, "Settings files (*.json);;All Files (*)");
    if (file.isEmpty())
        return;
    // What the unit holds now, checked as the command-line tool checks an
    // export.
    Settings_t unit;
    uint32_t checksum = 0;
    QString error;
    QByteArray text;
    if (!settings_doc::read_record(comms, &unit, &checksum, &error, nullptr, nullptr) ||
        !settings_doc::export_text(unit, serial, checksum, &text, &error)) {
        ui->statusbar->showMessage("Error: Export failed - " + error + "; no file written");
        return;
    }
    rememberUnitRecord(unit, checksum);
    if (!settings_doc::replace_file(QFile::encodeName(file), text, &error)) {
        ui->statusbar->showMessage("Error: cannot write " + file + ": " + error + "; no file was replaced");
        return;
    }
    ui->statusbar->showMessage(QString("Settings of unit %1 written to %2").arg(settings_doc::hex(serial), file));
}

bool SettingsFiles::importSettings(const QString& editsNote)
{
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
        choice = QInputDialog::getItem(window, "Import settings",
                                       QString("Settings of unit %1 as kept before they changed, newest first, or "
                                               "another file:")
                                           .arg(settings_doc::hex(serial)),
                                       items, 0, false, &ok);
        if (!ok)
            return false;
    }
    QByteArray path;
    QString name;
    if (choice == anotherFile) {
        name = QFileDialog::getOpenFileName(window, "Import settings", QFile::decodeName(settings_doc::backups_dir()),
                                            "Settings files (*.json);;All Files (*)");
        if (name.isEmpty())
            return false;
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
        return false;
    }
    Settings_t unit;
    uint32_t checksum = 0;
    if (!settings_doc::read_record(comms, &unit, &checksum, &error, nullptr, nullptr)) {
        ui->statusbar->showMessage("Error: Import stopped - " + error + "; nothing sent");
        return false;
    }
    rememberUnitRecord(unit, checksum);
    settings_doc::Values values;
    if (!settings_doc::check_document(doc, unit, &values, &error)) {
        ui->statusbar->showMessage("Error: " + name + ": " + error);
        return false;
    }
    const Settings_t target = settings_doc::with_values(unit, values);
    const QStringList changes = settings_doc::change_lines(unit, target);
    if (changes.isEmpty()) {
        ui->statusbar->showMessage("No value in " + name + " differs from the unit's - nothing sent");
        return false;
    }
    QStringList question;
    question << QString("Import %1 into unit %2?").arg(name, settings_doc::hex(serial)) << QString() << changes;
    for (const settings_doc::LimitConflict& c : settings_doc::limit_conflicts(target))
        question << "Warning: " + c.text;
    question << QString() << "The settings the unit holds are kept as a copy first; then the changes are sent, "
                             "stored and read back.";
    if (!editsNote.isEmpty())
        question << editsNote;
    if (QMessageBox::question(window, "Import settings", question.join('\n'), QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes) {
        ui->statusbar->showMessage("Import cancelled - nothing sent");
        return false;
    }
    if (!keepUnitBackup("Import", "before import of " + QFileInfo(name).fileName()))
        return false;

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
        return false;
    case settings_doc::Applied::StoreFailed:
        ui->statusbar->showMessage("Error: Import failed - the unit did not confirm the store" + live);
        return false;
    case settings_doc::Applied::Stopped:
    case settings_doc::Applied::ReadBackFailed:
        ui->statusbar->showMessage(QString("Error: Import stored with checksum %1, but the read back found %2 - Load "
                                           "shows what the unit holds")
                                       .arg(settings_doc::hex(r.crc), r.detail));
        return false;
    }
    // The form shows what the unit read back.
    record.values = r.back;
    record.checksum = r.back_crc;
    record.memVersion = r.back.version;
    record.changed.clear();
    rememberUnitRecord(r.back, r.back_crc);
    form.show();
    ui->statusbar->showMessage(QString("Settings imported from %1: %2 value(s) sent, record stored with checksum %3 "
                                       "and read back")
                                   .arg(name)
                                   .arg(r.changed)
                                   .arg(settings_doc::hex(r.crc)));
    return true;
}
