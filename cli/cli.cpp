#include "cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "help.h"
#include "log_capture.h"
#include "session.h"
#include "stops.h"
#include "text.h"

namespace cli {

namespace {

// The package version, from the build.
const char* const VERSION = EFIS_VERSION;

// Help and version go straight to standard output; a failed write there is
// a failure too.
int stdout_written()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return EXIT_DONE;
    std::fprintf(stderr, "error: cannot write to standard output: %s\n", std::strerror(errno));
    return EXIT_BAD_FILE;
}

}  // namespace

int cli_main(int argc, char** argv)
{
    const WriteSignalsIgnored writes_fail_as_errors;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << arg_text(QByteArray(argv[i]));
    const QString program = QStringLiteral("skarvel-efis-cli");

    QCommandLineParser parser;
    parser.setApplicationDescription("Settings, firmware and airport database of a Skarvel EFIS display unit.");
    const QCommandLineOption help_option({"h", "help"}, "Shows this help, or a command's with the command.");
    const QCommandLineOption help_all_option("help-all", "Shows this help, every command's and every setting's.");
    const QCommandLineOption version_option("version", "Shows the tool's version.");
    const QCommandLineOption link_option(
        "link", "The link to the unit: auto (USB, then CAN FD), usb or can (default: auto).", "LINK", "auto");
    const QCommandLineOption can_option("can-interface", "The SocketCAN interface for CAN FD (default: can0).",
                                        "NAME", "can0");
    const QCommandLineOption serial_option("serial",
                                           "The unit to use, by its serial number in hex: one of the units plugged "
                                           "in by USB (info lists them), or the one on the CAN FD bus.",
                                           "HEX");
    const QCommandLineOption dry_run_option("dry-run", "settings import / set: print what would change, send nothing.");
    const QCommandLineOption no_backup_option(
        "no-backup", "settings import / set, firmware: go on when no copy of the unit's settings can be kept.");
    const QCommandLineOption log_option("log", "Appends the link's diagnostic lines to FILE.", "FILE");
    const QCommandLineOption verbose_option("verbose", "Shows the link's diagnostic lines on standard error.");
    for (const QCommandLineOption& opt :
         {help_option, help_all_option, version_option, link_option, can_option, serial_option, dry_run_option,
          no_backup_option,
          log_option,
          verbose_option})
        parser.addOption(opt);
    parser.addPositionalArgument("command", "One of the commands below; COMMAND --help tells more.",
                                 "COMMAND [ARGUMENTS]");

    if (!parser.parse(arguments)) {
        say(stderr, "error: " + parser.errorText());
        std::fprintf(stderr, "%s", qPrintable(command_list()));
        return EXIT_USAGE;
    }
    const QStringList positional = parser.positionalArguments();
    int used = 0;
    const Command* command = find_command(positional, &used);
    if (parser.isSet(version_option)) {
        std::printf("%s %s\n", qPrintable(program), VERSION);
        return stdout_written();
    }
    QString general = parser.helpText();
    general.replace(QRegularExpression("^Usage: \\S+"), "Usage: " + program);
    if (parser.isSet(help_option) && command) {
        std::printf("%s\n%s", qPrintable(command_help(program, *command)),
                    qPrintable(general.mid(general.indexOf("Options:"))));
        return stdout_written();
    }
    if (parser.isSet(help_option) || parser.isSet(help_all_option)) {
        std::printf("%s", qPrintable(full_help(general, parser.isSet(help_all_option))));
        return stdout_written();
    }
    if (!command) {
        say(stderr, positional.isEmpty() ? QString("error: no command given")
                                         : "error: unknown command \"" + positional.join(' ') + "\"");
        std::fprintf(stderr, "%s", qPrintable(command_list()));
        return EXIT_USAGE;
    }
    Options o;
    o.link = parser.value(link_option);
    o.can_interface = parser.value(can_option);
    o.dry_run = parser.isSet(dry_run_option);
    o.no_backup = parser.isSet(no_backup_option);
    if (o.link != "auto" && o.link != "usb" && o.link != "can") {
        say(stderr, "error: --link takes auto, usb or can, not \"" + o.link + "\"");
        return EXIT_USAGE;
    }
    if (parser.isSet(serial_option)) {
        QString text = parser.value(serial_option);
        if (text.startsWith("0x", Qt::CaseInsensitive))
            text = text.mid(2);
        bool ok = false;
        o.serial = text.size() <= 8 ? text.toUInt(&ok, 16) : 0;
        if (!ok || o.serial == CommsManager::ANY_UNIT) {
            say(stderr, "error: --serial takes a unit's serial number in hex, for example 12345678, not \"" +
                            parser.value(serial_option) + "\"");
            return EXIT_USAGE;
        }
    }
    const QStringList args = positional.mid(used);
    const int wanted = QString(command->args).isEmpty() ? 0 : QString(command->args).endsWith("...") ? -1 : 1;
    if ((wanted >= 0 && args.size() != wanted) || (wanted < 0 && args.isEmpty())) {
        std::fprintf(stderr, "error: usage: %s %s %s\n", qPrintable(program), qPrintable(command->words.join(' ')),
                     command->args);
        return EXIT_USAGE;
    }
    if (o.dry_run && command->words.value(1) != "import" && command->words.value(1) != "set") {
        std::fprintf(stderr, "error: --dry-run applies to settings import and settings set only\n");
        return EXIT_USAGE;
    }
    if (o.no_backup && command->words.value(1) != "import" && command->words.value(1) != "set" &&
        command->words.value(0) != "firmware") {
        std::fprintf(stderr, "error: --no-backup applies to settings import, settings set and firmware only\n");
        return EXIT_USAGE;
    }

    // A log asked for and not to be had is said at once, not found missing
    // after a failure.
    FILE* log_file = nullptr;
    if (parser.isSet(log_option)) {
        log_file = std::fopen(arg_bytes(parser.value(log_option)).constData(), "ae");
        if (!log_file) {
            say(stderr, "error: cannot open the log " + parser.value(log_option) + ": " + std::strerror(errno));
            return EXIT_USAGE;
        }
    }
    LogCapture log(log_file, parser.isSet(verbose_option));
    if (!log.ok()) {
        std::fprintf(stderr, "error: cannot set up the log: %s\n", std::strerror(errno));
        return EXIT_UNIT_FAILED;
    }
    Session session(o, log);
    int code = session.run(*command, args);
    QString error;
    if (!log.finish_results(&error)) {
        const QString done = session.done_on_unit();
        say(stderr, "error: cannot write the results to standard output: " + error +
                        (done.isEmpty() ? QString() : " - done on the unit all the same: " + done));
        if (code == EXIT_DONE)
            code = EXIT_BAD_FILE;
    }
    return code;
}

}  // namespace cli
