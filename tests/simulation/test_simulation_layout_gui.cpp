// The layout of the Simulation menu's windows in a real window: every tab of
// the wizards and the LAMMPS frames, with every item of their choices picked
// and every loop light on, and the Campaigns window, each at its default
// size and enlarged, with no widget or label clipped or overlapping; the
// tab labels whole at the window's minimum size; the server fields empty
// (with hints) on a fresh store; and the wizards opened on a model taking
// its elements and their standard masses.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Scrollbar.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/quelm_bind.h"
#include "app/quelm_shell.h"
#include "app/quelm_widgets.h"
#include "app/quelm_window.h"
#include "builders/monocrystal.h"
#include "gui_window.h"
#include "layout_check.h"
#include "qb/qb_tools.h"
#include "simulation/campaign_form.h"
#include "simulation/frame_form.h"
#include "simulation/frame_template.h"
#include "simulation/remote_form.h"
#include "simulation/wizard.h"
#include "simulation/wizard_form.h"
#include "simulation_gui_support.h"
#include "store/quelm_store.h"
#include "test_support.h"

namespace {

struct WizardEntry {
    const char* entry;
    QN_wizard kind;
};
const WizardEntry kWizards[4] = {{"Simulation/Quelm/&Dynamic", QN_wizard::dynamic},
                                 {"Simulation/Quelm/&Quasistatic", QN_wizard::quasistatic},
                                 {"Simulation/Quelm/&Shock", QN_wizard::shock},
                                 {"Simulation/Quelm/&Crack", QN_wizard::crack}};

Fl_Tabs* tabs_of(Fl_Window* w) {
    std::vector<Fl_Tabs*> tabs;
    collect<Fl_Tabs>(w, tabs);
    return tabs.size() == 1 ? tabs[0] : nullptr;
}

// Shown as the user sees it: the widget and every group above it.
bool on_screen(Fl_Widget* w) {
    for (Fl_Widget* p = w; p; p = p->parent())
        if (!p->visible()) return false;
    return true;
}

void select_tab(Fl_Tabs* tabs, int k) {
    tabs->value(tabs->child(k));
    tabs->do_callback();
    Fl::check();
}

// What layout::problems_of leaves to the window's own rules: the direct
// content of a tab page stays within the page (its content fits without
// scrolling), and a box's text fits its box (wrapped when it wraps).
void page_and_box_problems(Fl_Group* g, std::vector<std::string>& out) {
    if (!g) return;
    const bool page = dynamic_cast<Fl_Scroll*>(g) && g->parent() && dynamic_cast<Fl_Tabs*>(g->parent());
    for (int i = 0; i < g->children(); i++) {
        Fl_Widget* w = g->child(i);
        if (!w->visible()) continue;
        if (page && dynamic_cast<Fl_Scrollbar*>(w)) continue;
        if (page) {
            const layout::Rect area = layout::rect_of(g);
            if (!layout::rect_of(w).inside(area))
                out.push_back(layout::name_of(w) + " leaves its page " + layout::name_of(g));
            const layout::Rect l = layout::label_rect(w);
            if (!l.empty() && !l.inside(area))
                out.push_back("the label of " + layout::name_of(w) + " leaves its page " + layout::name_of(g));
        }
        if (dynamic_cast<Fl_Box*>(w) && w->label() && *w->label() &&
            ((w->align() & FL_ALIGN_INSIDE) || !(w->align() & 15))) {
            const int room = w->w() - Fl::box_dw(w->box()) - ((w->align() & (FL_ALIGN_LEFT | FL_ALIGN_RIGHT)) ? 6 : 0);
            fl_font(w->labelfont(), w->labelsize());
            int tw = (w->align() & FL_ALIGN_WRAP) ? room : 0, th = 0;
            fl_measure(w->label(), tw, th, 0);
            if (tw > room || th > w->h() - Fl::box_dh(w->box()))
                out.push_back(layout::name_of(w) + " cuts its text (" + std::to_string(tw) + "x" + std::to_string(th) +
                              " in " + std::to_string(room) + "x" + std::to_string(w->h()) + ")");
        }
        if (Fl_Group* inner = w->as_group()) page_and_box_problems(inner, out);
    }
}

// The problems of the window as it is shown now, each prefixed with where.
void add_problems(Fl_Window* win, const std::string& where, std::vector<std::string>& all) {
    Fl::check();
    std::vector<std::string> found = layout::problems_of(win);
    page_and_box_problems(win, found);
    for (const std::string& p : found) {
        const std::string line = where + ": " + p;
        bool seen = false;
        for (const std::string& a : all) seen = seen || a == line;
        if (!seen) all.push_back(line);
    }
}

// Every tab of a window: as it opens, after picking each item of each of its
// choices (up to the type count's and the links' ranges; not the element
// lists), and with every loop light on.
std::vector<std::string> problems_of_every_tab(Fl_Window* win) {
    std::vector<std::string> all;
    Fl_Tabs* tabs = tabs_of(win);
    if (!tabs) {
        add_problems(win, win->label(), all);
        return all;
    }
    for (int k = 0; k < tabs->children(); k++) {
        select_tab(tabs, k);
        const std::string tab = std::string(win->label()) + " / " + tabs->child(k)->label();
        add_problems(win, tab, all);
        std::vector<Fl_Choice*> choices;
        collect<Fl_Choice>(tabs->child(k)->as_group(), choices);
        for (Fl_Choice* c : choices) {
            if (!on_screen(c) || c->size() - 1 > 25) continue;
            const int was = c->value();
            for (int i = 0; i < c->size() - 1; i++) {
                if (!c->menu()[i].label()) continue;
                c->value(i);
                c->do_callback();
                add_problems(win, tab + " (" + (c->label() ? c->label() : "choice") + " " + c->menu()[i].label() + ")",
                             all);
            }
            c->value(was < 0 ? 0 : was);
            c->do_callback();
        }
        std::vector<Fl_Light_Button*> lights;
        collect<Fl_Light_Button>(tabs->child(k)->as_group(), lights);
        for (Fl_Light_Button* l : lights) {
            l->value(1);
            l->do_callback();
        }
        if (!lights.empty()) add_problems(win, tab + " (loops on)", all);
        for (Fl_Light_Button* l : lights) {
            l->value(0);
            l->do_callback();
        }
    }
    select_tab(tabs, 0);
    return all;
}

// Fl_Tabs (1.3) gives each tab its label's width and 10 pixels, and 2
// between tabs; wider than the tabs, the labels are squeezed and cut.
int tab_labels_width(Fl_Tabs* tabs) {
    int width = Fl::box_dx(tabs->box());
    for (int k = 0; k < tabs->children(); k++) {
        Fl_Widget* c = tabs->child(k);
        fl_font(c->labelfont(), c->labelsize());
        int tw = 0, th = 0;
        fl_measure(c->label(), tw, th, 0);
        width += tw + 10 + 2;
    }
    return width;
}

// The smallest size the window manager is told the window may take, or 0.
void minimum_size(Fl_Window* win, int& w, int& h) {
    w = h = 0;
    XSizeHints hints;
    long supplied = 0;
    if (!fl_xid(win) || !XGetWMNormalHints(fl_display, fl_xid(win), &hints, &supplied)) return;
    if (hints.flags & PMinSize) {
        w = hints.min_width;
        h = hints.min_height;
    }
}

// The window checked at its default size, at its minimum (tab labels whole)
// and 1.25 times larger when it can be resized.
void check_window(Fl_Double_Window* win) {
    ASSERT_NE(win, nullptr);
    ASSERT_TRUE(win->shown());
    Fl::check();
    const int w0 = win->w(), h0 = win->h();
    std::vector<std::string> problems = problems_of_every_tab(win);
    EXPECT_TRUE(problems.empty()) << win->label() << " at " << w0 << "x" << h0 << ":\n" << layout::joined(problems);

    int min_w = 0, min_h = 0;
    minimum_size(win, min_w, min_h);
    EXPECT_GT(min_w, 0) << win->label() << ": no minimum size given";
    EXPECT_GT(min_h, 0) << win->label() << ": no minimum size given";
    EXPECT_LE(min_w, w0) << win->label();
    EXPECT_LE(min_h, h0) << win->label();
    if (min_w > 0 && min_h > 0) {
        win->resize(win->x(), win->y(), min_w, min_h);
        Fl::check();
        if (Fl_Tabs* tabs = tabs_of(win)) {
            EXPECT_LE(tab_labels_width(tabs), tabs->w())
                << win->label() << ": the tab labels are cut at " << min_w << "x" << min_h;
        }
        problems = problems_of_every_tab(win);
        EXPECT_TRUE(problems.empty()) << win->label() << " at its minimum " << min_w << "x" << min_h << ":\n"
                                      << layout::joined(problems);
    }
    if (win->resizable()) {
        const int w1 = static_cast<int>(std::lround(w0 * 1.25)), h1 = static_cast<int>(std::lround(h0 * 1.25));
        win->resize(win->x(), win->y(), w1, h1);
        Fl::check();
        problems = problems_of_every_tab(win);
        EXPECT_TRUE(problems.empty()) << win->label() << " enlarged to " << w1 << "x" << h1 << ":\n"
                                      << layout::joined(problems);
        if (Fl_Tabs* tabs = tabs_of(win)) {
            // The tab bar keeps its height; the pages take the room.
            EXPECT_EQ(tabs->child(0)->y(), tabs->y() + QN_SIM_TAB_BAR) << win->label();
            EXPECT_GT(tabs->child(0)->h(), QN_SIM_TABS_H - QN_SIM_TAB_BAR) << win->label();
        }
    }
    win->resize(win->x(), win->y(), w0, h0);
    Fl::check();
}

class SimulationLayout : public testing::Test {
protected:
    void SetUp() override {
        open_simulation_window();
        read_shipped_frames(paths, frames);
    }
    void TearDown() override {
        for (const WizardEntry& e : kWizards)
            if (Fl_Double_Window* w = QN_wizard_window(e.kind)) w->hide();
        for (const QN_frame_template& t : frames)
            if (Fl_Double_Window* w = QN_frame_window(t.name)) w->hide();
        Fl::check();
        QB_free_atom(&Current_Model);
        QB_free_elename(&Current_Model);
        QB_init(&Current_Model);
    }

