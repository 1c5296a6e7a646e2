// The Polycrystal and Nanocomposite form in the real window: opening from
// "Select model:" and the Model menu, seeding the grain table, the grain
// window, the keyword file, "Preview" and "Export", and what the user sees
// when the generator refuses.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Value_Input.H>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/quelm_import.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/monocrystal_form.h"
#include "builders/polycrystal.h"
#include "builders/polycrystal_editor.h"
#include "builders/polycrystal_form.h"
#include "gui_window.h"
#include "layout_check.h"
#include "qb/qb_text.h"
#include "simulation/wizard_form.h"
#include "test_support.h"
#include "view/view_widget.h"

namespace fs = std::filesystem;

namespace {

int answer = 1;
int scripted_answer(const char*, const char*, const char*) { return answer; }

Fl_Value_Input* form_input(const char* label) { return find_labelled<Fl_Value_Input>(model_group, label); }
Fl_Button* form_button(const char* label) { return find_labelled<Fl_Button>(QN_grain_region, label); }
Fl_Button* grain_button(const char* label) { return find_labelled<Fl_Button>(poly_grain_window, label); }

// What the layout check finds in the Model tab (the rest of the window is
// hidden while it looks).
std::vector<std::string> tab_problems() { return layout::problems_within(main_window, model_group->parent()); }

// The colour a cell shows, as 0xRRGGBB (the colour map's entries 1 ... 6
// are red, green, yellow, blue, magenta and cyan).
unsigned rgb(const Fl_Widget* w) { return Fl::get_color(w->color()) >> 8; }
constexpr unsigned kRed = 0xFF0000, kGreen = 0x00FF00, kWhite = 0xFFFFFF;

const std::vector<QN_poly_grain>& grains() { return QN_poly_grain_list->grain_data.grains; }

bool same_grains(const std::vector<QN_poly_grain>& a, const std::vector<QN_poly_grain>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].file != b[i].file) return false;
        for (int k = 0; k < 12; k++)
            if (a[i].v[k] != b[i].v[k]) return false;
    }
    return true;
}

std::string miller_line(const QN_poly_grain& g) {
    return QB_format("miller %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf\n", g.v[0], g.v[1], g.v[2], g.v[3],
                     g.v[4], g.v[5], g.v[6], g.v[7], g.v[8], g.v[9], g.v[10], g.v[11]);
}

// Conventional cells, written as a user's template files are.
void write_fcc_copper(const std::string& path) {
    std::ofstream(path) << "fcc copper\n\n4 atoms\n1 atom types\n\n0 3.614910 xlo xhi\n0 3.614910 ylo yhi\n"
                           "0 3.614910 zlo zhi\n\nAtoms # atomic\n\n1 1 0 0 0\n2 1 1.807455 1.807455 0\n"
                           "3 1 1.807455 0 1.807455\n4 1 0 1.807455 1.807455\n";
}

void write_bcc_iron(const std::string& path) {
    std::ofstream(path) << "bcc iron\n\n2 atoms\n1 atom types\n\n0 2.866500 xlo xhi\n0 2.866500 ylo yhi\n"
                           "0 2.866500 zlo zhi\n\nAtoms # atomic\n\n1 1 0 0 0\n2 1 1.433250 1.433250 1.433250\n";
}

class PolycrystalForm : public testing::Test {
protected:
    void SetUp() override {
        open_main_window();
        answer = 1;
        QN_choice_hook = scripted_answer;
        // The program starts on the Monocrystal form.
        QN_model_single_crystal();
        Fl::check();
        // The keyword file, the log and the exports go to a scratch folder;
        // the view finds its images through a link.
        fs::create_directory_symlink(fs::path(QUELM_SOURCE) / "img", scratch_.path("img"));
        ASSERT_EQ(chdir(scratch_.dir().c_str()), 0);
        testing::internal::CaptureStdout();  // the generator's progress lines
        write_fcc_copper(scratch_.path("cu.lmp"));
        write_bcc_iron(scratch_.path("fe.lmp"));
    }
    void TearDown() override {
        const std::string captured = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fputs(captured.c_str(), stdout);
        ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    }

