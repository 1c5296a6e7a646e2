// The LAMMPS frames of the Simulation menu in the real window: one entry per
// shipped template, the frame window bound to its store group, and a run
// submitted to and fetched back from a loopback SSH server.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Browser.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Button.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Tree.H>
#include <FL/Fl_Tree_Item.H>
#include <FL/Fl_Value_Input.H>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/quelm_bind.h"
#include "store/quelm_store.h"
#include "app/quelm_window.h"
#include "gui_window.h"
#include "simulation/campaign.h"
#include "simulation/campaign_form.h"
#include "simulation/frame_form.h"
#include "simulation/frame_template.h"
#include "simulation/remote_form.h"
#include "simulation/ssh_hosts.h"
#include "simulation/slurm_fixture.h"
#include "simulation/sshd_fixture.h"
#include "simulation_gui_support.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// The widget of type T labelled `label` that is shown (its own flag).
template <class T>
T* shown_labelled(Fl_Group* g, const char* label) {
    std::vector<T*> all;
    collect<T>(g, all);
    for (T* t : all)
        if (t->visible() && t->label() && std::strcmp(t->label(), label) == 0) return t;
    return nullptr;
}

std::vector<std::string> item_labels(Fl_Tree_Item* item) {
    std::vector<std::string> labels;
    for (int i = 0; item && i < item->children(); i++) labels.push_back(item->child(i)->label());
    return labels;
}

class FrameWindow : public testing::Test {
protected:
    void SetUp() override {
        open_simulation_window();
        read_shipped_frames(paths, frames);
    }
    void TearDown() override {
        for (const QN_frame_template& t : frames)
            if (Fl_Double_Window* w = QN_frame_window(t.name)) w->hide();
        Fl::check();
    }

    // Opens frame k through its menu entry.
    Fl_Double_Window* open_frame(size_t k) {
        const std::string entry = "Simulation/LAMMPS/" + frames[k].name;
        const Fl_Menu_Item* item = menu_bar->find_item(entry.c_str());
        if (!item) return nullptr;
        menu_bar->picked(item);
        Fl::check();
        return QN_frame_window(frames[k].name);
    }

    // Types text into the first shown input of that label (the Submit tab's).
    void type(Fl_Double_Window* w, const char* label, const std::string& text) {
        auto* in = shown_labelled<Fl_Input>(w, label);
        ASSERT_NE(in, nullptr) << label;
        in->value(text.c_str());
        in->do_callback();
    }

    std::vector<std::string> paths;
    std::vector<QN_frame_template> frames;
    ScratchDir dir;
};

// A frame filled for a run of the fixture model with the Cu potential on the
// loopback server.
class FrameWindowOnServer : public FrameWindow {
protected:
    void SetUp() override {
        FrameWindow::SetUp();
        if (HasFatalFailure()) return;
        if (!fs::exists(potential)) GTEST_SKIP() << "no " << potential;
        std::string why;
        if (!before_server(why)) GTEST_SKIP() << why;
        if (!sshd.start(why, sshd_setup)) GTEST_SKIP() << "no test server: " << why;
        home = dir.path("home");
        scoped_home.set(home);
        model = std::string(QUELM_TEST_DATA) + "/simulation/fixtures/cu_fcc.lmp";
    }
    void TearDown() override {
        FrameWindow::TearDown();
        scoped_home.restore();
        QN_path_picker = saved_picker;
    }

    // Opens the first frame and fills it through its widgets (and the
    // store for the picked files).
    Fl_Double_Window* fill() {
        Fl_Double_Window* w = open_frame(0);
        if (!w) return nullptr;
        const int g = QN_frame_group(frames[0].name);
        QN_set_bit_char(g, "S_input", model);
        QN_set_bit_char(g, "S_pot1", potential);
        pick(find_labelled<Fl_Choice>(w, "Potential Type"), "EAM-Alloy");
        pick(find_labelled<Fl_Choice>(w, " Name"), "Cu");
        enter(find_labelled<Fl_Value_Input>(w, " 1# Mass:"), 63.546);
        type(w, "Server:", "127.0.0.1:" + std::to_string(sshd.port));
        type(w, "User Name:", sshd.user);
        type(w, "Password:", sshd.password);
        type(w, "Server Folder:", "run1");
        type(w, "Submit Command:", "true");
        return w;
    }

