// The four simulation wizards in the real window: opened from the Simulation
// menu, bound to their store groups, laid out by their choices, packing into
// a local folder, saving and loading a crack set-up, and submitting to a
// loopback SSH server.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Tree.H>
#include <FL/Fl_Tree_Item.H>
#include <FL/Fl_Value_Input.H>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/quelm_bind.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/layers_form.h"
#include "gui_window.h"
#include "simulation/remote_form.h"
#include "simulation/ssh_hosts.h"
#include "simulation/sshd_fixture.h"
#include "simulation/scheduler.h"
#include "simulation/wizard.h"
#include "simulation/wizard_form.h"
#include "simulation_gui_support.h"
#include "test_support.h"
#include "tools/potentials.h"

namespace {

namespace fs = std::filesystem;

// Shown as the user would see it once its tab is selected: the widget and
// every group above it up to the tab are shown.
bool shown_in_tab(Fl_Widget* w) {
    for (Fl_Widget* p = w; p; p = p->parent()) {
        if (p->parent() && dynamic_cast<Fl_Tabs*>(p->parent())) return p == w || w->visible();
        if (!p->visible()) return false;
    }
    return true;
}

template <class T>
std::vector<T*> all_shown(Fl_Group* g, const char* label) {
    std::vector<T*> all, out;
    collect<T>(g, all);
    for (T* t : all)
        if (shown_in_tab(t) && t->label() && std::strcmp(t->label(), label) == 0) out.push_back(t);
    return out;
}

template <class T>
T* shown(Fl_Group* g, const char* label) {
    std::vector<T*> all = all_shown<T>(g, label);
    return all.empty() ? nullptr : all.front();
}

std::vector<std::string> tab_names(Fl_Double_Window* w) {
    std::vector<Fl_Tabs*> tabs;
    collect<Fl_Tabs>(w, tabs);
    std::vector<std::string> names;
    if (tabs.size() != 1) return names;
    for (int k = 0; k < tabs[0]->children(); k++) names.push_back(tabs[0]->child(k)->label());
    return names;
}

Fl_Tabs* tabs_of(Fl_Double_Window* w) {
    std::vector<Fl_Tabs*> tabs;
    collect<Fl_Tabs>(w, tabs);
    return tabs.size() == 1 ? tabs[0] : nullptr;
}

void type(Fl_Input* in, const std::string& text) {
    ASSERT_NE(in, nullptr);
    in->value(text.c_str());
    in->do_callback();
}

class WizardWindow : public testing::Test {
protected:
    void SetUp() override { open_simulation_window(); }
    void TearDown() override {
        for (QN_wizard k : {QN_wizard::dynamic, QN_wizard::quasistatic, QN_wizard::shock, QN_wizard::crack})
            if (Fl_Double_Window* w = QN_wizard_window(k)) w->hide();
        Fl::check();
        QN_path_picker = saved_picker;
        scoped_home.restore();
    }

    Fl_Double_Window* open(const char* entry, QN_wizard kind) {
        const Fl_Menu_Item* item = menu_bar->find_item(entry);
        if (!item) return nullptr;
        menu_bar->picked(item);
        Fl::check();
        return QN_wizard_window(kind);
    }

    // A model, a .quelm potential converted from the shipped Cu setfl file
    // and a job script in the scratch folder; false when the potential
    // cannot be made.
    bool make_files(std::string& why) {
        const std::string setfl = "/usr/share/lammps/potentials/Cu_mishin1.eam.alloy";
        if (!fs::exists(setfl)) {
            why = "no " + setfl;
            return false;
        }
        potential = dir.path("Cu.quelm");
        std::string message;
        if (!QT_setfl_to_quelm(setfl, potential, QT_setfl_layout::alloy, message)) {
            why = message;
            return false;
        }
        model = std::string(QUELM_TEST_DATA) + "/simulation/fixtures/cu_fcc.lmp";
        script = dir.path("job.sh");
        FILE* f = std::fopen(script.c_str(), "w");
        std::fputs("#!/bin/sh\necho run\n", f);
        std::fclose(f);
        return true;
    }

    // Picks a path through the "Select" button b, as the user would.
    void select(Fl_Widget* b, const std::string& path) {
        ASSERT_NE(b, nullptr);
        picked_path = path;
        QN_path_picker = pick_fixed_path;
        b->do_callback();
    }

    void use_scratch_home() {
        home = dir.path("home");
        scoped_home.set(home);
    }

    ScratchDir dir;
    std::string potential, model, script, home;
    ScopedHome scoped_home;
    int (*saved_picker)(int, std::string&) = QN_path_picker;
};

}  // namespace

