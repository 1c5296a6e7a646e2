// The main window in a real window (under the private Xvfb display of the
// test command): layout, commands without a model, import with its file
// series, export names, "&New", quitting, trimming between models and
// switching model forms.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/quelm_analysis_tab.h"
#include "app/quelm_dialogs.h"
#include "app/quelm_import.h"
#include "app/quelm_parts.h"
#include "store/quelm_batch_core.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "builders/monocrystal_form.h"
#include "gui_window.h"
#include "qb/qb_lattice.h"
#include "test_support.h"
#include "view/view_panel.h"
#include "view/view_widget.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = std::string(QUELM_TEST_DATA) + "/qb/fixtures/formats/";

int answers_given = 0;
int answer = 1;
int scripted_answer(const char*, const char*, const char*) {
    answers_given++;
    return answer;
}

class Window : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(QUELM_SOURCE), 0);  // images are found beside the program
        QN_alerts_modal = 0;
        QN_choice_hook = scripted_answer;
        answers_given = 0;
        answer = 1;
        QN_store_init();
        QN_build_main_window();
        main_window->show();
        QN_window_reset();
        Fl::check();
        testing::internal::CaptureStdout();  // the readers' remarks
    }
    void TearDown() override { testing::internal::GetCapturedStdout(); }
    std::string path(const std::string& name) const { return scratch_.path(name); }
    // The one button a tab holds after a reset.
    static Fl_Button* only_button(Fl_Scroll* tab) {
        Fl_Button* found = nullptr;
        int buttons = 0;
        for (int k = 0; k < tab->children(); k++)
            if (auto* b = dynamic_cast<Fl_Button*>(tab->child(k))) {
                found = b;
                buttons++;
            }
        return buttons == 1 ? found : nullptr;
    }
    ScratchDir scratch_;
};

}  // namespace

TEST_F(Window, LayoutTitleTabsAndModelList) {
    EXPECT_STREQ(main_window->label(), "Quelm Visualizer");
    EXPECT_EQ(main_window->w(), 1280);
    EXPECT_EQ(main_window->h(), 720);
    ASSERT_EQ(control_region->children(), 3);
    EXPECT_STREQ(control_region->child(0)->label(), "View");
    EXPECT_STREQ(control_region->child(1)->label(), "Model");
    EXPECT_STREQ(control_region->child(2)->label(), "Analysis");
    EXPECT_EQ(render_region->x(), 320);
    EXPECT_EQ(render_region->h(), 510);
    EXPECT_STREQ(model_choice->label(), "Select model:");
    ASSERT_EQ(model_choice->size() - 1, 13);  // the menu's terminator counts too
    EXPECT_STREQ(model_choice->menu()[0].label(), "Atomkit");
    EXPECT_STREQ(model_choice->menu()[12].label(), "Crack");
    EXPECT_EQ(model_choice->value(), 0);
    // Thirteen tool-bar buttons with their tooltips, the inspect button among them.
    int buttons = 0;
    for (int k = 0; k < menu_region->children(); k++) buttons += dynamic_cast<Fl_Button*>(menu_region->child(k)) != nullptr;
    EXPECT_EQ(buttons, 14);
    ASSERT_NE(Inspect_MenuButton, nullptr);
    EXPECT_STREQ(Inspect_MenuButton->tooltip(), "Inspect Particle");
    EXPECT_EQ(Inspect_MenuButton->x(), 244);
    EXPECT_NE(Inspect_MenuButton->image(), nullptr);  // the icon was found
    // After a reset, View and Analysis each hold one centred "Read file" button.
    for (Fl_Scroll* tab : {view_region, analysis_region}) {
        Fl_Button* b = only_button(tab);
        ASSERT_NE(b, nullptr);
        EXPECT_STREQ(b->label(), "Read file");
        EXPECT_EQ(b->x(), 100);
        EXPECT_EQ(b->y(), 380);
        EXPECT_EQ(b->w(), 120);
    }
    EXPECT_EQ(QN_message_text().rfind("Welcome to Quelm Visualizer!\n", 0), 0u);
    const Fl_Menu_Item* atomkit = menu_bar->find_item("Model/Atomkit");
    ASSERT_NE(atomkit, nullptr);
    EXPECT_EQ(atomkit->shortcut(), FL_CTRL + 'a');
}