    // What must run before the server starts (false: skip, with why).
    virtual bool before_server(std::string&) { return true; }

    const std::string potential = "/usr/share/lammps/potentials/Cu_mishin1.eam.alloy";
    TestSshdSetup sshd_setup;
    TestSshd sshd;
    std::string home, model;
    ScopedHome scoped_home;
    int (*saved_picker)(int, std::string&) = QN_path_picker;
};

}  // namespace

TEST_F(FrameWindow, TheMenuListsEveryShippedTemplate) {
    ASSERT_FALSE(frames.empty());
    ASSERT_NE(menu_bar->find_item("Simulation/LAMMPS"), nullptr);
    int entries = 0;
    for (int i = 0; i < menu_bar->size(); i++) {
        const Fl_Menu_Item& m = menu_bar->menu()[i];
        char path[1024];
        if (!m.label() || m.submenu() || menu_bar->item_pathname(path, sizeof path, &m) != 0) continue;
        if (std::strncmp(path, "Simulation/LAMMPS/", 18) == 0) entries++;
    }
    EXPECT_EQ(entries, static_cast<int>(frames.size()));
    for (const QN_frame_template& t : frames) {
        EXPECT_EQ(t.name.find('_'), std::string::npos) << t.name;
        const std::string entry = "Simulation/LAMMPS/" + t.name;
        EXPECT_NE(menu_bar->find_item(entry.c_str()), nullptr) << entry;
    }
}

