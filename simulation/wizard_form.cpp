// The windows of the four simulation wizards. The wizard core (wizard.h)
// owns the store groups, the checks, the packed and submitted files and the
// crack results; this file lays the widgets out, binds them to the wizard's
// store group and shows the core's reports in the message area.
//
// What is not in the store lives in the widgets only: the type links, the
// element names, the image settings (except their colour, "S_img1" …), the
// save path and the password. The crack wizard binds its server fields
// (without the password) so that they are saved with its status file.
#include "simulation/wizard_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Tree.H>
#include <FL/Fl_Tree_Item.H>
#include <FL/Fl_Value_Input.H>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "app/quelm_widgets.h"
#include "builders/layers_form.h"
#include "qb/qb_tools.h"
#include "simulation/frame_template.h"
#include "simulation/campaign.h"
#include "simulation/remote_form.h"
#include "simulation/remote_tasks.h"
#include "simulation/ssh_session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kTypes = 10;
// A link maps a model type (1 ... kTypes) to an element of the potential:
// one per type is all there can be.
constexpr int kLinks = kTypes;
constexpr int kLinkColumns = 4;
constexpr int kImages = 5;
constexpr int kBar = 45;  // the height of the bar of buttons below the tabs


struct ImageWidgets {
    Fl_Group* group = nullptr;
    Fl_Value_Input* width = nullptr;
    Fl_Value_Input* height = nullptr;
    Fl_Choice* colour = nullptr;
    Fl_Value_Input* rotx = nullptr;
    Fl_Value_Input* roty = nullptr;
    Fl_Value_Input* rotz = nullptr;
    Fl_Value_Input* distance = nullptr;
};

struct Wizard {
    QN_wizard kind = QN_wizard::dynamic;
    int index = 0;  // position in `wizards`, for the per-wizard actions
    int group = 0;
    int owner = -1;
    // The scheduler and job settings of Submit, in a group of their own: the
    // wizard's group is written whole into every task script.
    int job_group = -1;
    Fl_Double_Window* window = nullptr;
    std::string save_name;  // base of the task scripts of "Save" once chosen

    Fl_Tabs* tabs = nullptr;
    Fl_Button* back = nullptr;
    Fl_Button* next = nullptr;

    // Model
    Fl_Output* model_out = nullptr;   // "S_inputa" of "Select File"
    Fl_Output* bottom_out = nullptr;  // "S_inputa" of "Tilt Interface"
    Fl_Output* upper_out = nullptr;   // "S_inputb"
    Fl_Choice* input_mode = nullptr;
    Fl_Group* model_group = nullptr;  // "Model Setting"
    Fl_Group* model_file = nullptr;   // its rows of one model file (crack)
    Fl_Group* model_tilt = nullptr;   // its rows of a tilt interface (crack)
    Fl_Choice* solute_mode = nullptr;
    Fl_Group* solute_group = nullptr;  // "Solute Setting"
    Fl_Group* solute[2] = {};          // its rows of each solute mode

    // Potential
    Fl_Output* pot_out = nullptr;
    Fl_Group* pot_group = nullptr;
    Fl_Choice* link_count = nullptr;
    Fl_Value_Input* link_from[kLinks] = {};
    Fl_Value_Input* link_to[kLinks] = {};
    Fl_Group* mass_group = nullptr;
    Fl_Choice* type_sum = nullptr;
    Fl_Value_Input* mass[kTypes] = {};
    Fl_Choice* element[kTypes] = {};
    int element_was[kTypes] = {};  // the element shown before the last pick
    // The standard masses the window gave the types of the current model
    // (0: none): replaced when the model's elements change, unless typed over.
    double model_mass[kTypes] = {};

    // Loading
    Fl_Choice* load_mode = nullptr;
    Fl_Choice* axis = nullptr;   // x, y, z
    Fl_Choice* shear = nullptr;  // the shear planes
    Fl_Group* load_group = nullptr;   // "Loading Setting" / "Crack Setting"
    std::vector<Fl_Group*> crack_groups;  // its rows of each crack method
    Fl_Choice* relax = nullptr;
    Fl_Group* relax_group = nullptr;  // "Relax Setting"
    std::vector<Fl_Group*> relax_groups;  // its rows of each relax mode

    // Output
    Fl_Choice* img_sum = nullptr;
    Fl_Group* image_group = nullptr;  // "Images": a row per image
    ImageWidgets images[kImages];

    // Submit
    Fl_Output* script_out = nullptr;
    QN_hint_input* path_out = nullptr;  // the folder Pack writes into (not stored)
    Fl_Input* ip = nullptr;
    Fl_Input* user = nullptr;
    Fl_Input* password = nullptr;
    Fl_Input* folder = nullptr;
    Fl_Input* command = nullptr;

    // Download (crack)
    Fl_Input* d_ip = nullptr;
    Fl_Input* d_user = nullptr;
    Fl_Input* d_password = nullptr;
    Fl_Input* d_folder = nullptr;
    Fl_Output* save_out = nullptr;
    Fl_Tree* tree = nullptr;
    QN_download_filelist list;

    std::vector<std::unique_ptr<QN_loop_field>> loops;
    std::vector<std::unique_ptr<QN_loop_field>> retired;  // of the content before

    bool crack() const { return kind == QN_wizard::crack; }
};

Wizard wizards[4];

Wizard& wizard_of(QN_wizard kind) {
    const int k = static_cast<int>(kind);
    Wizard& w = wizards[k];
    w.kind = kind;
    w.index = k;
    w.group = QN_wizard_about(kind).group;
    return w;
}

// The after-change actions of the bindings take no argument: one function
// per wizard and action.
template <void (*F)(Wizard&), int K>
void run_action() {
    F(wizards[K]);
}
template <void (*F)(Wizard&)>
void (*action(const Wizard& w))() {
    static void (*const table[4])() = {run_action<F, 0>, run_action<F, 1>, run_action<F, 2>, run_action<F, 3>};
    return table[w.index];
}

// ---- Small helpers -----------------------------------------------------------

Fl_Choice* choice(int x, int y, int w, int h, const char* label, std::initializer_list<const char*> items) {
    auto* c = new Fl_Choice(x, y, w, h, label);
    for (const char* item : items) c->add(QN_menu_escape(item).c_str(), 0, nullptr, nullptr, 0);
    c->value(0);
    return c;
}

Fl_Group* framed(int x, int y, int w, int h, const char* label) {
    auto* g = new Fl_Group(x, y, w, h, label);
    QN_framed(g);
    return g;
}

Fl_Value_Input* value_input(int x, int y, int w, int h, const char* label = nullptr) {
    auto* v = new Fl_Value_Input(x, y, w, h, label);
    return v;
}

std::string text_of(const Fl_Input* in) { return in && in->value() ? in->value() : ""; }

void set_text(Fl_Input* in, const std::string& text) {
    if (in && text_of(in) != text) in->value(text.c_str());
}

// A stored path as an output shows it: the defaults mean "no file".
std::string shown_path(const Wizard& w, const char* label) {
    const std::string p = QN_stored_text(w.group, label, "blank");
    if (p.empty() || p == "blank" || p == "No_File" || p == "None" || p == "NULL") return "No file";
    return p;
}

void show_if(Fl_Widget* w, bool on) {
    if (!w) return;
    if (on) w->show();
    else w->hide();
}

void redraw(Wizard& w) {
    if (w.window) w.window->redraw();
}

// The path chooser the bindings use, captured before any test replaces it.
int (*const native_picker)(int, std::string&) = QN_path_picker;

// Asks for a path: with the native chooser, one of the given title, type and
// filter; otherwise (a replaced picker) through QN_path_picker.
bool choose_path(const char* title, int type, const char* filter, std::string& chosen) {
    if (QN_path_picker != native_picker) {
        if (!QN_path_picker) return false;
        const int directory = type == Fl_Native_File_Chooser::BROWSE_DIRECTORY ||
                                      type == Fl_Native_File_Chooser::BROWSE_SAVE_DIRECTORY
                                  ? 1
                                  : 0;
        return QN_path_picker(directory, chosen) == 1 && !chosen.empty();
    }
    return QN_choose_file(title, type, filter, chosen);
}

