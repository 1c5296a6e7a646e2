// The Solution, Dislocation and Crack forms in the real window: opening
// with their defaults, the mode choices that relabel or switch widgets,
// "Preview" into the view and "Export", what the user sees when a build is
// refused, and which forms ask before replacing the current model.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/defect_form.h"
#include "builders/defects.h"
#include "builders/monocrystal_form.h"
#include "builders/form_test.h"
#include "gui_window.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "test_support.h"
#include "view/view_widget.h"

namespace fs = std::filesystem;

namespace {

constexpr double kCu = 3.615;
constexpr int kCells = 3;                        // the copper crystal: 3 x 3 x 3 cells
constexpr int kAtoms = 4 * kCells * kCells * kCells;  // 108

// The value inputs of the open form without a label, top to bottom.
std::vector<Fl_Value_Input*> unlabelled_inputs() {
    std::vector<Fl_Value_Input*> out;
    Fl_Group* form = model_group->children() ? model_group->child(0)->as_group() : nullptr;
    for (int i = 0; form && i < form->children(); i++)
        if (auto* v = dynamic_cast<Fl_Value_Input*>(form->child(i)); v && !v->label()) out.push_back(v);
    return out;
}


// A key a form writes when it opens, with its kind ('i' int, 'd' double,
// 't' the text "blank", 'e' an empty text) and default.
struct Default {
    const char* key;
    char kind;
    double value;
};

// Group 0 as a form leaves it on opening: its title and exactly these keys.
void expect_group(const char* title, std::initializer_list<Default> keys) {
    EXPECT_EQ(Quelm_data[0].title, title);
    EXPECT_EQ(Quelm_data[0].bit_count, static_cast<int>(keys.size()));
    for (const Default& k : keys) {
        if (k.kind == 'i')
            EXPECT_EQ(stored_int(k.key), static_cast<int>(k.value)) << k.key;
        else if (k.kind == 'd')
            EXPECT_EQ(stored_double(k.key), k.value) << k.key;
        else
            EXPECT_EQ(stored_text(0, k.key), k.kind == 'e' ? "" : "blank") << k.key;
    }
}

std::string tooltip_of(const Fl_Widget* w) { return w && w->tooltip() ? w->tooltip() : "(none)"; }


// n x n x n cubic fcc cells of edge a from the origin, as a LAMMPS data file.
std::string fcc_crystal(double a, int n) {
    const double basis[4][3] = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};
    std::ostringstream atoms;
    int id = 0;
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int k = 0; k < n; k++)
                for (const auto& b : basis)
                    atoms << QB_format("%d 1 %lf %lf %lf\n", ++id, (i + b[0]) * a, (j + b[1]) * a, (k + b[2]) * a);
    const double L = n * a;
    return QB_format("fcc copper\n\n%d atoms\n1 atom types\n\n0 %lf xlo xhi\n0 %lf ylo yhi\n0 %lf zlo zhi\n\n"
                     "Atoms # atomic\n\n",
                     id, L, L, L) +
           atoms.str();
}

class DefectForms : public BuilderFormTest {
protected:
    void SetUp() override {
        BuilderFormTest::SetUp();
        cu_ = write("cu.lmp", fcc_crystal(kCu, kCells));
        ASSERT_EQ(QB_read_file(&crystal_, cu_.c_str()), 1);
        ASSERT_EQ(crystal_.natoms, kAtoms);
    }
    // The model a successful Preview leaves: its atoms, drawn, and the
    // builder's text after the usual report.
    void expect_shown(int atoms, const std::string& message) {
        BuilderFormTest::expect_shown(atoms);
        EXPECT_TRUE(starts_with(QN_message_text(), QN_new_model_text(&Current_Model) + "\n")) << QN_message_text();
        EXPECT_EQ(QN_message_text(), message);
    }
    // The current model is the reference, atom by atom.
    void expect_model(const QB_tools& reference) {
        ASSERT_EQ(Current_Model.natoms, reference.natoms);
        EXPECT_EQ(Current_Model.ntypes, reference.ntypes);
        for (int k = 0; k < 3; k++) {
            EXPECT_EQ(Current_Model.lo[k], reference.lo[k]);
            EXPECT_EQ(Current_Model.size[k], reference.size[k]);
        }
        for (size_t i = 0; i < reference.atoms.size(); i++) {
            const atomdata &a = Current_Model.atoms[i], &b = reference.atoms[i];
            ASSERT_TRUE(a.id == b.id && a.type == b.type && a.x == b.x && a.y == b.y && a.z == b.z) << "atom " << i;
        }
    }
    // The Dislocation form with the crystal and a screw dislocation along z
    // through (4, 4.5) with b = 2.5: slip normal y, so n = x.
    void screw_along_z() {
        open("Dislocation", 11, 430);
        ASSERT_EQ(M_dislocation_reading1_path(cu_), 1);
        std::vector<Fl_Value_Input*> loose = unlabelled_inputs();  // cx cy cz, dy dz, by bz
        ASSERT_EQ(loose.size(), 7u);
        enter(loose[0], 4);
        enter(loose[1], 4.5);
        enter(input("Line Dir:"), 0);
        enter(loose[4], 1);
        enter(QN_Burgers_Input, 0);
        enter(loose[6], 0);
        enter(loose[5], 1);
        enter(input("Burgers Lengths(Å):"), 2.5);
    }

