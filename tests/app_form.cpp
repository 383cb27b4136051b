// The generated form: every widget, text and initial state that the window
// class and the user depend on. The tables in app_form_table.h list what
// the form must build; the checks walk them generically, so a missing
// widget, a wrong class, a shifted grid cell or a changed text shows up as
// one failing row.

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextEdit>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app_form_table.h"

namespace {

using namespace form_table;

std::string str(const QString& s) { return s.toStdString(); }

// ---------------------------------------------------------------- fixture

class FormTest : public ::testing::Test {
protected:
    void SetUp() override { ui.setupUi(&window); }

    template <typename T = QWidget>
    T* get(const char* name) {
        T* o = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(o, nullptr) << name << " missing or of another class";
        return o;
    }

    // Names of the input widgets under page, in the order they were
    // created: findChildren walks each children list (which keeps creation
    // order) depth first, and each container is filled before the next
    // sibling is created.
    std::vector<std::string> creation_order(QWidget* page, const std::vector<const char*>& wanted) {
        std::set<std::string> names(wanted.begin(), wanted.end());
        std::vector<std::string> seen;
        for (QWidget* w : page->findChildren<QWidget*>())
            if (names.count(str(w->objectName()))) seen.push_back(str(w->objectName()));
        return seen;
    }

    QMainWindow window;
    Ui_MainWindow ui;
};

// ---------------------------------------------------------------- tests

TEST_F(FormTest, EveryWidgetHasItsClassParentGeometryAndFont) {
    const auto rows = widget_rows(ui);
    for (const WidgetRow& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_NE(r.obj, nullptr);
        EXPECT_EQ(str(r.obj->objectName()), r.name);
        EXPECT_EQ(window.findChild<QObject*>(QString::fromLatin1(r.name)), r.obj);
        EXPECT_STREQ(r.obj->metaObject()->className(), r.cls);
        ASSERT_NE(r.obj->parent(), nullptr);
        EXPECT_EQ(str(r.obj->parent()->objectName()), r.parent);

        auto* w = qobject_cast<QWidget*>(r.obj);
        ASSERT_NE(w, nullptr);
        if (r.geom) {
            EXPECT_EQ(w->geometry(), *r.geom);
        }
        if (r.point_size > 0) {
            EXPECT_TRUE(w->testAttribute(Qt::WA_SetFont));
            EXPECT_EQ(w->font().pointSize(), r.point_size);
        } else {
            EXPECT_FALSE(w->testAttribute(Qt::WA_SetFont));
        }
        // Colours are shown through style sheets that only later code sets.
        EXPECT_TRUE(w->styleSheet().isEmpty());
    }

    // Nothing named on the tabs beyond the table (internal children of the
    // widgets carry no object name or a qt_ one).
    std::set<std::string> known;
    for (const WidgetRow& r : rows) known.insert(r.name);
    for (QWidget* page : {ui.tab, ui.tab_2, ui.tab_3})
        for (QWidget* w : page->findChildren<QWidget*>()) {
            const std::string n = str(w->objectName());
            if (n.empty() || n.rfind("qt_", 0) == 0) continue;
            EXPECT_TRUE(known.count(n)) << "unexpected widget " << n;
        }
}

TEST_F(FormTest, WindowOpensOnTheSettingsTab) {
    EXPECT_EQ(str(window.objectName()), "MainWindow");
    EXPECT_EQ(window.size(), QSize(1065, 598));
    EXPECT_EQ(str(window.windowTitle()), "Skarvel EFIS Config");
    EXPECT_EQ(window.centralWidget(), ui.centralwidget);
    EXPECT_EQ(window.menuBar(), ui.menubar);
    EXPECT_EQ(window.statusBar(), ui.statusbar);
    EXPECT_TRUE(ui.menubar->actions().isEmpty());
    EXPECT_TRUE(ui.statusbar->currentMessage().isEmpty());

    const char* const titles[] = {"Settings", "Firmware Update", "Airport Database"};
    QWidget* const pages[] = {ui.tab, ui.tab_2, ui.tab_3};
    ASSERT_EQ(ui.tabWidget->count(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ui.tabWidget->widget(i), pages[i]);
        EXPECT_EQ(str(ui.tabWidget->tabText(i)), titles[i]);
        EXPECT_EQ(pages[i]->layout(), nullptr);
    }
    EXPECT_EQ(ui.tabWidget->currentIndex(), 0);
    EXPECT_EQ(ui.centralwidget->layout(), nullptr);
}

TEST_F(FormTest, NamedWindowKeepsItsName) {
    QMainWindow named;
    named.setObjectName(QStringLiteral("already_named"));
    Ui_MainWindow other;
    other.setupUi(&named);
    EXPECT_EQ(str(named.objectName()), "already_named");
}

TEST_F(FormTest, TabsKeepTheirGeometryWhenTheWindowIsResized) {
    window.resize(500, 300);
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(ui.tabWidget->geometry(), QRect(10, 10, 1041, 541));
    EXPECT_EQ(ui.comboBox_term_res->geometry(), QRect(820, 390, 121, 26));
}

TEST_F(FormTest, TextsAreVerbatim) {
    for (const TextRow& r : kTexts) {
        SCOPED_TRACE(r.name);
        QWidget* w = get(r.name);
        ASSERT_NE(w, nullptr);
        const QVariant text = w->property("text");
        ASSERT_TRUE(text.isValid());
        EXPECT_EQ(str(text.toString()), r.text);
    }
}

TEST_F(FormTest, ComboItemsInOrderWithoutItemData) {
    for (const ComboRow& r : combo_rows()) {
        SCOPED_TRACE(r.name);
        auto* c = get<QComboBox>(r.name);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(c->count(), static_cast<int>(r.items.size()));
        for (int i = 0; i < c->count(); ++i) {
            EXPECT_EQ(str(c->itemText(i)), r.items[i]) << "index " << i;
            EXPECT_FALSE(c->itemData(i).isValid()) << "index " << i;
        }
        EXPECT_EQ(c->currentIndex(), r.items.empty() ? -1 : 0);
    }
}

TEST_F(FormTest, EmitterCategoriesFollowSetLetterAndDigit) {
    ASSERT_EQ(ui.comboBox_emitter_cat->count(), 22);
    for (int i = 0; i < 22; ++i) {
        const char set = i < 8 ? 'A' : i < 16 ? 'B' : 'C';
        const int digit = i < 8 ? i : i < 16 ? i - 8 : i - 16;
        const std::string prefix = std::string(1, set) + char('0' + digit) + " : ";
        EXPECT_EQ(str(ui.comboBox_emitter_cat->itemText(i)).substr(0, prefix.size()), prefix)
            << "index " << i;
    }
    // The two surface-vehicle entries carry an en dash, not a hyphen.
    for (int i : {17, 18})
        EXPECT_TRUE(ui.comboBox_emitter_cat->itemText(i).contains(QChar(0x2013))) << i;
    EXPECT_TRUE(ui.comboBox_emitter_cat->itemText(5).endsWith(QLatin1Char(' ')));
}

TEST_F(FormTest, IntegerSpinBoxesRangesStepsAndClamping) {
    for (const IntSpinRow& r : kIntSpins) {
        SCOPED_TRACE(r.name);
        auto* s = get<QSpinBox>(r.name);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->minimum(), r.min);
        EXPECT_EQ(s->maximum(), r.max);
        EXPECT_EQ(s->singleStep(), r.step);
        EXPECT_EQ(s->value(), r.value);
        EXPECT_TRUE(s->prefix().isEmpty());
        EXPECT_TRUE(s->suffix().isEmpty());
        s->setValue(r.max + 1);
        EXPECT_EQ(s->value(), r.max);
        s->setValue(r.min - 1);
        EXPECT_EQ(s->value(), r.min);
    }
}