TEST_F(Window, CommandsNeedAModelFirst) {
    for (void (*command)() : {QN_switch_chroma, QN_switch_camera, QN_switch_camera_reset, QN_snapshot_global,
                              QN_inspect_global}) {
        QN_message("");
        command();
        EXPECT_EQ(QN_message_text(), "Please select a model first");
    }
    // The analysis methods of the menu too.
    QN_message("");
    menu_bar->picked(menu_bar->find_item("Analysis/Structure analysis/Common neighbour analysis (CNA)"));
    EXPECT_EQ(QN_message_text(), "Please select a model first");
    QN_message("");
    menu_bar->picked(menu_bar->find_item("Analysis/Dislocation and strain analysis/Nye tensor (NYE)"));
    EXPECT_EQ(QN_message_text(), "Please select a model first");
}

TEST_F(Window, ImportReportsAndBuildsTheNumberedSeries) {
    const std::string dump = kFixtures + "lammps_tric.dump";
    for (const char* name : {"dump.0.lmc", "dump.100.lmc", "dump.200.lmc", "dump.1000.lmc", "dump.txt"})
        fs::copy_file(dump, path(name));
    fs::copy_file(kFixtures + "lammps_fcc.data", path("data.lmp"));

    ASSERT_EQ(QN_import_path(path("dump.100.lmc")), 1);
    EXPECT_EQ(QN_message_text(), "LMC file detected with 30 atoms and 1 type\nBox size 14.350000 7.175000 5.741148");
    EXPECT_EQ(Current_Model.natoms, 30);
    EXPECT_EQ(inited_atomic_viewer, 1);
    ASSERT_EQ(QN_file_list.size(), 4u);
    EXPECT_EQ(QN_file_list[0], path("dump.0.lmc"));
    EXPECT_EQ(QN_file_list[1], path("dump.100.lmc"));
    EXPECT_EQ(QN_file_list[2], path("dump.200.lmc"));
    EXPECT_EQ(QN_file_list[3], path("dump.1000.lmc"));
    EXPECT_EQ(QN_file_list_current, 1);
    Fl::check();
    EXPECT_TRUE(QN_file_list_slider->visible());
    EXPECT_FALSE(QN_blank_Slider->visible());
    EXPECT_EQ(QN_file_list_slider->value(), 1);

    // Stepping with the slider reads the other frame; a step outside is ignored.
    QN_file_list_slider->value(3);
    QN_change_file2(QN_file_list_slider, nullptr);
    EXPECT_EQ(QN_file_list_current, 3);
    EXPECT_EQ(QN_file_list_input->value(), 3);
    QN_file_list_input->value(7);
    QN_change_file1(QN_file_list_input, nullptr);
    EXPECT_EQ(QN_file_list_current, 3);

    // A data file alone: no series, no bar.
    ASSERT_EQ(QN_import_path(path("data.lmp")), 1);
    EXPECT_EQ(QN_message_text(), "LMP file detected with 32 atoms and 2 types\nBox size 10.224764 5.112382 7.230000");
    EXPECT_EQ(QN_file_list.size(), 1u);
    Fl::check();
    EXPECT_FALSE(QN_file_list_slider->visible());
    EXPECT_TRUE(QN_blank_Slider->visible());
}

TEST_F(Window, FailedImportKeepsTheModel) {
    fs::copy_file(kFixtures + "lammps_fcc.data", path("good.lmp"));
    std::ofstream(path("bad.lmp")) << "not a structure\n";
    std::ofstream(path("short.lmp")) << "t\n9 atoms\n1 atom types\n0 1 xlo xhi\n0 1 ylo yhi\n0 1 zlo zhi\nAtoms\n\n1 1 0 0 0\n";
    ASSERT_EQ(QN_import_path(path("good.lmp")), 1);
    const double x5 = Current_Model.atoms[5].x;
    EXPECT_EQ(QN_import_path(path("bad.lmp")), -1);
    EXPECT_EQ(QN_message_text(), "Reading file failed\nUnknown model format");
    EXPECT_EQ(QN_import_path(path("short.lmp")), -1);
    EXPECT_EQ(QN_message_text(), "Reading file failed\nNot enough atoms in LMP format");
    EXPECT_EQ(QN_import_path(path("gone.lmp")), -1);
    EXPECT_EQ(QN_message_text(), "Reading file failed\ncannot open " + path("gone.lmp") + ": No such file or directory");
    ASSERT_EQ(mkfifo(path("pipe.lmp").c_str(), 0600), 0);
    EXPECT_EQ(QN_import_path(path("pipe.lmp")), -1);  // at once, not waiting for a writer
    EXPECT_EQ(QN_message_text(), "Reading file failed\ncannot open " + path("pipe.lmp") + ": not a regular file");
    EXPECT_EQ(Current_Model.natoms, 32);
    EXPECT_EQ(Current_Model.atoms[5].x, x5);
    ASSERT_EQ(QN_file_list.size(), 1u);
    EXPECT_EQ(QN_file_list[0], path("good.lmp"));
}

