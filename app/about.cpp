#include "app/about.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>
#include <QtGlobal>

#include <hidapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/run_log.h"
#include "settings_doc/doc_files.h"

namespace {

const char* const PROGRAM = "skarvel-efis-config";

// The versions compiled in; the Qt the program runs on may be a newer one.
QString libraryVersions()
{
    QString text = QString("Qt %1 and hidapi %2").arg(QT_VERSION_STR, HID_API_VERSION_STR);
    if (QString(qVersion()) != QT_VERSION_STR)
        text += QString(", running on Qt %1").arg(qVersion());
    return text;
}

QString unitLine(const AboutUnit& unit)
{
    const QString serial = unit.serial == 0xFFFFFFFFu
                               ? QString("unknown")
                               : "0x" + QString::number(unit.serial, 16).rightJustified(8, '0').toUpper();
    // One pass: a % in the link's name is not taken for a place holder.
    return QString("Connected unit: serial %1 over %2, settings layout version %3.")
        .arg(serial, unit.link, QString::number(unit.layoutVersion));
}

// Help and version go to standard output; a write that fails there (a full
// disk) must not look like success.
int print(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return 0;
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", PROGRAM, std::strerror(errno));
    return 1;
}

// The owner's guide: next to the program's source (a build tree), or where
// the package installs its documentation.
QString guidePath()
{
    const QDir bin(QCoreApplication::applicationDirPath());
    for (const QString& candidate : {bin.filePath("../README.md"), bin.filePath("../../README.md"),
                                     bin.filePath("../share/doc/skarvel-efis-config/README.md")}) {
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return QString();
}

}  // namespace

QString programVersion() { return QStringLiteral(EFIS_VERSION); }

QString versionText()
{
    return QString("%1 %2\nbuilt with %3\n").arg(PROGRAM, programVersion(), libraryVersions());
}

QString helpText()
{
    const QString log = RunLog::directory() + "/skarvel-efis-config.log";
    const QString backups = QFile::decodeName(settings_doc::backups_dir()) + "/";
    return QString("Usage: %1 [--help | --version] [Qt options]\n"
                   "\n"
                   "Opens the window \"Skarvel EFIS Config\", which loads, edits and stores the\n"
                   "settings of a Skarvel EFIS display unit over USB HID or CAN FD, and writes its\n"
                   "firmware and airport database.\n"
                   "\n"
                   "Options:\n"
                   "  -h, --help   show this help and exit\n"
                   "  --version    show the version, and the Qt and hidapi versions the program\n"
                   "               was built with, and exit\n"
                   "The standard options of the Qt toolkit (for example -platform offscreen or\n"
                   "-style Fusion) pass through to it.\n"
                   "\n"
                   "Files:\n"
                   "  %2\n"
                   "      the log of the newest run; the runs before are in .log.1, .log.2 and so\n"
                   "      on, the last %3 runs are kept ($XDG_STATE_HOME moves it)\n"
                   "  %4\n"
                   "      the copies of each unit's settings kept before Save, Import or a\n"
                   "      firmware upload, the last %5 per unit ($XDG_DATA_HOME moves them)\n"
                   "\n"
                   "More in the manual page skarvel-efis-config(1) and in README.md, the\n"
                   "owner's guide.\n")
        .arg(PROGRAM, log, QString::number(RunLog::KEPT_RUNS), backups,
             QString::number(settings_doc::BACKUPS_KEPT));
}

std::optional<int> answerCommandLine(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--help" || arg == "-h")
            return print(helpText());
        if (arg == "--version")
            return print(versionText());
    }
    return std::nullopt;
}

QString aboutText(const std::optional<AboutUnit>& unit)
{
    return QString("Skarvel EFIS Config %1\n"
                   "Configures and updates Skarvel EFIS display units.\n"
                   "\n"
                   "Built with %2.\n"
                   "\n"
                   "%3")
        .arg(programVersion(), libraryVersions(), unit ? unitLine(*unit) : "No unit connected.");
}

void showAbout(QWidget* parent, const std::optional<AboutUnit>& unit)
{
    QMessageBox::about(parent, "About Skarvel EFIS Config", aboutText(unit));
}

void showOwnersGuide(QWidget* parent)
{
    const QString path = guidePath();
    if (!path.isEmpty() && QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return;
    // No viewer, or no guide: say where it is, or where it was looked for.
    QMessageBox::information(
        parent, "README guide",
        path.isEmpty() ? QString("The owner's guide, README.md, was not found next to the program (%1) nor in its "
                                 "installed documentation (share/doc/skarvel-efis-config).")
                             .arg(QCoreApplication::applicationDirPath())
                       : QString("The owner's guide is %1").arg(path));
}