    std::string cu_;
    QB_tools crystal_;
};

}  // namespace

// ------------------------------------------------------------------ opening

TEST_F(DefectForms, SolutionFormOpensWithItsDefaults) {
    open("Solution", 10, 350);
    expect_group("Build a solute model with two given files",
                 {{"Model_solute", 'i', 0}, {"M_solute_mode", 'i', 0}, {"M_solute_input", 't', 0},
                  {"M_solute_cont", 'd', 0.01}, {"M_solute_type", 'i', 2}, {"M_solute_seed", 'i', 0},
                  {"M_solute_r", 'd', 3}, {"M_elements", 'e', 0}});

    EXPECT_EQ(items(choice("Mode:")), (std::vector<std::string>{"Substitutional Solution", "Interstitial Solution"}));
    EXPECT_EQ(choice("Mode:")->value(), 0);
    ASSERT_NE(M_solute_dispa, nullptr);
    EXPECT_STREQ(M_solute_dispa->value(), "No File");
    ASSERT_NE(input("Concentrate:"), nullptr);
    EXPECT_EQ(input("Concentrate:")->value(), 0.01);
    EXPECT_NE(tooltip_of(input("Concentrate:")).find("fraction of the atom count, 0 to 1"), std::string::npos);
    ASSERT_NE(input("Type:"), nullptr);
    EXPECT_EQ(input("Type:")->value(), 2);
    ASSERT_NE(input("Seed:"), nullptr);
    EXPECT_EQ(input("Seed:")->value(), 0);
    EXPECT_NE(input("Seed:")->tooltip(), nullptr);
    ASSERT_NE(Interstitial_Solute_Cutoff, nullptr);
    EXPECT_STREQ(Interstitial_Solute_Cutoff->label(), "Cutoff(Å):");
    EXPECT_EQ(Interstitial_Solute_Cutoff->value(), 3);
    EXPECT_FALSE(Interstitial_Solute_Cutoff->active());
    EXPECT_NE(tooltip_of(Interstitial_Solute_Cutoff).find("Å"), std::string::npos);
    for (const char* b : {"Select Model", "Preview", "Export"}) EXPECT_NE(button(b), nullptr) << b;
    EXPECT_GE(QN_model_solute_cbid, 0);
}

TEST_F(DefectForms, DislocationFormOpensWithItsDefaults) {
    open("Dislocation", 11, 430);
    expect_group("Build a dislocation model with two given files",
                 {{"Model_dislocation", 'i', 0}, {"M_dislocation_mode", 'i', 0}, {"M_dislocation_input", 't', 0},
                  {"M_dislocation_cu", 'i', 0}, {"M_dislocation_cx", 'd', 0}, {"M_dislocation_cy", 'd', 0},
                  {"M_dislocation_cz", 'd', 0}, {"M_dislocation_dx", 'd', 1}, {"M_dislocation_dy", 'd', 0},
                  {"M_dislocation_dz", 'd', 0}, {"M_dislocation_bx", 'd', 0}, {"M_dislocation_by", 'd', 1},
                  {"M_dislocation_bz", 'd', 0}, {"M_dislocation_bl", 'd', 0}, {"M_dislocation_miu", 'd', 0},
                  {"M_elements", 'e', 0}});

    EXPECT_EQ(items(choice("Mode:")), (std::vector<std::string>{"Screw Dislocation", "Edge Dislocation"}));
    EXPECT_EQ(items(choice("Center")), (std::vector<std::string>{"Å", "Box"}));
    ASSERT_NE(M_dislocation_dispa, nullptr);
    EXPECT_STREQ(M_dislocation_dispa->value(), "No File");
    // The three vectors' widgets: centre (cx cy cz), line (dy dz after
    // "Line Dir:"), second vector (by bz after its first input).
    const std::vector<Fl_Value_Input*> loose = unlabelled_inputs();
    ASSERT_EQ(loose.size(), 7u);
    const double shown[7] = {0, 0, 0, 0, 0, 1, 0};
    for (size_t k = 0; k < 7; k++) EXPECT_EQ(loose[k]->value(), shown[k]) << k;
    ASSERT_NE(input("Line Dir:"), nullptr);
    EXPECT_EQ(input("Line Dir:")->value(), 1);
    ASSERT_NE(QN_Burgers_Input, nullptr);
    EXPECT_STREQ(QN_Burgers_Input->label(), "Slip Norm:");
    EXPECT_EQ(QN_Burgers_Input->value(), 0);
    EXPECT_EQ(input("Slip Norm:"), QN_Burgers_Input);
    ASSERT_NE(input("Burgers Lengths(Å):"), nullptr);
    EXPECT_EQ(input("Burgers Lengths(Å):")->value(), 0);
    EXPECT_NE(tooltip_of(input("Burgers Lengths(Å):")).find("Å"), std::string::npos);
    ASSERT_NE(input("Poisson Ratio:"), nullptr);
    EXPECT_EQ(input("Poisson Ratio:")->value(), 0);
    for (const char* b : {"Select Model", "Preview", "Export"}) EXPECT_NE(button(b), nullptr) << b;

    // Entering a vector component stores it under its own key.
    enter(loose[4], 0.5);
    EXPECT_EQ(stored_double("M_dislocation_dz"), 0.5);
    enter(loose[6], -1);
    EXPECT_EQ(stored_double("M_dislocation_bz"), -1);
}