TEST_F(Window, ExportWritesTheNamesOfItsFilters) {
    EXPECT_EQ(QN_export_name("model", 1), "model.lmp");
    EXPECT_EQ(QN_export_name("model.lmp", 1), "model.lmp");
    EXPECT_EQ(QN_export_name("a.lmp", 0), "a.lmp.lmc");
    EXPECT_EQ(QN_export_name(".lmp", 1), ".lmp.lmp");
    EXPECT_EQ(QN_export_name("x", 3), "x.POSCAR");

    QN_save_file_model();  // nothing to save yet
    EXPECT_EQ(QN_message_text(), "No model in current scene");
    ASSERT_EQ(QN_import_path(kFixtures + "lammps_fcc.data"), 1);
    ASSERT_EQ(QN_export_path(path("model"), 1), 1);
    EXPECT_EQ(QN_message_text(), "Save file complete");
    EXPECT_EQ(slurp(path("model.lmp")).rfind("Position data Generated by Quelm\n32\tatoms\n", 0), 0u);
    ASSERT_EQ(QN_export_path(path("a.lmp"), 0), 1);
    EXPECT_TRUE(fs::exists(path("a.lmp.lmc")));
    // The file names no elements: a POSCAR asks for them.
    QN_text_hook = [](const char*, const char*, std::string& names) {
        names = "Cu,Ni";
        return true;
    };
    ASSERT_EQ(QN_export_path(path("p"), 3), 1);
    EXPECT_NE(slurp(path("p.POSCAR")).find("Direct"), std::string::npos);

    // An appended extension asks before it replaces a file of that name.
    std::ofstream(path("keep.lmp")) << "precious";
    answer = 0;
    EXPECT_EQ(QN_export_path(path("keep"), 1), 0);
    EXPECT_EQ(answers_given, 1);
    EXPECT_EQ(slurp(path("keep.lmp")), "precious");
    answer = 1;
    EXPECT_EQ(QN_export_path(path("keep"), 1), 1);
    EXPECT_NE(slurp(path("keep.lmp")), "precious");

    EXPECT_EQ(QN_export_path(path("no/such/folder/m"), 1), -1);
    EXPECT_EQ(QN_message_text().rfind("Saving file failed\n", 0), 0u);
}

TEST_F(Window, NewAsksAndReturnsToTheEmptyWindow) {
    QN_new_cb(nullptr, nullptr);
    EXPECT_EQ(answers_given, 0);  // nothing to lose: no question
    for (const char* name : {"d.1.lmc", "d.2.lmc"}) fs::copy_file(kFixtures + "lammps_tric.dump", path(name));
    ASSERT_EQ(QN_import_path(path("d.1.lmc")), 1);
    answer = 0;
    QN_new_cb(nullptr, nullptr);
    EXPECT_EQ(answers_given, 1);
    EXPECT_EQ(Current_Model.natoms, 30);
    EXPECT_EQ(QN_file_list.size(), 2u);
    answer = 1;
    QN_new_cb(nullptr, nullptr);
    EXPECT_EQ(Current_Model.natoms, 0);
    EXPECT_EQ(inited_atomic_viewer, 0);
    EXPECT_TRUE(QN_file_list.empty());
    EXPECT_EQ(QN_message_text().rfind("Welcome to Quelm Visualizer!\n", 0), 0u);
    EXPECT_NE(only_button(view_region), nullptr);
    QN_switch_camera();
    EXPECT_EQ(QN_message_text(), "Please select a model first");
}

