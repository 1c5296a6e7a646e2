// The Atomkit panel in the real window: opening it on a built crystal, the
// Method menu, region and step forms writing into the recipe, running the
// recipe and previewing a region, the list's moves and deletions, the
// selectors, saving and loading recipes, and the Model menu's commands.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Button.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Value_Input.H>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/morla_form.h"
#include "app/quelm_import.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "atomkit/atomkit.h"
#include "atomkit/atomkit_panel.h"
#include "builders/monocrystal_form.h"
#include "gui_window.h"
#include "layout_check.h"
#include "qb/qb_region.h"
#include "qb/qb_text.h"
#include "test_support.h"
#include "view/view_widget.h"

namespace {

constexpr double kLattice = 3.614910;  // the Monocrystal form's copper
constexpr int kCells = 4;
constexpr int kAtoms = 4 * kCells * kCells * kCells;

std::vector<std::string> questions;
std::vector<int> answers;  // given in turn; 1 ("Yes" of "No"/"Yes") when none is left
int scripted_answer(const char* question, const char*, const char*) {
    questions.emplace_back(question);
    if (answers.empty()) return 1;
    const int a = answers.front();
    answers.erase(answers.begin());
    return a;
}
int three_answer = 2;
std::vector<std::string> three_questions;
int scripted_three(const char* question, const char*, const char*, const char*) {
    three_questions.emplace_back(question);
    return three_answer;
}

// A value entered and committed, as the user's typing ends.
std::vector<std::string> entries(const Fl_Choice* c) {
    std::vector<std::string> out;
    for (int k = 0; c && k < c->size() - 1; k++) out.emplace_back(c->menu()[k].label() ? c->menu()[k].label() : "");
    return out;
}

std::string shown(const Fl_Choice* c) { return c && c->text() ? c->text() : ""; }

// Chooses an entry by its text, as a click would.
void choose(Fl_Widget* w, const std::string& text) {
    auto* c = dynamic_cast<Fl_Choice*>(w);
    ASSERT_NE(c, nullptr);
    const std::vector<std::string> e = entries(c);
    for (size_t k = 0; k < e.size(); k++)
        if (e[k] == text) {
            c->value(static_cast<int>(k));
            c->do_callback();
            return;
        }
    FAIL() << "no entry " << text;
}

// A command of a menu widget, by its path.
void pick_path(Fl_Menu_* menu, const char* path) {
    ASSERT_NE(menu, nullptr);
    const Fl_Menu_Item* item = menu->find_item(path);
    ASSERT_NE(item, nullptr) << path;
    menu->picked(item);
}

void pick_model(const char* label) {
    for (int k = 0; k < model_choice->size() - 1; k++)
        if (std::strcmp(model_choice->menu()[k].label(), label) == 0) {
            model_choice->picked(&model_choice->menu()[k]);
            return;
        }
    FAIL() << label;
}

std::vector<std::string> list_lines() {
    std::vector<std::string> out;
    for (int k = 1; AK_function_browser && k <= AK_function_browser->size(); k++)
        out.emplace_back(AK_function_browser->text(k));
    return out;
}

void select_line(int line) {
    AK_function_browser->value(line);
    AK_function_browser->do_callback();
}

// What the layout check finds in the Model tab (the rest of the window is
// hidden while it looks).
std::vector<std::string> tab_problems() { return layout::problems_within(main_window, model_group->parent()); }

// The buttons under g, at any depth.
void buttons_under(Fl_Group* g, std::vector<Fl_Button*>& out) {
    for (int i = 0; g && i < g->children(); i++) {
        if (auto* b = dynamic_cast<Fl_Button*>(g->child(i))) out.push_back(b);
        buttons_under(g->child(i)->as_group(), out);
    }
}

AK_item_form& region_form(int i) { return AK_region_forms.at(static_cast<size_t>(i)); }
AK_item_form& step_form(int i) { return AK_step_forms.at(static_cast<size_t>(i)); }
Fl_Widget* region_field(int i, size_t k) { return region_form(i).fields.at(k); }
Fl_Widget* step_field(int i, size_t k) { return step_form(i).fields.at(k); }

// The live positions, sorted: 1 ... L when the list is sound.
std::vector<int> positions() {
    std::vector<int> out;
    for (size_t i = 1; i < AKdata_region.size(); i++)
        if (AKdata_region[i].position >= 1) out.push_back(AKdata_region[i].position);
    for (const AK_step_item& s : AKdata_step)
        if (s.position >= 1) out.push_back(s.position);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<int> one_to(int n) {
    std::vector<int> out;
    for (int k = 1; k <= n; k++) out.push_back(k);
    return out;
}

class AtomkitPanel : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        questions.clear();
        answers.clear();
        three_questions.clear();
        QN_choice_hook = scripted_answer;
        AK_choice3_hook = scripted_three;
        // A copper crystal of 4 x 4 x 4 cells from the Monocrystal form.
        QN_model_single_crystal();
        for (Fl_Value_Input* n : QN_single_dp) enter(n, kCells);
        QN_model_single_preview();
        ASSERT_EQ(Current_Model.natoms, kAtoms);
        crystal_ = Current_Model;
        Fl::check();
    }

    void open_atomkit() {
        pick_model("Atomkit");
        Fl::check();
        ASSERT_EQ(model_choice->value(), 0);
        ASSERT_NE(AK_method_menu, nullptr);
    }

    // A sphere around the crystal's centre, and the atoms inside it counted here.
    int add_sphere(double radius) {
        pick_path(AK_method_menu, "Selection/Sphere");
        const int r = static_cast<int>(AKdata_region.size()) - 1;
        const double c = kCells * kLattice / 2;
        for (size_t k = 0; k < 3; k++) enter(region_field(r, k), c);
        enter(region_field(r, 3), radius);
        return r;
    }
    std::vector<bool> inside(double radius) const {
        const double c = kCells * kLattice / 2;
        std::vector<bool> in;
        for (const atomdata& a : crystal_.atoms) {
            const double d2 = (a.x - c) * (a.x - c) + (a.y - c) * (a.y - c) + (a.z - c) * (a.z - c);
            in.push_back(d2 < radius * radius);
        }
        return in;
    }
    static int count(const std::vector<bool>& v) { return static_cast<int>(std::count(v.begin(), v.end(), true)); }

    int add_step(const char* method) {
        pick_path(AK_method_menu, (std::string("Operation/") + method).c_str());
        return static_cast<int>(AKdata_step.size()) - 1;
    }