    // Opens a form by its entry in "Select model:".
    void open(const char* entry) {
        pick(model_choice, entry);
        Fl::check();
    }
    void set_box(double x, double y, double z, double cutoff) {
        enter(form_input("Box x(Å):"), x);
        enter(form_input("Box y(Å):"), y);
        enter(form_input("Box z(Å):"), z);
        enter(form_input("Cutoff(Å²):"), cutoff);
    }
    void seed_grains(int seed, int n) {
        enter(QNP_rad_seed, seed);
        enter(QNP_rad_num, n);
    }
    std::string keyword_file() const { return slurp(scratch_.path("Quelm_ply.input")); }
    // What went to standard output since the last look.
    std::string take_stdout() {
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return out;
    }

    ScratchDir scratch_;
};

}  // namespace

TEST_F(PolycrystalForm, SelectModelOpensTheForm) {
    QB_create_atom(&Current_Model, 1, 0, 0, 0);  // a model is there: opening asks and keeps it
    open("Polycrystal");
    EXPECT_EQ(model_choice->value(), 2);
    EXPECT_EQ(QNP_model_mode, 0);
    EXPECT_EQ(Current_Model.natoms, 1);
    for (const char* label : {"Box x(Å):", "Box y(Å):", "Box z(Å):", "Cutoff(Å²):"}) {
        Fl_Value_Input* v = form_input(label);
        ASSERT_NE(v, nullptr) << label;
        EXPECT_EQ(v->value(), 0);
    }
    ASSERT_NE(QNP_model_method_choice, nullptr);
    EXPECT_STREQ(QNP_model_method_choice->label(), "Method:");
    ASSERT_EQ(QNP_model_method_choice->size() - 1, 3);
    EXPECT_STREQ(QNP_model_method_choice->menu()[0].label(), "Random grain");
    EXPECT_STREQ(QNP_model_method_choice->menu()[1].label(), "Manual grain");
    EXPECT_STREQ(QNP_model_method_choice->menu()[2].label(), "Random average");
    EXPECT_EQ(QNP_model_method_choice->value(), 0);
    ASSERT_NE(QN_grain_region, nullptr);
    EXPECT_EQ(QN_grain_region->w(), 320);
    // The form ends below "Preview" and "Export" (10 below them).
    EXPECT_EQ(QN_grain_region->h(), 240);
    EXPECT_EQ(model_group->y() + model_group->h(), QN_grain_region->y() + QN_grain_region->h());
    Fl_Value_Input* cutoff = form_input("Cutoff(Å²):");
    ASSERT_NE(cutoff->tooltip(), nullptr);
    EXPECT_NE(std::string(cutoff->tooltip()).find("squared distances"), std::string::npos);
    ASSERT_NE(QNP_rad_num, nullptr);
    ASSERT_NE(QNP_rad_seed, nullptr);
    EXPECT_STREQ(QNP_rad_num->label(), "Number:");
    EXPECT_STREQ(QNP_rad_seed->label(), "Seed:");
    EXPECT_EQ(QNP_rad_num->when(), FL_WHEN_CHANGED);
    // One template in a polycrystal: its output and "Select".
    EXPECT_EQ(QNP_model_file_choice, nullptr);
    ASSERT_NE(QNP_model_file_display[0], nullptr);
    EXPECT_STREQ(QNP_model_file_display[0]->label(), "Template:");
    EXPECT_STREQ(QNP_model_file_display[0]->value(), "No File");
    EXPECT_EQ(QNP_model_file_display[1], nullptr);
    for (const char* label : {"Select", "More", "Preview", "Export"}) EXPECT_NE(form_button(label), nullptr) << label;
    for (const std::string& name : QNP_file_list) EXPECT_EQ(name, "No File");
    std::string kind;
    ASSERT_EQ(QN_scan_char_single(0, "Model_", kind), 1);
    EXPECT_EQ(kind, "Poly_Crystal0");
    ASSERT_EQ(QN_scan_char_single(0, "Model_Poly_file", kind), 1);
    EXPECT_EQ(kind, "./Quelm_ply.input");

    // The grain window exists but waits for "More".
    ASSERT_NE(poly_grain_window, nullptr);
    EXPECT_FALSE(poly_grain_window->visible());
    EXPECT_STREQ(poly_grain_window->label(), "Model Detail");
    EXPECT_EQ(poly_grain_window->w(), 1100);
    EXPECT_EQ(poly_grain_window->h(), 720);
    ASSERT_NE(QN_poly_grain_list, nullptr);
    EXPECT_EQ(QN_poly_grain_list->rows(), 0);
    EXPECT_EQ(QN_poly_grain_list->cols(), 13);
    EXPECT_EQ(QN_poly_grain_list->h(), 720 - 80);
    EXPECT_EQ(QN_poly_grain_list->col_width(12), 80);
    EXPECT_EQ(QN_poly_grain_list->col_header_height(), 25);
    EXPECT_EQ(QN_poly_grain_list->row_header_width(), 60);
    EXPECT_EQ(QN_poly_grain_list->titles[0], "File");
    EXPECT_EQ(QN_poly_grain_list->titles[12], "zl");
    EXPECT_EQ(QN_poly_grain_list->grain_data.files, 1);
    for (const char* label : {"Grain Number", "Add", "-", "Delete", "Delete All", "Grain Type", "Select", "Clear",
                              "Clear All", "Save", "Save && Exit", "Exit"})
        EXPECT_NE(find_labelled<Fl_Widget>(poly_grain_window, label), nullptr) << label;
    EXPECT_FALSE(QNP_model_fid_choice->visible());  // a polycrystal has one template
    EXPECT_STREQ(QNP_model_sum_mi->label(), "Grain Type");
}

