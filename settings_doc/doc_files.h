#ifndef SETTINGS_DOC_DOC_FILES_H
#define SETTINGS_DOC_DOC_FILES_H

// Settings documents on disk: read from a file the user names, written so
// that a failure leaves the old file whole, and the copies both programs
// keep of a unit's settings before they change what it holds.
//
// Paths are bytes, as the system takes them: a name that is not UTF-8 is
// still a name.

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <vector>

#include "EFIS_shared/settings_types.h"

namespace settings_doc {

// A settings document from `path` ("-": standard input), which must be a
// regular file; no read goes past the largest document. False with *error,
// naming the file as `name`, when it cannot be read or is no document.
bool read_document(const QByteArray& path, const QString& name, QJsonObject* doc, QString* error);

// Writes a file through a new one beside it, renamed over the target only
// once every byte was written and synced: a failed write leaves the old
// file as it was and no temporary behind. A file replaced keeps its
// permission bits; new files get the mode the umask gives.
bool replace_file(const QByteArray& path, const QByteArray& data, QString* error);

// Copies of a unit's settings kept per serial number, the newest
// BACKUPS_KEPT of each.
const int BACKUPS_KEPT = 20;

// $XDG_DATA_HOME/skarvel-efis-config/backups (~/.local/share/... without it).
QByteArray backups_dir();

// A copy is a regular file in its unit's folder named
// "<sequence>-<UTC time>.json" (or, as older versions wrote them, only
// "<UTC time>.json"); nothing else there is listed or pruned.
struct Backup {
    uint32_t serial;
    quint64 sequence;   // order of writing; 0 for copies named by time only
    QDateTime saved;    // UTC, from the clock of the day: shown, not trusted for order
    QString kept_before;  // "before Save"; empty for older copies
    QByteArray path;
};

// One unit's copies, newest first: by the order they were written, so a
// clock set wrong once does not decide which copy goes.
std::vector<Backup> list_backups(uint32_t serial);
// Every unit's, by serial number, each unit's newest first.
std::vector<Backup> list_all_backups();

// Keeps `record`, as read from the unit with `serial` (its checksum as the
// unit gave it), as a settings document saying what it was kept before
// ("before Save"), and drops the oldest beyond BACKUPS_KEPT, never the one
// just written. When the newest copy already holds this record, nothing is
// written: *path gets that copy and *written false. The copy holds what was
// read even where an import would refuse it (a value outside the window's
// range): it is a record of the unit, and the import says what it refuses.
// A value that is not a number is named, not kept. False with *error when
// no copy could be written.
bool write_backup(const Settings_t& record, uint32_t serial, uint32_t checksum, const QString& kept_before,
                  QByteArray* path, bool* written, QString* error);

}  // namespace settings_doc

#endif