    void open_menu(const std::string& entry) {
        const Fl_Menu_Item* item = menu_bar->find_item(entry.c_str());
        if (!item) return;
        menu_bar->picked(item);
        Fl::check();
    }
    Fl_Double_Window* open_wizard(const WizardEntry& e) {
        open_menu(e.entry);
        return QN_wizard_window(e.kind);
    }
    Fl_Double_Window* open_frame(size_t k) {
        open_menu("Simulation/LAMMPS/" + frames[k].name);
        return QN_frame_window(frames[k].name);
    }

    // The Monocrystal builder's default crystal (fcc, a = 3.615) with its
    // types named, as the current model.
    void build_model(int structure, const char* elements) {
        QN_single_params p;
        p.structure = structure;
        p.a = QN_single_structures[structure].a;
        p.b = QN_single_structures[structure].b;
        p.c = QN_single_structures[structure].c;
        p.elements = elements;
        std::string message;
        ASSERT_EQ(QN_model_single_build(&Current_Model, p, message), QN_SINGLE_BUILT) << message;
    }

    std::vector<std::string> paths;
    std::vector<QN_frame_template> frames;
};

// Widgets of type T labelled `label` on the shown tab page (or anywhere).
template <class T>
std::vector<T*> labelled(Fl_Group* g, const char* label) {
    std::vector<T*> all, out;
    collect<T>(g, all);
    for (T* t : all)
        if (t->label() && std::strcmp(t->label(), label) == 0) out.push_back(t);
    return out;
}

}  // namespace