TEST_F(PolycrystalForm, TheModelMenuOpensBothFormsAndMonocrystalStays) {
    pick(menu_bar, "Nanocomposite");
    EXPECT_EQ(model_choice->value(), 5);
    EXPECT_EQ(QNP_model_mode, 1);
    ASSERT_NE(QNP_model_file_choice, nullptr);
    EXPECT_STREQ(QNP_model_file_choice->label(), "Grain Type");
    EXPECT_EQ(QNP_model_file_choice->size() - 1, 6);
    EXPECT_EQ(QNP_model_file_choice->value(), 0);
    ASSERT_NE(QNP_model_file_display[0], nullptr);
    EXPECT_STREQ(QNP_model_file_display[0]->label(), "#1");
    EXPECT_TRUE(QNP_model_fid_choice->visible());
    std::string kind;
    QN_scan_char_single(0, "Model_", kind);
    EXPECT_EQ(kind, "Poly_Crystal1");
    // "Manual grain" names the choice "Seed Type".
    QNP_model_method_choice->value(1);
    QNP_model_method_choice->do_callback();
    Fl::check();
    ASSERT_NE(QNP_model_file_choice, nullptr);
    EXPECT_STREQ(QNP_model_file_choice->label(), "Seed Type");

    pick(menu_bar, "Polycrystal");
    EXPECT_EQ(model_choice->value(), 2);
    EXPECT_EQ(QNP_model_mode, 0);

    // Leaving for the Monocrystal form takes the form's widgets and closes
    // the grain window; its buttons then change nothing.
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    press(form_button("More"));
    EXPECT_TRUE(poly_grain_window->visible());
    pick(menu_bar, "Monocrystal");
    Fl::check();
    EXPECT_EQ(model_choice->value(), 1);
    EXPECT_STREQ(QN_single_structure_choice->text(), "cF4[225]-A1(Cu)");
    EXPECT_FALSE(poly_grain_window->visible());
    EXPECT_EQ(QNP_rad_num, nullptr);
    press(grain_button("Save && Exit"));
    press(grain_button("Exit"));
    QN_model_single_preview();
    EXPECT_EQ(Current_Model.natoms, 4);
    EXPECT_EQ(QN_message_text().rfind("New model detected with 4 atoms", 0), 0u);

    // A simulation wizard opens its own window and leaves the model form.
    pick(menu_bar, "&Dynamic");
    Fl::check();
    ASSERT_NE(QN_wizard_window(QN_wizard::dynamic), nullptr);
    EXPECT_TRUE(QN_wizard_window(QN_wizard::dynamic)->shown());
    QN_wizard_window(QN_wizard::dynamic)->hide();
    EXPECT_EQ(model_choice->value(), 1);
}

TEST_F(PolycrystalForm, RefusingTheModelChangeKeepsTheCurrentForm) {
    QN_model_single_preview();
    ASSERT_EQ(Current_Model.natoms, 4);
    answer = 0;  // "No"
    QN_model_poly_crystal();
    EXPECT_EQ(model_choice->value(), 1);
    EXPECT_EQ(Current_Model.natoms, 4);
    EXPECT_NE(QN_single_structure_choice, nullptr);
    std::string kind;
    QN_scan_char_single(0, "Model_", kind);
    EXPECT_NE(kind, "Poly_Crystal0");
}