TEST_F(FormTest, DoubleSpinBoxesOneDecimalRangeAndClamping) {
    for (const DoubleSpinRow& r : kDoubleSpins) {
        SCOPED_TRACE(r.name);
        auto* s = get<QDoubleSpinBox>(r.name);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->decimals(), 1);
        EXPECT_DOUBLE_EQ(s->minimum(), r.min);
        EXPECT_DOUBLE_EQ(s->maximum(), r.max);
        EXPECT_DOUBLE_EQ(s->singleStep(), 0.1);
        EXPECT_DOUBLE_EQ(s->value(), r.value);
        EXPECT_TRUE(s->prefix().isEmpty());
        EXPECT_TRUE(s->suffix().isEmpty());
        s->setValue(12.34);
        EXPECT_DOUBLE_EQ(s->value(), 12.3);
        s->setValue(r.max + 0.5);
        EXPECT_DOUBLE_EQ(s->value(), r.max);
        s->setValue(r.min - 0.5);
        EXPECT_DOUBLE_EQ(s->value(), r.min);
    }
}

TEST_F(FormTest, SlidersRangeInitialValueAndOrientation) {
    for (const SliderRow& r : kSliders) {
        SCOPED_TRACE(r.name);
        auto* s = get<QSlider>(r.name);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->minimum(), 0);
        EXPECT_EQ(s->maximum(), r.max);
        EXPECT_EQ(s->value(), r.value);
        EXPECT_EQ(s->orientation(), Qt::Horizontal);
        EXPECT_FALSE(s->invertedAppearance());
        EXPECT_FALSE(s->invertedControls());
    }
}

