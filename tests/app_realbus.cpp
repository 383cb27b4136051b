// The settings commands through the window when the unit or the bus
// misbehave as real ones do: unread values, late answers, a restart between
// Update and Save, a store answered in the other order, values that are not
// numbers. Nothing the tool did not read may reach the unit, and no edit may
// be lost while the status says all is well.

#include <gtest/gtest.h>

#include <QDoubleSpinBox>
#include <QPushButton>
#include <QSpinBox>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "app_util.h"

namespace {

using namespace apptest;
using sim::Link;

// Save is disabled while it would store placeholders; its slot, invoked,
// still says why in the status bar.
void press_refused_save(MainWindow& w)
{
    EXPECT_FALSE(w.ui->pushButton_save->isEnabled());
    EXPECT_FALSE(w.ui->pushButton_save->toolTip().isEmpty());
    ASSERT_TRUE(QMetaObject::invokeMethod(&w, "onSaveClicked", Qt::DirectConnection));
}

class RealBusWindow : public testing::TestWithParam<Link> {
protected:
    void SetUp() override { world_with_unit_on(GetParam()); }

    // Unit faults; a late answer comes 100 ms after the tool gave up.
    void faults(const std::function<void(sim::UnitFaults&)>& f)
    {
        const uint32_t late = GetParam() == Link::USB ? 1100000 : 600000;
        sim::with_unit([&](sim::VirtualUnit& u) {
            u.faults = sim::UnitFaults();
            u.faults.late_us = late;
            f(u.faults);
        });
    }