    QB_tools crystal_;
    ScratchDir scratch_;
};

}  // namespace

TEST_F(AtomkitPanel, SelectModelOpensThePanelOnTheBuiltCrystal) {
    open_atomkit();
    EXPECT_EQ(backup_model.natoms, kAtoms);
    EXPECT_EQ(Current_Model.natoms, kAtoms);
    std::string kind;
    ASSERT_EQ(QN_scan_char_single(0, "Model_", kind), 1);
    EXPECT_EQ(kind, "Atomkit");
    EXPECT_EQ(model_group->x(), 0);
    EXPECT_EQ(model_group->w(), 320);
    EXPECT_EQ(AK_uimode, 0);
    ASSERT_NE(AK_function_browser, nullptr);
    EXPECT_EQ(AK_function_browser->size(), 0);
    EXPECT_TRUE(AK_function_bgroup->visible());
    EXPECT_FALSE(AK_run_group->visible());
    EXPECT_STREQ(AK_function_bup->tooltip(), "Move the chosen item up the list");
    EXPECT_STREQ(AK_function_bdown->tooltip(), "Move the chosen item down the list");
    EXPECT_STREQ(AK_function_bdelete->tooltip(), "Delete the chosen item");
    EXPECT_STREQ(AK_function_brun->tooltip(), "Run the whole recipe on the base model");
    EXPECT_EQ(AK_function_bup->x(), 290);
    EXPECT_EQ(AK_function_bup->y(), model_choice->y() + 115);
    // The panel starts below "Select model:".
    EXPECT_EQ(model_group->y(), model_choice->y() + 40);

    // The Method menu: the kinds in order, with the dividers.
    std::vector<std::string> items;
    std::vector<std::string> dividers;
    const Fl_Menu_Item* m = AK_method_menu->menu();
    for (int k = 0; k < AK_method_menu->size() - 1; k++) {
        if (!m[k].label()) continue;
        items.emplace_back(m[k].label());
        if (m[k].flags & FL_MENU_DIVIDER) dividers.emplace_back(m[k].label());
    }
    const std::vector<std::string> expected = {
        "Selection",      "Cuboid",          "Cylinder",     "Cone",           "Polyhedron",     "Polyprism",
        "Slice",          "Sphere",          "Expression",   "Inbox",          "And",            "Or",
        "Complement",     "Neither",         "Not",          "Deform",         "Move",           "Periodic",
        "Rotate",         "Operation",       "Add Atom",     "Fill Atoms",     "Create Box",     "Deform",
        "Delete",         "Displace",        "Duplicate",    "Extend",         "Mirror",         "Move",
        "Remove Duplicate", "Substitute",    "Rotate",       "Sort",           "Symmetrize",     "Wrap",
        "Affine Tensile", "Affine Compress", "Affine Shear", "Alias Tensile",  "Alias Compress", "Alias Shear"};
    EXPECT_EQ(items, expected);
    EXPECT_EQ(dividers, (std::vector<std::string>{"Sphere", "Inbox", "Not", "Fill Atoms", "Wrap"}));

    // Every kind of the menu makes its item at the end of the list.
    for (int k = 0; k < AK_REGION_KINDS; k++)
        pick_path(AK_method_menu, (std::string("Selection/") + AK_region_kinds[k].method).c_str());
    for (int k = 0; k < AK_STEP_KINDS; k++)
        pick_path(AK_method_menu, (std::string("Operation/") + AK_step_kinds[k].method).c_str());
    ASSERT_EQ(list_lines().size(), static_cast<size_t>(AK_REGION_KINDS + AK_STEP_KINDS));
    EXPECT_EQ(list_lines()[0], "Selection-Cuboid1");
    EXPECT_EQ(list_lines()[AK_REGION_KINDS], "Operation-Add atom1");
    EXPECT_EQ(list_lines().back(), "Operation-Alias Shear1");
    EXPECT_EQ(positions(), one_to(AK_REGION_KINDS + AK_STEP_KINDS));
    // The last one is chosen and its full form shown, boxed, below the list.
    EXPECT_EQ(AK_browser_position, AK_REGION_KINDS + AK_STEP_KINDS);
    EXPECT_EQ(AK_function_browser->value(), AK_REGION_KINDS + AK_STEP_KINDS);
    AK_item_form& last = step_form(AK_STEP_KINDS - 1);
    EXPECT_TRUE(last.full_group->visible());
    EXPECT_EQ(last.full_group->box(), FL_UP_BOX);
    EXPECT_EQ(last.full_group->y(), model_choice->y() + 30 + 265 + 30);
    EXPECT_EQ(last.full_group->w(), 320 - 22);
    EXPECT_EQ(last.full_group->h(), 130);
    EXPECT_STREQ(last.full_group->label(), "Alias Shear");
    EXPECT_FALSE(region_form(1).full_group->visible());
    EXPECT_EQ(region_form(1).full_group->w(), 320 - 20);
    EXPECT_EQ(model_group->y() + model_group->h(), last.full_group->y() + last.full_group->h());
    // Every form writes what it shows: the recipe saves and loads back (Fill
    // Atoms once it has a file: "No File" would not read back).
    AK_add_atom_select_path(AK_FILL_ATOMS, scratch_.path("cell.lmp"));
    const std::string text = AK_save_text();
    ASSERT_EQ(AK_save_path(scratch_.path("all")), 1);
    ASSERT_EQ(AK_load_path(scratch_.path("all.txt")), 1);
    EXPECT_EQ(AK_save_text(), text);
    EXPECT_EQ(list_lines().size(), static_cast<size_t>(AK_REGION_KINDS + AK_STEP_KINDS));
}