// ---- Loop fields -------------------------------------------------------------

// A loop field bound to `label`: the single input (sx, y, sw), the loop
// inputs of width lw at lx, lx + lw, lx + 2 lw and the light (bx, y, bw).
QN_loop_field* loop_field(Wizard& w, const char* label, bool integer, int sx, int y, int sw, int lw, int bx, int bw) {
    auto loop = std::make_unique<QN_loop_field>();
    loop->single = value_input(sx, y, sw, 30, label);
    loop->start = value_input(sx, y, lw, 30, label);
    loop->start->tooltip("Start of the loop");
    loop->end = value_input(sx + lw, y, lw, 30);
    loop->end->tooltip("End of the loop");
    loop->step = value_input(sx + 2 * lw, y, lw, 30);
    loop->step->tooltip("Step of the loop");
    loop->toggle = new Fl_Light_Button(bx, y, bw, 30);
    loop->toggle->tooltip("Loop over start ... end by step");
    if (integer) {
        loop->single->step(1);
        QN_get_int(loop->single, w.group, label, w.owner);
    } else {
        QN_get_double(loop->single, w.group, label, w.owner);
    }
    QN_get_loop(loop->start, loop->end, loop->step, w.group, label, w.owner);
    double first = 0;
    loop->toggle->value(QN_scan_double_loop(w.group, label, first, 0) > 1 ? 1 : 0);
    loop->toggle->callback(QN_loop_callback, loop.get());
    QN_loop_callback(loop->toggle, loop.get());
    w.loops.push_back(std::move(loop));
    return w.loops.back().get();
}

QN_loop_field* loop_at(Wizard& w, const char* shown, const char* label, int x, int y) {
    QN_loop_field* f = loop_field(w, label, false, x, y, 105, 35, x + 105, 15);
    f->single->copy_label(shown);
    f->start->copy_label(shown);
    return f;
}

// Runs the callbacks of the shown value inputs and choices of g, so that the
// values of the group now shown are the stored ones (groups share labels).
void rewrite_shown(Fl_Group* g) {
    if (!g) return;
    for (int i = 0; i < g->children(); i++) {
        Fl_Widget* c = g->child(i);
        if (!c->visible()) continue;
        if (dynamic_cast<Fl_Value_Input*>(c) || dynamic_cast<Fl_Choice*>(c)) c->do_callback();
    }
}

// ---- Model -------------------------------------------------------------------

void show_model(Wizard& w) {
    if (w.model_out) w.model_out->value(shown_path(w, "S_inputa").c_str());
    if (w.bottom_out) w.bottom_out->value(shown_path(w, "S_inputa").c_str());
}
void show_upper(Wizard& w) {
    if (w.upper_out) w.upper_out->value(shown_path(w, "S_inputb").c_str());
}

// The crack's model: one file or the two crystals of a tilt interface; the
// Model group takes the height of the mode shown and the solute settings
// follow below it.
void update_bulk(Wizard& w) {
    if (!w.crack()) return;  // a single mode: nothing to lay out
    const int mode = w.input_mode->value() == 1 ? 1 : 0;
    show_if(w.model_file, mode == 0);
    show_if(w.model_tilt, mode == 1);
    Fl_Group* shown = mode == 0 ? w.model_file : w.model_tilt;
    w.model_group->size(w.model_group->w(), shown->y() + shown->h() + 5 - w.model_group->y());
    w.solute_group->position(w.solute_group->x(), w.model_group->y() + w.model_group->h() + 30);
    redraw(w);
}

void update_solute(Wizard& w) {
    const int mode = w.solute_mode->value() == 1 ? 1 : 0;
    show_if(w.solute[0], mode == 0);
    show_if(w.solute[1], mode == 1);
    redraw(w);
}

// "More": the interface search of the two crystals; its rows are shown in
// the scan's result table, whose "Save" writes the ticked ones into group 4.
void search_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    std::vector<scaned_data> rows;
    std::string message;
    QN_wait("Searching interfaces");
    const int found = QN_crack_search(rows, message);
    QN_wait_end();
    if (found < 0) {
        QN_message_alert(message.empty() ? "The interface search failed" : message.c_str());
        return;
    }
    if (rows.empty()) {
        QN_message_alert("No interface was found within the limits");
        return;
    }
    QN_Crack_scancb(nullptr, nullptr);
    if (SCAN_DATA) {
        SCAN_DATA->data = rows;
        SCAN_DATA->SetRow(static_cast<int>(rows.size()));
        SCAN_DATA->redraw();
    }
    QN_message((std::to_string(rows.size()) + " interfaces found: tick the ones to run and press \"Save\"").c_str());
    redraw(w);
}

void build_model_tab(Wizard& w) {
    Fl_Scroll* s = QN_simulation_tab("Model");
    if (!w.crack()) {
        w.model_group = framed(10, 60, 600, 90, "Model Setting");
        auto* mode = choice(120, 70, 150, 30, "Model Mode", {"Select File"});
        QN_choice(mode, w.group, "S_model", w.owner);
        w.model_out = new Fl_Output(20, 110, 440, 30);
        auto* select = new Fl_Button(460, 110, 70, 30, "Select");
        QN_get_file_plus(select, w.group, "S_inputa", action<show_model>(w), w.owner);
        w.model_group->end();
        show_model(w);
        s->end();
        return;
    }

    // One "Model Setting" group: the mode, then the rows of the mode shown.
    w.model_group = framed(10, 60, 600, 210, "Model Setting");
    w.input_mode = choice(120, 70, 150, 30, "Input Mode", {"Select File", "Tilt Interface"});
    QN_choice_plus(w.input_mode, w.group, "S_model", action<update_bulk>(w), w.owner);
    w.model_file = new Fl_Group(20, 105, 580, 40);
    w.model_out = new Fl_Output(20, 110, 440, 30);
    auto* select = new Fl_Button(460, 110, 70, 30, "Select");
    QN_get_file_plus(select, w.group, "S_inputa", action<show_model>(w), w.owner);
    w.model_file->end();

    w.model_tilt = new Fl_Group(20, 105, 580, 160);
    w.bottom_out = new Fl_Output(20, 110, 180, 30);
    auto* bottom = new Fl_Button(200, 110, 70, 30, "Bottom");
    bottom->tooltip("The bottom crystal");
    QN_get_file_plus(bottom, w.group, "S_inputa", action<show_model>(w), w.owner);
    QN_get_double(value_input(380, 110, 60, 30, "Tilt Angle Min"), w.group, "S_minanga", w.owner);
    QN_get_double(value_input(480, 110, 60, 30, "Max"), w.group, "S_maxanga", w.owner);
    w.upper_out = new Fl_Output(20, 150, 180, 30);
    auto* upper = new Fl_Button(200, 150, 70, 30, "Upper");
    upper->tooltip("The upper crystal");
    QN_get_file_plus(upper, w.group, "S_inputb", action<show_upper>(w), w.owner);
    QN_get_double(value_input(380, 150, 60, 30, "Tilt Angle Min"), w.group, "S_minangb", w.owner);
    QN_get_double(value_input(480, 150, 60, 30, "Max"), w.group, "S_maxangb", w.owner);
    QN_get_double(value_input(130, 190, 60, 30, "Maximum Box"), w.group, "S_maxbox", w.owner);
    QN_get_double(value_input(230, 190, 60, 30, "Lat"), w.group, "S_maxlat", w.owner);
    QN_get_double(value_input(420, 190, 80, 30, "Max Mismatch"), w.group, "S_maxmis", w.owner);
    const char* box_tip =
        "First column is the length parallel to crack tip\nSecond column along the crack\nLast one vertical";
    const char* box_labels[3] = {"S_boxx", "S_boxy", "S_boxz"};
    for (int k = 0; k < 3; k++) {
        auto* b = value_input(60 + 65 * k, 230, 60, 30, k == 0 ? "Box" : nullptr);
        b->tooltip(box_tip);
        QN_get_double(b, w.group, box_labels[k], w.owner);
    }
    auto* more = new Fl_Button(270, 230, 200, 30, "More");
    more->tooltip("Search the tilt interfaces of the two crystals");
    more->callback(search_cb, &w);
    w.model_tilt->end();
    w.model_group->end();

    // "Solute Setting": the mode, then the rows of the mode shown.
    const int sy = 300;
    w.solute_group = framed(10, sy, 600, 130, "Solute Setting");
    w.solute_mode = choice(120, sy + 10, 150, 30, "Solute Mode:", {"Random", "Uniform"});
    QN_choice_plus(w.solute_mode, w.group, "S_solute", action<update_solute>(w), w.owner);
    w.solute[0] = new Fl_Group(20, sy + 45, 580, 80);
    loop_at(w, "Random Seed", "S_seed", 130, sy + 50);
    loop_at(w, "Sum of Solute", "S_snum", 420, sy + 50);
    QN_get_double(value_input(130, sy + 90, 120, 30, "Cutoff"), w.group, "S_scut", w.owner);
    w.solute[0]->end();
    w.solute[1] = new Fl_Group(20, sy + 45, 580, 80);
    loop_at(w, "Distance x", "S_dx", 130, sy + 50);
    loop_at(w, "Distance y", "S_dy", 420, sy + 50);
    loop_at(w, "Distance z", "S_dz", 130, sy + 90);
    QN_get_double(value_input(420, sy + 90, 120, 30, "Cutoff"), w.group, "S_scut", w.owner);
    w.solute[1]->end();
    w.solute_group->end();
    s->end();
    show_model(w);
    show_upper(w);
    update_bulk(w);
    update_solute(w);
}

