// Nothing lost without a question, nothing frozen: closing and Reboot ask
// first only where edits or an upload would be lost (the window closed mid-
// upload stops it, as the upload tests show), and a unit that stops
// answering ends a load or an update after three values.

#include <gtest/gtest.h>

#include <QSpinBox>

#include <functional>
#include <tuple>

#include "app_util.h"
#include "flash_support.h"

namespace {

using namespace apptest;
using sim::Link;

struct LossCase {
    const char* name;
    std::function<void(MainWindow&)> before;  // what the user did first
    bool reboot;                              // Reboot pressed; else the window closed
    const char* asked;                        // in the question; null when none is asked
};

void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

void edit(MainWindow& w) { w.ui->spinBox_vs0->setValue(w.ui->spinBox_vs0->value() + 1); }
void update(MainWindow& w)
{
    edit(w);
    w.ui->pushButton_update->click();
}
void save(MainWindow& w)
{
    edit(w);
    w.ui->pushButton_save->click();
}
void upload(MainWindow& w)
{
    static const flashtest::TempFile db(flashtest::pattern(1024 * 1024, 3));
    w.airportDbFilePath = QString::fromStdString(db.path);
    w.ui->pushButton_start_airport->setEnabled(true);
    w.ui->pushButton_start_airport->click();
}

const LossCase LOSS_CASES[] = {
    {"NothingEditedClose", [](MainWindow&) {}, false, nullptr},
    {"NothingEditedReboot", [](MainWindow&) {}, true, nullptr},
    {"SavedReboot", save, true, nullptr},
    {"EditedClose", edit, false, "1 edited value(s) are not saved"},
    {"EditedReboot", edit, true, "1 edited value(s) are not saved"},
    {"UpdatedClose", update, false, "1 sent with Update"},
    {"UpdatedReboot", update, true, "1 sent with Update"},
    {"UploadingClose", upload, false, "airport database closed until a complete transfer"},
};

class LossQuestion : public testing::TestWithParam<LossCase> {};

INSTANTIATE_TEST_SUITE_P(Cases, LossQuestion, testing::ValuesIn(LOSS_CASES),
                         [](const testing::TestParamInfo<LossCase>& i) { return std::string(i.param.name); });

TEST_P(LossQuestion, AskedOnlyWhereSomethingIsLost)
{
    const LossCase& c = GetParam();
    for (bool proceed : {false, true}) {
        SCOPED_TRACE(proceed ? "answered: go on" : "answered: cancel");
        world_with_unit_on(Link::USB);
        MainWindow w;
        c.before(w);
        const auto kept = std::make_tuple(w.changed_values, w.session.sentFields(), w.uploadRunning());
        bool closed = false;
        const std::string asked = answer_question(
            proceed, [&] { c.reboot ? w.ui->pushButton_reboot->click() : void(closed = w.close()); });
        EXPECT_TRUE(c.asked ? asked.find(c.asked) != std::string::npos : asked.empty()) << asked;
        const bool goes_on = !c.asked || proceed;
        EXPECT_EQ(c.reboot ? unit().reboots == 1 : closed, goes_on);
        if (!goes_on) {
            EXPECT_EQ(std::make_tuple(w.changed_values, w.session.sentFields(), w.uploadRunning()), kept) << "all kept";
        }
    }
}

// A unit that falls silent: the load stops after three unanswered values in
// a row and what it did not read stays unknown; scattered gaps do not stop it.
struct SilentCase {
    const char* name;
    std::set<uint8_t> silent;
    const char* status;
    size_t requests;
    bool then_update;  // and Update after the unit has fallen silent altogether
};

void PrintTo(const SilentCase& c, std::ostream* os) { *os << c.name; }

std::set<uint8_t> from(int first)
{
    std::set<uint8_t> s;
    for (int i = first; i < SETTINGS_LAST_INDEX; ++i)
        s.insert(uint8_t(i));
    return s;
}

const SilentCase SILENT_CASES[] = {
    {"AfterTheHeader", from(0), "Error: the unit stopped answering after value 0 - check the connection and load again",
     4 + 3, false},
    {"FromValue20", from(20),
     "Error: the unit stopped answering after value 20 - check the connection and load again", 4 + 23, true},
    {"GapsOnly", {5, 6, 10}, "Warning: Configuration loaded from device, but 3 value(s)", 40, false},
};

class SilentUnit : public testing::TestWithParam<std::tuple<Link, SilentCase>> {};

TEST_P(SilentUnit, LoadStopsAfterThreeUnansweredValues)
{
    const SilentCase& c = std::get<1>(GetParam());
    world_with_unit_on(std::get<0>(GetParam()));
    sim::with_unit([&](sim::VirtualUnit& u) { u.faults.silent_index = c.silent; });
    MainWindow w;
    EXPECT_TRUE(starts_with(status(w), c.status)) << status(w);
    EXPECT_EQ(requests_with(CANMSG_REQUEST_USER_SETTING).size(), c.requests);
    std::set<int> unknown(w.session.unread().begin(), w.session.unread().end());
    EXPECT_EQ(unknown, std::set<int>(c.silent.begin(), c.silent.end()));
    if (c.silent.size() == 3) {
        // A value the owner sets is known, however set: typed, or set in the
        // record; Save waits for the last one.
        EXPECT_FALSE(w.ui->pushButton_save->isEnabled());
        w.ui->spinBox_vn0->setValue(w.ui->spinBox_vn0->value() + 1);
        w.ui->spinBox_vne->setValue(w.ui->spinBox_vne->value() + 1);
        EXPECT_FALSE(w.ui->pushButton_save->isEnabled());
        w.updateConfigValueLocal(MAX_VOLTS_INDEX, settings_get_value(&user_config, MAX_VOLTS_INDEX));
        EXPECT_TRUE(w.session.unread().empty());
        EXPECT_TRUE(w.ui->pushButton_save->isEnabled());
    }

    if (!c.then_update)
        return;
    // Update stops the same way; what it did not send stays pending.
    for (QSpinBox* box : {w.ui->spinBox_vmin, w.ui->spinBox_vs0, w.ui->spinBox_vs1, w.ui->spinBox_vne})
        box->setValue(box->value() + 1);
    const std::set<settings_struct_index> edited = w.changed_values;
    sim::with_unit([](sim::VirtualUnit& u) { u.faults.silent = true; });
    forget_traffic();
    w.ui->pushButton_update->click();
    EXPECT_EQ(status(w), "Error: Sent 0 value(s), 4 failed");
    EXPECT_EQ(requests_with(CANMSG_SET_USER_SETTING).size(), 3u);
    EXPECT_EQ(w.changed_values, edited);
}

INSTANTIATE_TEST_SUITE_P(Links, SilentUnit,
                         testing::Combine(testing::Values(Link::USB, Link::CAN), testing::ValuesIn(SILENT_CASES)),
                         [](const testing::TestParamInfo<std::tuple<Link, SilentCase>>& i) {
                             return std::string(std::get<0>(i.param) == Link::USB ? "USB_" : "CAN_") +
                                    std::get<1>(i.param).name;
                         });

}  // namespace
