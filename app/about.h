#ifndef APP_ABOUT_H
#define APP_ABOUT_H

// What the program says about itself: --help and --version, answered
// before the application object exists (which needs a display), and the
// About box and the owner's guide.

#include <QString>

#include <cstdint>
#include <optional>

class QWidget;

// The unit the window is connected to, as the About box names it.
struct AboutUnit {
    uint32_t serial = 0xFFFFFFFFu;  // 0xFFFFFFFF: not known, shown as "unknown"
    QString link;                   // "USB HID" or "CAN FD"
    uint32_t layoutVersion = 0;     // the settings layout version the unit reports
};

// The package's version, "1.0.0".
QString programVersion();

// The answer to --version: "skarvel-efis-config 1.0.0" and the Qt and
// hidapi versions the program was built with.
QString versionText();

// The answer to --help: what the program is, its options, where its log
// and its settings backups are, and where to read more.
QString helpText();

// Prints the answer to --help (or -h) or --version when the arguments hold
// one, and returns the exit status; nullopt when the window is to open.
// Every other argument is left for the toolkit.
std::optional<int> answerCommandLine(int argc, const char* const* argv);

// The About box's text: the program's, Qt's and hidapi's versions, and the
// connected unit's serial number, link and settings layout version.
QString aboutText(const std::optional<AboutUnit>& unit);

// Shows aboutText(unit) in a modal About box over `parent`.
void showAbout(QWidget* parent, const std::optional<AboutUnit>& unit);

// Help's guide: README.md from beside the program (a build tree) or from
// the package's documentation, in the desktop's viewer; a message saying
// where it is, or where it was looked for, when it cannot be shown.
void showOwnersGuide(QWidget* parent);

#endif