TEST_F(Window, AtomAndBoxReports) {
    ASSERT_EQ(QN_import_path(kFixtures + "lammps_tric.dump"), 1);
    QN_atom_message(0);
    const std::string box = QN_message_text();
    EXPECT_EQ(box.rfind("Box Data:\n30 Particles\n1 Particles Type\nGeometry = (0.000000,0.000000,-0.000574)+\n"
                        "[(8.610000,0.000000,0.000000),(3.444000,5.740000,0.000000),(-2.296000,1.435000,5.741148)]\n",
                        0),
              0u)
        << box;
    QN_atom_message(31);
    EXPECT_EQ(QN_message_text(), box);
    QN_atom_message(1);
    EXPECT_EQ(QN_message_text(),
              "Atom Data:\nId = 1\nType = 1\nPosition = (1.435000,1.435000,1.435000)\nc_ke = 0.019698\n");
    Current_Model.atoms[0].id = -1;  // a deleted atom is still reported
    QN_atom_message(1);
    EXPECT_EQ(QN_message_text().rfind("Atom Data:\nId = -1\n", 0), 0u);
}

TEST(Program, SaysSoWithoutADisplay) {
    const std::string cmd = "env -u DISPLAY " + std::string(QUELM_GUI) + " > /dev/null 2> /tmp/quelm_nodisplay.txt";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream in("/tmp/quelm_nodisplay.txt");
    std::string line;
    std::getline(in, line);
    EXPECT_NE(line.find("cannot open a display"), std::string::npos);
}

// Escape closes dialogs and menus only; leaving the program (window close,
// File > Exit) asks while the model shown was not saved.
TEST_F(Window, EscapeKeepsTheWindowAndQuittingAsksForAnUnsavedModel) {
    QN_model_single_crystal();
    QN_model_single_preview();
    ASSERT_GT(Current_Model.natoms, 0);
    EXPECT_TRUE(QN_model_unsaved());
    answers_given = 0;
    Fl::e_keysym = FL_Escape;
    Fl::handle(FL_SHORTCUT, main_window);
    Fl::check();
    EXPECT_TRUE(main_window->shown());
    EXPECT_EQ(answers_given, 0);
    // Closing the window and File > Exit: "Cancel" keeps everything.
    answer = 0;
    Fl::handle(FL_CLOSE, main_window);
    EXPECT_TRUE(main_window->shown());
    menu_bar->picked(menu_bar->find_item("&File/Exit"));
    EXPECT_TRUE(main_window->shown());
    EXPECT_EQ(answers_given, 2);
    EXPECT_GT(Current_Model.natoms, 0);
    // Once exported, nothing is asked; an imported model counts as saved.
    ASSERT_EQ(QN_export_path(path("built.lmp"), 1), 1);
    EXPECT_FALSE(QN_model_unsaved());
    EXPECT_TRUE(QN_may_quit());
    ASSERT_EQ(QN_import_path(kFixtures + "lammps_fcc.data"), 1);
    EXPECT_FALSE(QN_model_unsaved());
    EXPECT_EQ(answers_given, 2);
    // "Quit" ends the event loop: every window is closed.
    answer = 1;
    QN_model_single_preview();
    EXPECT_TRUE(QN_model_unsaved());
    Fl::handle(FL_CLOSE, main_window);
    EXPECT_EQ(answers_given, 4);  // the preview's overwrite question, then the quit question
    EXPECT_FALSE(main_window->shown());
    EXPECT_EQ(Fl::first_window(), nullptr);
}

// A cut and its outline belong to the model they were made on.
TEST_F(Window, TrimmingIsForgottenByTheNextModel) {
    ASSERT_EQ(QN_import_path(kFixtures + "lammps_fcc.data"), 1);
    const int atoms = Current_Model.natoms;
    ASSERT_NE(cube, nullptr);
    render_slice_D->value(2);
    QN_render_slice_delete();
    EXPECT_EQ(cube->draw_slice, 1);
    EXPECT_LT(cube->atoms_drawn(), atoms);
    // Recover gives the slab its atoms back and takes the outline away.
    QN_render_slice_recover();
    EXPECT_EQ(cube->atoms_drawn(), atoms);
    EXPECT_EQ(cube->draw_slice, 0);
    EXPECT_EQ(render_drawslice_flag->value(), 0);
    // A cut, then another import: all of its atoms, no outline.
    QN_render_slice_delete();
    ASSERT_EQ(cube->draw_slice, 1);
    QN_frame_next_model();
    ASSERT_EQ(QN_import_path(kFixtures + "lammps_tric.dump"), 1);
    EXPECT_EQ(cube->draw_slice, 0);
    EXPECT_EQ(render_drawslice_flag->value(), 0);
    EXPECT_EQ(cube->atoms_drawn(), Current_Model.natoms);
    for (const atomdata& a : Current_Model.atoms) EXPECT_GT(a.id, 0);
}

