#include "app/quelm_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Shared_Image.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/fl_ask.H>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/morla_form.h"
#include "app/quelm_bind.h"
#include "app/quelm_import.h"
#include "store/quelm_resources.h"
#include "atomkit/atomkit_panel.h"
#include "builders/defect_form.h"
#include "builders/layers_form.h"
#include "builders/monocrystal_form.h"
#include "builders/nano_form.h"
#include "builders/polycrystal_form.h"
#include "simulation/frame_form.h"
#include "simulation/wizard_form.h"
#include "tools/tools_form.h"
#include "view/view_panel.h"
#include "view/view_widget.h"
#include "qb/qb_text.h"

Fl_Double_Window* foo_window = nullptr;
Fl_Menu_Bar* menu_bar = nullptr;
Fl_Group* menu_region = nullptr;
Fl_Button* Inspect_MenuButton = nullptr;
Fl_Group* rending_region = nullptr;
Fl_Group* sliding_region = nullptr;
Fl_Text_Buffer* message_region = nullptr;
Fl_Text_Display* message_display = nullptr;
Fl_Tabs* control_region = nullptr;
Fl_Scroll* view_region = nullptr;
Fl_Scroll* model_region = nullptr;
Fl_Scroll* analysis_region = nullptr;
Fl_Choice* model_choice = nullptr;
Fl_Group* model_group = nullptr;

QB_tools Current_Model;
QN_global_control QNGC;
int inited_atomic_viewer = 0;
int QN_alerts_modal = 1;

namespace {
std::string last_message;
bool model_unsaved = false;  // see QN_model_saved
int form_entry = 0;          // the entry of the model form shown

const char* const kWelcome =
    "Welcome to Quelm Visualizer!\n"
    "Development edition: builders, analyses and simulations join as they are finished.\n"
    "Quelm Visualizer is made and kept by the Quelm Visualizer team.\n"
    "Please report problems with the steps that led to them to the Quelm Visualizer team.\n";

// The welcome text, followed by what the program misses of its images and
// templates.
std::string welcome_text() {
    std::string missing;
    if (QN_resource_check(QN_resource_essentials(), missing) == 1) return kWelcome;
    return std::string(kWelcome) + "\n" + missing + "\n";
}
}  // namespace

void QN_message(const char* text) {
    last_message = text ? text : "";
    if (message_region) message_region->text(last_message.c_str());
    if (foo_window) foo_window->redraw();
}

void QN_message_alert(const char* text) {
    const char* shown = text ? text : "";
    if (QN_alerts_modal)
        fl_alert("%s", shown);
    else
        std::fprintf(stderr, "%s\n", shown);
    QN_message(shown);
}

std::string QN_message_text() { return last_message; }

// ---------------------------------------------------------------- reports

void QN_atom_message(int k) {
    const QB_tools& m = Current_Model;
    std::string text;
    if (k <= 0 || k > m.natoms) {
        text = QB_format("Box Data:\n%d Particles\n%d Particles Type\n", m.natoms, m.ntypes);
        if (m.triclinic == 1)
            text += QB_format("Geometry = (%lf,%lf,%lf)+\n[(%lf,%lf,%lf),(%lf,%lf,%lf),(%lf,%lf,%lf)]\n", m.origin[0],
                              m.origin[1], m.origin[2], m.cell[0][0], m.cell[0][1], m.cell[0][2], m.cell[1][0],
                              m.cell[1][1], m.cell[1][2], m.cell[2][0], m.cell[2][1], m.cell[2][2]);
        else
            text += QB_format("Geometry = (%lf,%lf,%lf)+\n(%lf,%lf,%lf)\n", m.lo[0], m.lo[1], m.lo[2], m.size[0],
                              m.size[1], m.size[2]);
    } else {
        const atomdata& a = m.atoms[k - 1];
        text = QB_format("Atom Data:\nId = %d\nType = %d\nPosition = (%lf,%lf,%lf)\n", a.id, a.type, a.x, a.y, a.z);
        std::string name;
        for (int slot = 5; slot < QB_slot_sum(&m); slot++) {
            QB_slot_name(&m, slot, name);
            const double v = QB_slot_data(&m, slot, k - 1);
            const bool integer = slot >= 5 + m.channel_count && slot < 5 + m.channel_count + m.exint_count;
            text += integer ? QB_format("%s = %d\n", name.c_str(), static_cast<int>(v))
                            : QB_format("%s = %lf\n", name.c_str(), v);
        }
    }
    QN_message(text.c_str());
}