TEST_F(DefectForms, CrackFormOpensWithItsDefaults) {
    open("Crack", 12, 470);
    expect_group("Build a crack model with two given files",
                 {{"Model_crack", 'i', 0}, {"M_crack_mode", 'i', 0}, {"M_crack_input", 't', 0},
                  {"M_crack_dirc", 'i', 0}, {"M_crack_dirp", 'i', 0}, {"M_crack_lenth", 'd', 0},
                  {"M_crack_g", 'd', 0}, {"M_crack_nu", 'd', 0}, {"M_crack_KI", 'd', 0}, {"M_elements", 'e', 0}});

    EXPECT_EQ(items(choice("Mode:")), (std::vector<std::string>{"Mode I Plain Strain", "Mode I Plain Stress",
                                                                "Mode II Plain Strain", "Mode II Plain Stress",
                                                                "Mode III"}));
    EXPECT_EQ(items(choice("Direction:")), (std::vector<std::string>{"X+", "X-", "Y+", "Y-", "Z+", "Z-"}));
    EXPECT_EQ(items(choice("Plane Normal:")), (std::vector<std::string>{"X", "Y", "Z"}));
    ASSERT_NE(M_crack_dispa, nullptr);
    EXPECT_STREQ(M_crack_dispa->value(), "No File");
    for (const char* label :
         {"Crack Lengths(Å):", "Shear Modulus:", "Poisson Ratio:", "Stress Intensity Factor :"}) {
        ASSERT_NE(input(label), nullptr) << label;
        EXPECT_EQ(input(label)->value(), 0) << label;
    }
    EXPECT_NE(tooltip_of(input("Crack Lengths(Å):")).find("Å"), std::string::npos);
    EXPECT_NE(tooltip_of(input("Shear Modulus:")).find("in GPa"), std::string::npos);
    EXPECT_NE(tooltip_of(input("Stress Intensity Factor :")).find("in MPa·√m"), std::string::npos);
    for (const char* b : {"Select Model", "Preview", "Export"}) EXPECT_NE(button(b), nullptr) << b;
}

TEST_F(DefectForms, FormsReplaceEachOtherAndTheModelMenuReachesThem) {
    open("Dislocation", 11, 430);
    ASSERT_NE(QN_Burgers_Input, nullptr);
    const int dislocation_id = QN_model_dislocation_cbid;
    EXPECT_GE(dislocation_id, 0);
    open("Solution", 10, 350);
    EXPECT_EQ(M_dislocation_dispa, nullptr);  // the dislocation's widgets went with it
    EXPECT_EQ(QN_Burgers_Input, nullptr);
    ASSERT_NE(Interstitial_Solute_Cutoff, nullptr);
    open("Crack", 12, 470);
    EXPECT_EQ(M_solute_dispa, nullptr);
    EXPECT_EQ(Interstitial_Solute_Cutoff, nullptr);
    EXPECT_NE(M_crack_dispa, nullptr);

    pick_and_settle(menu_bar, "Dislocation");
    EXPECT_EQ(model_choice->value(), 11);
    EXPECT_NE(QN_Burgers_Input, nullptr);
    EXPECT_EQ(M_crack_dispa, nullptr);
    pick_and_settle(menu_bar, "Solution");
    EXPECT_EQ(model_choice->value(), 10);
    EXPECT_NE(M_solute_dispa, nullptr);
    pick_and_settle(menu_bar, "Crack");
    EXPECT_EQ(model_choice->value(), 12);
    EXPECT_NE(M_crack_dispa, nullptr);

    // Releasing the id twice is harmless.
    QN_model_crack_free();
    EXPECT_EQ(QN_model_crack_cbid, -1);
    QN_model_crack_free();
    EXPECT_EQ(QN_model_crack_cbid, -1);
}