TEST_F(WizardWindow, EachWizardOpensFromTheMenuWithItsDefaults) {
    Fl_Double_Window* d = open("Simulation/Quelm/&Dynamic", QN_wizard::dynamic);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->shown());
    EXPECT_STREQ(d->label(), "Quelm Simulation Dynamic");
    EXPECT_EQ(d->w(), QN_SIM_WINDOW_W);
    EXPECT_EQ(d->h(), QN_SIM_TABS_H + 45);
    const std::vector<std::string> five = {"Model", "Potential", "Loading", "Output", "Submit", "Scheduler"};
    EXPECT_EQ(tab_names(d), five);
    // The scheduler's settings live in a group of their own: the wizard's
    // group is written whole into every task script.
    auto* kind = find_labelled<Fl_Choice>(d, "Scheduler:");
    ASSERT_NE(kind, nullptr);
    pick(kind, QN_scheduler_find("slurm")->label);
    EXPECT_EQ(Quelm_scan_dest_single(QN_wizard_about(QN_wizard::dynamic).group, "S_sched"), -1);
    EXPECT_TRUE(find_labelled<Fl_Input>(d, "Partition:")->active());
    ASSERT_NE(find_labelled<Fl_Value_Input>(d, "Strain Rate"), nullptr);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(d, "Strain Rate")->value(), 1);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(d, "Maximum strain")->value(), 0.2);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(d, "Temperature")->value(), 300);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(d, "Steps per Dump")->value(), 2000);
    ASSERT_NE(find_labelled<Fl_Round_Button>(d, "Stress-Strain diagram"), nullptr);
    EXPECT_EQ(find_labelled<Fl_Round_Button>(d, "Stress-Strain diagram")->value(), 1);
    EXPECT_NE(find_labelled<Fl_Output>(d, "Job Script:"), nullptr);
    ASSERT_NE(find_labelled<Fl_Input>(d, "Save Path:"), nullptr);
    EXPECT_STREQ(find_labelled<Fl_Input>(d, "Save Path:")->value(), "");  // its hint says what it takes
    EXPECT_EQ(QN_stored_text(5, "S_Dynamic"), "0");
    // The type links (hidden while none is asked for) say what they map.
    std::vector<Fl_Value_Input*> inputs;
    collect<Fl_Value_Input>(d, inputs);
    int links = 0;
    for (Fl_Value_Input* in : inputs)
        if (in->label() && std::strcmp(in->label(), "Type") == 0) {
            links++;
            EXPECT_FALSE(in->visible());
            EXPECT_STREQ(in->tooltip(), "Atom type in the model");
        }
    EXPECT_EQ(links, 10);  // one per atom type

    Fl_Double_Window* q = open("Simulation/Quelm/&Quasistatic", QN_wizard::quasistatic);
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q->label(), "Quelm Simulation Quasistatic");
    EXPECT_EQ(tab_names(q), five);
    ASSERT_NE(find_labelled<Fl_Value_Input>(q, "Strain per Step"), nullptr);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(q, "Strain per Step")->value(), 0.001);
    EXPECT_NE(find_labelled<Fl_Round_Button>(q, "Stress-Strain Diagram"), nullptr);
    EXPECT_NE(find_labelled<Fl_Choice>(q, "Link to Potential"), nullptr);

    Fl_Double_Window* s = open("Simulation/Quelm/&Shock", QN_wizard::shock);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->label(), "Quelm Simulation Shock");
    EXPECT_EQ(tab_names(s), five);
    ASSERT_NE(find_labelled<Fl_Value_Input>(s, "Simulation Time:"), nullptr);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(s, "Simulation Time:")->value(), 20);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(s, "Shock Speed:")->value(), 1);
    EXPECT_EQ(find_labelled<Fl_Value_Input>(s, "Temperature"), nullptr);
    auto* mode = find_labelled<Fl_Choice>(s, "Loading Mode");
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->size() - 1, 2);  // "Clamp", "Mirror" (and the terminator)

    Fl_Double_Window* c = open("Simulation/Quelm/&Crack", QN_wizard::crack);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->label(), "Quelm Simulation Crack");
    const std::vector<std::string> six = {"Model",  "Potential", "Loading", "Output",
                                          "Submit", "Scheduler", "Download"};
    EXPECT_EQ(tab_names(c), six);
    ASSERT_NE(shown<Fl_Value_Input>(c, "Step per Loop"), nullptr);
    EXPECT_DOUBLE_EQ(shown<Fl_Value_Input>(c, "Step per Loop")->value(), 5000);
    EXPECT_DOUBLE_EQ(shown<Fl_Value_Input>(c, "Loop Sum")->value(), 20);
    EXPECT_DOUBLE_EQ(shown<Fl_Value_Input>(c, "Shear Modulus")->value(), 70);
    EXPECT_STREQ(find_labelled<Fl_Input>(c, "Save Path:")->value(), "");
    EXPECT_NE(find_labelled<Fl_Button>(c, "Save"), nullptr);
    EXPECT_NE(find_labelled<Fl_Button>(c, "Load"), nullptr);
    EXPECT_NE(find_labelled<Fl_Button>(c, "Download Standard"), nullptr);
    std::vector<Fl_Tree*> trees;
    collect<Fl_Tree>(c, trees);
    ASSERT_EQ(trees.size(), 1u);
    EXPECT_EQ(trees[0]->showroot(), 0);
    // Two server fields of each kind, and the passwords start empty.
    EXPECT_EQ(all_shown<Fl_Input>(c, "Server:").size(), 2u);
    std::vector<Fl_Secret_Input*> secrets;
    collect<Fl_Secret_Input>(c, secrets);
    ASSERT_EQ(secrets.size(), 2u);
    EXPECT_STREQ(secrets[0]->value(), "");

    // Choosing the entry again while the window is shown keeps it.
    EXPECT_EQ(open("Simulation/Quelm/&Crack", QN_wizard::crack), c);
}