TEST_F(PolycrystalForm, NumberSeedsOnceThenTheSequenceContinues) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 5);
    ASSERT_EQ(grains().size(), 5u);
    ASSERT_EQ(QN_poly_grain_list->rows(), 5);
    for (int r = 0; r < 5; r++) {
        const QN_poly_grain& g = grains()[static_cast<size_t>(r)];
        EXPECT_EQ(g.file, 1);
        for (int a = 0; a < 3; a++) {
            EXPECT_GE(g.v[a], 0);
            EXPECT_LE(g.v[a], 20);
        }
        // Rows show their grain, coloured by the template, and are locked
        // in "Random grain".
        EXPECT_EQ(QN_poly_grain_list->cell(r, 0)->value(), 1);
        EXPECT_EQ(QN_poly_grain_list->cell(r, 0)->color(), 1u);
        EXPECT_EQ(rgb(QN_poly_grain_list->cell(r, 12)), kRed);
        EXPECT_DOUBLE_EQ(QN_poly_grain_list->cell(r, 4)->value(), g.v[3]);
        EXPECT_TRUE(QN_poly_grain_list->cell(r, 4)->input.readonly());
        EXPECT_FALSE(QN_poly_grain_list->cell(r, 0)->input.readonly());
    }
    const std::vector<QN_poly_grain> first = grains();
    enter(QNP_rad_num, 5);  // grains present: no new seed
    const std::vector<QN_poly_grain> second = grains();
    ASSERT_EQ(second.size(), 5u);
    for (size_t i = 0; i < 5; i++) EXPECT_NE(second[i].v[0], first[i].v[0]);

    // The same as the grain list does on its own: seed 7, then continue.
    QN_poly_grains reference;
    for (int a = 0; a < 3; a++) reference.box[a] = 20;
    reference.random_core(5, 7);
    EXPECT_TRUE(same_grains(reference.grains, first));
    reference.random_core(5, 7);
    EXPECT_TRUE(same_grains(reference.grains, second));

    // "Manual grain" unlocks the positions and directions.
    QNP_model_method_choice->value(1);
    QNP_model_method_choice->do_callback();
    Fl::check();
    EXPECT_EQ(QNP_rad_num->value(), 5);
    EXPECT_FALSE(QN_poly_grain_list->cell(0, 4)->input.readonly());
    enter(QN_poly_grain_list->cell(1, 1), 3.5);
    EXPECT_EQ(grains()[1].v[0], 3.5);
    enter(QNP_rad_num, 0);
    EXPECT_TRUE(grains().empty());
    EXPECT_EQ(QN_poly_grain_list->rows(), 0);
}

TEST_F(PolycrystalForm, RandomAverageKeepsTheGrainsApart) {
    open("Polycrystal");
    QNP_model_method_choice->value(2);
    QNP_model_method_choice->do_callback();
    Fl::check();
    ASSERT_NE(QNP_rad_num, nullptr);
    EXPECT_EQ(QNP_rad_num->when(), FL_WHEN_RELEASE);
    EXPECT_TRUE(QN_poly_grain_list->grain_data.lock);
    set_box(10, 10, 10, 0);
    seed_grains(3, 8);
    const std::vector<QN_poly_grain> placed = grains();
    ASSERT_EQ(placed.size(), 8u);

    QN_poly_grains reference;
    for (int a = 0; a < 3; a++) reference.box[a] = 10;
    const double reached = reference.ranave_core(8, 3);
    EXPECT_TRUE(same_grains(reference.grains, placed));
    EXPECT_LE(reached, std::cbrt(1732.0 / 8) + 1e-9);
    EXPECT_GT(reached, 0.5 * std::cbrt(1732.0 / 8));
    for (size_t i = 0; i < placed.size(); i++)
        for (size_t j = i + 1; j < placed.size(); j++) {
            double d2 = 0;
            for (int a = 0; a < 3; a++) {
                double d = std::fabs(placed[i].v[a] - placed[j].v[a]);
                d = std::min(d, 10 - d);  // nearest periodic image
                d2 += d * d;
            }
            EXPECT_GE(std::sqrt(d2), reached - 1e-9) << i << " " << j;
        }
}