TEST_F(DefectForms, ScriptEntriesGoThroughTheResetWriters) {
    open("Dislocation", 11, 430);
    char bl[] = "-M_dislocation_bl=2.5";
    char mode[] = "-M_dislocation_mode=1";
    char file[] = "-M_dislocation_input=cu.lmp";
    char* entries[] = {bl, mode, file};
    int slots[] = {0, 0, 0};
    ASSERT_EQ(QN_model_dislocation_init(3, entries, slots), 0);
    EXPECT_EQ(stored_double("M_dislocation_bl"), 2.5);
    EXPECT_EQ(stored_int("M_dislocation_mode"), 1);
    EXPECT_EQ(stored_text(0, "M_dislocation_input"), "cu.lmp");
    EXPECT_EQ(stored_double("M_dislocation_by"), 1);  // the rest keep their defaults

    char type[] = "-M_solute_type=3";
    char* solute_entries[] = {type};
    ASSERT_EQ(QN_model_solute_init(1, solute_entries, slots), 0);
    EXPECT_EQ(Quelm_data[0].title, "Build a solute model with two given files");
    EXPECT_EQ(stored_int("M_solute_type"), 3);
    EXPECT_EQ(stored_double("M_solute_cont"), 0.01);

    char g[] = "-M_crack_g=48.3";
    char* crack_entries[] = {g};
    ASSERT_EQ(QN_model_crack_init(1, crack_entries, slots), 0);
    EXPECT_EQ(stored_double("M_crack_g"), 48.3);
    EXPECT_EQ(stored_int("M_crack_dirc"), 0);
}

// -------------------------------------------------------------- mode actions

TEST_F(DefectForms, DislocationModeRelabelsTheSecondVector) {
    open("Dislocation", 11, 430);
    Fl_Value_Input* second = QN_Burgers_Input;
    ASSERT_NE(second, nullptr);
    choose(choice("Mode:"), 1);
    EXPECT_EQ(stored_int("M_dislocation_mode"), 1);
    EXPECT_EQ(QN_Burgers_Input, second);  // the same input, relabelled
    EXPECT_STREQ(second->label(), "Burgers Dir:");
    EXPECT_EQ(input("Slip Norm:"), nullptr);
    EXPECT_EQ(input("Burgers Dir:"), second);
    choose(choice("Mode:"), 0);
    EXPECT_STREQ(second->label(), "Slip Norm:");
    EXPECT_EQ(input("Burgers Dir:"), nullptr);
    // The label follows the store, whoever changed it.
    QN_set_bit_int(0, "M_dislocation_mode", 1, 0);
    QN_dislocation_mode_callback();
    EXPECT_STREQ(second->label(), "Burgers Dir:");
    // Without the form the action does nothing.
    open("Crack", 12, 470);
    QN_dislocation_mode_callback();
    EXPECT_EQ(QN_Burgers_Input, nullptr);
}

TEST_F(DefectForms, SolutionModeSwitchesTheCutoff) {
    open("Solution", 10, 350);
    ASSERT_NE(Interstitial_Solute_Cutoff, nullptr);
    EXPECT_FALSE(Interstitial_Solute_Cutoff->active());
    choose(choice("Mode:"), 1);
    EXPECT_EQ(stored_int("M_solute_mode"), 1);
    EXPECT_TRUE(Interstitial_Solute_Cutoff->active());
    choose(choice("Mode:"), 0);
    EXPECT_EQ(stored_int("M_solute_mode"), 0);
    EXPECT_FALSE(Interstitial_Solute_Cutoff->active());
    // Without the form the action does nothing.
    open("Dislocation", 11, 430);
    QN_solute_mode_callback();
    EXPECT_EQ(Interstitial_Solute_Cutoff, nullptr);
}

// ---------------------------------------------------------------- dislocation

