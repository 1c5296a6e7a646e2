// The Analysis tab in the real window: its pages for the model's types, the
// Active/Adaptive/Manual switches, the runs and the colouring of the view.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "analysis/morla_driver.h"
#include "analysis/morla_form.h"
#include "app/quelm_import.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "qb/qb_lattice.h"
#include "gui_window.h"
#include "view/view_panel.h"
#include "view/view_widget.h"

namespace {

// An fcc crystal of n^3 cells with the types 1 ... types in turn.
void fcc_model(QB_tools* s, int n, int types) {
    QB_init(s);
    QB_create_fcc(s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(s, n, n, n);
    for (int i = 0; i < s->natoms; i++) s->atoms[i].type = i % types + 1;
    s->ntypes = types;
}

// The widgets of a group (and its subgroups) whose label is text.
void find_labelled(Fl_Group* g, const std::string& text, std::vector<Fl_Widget*>& out) {
    for (int k = 0; k < g->children(); k++) {
        Fl_Widget* w = g->child(k);
        if (w->label() && text == w->label()) out.push_back(w);
        if (Fl_Group* sub = w->as_group()) find_labelled(sub, text, out);
    }
}

Fl_Widget* labelled(Fl_Group* g, const std::string& text) {
    std::vector<Fl_Widget*> found;
    find_labelled(g, text, found);
    return found.size() == 1 ? found[0] : nullptr;
}

// Switches a page's "Active" button, as a click does.
void toggle(Fl_Group* page, int on) {
    auto* b = static_cast<Fl_Button*>(labelled(page, "Active"));
    ASSERT_NE(b, nullptr);
    b->value(on);
    press(b);
}

std::vector<double> column(const char* name) {
    std::vector<double> v;
    const int slot = QB_slot_get(&Current_Model, name);
    for (int i = 0; slot >= 0 && i < Current_Model.natoms; i++) v.push_back(QB_slot_data(&Current_Model, slot, i));
    return v;
}

int count_of(const std::vector<double>& v, double x) {
    int n = 0;
    for (double e : v) n += e == x;
    return n;
}

class AnalysisTab : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        Fl::check();
    }
    void load(int n, int types) {
        fcc_model(&Current_Model, n, types);
        QN_update_model();
        Fl::check();
    }
};

}  // namespace