TEST_F(FrameWindow, AnEntryOpensItsWindowBoundToTheStore) {
    Fl_Double_Window* w = open_frame(0);
    ASSERT_NE(w, nullptr);
    const QN_frame_template& t = frames[0];
    const int g = QN_frame_group(t.name);
    ASSERT_GE(g, QN_FIXED_GROUPS);
    EXPECT_TRUE(w->shown());
    EXPECT_EQ(std::string(w->label()), "LAMMPS Simulation " + t.name);
    EXPECT_EQ(w->w(), QN_SIM_WINDOW_W);
    EXPECT_EQ(w->h(), QN_SIM_TABS_H);

    std::vector<Fl_Tabs*> tabs;
    collect<Fl_Tabs>(w, tabs);
    ASSERT_EQ(tabs.size(), 1u);
    const char* names[7] = {"Model", "Potential", "Setting", "Output", "Submit", "Scheduler", "Download"};
    ASSERT_EQ(tabs[0]->children(), 7);
    for (int k = 0; k < 7; k++) EXPECT_STREQ(tabs[0]->child(k)->label(), names[k]);
    EXPECT_NE(find_labelled<Fl_Output>(w, "Job Script:"), nullptr);
    EXPECT_NE(QN_frame_tree(t.name), nullptr);

    // Every field of the template has its widget; a number typed in one
    // lands in the group.
    const QN_frame_field* number = nullptr;
    const QN_frame_field* loop = nullptr;
    for (const QN_frame_field& f : t.fields) {
        const std::string label = QN_frame_display(f.text);
        if (f.kind == QN_frame_field::INT || f.kind == QN_frame_field::FLOAT || f.kind == QN_frame_field::LOOP) {
            EXPECT_NE(find_labelled<Fl_Value_Input>(w, label.c_str()), nullptr) << label;
        }
        if (f.kind == QN_frame_field::CHOICE) {
            EXPECT_NE(find_labelled<Fl_Choice>(w, label.c_str()), nullptr) << label;
        }
        if (f.kind == QN_frame_field::FLOAT && !number) number = &f;
        if (f.kind == QN_frame_field::LOOP && !loop) loop = &f;
    }
    if (number) {
        enter(find_labelled<Fl_Value_Input>(w, QN_frame_display(number->text).c_str()), 0.25);
        EXPECT_DOUBLE_EQ(QN_stored_double(g, number->text, -1), 0.25);
    }
    enter(find_labelled<Fl_Value_Input>(w, " 1# Mass:"), 26.98);
    double mass = 0;
    EXPECT_EQ(QN_scan_double_multi(g, 0, "S_mass", mass), 1);
    EXPECT_DOUBLE_EQ(mass, 26.98);

    // The potential type lays out its file links.
    auto* pot = find_labelled<Fl_Group>(w, "Potential Setting");
    ASSERT_NE(pot, nullptr);
    pick(find_labelled<Fl_Choice>(w, "Potential Type"), "Custom");
    EXPECT_EQ(QN_stored_int(g, "S_potype", -1), QN_POT_CUSTOM);
    EXPECT_NE(shown_labelled<Fl_Button>(pot, "in"), nullptr);
    EXPECT_EQ(shown_labelled<Fl_Button>(pot, "Select"), nullptr);
    pick(find_labelled<Fl_Choice>(w, "Potential Type"), "EAM-Alloy");
    EXPECT_EQ(QN_stored_int(g, "S_potype", -1), QN_POT_EAM_ALLOY);
    EXPECT_NE(shown_labelled<Fl_Button>(pot, "Select"), nullptr);
    EXPECT_EQ(shown_labelled<Fl_Button>(pot, "in"), nullptr);
    EXPECT_EQ(pot->h(), 50);

    // Three atom types: three mass inputs and element choices.
    pick(find_labelled<Fl_Choice>(w, "Type Sum:"), "3");
    EXPECT_EQ(QN_stored_int(g, "S_elenum", -1), 2);
    for (const char* m : {" 1# Mass:", " 2# Mass:", " 3# Mass:"})
        EXPECT_NE(shown_labelled<Fl_Value_Input>(w, m), nullptr) << m;
    EXPECT_EQ(shown_labelled<Fl_Value_Input>(w, " 4# Mass:"), nullptr);
    std::vector<Fl_Choice*> choices;
    collect<Fl_Choice>(w, choices);
    int elements = 0;
    for (Fl_Choice* c : choices)
        if (c->visible() && c->label() && std::strcmp(c->label(), " Name") == 0) elements++;
    EXPECT_EQ(elements, 3);

    // A loop field switches between one value and start, end, step.
    if (loop) {
        std::vector<Fl_Light_Button*> toggles;
        collect<Fl_Light_Button>(w, toggles);
        ASSERT_FALSE(toggles.empty());
        Fl_Light_Button* b = toggles.front();
        Fl_Group* parent = b->parent();
        const int at = parent->find(b);
        ASSERT_GE(at, 4);
        Fl_Widget* single = parent->child(at - 4);
        EXPECT_TRUE(single->visible());
        for (int k = 1; k <= 3; k++) EXPECT_FALSE(parent->child(at - k)->visible());
        b->value(1);
        b->do_callback();
        EXPECT_FALSE(single->visible());
        for (int k = 1; k <= 3; k++) EXPECT_TRUE(parent->child(at - k)->visible());
        auto* start = static_cast<Fl_Value_Input*>(parent->child(at - 3));
        auto* end = static_cast<Fl_Value_Input*>(parent->child(at - 2));
        auto* step = static_cast<Fl_Value_Input*>(parent->child(at - 1));
        start->value(100);
        end->value(300);
        step->value(100);
        start->do_callback();
        end->do_callback();
        step->do_callback();
        double v = 0;
        EXPECT_EQ(QN_scan_double_loop(g, loop->text, v, 2), 3);
        EXPECT_DOUBLE_EQ(v, 300);
    }

    // The server settings are the same in the Submit and Download tabs; the
    // password starts empty.
    std::vector<Fl_Secret_Input*> secrets;
    collect<Fl_Secret_Input>(w, secrets);
    ASSERT_EQ(secrets.size(), 2u);
    EXPECT_STREQ(secrets[0]->value(), "");
    type(w, "Server:", "10.0.0.7:2200");
    std::vector<Fl_Input*> inputs;
    collect<Fl_Input>(w, inputs);
    int mirrored = 0;
    for (Fl_Input* in : inputs)
        if (in->label() && std::strcmp(in->label(), "Server:") == 0 && std::strcmp(in->value(), "10.0.0.7:2200") == 0)
            mirrored++;
    EXPECT_EQ(mirrored, 2);
    EXPECT_EQ(QN_stored_text(g, "S_severip"), "10.0.0.7:2200");

    // The model link writes the picked path and shows it.
    int (*saved)(int, std::string&) = QN_path_picker;
    picked_path = dir.path("model.lmp");
    QN_path_picker = pick_fixed_path;
    press(find_labelled<Fl_Button>(w, "Select"));
    QN_path_picker = saved;
    EXPECT_EQ(QN_stored_text(g, "S_input"), picked_path);
    std::vector<Fl_Output*> outputs;
    collect<Fl_Output>(w, outputs);
    bool shown = false;
    for (Fl_Output* o : outputs)
        if (o->value() && picked_path == o->value()) shown = true;
    EXPECT_TRUE(shown);

    // An incomplete frame is refused before the server is reached (no
    // password is needed: keys and the agent may serve).
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_NE(QN_message_text().find("does not exist"), std::string::npos) << QN_message_text();
    EXPECT_TRUE(questions.empty());

    // Choosing the entry again while the window is open keeps it.
    EXPECT_EQ(open_frame(0), w);
    EXPECT_EQ(QN_frame_group(t.name), g);
}

