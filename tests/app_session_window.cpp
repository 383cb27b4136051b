// The window against the virtual unit, as the session model has it: which
// controls an owner finds enabled, what their tooltips say, what Reboot and
// the close ask, and what Update and Save send. One row per situation.

#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QPushButton>
#include <QSpinBox>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app_util.h"
#include "flash_support.h"

namespace {

using namespace apptest;
using flashtest::TempFile;

void choose_file(QPushButton* button, const std::string& path)
{
    answer_dialog<QFileDialog>([&] { button->click(); }, [&](QFileDialog* d) {
        d->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(d)->accept();  // QFileDialog's own accept is protected
    });
}

QObject* control(MainWindow& w, const char* name)
{
    QObject* o = w.findChild<QWidget*>(name);
    return o ? o : w.findChild<QAction*>(name);
}

bool enabled(QObject* o)
{
    if (auto* widget = qobject_cast<QWidget*>(o))
        return widget->isEnabled();
    return qobject_cast<QAction*>(o)->isEnabled();
}

// The tooltip the owner sees: a widget without one of its own shows its
// nearest ancestor's.
QString tip(QObject* o)
{
    if (auto* widget = qobject_cast<QWidget*>(o)) {
        while (widget->toolTip().isEmpty() && widget->parentWidget() && !widget->isWindow())
            widget = widget->parentWidget();
        return widget->toolTip();
    }
    // An action without a tooltip of its own shows its text.
    const QAction* a = qobject_cast<QAction*>(o);
    return a->toolTip() == a->iconText() ? QString() : a->toolTip();
}

// Files the rows upload; made once, removed at the end.
struct Files {
    TempFile airports{flashtest::pattern(4 << 20, 6)};
    TempFile firmware{flashtest::firmware_file(64 * 65536, 100, 100)};
};
Files& files()
{
    static Files f;
    return f;
}

void startAirportUpload(MainWindow& w)
{
    sim::with_unit([](sim::VirtualUnit& u) { u.erase_us = 20000; });
    choose_file(w.ui->pushButton_browse_airports, files().airports.path);
    w.ui->pushButton_start_airport->click();
    ASSERT_TRUE(w.uploadRunning());
}

void stopFirmwareUpload(MainWindow& w)
{
    sim::with_unit([](sim::VirtualUnit& u) { u.erase_us = 20000; });
    choose_file(w.ui->pushButton_browse, files().firmware.path);
    QObject::connect(w.ui->statusbar, &QStatusBar::messageChanged, w.ui->pushButton_cancel_fw,
                     [&w](const QString& m) {
                         if (m.startsWith("Erasing: ") && w.ui->pushButton_cancel_fw->isEnabled())
                             w.ui->pushButton_cancel_fw->click();
                     });
    w.ui->pushButton_start_update->click();
    ASSERT_TRUE(wait_until([&] { return !w.uploadRunning(); }, 30000));
}

void typeBeforeAnyLoad(MainWindow& w) { w.ui->spinBox_vne->setValue(181); }

void updateVneThenReboot(MainWindow& w)
{
    w.ui->spinBox_vne->setValue(w.ui->spinBox_vne->value() + 3);
    w.ui->pushButton_update->click();
    EXPECT_EQ(status(w), "Successfully sent 1 configuration value(s) to device");
    const std::string asked = answer_question(true, [&] { w.ui->pushButton_reboot->click(); });
    EXPECT_NE(asked.find("(1 sent with Update"), std::string::npos) << asked;
    EXPECT_EQ(unit().reboots, 1);
}

void vneChangedBack(MainWindow& w)
{
    const int vne = w.ui->spinBox_vne->value();
    w.ui->spinBox_vne->setValue(vne + 1);
    w.ui->spinBox_vne->setValue(vne);
}

void registrationAndVne(MainWindow& w)
{
    w.ui->text_registration_num->setPlainText("ABCDEFGH");
    w.ui->spinBox_vne->setValue(w.ui->spinBox_vne->value() + 1);
}

struct Shown {
    const char* control;
    bool enabled;
    const char* tip;  // in the tooltip; "" when it has none
};

struct Row {
    const char* name;
    void (*prepare)(MainWindow&);
    std::vector<Shown> shown;
    // Then: what `act` asks (nothing asked when null), and the status after.
    std::function<void(MainWindow&)> act;
    const char* asks;
    const char* status;
    bool unit = true;  // false: no unit was ever connected
};

const char* const HOLDS_LINK = "An upload is using the link - reconnect when it has finished";

const Row ROWS[] = {
    {"NoRecordNoForm",
     typeBeforeAnyLoad,
     {{"spinBox_vne", false, "Load the settings from the unit"},
      {"text_registration_num", false, "Load the settings from the unit"},
      {"color_picker_sky0", false, "Load the settings from the unit"},
      {"pushButton_browse", true, ""},
      {"pushButton_browse_airports", true, ""},
      {"pushButton_reboot", true, "No communication interface connected (USB HID or CAN FD)"},
      {"pushButton_start_update", false, "No firmware file selected"},
      {"pushButton_cancel_fw", false, "No firmware update is running"}},
     [](MainWindow& w) { w.close(); },
     nullptr,
     nullptr,
     false},
    {"UploadHoldsTheLink",
     startAirportUpload,
     {{"action_export_settings", false, "Export is not available while the airport database upload runs"},
      {"action_import_settings", false, "Import is not available while the airport database upload runs"},
      {"action_reconnect", false, HOLDS_LINK},
      {"action_link_auto", false, HOLDS_LINK},
      {"action_link_can", false, HOLDS_LINK},
      {"action_can_interface", false, HOLDS_LINK},
      {"pushButton_load", false, "An upload is using the link - wait until it has finished"},
      {"pushButton_cancel_airport", true, ""}},
     nullptr,
     nullptr,
     nullptr},
    {"StoppedFirmwareAsksBeforeReboot",
     stopFirmwareUpload,
     {{"pushButton_reboot", true, ""}, {"action_export_settings", true, ""}, {"pushButton_start_update", true, ""}},
     [](MainWindow& w) { w.ui->pushButton_reboot->click(); },
     "the spare bank holds an incomplete image; the unit keeps its current firmware. Send the firmware file again",
     nullptr},
    {"RebootKeepsSentValuesUnsaved",
     updateVneThenReboot,
     {{"pushButton_update", false, "No changes to send"}, {"pushButton_save", true, ""}},
     [](MainWindow& w) { w.close(); },
     "1 edited value(s) are not saved in the unit (1 sent with Update",
     nullptr},
    {"SaveSendsThemAgainAfterReboot",
     updateVneThenReboot,
     {},
     [](MainWindow& w) { w.ui->pushButton_save->click(); },
     nullptr,
     "Configuration saved to EEPROM successfully"},
    {"FieldChangedBackIsNoEdit",
     vneChangedBack,
     {{"pushButton_update", false, "No changes to send"}},
     [](MainWindow& w) { w.close(); },
     nullptr,
     nullptr},
    {"RegistrationCountsOnce",
     registrationAndVne,
     {{"pushButton_update", true, ""}},
     [](MainWindow& w) { w.ui->pushButton_update->click(); },
     nullptr,
     "Successfully sent 2 configuration value(s) to device"},
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

class SessionWindow : public testing::TestWithParam<Row> {};

INSTANTIATE_TEST_SUITE_P(Rows, SessionWindow, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

TEST_P(SessionWindow, ControlsTipsAndQuestions)
{
    const Row& r = GetParam();
    if (r.unit)
        world_with_unit_on(sim::Link::USB);
    else
        world_without_unit();
    auto w = std::make_unique<MainWindow>();
    ASSERT_EQ(status(*w) == LOADED, r.unit) << status(*w);
    const uint32_t vne = uint32_t(w->ui->spinBox_vne->value());
    r.prepare(*w);
    for (const Shown& s : r.shown) {
        QObject* o = control(*w, s.control);
        ASSERT_NE(o, nullptr) << s.control;
        EXPECT_EQ(enabled(o), s.enabled) << s.control;
        EXPECT_TRUE(*s.tip ? tip(o).contains(s.tip) : tip(o).isEmpty()) << s.control << ": " << tip(o).toStdString();
    }
    forget_traffic();
    if (r.act) {
        const std::string asked = answer_question(false, [&] { r.act(*w); });
        if (r.asks) {
            EXPECT_NE(asked.find(r.asks), std::string::npos) << asked;
        } else {
            EXPECT_EQ(asked, "");
        }
    }
    if (r.status) {
        EXPECT_EQ(status(*w), r.status);
    }
    if (std::string(r.name) == "SaveSendsThemAgainAfterReboot") {
        EXPECT_EQ(requests_with(CANMSG_SET_USER_SETTING),
                  (std::vector<Request>{set_req(VNE_INDEX, vne + 3)}))
            << "the value the restart dropped is sent again before the store";
        EXPECT_EQ(unit().stored.vspeeds.Vne, vne + 3);
    }
    if (std::string(r.name) == "StoppedFirmwareAsksBeforeReboot") {
        EXPECT_EQ(unit().reboots, 0) << "the question was cancelled";
    }
    if (!r.unit) {
        // Nothing typed before a load is sent: the unit that appears is loaded.
        sim::set_hid_interfaces({sim::unit_hid_interface()});
        w->findChild<QPushButton*>("pushButton_reconnect")->click();
        EXPECT_EQ(status(*w), LOADED);
        EXPECT_TRUE(requests_with(CANMSG_SET_USER_SETTING).empty());
        EXPECT_NE(w->ui->spinBox_vne->value(), 181);
        EXPECT_TRUE(w->ui->spinBox_vne->isEnabled());
        EXPECT_FALSE(w->ui->pushButton_update->isEnabled());
    }
    ASSERT_TRUE(wait_until([&] { return !w->uploadRunning(); }, 60000));
}

}  // namespace