TEST_F(FormTest, TooltipsOnlyOnCaptionLabels) {
    std::map<std::string, std::string> expected;
    expected["label_vmin"] = "Minimum airspeed that will be displayed";
    for (const RichTipRow& r : kRichTips) expected[r.name] = rich_tip(r);
    for (const char* n : kEmptyParagraphTipLabels) expected[n] = kEmptyParagraphTip;
    ASSERT_EQ(expected.size(), 17u);

    // The one complete example given for the V-speed tooltips.
    EXPECT_EQ(expected["label_vne"],
              "<html><head/><body><p><span style=\" font-weight:700;\">Never exceed speed</span>"
              " (Bottom of red arc)</p></body></html>");

    for (const WidgetRow& r : widget_rows(ui)) {
        SCOPED_TRACE(r.name);
        const auto it = expected.find(r.name);
        const std::string tip = str(static_cast<QWidget*>(r.obj)->toolTip());
        EXPECT_EQ(tip, it == expected.end() ? std::string() : it->second);
    }
}

TEST_F(FormTest, LabelAlignments) {
    const Qt::Alignment label_default = QLabel().alignment();
    for (QLabel* l : window.findChildren<QLabel*>()) {
        const std::string n = str(l->objectName());
        if (n.empty() || n.rfind("qt_", 0) == 0) continue;
        SCOPED_TRACE(n);
        const auto it = label_alignments().find(n);
        EXPECT_EQ(l->alignment(), it == label_alignments().end() ? label_default : it->second);
    }
}

TEST_F(FormTest, OnlyTheUploadControlsStartDisabled) {
    const std::set<std::string> disabled(std::begin(kDisabled), std::end(kDisabled));
    for (const WidgetRow& r : widget_rows(ui)) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(static_cast<QWidget*>(r.obj)->isEnabled(), disabled.count(r.name) == 0);
    }
}

TEST_F(FormTest, FileFieldsAndProgressBars) {
    const std::pair<const char*, const char*> fields[] = {
        {"text_firmware_file", "*.bin"},
        {"text_firmware_file_2", "*.db"},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(f.first);
        auto* t = get<QTextEdit>(f.first);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(str(t->placeholderText()), f.second);
        EXPECT_EQ(t->lineWrapMode(), QTextEdit::NoWrap);
        EXPECT_TRUE(t->toPlainText().isEmpty());
    }
    for (const char* n : {"progressBar_firmware", "progressBar_airports"}) {
        SCOPED_TRACE(n);
        auto* p = get<QProgressBar>(n);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->minimum(), 0);
        EXPECT_EQ(p->maximum(), 100);
        EXPECT_EQ(p->value(), 0);
    }
    for (QFrame* f : {ui.frame, ui.frame_2}) {
        SCOPED_TRACE(str(f->objectName()));
        EXPECT_EQ(f->frameShape(), QFrame::StyledPanel);
        EXPECT_EQ(f->frameShadow(), QFrame::Raised);
    }
}

