#ifndef APP_UPLOADS_H
#define APP_UPLOADS_H

// The two upload tabs, firmware and airport database: the file chosen and
// checked before anything is asked, the offer of CAN FD when both links
// reach the unit, the worker that sends the checked copy, its progress,
// Cancel, and what the end leaves the unit with. While one runs, the link is
// the upload's.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <string>

class CommsManager;
class QWidget;
class SettingsFiles;
class Ui_MainWindow;

class Uploads : public QObject {
    Q_OBJECT

public:
    enum Tab { FIRMWARE_TAB = 0, AIRPORT_TAB = 1 };

    // `comms` is the window's link manager, replaced by each connection;
    // `paths` the file chosen on each tab, which the window holds; `window`
    // parents the dialogs.
    Uploads(Ui_MainWindow* ui, QWidget* window, CommsManager* const& comms, SettingsFiles& files,
            QString* firmwarePath, QString* airportPath);

    bool running() const;
    void browse(int tab);
    void start(int tab);
    // The worker stops at its next block or packet boundary, as when the
    // window closes; the finish then says what the unit is left with.
    void cancel();
    void finish(int tab);
    // Asks whether an upload about to go over USB should go over CAN FD when
    // both links reach the same unit, and routes it there if so. False when
    // the user cancelled the upload. `bytes` is the checked image's size;
    // negative: the chosen file's.
    bool offerCanFd(int tab, qint64 bytes = -1);
    // A report from the worker: the bar out of 10000 and the status text.
    void applyProgress(int tab, int bar_0_10000, const QString& status);
    // The firmware bar in percent, with `format` taking `done` and `total`.
    void showPercent(const char* format, uint32_t done, uint32_t total);
    // A worker uses the link manager, so the manager must outlive it: the
    // upload is told to stop at its next block or packet boundary (it then
    // leaves the airport database closed), and this waits for it.
    void stopAndWait();

signals:
    // The link in use may have changed: an upload went over CAN FD, or ended.
    void linkChanged();
    // An upload ended: `complete` when the unit has the whole file;
    // `unitChanged` whether it holds anything else than before (the file is
    // checked before the worker starts, so a firmware upload always changed
    // the spare bank; the airport database: whether it was left closed).
    void ended(int tab, bool complete, bool unitChanged);

private:
    Ui_MainWindow* ui;
    QWidget* window;
    CommsManager* const& comms;
    SettingsFiles& files;
    QString* paths[2];
    QPointer<QThread> threads[2];
    // Set to stop a running upload at its next block or packet boundary.
    std::atomic<bool> cancelled;
    // How the last upload ended, written by its worker before it finishes.
    std::atomic<bool> succeeded;
    std::atomic<bool> airportDatabaseClosed;
    // Why it failed, in a few words; written by its worker before it finishes.
    std::string reason;
    // Enabled states of the controls an upload takes away, for its end.
    bool heldControls[6];
};

#endif