TEST_F(DefectForms, ScrewDislocationPreviewShowsTheModel) {
    screw_along_z();
    EXPECT_EQ(M_dislocation_dispa->value(), cu_);
    EXPECT_EQ(stored_text(0, "M_dislocation_input"), cu_);
    EXPECT_EQ(stored_double("M_dislocation_cy"), 4.5);
    EXPECT_EQ(stored_double("M_dislocation_dx"), 0);
    EXPECT_EQ(stored_double("M_dislocation_dz"), 1);
    EXPECT_EQ(stored_double("M_dislocation_by"), 1);
    EXPECT_EQ(stored_double("M_dislocation_bl"), 2.5);
    press(button("Preview"));
    Fl::check();
    expect_shown(kAtoms, QN_new_model_text(&Current_Model) + "\n0 atoms on the dislocation line left in place");
    EXPECT_TRUE(starts_with(QN_message_text(), "New model detected with 108 atoms and 1 type\nBox size 10.845000 "
                                               "10.845000 10.845000\n"))
        << QN_message_text();
    // Each atom moves along the line by b·θ/2π, θ measured from n = x toward
    // the slip normal y about the line through (4, 4.5); the box stays.
    for (size_t i = 0; i < crystal_.atoms.size(); i++) {
        const atomdata &before = crystal_.atoms[i], &after = Current_Model.atoms[i];
        ASSERT_EQ(after.x, before.x);
        ASSERT_EQ(after.y, before.y);
        ASSERT_NEAR(after.z, before.z + 2.5 * std::atan2(before.y - 4.5, before.x - 4) / (2 * M_PI), 1e-9) << i;
    }
    for (int k = 0; k < 3; k++) EXPECT_EQ(Current_Model.size[k], crystal_.size[k]);

    // The centre in box fractions: the line through (1.5a, 1.5a) holds three
    // atoms, which stay in place.
    choose(choice("Center"), 1);
    std::vector<Fl_Value_Input*> loose = unlabelled_inputs();
    enter(loose[0], 0.5);
    enter(loose[1], 0.5);
    M_dislocation_preview();
    expect_shown(kAtoms, QN_new_model_text(&Current_Model) + "\n3 atoms on the dislocation line left in place");
    QB_tools reference;
    std::string message;
    int on_line = -1;
    ASSERT_EQ(QB_dislocation(0, cu_.c_str(), 0.5, 0.5, 0, 1, 0, 0, 1, 0, 1, 0, 2.5, 0, &reference, &message, &on_line),
              1);
    EXPECT_EQ(on_line, 3);
    EXPECT_EQ(message, QN_message_text());
    expect_model(reference);

    // The edge dislocation builds what the form says.
    choose(choice("Mode:"), 1);
    enter(input("Poisson Ratio:"), 0.3);
    enter(QN_Burgers_Input, 1);
    enter(loose[5], 0);  // Burgers direction x
    enter(loose[0], 0.4);
    M_dislocation_preview();
    ASSERT_EQ(QB_dislocation(1, cu_.c_str(), 0.4, 0.5, 0, 1, 0, 0, 1, 1, 0, 0, 2.5, 0.3, &reference, &message), 1);
    expect_shown(kAtoms, message);
    expect_model(reference);
}