TEST_F(AnalysisTab, ThreeTypesGiveThreeRowsAndTheRunButtonBelowThem) {
    load(3, 3);
    ASSERT_NE(analy_choice, nullptr);
    EXPECT_EQ(analy_choice->parent()->parent(), analysis_region);
    EXPECT_EQ(analy_choice->size() - 1, 19);  // and the seven dislocation analyses, the six measurements
    EXPECT_STREQ(analy_choice->text(), "CNA");
    EXPECT_EQ(control_region->value(), model_region);
    for (int t = 1; t <= 3; t++) {
        const std::string label = "Type" + std::to_string(t) + " cutoff Min";
        Fl_Widget* min = labelled(manual_cna, label);
        ASSERT_NE(min, nullptr) << label;
        EXPECT_EQ(min->x(), 150);
        EXPECT_EQ(min->y(), 240 + 40 * (t - 1));
        EXPECT_STREQ(min->tooltip(), "Define distance larger than min cutoff and smaller than max cutoff as neighbor");
        EXPECT_NE(labelled(manual_cnp, "Type" + std::to_string(t) + " cutoff"), nullptr);
        EXPECT_NE(labelled(active_csp, "Type" + std::to_string(t) + " Coordination number"), nullptr);
        EXPECT_NE(labelled(manual_lco, "Type" + std::to_string(t) + " cutoff"), nullptr);
    }
    EXPECT_EQ(labelled(manual_cna, "Type4 cutoff Min"), nullptr);
    std::vector<Fl_Widget*> max;
    find_labelled(manual_cna, "Max", max);
    EXPECT_EQ(max.size(), 3u);

    ASSERT_NE(analy_run[0], nullptr);
    EXPECT_EQ(analy_run[0]->x(), 30);
    EXPECT_EQ(analy_run[0]->w(), 270);
    EXPECT_STREQ(analy_run[0]->label(), "Run Analysis");
    EXPECT_EQ(analy_run[1]->y(), 190);
    // Each run button below its page's frame, which holds the three rows, and inside its page.
    const std::pair<Fl_Group*, Fl_Group*> framed[] = {
        {analysis_cna, active_cna}, {analysis_cnp, active_cnp}, {analysis_csp, active_csp},
        {analysis_lco, active_lco}, {analysis_oim, active_oim}};
    const int runs[] = {0, 2, 3, 4, 5};
    for (int k = 0; k < 5; k++) {
        Fl_Group* page = framed[k].first;
        Fl_Group* frame = framed[k].second;
        Fl_Button* run = analy_run[static_cast<size_t>(runs[k])];
        for (int c = 0; c < frame->children(); c++)
            EXPECT_LE(frame->child(c)->y() + frame->child(c)->h(), frame->y() + frame->h()) << k << " " << c;
        EXPECT_GE(run->y(), frame->y() + frame->h()) << k;
        EXPECT_LE(run->y() + run->h(), page->y() + page->h()) << k;
    }
    EXPECT_GE(analy_run[0]->y(), 240 + 2 * 40 + 30);  // below the third type's row
    for (int k = 0; k < 6; k++) EXPECT_FALSE(analy_run[k]->active()) << k;
    for (int k = 6; k < static_cast<int>(analy_run.size()); k++) EXPECT_FALSE(analy_run[k]->active()) << k;

    // Only the CNA page shows; the choice switches pages.
    EXPECT_TRUE(analysis_cna->visible_r() || analysis_cna->visible());
    EXPECT_FALSE(analysis_csp->visible());
    QN_switch_analy_csp();
    EXPECT_EQ(control_region->value(), analysis_region);
    EXPECT_EQ(analy_choice->value(), 3);
    EXPECT_TRUE(analysis_csp->visible());
    EXPECT_FALSE(analysis_cna->visible());

    // The store holds one entry per type.
    double v = -1;
    EXPECT_EQ(QN_scan_double_multi(QN_ANALY_GROUP, 2, "A_cna_max", v), 1);
    EXPECT_EQ(QN_scan_double_multi(QN_ANALY_GROUP, 3, "A_cna_max", v), 0);
}

TEST_F(AnalysisTab, ActiveButtonsEnableTheirRunButtons) {
    load(2, 1);
    toggle(analysis_cna, 1);
    EXPECT_TRUE(active_cna->active());
    EXPECT_TRUE(analy_run[0]->active());
    EXPECT_FALSE(manual_cna->active());
    int flag = 0;
    QN_scan_int_single(QN_ANALY_GROUP, "A_cna_active", flag);
    EXPECT_EQ(flag, 1);
    toggle(analysis_cna, 0);
    EXPECT_FALSE(active_cna->active());
    EXPECT_FALSE(analy_run[0]->active());
    QN_scan_int_single(QN_ANALY_GROUP, "A_cna_active", flag);
    EXPECT_EQ(flag, 0);

    toggle(analysis_baa, 1);
    EXPECT_TRUE(analy_run[1]->active());
    QN_scan_int_single(QN_ANALY_GROUP, "A_baa_active", flag);
    EXPECT_EQ(flag, 1);

    // Manual opens the window fields, Adaptive closes them again.
    toggle(analysis_cna, 1);
    press(labelled(active_cna, "Manual"));
    EXPECT_TRUE(manual_cna->active());
    QN_scan_int_single(QN_ANALY_GROUP, "A_cna_adptive", flag);
    EXPECT_EQ(flag, 0);
    press(labelled(active_cna, "Adaptive"));
    EXPECT_FALSE(manual_cna->active());
    QN_scan_int_single(QN_ANALY_GROUP, "A_cna_adptive", flag);
    EXPECT_EQ(flag, 1);
}