TEST_F(FormTest, OneLineEditorsHaveNoScrollBars) {
    for (const char* n : {"text_registration_num", "text_icao"}) {
        SCOPED_TRACE(n);
        auto* t = get<QPlainTextEdit>(n);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        EXPECT_EQ(t->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        // One line that scrolls sideways, and Tab leaves the field.
        EXPECT_EQ(t->lineWrapMode(), QPlainTextEdit::NoWrap);
        EXPECT_TRUE(t->tabChangesFocus());
        EXPECT_TRUE(t->toPlainText().isEmpty());
    }
}

TEST_F(FormTest, SizePolicies) {
    for (const SizePolicyRow& r : kSizePolicies) {
        SCOPED_TRACE(r.name);
        QWidget* w = get(r.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->sizePolicy().horizontalPolicy(), r.h);
        EXPECT_EQ(w->sizePolicy().verticalPolicy(), r.v);
    }
    // The other voltage boxes keep the spin-box default.
    const QSizePolicy spin_default = QDoubleSpinBox().sizePolicy();
    for (QDoubleSpinBox* s : {ui.min_volt_warn_value, ui.max_volt_warn_value, ui.max_volt_alert_value}) {
        SCOPED_TRACE(str(s->objectName()));
        EXPECT_EQ(s->sizePolicy(), spin_default);
    }
}

TEST_F(FormTest, LayoutsMarginsAndPositions) {
    int named_layouts = 0;
    for (QLayout* l : ui.centralwidget->findChildren<QLayout*>())
        if (!l->objectName().isEmpty()) ++named_layouts;
    EXPECT_EQ(named_layouts, static_cast<int>(layout_rows().size()));

    for (const LayoutRow& r : layout_rows()) {
        SCOPED_TRACE(r.name);
        auto* l = window.findChild<QLayout*>(QString::fromLatin1(r.name));
        ASSERT_NE(l, nullptr);
        EXPECT_STREQ(l->metaObject()->className(), r.cls);
        QWidget* container = get(r.container);
        ASSERT_NE(container, nullptr);
        EXPECT_EQ(l->parentWidget(), container);
        EXPECT_EQ(container->layout(), l);
        EXPECT_EQ(l->contentsMargins(), QMargins(0, 0, 0, 0));

        if (auto* box = qobject_cast<QBoxLayout*>(l)) {
            ASSERT_EQ(box->count(), static_cast<int>(r.box_items.size()));
            for (int i = 0; i < box->count(); ++i) {
                QLayoutItem* it = box->itemAt(i);
                ASSERT_NE(it->widget(), nullptr) << "item " << i;
                EXPECT_EQ(str(it->widget()->objectName()), r.box_items[i]) << "item " << i;
                EXPECT_EQ(box->stretch(i), 0) << "item " << i;
                EXPECT_EQ(it->alignment(), Qt::Alignment()) << "item " << i;
            }
        } else {
            auto* grid = qobject_cast<QGridLayout*>(l);
            ASSERT_NE(grid, nullptr);
            ASSERT_EQ(grid->count(), static_cast<int>(r.grid_items.size()));
            for (const auto& [name, row, col] : r.grid_items) {
                SCOPED_TRACE(name);
                QWidget* w = get(name);
                ASSERT_NE(w, nullptr);
                const int idx = grid->indexOf(w);
                ASSERT_GE(idx, 0);
                int gr = -1, gc = -1, rs = -1, cs = -1;
                grid->getItemPosition(idx, &gr, &gc, &rs, &cs);
                EXPECT_EQ(gr, row);
                EXPECT_EQ(gc, col);
                EXPECT_EQ(rs, 1);
                EXPECT_EQ(cs, 1);
                EXPECT_EQ(grid->itemAt(idx)->alignment(), Qt::Alignment());
            }
        }
    }
}

TEST_F(FormTest, IcaoChoiceIsAnExclusiveButtonGroup) {
    auto* group = window.findChild<QButtonGroup*>(QStringLiteral("buttonGroup"));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group, ui.buttonGroup);
    EXPECT_EQ(group->parent(), &window);
    EXPECT_TRUE(group->exclusive());

    const QList<QAbstractButton*> buttons = group->buttons();
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[0], ui.radioButton_use_icao);
    EXPECT_EQ(buttons[1], ui.radioButton_rand_icao);
    const int id_use = group->id(ui.radioButton_use_icao);
    const int id_rand = group->id(ui.radioButton_rand_icao);
    EXPECT_LT(id_use, 0);
    EXPECT_LT(id_rand, 0);
    EXPECT_NE(id_use, id_rand);

    EXPECT_EQ(group->checkedButton(), ui.radioButton_use_icao);
    EXPECT_FALSE(ui.radioButton_rand_icao->isChecked());

    ui.radioButton_rand_icao->click();
    EXPECT_TRUE(ui.radioButton_rand_icao->isChecked());
    EXPECT_FALSE(ui.radioButton_use_icao->isChecked());
    // A click on the selected one does not clear the choice.
    ui.radioButton_rand_icao->click();
    EXPECT_EQ(group->checkedButton(), ui.radioButton_rand_icao);
    ui.radioButton_use_icao->click();
    EXPECT_EQ(group->checkedButton(), ui.radioButton_use_icao);
    EXPECT_FALSE(ui.radioButton_rand_icao->isChecked());
}

TEST_F(FormTest, InputWidgetsKeepTheirCreationOrder) {
    for (const auto& [page_name, order] : input_order()) {
        SCOPED_TRACE(page_name);
        QWidget* page = get(page_name);
        ASSERT_NE(page, nullptr);
        const std::vector<std::string> expected(order.begin(), order.end());
        EXPECT_EQ(creation_order(page, order), expected);
    }
}

TEST_F(FormTest, TabKeyFollowsTheScreenNotTheCreationOrder) {
    // The focus chain is what Tab actually walks; collect the input widgets
    // in the order the chain visits them, starting at the window.
    const std::vector<std::string> all(focus_order().begin(), focus_order().end());
    const std::set<std::string> wanted(all.begin(), all.end());
    size_t inputs = 0;
    for (const auto& page : input_order()) inputs += page.second.size();
    ASSERT_EQ(wanted.size(), inputs) << "every input widget once";

    std::vector<std::string> chain;
    QWidget* w = &window;
    do {
        const std::string n = str(w->objectName());
        if (wanted.count(n)) chain.push_back(n);
        w = w->nextInFocusChain();
    } while (w && w != &window);
    EXPECT_EQ(chain, all);
}

}  // namespace