TEST_F(WizardWindow, BackAndNextWalkTheTabs) {
    for (QN_wizard kind : {QN_wizard::dynamic, QN_wizard::crack}) {
        Fl_Double_Window* w = kind == QN_wizard::dynamic ? open("Simulation/Quelm/&Dynamic", kind)
                                                         : open("Simulation/Quelm/&Crack", kind);
        ASSERT_NE(w, nullptr);
        Fl_Tabs* tabs = tabs_of(w);
        ASSERT_NE(tabs, nullptr);
        auto* back = find_labelled<Fl_Button>(w, "Back");
        auto* next = find_labelled<Fl_Button>(w, "Next");
        ASSERT_EQ(back, nullptr);  // hidden on "Model"
        ASSERT_NE(next, nullptr);
        EXPECT_STREQ(tabs->value()->label(), "Model");
        const int last = tabs->children() - 1;
        for (int k = 1; k <= last; k++) {
            press(next);
            EXPECT_STREQ(tabs->value()->label(), tabs->child(k)->label());
        }
        EXPECT_FALSE(next->visible());
        back = find_labelled<Fl_Button>(w, "Back");
        ASSERT_NE(back, nullptr);
        press(back);
        EXPECT_STREQ(tabs->value()->label(), tabs->child(last - 1)->label());
        EXPECT_TRUE(next->visible());
        // A tab clicked directly lays the buttons out too.
        tabs->value(tabs->child(0));
        tabs->do_callback();
        EXPECT_FALSE(back->visible());
        EXPECT_TRUE(next->visible());
    }
}