TEST_F(FrameWindow, ClosingAndReopeningResetsTheDefaults) {
    Fl_Double_Window* w = open_frame(0);
    ASSERT_NE(w, nullptr);
    const int g = QN_frame_group(frames[0].name);
    enter(find_labelled<Fl_Value_Input>(w, " 1# Mass:"), 12.5);
    w->hide();
    Fl::check();
    Fl_Double_Window* again = open_frame(0);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->shown());
    EXPECT_EQ(QN_frame_group(frames[0].name), g);
    double mass = -1;
    EXPECT_EQ(QN_scan_double_multi(g, 0, "S_mass", mass), 1);
    EXPECT_DOUBLE_EQ(mass, 0);
    auto* input = find_labelled<Fl_Value_Input>(again, " 1# Mass:");
    ASSERT_NE(input, nullptr);
    EXPECT_DOUBLE_EQ(input->value(), 0);
}

// "Pack" writes the task folders into the Save Path as Submit sends them,
// and replaces them only when the user says so.
TEST_F(FrameWindow, PackWritesTheTaskFoldersIntoTheSavePath) {
    const std::string potential = "/usr/share/lammps/potentials/Cu_mishin1.eam.alloy";
    if (!fs::exists(potential)) GTEST_SKIP() << "no " << potential;
    Fl_Double_Window* w = open_frame(0);
    ASSERT_NE(w, nullptr);
    const int g = QN_frame_group(frames[0].name);
    QN_set_bit_char(g, "S_input", std::string(QUELM_TEST_DATA) + "/simulation/fixtures/cu_fcc.lmp");
    QN_set_bit_char(g, "S_pot1", potential);
    pick(find_labelled<Fl_Choice>(w, "Potential Type"), "EAM-Alloy");
    pick(find_labelled<Fl_Choice>(w, " Name"), "Cu");
    enter(find_labelled<Fl_Value_Input>(w, " 1# Mass:"), 63.546);
    auto* path = find_labelled<Fl_Input>(w, "Save Path:");
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path->value(), "");  // "No_file" in the store
    EXPECT_EQ(QN_stored_text(g, "S_path"), "No_file");
    const std::string out = dir.path("staged");
    path->value(out.c_str());
    path->do_callback();
    EXPECT_EQ(QN_stored_text(g, "S_path"), out);
    press(find_labelled<Fl_Button>(w, "Pack"));
    EXPECT_EQ(QN_message_text(), "Packed 1 task in " + out);
    for (const char* f : {"in", "in.variable", "in.potential", "cu_fcc.lmp", "Cu_mishin1.eam.alloy"})
        EXPECT_TRUE(fs::exists(out + "/R1/" + f)) << f;
    EXPECT_TRUE(questions.empty());
    // Again: asked, and kept on "No".
    answer = answer_no;
    press(find_labelled<Fl_Button>(w, "Pack"));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("Replace them?"), std::string::npos) << questions[0];
    EXPECT_NE(QN_message_text().find("Nothing was packed"), std::string::npos) << QN_message_text();
    answer = answer_yes;
    press(find_labelled<Fl_Button>(w, "Pack"));
    EXPECT_EQ(QN_message_text(), "Packed 1 task in " + out);
}

