#ifndef APP_CONNECTION_H
#define APP_CONNECTION_H

// Which unit, over which link: the Connection menu with Reconnect and the
// owner's link choice and CAN interface (kept between runs), the link
// indicator with its Reconnect button at the status bar's right end, and the
// periodic look for a unit plugged in later.

#include <QObject>
#include <QString>

#include <string>
#include <vector>

class CommsManager;
class QAction;
class QLabel;
class QPushButton;
class QTimer;
class QWidget;
class Ui_MainWindow;
class Uploads;

class Connection : public QObject {
    Q_OBJECT

public:
    // The links the tool tries, kept between runs with the CAN interface's
    // name.
    enum LinkChoice { LINK_AUTO = 0, LINK_USB = 1, LINK_CANFD = 2 };

    // Adds the indicator to the status bar and the Connection menu to the
    // menu bar, and starts looking for a unit. `comms` is the window's link
    // manager, which each connection replaces; `window` parents the dialogs
    // and carries the title.
    Connection(Ui_MainWindow* ui, QWidget* window, CommsManager*& comms, const Uploads& uploads);

    // Connects again over the links chosen, closing what was open. False,
    // with the reason in the status bar, when no link was verified.
    bool connectToUnit();
    // The periodic look while no unit is connected: enumerates the unit's USB
    // interfaces without opening them and connects to one that has appeared.
    void lookForUnit();
    void setLinkChoice(LinkChoice choice);
    void chooseCanInterface();
    // What to check while no unit is connected, for the links chosen.
    QString linkHint() const;
    // The build that talks to the simulated unit says so in the title and
    // next to the link, so nobody takes it for an aircraft's unit.
    void setVirtualUnit(bool on);
    void showLinkInUse();

signals:
    // A unit is connected; `status` says over which link.
    void unitConnected(const QString& status);
    // An attempt to connect found no unit: what was connected is gone.
    void noUnit();

private:
    Ui_MainWindow* ui;
    QWidget* window;
    CommsManager*& comms;
    const Uploads& uploads;
    bool virtualUnit;
    LinkChoice linkChoice;
    QString canInterface;
    // Right end of the status bar: the link in use and the unit's serial
    // number, and Reconnect next to it while no unit is connected.
    QLabel* linkLabel;
    QPushButton* reconnectButton;
    QAction* linkActions[3];
    QAction* canInterfaceAction;
    QTimer* unitWatch;
    // The unit's USB interfaces at the last connection attempt and at the
    // last look: a new one is tried once it has stayed for a whole look.
    std::vector<std::string> attemptedUsbPaths;
    std::vector<std::string> lookedUsbPaths;
};

#endif
