// The Bilayer, Multilayer, Nanoparticle, Nanowire, Nanosheet and Core-Shell
// forms in the real window: opening with their defaults, file buttons,
// "Preview" into the view and "Export", what the user sees when a build is
// refused, the bilayer's direction, mismatch and Auto buttons, and the
// lattice-mismatch scan's result window with its selection.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <FL/Fl_Value_Output.H>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/quelm_import.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/layers.h"
#include "builders/layers_form.h"
#include "builders/monocrystal_form.h"
#include "builders/nano_form.h"
#include "builders/nanostructures.h"
#include "builders/form_test.h"
#include "gui_window.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "test_support.h"
#include "view/view_widget.h"

namespace fs = std::filesystem;

namespace {

constexpr double kCu = 3.615, kNi = 3.524;
const char* const kLargeMismatch = "The current model has a large mismatch.\nWould you really like to continue?";

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string fcc_cell(double a) {
    const double h = a / 2;
    return QB_format("fcc\n\n4 atoms\n1 atom types\n\n0 %lf xlo xhi\n0 %lf ylo yhi\n0 %lf zlo zhi\n\nAtoms # atomic\n\n"
                     "1 1 0 0 0\n2 1 %lf %lf 0\n3 1 %lf 0 %lf\n4 1 0 %lf %lf\n",
                     a, a, a, h, h, h, h, h, h);
}

// One atom in an orthogonal box.
std::string simple_cell(double x, double y, double z) {
    return QB_format("sc\n\n1 atoms\n1 atom types\n\n0 %lf xlo xhi\n0 %lf ylo yhi\n0 %lf zlo zhi\n\nAtoms # atomic\n\n"
                     "1 1 0 0 0\n",
                     x, y, z);
}

class LayersForms : public BuilderFormTest {
protected:
    void SetUp() override {
        BuilderFormTest::SetUp();
        cu_ = write("cu.lmp", fcc_cell(kCu));
        ni_ = write("ni.lmp", fcc_cell(kNi));
    }
    // The bilayer (or multilayer) form with both crystals read.
    void open_layers(const char* entry, const std::string& bottom, const std::string& upper) {
        pick_and_settle(model_choice, entry);
        ASSERT_EQ(M_double_extra_reading1_path(bottom), 1) << QN_message_text();
        ASSERT_EQ(M_double_extra_reading2_path(upper), 1) << QN_message_text();
    }
    void set_counts(int a1, int a2, int b1, int b2) {
        enter(M_double_a1, a1);
        enter(M_double_a2, a2);
        enter(M_double_b1, b1);
        enter(M_double_b2, b2);
    }
    std::string cu_, ni_;
};

}  // namespace

// ------------------------------------------------------------------ opening