// A Host alias of the user's SSH configuration, picked from the Server
// field's list, reaches the server it names.
TEST_F(FrameWindowOnServer, AnAliasFromTheServerListReachesItsServer) {
    fs::create_directories(home + "/.ssh");
    {
        std::ofstream config(home + "/.ssh/config");
        config << "Host testcluster\n  HostName 127.0.0.1\n  Port " << sshd.port << "\n  User " << sshd.user << "\n";
    }
    Fl_Double_Window* w = fill();
    ASSERT_NE(w, nullptr);
    type(w, "User Name:", "");
    std::vector<Fl_Menu_Button*> menus;
    collect<Fl_Menu_Button>(w, menus);
    ASSERT_EQ(menus.size(), 2u);  // beside the Submit and the Download tab's Server field
    Fl_Menu_Button* menu = menus.front();
    int k = menu->find_index("testcluster");
    ASSERT_GE(k, 0);
    menu->value(k);
    menu->do_callback();
    const int g = QN_frame_group(frames[0].name);
    EXPECT_EQ(QN_stored_text(g, "S_severip"), "testcluster");
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_NE(QN_message_text().find("Submit complete"), std::string::npos) << QN_message_text();
    EXPECT_TRUE(fs::exists(sshd.home + "/run1/R1/in"));
    // Used once, it heads the list.
    EXPECT_EQ(QN_server_choices().front(), "testcluster");
}

TEST_F(FrameWindowOnServer, SubmitStagesTheRunOnTheServer) {
    Fl_Double_Window* w = fill();
    ASSERT_NE(w, nullptr);
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_NE(QN_message_text().find("Submit complete"), std::string::npos) << QN_message_text();
    // The new host key was shown to the user and remembered.
    ASSERT_FALSE(questions.empty());
    EXPECT_NE(questions.front().find("SHA256:"), std::string::npos) << questions.front();
    EXPECT_TRUE(known_hosts_has(home + "/.ssh/known_hosts", "[127.0.0.1]:" + std::to_string(sshd.port)))
        << slurp(home + "/.ssh/known_hosts");
    for (const char* f : {"in.variable", "in", "in.potential", "cu_fcc.lmp", "Cu_mishin1.eam.alloy"})
        EXPECT_TRUE(fs::exists(sshd.home + "/run1/R1/" + f)) << f;
    EXPECT_NE(slurp(sshd.home + "/run1/R1/in.potential").find("Cu"), std::string::npos);

    // Again, declining to overwrite R1: no success.
    questions.clear();
    answer = answer_no;
    QN_message("");
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_EQ(QN_message_text().find("Submit complete"), std::string::npos) << QN_message_text();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("Overwrite"), std::string::npos) << questions[0];
}

