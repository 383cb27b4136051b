#include "doc_files.h"

#include <QFile>
#include <QJsonDocument>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "settings_file.h"

namespace settings_doc {

namespace {

// Copies are named "<sequence>-<UTC time>.json": the sequence orders them,
// the time is for people. Older versions named them by the time alone.
const char* const STAMP = "yyyy-MM-dd'T'HHmmss.zzz'Z'";
const char* const SUFFIX = ".json";
const int SEQUENCE_DIGITS = 6;
// What a copy says it was kept before, shown and never imported.
const char* const KEPT_BEFORE = "kept_before";

bool write_all(int fd, const QByteArray& data)
{
    for (qint64 done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// What a file's type is called in a refusal.
const char* file_kind(mode_t mode)
{
    return S_ISDIR(mode)    ? "a directory"
           : S_ISFIFO(mode) ? "a FIFO"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISSOCK(mode) ? "a socket"
                            : "not a regular file";
}

// mkdir -p, the new directories for the user alone.
bool make_dirs(const QByteArray& dir, QString* error)
{
    for (int i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/')
            continue;
        const QByteArray part = dir.left(i);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
            *error = QString("cannot make %1: %2").arg(QFile::decodeName(part), std::strerror(errno));
            return false;
        }
    }
    struct stat st;
    if (stat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = QString("%1 is not a directory").arg(QFile::decodeName(dir));
        return false;
    }
    return true;
}

QByteArray serial_dir(uint32_t serial)
{
    return backups_dir() + '/' + QByteArray::number(serial, 16).rightJustified(8, '0').toUpper();
}

// The sequence and time a copy's name gives; false for a name that is
// not a copy's.
bool parse_copy_name(const QByteArray& name, quint64* sequence, QDateTime* saved)
{
    if (!name.endsWith(SUFFIX))
        return false;
    QByteArray stamp = name.chopped(int(strlen(SUFFIX)));
    *sequence = 0;
    const int dash = stamp.indexOf('-');
    if (dash >= SEQUENCE_DIGITS) {
        bool ok = false;
        const QByteArray digits = stamp.left(dash);
        const quint64 n = digits.toULongLong(&ok, 10);
        if (!ok || n == 0 || digits.startsWith('+'))
            return false;
        *sequence = n;
        stamp = stamp.mid(dash + 1);
    }
    *saved = QDateTime::fromString(QString::fromLatin1(stamp), STAMP);
    if (!saved->isValid())
        return false;
    saved->setTimeSpec(Qt::UTC);
    return true;
}

// What a copy says it was kept before; empty when it does not say.
QString kept_before_in(const QByteArray& path)
{
    QFile f(QFile::decodeName(path));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QJsonDocument::fromJson(f.read(MAX_DOCUMENT_BYTES)).object().value(KEPT_BEFORE).toString();
}

// The copies in one unit's directory, newest first: by sequence, and the
// older copies without one by their time, after every numbered copy.
std::vector<Backup> backups_in(const QByteArray& dir, uint32_t serial)
{
    std::vector<Backup> out;
    DIR* d = opendir(dir.constData());
    if (!d)
        return out;
    while (const dirent* e = readdir(d)) {
        const QByteArray name(e->d_name);
        Backup b{serial, 0, QDateTime(), QString(), dir + '/' + name};
        struct stat st;
        if (!parse_copy_name(name, &b.sequence, &b.saved) || lstat(b.path.constData(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            continue;  // not one of ours: left alone
        out.push_back(b);
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const Backup& a, const Backup& b) {
        return a.sequence != b.sequence ? a.sequence > b.sequence : a.saved > b.saved;
    });
    for (Backup& b : out)
        b.kept_before = kept_before_in(b.path);
    return out;
}

// The document of a copy without what it says of itself: what the unit held.
QJsonObject record_part(QJsonObject doc)
{
    doc.remove(KEPT_BEFORE);
    return doc;
}

}  // namespace

bool read_document(const QByteArray& path, const QString& name, QJsonObject* doc, QString* error)
{
    // Opened without waiting (a FIFO with no writer would block the open).
    const bool from_stdin = path == "-";
    const int fd = from_stdin ? STDIN_FILENO : ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    QString why;
    if (fd < 0 || fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!from_stdin && !S_ISREG(st.st_mode))
        why = QString("%1, not a settings file").arg(file_kind(st.st_mode));
    else if (!from_stdin && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        why = std::strerror(errno);
    QByteArray text;
    while (why.isEmpty() && text.size() <= MAX_DOCUMENT_BYTES) {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, size_t(qMin<qint64>(sizeof buf, MAX_DOCUMENT_BYTES + 1 - text.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            why = std::strerror(errno);
        if (n <= 0)
            break;
        text.append(buf, int(n));
    }
    if (fd >= 0 && !from_stdin)
        ::close(fd);
    if (!why.isEmpty()) {
        *error = "cannot read " + name + ": " + why;
        return false;
    }
    if (!parse_document(text, doc, error)) {
        *error = name + ": " + *error;
        return false;
    }
    return true;
}

bool replace_file(const QByteArray& path, const QByteArray& data, QString* error)
{
    QByteArray target = path;
    struct stat st;
    if (lstat(target.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // The file the link names is replaced, not the link.
        if (char* real = realpath(target.constData(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    const bool replacing = stat(target.constData(), &st) == 0;
    if (replacing && !S_ISREG(st.st_mode)) {
        *error = "not a regular file (- writes to standard output)";
        return false;
    }
    // A file replaced keeps its permission bits (one kept private stays so),
    // not the set-id bits, which would pass to other content. The new file
    // is made with no more than them before they are set exactly.
    const mode_t mode = replacing ? st.st_mode & 0777 : 0666;
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = target + ".tmp-" + QByteArray::number(getpid()) + "-" + QByteArray::number(attempt);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    bool ok = write_all(fd, data) && (!replacing || fchmod(fd, mode) == 0) && fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::rename(temp.constData(), target.constData()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(temp.constData());
        *error = std::strerror(saved);
    }
    return ok;
}

QByteArray backups_dir()
{
    // A relative XDG_DATA_HOME is to be ignored, as an unset one.
    QByteArray base = qgetenv("XDG_DATA_HOME");
    if (!base.startsWith('/'))
        base = qgetenv("HOME") + "/.local/share";
    return base + "/skarvel-efis-config/backups";
}

std::vector<Backup> list_backups(uint32_t serial) { return backups_in(serial_dir(serial), serial); }

std::vector<Backup> list_all_backups()
{
    std::vector<uint32_t> serials;
    const QByteArray dir = backups_dir();
    if (DIR* d = opendir(dir.constData())) {
        while (const dirent* e = readdir(d)) {
            bool ok = false;
            const QByteArray name(e->d_name);
            const uint32_t serial = name.toUInt(&ok, 16);
            if (ok && name.size() == 8 && serial_dir(serial) == dir + '/' + name)
                serials.push_back(serial);
        }
        closedir(d);
    }
    std::sort(serials.begin(), serials.end());
    std::vector<Backup> out;
    for (uint32_t serial : serials) {
        const std::vector<Backup> one = list_backups(serial);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

bool write_backup(const Settings_t& record, uint32_t serial, uint32_t checksum, const QString& kept_before,
                  QByteArray* path, bool* written, QString* error)
{
    *written = false;
    QJsonObject doc = export_document(record, serial, checksum, error, true);
    const QByteArray dir = serial_dir(serial);
    if (!make_dirs(dir, error))
        return false;
    const std::vector<Backup> before = list_backups(serial);
    // An unchanged record keeps no second copy: twenty copies of the same
    // record would push out the one from before a real change.
    if (!before.empty()) {
        QFile newest(QFile::decodeName(before[0].path));
        if (newest.open(QIODevice::ReadOnly) &&
            record_part(QJsonDocument::fromJson(newest.read(MAX_DOCUMENT_BYTES)).object()) == doc) {
            *path = before[0].path;
            return true;
        }
    }
    doc[KEPT_BEFORE] = kept_before;
    quint64 sequence = before.empty() ? 1 : before[0].sequence + 1;
    const QByteArray stamp = QDateTime::currentDateTimeUtc().toString(STAMP).toLatin1();
    struct stat st;
    do {
        *path = dir + '/' + QByteArray::number(sequence).rightJustified(SEQUENCE_DIGITS, '0') + '-' + stamp + SUFFIX;
        ++sequence;
    } while (lstat(path->constData(), &st) == 0);
    if (!replace_file(*path, QJsonDocument(doc).toJson(QJsonDocument::Indented), error)) {
        *error = QString("cannot write %1: %2").arg(QFile::decodeName(*path), *error);
        return false;
    }
    *written = true;
    const std::vector<Backup> kept = list_backups(serial);
    for (size_t i = BACKUPS_KEPT; i < kept.size(); ++i) {
        if (kept[i].path != *path)
            ::unlink(kept[i].path.constData());
    }
    return true;
}

}  // namespace settings_doc