TEST_F(LayersForms, NanostructureFormsOpenWithTheirDefaults) {
    open("Nanoparticle", 6, 410);
    EXPECT_EQ(Quelm_data[0].title, "Build a cluster model with two given files");
    EXPECT_EQ(stored_int("Model_Cluster"), 0);
    EXPECT_EQ(stored_int("M_cluster_mode"), 0);
    EXPECT_EQ(stored_text(0, "M_cluster_input"), "blank");
    EXPECT_EQ(stored_double("M_cluster_r"), 10);
    EXPECT_EQ(stored_double("M_cluster_xx"), 1);
    EXPECT_EQ(stored_double("M_cluster_xy"), 0);
    EXPECT_EQ(stored_double("M_cluster_zz"), 1);
    ASSERT_NE(choice("Structure:"), nullptr);
    EXPECT_EQ(items(choice("Structure:")), (std::vector<std::string>{"Sphere", "Tetrahedron", "Hexahedron", "Octahedron",
                                                                      "Dodecahedron", "Icosahedron"}));
    EXPECT_EQ(choice("Structure:")->value(), 0);
    ASSERT_NE(input("Radius(Å):"), nullptr);
    EXPECT_EQ(input("Radius(Å):")->value(), 10);
    ASSERT_NE(QN_cluster_matrix, nullptr);
    EXPECT_STREQ(QN_cluster_matrix->label(), "Orientation:");
    EXPECT_FALSE(QN_cluster_matrix->active());
    for (const char* row : {"x:", "y:", "z:"}) EXPECT_NE(find_labelled<Fl_Value_Input>(QN_cluster_matrix, row), nullptr);
    EXPECT_EQ(find_labelled<Fl_Value_Input>(QN_cluster_matrix, "y:")->value(), 0);  // yx
    ASSERT_NE(M_cluster_dispa, nullptr);
    EXPECT_STREQ(M_cluster_dispa->value(), "No File");
    for (const char* b : {"Select Model", "Preview", "Export"}) EXPECT_NE(button(b), nullptr) << b;

    open("Nanowire", 7, 370);
    EXPECT_EQ(M_cluster_dispa, nullptr);  // the nanoparticle's widgets went with it
    EXPECT_EQ(QN_cluster_matrix, nullptr);
    EXPECT_EQ(Quelm_data[0].title, "Build a wire model with two given files");
    EXPECT_EQ(stored_int("Model_wire"), 0);
    EXPECT_EQ(items(choice("Structure:")),
              (std::vector<std::string>{"Cylinder", "Pyramid", "Hexagonal Prism", "Octagonal Prism"}));
    EXPECT_EQ(items(choice("Direction:")), (std::vector<std::string>{"X", "Y", "Z"}));
    EXPECT_EQ(stored_int("M_wire_dir"), 0);
    EXPECT_EQ(input("Radius(Å):")->value(), 10);
    EXPECT_EQ(input("Height(Å):")->value(), 10);
    EXPECT_EQ(stored_double("M_wire_h"), 10);
    ASSERT_NE(M_wire_dispa, nullptr);
    EXPECT_STREQ(M_wire_dispa->value(), "No File");

    open("Nanosheet", 8, 390);
    EXPECT_EQ(Quelm_data[0].title, "Build a sheet model with two given files");
    EXPECT_EQ(items(choice("Mode:")), (std::vector<std::string>{"xy", "xz", "yz"}));
    EXPECT_EQ(items(choice("Center")), (std::vector<std::string>{"Å", "Box"}));
    EXPECT_EQ(stored_int("M_sheet_u"), 0);
    EXPECT_EQ(input("Duplicate:")->value(), 1);
    EXPECT_EQ(stored_int("M_sheet_ny"), 1);
    EXPECT_EQ(input("Thickness(Å):")->value(), 5);
    EXPECT_EQ(input("Vacuum(Å):")->value(), 5);
    ASSERT_NE(M_sheet_dispa, nullptr);

    open("Core-Shell", 9, 540);
    EXPECT_EQ(Quelm_data[0].title, "Build a coreshell model with two given files");
    EXPECT_EQ(input("Shell Radius(Å):")->value(), 10);
    EXPECT_EQ(input("Core Radius(Å):")->value(), 5);
    EXPECT_EQ(items(choice("Core Mode:")), (std::vector<std::string>{"Empty", "Solid"}));
    EXPECT_EQ(stored_int("M_coreshell_cmode"), 0);
    EXPECT_EQ(stored_text(0, "M_coreshell_cfile"), "blank");
    Fl_Value_Input* dmin = input("Min Distance(Å):");
    ASSERT_NE(dmin, nullptr);
    EXPECT_EQ(dmin->value(), 0);
    ASSERT_NE(dmin->tooltip(), nullptr);
    EXPECT_NE(std::string(dmin->tooltip()).find("0 means automatic"), std::string::npos);
    EXPECT_NE(button("Select Shell"), nullptr);
    ASSERT_NE(QN_coreshell_cfile, nullptr);
    EXPECT_STREQ(QN_coreshell_cfile->label(), "Select Core");
    EXPECT_FALSE(QN_coreshell_cfile->active());
    ASSERT_NE(M_coreshell_dispb, nullptr);
    EXPECT_FALSE(M_coreshell_dispb->active());
    EXPECT_STREQ(M_coreshell_dispa->value(), "No File");
    EXPECT_FALSE(QN_coreshell_matrix->active());

    // The Model menu reaches the same forms.
    pick_and_settle(menu_bar, "Nanowire");
    EXPECT_EQ(model_choice->value(), 7);
    EXPECT_NE(M_wire_dispa, nullptr);
    EXPECT_EQ(M_coreshell_dispa, nullptr);
}