TEST_F(PolycrystalForm, PreviewPutsThePolycrystalInTheView) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 3);
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    EXPECT_EQ(QNP_file_list[0], scratch_.path("cu.lmp"));
    EXPECT_EQ(QNP_model_file_display[0]->value(), scratch_.path("cu.lmp"));
    press(form_button("Preview"));
    Fl::check();

    // fcc copper fills the 8000 Å^3 box at 4 / 3.61491^3 atoms per Å^3
    // (about 677), a few more where the cut-off lets grains overlap.
    EXPECT_GT(Current_Model.natoms, 600);
    EXPECT_LT(Current_Model.natoms, 800);
    EXPECT_EQ(Current_Model.ntypes, 1);
    EXPECT_EQ(QN_message_text(), QB_format("New model detected with %d atoms and 1 type\nBox size 20.000000 "
                                           "20.000000 20.000000",
                                           Current_Model.natoms));
    ASSERT_NE(cube, nullptr);
    EXPECT_EQ(cube->atoms_drawn(), Current_Model.natoms);
    for (int i = 0; i < Current_Model.natoms; i++) {
        const atomdata& a = Current_Model.atoms[static_cast<size_t>(i)];
        ASSERT_TRUE(a.x >= 0 && a.x <= 20 && a.y >= 0 && a.y <= 20 && a.z >= 0 && a.z <= 20) << i;
    }

    std::string expected = "mode 3D\nbox 20.000000 20.000000 20.000000\ncutoff 0.100000\n";
    for (const QN_poly_grain& g : grains()) expected += miller_line(g);
    expected += "build " + scratch_.path("cu.lmp") + " 3\n0 0 0\n";
    EXPECT_EQ(keyword_file(), expected);
    EXPECT_NE(slurp(scratch_.path("poly_log.fpl")).find("#END"), std::string::npos);
}

TEST_F(PolycrystalForm, EveryTemplateMustBeChosenFirst) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 3);
    QN_message("");
    press(form_button("Preview"));
    EXPECT_EQ(QN_message_text(), "Please choose a template crystal file first");
    EXPECT_EQ(Current_Model.natoms, 0);
    EXPECT_FALSE(fs::exists(scratch_.path("Quelm_ply.input")));
    QN_message("");
    press(form_button("More"));
    EXPECT_EQ(QN_message_text(), "Please choose a template crystal file first");
    EXPECT_FALSE(poly_grain_window->visible());
    QN_message("");
    EXPECT_LT(QN_model_poly_write_model_path(scratch_.path("out")), 1);
    EXPECT_EQ(QN_message_text(), "Please choose a template crystal file first");
    EXPECT_FALSE(fs::exists(scratch_.path("out.lmp")));

    // Files the reader refuses are not taken.
    std::ofstream(scratch_.path("notes.txt")) << "not a structure\n";
    EXPECT_LT(QN_model_file_select_path(0, scratch_.path("notes.txt")), 1);
    EXPECT_EQ(QN_message_text().rfind("Reading file failed\n", 0), 0u);
    EXPECT_LT(QN_model_file_select_path(0, scratch_.path("missing.lmp")), 1);
    EXPECT_EQ(QN_message_text().rfind("Reading file failed\n", 0), 0u);
    EXPECT_NE(QN_message_text().find("missing.lmp"), std::string::npos);  // the reader's reason
    EXPECT_EQ(QNP_file_list[0], "No File");
    EXPECT_STREQ(QNP_model_file_display[0]->value(), "No File");
}