TEST_F(WizardWindow, TypeSumLinksAndLoadingDirectionLayTheFormOut) {
    Fl_Double_Window* w = open("Simulation/Quelm/&Dynamic", QN_wizard::dynamic);
    ASSERT_NE(w, nullptr);
    const int g = 5;

    // Three atom types: three mass rows.
    pick(find_labelled<Fl_Choice>(w, "Type Sum:"), "3");
    EXPECT_EQ(QN_stored_int(g, "S_elenum", -1), 2);
    for (const char* m : {" 1# Mass:", " 2# Mass:", " 3# Mass:"})
        EXPECT_NE(shown<Fl_Value_Input>(w, m), nullptr) << m;
    EXPECT_EQ(shown<Fl_Value_Input>(w, " 4# Mass:"), nullptr);
    EXPECT_EQ(all_shown<Fl_Choice>(w, " Name").size(), 3u);
    enter(shown<Fl_Value_Input>(w, " 3# Mass:"), 58.69);
    double mass = 0;
    EXPECT_EQ(QN_scan_double_multi(g, 2, "S_mass", mass), 1);
    EXPECT_DOUBLE_EQ(mass, 58.69);

    // Type links: pairs shown, the potential group grows, the masses follow.
    auto* pot = find_labelled<Fl_Group>(w, "Potential Setting");
    auto* masses = find_labelled<Fl_Group>(w, "Mass Setting");
    ASSERT_NE(pot, nullptr);
    ASSERT_NE(masses, nullptr);
    EXPECT_TRUE(all_shown<Fl_Value_Input>(w, "Type").empty());
    pick(find_labelled<Fl_Choice>(w, "Link to potential"), "3");
    EXPECT_EQ(all_shown<Fl_Value_Input>(w, "Type").size(), 3u);
    EXPECT_EQ(pot->h(), 1 * 40 + 90);  // four links to a row
    pick(find_labelled<Fl_Choice>(w, "Link to potential"), "5");
    EXPECT_EQ(pot->h(), 2 * 40 + 90);
    pick(find_labelled<Fl_Choice>(w, "Link to potential"), "3");
    EXPECT_EQ(masses->y(), pot->y() + pot->h() + 30);
    EXPECT_EQ(masses->h(), 2 / 2 * 40 + 90);

    // The loading direction: the axis, then the shear plane shown.
    auto* axis = find_labelled<Fl_Choice>(w, "Loading Axis:");
    ASSERT_NE(axis, nullptr);
    pick(axis, "z");
    EXPECT_EQ(QN_stored_int(g, "S_dirload", -1), 2);
    pick(find_labelled<Fl_Choice>(w, "Loading Mode"), "Shear");
    EXPECT_EQ(QN_stored_int(g, "S_load", -1), 2);
    EXPECT_FALSE(axis->visible());
    auto* plane = find_labelled<Fl_Choice>(w, "Loading Axis:");
    ASSERT_NE(plane, nullptr);
    ASSERT_NE(plane, axis);
    EXPECT_STREQ(plane->text(), "xy");
    EXPECT_EQ(QN_stored_int(g, "S_dirload", -1), plane->value());
    EXPECT_NE(QN_stored_int(g, "S_dirload", -1), 2);
    pick(plane, "zx");
    EXPECT_EQ(QN_stored_int(g, "S_dirload", -1), 4);
    pick(find_labelled<Fl_Choice>(w, "Loading Mode"), "Tensile");
    EXPECT_TRUE(axis->visible());
    EXPECT_EQ(QN_stored_int(g, "S_dirload", -1), 2);

    // Images: two shown, the others' colours cleared; a colour is stored + 1.
    pick(find_labelled<Fl_Choice>(w, "Images:"), "2");
    EXPECT_EQ(QN_stored_int(g, "S_img1", -1), 1);
    EXPECT_EQ(QN_stored_int(g, "S_img2", -1), 1);
    for (const char* l : {"S_img3", "S_img4", "S_img5"}) EXPECT_EQ(QN_stored_int(g, l, -1), 0) << l;
    auto* img2 = find_labelled<Fl_Group>(w, "IMG 2");
    ASSERT_NE(img2, nullptr);
    EXPECT_TRUE(img2->visible());
    EXPECT_FALSE(find_labelled<Fl_Group>(w, "IMG 3")->visible());
    std::vector<Fl_Choice*> colours;
    collect<Fl_Choice>(img2, colours);
    ASSERT_EQ(colours.size(), 1u);  // the row's "Color" column
    pick(colours[0], "Structure (hcp)");
    EXPECT_EQ(QN_stored_int(g, "S_img2", -1), 3);
    pick(find_labelled<Fl_Choice>(w, "Images:"), "1");
    EXPECT_EQ(QN_stored_int(g, "S_img2", -1), 0);

    // The quasistatic relax modes switch their settings groups.
    Fl_Double_Window* q = open("Simulation/Quelm/&Quasistatic", QN_wizard::quasistatic);
    ASSERT_NE(q, nullptr);
    EXPECT_NE(shown<Fl_Value_Input>(q, "Temperature"), nullptr);
    pick(find_labelled<Fl_Choice>(q, "Relax Mode:"), "FIRE");
    EXPECT_EQ(QN_stored_int(6, "S_relax", -1), 2);
    EXPECT_EQ(shown<Fl_Value_Input>(q, "Temperature"), nullptr);
    EXPECT_EQ(all_shown<Fl_Choice>(q, "Load Condition:").size(), 1u);

    // The crack methods switch their groups and move the relax settings.
    Fl_Double_Window* c = open("Simulation/Quelm/&Crack", QN_wizard::crack);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(shown<Fl_Value_Input>(c, "KI Rate/Step"), nullptr);
    auto* relax = find_labelled<Fl_Choice>(c, "Relax Mode:");
    ASSERT_NE(relax, nullptr);
    const int linear_y = relax->y();
    pick(find_labelled<Fl_Choice>(c, "Crack Method:"), "Fix boundary");
    EXPECT_EQ(QN_stored_int(4, "S_load", -1), 2);
    EXPECT_EQ(shown<Fl_Value_Input>(c, "KI Rate/Step"), nullptr);
    ASSERT_NE(shown<Fl_Value_Input>(c, "Strain Rate/Step"), nullptr);
    EXPECT_EQ(relax->y(), linear_y - 40);
    enter(shown<Fl_Value_Input>(c, "Strain Rate/Step"), 0.02);
    EXPECT_DOUBLE_EQ(QN_stored_double(4, "S_rate", -1), 0.02);
    pick(find_labelled<Fl_Choice>(c, "Input Mode"), "Tilt Interface");
    EXPECT_NE(shown<Fl_Button>(c, "More"), nullptr);
    // The model group grows by the interface's rows; the solute settings
    // follow below it.
    auto* solute = find_labelled<Fl_Choice>(c, "Solute Mode:");
    ASSERT_NE(solute, nullptr);
    auto* model_group = find_labelled<Fl_Group>(c, "Model Setting");
    auto* solute_group = find_labelled<Fl_Group>(c, "Solute Setting");
    ASSERT_TRUE(model_group && solute_group);
    EXPECT_EQ(model_group->h(), 210);
    EXPECT_EQ(solute_group->y(), model_group->y() + model_group->h() + 30);
    EXPECT_EQ(solute->parent(), solute_group);
    EXPECT_EQ(solute->y(), solute_group->y() + 10);
    pick(find_labelled<Fl_Choice>(c, "Input Mode"), "Select File");
    EXPECT_EQ(model_group->h(), 90);
    EXPECT_EQ(solute_group->y(), model_group->y() + model_group->h() + 30);
    pick(find_labelled<Fl_Choice>(c, "Input Mode"), "Tilt Interface");
    // No crystals chosen: the search says so.
    press(shown<Fl_Button>(c, "More"));
    EXPECT_NE(QN_message_text().find("crystal file is not found"), std::string::npos) << QN_message_text();
}