TEST_F(LayersForms, LayerFormsOpenWithTheirDefaults) {
    open("Bilayer", 3, 910);
    EXPECT_EQ(QND_model_mode, 0);
    EXPECT_EQ(Quelm_data[0].title, "Build a double layer model with two given files");
    EXPECT_EQ(stored_text(0, "Model_"), "Double_Layer0");
    EXPECT_EQ(stored_int("M_double_dir"), 0);
    EXPECT_EQ(stored_text(0, "M_double_filea"), "blank");
    EXPECT_EQ(stored_int("M_double_period"), 1);
    ASSERT_NE(find_labelled<Fl_Group>(model_group, "Normal direction of interface"), nullptr);
    auto* x = find_labelled<Fl_Round_Button>(model_group, "x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->value(), 1);
    EXPECT_EQ(find_labelled<Fl_Round_Button>(model_group, "z")->value(), 0);
    for (Fl_Group* g : {double_layer_control1, double_layer_control2, double_layer_control3}) {
        ASSERT_NE(g, nullptr);
        EXPECT_FALSE(g->active());
    }
    EXPECT_STREQ(double_layer_control1->label(), "Bottom:");
    EXPECT_STREQ(double_layer_control2->label(), "Upper:");
    EXPECT_STREQ(M_double_dispa->value(), "No File");
    EXPECT_STREQ(M_double_dispb->value(), "No File");
    EXPECT_STREQ(M_double_a1->label(), "y:");
    EXPECT_STREQ(M_double_b2->label(), "z:");
    EXPECT_STREQ(M_double_a1->tooltip(), "Bottom duplicate N times along current axis");
    EXPECT_STREQ(M_double_b1->tooltip(), "Upper duplicate N times along current axis");
    EXPECT_STREQ(find_labelled<Fl_Value_Input>(double_layer_control1, "Thickness(Å):")->tooltip(), "Bottom thickness");
    EXPECT_STREQ(find_labelled<Fl_Value_Input>(double_layer_control2, "Thickness(Å):")->tooltip(), "Upper thickness");
    EXPECT_STREQ(M_double_max1->label(), "Max Periodicity y:");
    EXPECT_EQ(M_double_max1->value(), 0);
    EXPECT_STREQ(M_double_autob2->label(), "Auto z");
    EXPECT_STREQ(M_double_mismatch1->label(), "Interface Mismatch y:");
    EXPECT_EQ(M_double_mismatch2->value(), 0);
    ASSERT_NE(input("Vacuum Thickness(Å):"), nullptr);
    EXPECT_STREQ(input("Vacuum Thickness(Å):")->tooltip(), "Void layer thickness along z axis");
    EXPECT_EQ(input("Layer Periodicity:"), nullptr);
    EXPECT_NE(find_labelled<Fl_Button>(double_layer_control3, "Preview"), nullptr);
    EXPECT_NE(find_labelled<Fl_Button>(double_layer_control3, "Export"), nullptr);

    open("Multilayer", 4, 910);
    EXPECT_EQ(QND_model_mode, 1);
    EXPECT_EQ(stored_text(0, "Model_"), "Double_Layer1");
    ASSERT_NE(input("Layer Periodicity:"), nullptr);
    EXPECT_EQ(input("Layer Periodicity:")->value(), 1);
    EXPECT_STREQ(input("Layer Periodicity:")->tooltip(), "Layer periodicity along z axis");
    EXPECT_EQ(input("Vacuum Thickness(Å):"), nullptr);
    pick_and_settle(menu_bar, "Bilayer");
    EXPECT_EQ(model_choice->value(), 3);
    EXPECT_EQ(QND_model_mode, 0);
}

TEST_F(LayersForms, OpeningAsksFirstExceptTheNanoparticle) {
    QN_model_single_preview();
    ASSERT_EQ(Current_Model.natoms, 4);
    asked.clear();
    form_answer = 0;  // "No": the Monocrystal form and its model stay
    pick_and_settle(model_choice, "Nanowire");
    EXPECT_EQ(asked, std::vector<std::string>{kFormChange});
    EXPECT_EQ(model_choice->value(), 1);  // the choice names the form shown
    EXPECT_EQ(Current_Model.natoms, 4);
    EXPECT_EQ(find_labelled<Fl_Button>(model_group, "Select Model"), nullptr);
    EXPECT_NE(choice("Structure:"), nullptr);
    EXPECT_NE(input("a:"), nullptr);  // the Monocrystal form's lattice
    pick_and_settle(model_choice, "Bilayer");
    EXPECT_EQ(model_choice->value(), 1);
    EXPECT_EQ(Current_Model.natoms, 4);
    EXPECT_EQ(find_labelled<Fl_Group>(model_group, "Bottom:"), nullptr);
    EXPECT_NE(input("a:"), nullptr);

    // The nanoparticle form asks nothing and leaves the model until "Preview".
    asked.clear();
    pick_and_settle(model_choice, "Nanoparticle");
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(model_choice->value(), 6);
    EXPECT_EQ(Current_Model.natoms, 4);
    ASSERT_EQ(M_cluster_reading1_path(cu_), 1);
    M_cluster_preview();
    EXPECT_EQ(asked, std::vector<std::string>{kModelChange});
    EXPECT_EQ(Current_Model.natoms, 4);  // "No"
    form_answer = 1;
    M_cluster_preview();
    expect_shown(369);

    // "Yes" to the opening question opens the form; the model stays until
    // its Preview, and so do the messages.
    asked.clear();
    const std::string messages = QN_message_text();
    pick_and_settle(model_choice, "Nanosheet");
    EXPECT_EQ(asked, std::vector<std::string>{kFormChange});
    EXPECT_EQ(model_choice->value(), 8);
    EXPECT_EQ(Current_Model.natoms, 369);
    EXPECT_EQ(QN_message_text(), messages);
}

// ------------------------------------------------------------- nanostructures

TEST_F(LayersForms, NanoparticlePreviewShowsTheModel) {
    open("Nanoparticle", 6, 410);
    ASSERT_EQ(M_cluster_reading1_path(cu_), 1);
    EXPECT_EQ(M_cluster_dispa->value(), cu_);
    EXPECT_EQ(stored_text(0, "M_cluster_input"), cu_);
    press(button("Preview"));
    Fl::check();
    expect_shown(369);
    EXPECT_TRUE(starts_with(QN_message_text(), "New model detected with 369 atoms and 1 type\nBox size "));
    for (const atomdata& a : Current_Model.atoms) ASSERT_LE(std::hypot(a.x, a.y, a.z), 10 + 1e-9);

    // A polyhedron opens the orientation; the cube of inradius 10.
    choose(choice("Structure:"), 2);
    EXPECT_TRUE(QN_cluster_matrix->active());
    EXPECT_EQ(stored_int("M_cluster_mode"), 2);
    M_cluster_preview();
    QB_tools reference;
    std::string message;
    ASSERT_EQ(QB_cluster(2, cu_.c_str(), 10, 1, 0, 0, 0, 1, 0, 0, 0, 1, &reference, &message), 1);
    expect_shown(reference.natoms);
    EXPECT_EQ(Current_Model.natoms, 665);
    for (const atomdata& a : Current_Model.atoms)
        ASSERT_TRUE(std::fabs(a.x) <= 10 + 1e-9 && std::fabs(a.y) <= 10 + 1e-9 && std::fabs(a.z) <= 10 + 1e-9);
    // Rotated 45 degrees about z through the orientation inputs (rows x:, y:, z:).
    std::vector<Fl_Value_Input*> rows;
    for (int i = 0; i < QN_cluster_matrix->children(); i++)
        if (auto* v = dynamic_cast<Fl_Value_Input*>(QN_cluster_matrix->child(i))) rows.push_back(v);
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_STREQ(rows[0]->label(), "x:");
    EXPECT_STREQ(rows[3]->label(), "y:");
    enter(rows[1], 1);   // x: (1, 1, 0)
    enter(rows[3], -1);  // y: (-1, 1, 0)
    EXPECT_EQ(stored_double("M_cluster_xy"), 1);
    EXPECT_EQ(stored_double("M_cluster_yx"), -1);
    M_cluster_preview();
    ASSERT_EQ(QB_cluster(2, cu_.c_str(), 10, 1, 1, 0, -1, 1, 0, 0, 0, 1, &reference, &message), 1);
    expect_shown(reference.natoms);
    choose(choice("Structure:"), 0);
    EXPECT_FALSE(QN_cluster_matrix->active());
}

TEST_F(LayersForms, FailingPreviewAlertsAndKeepsTheModel) {
    open("Nanoparticle", 6, 410);
    ASSERT_EQ(M_cluster_reading1_path(cu_), 1);
    M_cluster_preview();
    ASSERT_EQ(Current_Model.natoms, 369);
    const double first_x = Current_Model.atoms[0].x;

    enter(input("Radius(Å):"), 0);
    M_cluster_preview();
    EXPECT_EQ(QN_message_text(), "Building model error: the radius must be above 0");
    EXPECT_EQ(Current_Model.natoms, 369);
    EXPECT_EQ(Current_Model.atoms[0].x, first_x);
    EXPECT_EQ(cube->atoms_drawn(), 369);

    enter(input("Radius(Å):"), 10);
    const std::string missing = scratch_.path("nowhere.lmp");
    ASSERT_EQ(M_cluster_reading1_path(missing), 1);  // the file is read only when building
    EXPECT_EQ(M_cluster_dispa->value(), missing);
    M_cluster_preview();
    EXPECT_EQ(QN_message_text(),
              "Building model error: cannot read " + missing + ": cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(Current_Model.natoms, 369);
    EXPECT_EQ(QN_message_text().find("New model detected"), std::string::npos);

    // Export refuses the same way and writes nothing.
    EXPECT_LT(M_cluster_export_path(scratch_.path("np")), 0);
    EXPECT_FALSE(fs::exists(scratch_.path("np.lmp")));
    EXPECT_TRUE(starts_with(QN_message_text(), "Building model error: cannot read "));

    // The wire: a direction along which no lattice vector lies (a tilt of
    // -0.9 against a = 2.95 repeats along y only in the limit).
    const std::string hcp = write("hcp.lmp", "tilted\n\n2 atoms\n1 atom types\n\n0 2.95 xlo xhi\n0 2.554775 ylo yhi\n"
                                             "0 4.68 zlo zhi\n-0.9 0 0 xy xz yz\n\nAtoms # atomic\n\n1 1 0 0 0\n"
                                             "2 1 0 1.703183 2.34\n");
    const int before = Current_Model.natoms;
    open("Nanowire", 7, 370);
    EXPECT_EQ(Current_Model.natoms, before);  // opening keeps the model
    ASSERT_EQ(M_wire_reading1_path(hcp), 1);
    choose(choice("Direction:"), 2);
    M_wire_preview();
    const int wire = Current_Model.natoms;
    ASSERT_GT(wire, 0) << QN_message_text();
    choose(choice("Direction:"), 1);
    M_wire_preview();
    EXPECT_EQ(QN_message_text(), "Building model error: no lattice vector of the crystal lies along the wire axis");
    EXPECT_EQ(Current_Model.natoms, wire);
    EXPECT_EQ(cube->atoms_drawn(), wire);
}

TEST_F(LayersForms, WireSheetAndCoreShellBuildWhatTheFormSays) {
    std::string message;
    QB_tools reference;

    open("Nanowire", 7, 370);
    ASSERT_EQ(M_wire_reading1_path(cu_), 1);
    choose(choice("Structure:"), 2);
    choose(choice("Direction:"), 2);
    enter(input("Radius(Å):"), 8);
    enter(input("Height(Å):"), 12);
    press(button("Preview"));
    ASSERT_EQ(QB_wire(2, 2, cu_.c_str(), 8, 12, &reference, &message), 1);
    expect_shown(reference.natoms);
    EXPECT_NEAR(Current_Model.size[2], 4 * kCu, 1e-9);  // int(12 / 3.615 + 1) periods
    for (const atomdata& a : Current_Model.atoms)
        for (int k = 0; k < 6; k++)
            ASSERT_LE(std::cos(k * M_PI / 3) * a.x + std::sin(k * M_PI / 3) * a.y, 8 + 1e-9);

    open("Nanosheet", 8, 390);
    ASSERT_EQ(M_sheet_reading1_path(cu_), 1);
    choose(choice("Mode:"), 1);
    choose(choice("Center"), 1);
    // The three centre inputs and the second count follow their labelled neighbours.
    Fl_Group* form = model_group->child(0)->as_group();
    ASSERT_NE(form, nullptr);
    std::vector<Fl_Value_Input*> unlabelled;
    for (int i = 0; i < form->children(); i++)
        if (auto* v = dynamic_cast<Fl_Value_Input*>(form->child(i)); v && !v->label()) unlabelled.push_back(v);
    ASSERT_EQ(unlabelled.size(), 4u);
    for (int k = 0; k < 3; k++) enter(unlabelled[static_cast<size_t>(k)], 0.5);
    enter(input("Duplicate:"), 2);
    enter(unlabelled[3], 3);
    enter(input("Thickness(Å):"), 6);
    enter(input("Vacuum(Å):"), 4);
    EXPECT_EQ(stored_double("M_sheet_z"), 0.5);
    EXPECT_EQ(stored_int("M_sheet_nx"), 2);
    EXPECT_EQ(stored_int("M_sheet_ny"), 3);
    press(button("Preview"));
    ASSERT_EQ(QB_sheet(1, cu_.c_str(), 0.5, 0.5, 0.5, 1, 2, 3, 6, 4, &reference, &message), 1);
    expect_shown(reference.natoms);
    EXPECT_NEAR(Current_Model.size[1], 10, 1e-9);  // the stacking vector b: thickness + vacuum
    EXPECT_NEAR(Current_Model.size[0], 2 * kCu, 1e-9);
    EXPECT_NEAR(Current_Model.size[2], 3 * kCu, 1e-9);

    open("Core-Shell", 9, 540);
    ASSERT_EQ(M_coreshell_reading1_path(cu_), 1);
    choose(choice("Core Mode:"), 1);
    EXPECT_TRUE(QN_coreshell_cfile->active());
    EXPECT_TRUE(M_coreshell_dispb->active());
    ASSERT_EQ(M_coreshell_reading2_path(ni_), 1);
    EXPECT_EQ(M_coreshell_dispb->value(), ni_);
    EXPECT_EQ(stored_text(0, "M_coreshell_cfile"), ni_);
    enter(input("Shell Radius(Å):"), 12);
    enter(input("Core Radius(Å):"), 6);
    enter(input("Min Distance(Å):"), 2.0);
    choose(choice("Structure:"), 3);
    EXPECT_TRUE(QN_coreshell_matrix->active());
    press(button("Preview"));
    int removed = -1;
    ASSERT_EQ(QB_coreshell(3, 1, cu_.c_str(), ni_.c_str(), 12, 6, 1, 0, 0, 0, 1, 0, 0, 0, 1, &reference, &message, 2.0,
                           &removed),
              1);
    expect_shown(reference.natoms);
    EXPECT_EQ(QN_message_text(), message);
    EXPECT_EQ(Current_Model.ntypes, 2);
    // An empty core: one type, the core widgets off again.
    choose(choice("Core Mode:"), 0);
    EXPECT_FALSE(QN_coreshell_cfile->active());
    EXPECT_FALSE(M_coreshell_dispb->active());
    M_coreshell_preview();
    EXPECT_EQ(Current_Model.ntypes, 1);
    for (const atomdata& a : Current_Model.atoms) ASSERT_EQ(a.type, 1);
}

TEST_F(LayersForms, ExportWritesADataFile) {
    open("Nanoparticle", 6, 410);
    ASSERT_EQ(M_cluster_reading1_path(cu_), 1);
    ASSERT_EQ(M_cluster_export_path(scratch_.path("np")), 1);
    EXPECT_EQ(Current_Model.natoms, 0);  // the current model is not touched
    EXPECT_EQ(QN_message_text(), "Model exported to " + scratch_.path("np.lmp"));
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, scratch_.path("np.lmp").c_str()), 1);
    EXPECT_EQ(back.natoms, 369);
    ASSERT_EQ(M_cluster_export_path(scratch_.path("named.lmp")), 1);
    EXPECT_TRUE(fs::exists(scratch_.path("named.lmp")));
    EXPECT_FALSE(fs::exists(scratch_.path("named.lmp.lmp")));
    EXPECT_LT(M_cluster_export_path(scratch_.path("no/dir/x")), 0);
    EXPECT_TRUE(starts_with(QN_message_text(), "Saving file failed\n"));
    EXPECT_TRUE(asked.empty());  // nothing asked
}

