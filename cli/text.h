#ifndef CLI_TEXT_H
#define CLI_TEXT_H

// Arguments, file names and texts from files and the unit as bytes, and as
// they may reach a terminal.

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace cli {

// Arguments and file names are bytes. Bytes that are not UTF-8 become
// U+DC80-U+DCFF, so that a name goes through QString and back unchanged
// (QFile::decodeName would turn them into U+FFFD and open another name).
QString arg_text(const QByteArray& raw);
QByteArray arg_bytes(const QString& text);

// Text from files, the command line and the unit as it may reach a
// terminal: control characters (C0, DEL, C1) and bytes that were not UTF-8
// as \xNN, so that none of them acts on the terminal.
QByteArray shown(const QString& text);

// A file's own name, as a copy of the settings says what it was kept
// before: "-" is standard input, and control characters and bytes that
// were not UTF-8 are written out.
QString base_name(const QString& path);

// One message line, escaped.
void say(FILE* f, const QString& text);

}  // namespace cli

#endif