// ------------------------------------------------------------- navigation

namespace {

// A command that needs a model refuses while there is none.
bool have_model() {
    if (inited_atomic_viewer) return true;
    QN_message_alert("Please select a model first");
    return false;
}

void not_yet(const char* what) {
    QN_message(QB_format("%s is not available in this version yet.", what).c_str());
}

void select_tab(Fl_Group* tab) {
    if (control_region && tab) {
        control_region->value(tab);
        control_region->redraw();
    }
}

}  // namespace

void QN_switch_model() { select_tab(model_region); }
void QN_switch_analy() { select_tab(analysis_region); }

namespace {
void show_method(int k) {
    if (!have_model() || !analy_choice) return;
    analy_choice->value(k);
    select_tab(analysis_region);
    QN_analy_choice_cb();
}
}  // namespace

void QN_switch_analy_cna() { show_method(0); }
void QN_switch_analy_baa() { show_method(1); }
void QN_switch_analy_cnp() { show_method(2); }
void QN_switch_analy_csp() { show_method(3); }
void QN_switch_analy_lco() { show_method(4); }
void QN_switch_analy_oim() { show_method(5); }
void QN_switch_analy_dva() { show_method(6); }
void QN_switch_analy_sta() { show_method(7); }
void QN_switch_analy_dda() { show_method(8); }
void QN_switch_analy_sva() { show_method(9); }
void QN_switch_analy_ida() { show_method(10); }
void QN_switch_analy_nye() { show_method(11); }
void QN_switch_analy_nta() { show_method(12); }

void QN_switch_chroma() {
    if (!have_model()) return;
    view_choice->value(0);
    select_tab(view_region);
    QN_render_control1();
}

void QN_switch_camera() {
    if (!have_model()) return;
    view_choice->value(1);
    select_tab(view_region);
    QN_render_control2();
}

void QN_switch_camera_reset() {
    if (have_model()) QN_render_reset_setting();
}

void QN_switch_camera_fit() {
    if (have_model()) QN_render_fit();
}

void QN_snapshot_global() {
    if (have_model()) QN_snapshot_render();
}

void QN_inspect_global() {
    if (have_model() && inspect_particle) inspect_particle->do_callback(inspect_particle, inspect_particle->user_data());
}

// ------------------------------------------------------------ life cycle

namespace {

// What the view showed at the last update: the box, and the file series with
// the index in it, to tell a new model from a step of the same series.
struct Shown {
    bool valid = false;
    QB_tools box;  // box fields only
    std::vector<std::string> series;
    int index = 0;
};
Shown shown;
bool frame_next = false;

void remember_box(QB_tools& to, const QB_tools& from) {
    for (int d = 0; d < 3; d++) {
        to.lo[d] = from.lo[d];
        to.size[d] = from.size[d];
        to.origin[d] = from.origin[d];
        for (int k = 0; k < 3; k++) to.cell[k][d] = from.cell[k][d];
    }
    to.triclinic = from.triclinic;
}

// Whether the model about to be shown gets framed. A step of the sequence bar
// keeps the series and moves its index: the camera stays even when the box
// changes a little from file to file (a run under pressure).
bool frame_this_model() {
    if (frame_next || !shown.valid || !inited_atomic_viewer) return true;
    const bool series_step = !QN_file_list.empty() && QN_file_list == shown.series &&
                             QN_file_list_current != shown.index;
    if (series_step) return false;
    return QN_box_changed(&shown.box, &Current_Model);
}

}  // namespace

void QN_frame_next_model() { frame_next = true; }