// ------------------------------------------------------------------ layers

TEST_F(LayersForms, ReadingRefusesWhatCannotBeALayer) {
    pick_and_settle(model_choice, "Bilayer");
    const std::string missing = scratch_.path("nowhere.lmp");
    EXPECT_EQ(M_double_extra_reading1_path(missing), -1);
    EXPECT_EQ(QN_message_text(),
              "Building model error: cannot read " + missing + ": cannot open " + missing + ": No such file or directory");
    const std::string empty =
        write("empty.lmp", "none\n\n0 atoms\n1 atom types\n\n0 3 xlo xhi\n0 3 ylo yhi\n0 3 zlo zhi\n\nAtoms # atomic\n\n");
    EXPECT_EQ(M_double_extra_reading1_path(empty), -1);
    EXPECT_EQ(QN_message_text(), "Building model error: " + empty + " holds no atoms");
    const std::string hcp = write("hcp.lmp", "hcp\n\n2 atoms\n1 atom types\n\n0 2.95 xlo xhi\n0 2.554775 ylo yhi\n"
                                             "0 4.68 zlo zhi\n-1.475 0 0 xy xz yz\n\nAtoms # atomic\n\n1 1 0 0 0\n"
                                             "2 1 0 1.703183 2.34\n");
    EXPECT_EQ(M_double_extra_reading2_path(hcp), -1);
    EXPECT_EQ(QN_message_text(), "Building model error: not a orthogonal model");
    // Nothing was taken.
    EXPECT_FALSE(double_layer_control1->active());
    EXPECT_FALSE(double_layer_control2->active());
    EXPECT_STREQ(M_double_dispa->value(), "No File");
    EXPECT_STREQ(M_double_dispb->value(), "No File");
    EXPECT_EQ(stored_text(0, "M_double_filea"), "blank");
    EXPECT_EQ(stored_text(0, "M_double_fileb"), "blank");

    // The bottom crystal opens its group; the upper one the rest.
    ASSERT_EQ(M_double_extra_reading1_path(cu_), 1);
    EXPECT_TRUE(double_layer_control1->active());
    EXPECT_FALSE(double_layer_control2->active());
    EXPECT_FALSE(double_layer_control3->active());
    EXPECT_EQ(M_double_dispa->value(), cu_);
    EXPECT_EQ(stored_text(0, "M_double_filea"), cu_);
    EXPECT_NEAR(M_double_input1.size[0], kCu, 1e-9);
    ASSERT_EQ(M_double_extra_reading2_path(ni_), 1);
    EXPECT_TRUE(double_layer_control2->active());
    EXPECT_TRUE(double_layer_control3->active());
    // A refused file later keeps the crystal that was read.
    EXPECT_EQ(M_double_extra_reading1_path(hcp), -1);
    EXPECT_EQ(M_double_dispa->value(), cu_);
    EXPECT_EQ(stored_text(0, "M_double_filea"), cu_);
    EXPECT_NEAR(M_double_input1.size[0], kCu, 1e-9);
    EXPECT_TRUE(double_layer_control1->active());
}

