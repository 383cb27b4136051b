// The connection under the owner's control: a unit that appears after start,
// the link choice kept between runs and honoured, the indicator's hint while
// no unit is connected, and CAN FD offered for an upload.

#include <QAction>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>

#include "app_util.h"
#include "flash_support.h"

namespace {

using namespace apptest;

class Connection : public testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override { QSettings("skarvel-efis-config", "skarvel-efis-config").remove("connection"); }
};

std::string hint(MainWindow& w) { return w.findChild<QLabel*>("label_link")->toolTip().toStdString(); }
QPushButton* reconnect(MainWindow& w) { return w.findChild<QPushButton*>("pushButton_reconnect"); }
QAction* action(MainWindow& w, const char* name) { return w.findChild<QAction*>(name); }
size_t count_of(const std::vector<uint32_t>& ids, uint32_t id) { return size_t(std::count(ids.begin(), ids.end(), id)); }

TEST_F(Connection, ReachesAUnitThatAppearsAfterStart)
{
    const struct {
        sim::Link link;
        std::function<void(MainWindow&)> reach;  // nothing: the window finds it by itself
        bool edited;  // typed before any load: a placeholder, not an edit, so the load replaces it
    } cases[] = {{sim::Link::USB, [](MainWindow& w) { reconnect(w)->click(); }, false},
                 {sim::Link::CAN, [](MainWindow& w) { action(w, "action_reconnect")->trigger(); }, false},
                 {sim::Link::USB, nullptr, false},
                 {sim::Link::USB, [](MainWindow& w) { reconnect(w)->click(); }, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(&c - cases));
        world_without_unit();
        MainWindow w;
        EXPECT_EQ(hint(w), "not connected: check USB cable, udev rule or can0");
        EXPECT_FALSE(reconnect(w)->isHidden());
        w.ui->spinBox_vne->setValue(c.edited ? 181 : 0);
        if (c.link == sim::Link::USB)
            sim::set_hid_interfaces({sim::unit_hid_interface()});
        else
            sim::set_can_interfaces({"can0"});
        c.reach ? c.reach(w) : void(wait_until([&] { return w.comms->isConnected(); }, 10000));

        EXPECT_EQ(w.comms->getActiveInterface(), c.link == sim::Link::USB ? USB_HID : CAN_FD);
        EXPECT_TRUE(reconnect(w)->isHidden());
        const std::vector<uint32_t> ids = c.link == sim::Link::USB ? hid_ids() : can_ids();
        EXPECT_EQ(count_of(ids, CANMSG_REQUEST_USER_SETTING), 40u) << "nothing typed before a load is kept";
        w.ui->pushButton_update->click();
        EXPECT_EQ(unit().working.vspeeds.Vne, w.ui->spinBox_vne->value());
        EXPECT_NE(w.ui->spinBox_vne->value(), 181);
    }
}

TEST_F(Connection, LinkChoiceIsKeptBetweenRunsAndHonoured)
{
    const struct {
        const char* action;
        const char* can_interface;  // typed into its dialog; nullptr: left alone
        size_t usb, can;            // messages on each link in the next run
        std::string hint;
    } cases[] = {{"action_link_usb", nullptr, 41, 0, "USB HID, serial " + linktest::unit_serial_text()},
                 {"action_link_can", nullptr, 0, 41, "CAN FD, serial " + linktest::unit_serial_text()},
                 {"action_link_auto", nullptr, 41, 1, "USB HID, serial " + linktest::unit_serial_text()},
                 {"action_link_can", "can7", 0, 0, "not connected on can7: check it is up, in FD mode"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        sim::reset();
        {
            MainWindow first;
            if (c.can_interface)
                answer_dialog<QInputDialog>([&] { action(first, "action_can_interface")->trigger(); },
                                            [&](QInputDialog* d) { d->setTextValue(c.can_interface), d->accept(); });
            action(first, c.action)->trigger();
        }
        forget_traffic();
        MainWindow next;
        EXPECT_TRUE(action(next, c.action)->isChecked());
        EXPECT_EQ(hid_ids().size(), c.usb);
        EXPECT_EQ(can_ids().size(), c.can);
        EXPECT_EQ(hint(next), c.hint);
    }
}

TEST_F(Connection, CanFdIsOfferedForAnUploadOverUsb)
{
    const struct {
        const char* answer;  // nullptr: no question
        bool over_can, sent, other_unit_on_can;  // that unit must not get this one's upload
    } cases[] = {{"Use CAN FD", true, true, false}, {"Use USB", false, true, false}, {"Cancel", false, false, false},
                 {nullptr, false, true, true}};
    const flashtest::Bytes database = flashtest::pattern(64 * 1024, 3);
    flashtest::TempFile file(database);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? c.answer : "another unit");
        sim::reset();
        sim::set_can_unit_attached(!c.other_unit_on_can);
        sim::set_second_unit(false, c.other_unit_on_can);
        MainWindow w;
        w.airportDbFilePath = QString::fromStdString(file.path);
        forget_traffic();
        const auto press = [&](QMessageBox* box) {
            QAbstractButton* pressed = box->button(QMessageBox::Cancel);
            for (QAbstractButton* b : box->buttons())
                pressed = b->text() == c.answer ? b : pressed;
            pressed->click();
        };
        const bool asked = answer_dialog<QMessageBox>([&] { QMetaObject::invokeMethod(&w, "onStartAirportClicked"); },
                                                      press);
        EXPECT_EQ(asked, c.answer != nullptr);
        ASSERT_TRUE(wait_until([&] { return !w.uploadRunning(); }, 30000));
        EXPECT_EQ(count_of(can_ids(), CANMSG_WRITE_MX25), c.sent && c.over_can ? 1024u : 0u);
        EXPECT_EQ(count_of(hid_ids(), CANMSG_WRITE_MX25), c.sent && !c.over_can ? 1024u : 0u);
        EXPECT_EQ(unit().flash.read(0, database.size()) == database, c.sent);
        EXPECT_EQ(w.comms->getActiveInterface(), USB_HID) << "settings go over USB again";
    }
}

}  // namespace