TEST_F(WizardWindow, ReopeningShowsTheStoredValuesAndWidgetDefaults) {
    Fl_Double_Window* w = open("Simulation/Quelm/&Dynamic", QN_wizard::dynamic);
    ASSERT_NE(w, nullptr);
    enter(find_labelled<Fl_Value_Input>(w, "Strain Rate"), 2.5);
    pick(find_labelled<Fl_Choice>(w, "Link to potential"), "2");
    type(find_labelled<Fl_Input>(w, "Password:"), "typed");
    EXPECT_EQ(QN_stored_text(5, "S_severpass", "none"), "none");  // never stored
    w->hide();
    Fl::check();
    Fl_Double_Window* again = open("Simulation/Quelm/&Dynamic", QN_wizard::dynamic);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->shown());
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(again, "Strain Rate")->value(), 2.5);
    EXPECT_EQ(find_labelled<Fl_Choice>(again, "Link to potential")->value(), 0);
    EXPECT_STREQ(find_labelled<Fl_Input>(again, "Password:")->value(), "");
}

TEST_F(WizardWindow, PackWritesTheTaskFolder) {
    std::string why;
    if (!make_files(why)) GTEST_SKIP() << "no potential: " << why;
    Fl_Double_Window* w = open("Simulation/Quelm/&Dynamic", QN_wizard::dynamic);
    ASSERT_NE(w, nullptr);
    select(find_labelled<Fl_Button>(find_labelled<Fl_Group>(w, "Model Setting"), "Select"), model);
    EXPECT_EQ(QN_stored_text(5, "S_inputa"), model);
    select(find_labelled<Fl_Button>(find_labelled<Fl_Group>(w, "Potential Setting"), "Select"), potential);
    EXPECT_EQ(QN_stored_text(5, "S_pot"), potential);
    std::vector<Fl_Button*> selects = all_shown<Fl_Button>(find_labelled<Fl_Group>(w, "Submit Setting"), "Select");
    ASSERT_EQ(selects.size(), 2u);
    select(selects[0], script);
    EXPECT_STREQ(find_labelled<Fl_Output>(w, "Job Script:")->value(), script.c_str());
    const std::string out = dir.path("pack");
    select(selects[1], out);
    EXPECT_EQ(find_labelled<Fl_Input>(w, "Save Path:")->value(), out);
    enter(find_labelled<Fl_Value_Input>(w, " 1# Mass:"), 63.546);

    press(find_labelled<Fl_Button>(w, "Pack"));
    EXPECT_EQ(QN_message_text(), "Packed 1 task in " + out);
    for (const char* f : {"input1.qld", "img1", "Cu.quelm", "cu_fcc.lmp", "job.sh"})
        EXPECT_TRUE(fs::exists(out + "/" + f)) << f;
    EXPECT_FALSE(fs::exists(out + "/input2.qld"));
    EXPECT_TRUE(questions.empty());

    // Again: the existing files are named and replaced only on "Yes".
    answer = answer_no;
    press(find_labelled<Fl_Button>(w, "Pack"));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("Replace them?"), std::string::npos) << questions[0];
    EXPECT_NE(questions[0].find("input1.qld"), std::string::npos) << questions[0];
    EXPECT_NE(QN_message_text().find("Nothing was packed"), std::string::npos) << QN_message_text();
    answer = answer_yes;
    press(find_labelled<Fl_Button>(w, "Pack"));
    EXPECT_EQ(QN_message_text(), "Packed 1 task in " + out);

    // "Save" writes the task scripts under the name chosen.
    picked_path = dir.path("setup.qnw");
    press(find_labelled<Fl_Button>(w, "Save"));
    EXPECT_TRUE(fs::exists(dir.path("setup1.qld"))) << QN_message_text();
    EXPECT_NE(slurp(dir.path("setup1.qld")).find("S_rate"), std::string::npos);

    // A mass of zero is refused with the core's reason.
    enter(find_labelled<Fl_Value_Input>(w, " 1# Mass:"), 0);
    press(find_labelled<Fl_Button>(w, "Pack"));
    EXPECT_NE(QN_message_text().find("mass"), std::string::npos) << QN_message_text();
}