// ---- Potential and atom types --------------------------------------------------

void show_pot(Wizard& w) {
    if (w.pot_out) w.pot_out->value(shown_path(w, "S_pot").c_str());
}

// The masses of the types in use, two to a row, below the potential group.
void update_mass(Wizard& w) {
    int n = w.type_sum->value();
    if (n < 0) n = 0;
    const int gy = w.pot_group->y() + w.pot_group->h() + 30;
    w.mass_group->resize(w.mass_group->x(), gy, w.mass_group->w(), n / 2 * 40 + 90);
    w.type_sum->position(w.type_sum->x(), gy + 10);
    for (int k = 0; k < kTypes; k++) {
        const int y = gy + (k / 2) * 40 + 50;
        w.mass[k]->position(w.mass[k]->x(), y);
        w.element[k]->position(w.element[k]->x(), y);
        show_if(w.mass[k], k <= n);
        show_if(w.element[k], k <= n);
    }
    redraw(w);
}

// The type links in use, kLinkColumns to a row.
void plink_flush(Wizard& w) {
    int n = w.link_count->value();
    if (n < 0) n = 0;
    w.pot_group->size(w.pot_group->w(), (n + kLinkColumns - 1) / kLinkColumns * 40 + 90);
    for (int k = 0; k < kLinks; k++) {
        show_if(w.link_from[k], k < n);
        show_if(w.link_to[k], k < n);
    }
    update_mass(w);
}

void plink_cb(Fl_Widget*, void* data) { plink_flush(*static_cast<Wizard*>(data)); }

// Picking an element gives its type the element's standard atomic weight
// unless the user typed another mass.
void element_cb(Fl_Widget* c, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    for (int k = 0; k < kTypes; k++) {
        if (w.element[k] != c) continue;
        const int was = w.element_was[k];
        const int now = w.element[k]->value();
        w.element_was[k] = now;
        if (now < 0 || now >= QN_ELEMENT_COUNT) return;
        const double mass = w.mass[k]->value();
        const double before = was >= 0 && was < QN_ELEMENT_COUNT ? QB_element_mass(ELEMENT_NAME[was]) : 0;
        const double standard = QB_element_mass(ELEMENT_NAME[now]);
        if (standard > 0 && (mass == 0 || mass == before)) {
            w.mass[k]->value(standard);
            w.mass[k]->do_callback();
        }
    }
}

void build_potential_tab(Wizard& w) {
    Fl_Scroll* s = QN_simulation_tab("Potential");
    w.pot_group = framed(10, 60, 600, 90, "Potential Setting");
    w.pot_out = new Fl_Output(20, 70, 440, 30);
    auto* select = new Fl_Button(460, 70, 70, 30, "Select");
    QN_get_file_plus(select, w.group, "S_pot", action<show_pot>(w), w.owner);
    w.link_count = new Fl_Choice(150, 110, 60, 30, w.kind == QN_wizard::dynamic ? "Link to potential" : "Link to Potential");
    for (int k = 0; k <= kLinks; k++) w.link_count->add(std::to_string(k).c_str(), 0, nullptr, nullptr, 0);
    w.link_count->value(0);
    w.link_count->tooltip("Number of model atom types given another element of the potential file");
    w.link_count->callback(plink_cb, &w);
    for (int k = 0; k < kLinks; k++) {
        const int x = 20 + (k % kLinkColumns) * 145;
        const int y = 150 + (k / kLinkColumns) * 40;
        w.link_from[k] = value_input(x + 35, y, 40, 30, "Type");
        w.link_from[k]->step(1);
        w.link_from[k]->tooltip("Atom type in the model");
        w.link_to[k] = value_input(x + 95, y, 40, 30, "\xe2\x86\x92");  // "→"
        w.link_to[k]->step(1);
        w.link_to[k]->tooltip("Element number in the potential file");
    }
    w.pot_group->end();

    w.mass_group = framed(10, 180, 600, 90, "Mass Setting");
    w.type_sum = choice(100, 190, 70, 30, "Type Sum:", {});
    w.type_sum->tooltip("Number of atom types of the model");
    for (int k = 1; k <= kTypes; k++) w.type_sum->add(std::to_string(k).c_str(), 0, nullptr, nullptr, 0);
    QN_choice_plus(w.type_sum, w.group, "S_elenum", action<update_mass>(w), w.owner);
    for (int k = 0; k < kTypes; k++) {
        const int x = k % 2 == 0 ? 20 : 310;
        const int y = 230 + (k / 2) * 40;
        char label[16];
        std::snprintf(label, sizeof label, "%2d# Mass:", k + 1);
        w.mass[k] = value_input(x + 70, y, 80, 30, nullptr);
        w.mass[k]->copy_label(label);
        w.mass[k]->tooltip("Mass of this atom type (g/mol)");
        QN_get_double_multi(w.mass[k], w.group, k, "S_mass", w.owner);
        w.element[k] = new Fl_Choice(x + 200, y, 60, 30, " Name");
        for (int e = 0; e < QN_ELEMENT_COUNT; e++) w.element[k]->add(ELEMENT_NAME[e], 0, nullptr, nullptr, 0);
        w.element[k]->value(0);
        w.element_was[k] = 0;
        w.element[k]->tooltip("Element of this atom type (picking one gives its standard atomic weight)");
        w.element[k]->callback(element_cb, &w);
    }
    w.mass_group->end();
    s->end();
    show_pot(w);
    plink_flush(w);
}

// ---- Loading -------------------------------------------------------------------

// "Loading Mode": the shear planes for "Shear", the axes otherwise; the
// index shown is stored.
void load_mode(Wizard& w) {
    if (!w.axis || !w.shear) return;
    const bool shear = w.load_mode->value() == 2;
    show_if(w.axis, !shear);
    show_if(w.shear, shear);
    Fl_Choice* shown = shear ? w.shear : w.axis;
    QN_set_bit_int(w.group, "S_dirload", shown->value(), 0);
    redraw(w);
}