TEST_F(AtomkitPanel, DeletingASphereRunsPreviewsAndShows) {
    open_atomkit();
    const int sphere = add_sphere(5);
    const std::vector<bool> in = inside(5);
    const int outside = kAtoms - count(in);
    ASSERT_GT(count(in), 0);
    ASSERT_GT(outside, 0);
    EXPECT_DOUBLE_EQ(QB_region_spheredata[static_cast<size_t>(sphere)].r, 5);
    const int del = add_step("Delete");
    AK_item_form& f = step_form(del);
    EXPECT_EQ(entries(f.region_choice), (std::vector<std::string>{"ALL", "Sphere1"}));
    // A new Delete works on the region just added.
    EXPECT_EQ(shown(f.region_choice), "Sphere1");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(del)].region, sphere);
    choose(f.region_choice, "ALL");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(del)].region, 0);
    choose(f.region_choice, "Sphere1");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(del)].region, sphere);
    EXPECT_EQ(shown(f.region_choice), "Sphere1");

    press(AK_function_brun);  // the list's "@>": the whole recipe
    EXPECT_EQ(Current_Model.natoms, outside);
    EXPECT_EQ(cube->atoms_drawn(), outside);
    EXPECT_EQ(QN_message_text(), "Operation Complete\n" + QN_new_model_text(&Current_Model));
    EXPECT_NE(QN_message_text().find(QB_format("New model detected with %d atoms", outside)), std::string::npos);
    const double c = kCells * kLattice / 2;
    for (const atomdata& a : Current_Model.atoms)
        EXPECT_GE((a.x - c) * (a.x - c) + (a.y - c) * (a.y - c) + (a.z - c) * (a.z - c), 25.0);
    // Again: every run starts from the base model.
    press(AK_function_brun);
    EXPECT_EQ(Current_Model.natoms, outside);
    EXPECT_EQ(backup_model.natoms, kAtoms);

    // "Reset Operation" puts the base model back; the sphere's "@>" marks its atoms.
    AK_step_run_reset();
    EXPECT_EQ(Current_Model.natoms, kAtoms);
    EXPECT_EQ(cube->atoms_drawn(), kAtoms);
    press(region_form(sphere).run[0]);
    const int slot = QB_slot_get(&Current_Model, "Select");
    ASSERT_GT(slot, 4);
    ASSERT_EQ(Current_Model.natoms, kAtoms);
    for (int i = 0; i < kAtoms; i++)
        EXPECT_EQ(QB_slot_data(&Current_Model, slot, i), in[static_cast<size_t>(i)] ? 1 : 0) << i;

    // On an empty current model the preview works on the base model.
    QN_window_reset();
    ASSERT_EQ(Current_Model.natoms, 0);
    press(region_form(sphere).run[0]);
    ASSERT_EQ(Current_Model.natoms, kAtoms);
    const int again = QB_slot_get(&Current_Model, "Select");
    ASSERT_GT(again, 4);
    int selected = 0;
    for (int i = 0; i < kAtoms; i++) selected += QB_slot_data(&Current_Model, again, i) == 1;
    EXPECT_EQ(selected, count(in));
}

TEST_F(AtomkitPanel, AFailedStepIsReported) {
    open_atomkit();
    const int rotate = add_step("Rotate");
    for (size_t k = 3; k < 6; k++) enter(step_field(rotate, k), 0);  // no axis
    EXPECT_EQ(AKdata_step[static_cast<size_t>(rotate)].rotate.dz, 0);
    AK_step_run_all();
    const std::string message = QN_message_text();
    EXPECT_EQ(message.rfind("Operation failed\nstep 1 Rotate1: ", 0), 0u) << message;
    EXPECT_NE(message.find("\nNew model detected with 256 atoms"), std::string::npos) << message;
}

TEST_F(AtomkitPanel, RunsUpToAStepAndSkipsInactiveSteps) {
    open_atomkit();
    for (int axis = 0; axis < 3; axis++) {
        const int s = add_step("Duplicate");
        enter(step_field(s, static_cast<size_t>(axis)), 2.7);  // the integer part counts
        EXPECT_EQ(static_cast<Fl_Value_Input*>(step_field(s, static_cast<size_t>(axis)))->value(), 2);
    }
    EXPECT_EQ(AKdata_step[1].duplicate.ny, 2);
    press(step_form(1).run[0]);  // "@>" of the second of three steps
    EXPECT_EQ(Current_Model.natoms, 4 * kAtoms);
    press(step_form(2).run[0]);
    EXPECT_EQ(Current_Model.natoms, 8 * kAtoms);

    select_line(3);
    EXPECT_EQ(AK_browser_position, 3);
    AK_function_browser_active();
    EXPECT_EQ(list_lines(),
              (std::vector<std::string>{"Operation-Duplicate1", "Operation-Duplicate2", "Inactivate-Duplicate3"}));
    AK_step_run_all();
    EXPECT_EQ(Current_Model.natoms, 4 * kAtoms);
    press(step_form(2).run[0]);
    EXPECT_EQ(Current_Model.natoms, 4 * kAtoms);
    // Saved like the others, and active again once loaded.
    ASSERT_EQ(AK_save_path(scratch_.path("steps.txt")), 1);
    const std::string text = slurp(scratch_.path("steps.txt"));
    EXPECT_EQ(text, "#Quelm_atomkit_save\n#step_duplicate 2 1 1\n#step_duplicate 1 2 1\n#step_duplicate 1 1 2\n#END\n");
    ASSERT_EQ(AK_load_path(scratch_.path("steps.txt")), 1);
    EXPECT_EQ(list_lines(),
              (std::vector<std::string>{"Operation-Duplicate1", "Operation-Duplicate2", "Operation-Duplicate3"}));
}

TEST_F(AtomkitPanel, MovingAndDeletingKeepThePositionsAndTheBindings) {
    open_atomkit();
    const int sphere = add_sphere(5);
    const int del = add_step("Delete");
    choose(step_form(del).region_choice, "Sphere1");
    pick_path(AK_method_menu, "Selection/Cuboid");
    EXPECT_EQ(list_lines(),
              (std::vector<std::string>{"Selection-Sphere1", "Operation-Delete1", "Selection-Cuboid1"}));

    // The first item up and the last down change nothing.
    select_line(1);
    AK_function_browser_up();
    select_line(3);
    AK_function_browser_down();
    EXPECT_EQ(list_lines()[0], "Selection-Sphere1");
    EXPECT_EQ(positions(), one_to(3));

    // The sphere moves behind the step that uses it: the step keeps it, and says so.
    select_line(1);
    press(AK_function_bdown);
    EXPECT_EQ(list_lines(),
              (std::vector<std::string>{"Operation-Delete1", "Selection-Sphere1", "Selection-Cuboid1"}));
    EXPECT_EQ(AK_browser_position, 2);
    EXPECT_EQ(AK_function_browser->value(), 2);
    EXPECT_EQ(positions(), one_to(3));
    EXPECT_EQ(AKdata_step[static_cast<size_t>(del)].region, sphere);
    EXPECT_EQ(entries(step_form(del).region_choice), (std::vector<std::string>{"ALL", "Sphere1"}));
    EXPECT_EQ(shown(step_form(del).region_choice), "Sphere1");
    // The form's own buttons move it too.
    press(region_form(sphere).up[0]);
    EXPECT_EQ(AKdata_region[static_cast<size_t>(sphere)].position, 1);
    EXPECT_EQ(AK_browser_position, 1);

    // Deleting the sphere: the rest close up, the step works on "ALL" and shows it.
    select_line(1);
    press(AK_function_bdelete);
    EXPECT_EQ(list_lines(), (std::vector<std::string>{"Operation-Delete1", "Selection-Cuboid1"}));
    EXPECT_EQ(positions(), one_to(2));
    EXPECT_EQ(AK_browser_position, 0);
    EXPECT_EQ(AK_function_browser->value(), 0);
    EXPECT_EQ(AKdata_region[static_cast<size_t>(sphere)].position, AK_DELETED);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(del)].region, 0);
    EXPECT_EQ(shown(step_form(del).region_choice), "ALL");
    EXPECT_EQ(entries(step_form(del).region_choice), (std::vector<std::string>{"ALL"}));
    EXPECT_FALSE(region_form(sphere).full_group->visible());
    // The step's own delete button.
    press(step_form(del).remove[0]);
    EXPECT_EQ(list_lines(), (std::vector<std::string>{"Selection-Cuboid1"}));
    EXPECT_EQ(positions(), one_to(1));
}

