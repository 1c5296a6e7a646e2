#include "view/view_panel.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Color_Chooser.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>

#include <algorithm>
#include <string>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_resources.h"
#include "app/quelm_shell.h"
#include "qb/qb_text.h"
#include "view/view_image.h"
#include "view/view_widget.h"

Fl_Group* QN_render_control_group1 = nullptr;
Fl_Group* QN_render_control_group2 = nullptr;
Fl_Group* render_control_region1 = nullptr;
Fl_Group* render_control_region2 = nullptr;
Fl_Round_Button* render_bar_flag = nullptr;
Fl_Round_Button* render_col_flag = nullptr;
Fl_Choice* bar_slot = nullptr;
Fl_Choice* colr_slot = nullptr;
Fl_Choice* colg_slot = nullptr;
Fl_Choice* colb_slot = nullptr;
Fl_Choice* delete_slot = nullptr;
Fl_Choice* render_rr_choice = nullptr;
Fl_Value_Input* bar_slot_min = nullptr;
Fl_Value_Input* bar_slot_max = nullptr;
Fl_Value_Input* render_rr_value = nullptr;
Fl_Value_Input *render_slice_A = nullptr, *render_slice_B = nullptr, *render_slice_C = nullptr,
               *render_slice_D = nullptr, *render_slice_E = nullptr;
Fl_Round_Button* render_drawslice_flag = nullptr;
Fl_Choice* view_choice = nullptr;
Fl_Value_Input *render_delete_min = nullptr, *render_delete_max = nullptr;
Fl_Button* inspect_particle = nullptr;
Fl_Value_Input *xmove_size = nullptr, *ymove_size = nullptr, *xrot_size = nullptr, *yrot_size = nullptr,
               *zrot_size = nullptr, *zom_size = nullptr, *pers_size = nullptr, *radius_size = nullptr,
               *chroma_size = nullptr, *box_size = nullptr;
Fl_Value_Input *render_width = nullptr, *render_hight = nullptr, *render_SSAA = nullptr, *render_indistinct = nullptr;