TEST_F(LayersForms, BilayerOfCopperOnNickel) {
    open_layers("Bilayer", cu_, ni_);
    auto* z = find_labelled<Fl_Round_Button>(model_group, "z");
    ASSERT_NE(z, nullptr);
    z->setonly();
    z->do_callback();
    EXPECT_EQ(stored_int("M_double_dir"), 2);
    set_counts(39, 39, 40, 40);
    EXPECT_EQ(stored_int("M_double_ax"), 39);
    EXPECT_EQ(stored_int("M_double_by"), 40);
    EXPECT_NEAR(M_double_mismatch1->value(), 1.7734e-4, 1e-8);
    EXPECT_NEAR(M_double_mismatch2->value(), 1.7734e-4, 1e-8);
    enter(input("Vacuum Thickness(Å):"), 10);
    asked.clear();
    press(find_labelled<Fl_Button>(double_layer_control3, "Preview"));
    Fl::check();
    EXPECT_TRUE(asked.empty());  // a small mismatch and no model yet: nothing to ask
    expect_shown(4 * 39 * 39 + 4 * 40 * 40);
    EXPECT_EQ(Current_Model.ntypes, 2);
    EXPECT_NEAR(Current_Model.size[0], 140.9725, 1e-9);
    EXPECT_NEAR(Current_Model.size[1], 140.9725, 1e-9);
    EXPECT_NEAR(Current_Model.size[2], kCu + kNi + 10, 1e-9);
    EXPECT_TRUE(ends_with(QN_message_text(), "\nInterface Mismatch x: 0.000177\nInterface Mismatch y: 0.000177"))
        << QN_message_text();

    // Export writes the same bilayer and leaves the view alone.
    const int shown = Current_Model.natoms;
    ASSERT_EQ(M_double_extra_export_path(scratch_.path("bi")), 1);
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, scratch_.path("bi.lmp").c_str()), 1);
    EXPECT_EQ(back.natoms, shown);
    EXPECT_NEAR(back.size[0], 140.9725, 1e-5);
    EXPECT_EQ(Current_Model.natoms, shown);
    EXPECT_EQ(cube->atoms_drawn(), shown);
}

