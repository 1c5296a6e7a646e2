// The dislocation analyses' pages of the Analysis tab in the real window:
// their widgets and defaults, the mirrored fields, and runs that add their
// columns to the model and colour the view.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Value_Input.H>

#include <cmath>
#include <functional>
#include <string>

#include "analysis/morla_form.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "dislocation/kavir_bridge.h"
#include "dislocation/kavir_form.h"
#include "gui_window.h"
#include "qb/qb_formats.h"
#include "view/view_panel.h"

namespace {

std::string fixture(const std::string& name) { return std::string(QUELM_TEST_DATA) + "/dislocation/fixtures/" + name; }

// Widgets labelled text under g (any depth).
Fl_Widget* only(Fl_Group* g, const std::string& text) {
    Fl_Widget* found = nullptr;
    int n = 0;
    std::function<void(Fl_Group*)> walk = [&](Fl_Group* p) {
        for (int k = 0; k < p->children(); k++) {
            Fl_Widget* w = p->child(k);
            if (w->label() && text == w->label()) {
                found = w;
                n++;
            }
            if (Fl_Group* sub = w->as_group()) walk(sub);
        }
    };
    walk(g);
    return n == 1 ? found : nullptr;
}

void choose(Fl_Choice* c, int item) {
    ASSERT_NE(c, nullptr);
    c->value(item);
    c->do_callback();
}

void show_page(int k) {
    analy_choice->value(6 + k);
    QN_analy_choice_cb();
}

void activate(int k, int on) {
    Fl_Round_Button* const buttons[7] = {active_DVA, active_STA, active_DDA, active_SVA, active_IDA, active_NYE, active_NTA};
    ASSERT_NE(buttons[k], nullptr);
    buttons[k]->value(on);
    press(buttons[k]);
}

class KavirTab : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        Fl::check();
    }
    void load(const std::string& path) {
        ASSERT_EQ(QB_read_file(&Current_Model, path.c_str()) % 2, 1);
        QN_update_model();
        Fl::check();
    }
};

}  // namespace

TEST_F(KavirTab, SevenPagesWithTheirDefaults) {
    load(fixture("dva_def.dump"));  // one type
    ASSERT_NE(analy_choice, nullptr);
    ASSERT_EQ(analy_choice->size() - 1, 19);  // the structure methods before, the measurements after
    const char* names[7] = {"DVA", "STA", "DDA", "SVA", "IDA", "NYE", "NTA"};
    for (int k = 0; k < 7; k++) {
        EXPECT_STREQ(analy_choice->menu()[6 + k].label(), names[k]);
        ASSERT_NE(QN_KAVIR_page(k), nullptr) << names[k];
        EXPECT_EQ(QN_KAVIR_page(k)->parent(), analy_choice->parent()->parent()) << names[k];
        EXPECT_FALSE(QN_KAVIR_page(k)->visible());
        ASSERT_NE(analy_run[6 + k], nullptr);
        EXPECT_FALSE(analy_run[6 + k]->active());
    }
    // Run buttons below the frames that hold their pages' rows, inside the pages.
    for (int k = 0; k < 7; k++) {
        Fl_Group* page = QN_KAVIR_page(k);
        Fl_Group* frame = nullptr;
        for (int c = 0; c < page->children(); c++)
            if (page->child(c)->as_group() && page->child(c)->label()) frame = page->child(c)->as_group();
        ASSERT_NE(frame, nullptr) << names[k];
        for (int c = 0; c < frame->children(); c++)
            EXPECT_LE(frame->child(c)->y() + frame->child(c)->h(), frame->y() + frame->h()) << names[k] << " " << c;
        EXPECT_GE(analy_run[6 + k]->y(), frame->y() + frame->h()) << names[k];
        EXPECT_LE(analy_run[6 + k]->y() + analy_run[6 + k]->h(), page->y() + page->h()) << names[k];
    }
    EXPECT_STREQ(group_DVA->label(), "Displacement Vector Analysis");
    EXPECT_STREQ(group_STA->label(), "atomic Strain Tensor Analysis");
    EXPECT_STREQ(group_NYE->label(), " Nye Tensor Analysis");
    EXPECT_FALSE(group_DVA->active());
    for (Fl_Output* o : reference_outputs) {
        ASSERT_NE(o, nullptr);
        EXPECT_STREQ(o->value(), "No Reference");
    }
    EXPECT_STREQ(DDA_dump->value(), "No Dump File Selected");
    EXPECT_STREQ(IDA_dump->value(), "No Dump");
    auto* cut = static_cast<Fl_Value_Input*>(only(group_DVA, "Type1 cutoff"));
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(cut->value(), 3);
    EXPECT_EQ(cut->y(), 240);
    EXPECT_STREQ(cut->tooltip(), "Define distance smaller than cutoff as neighbor");
    for (const char* s : {"Strain", "Deform", "Volume", "Rotation", "Stretch"}) {
        auto* c = static_cast<Fl_Choice*>(only(group_STA, s));
        ASSERT_NE(c, nullptr) << s;
        EXPECT_STREQ(c->text(), "ON") << s;
    }
    EXPECT_STREQ(static_cast<Fl_Choice*>(only(group_DDA, "Export SCREW"))->text(), "NO");
    EXPECT_STREQ(static_cast<Fl_Choice*>(only(group_DDA, "center mode"))->text(), "Reference");
    EXPECT_STREQ(static_cast<Fl_Choice*>(only(group_NYE, "Type1 structure"))->text(), "fcc");
    EXPECT_STREQ(mapset_mode[0]->text(), "angle");
    EXPECT_EQ(mapset_value[1]->value(), 15);
    EXPECT_NE(only(group_NYE, "Type1 Orient"), nullptr);

    // The Analysis menu's KAVIR entries open their pages.
    menu_bar->picked(menu_bar->find_item("Analysis/Dislocation and strain analysis/Nye tensor against a reference (NTA)"));
    EXPECT_EQ(analy_choice->value(), 12);
    EXPECT_TRUE(analysis_NTA->visible());
    EXPECT_EQ(control_region->value(), static_cast<Fl_Widget*>(analysis_region));
    // The page shows when chosen; Active opens its frame and its run button.
    show_page(QN_KAVIR_SVA);
    EXPECT_TRUE(analysis_SVA->visible());
    EXPECT_FALSE(analysis_DVA->visible());
    activate(QN_KAVIR_SVA, 1);
    EXPECT_TRUE(group_SVA->active());
    EXPECT_TRUE(analy_run[9]->active());
    activate(QN_KAVIR_SVA, 0);
    EXPECT_FALSE(analy_run[9]->active());
}