TEST_F(FrameWindowOnServer, RequestListsTheRunAndDownloadsTheSelectedFile) {
    Fl_Double_Window* w = fill();
    ASSERT_NE(w, nullptr);
    press(find_labelled<Fl_Button>(w, "Submit"));
    ASSERT_NE(QN_message_text().find("Submit complete"), std::string::npos) << QN_message_text();

    press(find_labelled<Fl_Button>(w, "Request"));
    Fl_Tree* tree = QN_frame_tree(frames[0].name);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->showroot(), 0);
    EXPECT_EQ(item_labels(tree->root()), std::vector<std::string>{"R1"});
    Fl_Tree_Item* r1 = tree->find_item("R1");
    ASSERT_NE(r1, nullptr);
    std::vector<std::string> files = item_labels(r1);
    EXPECT_TRUE(std::is_sorted(files.begin(), files.end())) << testing::PrintToString(files);
    for (const char* f : {"in.variable", "in", "in.potential", "cu_fcc.lmp"})
        EXPECT_NE(std::find(files.begin(), files.end(), f), files.end()) << f;

    Fl_Tree_Item* item = tree->find_item("R1/in.variable");
    ASSERT_NE(item, nullptr);
    tree->select(item, 0);
    const std::string save = dir.path("save");
    fs::create_directories(save);
    QN_set_bit_char(QN_frame_group(frames[0].name), "S_savefold", save);
    questions.clear();
    answer = answer_no;
    press(find_labelled<Fl_Button>(w, "Download Selected"));
    EXPECT_NE(QN_message_text().find("The files have been downloaded"), std::string::npos) << QN_message_text();
    const std::string local = save + "/R1/in.variable";
    ASSERT_TRUE(fs::exists(local));
    EXPECT_EQ(slurp(local), slurp(sshd.home + "/run1/R1/in.variable"));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("Would you like to open it now?"), std::string::npos);

    // Again, replacing the local copy and opening it in a viewer.
    questions.clear();
    answer = answer_yes;
    press(find_labelled<Fl_Button>(w, "Download Selected"));
    EXPECT_NE(QN_message_text().find("The files have been downloaded"), std::string::npos) << QN_message_text();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_NE(questions[0].find("Replace"), std::string::npos) << questions[0];
    Fl::check();
    Fl_Window* viewer = nullptr;
    for (Fl_Window* x = Fl::first_window(); x; x = Fl::next_window(x))
        if (x->label() && local == x->label()) viewer = x;
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->w(), 560);
    EXPECT_EQ(viewer->h(), 400);
    ASSERT_EQ(viewer->children(), 1);
    auto* browser = dynamic_cast<Fl_Browser*>(viewer->child(0));
    ASSERT_NE(browser, nullptr);
    EXPECT_EQ(browser->type(), FL_MULTI_BROWSER);
    ASSERT_GT(browser->size(), 0);
    EXPECT_NE(slurp(local).find(browser->text(1)), std::string::npos);
    viewer->hide();

    // A save folder that does not exist is refused.
    QN_set_bit_char(QN_frame_group(frames[0].name), "S_savefold", dir.path("missing"));
    press(find_labelled<Fl_Button>(w, "Download Selected"));
    EXPECT_EQ(QN_message_text(), "Can not access save folder");
}

// ---- Schedulers and campaigns ------------------------------------------------

