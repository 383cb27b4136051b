#include "app/connection.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDebug>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

#include "app/status_area.h"
#include "app/uploads.h"
#include "comms/comms.h"
#include "ui_mainwindow.h"

namespace {

// What the connection found but could not use (a unit in use by another
// instance, a node that cannot be opened, can0 not in CAN FD mode, several
// units on the bus); empty when it found nothing.
QString linkTrouble(const CommsManager& comms)
{
    QStringList why;
    for (COMM_INTERFACE_t link : {USB_HID, CAN_FD}) {
        if (!comms.connectFailure(link).empty())
            why << QString::fromStdString(comms.connectFailure(link));
    }
    return why.join("; ");
}

// The owner's link choice, kept between runs in
// ~/.config/skarvel-efis-config/skarvel-efis-config.conf (named here, so the
// file is the same whatever the application object is called).
const char* const SETTINGS_NAME = "skarvel-efis-config";
const char* const LINK_KEY = "connection/link";
const char* const CAN_INTERFACE_KEY = "connection/can_interface";
const char* const DEFAULT_CAN_INTERFACE = "can0";
// Stored as the command-line tool's --link names them, by LinkChoice.
const char* const LINK_NAMES[3] = {"auto", "usb", "can"};
const char* const LINK_TEXTS[3] = {"&Auto (USB first)", "&USB only", "CAN &FD only"};

// A name the kernel could give an interface: 1 to IFNAMSIZ - 1 bytes, no
// slash, colon or white space, not "." or "..".
bool canInterfaceNameValid(const QString& name)
{
    static const QRegularExpression allowed("^[^/:\\s]+$");
    return allowed.match(name).hasMatch() && name.toUtf8().size() <= 15 && name != "." && name != "..";
}

}  // namespace

Connection::Connection(Ui_MainWindow* ui, QWidget* window, CommsManager*& comms, const Uploads& uploads)
    : ui(ui),
      window(window),
      comms(comms),
      uploads(uploads),
      virtualUnit(false),
      linkChoice(LINK_AUTO),
      canInterface(DEFAULT_CAN_INTERFACE),
      linkLabel(new QLabel(window)),
      reconnectButton(new QPushButton("Reconnect", window)),
      linkActions(),
      canInterfaceAction(nullptr),
      unitWatch(new QTimer(this)),
      attemptedUsbPaths(),
      lookedUsbPaths()
{
    linkLabel->setObjectName("label_link");
    // Set apart from the messages, which run up to it.
    linkLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    linkLabel->setMargin(2);
    // Wide enough for the usual texts on two lines; a long reason wraps
    // to more rather than widening the window past the screen.
    linkLabel->setFixedWidth(linkLabel->fontMetrics().averageCharWidth() * 46);
    keepTextWhole(linkLabel);
    ui->statusbar->addPermanentWidget(linkLabel);
    reconnectButton->setObjectName("pushButton_reconnect");
    reconnectButton->hide();
    ui->statusbar->addPermanentWidget(reconnectButton);
    connect(reconnectButton, &QPushButton::clicked, this, &Connection::connectToUnit);

    // The connection is the owner's: which links, which CAN interface, and
    // when to try again.
    QSettings stored(SETTINGS_NAME, SETTINGS_NAME);
    const int choice = int(std::find(std::begin(LINK_NAMES), std::end(LINK_NAMES), stored.value(LINK_KEY).toString()) -
                           std::begin(LINK_NAMES));
    linkChoice = choice < 3 ? LinkChoice(choice) : LINK_AUTO;
    const QString name = stored.value(CAN_INTERFACE_KEY, DEFAULT_CAN_INTERFACE).toString();
    canInterface = canInterfaceNameValid(name) ? name : QString(DEFAULT_CAN_INTERFACE);

    QMenu* menu = ui->menubar->addMenu("&Connection");
    menu->setObjectName("menu_connection");
    QAction* reconnectAction = menu->addAction("&Reconnect", this, &Connection::connectToUnit, QKeySequence("Ctrl+R"));
    reconnectAction->setObjectName("action_reconnect");
    menu->addSeparator();
    QActionGroup* links = new QActionGroup(window);
    for (int i = 0; i < 3; ++i) {
        linkActions[i] = menu->addAction(LINK_TEXTS[i]);
        linkActions[i]->setObjectName(QString("action_link_") + LINK_NAMES[i]);
        linkActions[i]->setCheckable(true);
        linkActions[i]->setChecked(i == linkChoice);
        links->addAction(linkActions[i]);
        connect(linkActions[i], &QAction::triggered, this, [this, i] { setLinkChoice(LinkChoice(i)); });
    }
    canInterfaceAction = menu->addAction(QString("CAN &Interface (%1)...").arg(canInterface), this,
                                         &Connection::chooseCanInterface);
    canInterfaceAction->setObjectName("action_can_interface");
    // A unit plugged in later is found without a click.
    unitWatch->setInterval(2000);
    connect(unitWatch, &QTimer::timeout, this, &Connection::lookForUnit);
    unitWatch->start();
}

void Connection::setVirtualUnit(bool on)
{
    virtualUnit = on;
    window->setWindowTitle(on ? "Skarvel EFIS Config - virtual unit" : "Skarvel EFIS Config");
    showLinkInUse();
}