TEST_F(SimulationLayout, EveryWizardTabFitsItsWindowAtEverySize) {
    for (const WizardEntry& e : kWizards) {
        SCOPED_TRACE(e.entry);
        Fl_Double_Window* w = open_wizard(e);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->w(), QN_SIM_WINDOW_W);
        EXPECT_EQ(w->h(), QN_SIM_TABS_H + 45);  // the tabs and the bar of Save, Back and Next
        check_window(w);
        w->hide();
        Fl::check();
    }
}

TEST_F(SimulationLayout, TheWizardsLookTheSameBesideTheMainWindowAtBothSizes) {
    for (const auto& size : {std::pair<int, int>{1280, 720}, std::pair<int, int>{1600, 1000}}) {
        main_window->resize(0, 0, size.first, size.second);
        Fl::check();
        for (const WizardEntry& e : {kWizards[0], kWizards[3]}) {
            Fl_Double_Window* w = open_wizard(e);
            ASSERT_NE(w, nullptr);
            const std::vector<std::string> problems = problems_of_every_tab(w);
            EXPECT_TRUE(problems.empty()) << "main window " << size.first << "x" << size.second << ":\n"
                                          << layout::joined(problems);
            w->hide();
            Fl::check();
        }
    }
}

TEST_F(SimulationLayout, EveryFrameTabFitsItsWindowAtEverySize) {
    ASSERT_FALSE(frames.empty());
    for (const auto& size : {std::pair<int, int>{1280, 720}, std::pair<int, int>{1600, 1000}}) {
        main_window->resize(0, 0, size.first, size.second);
        Fl::check();
        for (size_t k = 0; k < frames.size(); k++) {
            SCOPED_TRACE(frames[k].name + " beside a main window of " + std::to_string(size.first));
            Fl_Double_Window* w = open_frame(k);
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(w->w(), QN_SIM_WINDOW_W);
            EXPECT_EQ(w->h(), QN_SIM_TABS_H);  // the tabs alone
            check_window(w);
            w->hide();
            Fl::check();
        }
    }
}