TEST_F(PolycrystalForm, NanocompositeGrainWindowAndKeywordFile) {
    open("Nanocomposite");
    QNP_model_file_choice->value(1);  // two templates
    QNP_model_file_choice->do_callback();
    Fl::check();
    EXPECT_EQ(QN_poly_grain_list->grain_data.files, 2);
    ASSERT_NE(QNP_model_file_display[1], nullptr);
    EXPECT_STREQ(QNP_model_file_display[1]->label(), "#2");
    EXPECT_EQ(QNP_model_file_display[2], nullptr);
    EXPECT_EQ(QN_grain_region->h(), 240 + 40 + 40);  // the count of templates and a second file
    set_box(20, 20, 20, 0.1);
    seed_grains(5, 4);
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    QN_message("");
    press(form_button("More"));
    EXPECT_EQ(QN_message_text(), "Please choose a template crystal file first");  // template 2 still missing
    EXPECT_FALSE(poly_grain_window->visible());
    ASSERT_EQ(QN_model_file_select_path(1, scratch_.path("fe.lmp")), 1);
    EXPECT_EQ(QNP_model_file_display[1]->value(), scratch_.path("fe.lmp"));

    const std::vector<QN_poly_grain> seeded = grains();
    press(form_button("More"));
    EXPECT_TRUE(poly_grain_window->visible());
    ASSERT_EQ(QNP_model_fid_choice->size() - 1, 2);
    EXPECT_STREQ(QNP_model_fid_choice->menu()[0].label(), "#1");
    EXPECT_STREQ(QNP_model_fid_choice->menu()[1].label(), "#2");
    // Grains 1-2 to "#2", grain 3 to none, grain 4 deleted; "Exit" forgets it all.
    auto edit = [&] {
        QNP_model_fid_choice->value(1);
        enter(QNP_model_sum_mi, 1);
        enter(QNP_model_sum_ma, 2);
        press(grain_button("Select"));
        enter(QNP_model_sum_mi, 3);
        enter(QNP_model_sum_ma, 3);
        press(grain_button("Clear"));
    };
    edit();
    enter(QNP_model_del_mi, 4);
    enter(QNP_model_del_ma, 4);
    press(grain_button("Delete"));
    ASSERT_EQ(grains().size(), 3u);
    EXPECT_EQ(QN_poly_grain_list->rows(), 3);
    enter(QNP_model_del_mi, 0);  // outside the grains: nothing
    press(grain_button("Delete"));
    EXPECT_EQ(grains().size(), 3u);
    EXPECT_EQ(grains()[0].file, 2);
    EXPECT_EQ(rgb(QN_poly_grain_list->cell(0, 5)), kGreen);
    EXPECT_EQ(rgb(QN_poly_grain_list->cell(2, 5)), kWhite);
    press(grain_button("Exit"));
    EXPECT_FALSE(poly_grain_window->visible());
    EXPECT_TRUE(same_grains(grains(), seeded));
    EXPECT_EQ(QN_poly_grain_list->rows(), 4);
    EXPECT_EQ(QN_poly_grain_list->cell(0, 0)->value(), 1);
    EXPECT_EQ(QNP_rad_num->value(), 4);

    // "Save && Exit" keeps the changes.
    press(form_button("More"));
    edit();
    press(grain_button("Save && Exit"));
    EXPECT_FALSE(poly_grain_window->visible());
    ASSERT_EQ(grains().size(), 4u);
    EXPECT_EQ(grains()[0].file, 2);
    EXPECT_EQ(grains()[1].file, 2);
    EXPECT_EQ(grains()[2].file, 0);
    EXPECT_EQ(grains()[3].file, 1);

    press(form_button("Preview"));
    Fl::check();
    EXPECT_GT(Current_Model.natoms, 0);
    EXPECT_EQ(Current_Model.ntypes, 2);  // iron's type follows copper's
    EXPECT_EQ(QN_message_text().rfind("New model detected with ", 0), 0u);
    // Template 1's grains, template 2's, then the one without a template.
    const std::vector<QN_poly_grain>& g = grains();
    const std::string expected = "mode 3D\nbox 20.000000 20.000000 20.000000\ncutoff 0.100000\n" + miller_line(g[3]) +
                                 miller_line(g[0]) + miller_line(g[1]) + miller_line(g[2]) + "build " +
                                 scratch_.path("cu.lmp") + " 1\n0 0 0\nbuild " + scratch_.path("fe.lmp") +
                                 " 2\n0 0 0\n";
    EXPECT_EQ(keyword_file(), expected);

    // "Save" renews the backup that "Exit" goes back to; "Clear All" and
    // "Delete All" act on every grain.
    press(form_button("More"));
    press(grain_button("Clear All"));
    for (const QN_poly_grain& grain : grains()) EXPECT_EQ(grain.file, 0);
    press(grain_button("Save"));
    press(grain_button("Delete All"));
    EXPECT_TRUE(grains().empty());
    EXPECT_EQ(QN_poly_grain_list->rows(), 0);
    press(grain_button("Exit"));
    ASSERT_EQ(grains().size(), 4u);
    for (const QN_poly_grain& grain : grains()) EXPECT_EQ(grain.file, 0);
    // "Add" appends random grains with template 1, continuing the sequence.
    press(form_button("More"));
    enter(QNP_model_add_num, 2);
    press(grain_button("Add"));
    ASSERT_EQ(grains().size(), 6u);
    EXPECT_EQ(grains()[5].file, 1);
    press(grain_button("Save && Exit"));
    EXPECT_EQ(QNP_rad_num->value(), 6);
}