void Connection::showLinkInUse()
{
    QString text = "not connected";
    if (comms && comms->isConnected()) {
        const COMM_INTERFACE_t link = comms->getActiveInterface();
        const uint32_t serial = comms->serialNumber(link);
        text = QString(link == CAN_FD ? "CAN FD" : "USB HID") + ", serial " +
               (serial == 0xFFFFFFFFu ? QString("unknown")
                                      : "0x" + QString::number(serial, 16).rightJustified(8, '0').toUpper());
        // Without a choice the first unit plugged in is used.
        if (link == USB_HID && comms->usbUnitsFound() > 1)
            text += QString(", 1 of %1 units").arg(comms->usbUnitsFound());
    } else if (comms && !linkTrouble(*comms).isEmpty()) {
        text += ": " + linkTrouble(*comms);
    } else if (comms) {
        text = linkHint();
    }
    if (virtualUnit)
        text = "virtual unit - " + text;
    linkLabel->setText(text);
    fitTextWhole(linkLabel);
    linkLabel->setToolTip(text);
    reconnectButton->setVisible(comms && !comms->isConnected());
}

QString Connection::linkHint() const
{
    // Short enough to be read whole beside the status message.
    if (linkChoice == LINK_USB)
        return "not connected by USB: check cable and udev rule";
    if (linkChoice == LINK_CANFD)
        return QString("not connected on %1: check it is up, in FD mode").arg(canInterface);
    return QString("not connected: check USB cable, udev rule or %1").arg(canInterface);
}

bool Connection::connectToUnit()
{
    // The upload's worker uses the link manager until it ends.
    if (uploads.running()) {
        ui->statusbar->showMessage("Error: An upload is using the link - reconnect when it has finished");
        return comms && comms->isConnected();
    }
    // A fresh manager: the old one's links and locks go with it, so the unit
    // it held can be taken again.
    delete comms;
    comms = new CommsManager();
    const bool useUsb = linkChoice != LINK_CANFD;
    const bool useCan = linkChoice != LINK_USB;
    attemptedUsbPaths = useUsb ? USBHID::unitPaths(vendor_id, product_id) : std::vector<std::string>();
    lookedUsbPaths = attemptedUsbPaths;
    const bool connected = comms->establish_connection(useUsb, useCan, canInterface.toStdString());
    showLinkInUse();
    if (!connected) {
        const QString why = linkTrouble(*comms);
        const QString where = linkChoice == LINK_USB     ? QString("USB")
                              : linkChoice == LINK_CANFD ? "CAN FD on " + canInterface
                                                         : QString("USB or CAN FD");
        ui->statusbar->showMessage(why.isEmpty()
                                       ? QString("Failed to connect to EFIS via %1 - please check connections").arg(where)
                                       : "Error: " + why);
        emit noUnit();
        return false;
    }
    USBHID* usb = comms->getUSBHID();
    CANFD* can = comms->getCANFD();
    QString text;
    if (usb && usb->isConnected() && can && can->isConnected())
        text = "Connected via both USB HID and CAN FD";
    else if (comms->getActiveInterface() == USB_HID)
        text = "Connected via USB HID";
    else
        text = "Connected via CAN FD";
    ui->statusbar->showMessage(text);
    emit unitConnected(text);
    return true;
}

void Connection::lookForUnit()
{
    // Nothing changes under an open dialog or a running upload.
    if (!comms || comms->isConnected() || uploads.running() || linkChoice == LINK_CANFD ||
        QApplication::activeModalWidget())
        return;
    const std::vector<std::string> paths = USBHID::unitPaths(vendor_id, product_id);
    auto listed = [](const std::vector<std::string>& list, const std::string& path) {
        return std::find(list.begin(), list.end(), path) != list.end();
    };
    // A unit unplugged since the last attempt is new again when it returns.
    attemptedUsbPaths.erase(std::remove_if(attemptedUsbPaths.begin(), attemptedUsbPaths.end(),
                                           [&](const std::string& p) { return !listed(paths, p); }),
                            attemptedUsbPaths.end());
    const bool fresh =
        std::any_of(paths.begin(), paths.end(), [&](const std::string& p) { return !listed(attemptedUsbPaths, p); });
    // udev gives a new node its permissions a moment after it appears, and
    // the unit needs a moment too: a node is tried once a whole look has
    // seen it.
    const bool settled = paths == lookedUsbPaths;
    lookedUsbPaths = paths;
    if (fresh && settled) {
        qDebug() << "A unit appeared on USB - connecting";
        connectToUnit();
    }
}

void Connection::setLinkChoice(LinkChoice choice)
{
    linkChoice = choice;
    linkActions[choice]->setChecked(true);
    QSettings(SETTINGS_NAME, SETTINGS_NAME).setValue(LINK_KEY, LINK_NAMES[choice]);
    connectToUnit();
}

void Connection::chooseCanInterface()
{
    bool ok = false;
    const QString name = QInputDialog::getText(window, "CAN Interface", "The CAN interface the unit is on:",
                                               QLineEdit::Normal, canInterface, &ok)
                             .trimmed();
    if (!ok || name == canInterface)
        return;
    if (!canInterfaceNameValid(name)) {
        ui->statusbar->showMessage(QString("Error: \"%1\" is not a network interface name (1 to 15 characters, "
                                           "no spaces, slashes or colons)")
                                       .arg(name));
        return;
    }
    canInterface = name;
    canInterfaceAction->setText(QString("CAN &Interface (%1)...").arg(name));
    QSettings(SETTINGS_NAME, SETTINGS_NAME).setValue(CAN_INTERFACE_KEY, name);
    if (linkChoice == LINK_USB)
        showLinkInUse();
    else
        connectToUnit();
}
