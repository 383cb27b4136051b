// Nothing lost without a question: closing and Reboot ask first only where
// edits or an upload would be lost (the window closed mid-upload stops it,
// as the upload tests show).

#include <gtest/gtest.h>

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
        const auto kept = std::make_tuple(w.changed_values, w.unsaved_values, w.uploadRunning());
        bool closed = false;
        const std::string asked = answer_question(
            proceed, [&] { c.reboot ? w.ui->pushButton_reboot->click() : void(closed = w.close()); });
        EXPECT_TRUE(c.asked ? asked.find(c.asked) != std::string::npos : asked.empty()) << asked;
        const bool goes_on = !c.asked || proceed;
        EXPECT_EQ(c.reboot ? unit().reboots == 1 : closed, goes_on);
        if (!goes_on) {
            EXPECT_EQ(std::make_tuple(w.changed_values, w.unsaved_values, w.uploadRunning()), kept) << "all kept";
        }
    }
}

}  // namespace