TEST_F(AnalysisTab, EditedFieldsReachTheStoreAndAdaptiveResetsTheReference) {
    load(2, 2);
    std::vector<Fl_Widget*> max;
    find_labelled(manual_cna, "Max", max);
    ASSERT_EQ(max.size(), 2u);
    auto* field = static_cast<Fl_Value_Input*>(max[1]);
    field->value(3.1);
    press(field);
    double v = 0;
    QN_scan_double_multi(QN_ANALY_GROUP, 1, "A_cna_max", v);
    EXPECT_DOUBLE_EQ(v, 3.1);

    toggle(analysis_lco, 1);
    press(labelled(active_lco, "Manual"));
    lco_dir[0]->value(1);
    press(lco_dir[0]);
    lco_dir[2]->value(0);
    press(lco_dir[2]);
    lco_mindis->value(7);
    press(lco_mindis);
    QN_scan_double_single(QN_ANALY_GROUP, "A_lco_mindis", v);
    EXPECT_DOUBLE_EQ(v, 7);
    press(labelled(active_lco, "Adaptive"));
    EXPECT_EQ(lco_dir[0]->value(), 0);
    EXPECT_EQ(lco_dir[1]->value(), 0);
    EXPECT_EQ(lco_dir[2]->value(), 1);
    EXPECT_EQ(lco_mindis->value(), 3);
    QN_scan_double_multi(QN_ANALY_GROUP, 0, "A_lco_dir", v);
    EXPECT_EQ(v, 0);
    QN_scan_double_multi(QN_ANALY_GROUP, 2, "A_lco_dir", v);
    EXPECT_EQ(v, 1);
    QN_scan_double_single(QN_ANALY_GROUP, "A_lco_mindis", v);
    EXPECT_EQ(v, 3);
    EXPECT_FALSE(manual_lco->active());
}

TEST_F(AnalysisTab, RunningColoursTheViewByTheShownPage) {
    load(3, 1);
    // Nothing switched on: the run adds no column.
    toggle(analysis_cna, 1);
    toggle(analysis_cna, 0);
    QN_run_analysis();
    EXPECT_EQ(QB_slot_get(&Current_Model, "cna"), -1);

    toggle(analysis_cna, 1);
    toggle(analysis_csp, 1);
    auto* cn = static_cast<Fl_Value_Input*>(labelled(active_csp, "Type1 Coordination number"));
    ASSERT_NE(cn, nullptr);
    cn->value(12);
    press(cn);
    press(analy_run[0]);
    const std::vector<double> cna = column("cna"), csp = column("csp");
    ASSERT_EQ(cna.size(), 108u);
    EXPECT_EQ(count_of(cna, 1), 108);
    ASSERT_EQ(csp.size(), 108u);
    for (double c : csp) EXPECT_NEAR(c, 0, 1e-9);
    EXPECT_STREQ(bar_slot->text(), "cna");
    EXPECT_EQ(render_col_flag->value(), 0);
    EXPECT_EQ(cube->atoms_drawn(), 108);

    QN_switch_analy_csp();
    press(analy_run[3]);
    EXPECT_STREQ(bar_slot->text(), "csp");

    // A second run with another method keeps the first run's columns.
    toggle(analysis_cna, 0);
    toggle(analysis_csp, 0);
    toggle(analysis_lco, 1);
    QN_switch_analy_lco();
    press(analy_run[4]);
    EXPECT_EQ(column("cna"), cna);
    EXPECT_EQ(column("csp"), csp);
    EXPECT_EQ(column("lco_r").size(), 108u);
    EXPECT_EQ(render_col_flag->value(), 1);
    EXPECT_STREQ(colb_slot->text(), "lco_b");

    // With another page shown the run only reloads the view, which keeps
    // its colouring.
    toggle(analysis_lco, 0);
    toggle(analysis_cna, 1);
    const int slot = QB_slot_get(&Current_Model, "cna");
    for (int i = 0; i < Current_Model.natoms; i++) QB_slot_save(&Current_Model, slot, i, 7);
    QN_switch_analy_baa();
    QN_run_analysis();
    EXPECT_EQ(count_of(column("cna"), 1), 108);
    EXPECT_EQ(render_col_flag->value(), 1);
    EXPECT_STREQ(colb_slot->text(), "lco_b");
}