TEST_F(AtomkitPanel, DerivedRegionsNeverOfferThemselvesOrACycle) {
    open_atomkit();
    add_sphere(5);
    pick_path(AK_method_menu, "Selection/Cuboid");
    pick_path(AK_method_menu, "Selection/And");
    const int conj = static_cast<int>(AKdata_region.size()) - 1;
    Fl_Choice* a = static_cast<Fl_Choice*>(region_field(conj, 0));
    Fl_Choice* b = static_cast<Fl_Choice*>(region_field(conj, 1));
    EXPECT_EQ(entries(a), (std::vector<std::string>{"ALL", "Sphere1", "Cuboid1"}));
    choose(a, "Sphere1");
    choose(b, "Cuboid1");
    EXPECT_EQ(AK_region_operands(conj), (std::vector<int>{1, 2}));
    EXPECT_EQ(shown(b), "Cuboid1");

    // A Not on the And, moved above it: the And cannot take it (a cycle),
    // and the Not still shows the And it stands on.
    pick_path(AK_method_menu, "Selection/Not");
    const int neg = static_cast<int>(AKdata_region.size()) - 1;
    Fl_Choice* n = static_cast<Fl_Choice*>(region_field(neg, 0));
    EXPECT_EQ(entries(n), (std::vector<std::string>{"ALL", "Sphere1", "Cuboid1", "And1"}));
    choose(n, "And1");
    press(region_form(neg).up[0]);
    EXPECT_EQ(AKdata_region[static_cast<size_t>(neg)].position, 3);
    EXPECT_EQ(entries(a), (std::vector<std::string>{"ALL", "Sphere1", "Cuboid1"}));
    EXPECT_EQ(entries(n), (std::vector<std::string>{"ALL", "Sphere1", "Cuboid1", "And1"}));
    EXPECT_EQ(shown(n), "And1");
    EXPECT_EQ(AK_region_operands(neg), (std::vector<int>{conj}));
    // Deleting the Cuboid rebinds the And's second operand to "ALL".
    press(region_form(2).remove[0]);
    EXPECT_EQ(shown(b), "ALL");
    EXPECT_EQ(AK_region_operands(conj), (std::vector<int>{1, 0}));
}

TEST_F(AtomkitPanel, SaveAndLoadThroughThePanel) {
    open_atomkit();
    add_sphere(5);
    const int del = add_step("Delete");
    choose(step_form(del).region_choice, "Sphere1");
    EXPECT_EQ(AK_save_name("a"), "a.txt");
    EXPECT_EQ(AK_save_name("x.txt"), "x.txt");
    EXPECT_EQ(AK_save_name(".txt"), ".txt.txt");

    ASSERT_EQ(AK_save_path(scratch_.path("recipe")), 1);
    EXPECT_EQ(QN_message_text(), "Save Complete");
    const std::string text = slurp(scratch_.path("recipe.txt"));
    EXPECT_EQ(text, AK_save_text());
    EXPECT_NE(text.find("#step_delete Sphere1\n"), std::string::npos);
    const std::vector<std::string> lines = list_lines();

    pick_path(AK_method_menu, "Operation/Wrap");
    ASSERT_EQ(AK_load_path(scratch_.path("recipe.txt")), 1);
    EXPECT_EQ(list_lines(), lines);
    EXPECT_EQ(AK_save_text(), text);
    ASSERT_EQ(AKdata_step.size(), 1u);
    EXPECT_EQ(shown(step_form(0).region_choice), "Sphere1");
    EXPECT_EQ(static_cast<Fl_Value_Input*>(region_field(1, 3))->value(), 5);
    EXPECT_EQ(AK_browser_position, 0);
    EXPECT_EQ(AK_uimode, 0);
    EXPECT_EQ(backup_model.natoms, kAtoms);  // loading keeps the base model
    AK_step_run_all();
    EXPECT_EQ(Current_Model.natoms, kAtoms - count(inside(5)));

    // A damaged file says where, and the panel keeps its recipe and forms.
    Fl_Group* form = step_form(0).full_group;
    std::string damaged = text;
    damaged.replace(damaged.find("#step_delete Sphere1"), 20, "#step_delete Sphere1 7");
    std::ofstream(scratch_.path("damaged.txt")) << damaged;
    EXPECT_EQ(AK_load_path(scratch_.path("damaged.txt")), -1);
    EXPECT_EQ(QN_message_text().rfind(scratch_.path("damaged.txt") + ":3: ", 0), 0u) << QN_message_text();
    EXPECT_EQ(list_lines(), lines);
    EXPECT_EQ(step_form(0).full_group, form);
    EXPECT_EQ(AK_save_text(), text);
    std::ofstream(scratch_.path("other.txt")) << "#not_a_recipe\n#END\n";
    EXPECT_EQ(AK_load_path(scratch_.path("other.txt")), -2);
    EXPECT_EQ(QN_message_text(), "Not a atomkit save file!");
    EXPECT_EQ(list_lines(), lines);
    EXPECT_LT(AK_load_path(scratch_.path("missing.txt")), 0);
    EXPECT_EQ(list_lines(), lines);

    // A name that would not read back is refused, and so is a folder that is not there.
    const int fill = add_step("Fill Atoms");
    AK_add_atom_select_path(fill, scratch_.path("with blank.lmp"));
    EXPECT_STREQ(static_cast<Fl_Output*>(step_field(fill, 0))->value(), scratch_.path("with blank.lmp").c_str());
    EXPECT_EQ(AK_save_path(scratch_.path("refused")), -2);
    EXPECT_EQ(QN_message_text().rfind("Cannot save the recipe", 0), 0u) << QN_message_text();
    AK_add_atom_select_path(fill, scratch_.path("cell.lmp"));
    EXPECT_EQ(AK_save_path(scratch_.path("no/such/folder/x")), -1);
    EXPECT_NE(QN_message_text(), "Save Complete");
}

