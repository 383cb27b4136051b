#ifndef CLI_HELP_H
#define CLI_HELP_H

// The tool's commands and their help texts.

#include <QString>
#include <QStringList>

namespace cli {

struct Command {
    QStringList words;  // "settings", "import"
    const char* args;
    const char* summary;  // one line, in the command list
    const char* help;
};

// The command the positional arguments start with, or null; *used is how
// many of them name it.
const Command* find_command(const QStringList& positional, int* used);

// One line for each command, after a usage error.
QString command_list();
// The help of one command: its usage and what it does.
QString command_help(const QString& program, const Command& c);
// The general help (`general` is the option list's) with the commands, and
// with `all` every command's help and every setting; then the exit status.
QString full_help(const QString& general, bool all);

}  // namespace cli

#endif
