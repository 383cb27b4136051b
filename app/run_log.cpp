#include "run_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

const char* const LOG_NAME = "skarvel-efis-config.log";
// What the Log window can show of one run; the file keeps everything.
const int TAIL_LIMIT = 8 * 1024 * 1024;

// The file of the run `age` runs back; 0 is the current one.
QString runFile(const QString& dir, int age)
{
    const QString name = dir + "/" + LOG_NAME;
    return age == 0 ? name : name + "." + QString::number(age);
}

void writeAll(int fd, const char* data, size_t size, bool* failed = nullptr)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (failed)
                *failed = true;
            return;
        }
        data += n;
        size -= size_t(n);
    }
}

// Copies to the real standard output. A reader that went away (a closed
// pipe) ends the copy, not the program: SIGPIPE is held back meanwhile and
// taken if the write raised it. False once the copy has ended.
bool copyOut(int fd, const char* data, size_t size)
{
    sigset_t pipeSignal, before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    bool failed = false;
    writeAll(fd, data, size, &failed);
    if (failed && errno == EPIPE) {
        const timespec none = {0, 0};
        sigtimedwait(&pipeSignal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return !failed;
}

}  // namespace

RunLog& RunLog::instance()
{
    static RunLog* const log = new RunLog;
    return *log;
}

RunLog::RunLog() : QObject(nullptr) {}

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
    std::call_once(installed, [this] { installStandardOutputCopy(); });
    // What the run before printed belongs in its own file.
    takeStandardOutput();

    const QString dir = directory();
    std::lock_guard<std::mutex> hold(lock);
    if (logFd >= 0)
        ::close(logFd);
    logFd = -1;
    path.clear();
    openError.clear();
    tail.clear();
    ++runNumber;
    if (!QDir().mkpath(dir)) {
        openError = QString("cannot create %1").arg(dir);
    } else {
        for (int age = KEPT_RUNS - 1; age > 0; --age)
            std::rename(QFile::encodeName(runFile(dir, age - 1)).constData(),
                        QFile::encodeName(runFile(dir, age)).constData());
        const QString name = runFile(dir, 0);
        logFd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC,
                       0600);
        const int error = errno;
        if (logFd >= 0)
            path = name;
        else
            openError = QString("cannot write %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(error)));
    }
    const QByteArray header = "Skarvel EFIS Config, run started " +
                              QDateTime::currentDateTime().toString(Qt::ISODate).toLatin1() + "\n";
    appendLocked(header.constData(), size_t(header.size()));
    return runNumber;
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
    // Outside the lock: a flush into a full pipe waits for the reader.
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!copying)
            return;
        drainLocked();
    }
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

void RunLog::installStandardOutputCopy()
{
    std::fflush(stdout);
    // A program started without standard output still logs what it prints.
    if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0 && null != STDOUT_FILENO) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return;
    realStdout = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (realStdout < 0 || ::dup2(p[1], STDOUT_FILENO) < 0) {
        ::close(p[0]);
        ::close(p[1]);
        return;
    }
    ::close(p[1]);
    ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK);
    pipeRead = p[0];
    copying = true;

    // The reader takes no signals: they belong to the threads that wait
    // for them (Ctrl-C, for one).
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    std::thread(&RunLog::readerLoop, this).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    std::atexit(&RunLog::atExit);
}

void RunLog::atExit()
{
    // The last lines still in the pipe go on, and standard output is given
    // back: what is printed later must not wait for a reader that is gone.
    RunLog& log = instance();
    log.takeStandardOutput();
    std::lock_guard<std::mutex> hold(log.lock);
    if (log.copying) {
        // Where standard output went before; nowhere once its reader left.
        const int back = log.realStdout >= 0 ? log.realStdout : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(back, STDOUT_FILENO);
    }
    log.copying = false;
}

void RunLog::readerLoop()
{
    for (;;) {
        pollfd waiting = {pipeRead, POLLIN, 0};
        if (::poll(&waiting, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        bool open;
        {
            std::lock_guard<std::mutex> hold(lock);
            drainLocked();
            open = copying;
        }
        // Closed means the process is ending: nobody is left to tell.
        if (!open)
            return;
        emit grown();
    }
}

void RunLog::drainLocked()
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(pipeRead, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            // Every writer is gone: standard output was given back.
            copying = false;
            return;
        }
        if (n < 0)
            return;
        if (realStdout >= 0 && !copyOut(realStdout, buffer, size_t(n))) {
            ::close(realStdout);
            realStdout = -1;
        }
        appendLocked(buffer, size_t(n));
    }
}

void RunLog::appendLocked(const char* data, size_t size)
{
    if (logFd >= 0) {
        bool failed = false;
        writeAll(logFd, data, size, &failed);
        const int error = errno;
        if (failed) {
            openError = QString("writing %1 failed: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
            ::close(logFd);
            logFd = -1;
            path.clear();
        }
    }
    tail.append(data, int(size));
    total += qint64(size);
    if (tail.size() > TAIL_LIMIT) {
        // Whole lines go, half of what is kept at a time.
        const int cut = tail.indexOf('\n', tail.size() - TAIL_LIMIT / 2);
        tail.remove(0, cut < 0 ? tail.size() - TAIL_LIMIT / 2 : cut + 1);
    }
}