TEST_F(AtomkitPanel, ALoadedStepMayNameARegionFurtherDown) {
    open_atomkit();
    const double c = kCells * kLattice / 2;
    std::ofstream(scratch_.path("forward.txt"))
        << "#Quelm_atomkit_save\n#step_delete Ball\n"
        << QB_format("#region_sphere Ball %lf %lf %lf 5.000000\n", c, c, c) << "#END\n";
    ASSERT_EQ(AK_load_path(scratch_.path("forward.txt")), 1);
    EXPECT_EQ(list_lines(), (std::vector<std::string>{"Operation-Delete1", "Selection-Ball"}));
    EXPECT_EQ(entries(step_form(0).region_choice), (std::vector<std::string>{"ALL", "Ball"}));
    EXPECT_EQ(shown(step_form(0).region_choice), "Ball");
    AK_step_run_all();
    EXPECT_EQ(Current_Model.natoms, kAtoms - count(inside(5)));
}

TEST_F(AtomkitPanel, TheModelMenuAsksBeforeSwitching) {
    ASSERT_EQ(model_choice->value(), 1);  // the Monocrystal form
    answers = {0};                        // "No"
    pick_path(menu_bar, "Model/Atomkit/Operation/Delete");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "Atomkit is not active.\nWould you like to switch to it now?");
    EXPECT_EQ(model_choice->value(), 1);
    EXPECT_EQ(find_labelled<Fl_Button>(model_group, "Run Operation"), nullptr);
    EXPECT_NE(QN_single_structure_choice, nullptr);

    answers = {1};  // "Yes"
    pick_path(menu_bar, "Model/Atomkit/Operation/Delete");
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(model_choice->value(), 0);
    EXPECT_EQ(list_lines(), (std::vector<std::string>{"Operation-Delete1"}));
    EXPECT_EQ(backup_model.natoms, kAtoms);
    // While Atomkit is shown the commands just add.
    pick_path(menu_bar, "Model/Atomkit/Selection/Sphere");
    pick_path(menu_bar, "Model/Atomkit/Operation/Replace");
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(list_lines(),
              (std::vector<std::string>{"Operation-Delete1", "Selection-Sphere1", "Operation-Substitute1"}));
    // The "Atomkit" entry itself (Ctrl+A) opens it afresh.
    pick_path(menu_bar, "Model/Atomkit");
    EXPECT_TRUE(list_lines().empty());
    // Another form takes the Model tab: the panel is gone.
    pick_model("Monocrystal");
    EXPECT_EQ(AK_function_browser, nullptr);
    EXPECT_TRUE(AK_step_forms.empty());
}