TEST_F(AnalysisTab, ANewModelWithTheSameTypesRerunsTheShownAnalysis) {
    load(3, 1);
    toggle(analysis_cna, 1);
    press(analy_run[0]);
    ASSERT_EQ(count_of(column("cna"), 1), 108);

    // Same type count (as an import reports it): the run follows the model.
    Fl_Choice* choice = analy_choice;
    QB_delete_atom(&Current_Model, 0);
    QB_affine_delete(&Current_Model);
    QNGC.analysis_rebuild = 0;
    QN_update_model();
    EXPECT_EQ(analy_choice, choice);  // not rebuilt
    const std::vector<double> after = column("cna");
    ASSERT_EQ(after.size(), 107u);
    EXPECT_EQ(count_of(after, 1), 107 - 12);
    EXPECT_STREQ(bar_slot->text(), "cna");

    // A switched-off method's button is not pressed.
    toggle(analysis_cna, 0);
    for (int i = 0; i < Current_Model.natoms; i++) QB_slot_save(&Current_Model, QB_slot_get(&Current_Model, "cna"), i, 7);
    QNGC.analysis_rebuild = 0;
    QN_update_model();
    EXPECT_EQ(count_of(column("cna"), 7), 107);

    // No method chosen: nothing runs.
    toggle(analysis_cna, 1);
    analy_choice->value(-1);
    ASSERT_EQ(analy_choice->value(), -1);
    QNGC.analysis_rebuild = 0;
    QN_update_model();
    EXPECT_EQ(count_of(column("cna"), 7), 107);

    // Otherwise the tab is rebuilt with the defaults.
    QN_update_model();
    EXPECT_FALSE(analy_run[0]->active());
    EXPECT_FALSE(active_cna->active());
    int flag = 1;
    QN_scan_int_single(QN_ANALY_GROUP, "A_cna_active", flag);
    EXPECT_EQ(flag, 0);
}

TEST_F(AnalysisTab, NewWindowAndAnotherModelRebuildTheTab) {
    load(2, 2);
    toggle(analysis_cna, 1);
    QN_new_cb(nullptr, nullptr);
    EXPECT_EQ(analy_choice, nullptr);
    EXPECT_EQ(analy_run[0], nullptr);
    // The menu entries need a model again.
    QN_switch_analy_cna();
    EXPECT_EQ(QN_message_text(), "Please select a model first");
    QNGC.analysis_rebuild = 0;  // a stale flag does not skip the rebuild
    load(2, 3);
    ASSERT_NE(analy_choice, nullptr);
    EXPECT_NE(labelled(manual_cna, "Type3 cutoff Min"), nullptr);
    EXPECT_FALSE(analy_run[0]->active());
}

TEST_F(AnalysisTab, ANotANumberResultIsColouredToo) {
    load(2, 1);
    toggle(analysis_cnp, 1);
    press(labelled(active_cnp, "Manual"));  // cut-off 0: no neighbour anywhere
    QN_switch_analy_cnp();
    press(analy_run[2]);
    const std::vector<double> cnp = column("cnp");
    ASSERT_EQ(cnp.size(), 32u);
    for (double v : cnp) EXPECT_TRUE(std::isnan(v));
    EXPECT_STREQ(bar_slot->text(), "cnp");
    EXPECT_EQ(cube->atoms_drawn(), 32);
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(cube->render_frame(64, 64, rgb));
    EXPECT_EQ(rgb.size(), 64u * 64u * 3u);
}