TEST_F(DefectForms, FailingDislocationPreviewAlertsAndKeepsTheModel) {
    QN_model_single_preview();  // the Monocrystal form's cell
    ASSERT_EQ(Current_Model.natoms, 4);
    open("Dislocation", 11, 430);
    EXPECT_EQ(Current_Model.natoms, 4);  // "Yes" to the opening question keeps the model until Preview
    ASSERT_EQ(M_dislocation_reading1_path(cu_), 1);
    // The defaults: a Burgers length of 0.
    M_dislocation_preview();
    EXPECT_EQ(QN_message_text(), "Building model error: the Burgers length must not be 0");
    EXPECT_EQ(Current_Model.natoms, 4);

    screw_along_z();
    M_dislocation_preview();
    ASSERT_EQ(Current_Model.natoms, kAtoms);
    const atomdata first = Current_Model.atoms[0];
    ASSERT_NE(cube, nullptr);

    enter(input("Burgers Lengths(Å):"), 0);
    asked.clear();
    M_dislocation_preview();
    EXPECT_EQ(asked, std::vector<std::string>{kModelChange});  // asked first, then refused
    EXPECT_EQ(QN_message_text(), "Building model error: the Burgers length must not be 0");
    EXPECT_EQ(Current_Model.natoms, kAtoms);
    EXPECT_EQ(Current_Model.atoms[0].z, first.z);
    EXPECT_EQ(cube->atoms_drawn(), kAtoms);

    // Vectors that are not perpendicular: "Line Dir:" x with "Slip Norm:" (1, 1, 0).
    enter(input("Burgers Lengths(Å):"), 2.5);
    enter(input("Line Dir:"), 1);
    std::vector<Fl_Value_Input*> loose = unlabelled_inputs();
    enter(loose[4], 0);
    enter(QN_Burgers_Input, 1);
    M_dislocation_preview();
    EXPECT_EQ(QN_message_text(),
              "Building model error: the line direction and the slip normal must be non-zero and perpendicular");
    EXPECT_EQ(Current_Model.atoms[0].z, first.z);
    choose(choice("Mode:"), 1);
    M_dislocation_preview();
    EXPECT_EQ(QN_message_text(),
              "Building model error: the line direction and the Burgers direction must be non-zero and perpendicular");
    EXPECT_EQ(Current_Model.natoms, kAtoms);

    // A file that cannot be read: the reader's reason.
    enter(QN_Burgers_Input, 0);
    const std::string missing = scratch_.path("nowhere.lmp");
    ASSERT_EQ(M_dislocation_reading1_path(missing), 1);  // the file is read only when building
    EXPECT_EQ(M_dislocation_dispa->value(), missing);
    M_dislocation_preview();
    EXPECT_EQ(QN_message_text(),
              "Building model error: cannot read " + missing + ": cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(Current_Model.natoms, kAtoms);
    EXPECT_EQ(Current_Model.atoms[0].z, first.z);

    // "No" to the question: nothing is built or said.
    ASSERT_EQ(M_dislocation_reading1_path(cu_), 1);
    QN_message("unchanged");
    form_answer = 0;
    asked.clear();
    M_dislocation_preview();
    EXPECT_EQ(asked, std::vector<std::string>{kModelChange});
    EXPECT_EQ(QN_message_text(), "unchanged");
    EXPECT_EQ(Current_Model.atoms[0].z, first.z);
}

TEST_F(DefectForms, ExportWritesADataFile) {
    screw_along_z();
    ASSERT_EQ(M_dislocation_export_path(scratch_.path("screw")), 1);
    EXPECT_EQ(Current_Model.natoms, 0);  // the current model is not touched
    EXPECT_EQ(QN_message_text(), "Model exported to " + scratch_.path("screw.lmp"));
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, scratch_.path("screw.lmp").c_str()), 1);
    EXPECT_EQ(back.natoms, kAtoms);
    QB_tools reference;
    std::string message;
    ASSERT_EQ(QB_dislocation(0, cu_.c_str(), 4, 4.5, 0, 0, 0, 0, 1, 0, 1, 0, 2.5, 0, &reference, &message), 1);
    for (size_t i = 0; i < reference.atoms.size(); i++) ASSERT_NEAR(back.atoms[i].z, reference.atoms[i].z, 1e-5) << i;
    ASSERT_EQ(M_dislocation_export_path(scratch_.path("named.lmp")), 1);
    EXPECT_TRUE(fs::exists(scratch_.path("named.lmp")));
    EXPECT_FALSE(fs::exists(scratch_.path("named.lmp.lmp")));
    EXPECT_TRUE(asked.empty());  // nothing asked

    // A refused build writes nothing.
    enter(input("Burgers Lengths(Å):"), 0);
    EXPECT_LT(M_dislocation_export_path(scratch_.path("flat")), 0);
    EXPECT_FALSE(fs::exists(scratch_.path("flat.lmp")));
    EXPECT_EQ(QN_message_text(), "Building model error: the Burgers length must not be 0");

    // The interstitial solution's export holds the inserted atoms.
    open("Solution", 10, 350);
    ASSERT_EQ(M_solute_reading1_path(cu_), 1);
    choose(choice("Mode:"), 1);
    enter(input("Concentrate:"), 0.05);
    enter(Interstitial_Solute_Cutoff, 2.6);
    ASSERT_EQ(M_solute_export_path(scratch_.path("alloy")), 1) << QN_message_text();
    ASSERT_EQ(QB_read_file(&back, scratch_.path("alloy.lmp").c_str()), 1);
    EXPECT_EQ(back.natoms, kAtoms + 5);
    EXPECT_EQ(back.ntypes, 2);

    // And the crack's holds the crystal.
    open("Crack", 12, 470);
    ASSERT_EQ(M_crack_reading1_path(cu_), 1);
    choose(choice("Plane Normal:"), 1);
    enter(input("Shear Modulus:"), 48.3);
    enter(input("Stress Intensity Factor :"), 1);
    ASSERT_EQ(M_crack_export_path(scratch_.path("crack")), 1) << QN_message_text();
    ASSERT_EQ(QB_read_file(&back, scratch_.path("crack.lmp").c_str()), 1);
    EXPECT_EQ(back.natoms, kAtoms);
    EXPECT_TRUE(asked.empty());
}

// ---------------------------------------------------------------------- crack