TEST_F(AtomkitPanel, FieldsWriteTheirRules) {
    open_atomkit();
    // Mirror's distance and Rotate's angle keep what is typed.
    const int mirror = add_step("Mirror");
    enter(step_field(mirror, 3), 2.7);
    EXPECT_DOUBLE_EQ(AKdata_step[static_cast<size_t>(mirror)].rotate.angle, 2.7);
    const int rotate = add_step("Rotate");
    enter(step_field(rotate, 6), 2.7);
    EXPECT_DOUBLE_EQ(AKdata_step[static_cast<size_t>(rotate)].rotate.angle, 2.7);

    // Alias Shear's planes say which cell vectors stay in them.
    const int alias = add_step("Alias Shear");
    EXPECT_EQ(entries(static_cast<Fl_Choice*>(step_field(alias, 0))), (std::vector<std::string>{"ab", "ac", "bc"}));
    choose(step_field(alias, 0), "ac");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(alias)].alias.direction, 1);
    enter(step_field(alias, 3), -1.5);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(alias)].alias.d2, -1.5);

    // Affine Tensile and Compress: the diagonal element of the direction.
    const int tensile = add_step("Affine Tensile");
    const auto& m = AKdata_step[static_cast<size_t>(tensile)].deform.m;
    enter(step_field(tensile, 1), 0.1);
    EXPECT_DOUBLE_EQ(m[0][0], 1.1);
    choose(step_field(tensile, 0), "Y");
    EXPECT_DOUBLE_EQ(m[0][0], 1);
    EXPECT_DOUBLE_EQ(m[1][1], 1.1);
    EXPECT_NEAR(static_cast<Fl_Value_Input*>(step_field(tensile, 1))->value(), 0.1, 1e-12);
    const int compress = add_step("Affine Compress");
    enter(step_field(compress, 1), 0.1);
    EXPECT_DOUBLE_EQ(AKdata_step[static_cast<size_t>(compress)].deform.m[0][0], 0.9);

    // Affine Shear: Pure sets a pair, Simple one element, switching maps the axes.
    const int shear = add_step("Affine Shear");
    auto& d = AKdata_step[static_cast<size_t>(shear)].deform;
    auto off = [&d] {
        std::vector<double> v;
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++)
                if (r != c) v.push_back(d.m[r][c]);
        return v;  // m01 m02 m10 m12 m20 m21
    };
    Fl_Choice* direction = static_cast<Fl_Choice*>(step_field(shear, 1));
    EXPECT_EQ(entries(direction).size(), 6u);
    choose(step_field(shear, 0), "Pure");
    EXPECT_EQ(entries(direction), (std::vector<std::string>{"XY", "XZ", "YZ"}));
    enter(step_field(shear, 2), 0.05);
    EXPECT_EQ(off(), (std::vector<double>{0.05, 0, 0.05, 0, 0, 0}));
    choose(step_field(shear, 0), "Simple");
    EXPECT_EQ(off(), (std::vector<double>{0.05, 0, 0, 0, 0, 0}));
    choose(direction, "ZY");
    EXPECT_EQ(off(), (std::vector<double>{0, 0, 0, 0, 0, 0.05}));
    choose(step_field(shear, 0), "Pure");
    EXPECT_EQ(shown(direction), "YZ");
    EXPECT_EQ(off(), (std::vector<double>{0, 0, 0, 0.05, 0, 0.05}));
    EXPECT_EQ(d.shear_mode, 1);
    EXPECT_EQ(d.direction, 2);

    // Displace's direction counts in "Random Distance" only.
    const int displace = add_step("Displace");
    EXPECT_FALSE(step_field(displace, 3)->active());
    choose(step_field(displace, 0), "Random Distance");
    for (size_t k = 3; k < 6; k++) EXPECT_TRUE(step_field(displace, k)->active());
    choose(step_field(displace, 0), "Random All");
    EXPECT_FALSE(step_field(displace, 5)->active());
    enter(step_field(displace, 2), 5.9);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(displace)].disterb.seed, 5);

    // Move names the vector along the cell in box units.
    const int move = add_step("Move");
    EXPECT_STREQ(step_field(move, 0)->label(), "Direction x");
    choose(step_field(move, 4), "Box");
    EXPECT_STREQ(step_field(move, 0)->label(), "Direction a");
    EXPECT_STREQ(step_field(move, 2)->label(), "c");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(move)].move.unit, 1);

    // Types below 1 become 1.
    const int substitute = add_step("Substitute");
    enter(step_field(substitute, 0), 0);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(substitute)].changetype.type, 1);
    EXPECT_EQ(static_cast<Fl_Value_Input*>(step_field(substitute, 0))->value(), 1);
    const int add = add_step("Add Atom");
    enter(step_field(add, 0), -2);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(add)].add.mode, 1);

    // Extend: a reach above 10 is asked about.
    const int extend = add_step("Extend");
    EXPECT_EQ(entries(static_cast<Fl_Choice*>(step_field(extend, 0))), (std::vector<std::string>{"ALL"}));
    enter(step_field(extend, 1), -3);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(extend)].changetype.type, 1);
    enter(step_field(extend, 2), 8);
    EXPECT_TRUE(questions.empty());
    answers = {1, 1, 0};  // "No", "No", "Yes"
    enter(step_field(extend, 2), 20);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "Operation will be slow with high input.\nWould you like to continue?");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(extend)].changetype.rate, 10);
    EXPECT_EQ(static_cast<Fl_Value_Input*>(step_field(extend, 2))->value(), 10);
    enter(step_field(extend, 2), -20);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(extend)].changetype.rate, -10);
    enter(step_field(extend, 2), 20);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(extend)].changetype.rate, 20);

    // Sort lists the base model's columns.
    const int sort = add_step("Sort");
    Fl_Choice* slot = static_cast<Fl_Choice*>(step_field(sort, 1));
    EXPECT_EQ(entries(slot), (std::vector<std::string>{"id", "type", "x", "y", "z"}));
    EXPECT_EQ(shown(slot), "x");
    choose(slot, "type");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(sort)].sort.slot, "type");

    // Regions: a prism has 3 edges at least; the Expression's column.
    pick_path(AK_method_menu, "Selection/Polyprism");
    const int prism = static_cast<int>(AKdata_region.size()) - 1;
    enter(region_field(prism, 6), 2);
    EXPECT_EQ(QB_region_prismdata[static_cast<size_t>(prism)].sides, 3);
    EXPECT_EQ(static_cast<Fl_Value_Input*>(region_field(prism, 6))->value(), 3);
    pick_path(AK_method_menu, "Selection/Expression");
    const int expression = static_cast<int>(AKdata_region.size()) - 1;
    EXPECT_EQ(shown(static_cast<Fl_Choice*>(region_field(expression, 0))), "x");
    choose(region_field(expression, 0), "type");
    EXPECT_EQ(QB_region_expressiondata[static_cast<size_t>(expression)].name, "type");
    pick_path(AK_method_menu, "Selection/Rotate");
    const int turned = static_cast<int>(AKdata_region.size()) - 1;
    enter(region_field(turned, 7), 90);
    EXPECT_NEAR(QB_region_rotatedata[static_cast<size_t>(turned)].cos_angle, 0, 1e-15);
    EXPECT_DOUBLE_EQ(QB_region_rotatedata[static_cast<size_t>(turned)].sin_angle, 1);
    EXPECT_DOUBLE_EQ(static_cast<Fl_Value_Input*>(region_field(turned, 7))->value(), 90);
}

TEST_F(AtomkitPanel, ThePolyhedronFormFollowsItsModeAndSurfaces) {
    open_atomkit();
    pick_path(AK_method_menu, "Selection/Polyhedron");
    const int poly = static_cast<int>(AKdata_region.size()) - 1;
    AK_item_form& f = region_form(poly);
    EXPECT_EQ(f.full_group->h(), 250);
    EXPECT_TRUE(region_field(poly, 4)->visible());  // "Surface"
    EXPECT_FALSE(region_field(poly, 8)->visible());  // normal 2
    choose(region_field(poly, 4), "2");
    EXPECT_EQ(QB_region_polyhedrondata[static_cast<size_t>(poly)].surfaces, 1);
    EXPECT_EQ(f.full_group->h(), 330);
    EXPECT_TRUE(region_field(poly, 8)->visible());
    EXPECT_TRUE(region_field(poly, 15)->visible());  // radius 2
    EXPECT_EQ(region_field(poly, 15)->y() - f.full_group->y(), 290);
    EXPECT_FALSE(region_field(poly, 16)->visible());
    choose(region_field(poly, 0), "Octahedron");
    EXPECT_EQ(QB_region_polyhedrondata[static_cast<size_t>(poly)].kind, 4);
    EXPECT_EQ(f.full_group->h(), 210);
    EXPECT_FALSE(region_field(poly, 4)->visible());
    EXPECT_FALSE(region_field(poly, 8)->visible());
    EXPECT_EQ(region_field(poly, 14)->y() - f.full_group->y(), 170);
    // The panel follows the form's height.
    EXPECT_EQ(model_group->y() + model_group->h(), f.full_group->y() + 210);
}