// The relax settings of the mode shown; the Relax group takes their height.
void update_relax(Wizard& w) {
    if (w.relax_groups.empty()) return;  // no settings of their own
    const int mode = w.relax->value();
    Fl_Group* shown = nullptr;
    for (size_t k = 0; k < w.relax_groups.size(); k++) {
        const bool on = static_cast<int>(k) == mode || w.relax_groups.size() == 1;
        show_if(w.relax_groups[k], on);
        if (on) shown = w.relax_groups[k];
    }
    if (!shown) shown = w.relax_groups.front();
    w.relax_group->size(w.relax_group->w(), shown->y() + shown->h() + 5 - w.relax_group->y());
    rewrite_shown(shown);
    redraw(w);
}

// The crack settings of the method shown; the relax settings follow below.
void crack_update_load(Wizard& w) {
    const int method = w.load_mode->value();
    Fl_Group* shown = nullptr;
    for (size_t k = 0; k < w.crack_groups.size(); k++) {
        const bool on = static_cast<int>(k) == method;
        show_if(w.crack_groups[k], on);
        if (on) shown = w.crack_groups[k];
    }
    if (!shown) shown = w.crack_groups.front();
    w.load_group->size(w.load_group->w(), shown->y() + shown->h() + 5 - w.load_group->y());
    w.relax_group->position(w.relax_group->x(), w.load_group->y() + w.load_group->h() + 30);
    rewrite_shown(shown);
    redraw(w);
}

// Places value inputs and choices two to a row (left column at x 140, right
// at 450, each 140 wide; the left labels up to 118 pixels, the right ones up
// to 160) from y on.
struct Rows {
    int y;
    int at = 0;
    int x() const { return at % 2 == 0 ? 140 : 450; }
    int row_y() const { return y + (at / 2) * 40; }
    void next() { at++; }
    int rows() const { return (at + 1) / 2; }
};

Fl_Value_Input* row_value(Rows& r, Wizard& w, const char* shown, const char* label, bool integer = false) {
    auto* v = value_input(r.x(), r.row_y(), 140, 30, shown);
    if (integer) {
        v->step(1);
        QN_get_int(v, w.group, label, w.owner);
    } else {
        QN_get_double(v, w.group, label, w.owner);
    }
    r.next();
    return v;
}

Fl_Choice* row_choice(Rows& r, Wizard& w, const char* shown, const char* label,
                      std::initializer_list<const char*> items, int width = 140) {
    auto* c = choice(r.x(), r.row_y(), width, 30, shown, items);
    QN_choice(c, w.group, label, w.owner);
    r.next();
    return c;
}

void build_loading_tab(Wizard& w) {
    Fl_Scroll* s = QN_simulation_tab("Loading");
    if (w.crack()) {
        const int heights[3] = {5, 4, 4};  // rows of "Linear stress" and of the boundary methods
        const char* titles[3] = {"Linear stress", "Stress boundary", "Fix boundary"};
        w.load_group = framed(10, 60, 600, 50 + heights[0] * 40 + 5, "Crack Setting");
        w.load_mode = choice(140, 70, 160, 30, "Crack Method:", {"Linear stress", "Stress boundary", "Fix boundary"});
        for (int m = 0; m < 3; m++) {
            Fl_Group* g = new Fl_Group(20, 105, 580, heights[m] * 40);
            Rows r{110};
            row_value(r, w, "Crack Length", "S_craa");
            row_value(r, w, "Crack Location", "S_crab");
            row_value(r, w, "Crack Width", "S_cral");
            if (m == 0) {  // "Linear stress" has two more inputs first
                row_value(r, w, "Shear Modulus", "S_crag");
                row_value(r, w, "Poisson Ratio", "S_miu");
            }
            row_choice(r, w, "Loading Axis:", "S_dirload", {"x", "y", "z"});
            row_choice(r, w, "Crack Axis:", "S_dircrack", {"x", "y", "z"});
            row_value(r, w, "Fixed Thickness", "S_fix");
            row_value(r, w, m == 0 ? "KI Rate/Step" : m == 1 ? "Extra Force" : "Strain Rate/Step", "S_rate");
            g->end();
            g->tooltip(titles[m]);
            w.crack_groups.push_back(g);
        }
        w.load_group->end();
        QN_choice_plus(w.load_mode, w.group, "S_load", action<crack_update_load>(w), w.owner);

        const int ry = w.load_group->y() + w.load_group->h() + 30;
        w.relax_group = framed(10, ry, 600, 175, "Relax Setting");
        w.relax = choice(140, ry + 10, 140, 30, "Relax Mode:", {"Nose-Hoover", "FIRE", "CG"});
        for (int m = 0; m < 3; m++) {
            const bool nose = m == 0;
            Fl_Group* g = new Fl_Group(20, ry + 45, 580, nose ? 120 : 80);
            Rows r{ry + 50};
            if (nose)
                row_choice(r, w, "Load Condition:", "S_cond",
                           {"Plain stress static", "Plain strain static", "Plain stress dynamic", "Plain strain dynamic"},
                           200);
            else
                row_choice(r, w, "Load Condition:", "S_cond", {"Plain stress static", "Plain strain static"}, 200);
            if (nose) {
                QN_loop_field* t = loop_field(w, "S_temp", true, r.x(), r.row_y(), 125, 40, r.x() + 125, 15);
                t->single->label("Temperature");
                t->start->label("Temperature");
                r.next();
                row_value(r, w, "Timestep", "S_dt");
            }
            row_value(r, w, "Step per Loop", "S_step", true);
            row_value(r, w, "Loop Sum", "S_loop", true);
            g->end();
            w.relax_groups.push_back(g);
        }
        w.relax_group->end();
        QN_choice_plus(w.relax, w.group, "S_relax", action<update_relax>(w), w.owner);
        s->end();
        // Relax first: the load layout then rewrites the shown crack group.
        update_relax(w);
        crack_update_load(w);
        return;
    }

    const bool shock = w.kind == QN_wizard::shock;
    w.load_group = framed(10, 60, 600, 90, "Loading Setting");
    w.load_mode = shock ? choice(140, 70, 140, 30, "Loading Mode", {"Clamp", "Mirror"})
                        : choice(140, 70, 140, 30, "Loading Mode", {"Tensile", "Compress", "Shear"});
    if (shock) {
        auto* axis = choice(430, 70, 100, 30, "Loading Axis:", {"z"});
        QN_choice(axis, w.group, "S_dirload", w.owner);
        QN_get_double(value_input(140, 110, 140, 30, "Shock Speed:"), w.group, "S_spd", w.owner);
        QN_get_double(value_input(430, 110, 140, 30, "Simulation Time:"), w.group, "S_end", w.owner);
    } else {
        w.axis = choice(430, 70, 100, 30, "Loading Axis:", {"x", "y", "z"});
        QN_choice(w.axis, w.group, "S_dirload", w.owner);
        w.shear = choice(430, 70, 100, 30, "Loading Axis:", {"xy", "xz", "yz", "yx", "zx", "zy"});
        QN_choice(w.shear, w.group, "S_dirload", w.owner);
        w.shear->hide();
        QN_get_double(value_input(140, 110, 140, 30,
                                  w.kind == QN_wizard::dynamic ? "Strain Rate" : "Strain per Step"),
                      w.group, "S_rate", w.owner);
        QN_get_double(value_input(430, 110, 140, 30, "Maximum strain"), w.group, "S_end", w.owner);
    }
    w.load_group->end();
    if (shock) QN_choice(w.load_mode, w.group, "S_load", w.owner);
    else QN_choice_plus(w.load_mode, w.group, "S_load", action<load_mode>(w), w.owner);

    const int ry = 180;
    if (shock) {
        w.relax_group = framed(10, ry, 600, 50, "Relax Setting");
        w.relax = choice(140, ry + 10, 140, 30, "Relax Mode:", {"NVE"});
        QN_choice(w.relax, w.group, "S_relax", w.owner);
        QN_get_double(value_input(430, ry + 10, 140, 30, "Timestep"), w.group, "S_dt", w.owner);
        w.relax_group->end();
        s->end();
        return;
    }
    const bool dynamic = w.kind == QN_wizard::dynamic;
    w.relax_group = framed(10, ry, 600, 130, "Relax Setting");
    w.relax = dynamic ? choice(140, ry + 10, 140, 30, "Relax Mode:", {"Nose-Hoover"})
                      : choice(140, ry + 10, 140, 30, "Relax Mode:", {"Nose-Hoover", "CG", "FIRE"});
    // The settings of each relax mode (Nose-Hoover: a temperature and time
    // step besides the condition).
    for (int m = 0; m < (dynamic ? 1 : 3); m++) {
        const bool nose = m == 0;
        Fl_Group* r = new Fl_Group(20, ry + 45, 580, nose ? 80 : 40);
        auto* cond = dynamic ? choice(140, ry + 50, 220, 30, "Load Condition:",
                                      {"Uniaxial stress dynamic", "Uniaxial strain dynamic"})
                             : choice(140, ry + 50, 220, 30, "Load Condition:",
                                      {"Uniaxial stress Quasistatic", "Uniaxial strain Quasistatic"});
        QN_choice(cond, w.group, "S_cond", w.owner);
        if (nose) {
            QN_get_double(value_input(140, ry + 90, 140, 30, "Timestep"), w.group, "S_dt", w.owner);
            QN_get_double(value_input(430, ry + 90, 140, 30, "Temperature"), w.group, "S_temp", w.owner);
        }
        r->end();
        w.relax_groups.push_back(r);
    }
    w.relax_group->end();
    if (dynamic) QN_choice(w.relax, w.group, "S_relax", w.owner);
    else QN_choice_plus(w.relax, w.group, "S_relax", action<update_relax>(w), w.owner);
    s->end();
    // The direction choice of the stored mode, without storing anything.
    const bool sh = w.load_mode->value() == 2;
    show_if(w.axis, !sh);
    show_if(w.shear, sh);
    // The settings of the stored relax mode, without storing anything.
    const int mode = w.relax->value();
    Fl_Group* shown = w.relax_groups.front();
    for (size_t k = 0; k < w.relax_groups.size(); k++) {
        show_if(w.relax_groups[k], static_cast<int>(k) == mode || w.relax_groups.size() == 1);
        if (static_cast<int>(k) == mode) shown = w.relax_groups[k];
    }
    w.relax_group->size(w.relax_group->w(), shown->y() + shown->h() + 5 - w.relax_group->y());
}