TEST_F(DefectForms, CrackPreviewShowsTheModel) {
    open("Crack", 12, 470);
    ASSERT_EQ(M_crack_reading1_path(cu_), 1);
    EXPECT_EQ(M_crack_dispa->value(), cu_);
    // The defaults: "X+" with the plane normal "X" lies in no plane.
    M_crack_preview();
    EXPECT_EQ(QN_message_text(), "Building model error: the crack normal lies along the crack direction");
    EXPECT_EQ(Current_Model.natoms, 0);
    choose(choice("Plane Normal:"), 1);
    EXPECT_EQ(stored_int("M_crack_dirp"), 1);
    // Still no shear modulus.
    M_crack_preview();
    EXPECT_EQ(QN_message_text(), "Building model error: the shear modulus must be above 0");
    EXPECT_EQ(Current_Model.natoms, 0);
    enter(input("Shear Modulus:"), 48.3);
    enter(input("Poisson Ratio:"), 0.25);
    enter(input("Stress Intensity Factor :"), 1);
    enter(input("Crack Lengths(Å):"), 5);
    EXPECT_EQ(stored_double("M_crack_KI"), 1);
    EXPECT_EQ(stored_double("M_crack_lenth"), 5);
    press(button("Preview"));
    Fl::check();
    QB_tools reference;
    std::string message;
    ASSERT_EQ(QB_crack(0, 0, 1, cu_.c_str(), 5, 48.3, 0.25, 1, &reference, &message), 1);
    expect_shown(kAtoms, message);
    EXPECT_EQ(message, QN_new_model_text(&reference) + "\n0 atoms at the crack tip left in place");
    expect_model(reference);
    // Mode I opens the crack: behind the tip (x < 5) the atoms above the
    // middle plane move up and those below it down; the third axis keeps
    // its box and positions.
    const double middle = crystal_.size[1] / 2;
    for (size_t i = 0; i < crystal_.atoms.size(); i++) {
        const atomdata &before = crystal_.atoms[i], &after = Current_Model.atoms[i];
        ASSERT_EQ(after.z, before.z) << i;
        if (before.x >= 5) continue;
        if (before.y > middle + 1) {
            ASSERT_GT(after.y, before.y) << i;
        }
        if (before.y < middle - 1) {
            ASSERT_LT(after.y, before.y) << i;
        }
    }
    EXPECT_EQ(Current_Model.size[2], crystal_.size[2]);
    EXPECT_GT(Current_Model.size[1], crystal_.size[1]);

    // Mode III along "Y-" with the normal "Z": the atoms move along x only.
    choose(choice("Mode:"), 4);
    choose(choice("Direction:"), 3);
    choose(choice("Plane Normal:"), 2);
    M_crack_preview();
    ASSERT_EQ(QB_crack(4, 3, 2, cu_.c_str(), 5, 48.3, 0.25, 1, &reference, &message), 1);
    expect_shown(kAtoms, message);
    expect_model(reference);
    for (size_t i = 0; i < crystal_.atoms.size(); i++) {
        ASSERT_EQ(Current_Model.atoms[i].y, crystal_.atoms[i].y) << i;
        ASSERT_EQ(Current_Model.atoms[i].z, crystal_.atoms[i].z) << i;
    }
}

// ------------------------------------------------------------------- solution

TEST_F(DefectForms, SolutionPreviewShowsTheModel) {
    open("Solution", 10, 350);
    ASSERT_EQ(M_solute_reading1_path(cu_), 1);
    EXPECT_EQ(M_solute_dispa->value(), cu_);
    // The defaults: 1 % of 108 atoms, one solute atom of type 2.
    press(button("Preview"));
    Fl::check();
    QB_tools reference;
    std::string message;
    ASSERT_EQ(QB_solute(0, cu_.c_str(), 0.01, 3, 2, 0, &reference, &message), 1);
    expect_shown(kAtoms, message);
    EXPECT_EQ(message, QN_new_model_text(&reference) + "\n1 atoms converted");
    EXPECT_EQ(Current_Model.ntypes, 2);

    enter(input("Concentrate:"), 0.1);
    enter(input("Seed:"), 7);
    M_solute_preview();
    ASSERT_EQ(QB_solute(0, cu_.c_str(), 0.1, 3, 2, 7, &reference, &message), 1);
    expect_shown(kAtoms, message);
    EXPECT_EQ(message, QN_new_model_text(&reference) + "\n10 atoms converted");
    expect_model(reference);
    int solutes = 0;
    for (const atomdata& a : Current_Model.atoms) solutes += a.type == 2;
    EXPECT_EQ(solutes, 10);
    // The same seed converts the same atoms.
    std::vector<int> types;
    for (const atomdata& a : Current_Model.atoms) types.push_back(a.type);
    M_solute_preview();
    for (size_t i = 0; i < types.size(); i++) ASSERT_EQ(Current_Model.atoms[i].type, types[i]) << i;

    // A concentration that converts nothing is refused and keeps the model.
    enter(input("Concentrate:"), 0.005);
    M_solute_preview();
    EXPECT_EQ(QN_message_text(), "Building model error: 108 atoms at this concentration make no solute atom");
    for (size_t i = 0; i < types.size(); i++) ASSERT_EQ(Current_Model.atoms[i].type, types[i]) << i;

    // Interstitial atoms at tetrahedral sites, the cut-off just above the
    // nearest-neighbour distance.
    choose(choice("Mode:"), 1);
    enter(input("Concentrate:"), 0.05);
    enter(Interstitial_Solute_Cutoff, 2.6);
    EXPECT_EQ(stored_double("M_solute_r"), 2.6);
    M_solute_preview();
    ASSERT_EQ(QB_solute(1, cu_.c_str(), 0.05, 2.6, 2, 7, &reference, &message), 1);
    expect_shown(kAtoms + 5, message);
    EXPECT_EQ(message, QN_new_model_text(&reference) + "\n5 interstitial atoms placed");
    expect_model(reference);
    // Each new atom sits sqrt(3)/4 a from its nearest hosts.
    for (size_t i = kAtoms; i < Current_Model.atoms.size(); i++) {
        const atomdata& s = Current_Model.atoms[i];
        EXPECT_EQ(s.type, 2);
        double nearest = 1e9;
        for (const atomdata& h : crystal_.atoms)
            for (int ix = -1; ix <= 1; ix++)
                for (int iy = -1; iy <= 1; iy++)
                    for (int iz = -1; iz <= 1; iz++) {
                        const double L = crystal_.size[0];
                        nearest = std::min(nearest, std::hypot(h.x + ix * L - s.x, h.y + iy * L - s.y,
                                                               h.z + iz * L - s.z));
                    }
        EXPECT_NEAR(nearest, std::sqrt(3.0) / 4 * kCu, 1e-5) << i;
    }
    // A cut-off below the nearest-neighbour distance finds no site.
    enter(Interstitial_Solute_Cutoff, 2);
    M_solute_preview();
    EXPECT_TRUE(starts_with(QN_message_text(), "Building model error: placed 0 of 5 interstitial atoms"))
        << QN_message_text();
    EXPECT_EQ(Current_Model.natoms, kAtoms + 5);
}