void QN_update_model() {
    const bool frame = frame_this_model();
    frame_next = false;
    if (!inited_atomic_viewer) QN_create_render();
    QN_mufile_bar();
    if (QNGC.analysis_rebuild == 1 || !analy_choice) {
        QN_analysis();
    } else if (inited_atomic_viewer) {
        // The same types as before: the selected analysis follows the model.
        const int k = analy_choice->value();
        Fl_Button* run = k >= 0 && k < QN_ANALY_METHODS ? analy_run[k] : nullptr;
        if (run && run->active()) run->do_callback(run, run->user_data());
    }
    QN_render_forget_trimming();  // the cut belonged to the model before
    QN_render_check_file();
    if (frame && cube) cube->fit(&Current_Model);
    remember_box(shown.box, Current_Model);
    shown.series = QN_file_list;
    shown.index = QN_file_list_current;
    shown.valid = true;
    // Atomkit's column choices follow the model.
    if (model_choice && model_choice->value() == 0) AK_update_Select_slot();
    QNGC.analysis_rebuild = 1;
    inited_atomic_viewer = 1;
    model_unsaved = true;
    if (foo_window) foo_window->flush();
}

namespace {

// "Import" from the menu, the tool bar or a tab's "Read file": the file the
// user chose is framed even when its box is the one shown before.
void import_cb(Fl_Widget*, void*) {
    QN_frame_next_model();
    QN_get_file_model();
    frame_next = false;  // nothing was imported
}

// A "Read file" button centred in a tab.
void read_file_button(Fl_Scroll* tab) {
    tab->clear();
    tab->begin();
    auto* b = new Fl_Button(tab->x() + tab->w() / 2 - 60, tab->y() + tab->h() / 2 - 30, 120, 60, "Read file");
    b->callback([](Fl_Widget*, void*) { import_cb(nullptr, nullptr); });
    tab->end();
    tab->redraw();
}

}  // namespace