// ---- Output and images -----------------------------------------------------------

const char* img_label(int k) {
    static const char* const labels[kImages] = {"S_img1", "S_img2", "S_img3", "S_img4", "S_img5"};
    return labels[k];
}

// The rows of the images in use; the Images group takes their height.
void img_flush(Wizard& w) {
    int n = w.img_sum->value();
    if (n < 0) n = 0;
    for (int k = 0; k < kImages; k++) {
        ImageWidgets& im = w.images[k];
        if (k <= n) {
            im.group->show();
            const int c = im.colour->value();
            QN_set_bit_int(w.group, img_label(k), c < 0 ? 0 : c + 1, 0);
        } else {
            im.group->hide();
            QN_set_bit_int(w.group, img_label(k), 0, 0);
        }
    }
    Fl_Group* last = w.images[n < kImages ? n : kImages - 1].group;
    w.image_group->size(w.image_group->w(), last->y() + last->h() + 5 - w.image_group->y());
    redraw(w);
}

void img_sum_cb(Fl_Widget*, void* data) { img_flush(*static_cast<Wizard*>(data)); }

void img_colour_cb(Fl_Widget* c, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    for (int k = 0; k < kImages; k++)
        if (w.images[k].colour == c) {
            const int v = w.images[k].colour->value();
            if (w.images[k].group->visible()) QN_set_bit_int(w.group, img_label(k), v < 0 ? 0 : v + 1, 0);
        }
}

void build_output_tab(Wizard& w) {
    Fl_Scroll* s = QN_simulation_tab("Output");
    const bool dynamic = w.kind == QN_wizard::dynamic;
    Fl_Group* g = framed(10, 60, 600, 210, "Dump Setting");
    auto* str = choice(170, 70, 270, 30, "Structure Type:",
                       {"No analysis", "Common Neighbor Analysis", "Bond Angle Analysis"});
    QN_choice(str, w.group, "S_str", w.owner);
    auto* par = choice(170, 110, 270, 30, "Structure Property:",
                       {"No analysis", "Centro Symmetry Parameter", "Common Neighbor Parameter"});
    QN_choice(par, w.group, "S_par", w.owner);
    auto* ort = choice(170, 150, 270, 30, "Crystal Orientation:",
                       {"No analysis", "Orientation Imaging Map", "Local Crystallographic Orientation"});
    QN_choice(ort, w.group, "S_ort", w.owner);
    auto* ss = new Fl_Round_Button(20, 190, 190, 30, dynamic ? "Stress-Strain diagram" : "Stress-Strain Diagram");
    QN_get_bool(ss, w.group, "S_ssdia", w.owner);
    auto* ast = new Fl_Round_Button(220, 190, 130, 30, "Atomic Stress");
    QN_get_bool(ast, w.group, "S_ast", w.owner);
    auto* apt = new Fl_Round_Button(360, 190, 220, 30, "Atomic Potential Energy");
    QN_get_bool(apt, w.group, "S_apt", w.owner);
    auto* dump = value_input(140, 230, 100, 30, "Steps per Dump");
    dump->step(1);
    QN_get_int(dump, w.group, "S_dump", w.owner);
    w.img_sum = choice(430, 230, 60, 30, "Images:", {"1", "2", "3", "4", "5"});
    w.img_sum->tooltip("Number of images rendered of each task");
    g->end();

    // One row per image under the titles of its columns.
    const int iy = 300;
    w.image_group = framed(10, iy, 600, 30 + kImages * 35 + 5, "Images");
    struct Column {
        int x, w;
        const char* title;
    } const columns[] = {{75, 55, "Width"},     {135, 55, "Height"},   {195, 165, "Color"},   {365, 55, "Rotate x"},
                         {425, 55, "Rotate y"}, {485, 55, "Rotate z"}, {545, 60, "Distance"}};
    for (const Column& c : columns) {
        auto* title = new Fl_Box(c.x, iy + 5, c.w, 20);
        title->copy_label(c.title);
        title->labelsize(12);
        title->align(FL_ALIGN_INSIDE | FL_ALIGN_CENTER);
    }
    // The images in use are the leading ones with a colour in the store.
    int used = 0;
    int colours[kImages] = {};
    for (int k = 0; k < kImages; k++) {
        colours[k] = QN_stored_int(w.group, img_label(k), 0);
        if (colours[k] > 0 && used == k) used = k + 1;
    }
    w.img_sum->value(used > 0 ? used - 1 : 0);
    w.img_sum->callback(img_sum_cb, &w);
    static const char* const titles[kImages] = {"IMG 1", "IMG 2", "IMG 3", "IMG 4", "IMG 5"};
    const QN_image_setting defaults;
    for (int k = 0; k < kImages; k++) {
        ImageWidgets& im = w.images[k];
        const int y = iy + 30 + k * 35;
        im.group = new Fl_Group(20, y, 590, 30, titles[k]);
        im.group->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
        auto column = [&](int c, const char* tip) {
            auto* v = value_input(columns[c].x, y, columns[c].w, 30);
            v->copy_tooltip((std::string(tip) + " of image " + std::to_string(k + 1)).c_str());
            return v;
        };
        im.width = column(0, "Width in pixels");
        im.width->step(1);
        im.width->value(defaults.width);
        im.height = column(1, "Height in pixels");
        im.height->step(1);
        im.height->value(defaults.height);
        im.colour = choice(columns[2].x, y, columns[2].w, 30, nullptr, {"Mises stress", "Structure (fcc, bcc)", "Structure (hcp)"});
        im.colour->copy_tooltip(("What colours the atoms of image " + std::to_string(k + 1)).c_str());
        if (colours[k] >= 1 && colours[k] <= 3) im.colour->value(colours[k] - 1);
        im.colour->callback(img_colour_cb, &w);
        im.rotx = column(3, "Rotation about x (degrees)");
        im.rotx->value(defaults.rotx);
        im.roty = column(4, "Rotation about y (degrees)");
        im.roty->value(defaults.roty);
        im.rotz = column(5, "Rotation about z (degrees)");
        im.rotz->value(defaults.rotz);
        im.distance = column(6, "Camera distance");
        im.distance->value(defaults.distance);
        im.group->end();
    }
    w.image_group->end();
    s->end();
    img_flush(w);
}