// ------------------------------------------------------------ model change

TEST_F(DefectForms, DislocationAndCrackAskBeforeReplacingTheModel) {
    QN_model_single_preview();
    ASSERT_EQ(Current_Model.natoms, 4);
    asked.clear();
    form_answer = 0;  // "No": the Monocrystal form and its model stay
    pick_and_settle(model_choice, "Dislocation");
    EXPECT_EQ(asked, std::vector<std::string>{kFormChange});
    EXPECT_EQ(model_choice->value(), 1);  // the choice names the form shown
    EXPECT_EQ(Current_Model.natoms, 4);
    EXPECT_EQ(QN_Burgers_Input, nullptr);
    EXPECT_NE(input("a:"), nullptr);  // the Monocrystal form's lattice
    asked.clear();
    pick_and_settle(model_choice, "Crack");
    EXPECT_EQ(asked, std::vector<std::string>{kFormChange});
    EXPECT_EQ(Current_Model.natoms, 4);
    // No crack form (the forms of earlier tests' windows stay alive, so the
    // form's own pointers are no witness here).
    EXPECT_EQ(choice("Plane Normal:"), nullptr);
    EXPECT_NE(input("a:"), nullptr);

    // The solution form asks nothing and leaves the model until "Preview".
    asked.clear();
    pick_and_settle(model_choice, "Solution");
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(model_choice->value(), 10);
    EXPECT_EQ(Current_Model.natoms, 4);
    ASSERT_EQ(M_solute_reading1_path(cu_), 1);
    M_solute_preview();
    EXPECT_EQ(asked, std::vector<std::string>{kModelChange});
    EXPECT_EQ(Current_Model.natoms, 4);  // "No"
    form_answer = 1;
    M_solute_preview();
    EXPECT_EQ(Current_Model.natoms, kAtoms);

    // "Yes" to the opening question opens the form and keeps the model.
    asked.clear();
    pick_and_settle(model_choice, "Crack");
    EXPECT_EQ(asked, std::vector<std::string>{kFormChange});
    EXPECT_EQ(model_choice->value(), 12);
    EXPECT_EQ(Current_Model.natoms, kAtoms);
    EXPECT_NE(M_crack_dispa, nullptr);
    EXPECT_NE(choice("Plane Normal:"), nullptr);
    // With no model there is nothing to ask.
    QN_new_cb(nullptr, nullptr);
    asked.clear();
    pick_and_settle(model_choice, "Dislocation");
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(model_choice->value(), 11);
}

// "Elements:" of a form laid out from its field list: typed in, it names the
// model's types, its own host's and the solute's; a list that does not fit
// is alerted and the model stays.
TEST_F(DefectForms, ElementsFieldNamesTheSolution) {
    open("Solution", 10, 350);
    ASSERT_EQ(M_solute_reading1_path(cu_), 1);
    Fl_Input* elements = text_input("Elements:");
    ASSERT_NE(elements, nullptr);
    EXPECT_STREQ(elements->value(), "");
    EXPECT_NE(tooltip_of(elements).find("Cu,Ni"), std::string::npos);
    press(button("Preview"));
    ASSERT_EQ(Current_Model.ntypes, 2);
    EXPECT_EQ(QB_unnamed_type(&Current_Model), 1);  // the data file names nothing

    type_into(elements, "Cu,Zn", button("Preview"));
    EXPECT_EQ(stored_text(0, "M_elements"), "Cu,Zn");
    press(button("Preview"));
    BuilderFormTest::expect_shown(kAtoms);
    EXPECT_EQ(QB_elename_list(&Current_Model), "Cu,Zn");
    ASSERT_EQ(M_solute_export_path(scratch_.path("alloy")), 1);
    EXPECT_NE(slurp(scratch_.path("alloy.lmp")).find("\nMasses\n\n1\t63.546000\t# Cu\n2\t65.380000\t# Zn\n\nAtoms\n"),
              std::string::npos);

    type_into(elements, "Zn", button("Preview"));
    press(button("Preview"));
    EXPECT_EQ(QN_message_text(),
              "Building model error: Elements: 1 element name given for 2 atom types: give one per type, in type order");
    EXPECT_EQ(QB_elename_list(&Current_Model), "Cu,Zn");
}