TEST_F(SimulationLayout, TheCampaignsWindowFitsAtEverySize) {
    ScratchDir dir;
    Fl_Double_Window* w = QN_show_campaigns(dir.dir());
    ASSERT_NE(w, nullptr);
    Fl::check();
    check_window(w);
    EXPECT_NE(w->resizable(), nullptr);
    w->hide();
}

// A fresh frame stores "No_file" for the server settings: its fields show
// nothing but their hints, and what is typed is what the submission reads.
TEST_F(SimulationLayout, AFreshFrameShowsEmptyServerFieldsWithHints) {
    Fl_Double_Window* w = open_frame(0);
    ASSERT_NE(w, nullptr);
    const int g = QN_frame_group(frames[0].name);
    ASSERT_EQ(QN_stored_text(g, "S_severip"), "No_file");  // what older status files hold
    struct Field {
        const char* label;
        const char* key;
        const char* typed;
    } fields[] = {{"Server:", "S_severip", "hpc.example.org"},
                  {"User Name:", "S_severname", "alice"},
                  {"Server Folder:", "S_severfold", "/scratch/alice/anneal"},
                  {"Submit Command:", "S_severcomm", "sbatch job.sh"}};
    for (const Field& f : fields) {
        SCOPED_TRACE(f.label);
        std::vector<Fl_Input*> ins = labelled<Fl_Input>(w, f.label);
        ASSERT_FALSE(ins.empty());
        for (Fl_Input* in : ins) {
            EXPECT_STREQ(in->value(), "");
            auto* hinted = dynamic_cast<QN_hint_input*>(in);
            ASSERT_NE(hinted, nullptr);
            EXPECT_FALSE(hinted->hint().empty());
            EXPECT_FALSE(QN_is_placeholder(hinted->hint()));
        }
        ins.front()->value(f.typed);
        ins.front()->do_callback();
        EXPECT_EQ(QN_stored_text(g, f.key), f.typed);
        for (Fl_Input* in : ins) EXPECT_STREQ(in->value(), f.typed);  // the Download tab shows it too
        // Emptied again: stored empty, which the submission takes as none.
        ins.front()->value("");
        ins.front()->do_callback();
        EXPECT_EQ(QN_stored_text(g, f.key, "unset"), "");
    }
    // A placeholder an older status file holds is no server: refused before
    // anything else (no connection to a host "No_file").
    QN_set_bit_char(g, "S_severip", "No_file");
    QN_message("");
    press(find_labelled<Fl_Button>(w, "Submit"));
    EXPECT_EQ(QN_message_text().rfind("Please enter the Server", 0), 0u) << QN_message_text();
    EXPECT_TRUE(questions.empty());
    // Nor is a placeholder folder one: the listing asks for it first.
    QN_set_bit_char(g, "S_severip", "hpc.example.org");
    QN_set_bit_char(g, "S_severfold", "No_file");
    press(find_labelled<Fl_Button>(w, "Request"));
    EXPECT_EQ(QN_message_text(), "Please enter the Server Folder");
    EXPECT_TRUE(questions.empty());
    // Pack needs the Save Path.
    press(find_labelled<Fl_Button>(w, "Pack"));
    EXPECT_EQ(QN_message_text(), "Please choose the Save Path first");

    // The wizards' server fields and save path start empty with hints too.
    for (const WizardEntry& e : kWizards) {
        SCOPED_TRACE(e.entry);
        Fl_Double_Window* z = open_wizard(e);
        ASSERT_NE(z, nullptr);
        for (const char* label : {"Server:", "User Name:", "Server Folder:", "Submit Command:", "Save Path:"}) {
            std::vector<Fl_Input*> ins = labelled<Fl_Input>(z, label);
            ASSERT_FALSE(ins.empty()) << label;
            for (Fl_Input* in : ins) {
                EXPECT_STREQ(in->value(), "") << label;
                auto* hinted = dynamic_cast<QN_hint_input*>(in);
                ASSERT_NE(hinted, nullptr) << label;
                EXPECT_FALSE(hinted->hint().empty()) << label;
            }
        }
        // The old "blank" of the Save Path is no folder.
        Fl_Input* path = labelled<Fl_Input>(z, "Save Path:").front();
        path->value("blank");
        QN_message("");
        press(find_labelled<Fl_Button>(z, "Pack"));
        EXPECT_EQ(QN_message_text(), "Please choose the Save Path first");
    }
}

