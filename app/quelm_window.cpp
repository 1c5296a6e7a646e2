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
#include <FL/Fl_Tile.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/fl_ask.H>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/quelm_analysis_tab.h"
#include "app/quelm_bind.h"
#include "app/quelm_import.h"
#include "store/quelm_resources.h"
#include "atomkit/atomkit_panel.h"
#include "view/view_panel.h"
#include "view/view_widget.h"
#include "qb/qb_text.h"

Fl_Double_Window* main_window = nullptr;
Fl_Menu_Bar* menu_bar = nullptr;
Fl_Group* menu_region = nullptr;
Fl_Button* Inspect_MenuButton = nullptr;
Fl_Group* render_region = nullptr;
Fl_Group* sliding_region = nullptr;
Fl_Text_Buffer* message_region = nullptr;
Fl_Text_Display* message_display = nullptr;
Fl_Tile* work_tile = nullptr;
Fl_Tabs* control_region = nullptr;
Fl_Scroll* view_region = nullptr;
Fl_Scroll* model_region = nullptr;
Fl_Scroll* analysis_region = nullptr;
Fl_Choice* model_choice = nullptr;
Fl_Group* model_group = nullptr;

namespace {
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

void QN_switch_analy_cna() { QN_show_analysis_method(0); }
void QN_switch_analy_baa() { QN_show_analysis_method(1); }
void QN_switch_analy_cnp() { QN_show_analysis_method(2); }
void QN_switch_analy_csp() { QN_show_analysis_method(3); }
void QN_switch_analy_lco() { QN_show_analysis_method(4); }
void QN_switch_analy_oim() { QN_show_analysis_method(5); }
void QN_switch_analy_dva() { QN_show_analysis_method(6); }
void QN_switch_analy_sta() { QN_show_analysis_method(7); }
void QN_switch_analy_dda() { QN_show_analysis_method(8); }
void QN_switch_analy_sva() { QN_show_analysis_method(9); }
void QN_switch_analy_ida() { QN_show_analysis_method(10); }
void QN_switch_analy_nye() { QN_show_analysis_method(11); }
void QN_switch_analy_nta() { QN_show_analysis_method(12); }

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

void QN_show_current_model() {
    const bool frame = frame_this_model();
    frame_next = false;
    if (!inited_atomic_viewer) QN_create_render();
    QN_mufile_bar();
    if (QNGC.analysis_rebuild == 1 || !analy_choice) {
        QN_analysis();
    } else if (inited_atomic_viewer) {
        // The same types as before: the selected analysis follows the model.
        const int k = analy_choice->value();
        Fl_Button* run = k >= 0 && k < static_cast<int>(analy_run.size()) ? analy_run[static_cast<size_t>(k)] : nullptr;
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
    if (main_window) main_window->flush();
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
    if (render_region) {
        render_region->clear();
        render_region->begin();
        auto* image = new Fl_Box(render_region->x(), render_region->y(), render_region->w(), render_region->h());
        image->box(FL_THIN_DOWN_BOX);
        image->align(FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
        image->color(50);
        QN_load_img(QN_resource_path("img/background.png").c_str(), image, nullptr);
        render_region->end();
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
    QN_analysis_forget();
    if (analysis_region) read_file_button(analysis_region);
    if (view_region) read_file_button(view_region);
    if (Current_Model.natoms > 0) {
        QB_free_atom(&Current_Model);
        QB_free_extra(&Current_Model);
        QB_free_exchannel(&Current_Model);
    }
    if (main_window) main_window->redraw();
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

namespace {

// What forms ask of the window (app/quelm_shell.h).
class window_shell final : public QN_shell {
public:
    void show_message(const std::string& text) override {
        if (!message_region) return;
        message_region->text(text.c_str());
        // The newest line in sight: the end of a long text, wrapped as shown.
        if (message_display) {
            message_display->insert_position(message_region->length());
            message_display->show_insert_position();
        }
    }
    void update_model() override { QN_show_current_model(); }
    void model_form_shown(int entry) override {
        form_entry = entry;
        if (model_choice) model_choice->value(entry);
    }
    Fl_Window* main_window() override { return ::main_window; }
    void flush_window() override {
        if (::main_window) ::main_window->flush();
    }
    Fl_Group* form_region() override { return model_group; }
    Fl_Choice* form_choice() override { return model_choice; }
    Fl_Scroll* model_tab() override { return model_region; }
    Fl_Scroll* view_tab() override { return view_region; }
    Fl_Scroll* analysis_tab() override { return analysis_region; }
    Fl_Group* render_area() override { return render_region; }
    Fl_Button* inspect_button() override { return Inspect_MenuButton; }
    void show_model_tab() override {
        if (!control_region || !model_region) return;
        control_region->value(model_region);
        model_region->redraw();
    }
    void show_analysis_tab() override {
        if (!control_region || !analysis_region) return;
        control_region->value(analysis_region);
        analysis_region->redraw();
    }
    void snapshot() override {
        if (have_model()) QN_snapshot_render();
    }
    void open_model() override { QN_get_file_model(); }
    void save_model() override { QN_save_file_model(); }
    void forget_file_series() override { QN_file_list_free(); }
    std::vector<std::pair<std::string, int>> file_series() override {
        std::vector<std::pair<std::string, int>> out;
        for (size_t k = 0; k < QN_file_list.size(); k++)
            out.push_back({QN_file_list[k], k < QN_file_frames.size() ? QN_file_frames[k] : -1});
        return out;
    }
};

window_shell the_shell;

}  // namespace

// ------------------------------------------------------------- text windows

namespace {
void text_window(const char* title, const char* text) {
    auto* w = new Fl_Double_Window(550, 400, title);
    auto* buffer = new Fl_Text_Buffer();
    buffer->text(text);
    auto* display = new Fl_Text_Display(0, 0, 550, 400);
    display->buffer(buffer);
    display->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
    w->resizable(display);
    w->end();
    w->show();
}
}  // namespace

// The texts of Help, one paragraph per line: the window wraps them at its width.
const char* const QN_licence_text =
    "Quelm Visualizer - terms of use\n\n"
    "You may use this program to build, view and analyse atomic models and to prepare simulations, for research "
    "and teaching.\n\n"
    "The program is provided as it is, without warranty of any kind. Results, models and files it produces are "
    "yours; check them before you rely on them.\n\n"
    "You may copy the program unchanged. Changed copies must say that they are changed.";

std::string QN_about_text() {
    return std::string("Quelm Visualizer ") + QN_version() +
           "\nA workbench for atomistic materials modelling: build, view, analyse and simulate.\n\n"
           "Problems and suggestions: please report them to the Quelm Visualizer team.";
}

const char* QN_version() {
#ifdef QUELM_VERSION
    return QUELM_VERSION;
#else
    return "(development)";
#endif
}

void QN_licence() { text_window("Quelm Visualizer licence", QN_licence_text); }

void QN_about() { text_window("About Quelm Visualizer", QN_about_text().c_str()); }

// ------------------------------------------------------------ the window

namespace {

// Entries whose forms and tools are not part of this version yet; the
// name without the menu's shortcut marks.
void later_cb(Fl_Widget* w, void*) {
    const Fl_Menu_Item* item = w ? static_cast<Fl_Menu_*>(w)->mvalue() : nullptr;
    std::string name = item && item->label() ? item->label() : "This function";
    name.erase(std::remove(name.begin(), name.end(), '&'), name.end());
    not_yet(name.c_str());
}

// An entry of "Select model:" or the Model menu: opens its form, or says it
// is not there yet.
// The subsystems' tables as the window was built with them: menu entries
// and buttons point into them.
std::vector<QN_subsystem> parts;
std::vector<QN_model_form> forms;  // every part's, in "Select model:" order

void model_form_cb(Fl_Widget* w, void* data) {
    const Fl_Menu_Item* item = w ? static_cast<Fl_Menu_*>(w)->mvalue() : nullptr;
    if (item && item->label())
        for (const QN_model_form& form : forms)
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

void run_entry(Fl_Widget*, void* data) { static_cast<const QN_menu_entry*>(data)->action(); }
void run_button(Fl_Widget*, void* data) { static_cast<const QN_tool_button*>(data)->action(); }


void new_model() { QN_new_cb(nullptr, nullptr); }
void import_model() { import_cb(nullptr, nullptr); }
void quit_program() { QN_quit_cb(nullptr, nullptr); }

// The window's own menus and buttons; the subsystems' come between them.
const QN_menu_entry kFileAndView[] = {
    {"&File/&New", FL_CTRL + 'n', new_model, 0},
    {"&File/&Import", FL_CTRL + 'i', import_model, 0},
    {"&File/&Export", FL_CTRL + 'e', QN_save_file_model, FL_MENU_DIVIDER},
    {"&File/Exit", FL_CTRL + 'q', quit_program, 0},
    {"View/Setting", 0, QN_switch_chroma, 0},
    {"View/Camera", 0, QN_switch_camera, 0},
    {"View/Fit", 0, QN_switch_camera_fit, FL_MENU_DIVIDER},
    {"View/Snapshot", 0, QN_snapshot_global, 0},
    {"View/Inspection", 0, QN_inspect_global, 0},
};
const QN_menu_entry kHelp[] = {
    {"&Help/Licence", 0, QN_licence, 0},
    {"&Help/About", 0, QN_about, 0},
};

const QN_tool_button kToolBar[] = {
    {2, "img/icon/opmd.png", "Import", import_model, 0},
    {36, "img/icon/export.png", "Export", QN_save_file_model, 0},
    {74, "img/icon/structure.png", "Model", QN_switch_model, 0},
    {108, "img/icon/chorma.png", "Setting", QN_switch_chroma, 0},
    {142, "img/icon/camera.png", "Camera", QN_switch_camera, 0},
    {176, "img/icon/camset.png", "Reset Camera", QN_switch_camera_reset, 0},
    {210, "img/icon/snapshot.png", "Take Snapshot", QN_snapshot_global, FL_CTRL + '='},
    {244, "img/icon/inspect.png", "Inspect Particle", QN_inspect_global, 0},
    {278, "img/icon/snap.png", "Analysis", QN_switch_analy, 0},
    {457, "img/icon/fit.png", "Fit", QN_switch_camera_fit, 0},
};


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

namespace {
// The menu bar: the window's File and View, then every subsystem's forms
// (the Model menu) and entries in the order given, then Help.
void build_menus(Fl_Menu_Bar* bar) {
    for (const QN_menu_entry& e : kFileAndView) bar->add(e.path, e.shortcut, run_entry, const_cast<QN_menu_entry*>(&e), e.flags);
    for (const QN_subsystem& part : parts) {
        for (const QN_model_form& f : part.forms)
            bar->add((std::string("Model/") + f.label).c_str(), f.shortcut, model_form_cb, nullptr, f.flags);
        for (const QN_menu_entry& e : part.menu)
            bar->add(e.path, e.shortcut, e.action ? run_entry : nullptr, const_cast<QN_menu_entry*>(&e), e.flags);
        if (part.add_to_menu) part.add_to_menu(bar);
    }
    for (const QN_menu_entry& e : kHelp) bar->add(e.path, e.shortcut, run_entry, const_cast<QN_menu_entry*>(&e), e.flags);
}

Fl_Button* tool_button(const QN_tool_button& t) {
    auto* b = new Fl_Button(t.x, 44, 32, 32);
    b->box(FL_THIN_DOWN_BOX);
    b->tooltip(t.tooltip);
    b->callback(run_button, const_cast<QN_tool_button*>(&t));
    if (t.shortcut) b->shortcut(t.shortcut);
    QN_load_img(QN_resource_path(t.icon).c_str(), b, nullptr);
    return b;
}
}  // namespace

void QN_build_main_window(const std::vector<QN_subsystem>& subsystems) {
    parts = subsystems;
    forms.clear();
    std::vector<QN_analysis_pages> analyses;
    for (const QN_subsystem& part : parts) {
        forms.insert(forms.end(), part.forms.begin(), part.forms.end());
        analyses.insert(analyses.end(), part.analyses.begin(), part.analyses.end());
    }
    QN_install_shell(&the_shell);
    QN_analysis_tab_pages(analyses);
    fl_register_images();
    Fl::scheme("plastic");
    QN_connect_progress();

    main_window = new Fl_Double_Window(1280, 720, "Quelm Visualizer");
    main_window->callback(main_window_cb);
    main_window->size_range(960, 600);
    menu_bar = new Fl_Menu_Bar(0, 0, 1280, 40);
    build_menus(menu_bar);
    new Fl_Box(FL_THIN_DOWN_BOX, 0, 40, 1280, 680, nullptr);

    // Right of the tabs, one above the other: the view with the sequence
    // bar, and the message area. The border between them can be dragged; a
    // larger window gives the view the room and the message area its width.
    work_tile = new Fl_Tile(320, 80, 960, 640);
    auto* upper = new Fl_Group(320, 80, 960, 534);
    render_region = new Fl_Group(320, 80, 960, 510);
    render_region->end();
    sliding_region = new Fl_Group(320, 590, 960, 24);
    QN_blank_Slider = new Fl_Box(320, 600, 960, 4);
    QN_blank_Slider->box(FL_UP_BOX);
    QN_blank_Slider->color(32);
    QN_file_list_label = new Fl_Box(1000, 590, 280, 24);
    QN_file_list_label->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_CLIP);
    QN_file_list_label->labelsize(13);
    sliding_region->resizable(QN_blank_Slider);
    sliding_region->end();
    upper->resizable(render_region);
    upper->end();
    message_region = new Fl_Text_Buffer(0, 1024);
    message_display = new Fl_Text_Display(320, 614, 960, 106);
    message_display->box(FL_THIN_DOWN_BOX);
    message_display->buffer(message_region);
    message_display->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
    message_display->textsize(13);
    // The tile's resizable box: the message area keeps its height while the
    // window grows, and the view keeps at least 120 pixels when dragged.
    auto* limits = new Fl_Box(320, 80 + 120, 960, 614 - 200);
    limits->hide();
    work_tile->resizable(limits);
    work_tile->end();
    main_window->resizable(work_tile);
    QN_message(welcome_text().c_str());

    menu_region = new Fl_Group(0, 40, 960, 40);
    for (const QN_tool_button& t : kToolBar) {
        Fl_Button* b = tool_button(t);
        if (t.action == QN_inspect_global) Inspect_MenuButton = b;
    }
    for (const QN_subsystem& part : parts)
        for (const QN_tool_button& t : part.tools) tool_button(t);
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
    model_choice = new Fl_Choice(130, 110, 170, 30, "Select model:");
    for (const QN_model_form& f : forms) model_choice->add(f.label, 0, model_form_cb);
    model_choice->value(0);
    select->end();
    model_group = new Fl_Group(150, 110, 120, 30);
    model_group->end();
    model_region->end();
    analysis_region = make_tab("Analysis");
    analysis_region->end();
    control_region->end();
    main_window->end();

    QB_init(&Current_Model);
    static Fl_PNG_Image icon(QN_resource_path("img/icon.png").c_str());
    if (icon.w() > 0 && icon.h() > 0) Fl_Window::default_icon(&icon);
}