TEST_F(AtomkitPanel, StackedModeAndCollapsedForms) {
    open_atomkit();
    const int sphere = add_sphere(5);
    const int del = add_step("Delete");
    choose(step_form(del).region_choice, "Sphere1");
    Fl_Button* mode = find_labelled<Fl_Button>(model_group, "M");
    ASSERT_NE(mode, nullptr);
    press(mode);
    EXPECT_EQ(AK_uimode, 1);
    EXPECT_EQ(AK_browser_position, 0);
    EXPECT_FALSE(AK_function_bgroup->visible());
    EXPECT_TRUE(AK_run_group->visible());
    const int Y = model_choice->y();
    Fl_Group* region = region_form(sphere).full_group;
    Fl_Group* step = step_form(del).full_group;
    EXPECT_TRUE(region->visible());
    EXPECT_TRUE(step->visible());
    EXPECT_EQ(region->box(), FL_SHADOW_BOX);
    EXPECT_EQ(step->box(), FL_RSHADOW_BOX);
    EXPECT_EQ(region->y(), Y + 30 + 80 + 30);
    EXPECT_EQ(step->y(), region->y() + 130 + 30);
    EXPECT_EQ(AK_run_group->y(), step->y() + 50);
    EXPECT_EQ(AK_run_group->h(), 50);
    EXPECT_EQ(model_group->y() + model_group->h(), AK_run_group->y() + AK_run_group->h());

    // "-" folds the step to its name, "+" unfolds it.
    press(step_form(del).hide);
    Fl_Group* folded = step_form(del).collapsed_group;
    EXPECT_FALSE(step->visible());
    EXPECT_TRUE(folded->visible());
    EXPECT_EQ(folded->y(), region->y() + 130 + 10);
    EXPECT_EQ(folded->h(), 50);
    EXPECT_STREQ(step_form(del).collapsed_name->value(), "Delete1");
    EXPECT_EQ(AK_run_group->y(), folded->y() + 50);
    press(step_form(del).show);
    EXPECT_TRUE(step->visible());
    EXPECT_FALSE(folded->visible());

    // "Run Operation" runs it all.
    press(find_labelled<Fl_Button>(AK_run_group, "Run Operation"));
    EXPECT_EQ(Current_Model.natoms, kAtoms - count(inside(5)));

    press(mode);
    EXPECT_EQ(AK_uimode, 0);
    EXPECT_FALSE(step->visible());
    EXPECT_FALSE(region->visible());
    EXPECT_TRUE(AK_function_bgroup->visible());
    EXPECT_EQ(list_lines().size(), 2u);
}

TEST_F(AtomkitPanel, ResetFunctionAsksWhatBecomesTheBaseModel) {
    open_atomkit();
    const int outside = kAtoms - count(inside(5));
    auto build_and_run = [&] {
        add_sphere(5);
        choose(step_form(add_step("Delete")).region_choice, "Sphere1");
        AK_step_run_all();
        ASSERT_EQ(Current_Model.natoms, outside);
    };
    build_and_run();
    three_answer = 2;  // "Cancel"
    AK_restart();
    ASSERT_EQ(three_questions.size(), 1u);
    EXPECT_EQ(three_questions[0], "The current model has been modified.\nWould you like to overwrite it?");
    EXPECT_EQ(list_lines().size(), 2u);
    EXPECT_EQ(Current_Model.natoms, outside);

    three_answer = 0;  // "No": the base model comes back, the recipe is emptied
    AK_restart();
    EXPECT_TRUE(list_lines().empty());
    EXPECT_EQ(Current_Model.natoms, kAtoms);
    EXPECT_EQ(cube->atoms_drawn(), kAtoms);
    EXPECT_EQ(backup_model.natoms, kAtoms);

    build_and_run();
    three_answer = 1;  // "Yes": the modified model becomes the base model
    AK_restart();
    EXPECT_TRUE(list_lines().empty());
    EXPECT_EQ(Current_Model.natoms, outside);
    EXPECT_EQ(backup_model.natoms, outside);
    AK_step_run_all();
    EXPECT_EQ(Current_Model.natoms, outside);
}

TEST_F(AtomkitPanel, AnImportRenewsTheBaseModel) {
    open_atomkit();
    const int sort = add_step("Sort");
    ASSERT_EQ(QN_import_path(std::string(QUELM_TEST_DATA) + "/qb/fixtures/formats/lammps_fcc.dump"), 1);
    EXPECT_EQ(model_choice->value(), 0);
    EXPECT_EQ(backup_model.natoms, Current_Model.natoms);
    ASSERT_GT(backup_model.natoms, 0);
    EXPECT_NE(backup_model.natoms, kAtoms);
    // The recipe stays and its column choices list the new model's columns.
    EXPECT_EQ(list_lines(), (std::vector<std::string>{"Operation-Sort1"}));
    std::vector<std::string> columns;
    for (int k = 0; k < QB_slot_sum(&backup_model); k++) {
        std::string name;
        QB_slot_name(&backup_model, k, name);
        columns.push_back(name);
    }
    EXPECT_EQ(entries(static_cast<Fl_Choice*>(step_field(sort, 1))), columns);
    AK_step_run_all();
    EXPECT_EQ(Current_Model.natoms, backup_model.natoms);
}

TEST_F(AtomkitPanel, EveryFormFitsTheTabAtBothWindowSizes) {
    open_atomkit();
    for (const auto& size : {std::pair<int, int>{1280, 720}, std::pair<int, int>{1600, 1000}}) {
        main_window->resize(0, 0, size.first, size.second);
        Fl::check();
        const std::string at = std::to_string(size.first) + "x" + std::to_string(size.second) + " ";
        AtomKit_main();
        EXPECT_EQ(layout::joined(tab_problems()), "") << at << "empty list";
        // Each kind alone, in the list (its form below it), stacked, and folded.
        auto check = [&](const std::string& what, bool step) {
            EXPECT_EQ(layout::joined(tab_problems()), "") << at << what << " in the list";
            AK_UI_mode();
            EXPECT_EQ(layout::joined(tab_problems()), "") << at << what << " stacked";
            AK_item_form& f = step ? step_form(0) : region_form(1);
            press(f.hide);
            EXPECT_TRUE(f.collapsed_group->visible());
            EXPECT_EQ(layout::joined(tab_problems()), "") << at << what << " folded";
        };
        for (int k = 0; k < AK_REGION_KINDS; k++) {
            AtomKit_main();
            pick_path(AK_method_menu, (std::string("Selection/") + AK_region_kinds[k].method).c_str());
            if (k == AK_POLYHEDRON) choose(region_field(1, 4), "3");  // its tallest form
            check(AK_region_kinds[k].method, false);
        }
        for (int k = 0; k < AK_STEP_KINDS; k++) {
            AtomKit_main();
            pick_path(AK_method_menu, (std::string("Operation/") + AK_step_kinds[k].method).c_str());
            check(AK_step_kinds[k].method, true);
        }
        // The default names of derived regions show whole in the choices.
        AtomKit_main();
        for (const char* kind : {"Polyhedron", "Complement", "Expression", "Neither"})
            pick_path(AK_method_menu, (std::string("Selection/") + kind).c_str());
        add_step("Delete");
        EXPECT_EQ(layout::joined(tab_problems()), "") << at << "derived regions";
        AK_UI_mode();
        EXPECT_EQ(layout::joined(tab_problems()), "") << at << "derived regions stacked";
    }
}