TEST_F(SimulationLayout, AWizardOpenedOnACopperModelShowsCopperAndItsMass) {
    build_model(0, "Cu");
    ASSERT_EQ(QB_elename_list(&Current_Model), "Cu");
    const double copper = QB_element_mass("Cu");
    ASSERT_GT(copper, 63);
    Fl_Double_Window* w = open_wizard(kWizards[0]);
    ASSERT_NE(w, nullptr);
    const int g = QN_wizard_about(QN_wizard::dynamic).group;
    auto* name = find_labelled<Fl_Choice>(w, " Name");
    ASSERT_NE(name, nullptr);
    ASSERT_NE(name->text(), nullptr);
    EXPECT_STREQ(name->text(), "Cu");
    auto* mass = find_labelled<Fl_Value_Input>(w, " 1# Mass:");
    ASSERT_NE(mass, nullptr);
    EXPECT_DOUBLE_EQ(mass->value(), copper);
    double stored = 0;
    EXPECT_EQ(QN_scan_double_multi(g, 0, "S_mass", stored), 1);
    EXPECT_DOUBLE_EQ(stored, copper);  // what Pack and Submit check and write
    EXPECT_EQ(QN_stored_int(g, "S_elenum", -1), 0);

    // Another element picked gives its standard mass, unless one was typed.
    pick(name, "Ni");
    EXPECT_DOUBLE_EQ(mass->value(), QB_element_mass("Ni"));
    EXPECT_EQ(QN_scan_double_multi(g, 0, "S_mass", stored), 1);
    EXPECT_DOUBLE_EQ(stored, QB_element_mass("Ni"));
    enter(mass, 60);
    pick(name, "Cu");
    EXPECT_DOUBLE_EQ(mass->value(), 60);

    // A typed mass is the user's: reopening keeps it.
    enter(mass, 63.5);
    w->hide();
    Fl::check();
    w = open_wizard(kWizards[0]);
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(w, " 1# Mass:")->value(), 63.5);
    w->hide();
    Fl::check();

    // Two named types (rock salt): two mass rows with their elements.
    build_model(5, "Na,Cl");
    ASSERT_EQ(Current_Model.ntypes, 2);
    Fl_Double_Window* q = open_wizard(kWizards[1]);
    ASSERT_NE(q, nullptr);
    const int qg = QN_wizard_about(QN_wizard::quasistatic).group;
    EXPECT_EQ(QN_stored_int(qg, "S_elenum", -1), 1);
    std::vector<Fl_Choice*> names = labelled<Fl_Choice>(q, " Name");
    ASSERT_GE(names.size(), 2u);
    EXPECT_STREQ(names[0]->text(), "Na");
    EXPECT_STREQ(names[1]->text(), "Cl");
    EXPECT_TRUE(names[1]->visible());
    for (int k = 0; k < 2; k++) {
        double m = 0;
        EXPECT_EQ(QN_scan_double_multi(qg, k, "S_mass", m), 1);
        EXPECT_NEAR(m, QB_element_mass(k == 0 ? "Na" : "Cl"), 1e-5) << k;  // as the store keeps numbers
    }
}

TEST_F(SimulationLayout, AWizardOpenedOnAModelWithoutNamesKeepsHydrogenAndNoMass) {
    build_model(0, "");
    ASSERT_EQ(QB_unnamed_type(&Current_Model), 1);
    Fl_Double_Window* w = open_wizard(kWizards[2]);
    ASSERT_NE(w, nullptr);
    auto* name = find_labelled<Fl_Choice>(w, " Name");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name->text(), "H");
    EXPECT_DOUBLE_EQ(find_labelled<Fl_Value_Input>(w, " 1# Mass:")->value(), 0);
}

TEST_F(SimulationLayout, TheRelaxModeShowsNoseHooverAndStoresItsIndex) {
    for (const WizardEntry& e : kWizards) {
        if (e.kind == QN_wizard::shock) continue;  // NVE only
        SCOPED_TRACE(e.entry);
        Fl_Double_Window* w = open_wizard(e);
        ASSERT_NE(w, nullptr);
        auto* relax = find_labelled<Fl_Choice>(w, "Relax Mode:");
        ASSERT_NE(relax, nullptr);
        EXPECT_STREQ(relax->menu()[0].label(), "Nose-Hoover");
        const int g = QN_wizard_about(e.kind).group;
        if (relax->size() - 1 > 1) {
            pick(relax, relax->menu()[1].label());
            EXPECT_EQ(QN_stored_int(g, "S_relax", -1), 1);
        }
        pick(relax, "Nose-Hoover");
        EXPECT_EQ(QN_stored_int(g, "S_relax", -1), 0);  // the index, as stored files hold it
    }
}