void QN_window_reset() {
    inited_atomic_viewer = 0;
    shown = Shown();
    if (rending_region) {
        rending_region->clear();
        rending_region->begin();
        auto* image = new Fl_Box(rending_region->x(), rending_region->y(), rending_region->w(), rending_region->h());
        image->box(FL_THIN_DOWN_BOX);
        image->align(FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
        image->color(50);
        QN_load_img(QN_resource_path("img/background.png").c_str(), image, nullptr);
        rending_region->end();
    }
    QN_file_list_free();
    QN_mufile_bar();
    QN_render_forget_trimming();
    model_unsaved = false;
    if (Inspect_MenuButton) QN_load_img(QN_resource_path("img/icon/inspect.png").c_str(), Inspect_MenuButton, nullptr);
    // Without its resource folder the tool bar has no icons, atoms are drawn
    // black and the Simulation menu has no frames: say so once at start-up.
    static bool missing_told = false;
    std::string missing;
    if (!missing_told && QN_resource_check(QN_resource_essentials(), missing) != 1) {
        missing_told = true;
        QN_message_alert(missing.c_str());
    }
    QN_message(welcome_text().c_str());
    QN_analy_forget();
    if (analysis_region) read_file_button(analysis_region);
    if (view_region) read_file_button(view_region);
    if (Current_Model.natoms > 0) {
        QB_free_atom(&Current_Model);
        QB_free_extra(&Current_Model);
        QB_free_exchannel(&Current_Model);
    }
    if (foo_window) foo_window->redraw();
}

void QN_new_cb(Fl_Widget*, void*) {
    if (QN_ask_model_change()) QN_window_reset();
}

namespace {
// Escape reaches the main window's callback when no widget takes it: it
// closes dialogs and menus, never the program. Closing the window asks
// like File > Exit.
void main_window_cb(Fl_Widget*, void*) {
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
    QN_quit_cb(nullptr, nullptr);
}
}  // namespace

void QN_model_saved() { model_unsaved = false; }
bool QN_model_unsaved() { return model_unsaved; }

bool QN_may_quit() {
    return !model_unsaved || Current_Model.natoms == 0 ||
           QN_choice_hook("The current model has not been saved.\nQuit and lose it?", "Cancel", "Quit") == 1;
}

// Every window closed ends the event loop, and main returns 0.
void QN_quit_cb(Fl_Widget*, void*) {
    if (!QN_may_quit()) return;
    while (Fl_Window* w = Fl::first_window()) w->hide();
}

// ------------------------------------------------------ the shell's regions

Fl_Window* QN_main_window() { return foo_window; }
void QN_redraw_window() {
    if (foo_window) foo_window->redraw();
}
void QN_flush_window() {
    if (foo_window) foo_window->flush();
}
Fl_Group* QN_form_region() { return model_group; }
Fl_Choice* QN_form_choice() { return model_choice; }
Fl_Scroll* QN_model_tab() { return model_region; }
Fl_Scroll* QN_view_tab() { return view_region; }
Fl_Scroll* QN_analysis_tab() { return analysis_region; }
Fl_Group* QN_render_area() { return rending_region; }
Fl_Button* QN_inspect_button() { return Inspect_MenuButton; }

void QN_show_model_tab() {
    if (!control_region || !model_region) return;
    control_region->value(model_region);
    model_region->redraw();
}

void QN_show_analysis_tab() {
    if (!control_region || !analysis_region) return;
    control_region->value(analysis_region);
    analysis_region->redraw();
}

void QN_model_form_shown(int entry) {
    form_entry = entry;
    if (model_choice) model_choice->value(entry);
}

// ------------------------------------------------------------- text windows

namespace {
void text_window(const char* title, const char* text) {
    auto* w = new Fl_Double_Window(550, 400, title);
    auto* buffer = new Fl_Text_Buffer();
    buffer->text(text);
    auto* display = new Fl_Text_Display(0, 0, 550, 400);
    display->buffer(buffer);
    display->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
    w->end();
    w->show();
}
}  // namespace

void QN_licence() {
    text_window("Quelm Visualizer licence",
                "Quelm Visualizer - terms of use\n\n"
                "You may use this program to build, view and analyse atomic models and to prepare\n"
                "simulations, for research and teaching.\n\n"
                "The program is provided as it is, without warranty of any kind. Results, models and\n"
                "files it produces are yours; check them before you rely on them.\n\n"
                "You may copy the program unchanged. Changed copies must say that they are changed.");
}

void QN_about() {
    text_window("About Quelm Visualizer",
                "Quelm Visualizer\n"
                "A workbench for atomistic materials modelling: build, view, analyse and simulate.\n\n"
                "Problems and suggestions: please report them to the Quelm Visualizer team.");
}

// ------------------------------------------------------------ the window

namespace {

template <void (*F)()>
void call(Fl_Widget*, void*) {
    F();
}

// Entries whose forms and tools are not part of this version yet; the
// name without the menu's shortcut marks.
void later_cb(Fl_Widget* w, void*) {
    const Fl_Menu_Item* item = w ? static_cast<Fl_Menu_*>(w)->mvalue() : nullptr;
    std::string name = item && item->label() ? item->label() : "This function";
    name.erase(std::remove(name.begin(), name.end(), '&'), name.end());
    not_yet(name.c_str());
}

// The model forms of this version, by their entry in "Select model:" and the
// Model menu.
struct ModelForm {
    const char* label;
    void (*open)();
};
const ModelForm kModelForms[] = {
    {"Atomkit", AtomKit_main},
    {"Monocrystal", QN_model_single_crystal},
    {"Polycrystal", QN_model_poly_crystal},
    {"Bilayer", QN_model_double_layer},
    {"Multilayer", QN_model_multi_layer},
    {"Nanocomposite", QN_model_nanocomposite},
    {"Nanoparticle", QN_model_cluster},
    {"Nanowire", QN_model_wire},
    {"Nanosheet", QN_model_sheet},
    {"Core-Shell", QN_model_coreshell},
    {"Solution", QN_model_solute},
    {"Dislocation", QN_model_dislocation},
    {"Crack", QN_model_crack},
};

// An entry of "Select model:" or the Model menu: opens its form, or says it
// is not there yet.
void model_form_cb(Fl_Widget* w, void* data) {
    const Fl_Menu_Item* item = w ? static_cast<Fl_Menu_*>(w)->mvalue() : nullptr;
    if (item && item->label())
        for (const ModelForm& form : kModelForms)
            if (std::string(item->label()) == form.label) {
                form.open();
                // The form that opened, or the one still shown when the
                // user kept it.
                QN_model_form_shown(form_entry);
                return;
            }
    later_cb(w, data);
    QN_model_form_shown(form_entry);
}

void blank(Fl_Widget*, void*) {}

Fl_Menu_Item menuitems[] = {
    {"&File", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"&New", FL_CTRL + 'n', QN_new_cb, nullptr, 0, 0, 0, 0, 0},
    {"&Import", FL_CTRL + 'i', import_cb, nullptr, 0, 0, 0, 0, 0},
    {"&Export", FL_CTRL + 'e', call<QN_save_file_model>, nullptr, FL_MENU_DIVIDER, 0, 0, 0, 0},
    {"Exit", FL_CTRL + 'q', QN_quit_cb, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"View", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Setting", 0, call<QN_switch_chroma>, nullptr, 0, 0, 0, 0, 0},
    {"Camera", 0, call<QN_switch_camera>, nullptr, 0, 0, 0, 0, 0},
    {"Fit", 0, call<QN_switch_camera_fit>, nullptr, FL_MENU_DIVIDER, 0, 0, 0, 0},
    {"Snapshot", 0, call<QN_snapshot_global>, nullptr, 0, 0, 0, 0, 0},
    {"Inspection", 0, call<QN_inspect_global>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Model", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Atomkit", FL_CTRL + 'a', model_form_cb, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Selection", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Cuboid", 0, call<AK_cuboid_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Cylinder", 0, call<AK_cylinder_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Cone", 0, call<AK_cone_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Polyhedron", 0, call<AK_polyhedron_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Polyprism", 0, call<AK_prism_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Slice", 0, call<AK_plane_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Sphere", 0, call<AK_sphere_region_menu>, nullptr, FL_MENU_DIVIDER, 0, 0, 0, 0},
    {"Expression", 0, call<AK_expression_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Inbox", 0, call<AK_inbox_region_menu>, nullptr, FL_MENU_DIVIDER, 0, 0, 0, 0},
    {"And", 0, call<AK_math_and_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Or", 0, call<AK_math_or_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Complement", 0, call<AK_math_comple_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Neither", 0, call<AK_math_neither_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Not", 0, call<AK_math_not_region_menu>, nullptr, FL_MENU_DIVIDER, 0, 0, 0, 0},
    {"Deform", 0, call<AK_deform_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Move", 0, call<AK_move_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Periodic", 0, call<AK_periodic_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Rotate", 0, call<AK_rotate_region_menu>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Operation", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Add Atom", 0, call<AK_add_single_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Fill Atoms", 0, call<AK_add_atom_step_menu>, nullptr, FL_MENU_DIVIDER, 0, 0, 0, 0},
    {"Create Box", 0, call<AK_create_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Deform", 0, call<AK_deform_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Delete", 0, call<AK_delete_atom_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Disturb", 0, call<AK_disturb_atom_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Duplicate", 0, call<AK_duplicate_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Extend", 0, call<AK_extend_atom_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Mirror", 0, call<AK_mirror_atom_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Move", 0, call<AK_move_atom_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Remove Duplicate", 0, call<AK_separate_atom_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Replace", 0, call<AK_changetype_atom_random_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Rotate", 0, call<AK_rotate_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Sort", 0, call<AK_sort_atom_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Symmetrize", 0, call<AK_move_box0_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Wrap", 0, call<AK_wrap_atom_step_menu>, nullptr, FL_MENU_DIVIDER, 0, 0, 0, 0},
    {"Affine Tensile", 0, call<AK_tensile_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Affine Compress", 0, call<AK_compress_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Affine Shear", 0, call<AK_affine_shear_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Alias Tensile", 0, call<AK_alias_tensile_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Alias Compress", 0, call<AK_alias_compress_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {"Alias Shear", 0, call<AK_alias_box_step_menu>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Monocrystal", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Polycrystal", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Bilayer", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Multilayer", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Nanocomposite", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Nanoparticle", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Nanowire", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Nanosheet", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Core-Shell", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Solution", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Dislocation", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {"Crack", 0, model_form_cb, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Simulation", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Quelm", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"&Dynamic", 0, call<QN_simulate_Dynamic_cb>, nullptr, 0, 0, 0, 0, 0},
    {"&Quasistatic", 0, call<QN_simulate_Quasistatic_cb>, nullptr, 0, 0, 0, 0, 0},
    {"&Shock", 0, call<QN_simulate_Shock_cb>, nullptr, 0, 0, 0, 0, 0},
    {"&Crack", 0, call<QN_simulate_Crack_cb>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"Analysis", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"MORLA", 0, call<QN_switch_analy>, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"CNA", 0, call<QN_switch_analy_cna>, nullptr, 0, 0, 0, 0, 0},
    {"BAA", 0, call<QN_switch_analy_baa>, nullptr, 0, 0, 0, 0, 0},
    {"CNP", 0, call<QN_switch_analy_cnp>, nullptr, 0, 0, 0, 0, 0},
    {"CSP", 0, call<QN_switch_analy_csp>, nullptr, 0, 0, 0, 0, 0},
    {"LCO", 0, call<QN_switch_analy_lco>, nullptr, 0, 0, 0, 0, 0},
    {"OIM", 0, call<QN_switch_analy_oim>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"KAVIR", 0, call<QN_switch_analy_dva>, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"DVA", 0, call<QN_switch_analy_dva>, nullptr, 0, 0, 0, 0, 0},
    {"STA", 0, call<QN_switch_analy_sta>, nullptr, 0, 0, 0, 0, 0},
    {"DDA", 0, call<QN_switch_analy_dda>, nullptr, 0, 0, 0, 0, 0},
    {"SVA", 0, call<QN_switch_analy_sva>, nullptr, 0, 0, 0, 0, 0},
    {"IDA", 0, call<QN_switch_analy_ida>, nullptr, 0, 0, 0, 0, 0},
    {"NYE", 0, call<QN_switch_analy_nye>, nullptr, 0, 0, 0, 0, 0},
    {"NTA", 0, call<QN_switch_analy_nta>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"&Tools", 0, nullptr, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"&Potential transformation", 0, blank, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"EAM", 0, call<QN_alloy2quelm>, nullptr, 0, 0, 0, 0, 0},
    {"FS", 0, call<QN_fs2quelm>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"&Dump transformation", 0, blank, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"DatST", 0, call<QN_DatST2lmp>, nullptr, 0, 0, 0, 0, 0},
    {"DatAES", 0, call<QN_DatAES2lmp>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {"&Help", 0, blank, nullptr, FL_SUBMENU, 0, 0, 0, 0},
    {"Licence", 0, call<QN_licence>, nullptr, 0, 0, 0, 0, 0},
    {"About", 0, call<QN_about>, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
};

struct ToolButton {
    int x;
    const char* icon;
    const char* tooltip;
    Fl_Callback* action;
    int shortcut;
};

const ToolButton kToolBar[] = {
    {2, "img/icon/opmd.png", "Import", import_cb, 0},
    {36, "img/icon/export.png", "Export", call<QN_save_file_model>, 0},
    {74, "img/icon/structure.png", "Model", call<QN_switch_model>, 0},
    {108, "img/icon/chorma.png", "Setting", call<QN_switch_chroma>, 0},
    {142, "img/icon/camera.png", "Camera", call<QN_switch_camera>, 0},
    {176, "img/icon/camset.png", "Reset Camera", call<QN_switch_camera_reset>, 0},
    {210, "img/icon/snapshot.png", "Take Snapshot", call<QN_snapshot_global>, FL_CTRL + '='},
    {244, "img/icon/inspect.png", "Inspect Particle", call<QN_inspect_global>, 0},
    {278, "img/icon/snap.png", "Analysis", call<QN_switch_analy>, 0},
    {316, "img/icon/dynamic.png", "Dynamic Simulation", call<QN_simulate_Dynamic_cb>, 0},
    {350, "img/icon/static.png", "Quasistatic Simulation", call<QN_simulate_Quasistatic_cb>, 0},
    {384, "img/icon/shock.png", "Shock Simulation", call<QN_simulate_Shock_cb>, 0},
    {418, "img/icon/crack.png", "Crack Simulation", call<QN_simulate_Crack_cb>, 0},
    {457, "img/icon/fit.png", "Fit", call<QN_switch_camera_fit>, 0},
};

const char* const kModels[] = {"Atomkit",       "Monocrystal",  "Polycrystal", "Bilayer",  "Multilayer",
                               "Nanocomposite", "Nanoparticle", "Nanowire",    "Nanosheet", "Core-Shell",
                               "Solution",      "Dislocation",  "Crack"};

Fl_Scroll* make_tab(const char* label) {
    auto* tab = new Fl_Scroll(0, 100, 320, 620, label);
    tab->box(FL_THIN_DOWN_BOX);
    tab->type(Fl_Scroll::VERTICAL_ALWAYS);
    tab->scrollbar.align(FL_ALIGN_LEFT);  // the scroll bar goes on the left
    tab->selection_color(32);
    return tab;
}

Fl_Box* separator(int x) {
    auto* b = new Fl_Box(x, 44, 4, 32);
    b->box(FL_UP_BOX);
    b->color(32);
    return b;
}

}  // namespace

void QN_build_main_window() {
    fl_register_images();
    Fl::scheme("plastic");
    QN_connect_progress();

    foo_window = new Fl_Double_Window(1280, 720, "Quelm Visualizer");
    foo_window->callback(main_window_cb);
    menu_bar = new Fl_Menu_Bar(0, 0, 1280, 40);
    menu_bar->menu(menuitems);
    QN_frame_UI_setup(menu_bar);  // the LAMMPS frames of config/config_list.txt
    new Fl_Box(FL_THIN_DOWN_BOX, 0, 40, 1280, 680, nullptr);

    auto* messages = new Fl_Scroll(320, 640, 960, 80);
    messages->type(Fl_Scroll::VERTICAL_ALWAYS);
    message_region = new Fl_Text_Buffer(0, 1024);
    message_display = new Fl_Text_Display(320, 640, 945, 320);
    message_display->box(FL_NO_BOX);
    message_display->buffer(message_region);
    messages->end();
    QN_message(welcome_text().c_str());

    rending_region = new Fl_Group(320, 80, 960, 550);
    rending_region->end();
    foo_window->resizable(rending_region);
    sliding_region = new Fl_Group(320, 630, 960, 10);
    sliding_region->end();
    QN_blank_Slider = new Fl_Box(320, 633, 960, 4);
    QN_blank_Slider->box(FL_UP_BOX);
    QN_blank_Slider->color(32);

    menu_region = new Fl_Group(0, 40, 960, 40);
    for (const ToolButton& t : kToolBar) {
        auto* b = new Fl_Button(t.x, 44, 32, 32);
        b->box(FL_THIN_DOWN_BOX);
        b->tooltip(t.tooltip);
        b->callback(t.action);
        if (t.shortcut) b->shortcut(t.shortcut);
        QN_load_img(QN_resource_path(t.icon).c_str(), b, nullptr);
        if (t.action == call<QN_inspect_global>) Inspect_MenuButton = b;
    }
    separator(69);
    separator(311);
    separator(451);
    menu_region->end();
    menu_region->resizable(nullptr);
    QNGC.analysis_rebuild = 1;

    control_region = new Fl_Tabs(0, 80, 320, 640);
    control_region->box(FL_THIN_DOWN_BOX);
    control_region->selection_color(4);
    view_region = make_tab("View");
    view_region->end();
    model_region = make_tab("Model");
    auto* select = new Fl_Group(0, 100, 320, 50);
    model_choice = new Fl_Choice(150, 110, 120, 30, "Select model:");
    for (const char* m : kModels)
        model_choice->add(m, 0, model_form_cb);
    model_choice->value(0);
    select->end();
    model_group = new Fl_Group(150, 110, 120, 30);
    model_group->end();
    model_region->end();
    analysis_region = make_tab("Analysis");
    analysis_region->end();
    control_region->end();
    foo_window->end();

    QB_init(&Current_Model);
    static Fl_PNG_Image icon(QN_resource_path("img/icon.png").c_str());
    if (icon.w() > 0 && icon.h() > 0) Fl_Window::default_icon(&icon);
}