TEST_F(FrameWindow, TheSchedulerTabTakesItsKindsFromTheTableAndKeepsItsSettings) {
    Fl_Double_Window* w = open_frame(0);
    ASSERT_NE(w, nullptr);
    auto* kind = find_labelled<Fl_Choice>(w, "Scheduler:");
    ASSERT_NE(kind, nullptr);
    const auto& kinds = QN_scheduler_kinds();
    ASSERT_EQ(static_cast<size_t>(kind->size() - 1), kinds.size());
    for (size_t k = 0; k < kinds.size(); k++) EXPECT_EQ(std::string(kind->text(static_cast<int>(k))), kinds[k].label);
    auto* partition = find_labelled<Fl_Input>(w, "Partition:");
    ASSERT_NE(partition, nullptr);
    EXPECT_FALSE(partition->active());  // direct: no job settings
    pick(kind, kinds[1].label);
    EXPECT_TRUE(partition->active());
    const int g = QN_frame_group(frames[0].name);
    EXPECT_EQ(QN_stored_text(g, "S_sched"), "slurm");
    for (const auto& [label, text] : std::vector<std::pair<const char*, const char*>>{
             {"Partition:", "small"}, {"Tasks:", "4"}, {"Environment:", "module load lammps; export A=1"},
             {"Launcher:", "mpirun -np 4 lmp -in in"}}) {
        auto* in = find_labelled<Fl_Input>(w, label);
        ASSERT_NE(in, nullptr) << label;
        in->value(text);
        in->do_callback();
    }
    const QN_scheduler_kind* chosen = nullptr;
    QN_job_settings job;
    std::string campaign_dir, why;
    ASSERT_TRUE(QN_job_from_group(g, "runs/anneal", chosen, job, campaign_dir, why)) << why;
    EXPECT_EQ(chosen, QN_scheduler_find("slurm"));
    EXPECT_EQ(job.partition, "small");
    EXPECT_EQ(job.tasks, 4);
    EXPECT_EQ(job.environment, (std::vector<std::string>{"module load lammps", "export A=1"}));
    EXPECT_EQ(job.launcher, "mpirun -np 4 lmp -in in");
    EXPECT_EQ(job.job_name, "anneal");
    // A number that is none is refused before anything is sent.
    QN_set_bit_char(g, "S_nodes", "two");
    EXPECT_FALSE(QN_job_from_group(g, "runs/anneal", chosen, job, campaign_dir, why));
    EXPECT_NE(why.find("Nodes \"two\""), std::string::npos) << why;
}

TEST_F(FrameWindow, TheCampaignsWindowListsRecordsAndColoursTheTasks) {
    fs::create_directories(dir.path("camp"));
    QN_campaign c;
    c.server = "hpc";
    c.folder = "/home/alice/runs/a";
    c.scheduler = "slurm";
    c.tasks = 4;
    c.arrays = {{"70", {1, 4, {}}}};
    std::string why;
    ASSERT_TRUE(QN_campaign_save(dir.path("camp/b.qnc"), c, why)) << why;
    ASSERT_TRUE(QN_campaign_save(dir.path("camp/a.qnc"), c, why)) << why;
    std::ofstream(dir.path("camp/a.qnc.state")) << "quelm-campaign-state 1\npolled 1765390000\nsource squeue\n"
                                                   "task 1 COMPLETED 0 65 70_0\ntask 2 FAILED 3 2 70_1\n"
                                                   "task 3 RUNNING -1 30 70_2\ntask 4 PENDING -1 -1 70_3\n";
    const Fl_Menu_Item* item = menu_bar->find_item("Simulation/Campaigns...");
    ASSERT_NE(item, nullptr);
    menu_bar->picked(item);  // opens on the current folder
    Fl::check();
    Fl_Double_Window* w = QN_show_campaigns(dir.path("camp"));
    Fl::check();
    ASSERT_TRUE(w->shown());
    ASSERT_EQ(QN_campaigns_view::records(), 2);
    EXPECT_EQ(QN_campaigns_view::record(1), "a.qnc");
    QN_campaigns_view::choose(1);
    ASSERT_EQ(QN_campaigns_view::tasks(), 4);
    EXPECT_EQ(QN_campaigns_view::task(1), "R1      COMPLETED     exit 0    0:01:05");
    EXPECT_EQ(QN_campaigns_view::task(2), "R2      FAILED        exit 3    0:00:02");
    EXPECT_EQ(QN_campaigns_view::task_colour(2), static_cast<unsigned>(FL_RED));
    EXPECT_EQ(QN_campaigns_view::task_colour(3), static_cast<unsigned>(FL_BLUE));
    EXPECT_NE(QN_campaigns_view::task_colour(1), QN_campaigns_view::task_colour(4));
    EXPECT_EQ(QN_campaigns_view::counts().rfind("1 COMPLETED, 1 FAILED, 1 RUNNING, 1 PENDING (", 0), 0u)
        << QN_campaigns_view::counts();
    // The other record has no states yet.
    QN_campaigns_view::choose(2);
    EXPECT_EQ(QN_campaigns_view::task(1), "R1      unknown");
    w->hide();
}