// "Select model:" shows the form that is open: declining to switch keeps
// both; switching keeps the model (Preview replaces it) and the messages.
TEST_F(Window, SwitchingFormsKeepsChoiceFormModelAndMessages) {
    QN_model_single_crystal();
    EXPECT_EQ(answers_given, 0);  // no model yet: nothing to ask
    ASSERT_EQ(model_choice->value(), 1);
    ASSERT_EQ(QN_import_path(kFixtures + "lammps_fcc.data"), 1);
    const int atoms = Current_Model.natoms;
    QN_message("a line of the user's");
    answer = 0;
    model_choice->picked(&model_choice->menu()[7]);
    EXPECT_EQ(answers_given, 1);
    EXPECT_EQ(model_choice->value(), 1);
    EXPECT_NE(find_labelled<Fl_Group>(model_group, "Lattice:"), nullptr);  // still the Monocrystal form
    EXPECT_EQ(find_labelled<Fl_Choice>(model_group, "Direction:"), nullptr);
    EXPECT_EQ(QN_message_text(), "a line of the user's");
    answer = 1;
    model_choice->picked(&model_choice->menu()[7]);
    EXPECT_EQ(model_choice->value(), 7);
    EXPECT_NE(find_labelled<Fl_Choice>(model_group, "Direction:"), nullptr);
    EXPECT_EQ(Current_Model.natoms, atoms);
    EXPECT_EQ(QN_message_text(), "a line of the user's");
    EXPECT_TRUE(inited_atomic_viewer);
}