TEST_F(PolycrystalForm, TheFileColumnIsClampedToTheTemplates) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 2);
    Fl_Value_Input* file = QN_poly_grain_list->cell(0, 0);
    ASSERT_NE(file, nullptr);
    file->input.value("9");  // typed
    file->input.do_callback();
    EXPECT_EQ(grains()[0].file, 1);
    EXPECT_EQ(file->value(), 1);
    file->input.value("0");
    file->input.do_callback();
    EXPECT_EQ(grains()[0].file, 0);
    EXPECT_EQ(rgb(QN_poly_grain_list->cell(0, 7)), kWhite);
    EXPECT_EQ(rgb(QN_poly_grain_list->cell(1, 7)), kRed);
    file->input.value("1");
    file->input.do_callback();
    EXPECT_EQ(grains()[0].file, 1);
    EXPECT_EQ(rgb(QN_poly_grain_list->cell(0, 7)), kRed);
}

TEST_F(PolycrystalForm, GeneratorErrorsLeaveTheModel) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 3);
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    QN_model_poly_preview_model();
    const int atoms = Current_Model.natoms;
    ASSERT_GT(atoms, 0);
    const double first_x = Current_Model.atoms[0].x;

    // The template went away after it was chosen.
    fs::remove(scratch_.path("cu.lmp"));
    QN_message("");
    QN_model_poly_preview_model();
    EXPECT_EQ(QN_message_text().rfind("ERROR: ", 0), 0u) << QN_message_text();
    EXPECT_NE(QN_message_text().find("cu.lmp"), std::string::npos);
    ASSERT_EQ(Current_Model.natoms, atoms);
    EXPECT_EQ(Current_Model.atoms[0].x, first_x);
    EXPECT_LT(QN_model_poly_write_model_path(scratch_.path("gone")), 1);
    EXPECT_EQ(QN_message_text().rfind("ERROR: ", 0), 0u);
    EXPECT_FALSE(fs::exists(scratch_.path("gone.lmp")));

    // A box without volume.
    write_fcc_copper(scratch_.path("cu.lmp"));
    enter(form_input("Box x(Å):"), 0);
    QN_model_poly_preview_model();
    EXPECT_EQ(QN_message_text().rfind("ERROR: ", 0), 0u) << QN_message_text();
    ASSERT_EQ(Current_Model.natoms, atoms);
    EXPECT_EQ(Current_Model.atoms[0].x, first_x);
    EXPECT_EQ(cube->atoms_drawn(), atoms);

    // A template name with a blank cannot go into the keyword file.
    enter(form_input("Box x(Å):"), 20);
    write_fcc_copper(scratch_.path("my cu.lmp"));
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("my cu.lmp")), 1);
    QN_model_poly_preview_model();
    EXPECT_NE(QN_message_text().find("blanks"), std::string::npos) << QN_message_text();
    EXPECT_EQ(QN_message_text().find("New model detected"), std::string::npos);
    EXPECT_EQ(Current_Model.natoms, atoms);
}

TEST_F(PolycrystalForm, ExportWritesTheGeneratorsDataFile) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 3);
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    ASSERT_EQ(QN_model_poly_write_model_path(scratch_.path("poly")), 1);
    const std::string data = slurp(scratch_.path("poly.lmp"));
    ASSERT_EQ(data.rfind("Position data\n", 0), 0u);
    std::istringstream in(data.substr(std::strlen("Position data\n")));
    int atoms = 0;
    std::string word;
    in >> atoms >> word;
    EXPECT_EQ(word, "atoms");
    EXPECT_GT(atoms, 600);
    EXPECT_NE(data.find("1\tatom types\n0.00\t\t20.000000\txlo xhi\n"), std::string::npos);
    EXPECT_NE(data.find("\nAtoms\n\n1\t1\t"), std::string::npos);
    EXPECT_EQ(Current_Model.natoms, 0);  // the current model is not touched
    EXPECT_NE(take_stdout().find("transfering the data into lammps data\n"), std::string::npos);

    ASSERT_EQ(QN_model_poly_write_model_path(scratch_.path("named.lmp")), 1);
    EXPECT_TRUE(fs::exists(scratch_.path("named.lmp")));
    EXPECT_FALSE(fs::exists(scratch_.path("named.lmp.lmp")));
    EXPECT_LT(QN_model_poly_write_model_path(scratch_.path("no/dir/x")), 1);
    EXPECT_EQ(QN_message_text().rfind("Saving file failed\n", 0), 0u);
}