// ---- What the core needs from the window ---------------------------------------------

QN_wizard_extras extras_of(const Wizard& w) {
    QN_wizard_extras e;
    const int links = w.link_count->value() < 0 ? 0 : w.link_count->value();
    for (int k = 0; k < links && k < kLinks; k++) {
        QN_type_link l;
        l.from = static_cast<int>(std::trunc(w.link_from[k]->value()));
        l.to = w.link_to[k]->value();
        e.links.push_back(l);
    }
    const int n = (w.img_sum->value() < 0 ? 0 : w.img_sum->value()) + 1;
    for (int k = 0; k < n && k < kImages; k++) {
        const ImageWidgets& im = w.images[k];
        QN_image_setting s;
        s.width = static_cast<int>(std::trunc(im.width->value()));
        s.height = static_cast<int>(std::trunc(im.height->value()));
        s.rotx = im.rotx->value();
        s.roty = im.roty->value();
        s.rotz = im.rotz->value();
        s.distance = im.distance->value();
        e.images.push_back(s);
    }
    return e;
}

// Connection settings from the given fields; false (reported) when they
// cannot be used. The password is read from its field only.
bool server_options(Fl_Input* ip_in, Fl_Input* user_in, Fl_Input* pass_in, QN_ssh_options& options) {
    return QN_server_options(text_of(ip_in), text_of(user_in), text_of(pass_in), options);
}

// ---- Submit tab -------------------------------------------------------------------

int job_group_of(Wizard& w);

void show_script(Wizard& w) {
    if (w.script_out) w.script_out->value(shown_path(w, "S_script").c_str());
}

void path_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    std::string folder;
    if (!choose_path("Save File As?", Fl_Native_File_Chooser::BROWSE_SAVE_DIRECTORY, nullptr, folder)) return;
    w.path_out->value(folder.c_str());
}

void pack_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    // Older windows showed "blank" and "None" for no folder.
    const std::string folder = QN_shown_text(text_of(w.path_out));
    if (folder.empty()) {
        QN_message_alert("Please choose the Save Path first");
        return;
    }
    const QN_wizard_extras extras = extras_of(w);
    std::string message;
    int tasks = QN_wizard_pack(w.kind, extras, folder, false, message);
    if (tasks == QN_WIZARD_FILES_EXIST) {
        const size_t cut = message.find("; nothing was written");
        if (!QN_ask_yes((cut == std::string::npos ? message : message.substr(0, cut)) + ".\nReplace them?")) {
            QN_message(("Nothing was packed: " + folder + " holds files of an earlier package").c_str());
            return;
        }
        message.clear();
        tasks = QN_wizard_pack(w.kind, extras, folder, true, message);
    }
    if (tasks < 0) {
        QN_message_alert(message.empty() ? "Packing failed" : message.c_str());
        return;
    }
    QN_message(("Packed " + std::to_string(tasks) + (tasks == 1 ? " task in " : " tasks in ") + folder).c_str());
}

void submit_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    QN_ssh_options options;
    if (!server_options(w.ip, w.user, w.password, options)) return;
    const std::string folder = text_of(w.folder);
    const std::string command = text_of(w.command);
    if (folder.empty()) {
        QN_message_alert("Please enter the Server Folder");
        return;
    }
    const QN_wizard_extras extras = extras_of(w);
    std::string message;
    if (QN_wizard_check(w.kind, extras, message) < 0) {
        QN_message_alert(message.c_str());
        return;
    }
    const std::string source = std::string("wizard ") + QN_wizard_about(w.kind).word;
    QN_submit_through_scheduler(
        job_group_of(w), options, folder, source,
        [&](bool overwrite, QN_queue_request* queue) {
            return QN_wizard_submit(w.kind, extras, options, folder, command, overwrite, queue);
        },
        w.group);
}

// A stored server setting as its field shows it: the defaults ("None", the
// crack's server "0.0.0.0") as an empty field with its hint.
std::string shown_setting(const std::string& stored) {
    return stored == "0.0.0.0" ? std::string() : QN_shown_text(stored);
}

// The crack's server fields: the stored text into both tabs' fields.
void mirror_ip(Wizard& w) {
    const std::string t = shown_setting(QN_stored_text(w.group, "S_severip", ""));
    set_text(w.ip, t);
    set_text(w.d_ip, t);
}
void mirror_user(Wizard& w) {
    const std::string t = shown_setting(QN_stored_text(w.group, "S_severname", ""));
    set_text(w.user, t);
    set_text(w.d_user, t);
}
void mirror_folder(Wizard& w) {
    const std::string t = shown_setting(QN_stored_text(w.group, "S_severfold", ""));
    set_text(w.folder, t);
    set_text(w.d_folder, t);
}

// The password, in the widgets only.
void password_cb(Fl_Widget* in, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    const std::string t = text_of(static_cast<Fl_Input*>(in));
    if (in != w.password) set_text(w.password, t);
    if (in != w.d_password) set_text(w.d_password, t);
}

// A server field (QN_server_field), bound to the store in the crack wizard.
Fl_Input* server_input(Wizard& w, int x, int y, int width, const char* label, const char* key, void (*after)()) {
    Fl_Input* in = QN_server_field(x, y, width, label);
    if (!key) {
        in->value("");
        in->callback(password_cb, &w);
    } else if (w.crack()) {
        QN_get_char_plus(in, w.group, key, after, w.owner);
        in->value(shown_setting(text_of(in)).c_str());
    }
    return in;
}

void build_submit_tab(Wizard& w) {
    Fl_Scroll* s = QN_simulation_tab("Submit");
    Fl_Group* g = framed(10, 60, 600, 410, "Submit Setting");
    const char* axes[3] = {"S_px", "S_py", "S_pz"};
    for (int k = 0; k < 3; k++) {
        auto* p = value_input(160 + 55 * k, 70, 50, 30, k == 0 ? "Processors x, y, z:" : nullptr);
        p->step(1);
        p->tooltip(k == 0 ? "Processors along x" : k == 1 ? "Processors along y" : "Processors along z");
        QN_get_int(p, w.group, axes[k], w.owner);
    }
    w.script_out = new Fl_Output(160, 110, 340, 30, "Job Script:");
    auto* script = new Fl_Button(500, 110, 70, 30, "Select");
    QN_get_file_plus(script, w.group, "S_script", action<show_script>(w), w.owner);
    w.path_out = new QN_hint_input(160, 150, 340, 30, "Save Path:");
    w.path_out->hint("local folder for the task folders");
    w.path_out->tooltip("Pack writes the task folders here");
    auto* path = new Fl_Button(500, 150, 70, 30, "Select");
    path->callback(path_cb, &w);
    auto* pack = new Fl_Button(160, 190, 170, 30, "Pack");
    pack->callback(pack_cb, &w);
    w.ip = server_input(w, 160, 230, 360, "Server:", "S_severip", action<mirror_ip>(w));
    w.user = server_input(w, 160, 270, 360, "User Name:", "S_severname", action<mirror_user>(w));
    w.password = server_input(w, 160, 310, 360, "Password:", nullptr, nullptr);
    w.folder = server_input(w, 160, 350, 360, "Server Folder:", "S_severfold", action<mirror_folder>(w));
    w.command = server_input(w, 160, 390, 360, "Submit Command:", "S_severcomm", nullptr);
    auto* go = new Fl_Button(160, 430, 170, 30, "Submit");
    go->callback(submit_cb, &w);
    g->end();
    s->end();
    show_script(w);
}