    std::unique_ptr<MainWindow> open()
    {
        auto w = std::make_unique<MainWindow>();
        forget_traffic();
        return w;
    }
};

INSTANTIATE_TEST_SUITE_P(Links, RealBusWindow, testing::Values(Link::USB, Link::CAN),
                         [](const testing::TestParamInfo<Link>& i) { return i.param == Link::USB ? "USB" : "CAN"; });

bool nothing_sent_but_reads()
{
    return requests_with(CANMSG_SET_USER_SETTING).empty() && requests_with(CANMSG_SAVE_USER_SETTINGS).empty();
}

// Three values the unit did not answer: Save refuses, Update sends only
// the user's edit, and a clean load makes Save possible again.
TEST_P(RealBusWindow, UnreadValuesAreNeverSaved)
{
    faults([](sim::UnitFaults& f) { f.silent_index = {UNITS_VALUE_INDEX, MIN_VOLTS_INDEX, SKY_COLOR_0_INDEX}; });
    auto w = open();
    EXPECT_TRUE(starts_with(status(*w), "Warning:")) << status(*w);
    const Settings_t before = unit().stored;

    press_refused_save(*w);
    EXPECT_TRUE(starts_with(status(*w), "Error:")) << status(*w);
    EXPECT_NE(status(*w).find('3'), std::string::npos) << status(*w);
    EXPECT_NE(status(*w).find("load"), std::string::npos) << status(*w);
    EXPECT_TRUE(requests().empty());

    w->ui->spinBox_vne->setValue(177);
    w->ui->pushButton_update->click();
    EXPECT_EQ(requests(), (std::vector<Request>{set_req(VNE_INDEX, 177)}));
    press_refused_save(*w);
    EXPECT_TRUE(starts_with(status(*w), "Error:")) << status(*w);
    const sim::VirtualUnit after = unit();
    EXPECT_EQ(after.stores, 0);
    EXPECT_EQ(std::memcmp(&after.stored, &before, sizeof before), 0);

    faults([](sim::UnitFaults&) {});
    w->ui->pushButton_load->click();
    EXPECT_EQ(status(*w), LOADED);
    w->ui->pushButton_save->click();
    EXPECT_EQ(status(*w), SAVED);
    EXPECT_EQ(unit().stored.volt_warnings.min_volts, 115) << "the unit's own value, not a placeholder";
    EXPECT_EQ(unit().stored.units.units_value, sim::factory_settings().units.units_value);
    EXPECT_EQ(unit().stored.vspeeds.Vne, 177);
}

TEST_P(RealBusWindow, LoadStoppedAtAHeaderValueKeepsSaveShut)
{
    auto w = open();
    faults([](sim::UnitFaults& f) { f.silent_index = {SETTINGS_MAGIC_NUM}; });
    w->ui->pushButton_load->click();
    EXPECT_TRUE(starts_with(status(*w), "Error:")) << status(*w);
    forget_traffic();
    w->ui->spinBox_vs0->setValue(61);
    press_refused_save(*w);
    EXPECT_TRUE(starts_with(status(*w), "Error:")) << status(*w);
    EXPECT_NE(status(*w).find("35"), std::string::npos) << status(*w);
    EXPECT_TRUE(nothing_sent_but_reads());
}

// A late answer must cost only its own value, during this load and after it.
TEST_P(RealBusWindow, LateAnswerShiftsNothing)
{
    faults([](sim::UnitFaults& f) { f.late_index = {VN0_INDEX}; });
    auto w = open();
    EXPECT_TRUE(starts_with(status(*w), "Warning:")) << status(*w);
    EXPECT_NE(status(*w).find(" 1 value"), std::string::npos) << status(*w);
    Settings_t unit_rec = unit().working;
    for (int i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (i == VN0_INDEX)
            continue;
        const settings_struct_index index = settings_struct_index(i);
        EXPECT_EQ(settings_get_value(&user_config, index), settings_get_value(&unit_rec, index)) << i;
    }
    faults([](sim::UnitFaults&) {});
    w->ui->pushButton_load->click();
    EXPECT_EQ(status(*w), LOADED);
    EXPECT_EQ(std::memcmp(&user_config, &unit_rec, sizeof unit_rec), 0);
}

// The restart drops the unit's unsaved working values; Save must send them
// again, for a unit that checks the store's checksum and for one that does not.
TEST_P(RealBusWindow, UpdateRebootSaveKeepsTheEdit)
{
    for (bool lenient : {false, true}) {
        SCOPED_TRACE(lenient ? "lenient unit" : "checking unit");
        world_with_unit_on(GetParam());
        faults([&](sim::UnitFaults& f) { f.lenient_store = lenient; });
        auto w = open();
        w->ui->spinBox_vne->setValue(177);
        w->ui->pushButton_update->click();
        // The restart would drop the edit in the unit: asked first.
        EXPECT_NE(answer_question(true, [&] { w->ui->pushButton_reboot->click(); }), "");
        EXPECT_EQ(unit().reboots, 1);
        w->ui->pushButton_save->click();
        EXPECT_EQ(status(*w), SAVED);
        EXPECT_EQ(unit().stored.vspeeds.Vne, 177);
    }
}

TEST_P(RealBusWindow, StoreAcknowledgedBeforeItsErase)
{
    faults([](sim::UnitFaults& f) { f.store_ack_first = true; });
    auto w = open();
    w->ui->spinBox_vs1->setValue(52);
    w->ui->pushButton_save->click();
    EXPECT_EQ(status(*w), SAVED);
    EXPECT_EQ(unit().stored.vspeeds.Vs1, 52);
}

TEST_P(RealBusWindow, CorrectionThatIsNotANumberCountsAsUnread)
{
    sim::with_unit([](sim::VirtualUnit& u) {
        u.working.roll_correction = std::numeric_limits<float>::quiet_NaN();
        u.working.pitch_correction = std::numeric_limits<float>::infinity();
        reseal(&u.working);
        u.stored = u.working;
    });
    auto w = open();
    EXPECT_TRUE(starts_with(status(*w), "Warning:")) << status(*w);
    EXPECT_NE(status(*w).find(" 2 value"), std::string::npos) << status(*w);
    EXPECT_DOUBLE_EQ(w->ui->roll_corr_spinbox->value(), 0.0);
    press_refused_save(*w);
    EXPECT_TRUE(starts_with(status(*w), "Error:")) << status(*w);
    EXPECT_TRUE(nothing_sent_but_reads());

    w->ui->roll_corr_spinbox->setValue(1.5);
    w->ui->pitch_corr_spinbox->setValue(-0.5);
    w->ui->pushButton_save->click();
    EXPECT_EQ(status(*w), SAVED);
    EXPECT_EQ(unit().stored.roll_correction, 1.5f);
    EXPECT_EQ(unit().stored.pitch_correction, -0.5f);
}

}  // namespace