TEST_F(LayersForms, DirectionRelabelsTheLateralWidgets) {
    open_layers("Bilayer", cu_, ni_);
    struct Expected {
        const char* button;
        int dir;
        const char *first, *second;
        long auto1, auto2;
    } cases[] = {{"y", 1, "x", "z", 0, 2}, {"z", 2, "x", "y", 0, 1}, {"x", 0, "y", "z", 1, 2}};
    for (const Expected& e : cases) {
        SCOPED_TRACE(e.button);
        auto* r = find_labelled<Fl_Round_Button>(model_group, e.button);
        ASSERT_NE(r, nullptr);
        r->setonly();
        r->do_callback();
        EXPECT_EQ(stored_int("M_double_dir"), e.dir);
        const std::string a = e.first, b = e.second;
        for (Fl_Value_Input* w : {M_double_a1, M_double_b1}) EXPECT_EQ(w->label(), a + ":");
        for (Fl_Value_Input* w : {M_double_a2, M_double_b2}) EXPECT_EQ(w->label(), b + ":");
        EXPECT_EQ(M_double_max1->label(), "Max Periodicity " + a + ":");
        EXPECT_EQ(M_double_max2->label(), "Max Periodicity " + b + ":");
        EXPECT_EQ(M_double_autob1->label(), "Auto " + a);
        EXPECT_EQ(M_double_autob2->label(), "Auto " + b);
        EXPECT_EQ(M_double_mismatch1->label(), "Interface Mismatch " + a + ":");
        EXPECT_EQ(M_double_mismatch2->label(), "Interface Mismatch " + b + ":");
        EXPECT_EQ(M_double_autob1->argument(), e.auto1);
        EXPECT_EQ(M_double_autob2->argument(), e.auto2);
    }
}