// ---- Download tab (crack) ----------------------------------------------------------

void show_savefold(Wizard& w) {
    if (!w.save_out) return;
    const std::string p = QN_stored_text(w.group, "S_savefold", "");
    w.save_out->value(QN_shown_text(p).empty() ? "No folder" : p.c_str());
}

void request_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    QN_ssh_options options;
    if (!server_options(w.d_ip, w.d_user, w.d_password, options)) return;
    QN_tree_request(w.tree, w.list, options, text_of(w.d_folder));
}

// The save folder of the downloads, or empty (reported).
std::string save_folder(const Wizard& w) {
    const std::string save = QN_stored_text(w.group, "S_savefold", "");
    std::error_code ec;
    if (QN_shown_text(save).empty() || !fs::is_directory(save, ec)) {
        QN_message_alert("Can not access save folder");
        return std::string();
    }
    return save;
}

void download_selected_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    const std::vector<std::string> names = QN_tree_selected(w.tree);
    if (names.empty()) {
        QN_message_alert("Please select the files to download");
        return;
    }
    const std::string save = save_folder(w);
    if (save.empty()) return;
    QN_ssh_options options;
    if (!server_options(w.d_ip, w.d_user, w.d_password, options)) return;
    QN_download_and_report(names, options, text_of(w.d_folder), save);
}

void download_standard_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    const std::string save = save_folder(w);
    if (save.empty()) return;
    QN_ssh_options options;
    if (!server_options(w.d_ip, w.d_user, w.d_password, options)) return;
    std::error_code ec;
    QN_existing existing = QN_existing::refuse;
    const fs::path result = fs::path(save) / "result";
    if (fs::is_directory(result, ec) && !fs::is_empty(result, ec))
        existing = QN_ask_yes(result.string() + " already holds results.\nReplace them?") ? QN_existing::overwrite
                                                                                  : QN_existing::skip;
    QN_wait("Rendering and downloading the results");
    const QN_download_report report = QN_crack_download_standard(options, text_of(w.d_folder), save, existing);
    QN_wait_end();
    QN_show_summary(report.ok(), report.summary());
}

void tree_cb(Fl_Widget* t, void* data) {
    auto* tree = static_cast<Fl_Tree*>(t);
    if (tree->callback_reason() == FL_TREE_REASON_SELECTED && (Fl::event_state() & FL_ALT))
        download_selected_cb(t, data);
}

void build_download_tab(Wizard& w) {
    Fl_Scroll* s = QN_simulation_tab("Download");
    Fl_Group* g = framed(10, 60, 600, 330, "Download");
    w.d_ip = server_input(w, 400, 70, 190, "Server:", "S_severip", action<mirror_ip>(w));
    w.d_user = server_input(w, 400, 110, 190, "User Name:", "S_severname", action<mirror_user>(w));
    w.d_password = server_input(w, 400, 150, 190, "Password:", nullptr, nullptr);
    w.d_folder = server_input(w, 400, 190, 190, "Server Folder:", "S_severfold", action<mirror_folder>(w));
    w.tree = QN_download_tree(tree_cb, &w);
    auto* req = new Fl_Button(290, 230, 300, 30, "Request");
    req->callback(request_cb, &w);
    w.save_out = new Fl_Output(400, 270, 120, 30, "Save Folder");
    auto* pick_save = new Fl_Button(520, 270, 70, 30, "Select");
    QN_get_dir_plus(pick_save, w.group, "S_savefold", action<show_savefold>(w), w.owner);
    auto* standard = new Fl_Button(290, 310, 300, 30, "Download Standard");
    standard->callback(download_standard_cb, &w);
    auto* selected = new Fl_Button(290, 350, 300, 30, "Download Selected");
    selected->callback(download_selected_cb, &w);
    g->end();
    s->end();
    show_savefold(w);
}

// ---- Navigation, Save and Load ---------------------------------------------------------

void region(Wizard& w) {
    Fl_Widget* current = w.tabs->value();
    const int at = current ? w.tabs->find(current) : 0;
    const int last = w.tabs->children() - 1;
    show_if(w.back, at > 0);
    show_if(w.next, at < last);
    redraw(w);
}

void region_cb(Fl_Widget*, void* data) { region(*static_cast<Wizard*>(data)); }

void step_tab(Wizard& w, int by) {
    Fl_Widget* current = w.tabs->value();
    const int at = (current ? w.tabs->find(current) : 0) + by;
    if (at < 0 || at >= w.tabs->children()) return;
    w.tabs->value(w.tabs->child(at));
    w.tabs->do_callback();
}

void back_cb(Fl_Widget*, void* data) { step_tab(*static_cast<Wizard*>(data), -1); }
void next_cb(Fl_Widget*, void* data) { step_tab(*static_cast<Wizard*>(data), 1); }

std::string without_qnw(std::string name) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".qnw") == 0) name.resize(name.size() - 4);
    return name;
}

// "Save" of the dynamic, quasistatic and shock wizards: the task scripts
// NAME1.qld … of the group, under the name chosen the first time.
void save_scripts_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    if (w.save_name.empty()) {
        std::string chosen;
        if (!choose_path("Save File As?", Fl_Native_File_Chooser::BROWSE_SAVE_FILE,
                         "Quelm Visualizer format\t*.qnw", chosen))
            return;
        w.save_name = without_qnw(chosen);
    }
    const int written = QN_dump_script(w.save_name, w.group);
    if (written < 1) {
        QN_message_alert(("Can not write the task scripts " + w.save_name + "1.qld …").c_str());
        return;
    }
    const int tasks = written - 1;
    QN_message(("Wrote " + std::to_string(tasks) + (tasks == 1 ? " task script " : " task scripts ") + w.save_name +
                "1.qld" + (tasks > 1 ? " … " + w.save_name + std::to_string(tasks) + ".qld" : std::string()))
                   .c_str());
}

void crack_save_cb(Fl_Widget*, void*) {
    std::string chosen;
    if (!choose_path("Save File As?", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, "Quelm Visualizer format\t*.qnw",
                     chosen))
        return;
    std::string message;
    if (QN_crack_save_status(chosen, message) < 0) {
        QN_message_alert(message.empty() ? ("Can not write " + chosen).c_str() : message.c_str());
        return;
    }
    // The status writer adds the extension unless the name has it.
    const bool has_ext = chosen.size() > 4 && chosen.compare(chosen.size() - 4, 4, ".qnw") == 0;
    QN_message(("Saved the crack set-up to " + chosen + (has_ext ? "" : ".qnw")).c_str());
}

void build_content(Wizard& w);

void crack_load_cb(Fl_Widget*, void* data) {
    auto& w = *static_cast<Wizard*>(data);
    std::string chosen;
    if (!choose_path("Open file", Fl_Native_File_Chooser::BROWSE_FILE,
                     "Auto detect format\t*\nQuelm Visualizer status file\t*.qnw", chosen))
        return;
    std::string warnings, message;
    if (QN_crack_load_status(chosen, warnings, message) < 0) {
        QN_message_alert(message.empty() ? ("Can not read " + chosen).c_str() : message.c_str());
        return;
    }
    // The password fields keep what was typed; everything else is rebuilt
    // from the group.
    const std::string password = text_of(w.password);
    build_content(w);
    set_text(w.password, password);
    set_text(w.d_password, password);
    std::string text = "Loaded " + chosen;
    if (!warnings.empty()) text += "\n" + warnings;
    QN_message(text.c_str());
}