class FrameWindowOnSlurm : public FrameWindowOnServer {
protected:
    bool before_server(std::string& why) override { return cluster.start_for(sshd_setup, why); }
    TestSlurm cluster;
};

TEST_F(FrameWindowOnSlurm, SubmitQueuesTheRunAndTheCampaignsWindowFollowsAndFetchesIt) {
    Fl_Double_Window* w = fill();
    ASSERT_NE(w, nullptr);
    pick(find_labelled<Fl_Choice>(w, "Scheduler:"), QN_scheduler_find("slurm")->label);
    fs::create_directories(dir.path("camp"));
    type(w, "Partition:", cluster.partition);
    type(w, "Launcher:", "mpirun -np 1 lmp -in in");
    type(w, "Campaign Folder:", dir.path("camp"));
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_NE(QN_message_text().find("Campaign recorded in " + dir.path("camp") + "/run1.qnc"), std::string::npos)
        << QN_message_text();
    QN_campaign c;
    std::string why;
    ASSERT_TRUE(QN_campaign_load(dir.path("camp/run1.qnc"), c, why)) << why;
    EXPECT_EQ(c.source, "frame " + frames[0].name + " " + model);
    EXPECT_EQ(slurp(dir.path("camp/run1.qnc")).find(sshd.password), std::string::npos);

    // The cluster runs the tasks; then the window asks it.
    std::string out;
    for (int k = 0; k < 150; k++) {
        cluster.run("squeue -h -j " + c.arrays[0].job_id, &out);
        if (out.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    Fl_Double_Window* campaigns = QN_show_campaigns(dir.path("camp"));
    ASSERT_EQ(QN_campaigns_view::records(), 1);
    QN_campaigns_view::choose(1);
    EXPECT_EQ(QN_campaigns_view::task(1), "R1      unknown");
    QN_campaigns_view::refresh();
    ASSERT_EQ(QN_campaigns_view::tasks(), c.tasks);
    EXPECT_EQ(QN_campaigns_view::task(1).rfind("R1      COMPLETED     exit 0", 0), 0u) << QN_campaigns_view::task(1);
    EXPECT_EQ(QN_campaigns_view::task_colour(1), static_cast<unsigned>(fl_rgb_color(0, 130, 0)));
    // At once again: the states of the last poll, and when the next comes.
    QN_campaigns_view::refresh();
    EXPECT_NE(QN_message_text().find("asked again in"), std::string::npos) << QN_message_text();

    fs::create_directories(dir.path("results"));
    QN_campaigns_view::set_save_folder(dir.path("results"));
    QN_campaigns_view::select_task(1, true);
    QN_campaigns_view::fetch_selected();
    EXPECT_NE(QN_message_text().find("Fetched"), std::string::npos) << QN_message_text();
    EXPECT_NE(slurp(dir.path("results/R1/log.lammps")).find("Loop time"), std::string::npos);
    QN_campaigns_view::resubmit_failed();
    EXPECT_NE(QN_message_text().find("No task has failed"), std::string::npos) << QN_message_text();
    campaigns->hide();
}