TEST_F(WizardWindow, CrackSaveKeepsNoPasswordAndLoadRestoresTheForm) {
    Fl_Double_Window* w = open("Simulation/Quelm/&Crack", QN_wizard::crack);
    ASSERT_NE(w, nullptr);
    const std::string secret = "pw-Secret-4711";
    std::vector<Fl_Secret_Input*> secrets;
    collect<Fl_Secret_Input>(w, secrets);
    ASSERT_EQ(secrets.size(), 2u);
    type(secrets[0], secret);
    EXPECT_EQ(secrets[1]->value(), secret);  // mirrored into the Download tab
    // The other server fields are stored and mirrored.
    type(find_labelled<Fl_Input>(w, "Server Folder:"), "runs/crack");
    EXPECT_EQ(QN_stored_text(4, "S_severfold"), "runs/crack");
    EXPECT_EQ(all_shown<Fl_Input>(w, "Server Folder:").back()->value(), std::string("runs/crack"));

    enter(shown<Fl_Value_Input>(w, "Step per Loop"), 7000);
    EXPECT_EQ(QN_stored_int(4, "S_step", -1), 7000);
    auto* seed = find_labelled<Fl_Value_Input>(w, "Random Seed");
    ASSERT_NE(seed, nullptr);
    Fl_Group* parent = seed->parent();
    const int at = parent->find(seed);
    auto* start = dynamic_cast<Fl_Value_Input*>(parent->child(at + 1));
    auto* end = dynamic_cast<Fl_Value_Input*>(parent->child(at + 2));
    auto* step = dynamic_cast<Fl_Value_Input*>(parent->child(at + 3));
    auto* light = dynamic_cast<Fl_Light_Button*>(parent->child(at + 4));
    ASSERT_TRUE(start && end && step && light);
    EXPECT_EQ(light->value(), 0);
    EXPECT_FALSE(start->visible());
    light->value(1);
    light->do_callback();
    EXPECT_TRUE(start->visible());
    EXPECT_FALSE(seed->visible());
    start->value(1);
    end->value(3);
    step->value(1);
    start->do_callback();
    end->do_callback();
    step->do_callback();
    double v = 0;
    EXPECT_EQ(QN_scan_double_loop(4, "S_seed", v, 2), 3);

    const std::string file = dir.path("crack_setup.qnw");
    picked_path = file;
    QN_path_picker = pick_fixed_path;
    press(find_labelled<Fl_Button>(w, "Save"));
    ASSERT_TRUE(fs::exists(file)) << QN_message_text();
    const std::string bytes = slurp(file);
    EXPECT_EQ(bytes.find(secret), std::string::npos);
    EXPECT_EQ(bytes.find("S_severpass"), std::string::npos);
    EXPECT_NE(bytes.find("7000"), std::string::npos);

    // Changed after saving, then loaded back.
    enter(shown<Fl_Value_Input>(w, "Step per Loop"), 100);
    light->value(0);
    light->do_callback();
    enter(seed, 9);
    EXPECT_EQ(QN_stored_int(4, "S_step", -1), 100);
    press(find_labelled<Fl_Button>(w, "Load"));
    Fl::check();
    EXPECT_NE(QN_message_text().find("Loaded"), std::string::npos) << QN_message_text();
    EXPECT_EQ(QN_stored_int(4, "S_step", -1), 7000);
    ASSERT_NE(shown<Fl_Value_Input>(w, "Step per Loop"), nullptr);
    EXPECT_DOUBLE_EQ(shown<Fl_Value_Input>(w, "Step per Loop")->value(), 7000);
    auto* seed2 = find_labelled<Fl_Value_Input>(w, "Random Seed");  // now the loop's start input
    ASSERT_NE(seed2, nullptr);
    Fl_Group* p2 = seed2->parent();
    const int at2 = p2->find(seed2);
    auto* light2 = dynamic_cast<Fl_Light_Button*>(p2->child(at2 + 3));
    ASSERT_NE(light2, nullptr);
    EXPECT_EQ(light2->value(), 1);
    EXPECT_DOUBLE_EQ(seed2->value(), 1);
    EXPECT_DOUBLE_EQ(dynamic_cast<Fl_Value_Input*>(p2->child(at2 + 1))->value(), 3);
    EXPECT_EQ(QN_scan_double_loop(4, "S_seed", v, 2), 3);
    EXPECT_EQ(find_labelled<Fl_Input>(w, "Server Folder:")->value(), std::string("runs/crack"));

    // A file holding a password: ignored and said so.
    const std::string other = dir.path("with_password.qnw");
    FILE* f = std::fopen(other.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("-S_Crack=0\n-S_step=6000\n-S_severpass=abc\n", f);
    std::fclose(f);
    picked_path = other;
    press(find_labelled<Fl_Button>(w, "Load"));
    Fl::check();
    EXPECT_NE(QN_message_text().find("S_severpass"), std::string::npos) << QN_message_text();
    EXPECT_EQ(QN_stored_int(4, "S_step", -1), 6000);
    EXPECT_DOUBLE_EQ(shown<Fl_Value_Input>(w, "Step per Loop")->value(), 6000);
    secrets.clear();
    collect<Fl_Secret_Input>(w, secrets);
    ASSERT_EQ(secrets.size(), 2u);
    for (Fl_Secret_Input* s : secrets) EXPECT_STRNE(s->value(), "abc");
}

TEST_F(WizardWindow, QuasistaticSubmitRunsOnTheServer) {
    std::string why;
    if (!make_files(why)) GTEST_SKIP() << "no potential: " << why;
    TestSshd sshd;
    if (!sshd.start(why)) GTEST_SKIP() << "no test server: " << why;
    use_scratch_home();

    Fl_Double_Window* w = open("Simulation/Quelm/&Quasistatic", QN_wizard::quasistatic);
    ASSERT_NE(w, nullptr);
    QN_set_bit_char(6, "S_inputa", model);
    QN_set_bit_char(6, "S_pot", potential);
    QN_set_bit_char(6, "S_script", script);
    enter(find_labelled<Fl_Value_Input>(w, " 1# Mass:"), 63.546);
    type(find_labelled<Fl_Input>(w, "Server:"), "127.0.0.1:" + std::to_string(sshd.port));
    type(find_labelled<Fl_Input>(w, "User Name:"), sshd.user);
    type(find_labelled<Fl_Input>(w, "Server Folder:"), "F");
    type(find_labelled<Fl_Input>(w, "Submit Command:"), "true");

    // Without a password the server's own question goes to the secret
    // dialog, after the new host key was shown; declined, nothing is sent.
    static std::vector<std::string> prompts;
    prompts.clear();
    QN_secret_hook = [](const std::string& prompt, std::string&) {
        prompts.push_back(prompt);
        return false;
    };
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_NE(QN_message_text().find("password"), std::string::npos) << QN_message_text();
    ASSERT_FALSE(questions.empty());
    EXPECT_NE(questions.front().find("SHA256:"), std::string::npos) << questions.front();
    EXPECT_TRUE(known_hosts_has(home + "/.ssh/known_hosts", "[127.0.0.1]:" + std::to_string(sshd.port)));
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_NE(prompts[0].find(sshd.user + "@127.0.0.1's password"), std::string::npos) << prompts[0];
    EXPECT_FALSE(fs::exists(sshd.home + "/F/R1"));

    // Typed into the dialog, the answer goes through; the key is known.
    questions.clear();
    SecretScript script;
    script.typed = sshd.password.c_str();
    script.button = "OK";
    QN_secret_hook = QN_ask_secret_dialog;
    Fl::add_timeout(0.05, answer_secret_dialog, &script);
    press(find_labelled<Fl_Button>(w, "Submit"));
    Fl::remove_timeout(answer_secret_dialog, &script);
    EXPECT_NE(QN_message_text().find("Submit complete"), std::string::npos) << QN_message_text();
    EXPECT_TRUE(questions.empty());
    EXPECT_NE(script.prompt_seen.find(sshd.user + "@127.0.0.1's password"), std::string::npos) << script.prompt_seen;
    EXPECT_TRUE(script.hidden);
    EXPECT_STREQ(find_labelled<Fl_Input>(w, "Password:")->value(), "");  // the dialog's answer is not kept
    QN_secret_hook = decline_secret;
    // The server is offered first in the Server field's list from now on.
    EXPECT_EQ(QN_server_choices().front(), "127.0.0.1:" + std::to_string(sshd.port));
    QN_ssh_shutdown();
    type(find_labelled<Fl_Input>(w, "Password:"), sshd.password);
    EXPECT_TRUE(fs::exists(sshd.home + "/F/R1/input.qld"));
    EXPECT_FALSE(fs::exists(sshd.home + "/F/R2"));
    EXPECT_EQ(QN_stored_text(6, "S_severpass", "none"), "none");

    // Again, declining to overwrite R1: no success.
    questions.clear();
    answer = answer_no;
    QN_message("");
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_EQ(QN_message_text().find("Submit complete"), std::string::npos) << QN_message_text();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("Overwrite"), std::string::npos) << questions[0];

    // The crack wizard's Download tab lists the run.
    answer = answer_yes;
    Fl_Double_Window* c = open("Simulation/Quelm/&Crack", QN_wizard::crack);
    ASSERT_NE(c, nullptr);
    std::vector<Fl_Input*> ips = all_shown<Fl_Input>(c, "Server:");
    ASSERT_EQ(ips.size(), 2u);
    type(ips[1], "127.0.0.1:" + std::to_string(sshd.port));
    EXPECT_EQ(ips[0]->value(), "127.0.0.1:" + std::to_string(sshd.port));
    type(all_shown<Fl_Input>(c, "User Name:").back(), sshd.user);
    type(all_shown<Fl_Input>(c, "Server Folder:").back(), "F");
    std::vector<Fl_Secret_Input*> secrets;
    collect<Fl_Secret_Input>(c, secrets);
    ASSERT_EQ(secrets.size(), 2u);
    type(secrets[1], sshd.password);
    press(find_labelled<Fl_Button>(c, "Request"));
    std::vector<Fl_Tree*> trees;
    collect<Fl_Tree>(c, trees);
    ASSERT_EQ(trees.size(), 1u);
    Fl_Tree_Item* item = trees[0]->find_item("R1/input.qld");
    ASSERT_NE(item, nullptr) << QN_message_text();

    // The selected file comes down into the save folder.
    const std::string save = dir.path("save");
    fs::create_directories(save);
    select(find_labelled<Fl_Button>(find_labelled<Fl_Group>(c, "Download"), "Select"), save);
    EXPECT_EQ(QN_stored_text(4, "S_savefold"), save);
    trees[0]->select(item, 0);
    questions.clear();
    press(find_labelled<Fl_Button>(c, "Download Selected"));
    EXPECT_NE(QN_message_text().find("The files have been downloaded"), std::string::npos) << QN_message_text();
    EXPECT_EQ(slurp(save + "/R1/input.qld"), slurp(sshd.home + "/F/R1/input.qld"));
    EXPECT_TRUE(questions.empty());
    press(find_labelled<Fl_Button>(c, "Download Selected"));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("Replace them?"), std::string::npos) << questions[0];

    // The standard results need the crack's renderer on the server; without
    // it the report says what failed.
    QN_message("");
    press(find_labelled<Fl_Button>(c, "Download Standard"));
    EXPECT_FALSE(QN_message_text().empty());
    EXPECT_EQ(QN_message_text().find("The files have been downloaded"), std::string::npos) << QN_message_text();
}