// ---- The window ------------------------------------------------------------------------

// Takes the window's content away (deleted once the current event is done:
// the caller may be one of its buttons) and releases its bindings.
void clear_content(Wizard& w) {
    if (w.owner >= 0) QN_sendbit_free(w.owner);
    w.owner = -1;
    if (!w.window) return;
    while (w.window->children() > 0) {
        Fl_Widget* c = w.window->child(0);
        w.window->remove(c);
        c->hide();
        Fl::delete_widget(c);
    }
    w.window->resizable(nullptr);
    w.tabs = nullptr;
    w.back = w.next = nullptr;
    w.crack_groups.clear();
    w.relax_groups.clear();
    w.load_group = w.relax_group = w.image_group = nullptr;
    w.axis = w.shear = nullptr;
    w.tree = nullptr;
    w.model_out = w.bottom_out = w.upper_out = nullptr;
    w.input_mode = w.solute_mode = nullptr;
    w.model_group = w.model_file = w.model_tilt = w.solute_group = nullptr;
    w.solute[0] = w.solute[1] = nullptr;
    w.ip = w.user = w.password = w.folder = w.command = nullptr;
    w.d_ip = w.d_user = w.d_password = w.d_folder = nullptr;
    w.save_out = nullptr;
}

// The wizard's job-settings group, made with its defaults when there is
// none (or the store was reset since).
int job_group_of(Wizard& w) {
    const std::string title = std::string("Scheduler of ") + QN_wizard_about(w.kind).word;
    const bool valid = w.job_group >= 0 && static_cast<size_t>(w.job_group) < Quelm_data.size() &&
                       Quelm_data[w.job_group].title == title;
    if (!valid) {
        w.job_group = QN_add_zone();
        QN_reset_group(w.job_group, title);
        QN_job_write_defaults(w.job_group);
    }
    return w.job_group;
}

// The element names of the current model's types (as far as known) shown in
// the type rows.
void show_model_elements(Wizard& w) {
    const QB_tools& m = Current_Model;
    if (m.natoms <= 0 || m.ntypes <= 0) return;
    for (int k = 0; k < std::min(m.ntypes, kTypes); k++) {
        const int e = QB_has_elename(&m, k) ? QN_frame_element_index(QB_elename(&m, k)) : -1;
        if (e < 0) continue;
        w.element[k]->value(e);
        w.element_was[k] = e;
    }
}

// The types of the current model into the store: at least its type count,
// and each type the model names, whose mass is still 0 (or what the window
// gave it for an earlier model), its element's standard atomic weight. A
// model whose types have no names changes nothing.
void model_types_into_store(Wizard& w) {
    const QB_tools& m = Current_Model;
    if (m.natoms <= 0 || m.ntypes <= 0 || m.ntypes > kTypes) return;
    bool named = false;
    for (int k = 0; k < m.ntypes; k++) named = named || QB_has_elename(&m, k);
    if (!named) return;
    if (QN_stored_int(w.group, "S_elenum", 0) + 1 < m.ntypes) QN_set_bit_int(w.group, "S_elenum", m.ntypes - 1, 0);
    for (int k = 0; k < m.ntypes; k++) {
        const double standard = QB_has_elename(&m, k) ? QB_element_mass(QB_elename(&m, k)) : 0;
        if (!(standard > 0)) continue;
        double mass = 0;
        QN_scan_double_multi(w.group, k, "S_mass", mass);
        if (mass == 0 || (w.model_mass[k] > 0 && mass == w.model_mass[k])) {
            QN_set_bit_double_multi(w.group, k, "S_mass", standard, 0);
            w.model_mass[k] = standard;
        }
    }
}

void build_content(Wizard& w) {
    clear_content(w);
    // The loop records of the old content outlive its widgets (deleted
    // once the current event is done) until the next rebuild.
    w.retired.clear();
    w.retired.swap(w.loops);
    w.owner = QN_sendbit_id();
    QNDF_init(&w.list);

    Fl_Group* saved = Fl_Group::current();
    w.window->begin();
    // At the window's size (the user may have enlarged it); the content of
    // the tabs keeps its place at the top left.
    const int ww = w.window->w(), wh = w.window->h();
    w.tabs = new Fl_Tabs(0, 0, ww, wh - kBar);
    w.tabs->color(FL_WHITE);
    w.tabs->selection_color(FL_WHITE);
    w.tabs->callback(region_cb, &w);
    build_model_tab(w);
    build_potential_tab(w);
    build_loading_tab(w);
    build_output_tab(w);
    build_submit_tab(w);
    QN_scheduler_tab(job_group_of(w), w.owner);
    if (w.crack()) build_download_tab(w);
    w.tabs->end();
    w.tabs->resizable(w.tabs->child(0));  // the tab bar keeps its height

    // The buttons at the bottom right, whatever the width.
    auto* bar = new Fl_Group(0, wh - kBar, ww, kBar);
    auto* room = new Fl_Box(0, wh - kBar, ww - 280, kBar);
    bar->resizable(room);
    const int by = wh - kBar + 8;
    w.next = new Fl_Button(ww - 75, by, 65, 30, "Next");
    w.next->callback(next_cb, &w);
    w.back = new Fl_Button(ww - 145, by, 65, 30, "Back");
    w.back->callback(back_cb, &w);
    if (w.crack()) {
        auto* load = new Fl_Button(ww - 215, by, 65, 30, "Load");
        load->callback(crack_load_cb, &w);
        load->tooltip("Load a set-up from a status file (.qnw)");
        auto* save = new Fl_Button(ww - 285, by, 65, 30, "Save");
        save->callback(crack_save_cb, &w);
        save->tooltip("Save the set-up as a status file (.qnw)");
        mirror_ip(w);
        mirror_user(w);
        mirror_folder(w);
    } else {
        auto* save = new Fl_Button(ww - 215, by, 65, 30, "Save");
        save->callback(save_scripts_cb, &w);
        save->tooltip("Write the task scripts (.qld) of this set-up");
    }
    bar->end();
    w.window->resizable(w.tabs);
    w.window->end();
    Fl_Group::current(saved);
    show_model_elements(w);
    w.tabs->value(w.tabs->child(0));
    region(w);
    w.window->redraw();
}

void open_wizard(QN_wizard kind) {
    Wizard& w = wizard_of(kind);
    if (w.window && w.window->shown()) {
        w.window->show();  // raises it
        return;
    }
    if (QN_wizard_init(kind) < 0) {
        QN_message_alert(("Can not set up the parameters of the " + std::string(QN_wizard_about(kind).name) +
                          " wizard")
                             .c_str());
        return;
    }
    if (!w.window) {
        Fl_Group* saved = Fl_Group::current();
        Fl_Group::current(nullptr);
        w.window = new Fl_Double_Window(QN_SIM_WINDOW_W, QN_SIM_TABS_H + kBar);
        w.window->copy_label(("Quelm Simulation " + std::string(QN_wizard_about(kind).name)).c_str());
        w.window->color(FL_WHITE);
        w.window->end();
        w.window->size_range(QN_SIM_WINDOW_W, QN_SIM_TABS_H + kBar);
        Fl_Group::current(saved);
    }
    w.save_name.clear();
    model_types_into_store(w);
    build_content(w);
    w.window->show();
}

}  // namespace

void QN_simulate_Dynamic_cb() { open_wizard(QN_wizard::dynamic); }
void QN_simulate_Quasistatic_cb() { open_wizard(QN_wizard::quasistatic); }
void QN_simulate_Shock_cb() { open_wizard(QN_wizard::shock); }
void QN_simulate_Crack_cb() { open_wizard(QN_wizard::crack); }

Fl_Double_Window* QN_wizard_window(QN_wizard kind) {
    const int k = static_cast<int>(kind);
    if (k < 0 || k > 3) return nullptr;
    return wizards[k].window;
}