TEST_F(LayersForms, AutoFindsTheCountsWithTheSmallestResidual) {
    // Bottom 3 x 3 x 6, upper 4 x 4 x 5 (one atom each).
    open_layers("Bilayer", write("a.lmp", simple_cell(3, 3, 6)), write("b.lmp", simple_cell(4, 4, 5)));
    enter(M_double_max1, 5);
    press(M_double_autob1);  // "Auto y": 4 x 3 = 3 x 4
    EXPECT_EQ(M_double_a1->value(), 4);
    EXPECT_EQ(M_double_b1->value(), 3);
    EXPECT_EQ(stored_int("M_double_ax"), 4);
    EXPECT_EQ(stored_int("M_double_bx"), 3);
    EXPECT_EQ(M_double_mismatch1->value(), 0);
    enter(M_double_max2, 7);
    press(M_double_autob2);  // "Auto z": 5 x 6 = 6 x 5
    EXPECT_EQ(M_double_a2->value(), 5);
    EXPECT_EQ(M_double_b2->value(), 6);
    EXPECT_EQ(stored_int("M_double_ay"), 5);
    EXPECT_EQ(stored_int("M_double_by"), 6);
    EXPECT_EQ(M_double_mismatch2->value(), 0);
    // A limit of 1 changes nothing.
    enter(M_double_a1, 2);
    enter(M_double_max1, 1);
    press(M_double_autob1);
    EXPECT_EQ(M_double_a1->value(), 2);
    EXPECT_EQ(stored_int("M_double_ax"), 2);
    EXPECT_NEAR(M_double_mismatch1->value(), 12.0 / 18, 1e-12);  // |2 (6 - 12) / 18|

    // Normal z: "Auto x" takes the x lengths, "Auto y" the y lengths.
    auto* z = find_labelled<Fl_Round_Button>(model_group, "z");
    z->setonly();
    z->do_callback();
    enter(M_double_max1, 5);
    enter(M_double_max2, 5);
    press(M_double_autob1);
    press(M_double_autob2);
    EXPECT_EQ(M_double_a1->value(), 4);
    EXPECT_EQ(M_double_b1->value(), 3);
    EXPECT_EQ(M_double_a2->value(), 4);
    EXPECT_EQ(M_double_b2->value(), 3);
}

TEST_F(LayersForms, LargeMismatchIsAskedFirst) {
    open_layers("Bilayer", cu_, ni_);
    set_counts(1, 1, 1, 1);
    const double each = 2 * (kCu - kNi) / (kCu + kNi);
    EXPECT_NEAR(M_double_mismatch1->value(), each, 1e-12);
    EXPECT_NEAR(M_double_mismatch2->value(), each, 1e-12);
    form_answers[kLargeMismatch] = 0;  // "No"
    M_double_extra_preview();
    EXPECT_EQ(asked, std::vector<std::string>{kLargeMismatch});
    EXPECT_EQ(Current_Model.natoms, 0);
    EXPECT_EQ(QN_message_text().find("New model detected"), std::string::npos);
    asked.clear();
    M_double_extra_export();  // "No" before any chooser
    EXPECT_EQ(asked, std::vector<std::string>{kLargeMismatch});

    form_answers[kLargeMismatch] = 1;
    asked.clear();
    M_double_extra_preview();
    EXPECT_EQ(asked, std::vector<std::string>{kLargeMismatch});
    expect_shown(8);
    EXPECT_NE(QN_message_text().find(QB_format("\nInterface Mismatch y: %lf\nInterface Mismatch z: %lf", each, each)),
              std::string::npos)
        << QN_message_text();

    // With a model there, "No" to the mismatch asks nothing more.
    form_answers[kLargeMismatch] = 0;
    asked.clear();
    enter(M_double_a1, 2);
    M_double_extra_preview();
    EXPECT_EQ(asked, std::vector<std::string>{kLargeMismatch});
    EXPECT_EQ(Current_Model.natoms, 8);
}

TEST_F(LayersForms, RefusedLayersAlertAndKeepTheModel) {
    open_layers("Bilayer", cu_, cu_);
    set_counts(2, 2, 2, 2);
    M_double_extra_preview();
    ASSERT_EQ(Current_Model.natoms, 32);
    enter(M_double_b2, 0);
    M_double_extra_preview();  // mismatch 2: asked and answered "Yes"
    EXPECT_EQ(QN_message_text(), "ERROR: Low area in bilayer or multilayer");
    EXPECT_EQ(Current_Model.natoms, 32);
    EXPECT_EQ(cube->atoms_drawn(), 32);
    EXPECT_LT(M_double_extra_export_path(scratch_.path("low")), 0);
    EXPECT_FALSE(fs::exists(scratch_.path("low.lmp")));

    // The multilayer: periods repeat the pair along the normal; none is refused.
    const int bilayer = Current_Model.natoms;
    open_layers("Multilayer", cu_, cu_);
    EXPECT_EQ(Current_Model.natoms, bilayer);  // opening keeps the model
    set_counts(2, 2, 2, 2);
    M_double_extra_preview();
    ASSERT_EQ(Current_Model.natoms, 32);
    EXPECT_NEAR(Current_Model.size[0], 2 * kCu, 1e-9);
    enter(input("Layer Periodicity:"), 3);
    M_double_extra_preview();
    expect_shown(96);
    EXPECT_NEAR(Current_Model.size[0], 6 * kCu, 1e-9);
    enter(input("Layer Periodicity:"), 0);
    M_double_extra_preview();
    EXPECT_EQ(QN_message_text(), "ERROR: Zero layers in multilayer");
    EXPECT_EQ(Current_Model.natoms, 96);
}

// -------------------------------------------------------------------- scan