TEST_F(WizardWindow, CrackInterfaceSearchShowsItsRows) {
    const std::string crystal = std::string(QUELM_TEST_DATA) + "/simulation/fixtures/cu_fcc.lmp";
    if (!fs::exists(crystal)) GTEST_SKIP() << "no " << crystal;
    Fl_Double_Window* c = open("Simulation/Quelm/&Crack", QN_wizard::crack);
    ASSERT_NE(c, nullptr);
    pick(find_labelled<Fl_Choice>(c, "Input Mode"), "Tilt Interface");
    select(shown<Fl_Button>(c, "Bottom"), crystal);
    select(shown<Fl_Button>(c, "Upper"), crystal);
    EXPECT_EQ(QN_stored_text(4, "S_inputb"), crystal);
    enter(shown<Fl_Value_Input>(c, "Maximum Box"), 20);
    enter(shown<Fl_Value_Input>(c, "Lat"), 10);
    press(shown<Fl_Button>(c, "More"));
    if (SCAN_DATA && SCAN_DATA->window() && SCAN_DATA->window()->visible()) {
        ASSERT_FALSE(SCAN_DATA->data.empty());
        EXPECT_GT(SCAN_DATA->rows(), 0);
        // Ticking the first row and saving fills the interface solution.
        SCAN_DATA->data[0].selected = 1;
        QN_tiltscan_save_selected();
        EXPECT_NE(QN_stored_text(4, "S_anga", "reset"), "reset");
        SCAN_DATA->window()->hide();
    } else {
        EXPECT_NE(QN_message_text().find("No interface"), std::string::npos) << QN_message_text();
    }
}
