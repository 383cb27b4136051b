#include "run_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const LOG_NAME = "skarvel-efis-config.log";
// The files of the windows that ran beside another one.
const char* const SIDE_PATTERN = "skarvel-efis-config-*.log";
// What the Log window can show of one run; the file keeps everything.
const int TAIL_LIMIT = 8 * 1024 * 1024;

// The file of the run `age` runs back; 0 is the current one.
QString runFile(const QString& dir, int age)
{
    const QString name = dir + "/" + LOG_NAME;
    return age == 0 ? name : name + "." + QString::number(age);
}

QByteArray fileName(const QString& path) { return QFile::encodeName(path); }

enum class Claim { Taken, Held, Failed };

// Opens `name` for appending and locks it. Held when a running window
// holds it. A file renamed by that window's rotation between the open and
// the lock is not the newest run's any more: the name is opened again.
Claim claim(const QString& name, int* fd)
{
    const QByteArray bytes = fileName(name);
    for (int tries = 0; tries < 5; ++tries) {
        *fd = ::open(bytes.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (*fd < 0)
            return Claim::Failed;
        // A file system without locks logs as if no other window ran.
        if (::flock(*fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            break;
        struct stat opened, named;
        if (::fstat(*fd, &opened) == 0 && ::stat(bytes.constData(), &named) == 0 && opened.st_dev == named.st_dev &&
            opened.st_ino == named.st_ino)
            return Claim::Taken;
        ::close(*fd);
        *fd = -1;
    }
    if (*fd >= 0)
        ::close(*fd);
    *fd = -1;
    return Claim::Held;
}

// Removes the files of windows that ran beside another one and ended,
// all but the newest KEPT_RUNS.
void pruneSideFiles(const QString& dir)
{
    const QFileInfoList files = QDir(dir).entryInfoList({SIDE_PATTERN}, QDir::Files, QDir::Time);
    for (int i = RunLog::KEPT_RUNS; i < files.size(); ++i) {
        const QByteArray name = fileName(files[i].filePath());
        const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(name.constData());
        ::close(fd);
    }
}

}  // namespace

RunLog& RunLog::instance()
{
    static RunLog* const log = new RunLog;
    return *log;
}

RunLog::RunLog()
    : QObject(nullptr),
      standardOutput(
          [this](const char* data, size_t size) {
              std::lock_guard<std::mutex> hold(lock);
              appendLocked(data, size);
          },
          true, [this] { emit grown(); })
{
}

QString RunLog::directory()
{
    QString base = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + "/.local/state";
    return base + "/skarvel-efis-config";
}

int RunLog::startRun()
{
    static std::once_flag installed;
    std::call_once(installed, [this] {
        if (standardOutput.start())
            std::atexit(&RunLog::atExit);
    });
    // What the run before printed belongs in its own file.
    takeStandardOutput();

    const QString dir = directory();
    std::lock_guard<std::mutex> hold(lock);
    // Closed first: this process's own lock must not keep its next run
    // from rotating.
    if (logFd >= 0)
        ::close(logFd);
    logFd = -1;
    path.clear();
    openError.clear();
    tail.clear();
    ++runNumber;
    if (!QDir().mkpath(dir))
        openError = QString("cannot create %1").arg(dir);
    else
        openRunFileLocked(dir);
    const QByteArray header = "Skarvel EFIS Config, run started " +
                              QDateTime::currentDateTime().toString(Qt::ISODate).toLatin1() + "\n";
    appendLocked(header.constData(), size_t(header.size()));
    return runNumber;
}

void RunLog::openRunFileLocked(const QString& dir)
{
    QString name = runFile(dir, 0);
    Claim got = claim(name, &logFd);
    struct stat held;
    if (got == Claim::Taken && ::fstat(logFd, &held) == 0 && held.st_size > 0) {
        // No window writes the newest run's file: it becomes the run before
        // (an empty one, just made, holds no run).
        for (int age = KEPT_RUNS - 1; age > 0; --age)
            std::rename(fileName(runFile(dir, age - 1)).constData(), fileName(runFile(dir, age)).constData());
        ::close(logFd);
        got = claim(name, &logFd);
        if (got == Claim::Taken)
            (void)!::ftruncate(logFd, 0);
    }
    if (got == Claim::Held) {
        pruneSideFiles(dir);
        name = QString("%1/skarvel-efis-config-%2.log").arg(dir).arg(::getpid());
        logFd = ::open(fileName(name).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        // Locked too, so that pruning leaves it while this window writes it.
        if (logFd >= 0)
            ::flock(logFd, LOCK_EX | LOCK_NB);
    }
    const int error = errno;
    if (logFd >= 0)
        path = name;
    else
        openError = QString("cannot write %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(error)));
}

void RunLog::endRun(int run)
{
    takeStandardOutput();
    std::lock_guard<std::mutex> hold(lock);
    if (run != runNumber || logFd < 0)
        return;
    ::close(logFd);
    logFd = -1;
}

QString RunLog::filePath() const
{
    std::lock_guard<std::mutex> hold(lock);
    return path;
}

QString RunLog::shownFilePath() const
{
    std::lock_guard<std::mutex> hold(lock);
    if (path.isEmpty())
        return QString("no log file (%1)").arg(openError.isEmpty() ? QString("not started") : openError);
    const QString home = QDir::homePath();
    if (home != "/" && path.startsWith(home + "/"))
        return "~" + path.mid(home.size());
    return path;
}

void RunLog::append(const QByteArray& text)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        appendLocked(text.constData(), size_t(text.size()));
    }
    emit grown();
}

void RunLog::takeStandardOutput()
{
    standardOutput.take();
    emit grown();
}

QByteArray RunLog::textFrom(qint64* from) const
{
    std::lock_guard<std::mutex> hold(lock);
    const qint64 start = total - tail.size();
    if (*from < start)
        *from = start;
    QByteArray chunk = tail.mid(int(*from - start));
    chunk.truncate(chunk.lastIndexOf('\n') + 1);
    *from += chunk.size();
    return chunk;
}

QByteArray RunLog::text() const
{
    std::lock_guard<std::mutex> hold(lock);
    return tail;
}

void RunLog::atExit()
{
    // The last lines still in the pipe go on, and standard output is given
    // back: what is printed later must not wait for a reader that is gone.
    instance().standardOutput.give_back();
}

void RunLog::appendLocked(const char* data, size_t size)
{
    if (logFd >= 0 && !output_capture::write_all(logFd, data, size)) {
        const int error = errno;
        openError = QString("writing %1 failed: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
        ::close(logFd);
        logFd = -1;
        path.clear();
    }
    tail.append(data, int(size));
    total += qint64(size);
    if (tail.size() > TAIL_LIMIT) {
        // Whole lines go, half of what is kept at a time.
        const int cut = tail.indexOf('\n', tail.size() - TAIL_LIMIT / 2);
        tail.remove(0, cut < 0 ? tail.size() - TAIL_LIMIT / 2 : cut + 1);
    }
}