namespace {

Fl_Round_Button* box_flag = nullptr;
Fl_Round_Button* axes_flag = nullptr;
Fl_Value_Input* light_position_input = nullptr;
Fl_Value_Input* light_strength_input = nullptr;

// The panel's widgets live in the View tab, which a reset of the window
// clears (for its "Read file" button): the pointers to them are dropped
// with them, so that nothing touches a deleted widget until the next model
// builds the panel again.
void forget_panel() {
    for (Fl_Group** g : {&QN_render_control_group1, &QN_render_control_group2, &render_control_region1,
                         &render_control_region2})
        *g = nullptr;
    for (Fl_Round_Button** b : {&render_bar_flag, &render_col_flag, &render_drawslice_flag, &box_flag, &axes_flag})
        *b = nullptr;
    for (Fl_Choice** c : {&bar_slot, &colr_slot, &colg_slot, &colb_slot, &delete_slot, &render_rr_choice, &view_choice})
        *c = nullptr;
    for (Fl_Value_Input** v :
         {&bar_slot_min, &bar_slot_max, &render_rr_value, &render_slice_A, &render_slice_B, &render_slice_C,
          &render_slice_D, &render_slice_E, &render_delete_min, &render_delete_max, &xmove_size, &ymove_size,
          &xrot_size, &yrot_size, &zrot_size, &zom_size, &pers_size, &radius_size, &chroma_size, &box_size,
          &render_width, &render_hight, &render_SSAA, &render_indistinct, &light_position_input,
          &light_strength_input})
        *v = nullptr;
    inspect_particle = nullptr;
}

// The panel's first group, deleted last when the tab is cleared.
class Panel_Head : public Fl_Group {
public:
    using Fl_Group::Fl_Group;
    ~Panel_Head() override { forget_panel(); }
};

template <void (*F)()>
void call(Fl_Widget*, void*) {
    F();
}

// A menu text as FLTK's menus take it: '/', '&', '_' and '\' kept literally.
std::string menu_text(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '/' || c == '&' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

const char* item_text(Fl_Choice* c) {
    const Fl_Menu_Item* item = c ? c->mvalue() : nullptr;
    return item && item->label() ? item->label() : "";
}

// Selects the item called name; false when there is none.
bool select_named(Fl_Choice* c, const std::string& name) {
    for (int k = 0; k < c->size() - 1; k++)
        if (c->menu()[k].label() && name == c->menu()[k].label()) {
            c->value(k);
            return true;
        }
    return false;
}

// "valid" column names: a slot of the current model other than "id".
bool valid(const std::string& name) { return QB_slot_get(&Current_Model, name.c_str()) > 0; }

int slot_of(Fl_Choice* c) { return std::max(0, QB_slot_get(&Current_Model, item_text(c))); }

void colour_mode(bool bar) {
    render_bar_flag->value(bar ? 1 : 0);
    render_col_flag->value(bar ? 0 : 1);
    for (Fl_Widget* w : {static_cast<Fl_Widget*>(bar_slot), static_cast<Fl_Widget*>(bar_slot_min),
                         static_cast<Fl_Widget*>(bar_slot_max)})
        QN_set_active(w, bar);
    for (Fl_Widget* w : {colr_slot, colg_slot, colb_slot}) QN_set_active(w, !bar);
}

void rr_choice_cb(Fl_Widget*, void*) {
    if (!cube || !render_rr_choice) return;
    const int k = render_rr_choice->value();
    if (k >= 0 && k < static_cast<int>(cube->rel_radius.size())) render_rr_value->value(cube->rel_radius[k]);
}

void rr_value_cb(Fl_Widget*, void*) {
    if (!cube || !render_rr_choice) return;
    const int k = render_rr_choice->value();
    if (k < 0 || k >= static_cast<int>(cube->rel_radius.size())) return;  // no type chosen
    cube->rel_radius[k] = render_rr_value->value();
    QN_render_get_file_flush();
}

// Refills the five column choices and "Relative Radius:" for the current
// model; every type gets the relative radius 1.
void fill_choices() {
    for (Fl_Choice* c : {bar_slot, colr_slot, colg_slot, colb_slot, delete_slot, render_rr_choice}) c->clear();
    std::string name;
    for (int slot = 0; slot < QB_slot_sum(&Current_Model); slot++) {
        QB_slot_name(&Current_Model, slot, name);
        const std::string text = menu_text(name);
        bar_slot->add(text.c_str(), 0, call<QN_render_bar_flush_callback>);
        for (Fl_Choice* c : {colr_slot, colg_slot, colb_slot, delete_slot})
            c->add(text.c_str(), 0, call<QN_render_get_file_flush>);
    }
    const int types = std::max(Current_Model.ntypes, 0);
    for (int t = 1; t <= types; t++) render_rr_choice->add(QB_format("type%d", t).c_str(), 0, rr_choice_cb);
    if (cube) cube->rel_radius.assign(static_cast<size_t>(types), 1.0);
    render_rr_choice->value(types > 0 ? 0 : -1);
    render_rr_value->value(1);
}

void inspect_off() {
    if (inspect_particle) inspect_particle->value(0);
    if (QN_inspect_button()) QN_load_img(QN_resource_path("img/icon/inspect.png").c_str(), QN_inspect_button(), nullptr);
    if (cube) {
        cube->inspect_mode = 0;
        cube->selected = -1;
    }
}

void update_slice() {
    if (!cube) return;
    cube->slice = QN_slice_outline_build(&Current_Model, render_slice_A->value(), render_slice_B->value(),
                                         render_slice_C->value(), render_slice_D->value(), render_slice_E->value());
}

void redraw_view() {
    if (cube) cube->redraw();
}

// ---- layout: frames stacked down the tab, widgets in rows of 30 pixels,
// clear of the scroll bar on the left.

constexpr int kIndent = 12;

struct Layout {
    int y;
    Fl_Group* frame(const char* label, int rows) {
        auto* g = new Fl_Group(20, y + 20, 292, rows * 35 + 10, label);
        g->box(FL_ENGRAVED_FRAME);
        g->align(FL_ALIGN_TOP_LEFT);
        y += rows * 35 + 40;
        return g;
    }
};

Fl_Value_Input* input(int x, int y, int w, const char* label, double value, Fl_Callback* cb = nullptr) {
    auto* v = new Fl_Value_Input(x + kIndent, y, w, 30, label);
    v->value(value);
    if (cb) {
        v->callback(cb);
        v->when(FL_WHEN_RELEASE);
    }
    return v;
}

Fl_Button* button(int x, int y, int w, const char* label, Fl_Callback* cb) {
    auto* b = new Fl_Button(x + kIndent, y, w, 30, label);
    b->callback(cb);
    return b;
}

Fl_Choice* choice(int x, int y, int w, const char* label) { return new Fl_Choice(x + kIndent, y, w, 30, label); }

// A step input with its two buttons.
Fl_Value_Input* stepper(int y, const char* plus, const char* minus, double value, Fl_Callback* up, Fl_Callback* down) {
    Fl_Value_Input* v = input(30, y, 90, nullptr, value);
    button(130, y, 75, plus, up);
    button(215, y, 75, minus, down);
    return v;
}

void build_setting(int top) {
    Layout l{top};
    Fl_Group* g = l.frame("Color Coding:", 4);
    int y = g->y() + 5;
    render_bar_flag = new Fl_Round_Button(20 + kIndent, y, 100, 30, "Color Bar");
    render_bar_flag->type(FL_RADIO_BUTTON);
    render_bar_flag->callback(call<QN_render_radio_colbar>);
    bar_slot = choice(170, y, 120, "Input:");
    // Wide enough, in a smaller text, for the longest number a field writes
    // ("-1.23457e+100"): a longer text would show only its end.
    bar_slot_min = input(45, y + 35, 105, "Min", 0, call<QN_render_get_file_flush>);
    bar_slot_max = input(190, y + 35, 105, "Max", 1, call<QN_render_get_file_flush>);
    bar_slot_min->textsize(12);
    bar_slot_max->textsize(12);
    render_col_flag = new Fl_Round_Button(20 + kIndent, y + 70, 100, 30, "RGB Bar");
    render_col_flag->type(FL_RADIO_BUTTON);
    render_col_flag->callback(call<QN_render_radio_colbar>);
    colr_slot = choice(40, y + 105, 65, "R:");
    colg_slot = choice(130, y + 105, 65, "G:");
    colb_slot = choice(220, y + 105, 70, "B:");
    g->end();

    g = l.frame("Trimming:", 6);
    y = g->y() + 5;
    render_slice_A = input(90, y, 50, "Normal X:", 1, call<QN_Slice_update_cb>);
    render_slice_B = input(170, y, 50, "Y:", 0, call<QN_Slice_update_cb>);
    render_slice_C = input(240, y, 50, "Z:", 0, call<QN_Slice_update_cb>);
    render_slice_D = input(90, y + 35, 50, "Distance:", 0, call<QN_Slice_update_cb>);
    render_slice_E = input(240, y + 35, 50, "Slice Width:", 0, call<QN_Slice_update_cb>);
    button(20, y + 70, 80, "Cut", call<QN_render_slice_delete>);
    button(110, y + 70, 80, "Recover", call<QN_render_slice_recover>);
    render_drawslice_flag = new Fl_Round_Button(20 + kIndent, y + 105, 200, 30, "Show Slice Region");
    render_drawslice_flag->callback([](Fl_Widget* w, void*) {
        if (cube) cube->draw_slice = static_cast<Fl_Round_Button*>(w)->value();
        redraw_view();
    });
    delete_slot = choice(60, y + 140, 75, "From:");
    render_delete_min = input(168, y + 140, 45, "Min", 0);
    render_delete_max = input(248, y + 140, 45, "Max", 1);
    button(20, y + 175, 66, "Delete", call<QN_render_data_delete>);
    button(88, y + 175, 66, "Recover", call<QN_render_data_recover>);
    button(156, y + 175, 66, "Inverse", call<QN_render_inverse_delete>);
    button(224, y + 175, 66, "Reset", call<QN_render_recover_delete>);
    g->end();

    g = l.frame("Atoms:", 4);
    y = g->y() + 5;
    render_rr_choice = choice(130, y, 80, "Relative Radius:");
    render_rr_value = input(220, y, 70, nullptr, 1, rr_value_cb);
    radius_size = stepper(y + 35, "Radius+", "Radius-", 0.1, call<QN_render_radius_plus>, call<QN_render_radius_minus>);
    chroma_size = stepper(y + 70, "Chroma+", "Chroma-", 0.1, call<QN_render_chroma_plus>, call<QN_render_chroma_minus>);
    inspect_particle = button(20, y + 105, 270, "Inspect Particle", call<QN_Select_mode_cb>);
    g->end();

    g = l.frame("Box:", 2);
    y = g->y() + 5;
    box_flag = new Fl_Round_Button(20 + kIndent, y, 100, 30, "Draw Box");
    box_flag->value(1);
    box_flag->callback([](Fl_Widget* w, void*) {
        if (cube) cube->draw_box = static_cast<Fl_Round_Button*>(w)->value();
        redraw_view();
    });
    button(170, y, 120, "Color", [](Fl_Widget*, void*) {
        if (!cube) return;
        double r = cube->box_color[0], gr = cube->box_color[1], b = cube->box_color[2];
        if (fl_color_chooser(nullptr, r, gr, b)) {
            cube->box_color[0] = static_cast<float>(r);
            cube->box_color[1] = static_cast<float>(gr);
            cube->box_color[2] = static_cast<float>(b);
            redraw_view();
        }
    });
    box_size = stepper(y + 35, "Thick+", "Thick-", 0.1, call<QN_render_box_plus>, call<QN_render_box_minus>);
    g->end();

    g = l.frame("Background:", 1);
    button(20, g->y() + 5, 270, "Color", [](Fl_Widget*, void*) {
        if (!cube) return;
        double r = cube->bg_color[0], gr = cube->bg_color[1], b = cube->bg_color[2];
        if (fl_color_chooser(nullptr, r, gr, b)) {
            cube->bg_color[0] = static_cast<float>(r);
            cube->bg_color[1] = static_cast<float>(gr);
            cube->bg_color[2] = static_cast<float>(b);
            redraw_view();
        }
    });
    g->end();

    g = l.frame("Axes:", 1);
    axes_flag = new Fl_Round_Button(20 + kIndent, g->y() + 5, 100, 30, "Draw");
    axes_flag->value(1);
    axes_flag->callback([](Fl_Widget* w, void*) {
        if (cube) cube->draw_axes = static_cast<Fl_Round_Button*>(w)->value();
        redraw_view();
    });
    g->end();
}

void build_camera(int top) {
    Layout l{top};
    Fl_Group* g = l.frame("Camera:", 8);
    int y = g->y() + 5;
    xmove_size = stepper(y, "Movx+", "Movx-", 10, call<QN_render_xmove_plus>, call<QN_render_xmove_minus>);
    ymove_size = stepper(y + 35, "Movy+", "Movy-", 10, call<QN_render_ymove_plus>, call<QN_render_ymove_minus>);
    xrot_size = stepper(y + 70, "Rotx+", "Rotx-", 5, call<QN_render_xrot_plus>, call<QN_render_xrot_minus>);
    yrot_size = stepper(y + 105, "Roty+", "Roty-", 5, call<QN_render_yrot_plus>, call<QN_render_yrot_minus>);
    zrot_size = stepper(y + 140, "Rotz+", "Rotz-", 5, call<QN_render_zrot_plus>, call<QN_render_zrot_minus>);
    zom_size = stepper(y + 175, "Zoom+", "Zoom-", 10, call<QN_render_zom_plus>, call<QN_render_zom_minus>);
    pers_size = stepper(y + 210, "Pers+", "Pers-", 0.01, call<QN_render_perspective_plus>,
                        call<QN_render_perspective_minus>);
    button(20, y + 245, 132, "Reset", call<QN_render_reset_setting>);
    button(158, y + 245, 132, "Fit", call<QN_render_fit>)->tooltip("Frame the model in the view (key F)");
    g->end();

    g = l.frame("Light:", 2);
    y = g->y() + 5;
    light_position_input = input(150, y, 140, "LightPosition=", 0.5, [](Fl_Widget* w, void*) {
        if (cube) cube->light_position = static_cast<Fl_Value_Input*>(w)->value();
        redraw_view();
    });
    light_strength_input = input(150, y + 35, 140, "LightStrength=", 0, [](Fl_Widget* w, void*) {
        if (cube) cube->light_strength = static_cast<Fl_Value_Input*>(w)->value();
        redraw_view();
    });
    g->end();

    g = l.frame("Snapshot:", 3);
    y = g->y() + 5;
    render_width = input(50, y, 90, "W=", 1920);
    render_hight = input(200, y, 90, "H=", 1100);
    render_SSAA = input(130, y + 35, 40, "Antialiasing=", 2);
    render_SSAA->range(1, 10);
    render_indistinct = input(250, y + 35, 40, "BlurFilter=", 0);
    render_indistinct->range(0, 10);
    button(20, y + 70, 270, "Save As", call<QN_snapshot_global>);
    g->end();
}

}  // namespace

// ------------------------------------------------------------------ panel

void QN_render_build_panel() {
    QN_view_tab()->clear();
    QN_view_tab()->begin();
    auto* head = new Panel_Head(0, 100, 320, 50);
    view_choice = new Fl_Choice(160, 110, 140, 30, "Choose control:");
    view_choice->add("Setting", 0, call<QN_render_control1>);
    view_choice->add("Camera", 0, call<QN_render_control2>);
    view_choice->value(0);
    head->end();
    QN_render_control_group1 = new Fl_Group(0, 150, 320, 1000, "Setting");
    QN_render_control_group1->labeltype(FL_NO_LABEL);
    render_control_region1 = new Fl_Group(0, 150, 320, 1000);
    build_setting(150);
    render_control_region1->end();
    QN_render_control_group1->end();
    QN_render_control_group2 = new Fl_Group(0, 150, 320, 1000, "Camera");
    QN_render_control_group2->labeltype(FL_NO_LABEL);
    render_control_region2 = new Fl_Group(0, 150, 320, 1000);
    build_camera(150);
    render_control_region2->end();
    QN_render_control_group2->end();
    QN_render_control_group2->hide();
    render_control_region1->deactivate();
    render_control_region2->deactivate();
    QN_view_tab()->end();
    QN_view_tab()->redraw();
}

void QN_render_control1() {
    QN_render_control_group1->show();
    QN_render_control_group2->hide();
    QN_view_tab()->redraw();
}

void QN_render_control2() {
    QN_render_control_group1->hide();
    QN_render_control_group2->show();
    QN_view_tab()->redraw();
}

// ---------------------------------------------------------------- loading

void QN_render_check_file() {
    if (!cube || !bar_slot) return;
    render_control_region1->activate();
    render_control_region2->activate();
    update_slice();
    enum { kRestore, kRgb, kDefault } mode;
    std::string input_name = "type", r = "type", g = "type", b = "type";
    auto or_type = [](const char* name) { return valid(name) ? std::string(name) : std::string("type"); };
    if (render_bar_flag->value() && valid(item_text(bar_slot))) {
        input_name = item_text(bar_slot);
        r = or_type(item_text(colr_slot));
        g = or_type(item_text(colg_slot));
        b = or_type(item_text(colb_slot));
        cube->rel_radius.assign(static_cast<size_t>(std::max(Current_Model.ntypes, 0)), 1.0);
        cube->loadQB_bar(&Current_Model, QB_slot_get(&Current_Model, input_name.c_str()), bar_slot_min->value(),
                         bar_slot_max->value());
        mode = kRestore;
    } else if (render_col_flag->value() && valid(item_text(colr_slot)) && valid(item_text(colg_slot)) &&
               valid(item_text(colb_slot))) {
        r = item_text(colr_slot);
        g = item_text(colg_slot);
        b = item_text(colb_slot);
        input_name = or_type(item_text(bar_slot));
        cube->rel_radius.assign(static_cast<size_t>(std::max(Current_Model.ntypes, 0)), 1.0);
        cube->loadQB_col(&Current_Model, QB_slot_get(&Current_Model, r.c_str()), QB_slot_get(&Current_Model, g.c_str()),
                         QB_slot_get(&Current_Model, b.c_str()));
        mode = kRgb;
    } else {
        const QN_range range = QN_render_default_range(Current_Model.ntypes);
        cube->rel_radius.assign(static_cast<size_t>(std::max(Current_Model.ntypes, 0)), 1.0);
        cube->loadQB_bar(&Current_Model, 1, range.min, range.max);
        bar_slot_min->value(range.min);
        bar_slot_max->value(range.max);
        mode = kDefault;
    }
    fill_choices();
    colour_mode(mode != kRgb);
    select_named(bar_slot, input_name);
    select_named(colr_slot, r);
    select_named(colg_slot, g);
    select_named(colb_slot, b);
    delete_slot->value(QB_slot_sum(&Current_Model) > 1 ? 1 : 0);
    cube->redraw();
    inspect_off();
}

void QN_render_get_file_flush() {
    if (!cube || !render_bar_flag) return;
    update_slice();
    if (render_bar_flag->value())
        cube->loadQB_bar(&Current_Model, slot_of(bar_slot), bar_slot_min->value(), bar_slot_max->value());
    else if (render_col_flag->value())
        cube->loadQB_col(&Current_Model, slot_of(colr_slot), slot_of(colg_slot), slot_of(colb_slot));
    if (cube->inspect_mode) {
        QN_atom_message(0);
        cube->selected = -1;
    }
    cube->redraw();
}

void QN_Slice_update_cb() { QN_render_get_file_flush(); }

void QN_render_radio_colbar() {
    colour_mode(render_bar_flag->value() != 0);
    QN_render_get_file_flush();
}

void QN_render_bar_flush_callback() {
    QN_range range;
    if (QN_render_bar_range(&Current_Model, slot_of(bar_slot), item_text(bar_slot), &range)) {
        bar_slot_min->value(range.min);
        bar_slot_max->value(range.max);
    }
    QN_render_get_file_flush();
}

namespace {
// Steps 1-4 of colouring by named columns.
bool prepare_named() {
    if (Current_Model.natoms == 0 || !cube || !bar_slot) return false;
    render_control_region1->activate();
    render_control_region2->activate();
    fill_choices();
    colour_mode(true);
    for (Fl_Choice* c : {colr_slot, colg_slot, colb_slot, delete_slot}) c->value(1);
    cube->redraw();
    return true;
}
}  // namespace

void QN_render_check_file2(const char* name) {
    if (!prepare_named()) return;
    if (!name || !select_named(bar_slot, name)) bar_slot->value(1);
    QN_render_bar_flush_callback();
}

void QN_render_check_file3(const char* r, const char* g, const char* b) {
    if (!prepare_named()) return;
    bar_slot->value(1);
    if (!r || !g || !b || !select_named(colr_slot, r) || !select_named(colg_slot, g) || !select_named(colb_slot, b))
        return;
    colour_mode(false);
    QN_render_get_file_flush();
}

// ------------------------------------------------------------------ steps

namespace {
template <class F>
void step(F change) {
    if (!cube) return;
    change(*cube);
    cube->redraw();
}

// A step input's value; the view's default step where there is no panel.
double by(Fl_Value_Input* input, double fallback) { return input ? input->value() : fallback; }
}  // namespace

void QN_render_xmove_plus() { step([](cube_box& c) { c.shift_x += static_cast<float>(by(xmove_size, 10)); }); }
void QN_render_xmove_minus() { step([](cube_box& c) { c.shift_x -= static_cast<float>(by(xmove_size, 10)); }); }
void QN_render_ymove_plus() { step([](cube_box& c) { c.shift_y += static_cast<float>(by(ymove_size, 10)); }); }
void QN_render_ymove_minus() { step([](cube_box& c) { c.shift_y -= static_cast<float>(by(ymove_size, 10)); }); }
void QN_render_xrot_plus() { step([](cube_box& c) { c.rot_x += by(xrot_size, 5); }); }
void QN_render_xrot_minus() { step([](cube_box& c) { c.rot_x -= by(xrot_size, 5); }); }
void QN_render_yrot_plus() { step([](cube_box& c) { c.rot_y += by(yrot_size, 5); }); }
void QN_render_yrot_minus() { step([](cube_box& c) { c.rot_y -= by(yrot_size, 5); }); }
void QN_render_zrot_plus() { step([](cube_box& c) { c.rot_z += by(zrot_size, 5); }); }
void QN_render_zrot_minus() { step([](cube_box& c) { c.rot_z -= by(zrot_size, 5); }); }
void QN_render_zom_plus() { step([](cube_box& c) { c.view_height = QN_camera_zoom_in(c.view_height, by(zom_size, 10)); }); }
void QN_render_zom_minus() {
    step([](cube_box& c) { c.view_height = QN_camera_zoom_out(c.view_height, by(zom_size, 10)); });
}
void QN_render_perspective_plus() {
    step([](cube_box& c) { c.perspective = QN_camera_perspective_plus(c.perspective, by(pers_size, 0.01)); });
}
void QN_render_perspective_minus() {
    step([](cube_box& c) { c.perspective = QN_camera_perspective_minus(c.perspective, by(pers_size, 0.01)); });
}
void QN_render_radius_plus() { step([](cube_box& c) { c.atom_radius += by(radius_size, 0.1); }); }
void QN_render_radius_minus() { step([](cube_box& c) { c.atom_radius -= by(radius_size, 0.1); }); }
void QN_render_chroma_plus() { step([](cube_box& c) { c.chroma += by(chroma_size, 0.1); }); }
void QN_render_chroma_minus() { step([](cube_box& c) { c.chroma -= by(chroma_size, 0.1); }); }
void QN_render_box_plus() { step([](cube_box& c) { c.box_line_width += by(box_size, 0.1); }); }
void QN_render_box_minus() { step([](cube_box& c) { c.box_line_width -= by(box_size, 0.1); }); }

void QN_render_reset_setting() {
    step([](cube_box& c) {
        c.chroma = 1;
        c.rot_x = c.rot_y = c.rot_z = 0;
        c.atom_radius = 1.2;
        c.shift_x = c.shift_y = 0;
        c.view_height = 100;
    });
}

void QN_render_fit() {
    if (cube) cube->fit(&Current_Model);
}

void QN_Select_mode_cb() {
    if (!cube) return;
    if (cube->inspect_mode) {
        QN_atom_message(0);
        inspect_off();
        cube->redraw();
    } else {
        inspect_particle->value(1);
        if (QN_inspect_button())
            QN_load_img(QN_resource_path("img/icon/inspect_off.png").c_str(), QN_inspect_button(), nullptr);
        cube->inspect_mode = 1;
    }
}

// --------------------------------------------------------------- trimming

namespace {
void show_slab() {
    if (cube && !cube->draw_slice) {
        cube->draw_slice = 1;
        render_drawslice_flag->value(1);
    }
}
}  // namespace

void QN_render_slice_delete() {
    QN_trim_slab_delete(&Current_Model, render_slice_A->value(), render_slice_B->value(), render_slice_C->value(),
                        render_slice_D->value(), render_slice_E->value());
    show_slab();
    QN_render_get_file_flush();
}

void QN_render_slice_recover() {
    QN_trim_slab_recover(&Current_Model, render_slice_A->value(), render_slice_B->value(), render_slice_C->value(),
                         render_slice_D->value(), render_slice_E->value());
    QN_render_forget_trimming();  // the slab holds its atoms again
    QN_render_get_file_flush();
}

void QN_render_data_delete() {
    QN_trim_data_delete(&Current_Model, slot_of(delete_slot), render_delete_min->value(), render_delete_max->value());
    QN_render_get_file_flush();
}

void QN_render_data_recover() {
    QN_trim_data_recover(&Current_Model, slot_of(delete_slot), render_delete_min->value(), render_delete_max->value());
    QN_render_get_file_flush();
}

void QN_render_inverse_delete() {
    QN_trim_inverse(&Current_Model);
    QN_render_get_file_flush();
}

void QN_render_recover_delete() {
    QN_trim_recover_all(&Current_Model);
    QN_render_forget_trimming();
    QN_render_get_file_flush();
}

void QN_render_forget_trimming() {
    if (cube) {
        cube->draw_slice = 0;
        cube->redraw();
    }
    if (render_drawslice_flag) render_drawslice_flag->value(0);
}

// --------------------------------------------------------------- snapshot

void QN_snapshot_render() {
    if (!cube || !render_width) return;
    const double W = render_width->value(), H = render_hight->value(), S = render_SSAA->value();
    if (QN_snapshot_too_large(W, H, S)) {
        QN_message_alert("ERROR: Please decrease the resolution");
        return;
    }
    std::string chosen;
    int filter = 0;
    const std::string title = QB_format("Save a picture of the view (%d x %d pixels)", QB_to_int(W), QB_to_int(H));
    if (!QN_choose_file(title.c_str(), Fl_Native_File_Chooser::BROWSE_SAVE_FILE,
                        "Portable Network Graphics\t*.png\nJoint Photographic Experts Group\t*.jpg\nBitmap format\t*.bmp\n",
                        chosen, &filter))
        return;
    QN_snapshot_write(chosen, filter);
}

int QN_snapshot_write(const std::string& chosen, int filter) {
    if (!cube || !render_width) return QN_IMAGE_BAD_ARGUMENT;
    const char* const extensions[3] = {".png", ".jpg", ".bmp"};
    if (filter < 0 || filter > 2) filter = 0;
    const std::string ext = extensions[filter];
    std::string name = chosen;
    if (!(name.size() > 4 && name.compare(name.size() - 4, 4, ext) == 0)) name += ext;
    const int W = QB_to_int(render_width->value()), H = QB_to_int(render_hight->value());
    const int S = QB_to_int(render_SSAA->value()), B = QB_to_int(render_indistinct->value());
    QN_wait("Rendering picture please wait");
    int (*save[3])(const char*, int, int, int, int) = {SOIL_save_png, SOIL_save_jpeg, SOIL_save_bmp};
    const int result = save[filter](name.c_str(), W, H, S, B);
    QN_wait_end();
    if (result == QN_IMAGE_OK)
        QN_message(QB_format("Scene exported to %s", name.c_str()).c_str());
    else
        QN_message_alert(("Saving picture failed\n" + name).c_str());
    cube->redraw();
    return result;
}
