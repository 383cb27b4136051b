#include "app/session_view.h"

#include <QAction>
#include <QPushButton>

#include <vector>

#include "app/session_model.h"
#include "ui_mainwindow.h"

void showSession(const SessionModel& session, Ui_MainWindow* ui, QWidget* window)
{
    using A = SessionModel::Action;
    const struct {
        A action;
        std::vector<QObject*> controls;
    } offers[] = {
        {A::Load, {ui->pushButton_load}},
        {A::Update, {ui->pushButton_update}},
        {A::Save, {ui->pushButton_save}},
        {A::Reboot, {ui->pushButton_reboot}},
        {A::Export, {window->findChild<QAction*>("action_export_settings")}},
        {A::Import, {window->findChild<QAction*>("action_import_settings")}},
        {A::Reconnect, {window->findChild<QAction*>("action_reconnect"), window->findChild<QPushButton*>("pushButton_reconnect")}},
        {A::LinkChoice,
         {window->findChild<QAction*>("action_link_auto"), window->findChild<QAction*>("action_link_usb"),
          window->findChild<QAction*>("action_link_can"), window->findChild<QAction*>("action_can_interface")}},
        {A::BrowseFirmware, {ui->pushButton_browse}},
        {A::StartFirmware, {ui->pushButton_start_update}},
        {A::CancelFirmware, {ui->pushButton_cancel_fw}},
        {A::BrowseAirports, {ui->pushButton_browse_airports}},
        {A::StartAirports, {ui->pushButton_start_airport}},
        {A::CancelAirports, {ui->pushButton_cancel_airport}},
    };
    for (const auto& offer : offers) {
        const bool on = session.offered(offer.action);
        const QString why = session.reason(offer.action);
        for (QObject* control : offer.controls) {
            if (QWidget* widget = qobject_cast<QWidget*>(control)) {
                widget->setEnabled(on);
                widget->setToolTip(why);
            } else if (QAction* action = qobject_cast<QAction*>(control)) {
                action->setEnabled(on);
                action->setToolTip(why);
            }
        }
    }
    // No placeholder may look like the unit's value: the fields wait for a
    // load, and their groups say so (a disabled field without a tooltip of
    // its own shows its group's).
    for (QObject* child : ui->tab->children()) {
        QWidget* group = qobject_cast<QWidget*>(child);
        if (!group || group->isAncestorOf(ui->pushButton_load))
            continue;
        group->setEnabled(session.formEnabled());
        // Some fields sit on the tab itself: a mark's tooltip is theirs.
        if (!session.formHint().isEmpty())
            group->setToolTip(session.formHint());
        else if (group->toolTip() == SessionModel::NO_RECORD_HINT)
            group->setToolTip(QString());
    }
}