TEST_F(AnalysisTab, ARunSaysWhatItFound) {
    load(3, 1);
    // One vacancy: its twelve neighbours are no longer fcc.
    Current_Model.atoms[0].id = -1;
    QB_affine_delete(&Current_Model);
    QN_update_model();
    toggle(analysis_cna, 1);
    press(analy_run[0]);
    const std::string text = QN_message_text();
    EXPECT_NE(text.find("Structure summary of 107 atoms:"), std::string::npos) << text;
    EXPECT_NE(text.find("cna: fcc 95 (88.8%), other 12 (11.2%)"), std::string::npos) << text;
    // A second run replaces the summary instead of adding another.
    press(analy_run[0]);
    const std::string again = QN_message_text();
    EXPECT_EQ(again.find("Structure summary"), again.rfind("Structure summary")) << again;
}

// The CSP page as it opens: every "Coordination number" 0, which takes the
// neighbours from the structure (12 for the fcc crystal with a vacancy), so
// the run gives the values of 12 given by hand, says so, and its colour bar
// spans the values found. A structure without fcc, hcp or bcc atoms is
// refused with the reason, and nothing is coloured by a column of zeros.
TEST_F(AnalysisTab, CspByDefaultTakesItsNeighboursFromTheStructure) {
    load(3, 1);
    Current_Model.atoms[0].id = -1;
    QB_affine_delete(&Current_Model);
    QN_update_model();
    auto* cn = static_cast<Fl_Value_Input*>(labelled(active_csp, "Type1 Coordination number"));
    ASSERT_NE(cn, nullptr);
    EXPECT_EQ(cn->value(), 0);
    ASSERT_NE(cn->tooltip(), nullptr);
    EXPECT_NE(std::string(cn->tooltip()).find("0 takes them from the structure"), std::string::npos);
    toggle(analysis_csp, 1);
    QN_switch_analy_csp();
    press(analy_run[3]);
    const std::string text = QN_message_text();
    EXPECT_NE(text.find("CSP of type 1 over 12 neighbours: 95 of its 107 atoms are fcc\n"
                        "Structure summary of 107 atoms:\ncsp: min "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(", 12 (11.2%) above 1"), std::string::npos) << text;
    const std::vector<double> automatic = column("csp");
    ASSERT_EQ(automatic.size(), 107u);
    EXPECT_STREQ(bar_slot->text(), "csp");
    const double hi = *std::max_element(automatic.begin(), automatic.end());
    const double lo = *std::min_element(automatic.begin(), automatic.end());
    EXPECT_GT(hi, 1);
    EXPECT_EQ(bar_slot_min->value(), lo);
    EXPECT_EQ(bar_slot_max->value(), hi);

    cn->value(12);
    press(cn);
    press(analy_run[3]);
    EXPECT_EQ(column("csp"), automatic);
    const std::string again = QN_message_text();
    EXPECT_EQ(again.find("CSP of type 1 over"), std::string::npos) << again;  // the earlier report is replaced
    EXPECT_EQ(again.find("Structure summary"), again.rfind("Structure summary")) << again;

    // Simple cubic: no fcc, hcp or bcc atom to take the number from.
    QB_tools sc;
    QB_init(&sc);
    QB_create_atom(&sc, 1, 0, 0, 0);
    for (int d = 0; d < 3; d++) sc.size[d] = sc.cell[d][d] = 2.5;
    sc.ntypes = 1;
    QB_duplicate(&sc, 4, 4, 4);
    Current_Model = sc;
    QN_update_model();
    Fl::check();
    toggle(analysis_csp, 1);
    QN_switch_analy_csp();
    press(analy_run[3]);
    EXPECT_EQ(QB_slot_get(&Current_Model, "csp"), -1);
    EXPECT_NE(QN_message_text().find("CSP: no atom is fcc, hcp or bcc, so the number of neighbours of type 1 cannot "
                                     "be taken from the structure"),
              std::string::npos)
        << QN_message_text();
}
