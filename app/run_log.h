#ifndef APP_RUN_LOG_H
#define APP_RUN_LOG_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <mutex>

#include "output_capture/stdout_capture.h"

// The window's own log. A program started from the desktop menu has no
// terminal, so everything it prints goes to a file as well: the message
// handler's lines, and the diagnostic lines the link and flash code print
// on standard output. Standard output itself keeps them: the capture
// shared with the command-line tool (output_capture/) copies what arrives
// to the real standard output and into the log.
//
// One log per process, shared by every window; each window's life is one
// run with its own file, $XDG_STATE_HOME/skarvel-efis-config/
// skarvel-efis-config.log. The files of the runs before move up one number
// (.log.1 is the run before), and the last KEPT_RUNS runs are kept.
//
// A run holds its file locked (flock) while it writes it. Only a run that
// finds the newest run's file unlocked moves the files up; a window started
// while another one writes it writes skarvel-efis-config-PID.log beside it
// instead, so that no window writes a file its Log window does not name.
// Of those, the newest KEPT_RUNS are kept, and any a window still writes.
//
// Thread-safe: lines come from the GUI thread, the upload workers and the
// reader thread.
class RunLog : public QObject {
    Q_OBJECT

public:
    static constexpr int KEPT_RUNS = 5;

    // The one log, made on first use and never destroyed, so that the
    // reader thread and late log lines never meet a freed object.
    static RunLog& instance();

    // $XDG_STATE_HOME/skarvel-efis-config, or ~/.local/state/... when the
    // variable is unset or not an absolute path.
    static QString directory();

    // Starts a run: rotates the files and opens a new one, or opens a file
    // of its own beside the one another window writes. The first run also
    // starts copying standard output into the log. Returns the run's
    // number, for endRun.
    int startRun();
    // Ends the run, if it is still the current one, and closes its file
    // (which lets the next window rotate it).
    void endRun(int run);

    // The current run's file; empty when none could be opened.
    QString filePath() const;
    // The same, with the home folder shown as "~"; says where nothing
    // could be written, and why.
    QString shownFilePath() const;

    // Lines written by this process that do not pass through standard
    // output: the message handler's, the window's status errors.
    void append(const QByteArray& text);
    // Takes into the log, at once, what was printed on standard output so
    // far, so that a line appended next comes after it.
    void takeStandardOutput();

    // The current run's whole lines from position *from on (a position
    // counts the bytes appended since the process started); moves *from
    // past them. A position before what is still kept starts at the
    // beginning of what is.
    QByteArray textFrom(qint64* from) const;
    // Everything of the current run that is still kept.
    QByteArray text() const;

signals:
    // Emitted from any thread after text was appended; connect queued.
    void grown();

private:
    RunLog();

    static void atExit();
    // Opens the run's file into logFd and path; with `lock` held.
    void openRunFileLocked(const QString& dir);
    void appendLocked(const char* data, size_t size);

    mutable std::mutex lock;
    int logFd = -1;
    QString path;
    QString openError;
    int runNumber = 0;
    // The end of the run's text: bytes [total - tail.size(), total).
    QByteArray tail;
    qint64 total = 0;
    output_capture::StdoutCapture standardOutput;
};

#endif