TEST_F(AtomkitPanel, EveryButtonSaysWhatItDoes) {
    open_atomkit();
    add_sphere(5);
    add_step("Delete");
    Fl_Button* mode = find_labelled<Fl_Button>(model_group, "M");
    ASSERT_NE(mode, nullptr);
    ASSERT_NE(mode->tooltip(), nullptr);
    EXPECT_NE(std::string(mode->tooltip()).find("layout"), std::string::npos) << mode->tooltip();
    ASSERT_NE(AK_method_menu->tooltip(), nullptr);
    for (AK_item_form* f : {&region_form(1), &step_form(0)}) {
        const char* what = f == &region_form(1) ? "region" : "step";
        for (int k = 0; k < 2; k++) {
            for (Fl_Button* b : {f->up[k], f->down[k], f->remove[k], f->run[k]}) {
                ASSERT_NE(b, nullptr);
                ASSERT_NE(b->tooltip(), nullptr) << what << " " << b->label();
                EXPECT_GT(std::strlen(b->tooltip()), 10u) << b->tooltip();
            }
            EXPECT_NE(std::string(f->remove[k]->tooltip()).find(what), std::string::npos) << f->remove[k]->tooltip();
        }
        ASSERT_NE(f->hide->tooltip(), nullptr);
        ASSERT_NE(f->show->tooltip(), nullptr);
        EXPECT_STRNE(f->hide->tooltip(), f->show->tooltip());
    }
    EXPECT_STREQ(step_form(0).run[0]->tooltip(), "Run the recipe up to this step");
    EXPECT_NE(std::string(region_form(1).run[0]->tooltip()).find("Preview"), std::string::npos);

    // Every button of the panel has a tooltip or a label of words, and the
    // recipe has one pair of file buttons, the same in both layouts.
    for (int layout_mode = 0; layout_mode < 2; layout_mode++) {
        std::vector<Fl_Button*> all;
        buttons_under(model_group, all);
        int loads = 0, saves = 0;
        for (Fl_Button* b : all) {
            if (!b->visible_r()) continue;
            const std::string label = b->label() ? b->label() : "";
            if (label.empty() || label[0] == '@' || label.size() < 3) {
                EXPECT_NE(b->tooltip(), nullptr) << "the button \"" << label << "\" has no tooltip";
            }
            for (const char* vague : {"Save", "Load", "Read File", "Save File"}) EXPECT_NE(label, vague);
            loads += label == "Load Recipe";
            saves += label == "Save Recipe";
        }
        EXPECT_EQ(loads, 1) << layout_mode;
        EXPECT_EQ(saves, 1) << layout_mode;
        AK_UI_mode();
    }
}

TEST_F(AtomkitPanel, ANewDeleteTargetsTheRegionAddedLast) {
    open_atomkit();
    const int sphere = add_sphere(5);
    pick_path(AK_method_menu, "Selection/Cuboid");
    const int cuboid = static_cast<int>(AKdata_region.size()) - 1;
    const int first = add_step("Delete");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(first)].region, cuboid);
    EXPECT_EQ(shown(step_form(first).region_choice), "Cuboid1");
    // Other steps keep working on all atoms.
    const int rotate = add_step("Rotate");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(rotate)].region, 0);
    EXPECT_EQ(shown(step_form(rotate).region_choice), "ALL");
    // The sphere moved last in the list is still not the region added last.
    select_line(1);
    press(AK_function_bdown);
    press(AK_function_bdown);
    press(AK_function_bdown);
    ASSERT_EQ(list_lines().back(), "Selection-Sphere1");
    const int second = add_step("Delete");
    EXPECT_EQ(shown(step_form(second).region_choice), "Cuboid1");
    // Once the cuboid is gone, the sphere is the one added last; the Model
    // menu's Delete does the same.
    press(region_form(cuboid).remove[0]);
    pick_path(menu_bar, "Model/Atomkit/Operation/Delete");
    const int third = static_cast<int>(AKdata_step.size()) - 1;
    EXPECT_EQ(AKdata_step[static_cast<size_t>(third)].region, sphere);
    EXPECT_EQ(shown(step_form(third).region_choice), "Sphere1");
    // Run as it stands, the new step deletes the sphere's atoms.
    AtomKit_main();
    add_sphere(5);
    add_step("Delete");
    AK_step_run_all();
    EXPECT_EQ(Current_Model.natoms, kAtoms - count(inside(5)));
}

// The analysis switched on before a run re-colours the new model and its
// summary follows Atomkit's in the message area, as after any other run.
TEST_F(AtomkitPanel, TheAnalysisThatRecoloursARunReportsItsSummary) {
    QN_switch_analy_cna();
    auto* active = static_cast<Fl_Button*>(analysis_cna->child(0));  // "Active"
    active->value(1);
    active->do_callback();
    open_atomkit();
    add_sphere(5);
    add_step("Delete");
    press(AK_function_brun);
    const int left = kAtoms - count(inside(5));
    ASSERT_EQ(Current_Model.natoms, left);
    const std::string text = QN_message_text();
    const std::string head = "Operation Complete\n" + QN_new_model_text(&Current_Model) + "\n\n";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    EXPECT_NE(text.find(QB_format("Structure summary of %d atoms:", left)), std::string::npos) << text;
    EXPECT_GE(QB_slot_get(&Current_Model, "cna"), 5);
    // Without an analysis switched on, Atomkit's message stands alone.
    active->value(0);
    active->do_callback();
    press(AK_function_brun);
    EXPECT_EQ(QN_message_text(), "Operation Complete\n" + QN_new_model_text(&Current_Model));
}