TEST_F(KavirTab, SharedFieldsFollowEachOther) {
    load(fixture("dva_def.dump"));
    // Eliminate_cell: one choice changes all seven.
    choose(KAVIR_eliminate_cell[3], 0);
    for (Fl_Choice* c : KAVIR_eliminate_cell) {
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->value(), 0);
    }
    EXPECT_EQ(QN_stored_int(QN_KAVIR_GROUP, "KV_eli", 1), 0);
    // The two Nye pages' Mapset and Burgers.
    choose(mapset_mode[1], 1);
    EXPECT_EQ(mapset_mode[0]->value(), 1);
    enter(mapset_value[0], 20);
    EXPECT_EQ(mapset_value[1]->value(), 20);
    enter(nye_bz[1], 2.5);
    EXPECT_EQ(nye_bz[0]->value(), 2.5);
    EXPECT_EQ(QN_stored_double(QN_KAVIR_GROUP, "KV_nta_bz", 0), 2.5);
    // A chosen reference shows on every page; a dump name gets ".lmc".
    QN_KAVIR_take_reference("/data/ref.lmc");
    for (Fl_Output* o : reference_outputs) EXPECT_STREQ(o->value(), "/data/ref.lmc");
    QN_KAVIR_take_dump(true, "/data/dda", 0);
    EXPECT_STREQ(DDA_dump->value(), "/data/dda.lmc");
    QN_KAVIR_take_dump(false, "/data/ida.lmc", 0);
    EXPECT_STREQ(IDA_dump->value(), "/data/ida.lmc");
}

TEST_F(KavirTab, ADisplacementRunAddsItsColumnsAndColoursTheView) {
    load(fixture("dva_def.dump"));
    QN_KAVIR_take_reference(fixture("dva_ref.dump"));
    choose(KAVIR_eliminate_cell[0], 0);
    show_page(QN_KAVIR_DVA);
    activate(QN_KAVIR_DVA, 1);
    press(analy_run[6]);
    const int slot = QB_slot_get(&Current_Model, "Displacement.X");
    ASSERT_GE(slot, 0);
    EXPECT_GE(QB_slot_get(&Current_Model, "Displacement.Z"), 0);
    // The page's default takes the mean motion out.
    double mean = 0;
    for (int i = 0; i < Current_Model.natoms; i++) mean += QB_slot_data(&Current_Model, slot, i);
    EXPECT_NEAR(mean / Current_Model.natoms, 0, 1e-9);
    EXPECT_EQ(render_col_flag->value(), 1);
    EXPECT_STREQ(colr_slot->text(), "Displacement.X");
    EXPECT_STREQ(colb_slot->text(), "Displacement.Z");
}

TEST_F(KavirTab, NyeAndItsReferenceTwinKeepBothSetsOfColumns) {
    load(fixture("dva_ref.dump"));  // a perfect copper crystal
    QN_KAVIR_take_reference(fixture("dva_ref.dump"));
    activate(QN_KAVIR_NYE, 1);
    // The page's fcc with a = 3 matches copper's bonds by angle.
    show_page(QN_KAVIR_NYE);
    press(analy_run[11]);
    ASSERT_GE(QB_slot_get(&Current_Model, "s1"), 0);
    EXPECT_STREQ(bar_slot->text(), "s1");
    activate(QN_KAVIR_NYE, 0);
    activate(QN_KAVIR_NTA, 1);
    show_page(QN_KAVIR_NTA);
    press(analy_run[12]);
    EXPECT_GE(QB_slot_get(&Current_Model, "s1"), 0);
    EXPECT_GE(QB_slot_get(&Current_Model, "nta_s1"), 0);
    EXPECT_GE(QB_slot_get(&Current_Model, "nta_Burgers.Z"), 0);
    EXPECT_STREQ(bar_slot->text(), "nta_s1");
}

TEST_F(KavirTab, AFailedRunIsReportedAndLeavesTheModel) {
    load(fixture("dva_def.dump"));
    activate(QN_KAVIR_DVA, 1);
    const int before = QB_slot_sum(&Current_Model);
    press(analy_run[6]);
    EXPECT_EQ(QB_slot_sum(&Current_Model), before);
    EXPECT_NE(QN_message_text().find("Analysis Failed\nno reference file chosen"), std::string::npos)
        << QN_message_text();
}