// The form's "Elements:" names the polycrystal's types, in the view's model
// and in the data file "Export" writes; a list that does not fit is alerted.
TEST_F(PolycrystalForm, ElementsFieldNamesThePolycrystal) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 3);
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    auto* elements = find_labelled<Fl_Input>(QN_grain_region, "Elements:");
    ASSERT_NE(elements, nullptr);
    EXPECT_STREQ(elements->value(), "");
    elements->value("Cu");
    elements->do_callback();
    std::string stored;
    ASSERT_EQ(QN_scan_char_single(QN_POLY_GROUP, "M_elements", stored), 1);
    EXPECT_EQ(stored, "Cu");
    press(form_button("Preview"));
    Fl::check();
    EXPECT_GT(Current_Model.natoms, 600);
    EXPECT_EQ(QB_elename_list(&Current_Model), "Cu");
    ASSERT_EQ(QN_model_poly_write_model_path(scratch_.path("poly")), 1);
    EXPECT_NE(slurp(scratch_.path("poly.lmp")).find("zlo zhi\n\nMasses\n\n1\t63.546000\t# Cu\n\nAtoms\n\n1\t1\t"),
              std::string::npos);

    const int atoms = Current_Model.natoms;
    elements->value("Cu,Ni");
    elements->do_callback();
    press(form_button("Preview"));
    Fl::check();
    EXPECT_EQ(QN_message_text(),
              "Building model error: Elements: 2 element names given for 1 atom type: give one per type, in type order");
    EXPECT_EQ(Current_Model.natoms, atoms);
}


TEST_F(PolycrystalForm, TheFormsShowWholeAtBothWindowSizes) {
    for (const auto& size : {std::pair<int, int>{1280, 720}, std::pair<int, int>{1600, 1000}}) {
        main_window->resize(0, 0, size.first, size.second);
        Fl::check();
        const std::string at = std::to_string(size.first) + "x" + std::to_string(size.second) + " ";
        for (int method = 0; method < 3; method++) {
            open("Polycrystal");
            QNP_model_method_choice->value(method);
            QNP_model_method_choice->do_callback();
            EXPECT_EQ(layout::joined(tab_problems()), "") << at << "Polycrystal, method " << method;
            open("Nanocomposite");
            QNP_model_method_choice->value(method);
            QNP_model_method_choice->do_callback();
            QNP_model_file_choice->value(QN_POLY_FILES - 1);  // every template row
            QNP_model_file_choice->do_callback();
            EXPECT_EQ(layout::joined(tab_problems()), "") << at << "Nanocomposite, method " << method;
        }
    }
    // The grain window, a window of its own, at its size and enlarged.
    open("Nanocomposite");
    QNP_model_file_choice->value(0);  // one template
    QNP_model_file_choice->do_callback();
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 3);
    press(form_button("More"));
    Fl::check();
    ASSERT_TRUE(poly_grain_window->visible()) << QN_message_text();
    EXPECT_EQ(layout::joined(layout::problems_of(poly_grain_window)), "");
    poly_grain_window->resize(poly_grain_window->x(), poly_grain_window->y(), 1400, 900);
    Fl::check();
    EXPECT_EQ(layout::joined(layout::problems_of(poly_grain_window)), "") << "enlarged";
    press(grain_button("Exit"));
}

TEST_F(PolycrystalForm, AMissingTemplateIsAskedForByName) {
    open("Polycrystal");
    set_box(20, 20, 20, 0.1);
    seed_grains(7, 3);
    // The grains are seeded, the seed is set: only the template is missing,
    // and the message says so.
    press(form_button("Preview"));
    EXPECT_EQ(QN_message_text(), "Please choose a template crystal file first");
    EXPECT_EQ(QN_message_text().find("seed"), std::string::npos);
    EXPECT_STREQ(QNP_model_file_display[0]->label(), "Template:");
    ASSERT_EQ(QN_model_file_select_path(0, scratch_.path("cu.lmp")), 1);
    QN_message("");
    press(form_button("More"));
    EXPECT_EQ(QN_message_text(), "");
    EXPECT_TRUE(poly_grain_window->visible());
    press(grain_button("Exit"));
}