// A subsystem joins the window and quelm-batch through its own tables: a
// form in "Select model:" and the Model menu, a menu entry, a tool-bar
// button, a page of the Analysis tab and a batch command, with neither the
// window nor the batch core knowing of it.
namespace {
int extra_opened = 0, extra_run = 0, extra_analysed = 0, extra_shown = -2;
void open_extra() {
    extra_opened++;
    QN_model_form_shown(13);
}
void run_extra() { extra_run++; }
Fl_Group* extra_page = nullptr;
Fl_Round_Button* extra_active = nullptr;
void build_extra_page(int types) {
    extra_page = new Fl_Group(0, 145, 320, 100);
    extra_active = new Fl_Round_Button(30, 150, 70, 30, "Active");
    extra_active->callback([](Fl_Widget*, void*) { QN_analy_checkactive(); });
    QN_analysis_run_button(190 + types, 0);
    extra_page->end();
    extra_page->hide();
}
int extra_command(int, const char* const*, FILE* out, FILE*) {
    std::fputs("extra ran\n", out);
    return 0;
}
std::string batch_output(std::vector<const char*> argv, int& status) {
    FILE* f = std::tmpfile();
    status = QN_batch_main(static_cast<int>(argv.size()), argv.data(), f, f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    return text;
}
}  // namespace

TEST(Subsystems, ANewOneJoinsThroughItsOwnTables) {
    ASSERT_EQ(chdir(QUELM_SOURCE), 0);
    QN_alerts_modal = 0;
    QN_choice_hook = scripted_answer;
    QN_store_init();
    std::vector<QN_subsystem> parts = QN_subsystems();
    QN_subsystem extra;
    extra.name = "Extra";
    extra.forms = {{"Extra form", open_extra, 0, 0}};
    extra.menu = {{"Extra/Run it", 0, run_extra, 0}};
    extra.tools = {{500, "img/icon/fit.png", "Extra tool", run_extra, 0}};
    QN_analysis_pages pages;
    pages.methods = {"XTR"};
    pages.build = build_extra_page;
    pages.page = [](int k) { return k == 0 ? extra_page : nullptr; };
    pages.active = [](int k) { return k == 0 && extra_active && extra_active->value() != 0; };
    pages.run = [](int shown) {
        extra_analysed++;
        extra_shown = shown;
    };
    pages.forget = [] { extra_page = nullptr, extra_active = nullptr; };
    extra.analyses = {pages};
    extra.menu.push_back({"Extra/XTR", 0, [] { QN_show_analysis_method("XTR"); }, 0});
    parts.push_back(extra);
    QN_build_main_window(parts);
    main_window->show();
    QN_window_reset();
    testing::internal::CaptureStdout();

    const Fl_Menu_Item* item = menu_bar->find_item("Extra/Run it");
    ASSERT_NE(item, nullptr);
    menu_bar->picked(item);
    EXPECT_EQ(extra_run, 1);
    EXPECT_NE(menu_bar->find_item("Model/Extra form"), nullptr);
    EXPECT_NE(menu_bar->find_item("Model/Crack"), nullptr);  // the others are all there
    ASSERT_EQ(model_choice->size() - 1, 14);
    EXPECT_STREQ(model_choice->menu()[13].label(), "Extra form");
    model_choice->picked(&model_choice->menu()[13]);
    EXPECT_EQ(extra_opened, 1);
    EXPECT_EQ(model_choice->value(), 13);
    Fl_Button* tool = nullptr;
    for (int k = 0; k < menu_region->children(); k++)
        if (auto* b = dynamic_cast<Fl_Button*>(menu_region->child(k)))
            if (b->tooltip() && std::string(b->tooltip()) == "Extra tool") tool = b;
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(tool->x(), 500);
    EXPECT_NE(tool->image(), nullptr);
    tool->do_callback();
    EXPECT_EQ(extra_run, 2);

    // Its page comes last in "Choose method:", built for the model's types;
    // its run button follows its "Active" switch and runs with the others.
    QB_init(&Current_Model);
    QB_create_fcc(&Current_Model, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&Current_Model, 2, 2, 2);
    QN_update_model();
    ASSERT_NE(analy_choice, nullptr);
    ASSERT_EQ(analy_choice->size() - 1, 20);
    EXPECT_STREQ(analy_choice->menu()[19].label(), "XTR");
    ASSERT_NE(extra_page, nullptr);
    ASSERT_EQ(analy_run.size(), 20u);
    ASSERT_NE(analy_run[19], nullptr);
    EXPECT_EQ(analy_run[19]->y(), 191);
    EXPECT_FALSE(analy_run[19]->active());
    menu_bar->picked(menu_bar->find_item("Extra/XTR"));
    EXPECT_EQ(analy_choice->value(), 19);
    EXPECT_EQ(control_region->value(), analysis_region);
    EXPECT_TRUE(extra_page->visible());
    extra_active->value(1);
    extra_active->do_callback();
    ASSERT_TRUE(analy_run[19]->active());
    analy_run[19]->do_callback();
    EXPECT_EQ(extra_analysed, 1);
    EXPECT_EQ(extra_shown, 0);
    // Another page shown: the table runs, told its page is not the one shown.
    menu_bar->picked(menu_bar->find_item("Analysis/Structure analysis/Common neighbour analysis (CNA)"));
    EXPECT_FALSE(extra_page->visible());
    QN_run_analysis();
    EXPECT_EQ(extra_analysed, 2);
    EXPECT_EQ(extra_shown, -1);
    QN_window_reset();
    EXPECT_EQ(extra_page, nullptr);
    testing::internal::GetCapturedStdout();

    QN_batch_add_command("extra", "  extra                     the test's own command\n", extra_command);
    int status = -1;
    const std::string help = batch_output({"quelm-batch", "--help"}, status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.find("  extra                     the test's own command\n"), std::string::npos) << help;
    EXPECT_EQ(batch_output({"quelm-batch", "extra"}, status), "extra ran\n");
    EXPECT_EQ(status, 0);
}

// The dialog of a server's question for a secret shows the server's own
// words and gives back what was typed, hidden; Cancel and closing give none.

TEST(SecretDialog, ShowsTheServersWordsAndGivesWhatWasTyped) {
    const struct {
        const char* button;
        bool answered;
    } cases[] = {{"OK", true}, {"Cancel", false}, {nullptr, false}};
    for (const auto& c : cases) {
        SecretScript script;
        script.typed = "s3cret one-time 123456";
        script.button = c.button;
        Fl::add_timeout(0.05, answer_secret_dialog, &script);
        std::string answer = "before";
        EXPECT_EQ(QN_ask_secret_dialog("(alice@hpc) Verification code: ", answer), c.answered);
        EXPECT_EQ(script.prompt_seen, "(alice@hpc) Verification code: ");
        EXPECT_TRUE(script.hidden);
        EXPECT_EQ(answer, c.answered ? "s3cret one-time 123456" : "before") << (c.button ? c.button : "closed");
        Fl::remove_timeout(answer_secret_dialog, &script);
    }
}