TEST_F(LayersForms, ScanWindowListsTheMatchesAndSavesTheTickedRows) {
    QB_tools cu, ni;
    ASSERT_EQ(QB_read_file(&cu, cu_.c_str()), 1);
    ASSERT_EQ(QB_read_file(&ni, ni_.c_str()), 1);
    QB_mismatch_set(30, 200, 2e-4);
    QB_angle_set(0, 360, 0, 360);
    std::vector<scaned_data> expected;
    const int count = QB_mismatch_scan(&cu, &ni, expected);
    ASSERT_GE(count, 3);

    EXPECT_EQ(QN_Crack_scancb(&cu, &ni), 0);
    Fl::check();
    ASSERT_NE(SCAN_DATA, nullptr);
    Fl_Window* window = SCAN_DATA->window();
    ASSERT_NE(window, nullptr);
    EXPECT_STREQ(window->label(), "Model Detail");
    EXPECT_EQ(window->w(), 600);
    EXPECT_EQ(window->h(), 360);
    EXPECT_TRUE(window->visible());
    EXPECT_EQ(SCAN_DATA->h(), 320);
    EXPECT_EQ(SCAN_DATA->rows(), count);
    EXPECT_EQ(SCAN_DATA->cols(), 7);
    EXPECT_EQ(SCAN_DATA->col_width(6), 80);
    EXPECT_EQ(SCAN_DATA->row_height(0), 20);
    EXPECT_EQ(SCAN_DATA->row_header_width(), 60);
    EXPECT_EQ(SCAN_DATA->col_header_height(), 25);
    EXPECT_EQ(SCAN_DATA->titles[0], "Theta1");
    EXPECT_EQ(SCAN_DATA->titles[6], "Selection");
    for (int r = 0; r < count; r++) {
        const scaned_data& d = expected[static_cast<size_t>(r)];
        ASSERT_NE(SCAN_DATA->cell(r, 0), nullptr);
        EXPECT_EQ(SCAN_DATA->cell(r, 0)->value(), d.theta1);
        EXPECT_EQ(SCAN_DATA->cell(r, 1)->value(), d.theta2);
        EXPECT_DOUBLE_EQ(SCAN_DATA->cell(r, 2)->value(), (d.n1y * d.d1y + d.n2y * d.d2y) / 2);
        EXPECT_EQ(SCAN_DATA->cell(r, 3)->value(), d.mismatchy);
        EXPECT_DOUBLE_EQ(SCAN_DATA->cell(r, 4)->value(), (d.n1z * d.d1z + d.n2z * d.d2z) / 2);
        EXPECT_EQ(SCAN_DATA->cell(r, 5)->value(), d.mismatchz);
        ASSERT_NE(SCAN_DATA->tick(r), nullptr);
        EXPECT_EQ(SCAN_DATA->tick(r)->value(), 0);
    }
    auto* save = find_labelled<Fl_Button>(window, "Save");
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(save->x(), 540);
    EXPECT_EQ(save->y(), 325);

    // No row ticked: every key "reset".
    press(save);
    for (const char* key : {"S_anga", "S_n1y", "S_n1z", "S_d1y", "S_d1z", "S_angb", "S_n2y", "S_n2z", "S_d2y", "S_d2z"})
        EXPECT_EQ(stored_text(4, key), "reset") << key;

    // Rows 1 and 3 ticked: loops of two values in row order.
    for (int r : {2, 0}) {
        SCAN_DATA->tick(r)->value(1);
        SCAN_DATA->tick(r)->do_callback();
    }
    EXPECT_EQ(SCAN_DATA->data[0].selected, 1);
    EXPECT_EQ(SCAN_DATA->data[1].selected, 0);
    press(save);
    const scaned_data& a = expected[0];
    const scaned_data& b = expected[2];
    const struct {
        const char* key;
        double first, second;
    } saved[] = {{"S_anga", a.theta1, b.theta1}, {"S_n1y", double(a.n1y), double(b.n1y)},
                 {"S_n1z", double(a.n1z), double(b.n1z)}, {"S_d1y", a.d1y, b.d1y},
                 {"S_d1z", a.d1z, b.d1z}, {"S_angb", a.theta2, b.theta2},
                 {"S_n2y", double(a.n2y), double(b.n2y)}, {"S_n2z", double(a.n2z), double(b.n2z)},
                 {"S_d2y", a.d2y, b.d2y}, {"S_d2z", a.d2z, b.d2z}};
    for (const auto& s : saved) {
        SCOPED_TRACE(s.key);
        double v = 0;
        EXPECT_EQ(QN_scan_double_loop(4, s.key, v, 0), 2);
        EXPECT_NEAR(v, s.first, 1e-6);
        EXPECT_EQ(QN_scan_double_loop(4, s.key, v, 1), 2);
        EXPECT_NEAR(v, s.second, 1e-6);
    }
    // Unticking row 1 leaves one value.
    SCAN_DATA->tick(0)->value(0);
    SCAN_DATA->tick(0)->do_callback();
    QN_tiltscan_save_selected();
    double v = 0;
    EXPECT_EQ(QN_scan_double_loop(4, "S_anga", v, 0), 1);
    EXPECT_NEAR(v, b.theta1, 1e-6);

    // A scan that finds nothing: a window without rows.
    QB_angle_set(400, 500, 0, 360);
    QN_Crack_scancb(&cu, &ni);
    Fl::check();
    ASSERT_NE(SCAN_DATA, nullptr);
    EXPECT_NE(SCAN_DATA->window(), window);
    EXPECT_EQ(SCAN_DATA->rows(), 0);
    EXPECT_TRUE(SCAN_DATA->data.empty());
    press(find_labelled<Fl_Button>(SCAN_DATA->window(), "Save"));
    EXPECT_EQ(stored_text(4, "S_anga"), "reset");
}

