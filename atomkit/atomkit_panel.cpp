#include "atomkit/atomkit_panel.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Menu_Button.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/fl_ask.H>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "atomkit/atomkit.h"
#include "atomkit/atomkit_forms.h"
#include "qb/qb_region.h"
#include "qb/qb_text.h"
#include "view/view_panel.h"

std::vector<AK_item_form> AK_region_forms;
std::vector<AK_item_form> AK_step_forms;
std::vector<AK_region_selector> Select_region;
std::vector<AK_slot_selector> Select_slot;
QB_tools backup_model;

int AK_uimode = 0;
int AK_browser_position = 0;
Fl_Group* AK_function_bgroup = nullptr;
Fl_Hold_Browser* AK_function_browser = nullptr;
Fl_Button* AK_function_bup = nullptr;
Fl_Button* AK_function_bdown = nullptr;
Fl_Button* AK_function_bdelete = nullptr;
Fl_Button* AK_function_brun = nullptr;
Fl_Group* AK_run_group = nullptr;
Fl_Menu_Button* AK_method_menu = nullptr;

namespace {

int ask_three(const char* question, const char* b0, const char* b1, const char* b2) {
    return fl_choice("%s", b0, b1, b2, question);
}

}  // namespace

int (*AK_choice3_hook)(const char*, const char*, const char*, const char*) = ask_three;

// ================================================================ widgets

AK_number::AK_number(int x, int y, int w, const char* label, std::function<double()> get,
                     std::function<void(double)> set)
    : Fl_Value_Input(x, y, w, 30, label), get_(std::move(get)), set_(std::move(set)) {
    when(FL_WHEN_RELEASE);
    callback(entered);
    refresh();
}

void AK_number::refresh() {
    if (get_) value(get_());
}

void AK_number::entered(Fl_Widget* w, void*) {
    auto* n = static_cast<AK_number*>(w);
    if (n->set_ && std::isfinite(n->value())) n->set_(n->value());
    n->refresh();
}

AK_list::AK_list(int x, int y, int w, const char* label, const std::vector<std::string>& texts,
                 std::function<int()> get, std::function<void(int)> set)
    : Fl_Choice(x, y, w, 30, label), get_(std::move(get)), set_(std::move(set)) {
    callback(picked_cb);
    entries(texts);
}

void AK_list::entries(const std::vector<std::string>& texts) {
    AK_fill_choice(this, texts);
    refresh();
}

void AK_list::refresh() {
    const int k = get_ ? get_() : 0;
    value(k >= 0 && k < size() - 1 ? k : 0);
}

void AK_list::picked_cb(Fl_Widget* w, void*) {
    auto* c = static_cast<AK_list*>(w);
    if (c->set_ && c->value() >= 0) c->set_(c->value());
    c->refresh();
}

void AK_fill_choice(Fl_Choice* c, const std::vector<std::string>& texts) {
    c->clear();
    for (size_t k = 0; k < texts.size(); k++) {
        // A stand-in no entry text equals (none starts with a blank), then
        // the text itself, taken literally.
        const int at = c->add(QB_format(" %d", static_cast<int>(k)).c_str());
        c->replace(at, texts[k].c_str());
    }
}

// ================================================================= panel

namespace {

int X0() { return QN_form_region()->x(); }
int Y0() { return QN_form_choice()->y(); }
int W0() { return QN_form_region()->w(); }
int H0() { return QN_form_choice()->h(); }

void panel_gone();

// Lives in model_group with the panel: when another form empties the Model
// tab, the panel's widget pointers go with it.
class PanelGuard : public Fl_Box {
public:
    PanelGuard() : Fl_Box(0, 0, 0, 0) { hide(); }
    ~PanelGuard() override;
};
PanelGuard* guard = nullptr;

// The panel is in the Model tab.
bool panel_built() { return guard && QN_form_region() && guard->parent() == QN_form_region(); }

PanelGuard::~PanelGuard() {
    if (guard == this) panel_gone();
}

void panel_gone() {
    guard = nullptr;
    AK_region_forms.clear();
    AK_step_forms.clear();
    Select_region.clear();
    Select_slot.clear();
    AK_function_bgroup = nullptr;
    AK_function_browser = nullptr;
    AK_function_bup = AK_function_bdown = AK_function_bdelete = AK_function_brun = nullptr;
    AK_run_group = nullptr;
    AK_method_menu = nullptr;
}

// The children of g leave it at once and are deleted when the event being
// handled is done (a button of the panel may be the one that asked).
void discard_children(Fl_Group* g) {
    while (g->children() > 0) {
        Fl_Widget* w = g->child(g->children() - 1);
        if (Fl::focus() && w->contains(Fl::focus())) Fl::focus(nullptr);
        g->remove(w);
        Fl::delete_widget(w);
    }
}

// An index of the recipe's steps, or of its regions other than "ALL".
bool valid_step(long i) { return i >= 0 && i < static_cast<long>(AKdata_step.size()); }
bool valid_region(long i) { return i > 0 && i < static_cast<long>(AKdata_region.size()); }

// Regions reached from `from` through operands (the region itself too).
bool reaches(int from, int target, int depth = 0) {
    if (from == target) return true;
    if (depth > static_cast<int>(AKdata_region.size())) return true;
    for (int k : AK_region_operands(from))
        if (k != 0 && reaches(k, target, depth + 1)) return true;
    return false;
}

int owner_position(const AK_region_selector& s) {
    if (s.step) return valid_step(s.owner) ? AKdata_step[static_cast<size_t>(s.owner)].position : AK_DELETED;
    return valid_region(s.owner) ? AKdata_region[static_cast<size_t>(s.owner)].position : AK_DELETED;
}

int bound_region(const AK_region_selector& s) {
    if (s.step) {
        if (!valid_step(s.owner)) return 0;
        const AK_step_item& step = AKdata_step[static_cast<size_t>(s.owner)];
        return s.which == 0 ? step.region : step.changetype.seed;
    }
    const std::vector<int> operands = AK_region_operands(s.owner);
    return s.which < static_cast<int>(operands.size()) ? operands[static_cast<size_t>(s.which)] : 0;
}

void bind_region(const AK_region_selector& s, int region) {
    if (s.step) {
        if (!valid_step(s.owner)) return;
        AK_step_item& step = AKdata_step[static_cast<size_t>(s.owner)];
        (s.which == 0 ? step.region : step.changetype.seed) = region;
    } else {
        AK_set_operand(s.owner, s.which, region);  // a refusal keeps the operand, and the choice shows it
    }
}

void apply_selector(Fl_Widget* w) {
    for (AK_region_selector& s : Select_region) {
        if (s.choice != w) continue;
        const int k = s.choice->value();
        if (k >= 0 && k < static_cast<int>(s.listed.size())) bind_region(s, s.listed[static_cast<size_t>(k)]);
        break;
    }
    AK_update_Select_region();
}

void selector_picked(Fl_Widget* w, void*) { apply_selector(w); }

std::string& slot_of(const AK_slot_selector& s) {
    return s.step ? AKdata_step[static_cast<size_t>(s.owner)].sort.slot
                  : QB_region_expressiondata[static_cast<size_t>(s.owner)].name;
}

std::vector<std::string> base_slots() {
    std::vector<std::string> names;
    for (int slot = 0; slot < QB_slot_sum(&backup_model); slot++) {
        std::string name;
        QB_slot_name(&backup_model, slot, name);
        names.push_back(name);
    }
    return names;
}

// The base model's columns, and the one the record names when the base
// model has no such column, so that the choice shows what the record holds.
void fill_slot_selector(AK_slot_selector& s, const std::vector<std::string>& names) {
    s.listed = names;
    const std::string current = slot_of(s);
    auto at = std::find(s.listed.begin(), s.listed.end(), current);
    if (at == s.listed.end()) {
        s.listed.push_back(current);
        at = s.listed.end() - 1;
    }
    AK_fill_choice(s.choice, s.listed);
    s.choice->value(static_cast<int>(at - s.listed.begin()));
}

void slot_picked(Fl_Widget* w, void*) {
    for (AK_slot_selector& s : Select_slot) {
        if (s.choice != w) continue;
        const int k = s.choice->value();
        if (k >= 0 && k < static_cast<int>(s.listed.size())) slot_of(s) = s.listed[static_cast<size_t>(k)];
        break;
    }
}

// ------------------------------------------------------------- the frame

// The frame's first row: the name or region choice at kFrameField, then the
// buttons up and down (stacked), delete, run and fold or unfold.
constexpr int kFrameField = 80, kFrameFieldW = 138, kFrameButtons = kFrameField + kFrameFieldW;

void frame_buttons(AK_item_form& f, int k, bool step, int index) {
    const int X = X0() + kFrameButtons, Y = Y0();
    f.up[k] = new Fl_Button(X, Y + 40, 22, 15, "@-22<-");
    f.down[k] = new Fl_Button(X, Y + 55, 22, 15, "@-22->");
    f.remove[k] = new Fl_Button(X + 22, Y + 40, 24, 30, "@+2menu");
    f.run[k] = new Fl_Button(X + 46, Y + 40, 24, 30, "@>");
    f.up[k]->tooltip(step ? "Move this step up the list" : "Move this region up the list");
    f.down[k]->tooltip(step ? "Move this step down the list" : "Move this region down the list");
    f.remove[k]->tooltip(step ? "Delete this step" : "Delete this region");
    f.run[k]->tooltip(step ? "Run the recipe up to this step"
                           : "Preview: mark the current model's atoms in this region (column \"Select\")");
    f.up[k]->callback(step ? AK_step_up : AK_region_up, index);
    f.down[k]->callback(step ? AK_step_down : AK_region_down, index);
    f.remove[k]->callback(step ? AK_step_delete : AK_region_delete, index);
    f.run[k]->callback(step ? AK_step_run : AK_region_run, index);
}

AK_item_form& item_form(bool step, int index) {
    std::vector<AK_item_form>& forms = step ? AK_step_forms : AK_region_forms;
    const size_t i = static_cast<size_t>(index);
    if (forms.size() <= i) forms.resize(i + 1);
    return forms[i];
}

Fl_Group* make_frame(bool step, int index) {
    const int X = X0(), Y = Y0(), W = W0();
    AK_item_form& f = item_form(step, index);
    f = AK_item_form();
    const AK_kind_info& kind = step ? AK_step_kinds[AKdata_step[static_cast<size_t>(index)].kind]
                                    : AK_region_kinds[AKdata_region[static_cast<size_t>(index)].kind];
    const std::string& name = step ? AKdata_step[static_cast<size_t>(index)].name
                                   : AKdata_region[static_cast<size_t>(index)].name;
    const int w = step ? W - 22 : W - 20;
    const Fl_Boxtype box = step ? FL_RSHADOW_BOX : FL_SHADOW_BOX;

    f.collapsed_group = new Fl_Group(X + 20, Y + 30, w, 50);
    f.collapsed_group->box(box);
    f.collapsed_name = new Fl_Output(X + kFrameField, Y + 40, kFrameFieldW, 30, step ? "Step" : "Region");
    f.collapsed_name->value(name.c_str());
    frame_buttons(f, 1, step, index);
    f.show = new Fl_Button(X + kFrameButtons + 70, Y + 40, 24, 30, "+");
    f.show->tooltip("Unfold: show all the fields of this form");
    f.show->callback(step ? AK_step_show : AK_region_show, index);
    f.collapsed_group->end();
    f.collapsed_group->resizable(nullptr);
    f.collapsed_group->hide();

    f.full_group = new Fl_Group(X + 20, Y + 30, w, kind.height, kind.label);
    f.full_group->box(box);
    f.full_group->resizable(nullptr);  // a form that changes its height keeps its fields in place
    if (step) {
        if (kind.fields[0] == 'r') {
            f.region_choice =
                AK_require_Select_region_step(X + kFrameField, Y + 40, kFrameFieldW, 30, "Region", index, 0);
        } else {
            // Steps on all atoms: the single entry "ALL", no selector.
            f.region_choice = new Fl_Choice(X + kFrameField, Y + 40, kFrameFieldW, 30, "Region");
            AK_fill_choice(f.region_choice, {"ALL"});
            f.region_choice->value(0);
        }
    } else {
        f.region_name = new Fl_Output(X + kFrameField, Y + 40, kFrameFieldW, 30, "Region");
        f.region_name->value(name.c_str());
    }
    frame_buttons(f, 0, step, index);
    f.hide = new Fl_Button(X + kFrameButtons + 70, Y + 40, 24, 30, "-");
    f.hide->tooltip("Fold: show only the name of this form");
    f.hide->callback(step ? AK_step_hide : AK_region_hide, index);
    f.spacing = 30;
    f.shown_group = f.full_group;
    return f.full_group;  // still open for the kind's fields
}

// Builds forms into model_group from inside or outside its construction.
template <class F>
void in_model_group(F build) {
    Fl_Group* const current = Fl_Group::current();
    QN_form_region()->begin();
    build();
    QN_form_region()->end();
    Fl_Group::current(current);
}

// ------------------------------------------------------------- the panel

void method_region_cb(Fl_Widget*, void* kind);
void method_step_cb(Fl_Widget*, void* kind);

struct ListButton {
    int dy;
    const char* label;
    const char* tip;
    Fl_Callback* action;
    Fl_Button** keep;
};

void build_panel() {
    Fl_Group* const current = Fl_Group::current();
    panel_gone();
    discard_children(QN_form_region());
    QN_form_region()->resizable(nullptr);
    QN_form_region()->begin();
    guard = new PanelGuard;
    const int X = X0(), Y = Y0(), W = W0();
    AK_uimode = 0;
    AK_browser_position = 0;

    // The list and, right of it, the buttons that act on the item chosen in it.
    AK_function_bgroup = new Fl_Group(30, Y + 110, 280, 185);
    const ListButton buttons[] = {
        {115, "@-12<-", "Move the chosen item up the list", [](Fl_Widget*, void*) { AK_function_browser_up(); },
         &AK_function_bup},
        {135, "@-12->", "Move the chosen item down the list", [](Fl_Widget*, void*) { AK_function_browser_down(); },
         &AK_function_bdown},
        {155, "@-1menu", "Delete the chosen item", [](Fl_Widget*, void*) { AK_function_browser_delete(); },
         &AK_function_bdelete},
        {175, "@-3square", "Switch the chosen step off or on (an inactive step is not run)",
         [](Fl_Widget*, void*) { AK_function_browser_active(); }, nullptr},
        {205, "@-2undo", "Put the base model back (undo the runs)", [](Fl_Widget*, void*) { AK_step_run_reset(); },
         nullptr},
        {225, "@-2refresh", "Start again with an empty recipe", [](Fl_Widget*, void*) { AK_restart(); }, nullptr},
        {275, "@>", "Run the whole recipe on the base model", [](Fl_Widget*, void*) { AK_function_browser_run(); },
         &AK_function_brun},
    };
    for (const ListButton& b : buttons) {
        auto* button = new Fl_Button(290, Y + b.dy, 20, 20, b.label);
        button->labelcolor(39);
        button->tooltip(b.tip);
        button->callback(b.action);
        if (b.keep) *b.keep = button;
    }
    AK_function_browser = new Fl_Hold_Browser(30, Y + 115, 260, 180);
    AK_function_browser->callback(AK_function_browser_cb);
    AK_function_bgroup->end();

    // Stacked forms: "Run Operation" below the last one.
    AK_run_group = new Fl_Group(X + 20, Y + 30, W - 20, 50);
    auto* run = new Fl_Button(X + 30, Y + 40, 280, 30, "Run Operation");
    run->tooltip("Run the whole recipe on the base model");
    run->callback([](Fl_Widget*, void*) { AK_step_run_all(); });
    AK_run_group->end();

    // The recipe file, in both layouts (the model itself is read and written
    // with File > Import and Export).
    auto* load = new Fl_Button(30, Y + 40, 135, 30, "Load Recipe");
    load->tooltip("Read a recipe saved before (its regions and steps replace the list)");
    load->callback([](Fl_Widget*, void*) { AK_load(); });
    auto* save = new Fl_Button(175, Y + 40, 135, 30, "Save Recipe");
    save->tooltip("Write the regions and steps of the list to a recipe file (.txt)");
    save->callback([](Fl_Widget*, void*) { AK_save(); });
    auto* mode = new Fl_Button(290, Y + 80, 20, 30, "M");
    mode->tooltip("Switch the layout: the compact list (one form at a time) or all the forms stacked");
    mode->callback([](Fl_Widget*, void*) { AK_UI_mode(); });
    AK_method_menu = new Fl_Menu_Button(30, Y + 80, 260, 30, "Method");
    AK_method_menu->tooltip("Add a region (Selection) or a step (Operation) at the end of the list");
    for (int k = 0; k < AK_REGION_KINDS; k++) {
        const int divider = k == AK_SPHERE || k == AK_INBOX || k == AK_NOT ? FL_MENU_DIVIDER : 0;
        AK_method_menu->add((std::string("Selection/") + AK_region_kinds[k].method).c_str(), 0, method_region_cb,
                            reinterpret_cast<void*>(static_cast<intptr_t>(k)), divider);
    }
    for (int k = 0; k < AK_STEP_KINDS; k++) {
        const int divider = k == AK_FILL_ATOMS || k == AK_WRAP ? FL_MENU_DIVIDER : 0;
        AK_method_menu->add((std::string("Operation/") + AK_step_kinds[k].method).c_str(), 0, method_step_cb,
                            reinterpret_cast<void*>(static_cast<intptr_t>(k)), divider);
    }

    // The forms of the recipe as it stands (empty, or just loaded).
    AK_region_forms.assign(AKdata_region.size(), AK_item_form());
    AK_step_forms.assign(AKdata_step.size(), AK_item_form());
    for (size_t i = 1; i < AKdata_region.size(); i++) AK_region_form(static_cast<int>(i));
    for (size_t i = 0; i < AKdata_step.size(); i++) AK_step_form(static_cast<int>(i));
    QN_form_region()->end();
    Fl_Group::current(current);
    AK_shuffle();
}

bool open_panel() {
    if (!panel_built()) AtomKit_main();
    return panel_built();
}

void redraw_panel() {
    if (QN_form_region()) QN_form_region()->redraw();
    if (Fl_Scroll* tab = QN_model_tab()) tab->redraw();
    QN_flush_window();
}

}  // namespace

// ================================================================ opening

void AtomKit_main() {
    if (!QN_form_region() || !QN_form_choice()) return;
    if (!Quelm_data.empty() && Quelm_data[0].bit_count > 0) {
        const Quelm_data_bit_LV2& first = Quelm_data[0].bits[0];
        std::string kind;
        const bool ours = !first.values.empty() && Quelm_scan_char_single(first.values[0], "Model_", kind) == 1 &&
                          kind == "Atomkit";
        if (!ours) {
            QN_reset_group(0, "Modify model");
            QN_set_bit_char(0, "Model_", "Atomkit");
        }
    }
    QN_model_form_shown(0);
    QB_init(&backup_model);
    // Below "Select model:", whose row the panel leaves free.
    QN_form_region()->resize(0, Y0() + 40, 320, 670);
    if (Current_Model.natoms > 0) QB_copy_system(&backup_model, &Current_Model);
    AK_free_all();
    build_panel();
    QN_show_model_tab();
    redraw_panel();
}

void QN_AK_menu(void (*create)()) {
    if (QN_form_choice() && QN_form_choice()->value() != 0) {
        if (QN_choice_hook("Atomkit is not active.\nWould you like to switch to it now?", "No", "Yes") != 1) return;
        AtomKit_main();
    } else if (!panel_built()) {
        AtomKit_main();
    }
    if (create && panel_built()) create();
}

void AK_backup_model() {
    if (Current_Model.natoms < 1) return;
    QB_copy_system(&backup_model, &Current_Model);
    AK_update_Select_slot();
}

// ============================================================== selectors

Fl_Choice* AK_require_Select_region_step(int x, int y, int w, int h, const char* label, int step, int which) {
    auto* c = new Fl_Choice(x, y, w, h, label);
    AK_fill_choice(c, {"ALL"});
    c->value(0);
    AK_region_selector s;
    s.choice = c;
    s.key = "Step_" + AKdata_step[static_cast<size_t>(step)].name;
    s.step = true;
    s.owner = step;
    s.which = which;
    s.listed = {0};
    Select_region.push_back(s);
    if (which == 0)
        c->callback(AK_binding_step_region, static_cast<long>(step));
    else
        c->callback(selector_picked);
    return c;
}

Fl_Choice* AK_require_Select_region_region(int x, int y, int w, int h, const char* label, int region, int which) {
    auto* c = new Fl_Choice(x, y, w, h, label);
    AK_fill_choice(c, {"ALL"});
    c->value(0);
    AK_region_selector s;
    s.choice = c;
    s.key = "Region_" + AKdata_region[static_cast<size_t>(region)].name;
    s.step = false;
    s.owner = region;
    s.which = which;
    s.listed = {0};
    Select_region.push_back(s);
    c->callback(selector_picked);
    return c;
}

Fl_Choice* AK_require_Select_slot(int x, int y, int w, int h, const char* label, bool step, int owner) {
    auto* c = new Fl_Choice(x, y, w, h, label);
    AK_slot_selector s;
    s.choice = c;
    s.step = step;
    s.owner = owner;
    fill_slot_selector(s, base_slots());
    Select_slot.push_back(s);
    c->callback(slot_picked);
    return c;
}

void AK_binding_step_region(Fl_Widget* choice, long) { apply_selector(choice); }

void AK_update_Select_region() {
    if (!panel_built()) return;
    const int last = AK_last_position();
    for (AK_region_selector& s : Select_region) {
        const int owner = owner_position(s);
        if (owner < 1) continue;  // a deleted owner's form is not shown
        int bound = bound_region(s);
        if (bound != 0 && (bound < 0 || bound >= static_cast<int>(AKdata_region.size()) ||
                           AKdata_region[static_cast<size_t>(bound)].position < 1)) {
            bound = 0;  // a region that is gone: the owner works on "ALL" and says so
            bind_region(s, 0);
        }
        s.listed = {0};
        std::vector<std::string> names = {AKdata_region[0].name};
        for (int p = 1; p <= last; p++) {
            const int r = AK_region_at(p);
            if (r < 0) continue;
            bool offered = r == bound || p < owner;
            // A derived region cannot take itself, nor a region built on it.
            if (!s.step && r != bound && reaches(r, s.owner)) offered = false;
            if (!offered) continue;
            s.listed.push_back(r);
            names.push_back(AKdata_region[static_cast<size_t>(r)].name);
        }
        AK_fill_choice(s.choice, names);
        const auto at = std::find(s.listed.begin(), s.listed.end(), bound);
        s.choice->value(at == s.listed.end() ? 0 : static_cast<int>(at - s.listed.begin()));
    }
}

void AK_update_Select_slot() {
    if (!panel_built()) return;
    const std::vector<std::string> names = base_slots();
    for (AK_slot_selector& s : Select_slot) fill_slot_selector(s, names);
}

// ================================================================ layout

void AK_shuffle() {
    if (!panel_built()) return;
    const int Y = Y0(), H = H0();
    const bool list = AK_uimode == 0;
    AK_function_browser->clear();
    int y = list ? Y + H + 265 : Y + H + 80;
    if (list)
        AK_function_bgroup->show();
    else
        AK_function_bgroup->hide();
    // Every form hidden first; the ones in use are shown below.
    for (std::vector<AK_item_form>* forms : {&AK_region_forms, &AK_step_forms})
        for (AK_item_form& f : *forms)
            for (Fl_Group* g : {f.full_group, f.collapsed_group})
                if (g) g->hide();
    auto place = [&](AK_item_form& f, int position, const std::string& line, Fl_Boxtype stacked_box) {
        if (list) AK_function_browser->add(line.c_str());
        if (!f.shown_group || (list && position != AK_browser_position)) return;
        f.shown_group->position(f.shown_group->x(), y + f.spacing);
        f.shown_group->box(list ? FL_UP_BOX : stacked_box);
        f.shown_group->show();
        y += f.shown_group->h() + f.spacing;
    };
    const int last = AK_last_position();
    for (int p = 1; p <= last; p++) {
        const int r = AK_region_at(p);
        if (r > 0 && r < static_cast<int>(AK_region_forms.size()))
            place(AK_region_forms[static_cast<size_t>(r)], p, "Selection-" + AKdata_region[static_cast<size_t>(r)].name,
                  FL_SHADOW_BOX);
        const int s = AK_step_at(p);
        if (s >= 0 && s < static_cast<int>(AK_step_forms.size())) {
            const AK_step_item& step = AKdata_step[static_cast<size_t>(s)];
            place(AK_step_forms[static_cast<size_t>(s)], p, (step.active ? "Operation-" : "Inactivate-") + step.name,
                  FL_RSHADOW_BOX);
        }
    }
    if (AK_browser_position > 0 && AK_browser_position <= AK_function_browser->size())
        AK_function_browser->value(AK_browser_position);
    if (list)
        AK_run_group->hide();
    else
        AK_run_group->show();
    AK_run_group->position(AK_run_group->x(), y);
    const int top = QN_form_region()->y();
    QN_form_region()->resize(QN_form_region()->x(), top, QN_form_region()->w(),
                             list ? y - top : y + AK_run_group->h() - top);
    AK_update_Select_region();
    redraw_panel();
}

void AK_UI_mode() {
    AK_uimode = 1 - AK_uimode;
    AK_browser_position = 0;
    AK_shuffle();
}

// ================================================================= list

namespace {

void move_item(int position, int direction) {
    if (position < 1) return;
    const int moved = direction < 0 ? AK_item_up(position) : AK_item_down(position);
    if (moved != 1) return;
    // The chosen item keeps being the chosen one.
    if (AK_browser_position == position) AK_browser_position = position + direction;
    AK_shuffle();
}

void delete_item(int position) {
    if (position < 1 || AK_item_delete(position) != 1) return;
    AK_browser_position = 0;
    AK_shuffle();
}

void show_form(AK_item_form* f, bool full) {
    if (!f || !f->full_group) return;
    f->shown_group = full ? f->full_group : f->collapsed_group;
    f->spacing = full ? 30 : 10;
    AK_shuffle();
}

AK_item_form* step_form(long i) {
    return valid_step(i) && i < static_cast<long>(AK_step_forms.size()) ? &AK_step_forms[static_cast<size_t>(i)] : nullptr;
}
AK_item_form* region_form(long i) {
    return valid_region(i) && i < static_cast<long>(AK_region_forms.size()) ? &AK_region_forms[static_cast<size_t>(i)]
                                                                            : nullptr;
}
int step_position(long i) { return valid_step(i) ? AKdata_step[static_cast<size_t>(i)].position : -1; }
int region_position(long i) { return valid_region(i) ? AKdata_region[static_cast<size_t>(i)].position : -1; }

}  // namespace

void AK_function_browser_cb(Fl_Widget*, void*) {
    if (!AK_function_browser) return;
    AK_browser_position = AK_function_browser->value();
    AK_shuffle();
}

void AK_function_browser_up() { move_item(AK_browser_position, -1); }
void AK_function_browser_down() { move_item(AK_browser_position, 1); }
void AK_function_browser_delete() { delete_item(AK_browser_position); }

void AK_function_browser_active() {
    const int s = AK_step_at(AK_browser_position);
    if (s < 0) return;
    AK_step_item& step = AKdata_step[static_cast<size_t>(s)];
    step.active = step.active ? 0 : 1;
    AK_shuffle();
}

void AK_function_browser_run() { AK_step_run_all(); }

void AK_step_up(Fl_Widget*, long i) { move_item(step_position(i), -1); }
void AK_step_down(Fl_Widget*, long i) { move_item(step_position(i), 1); }
void AK_step_delete(Fl_Widget*, long i) { delete_item(step_position(i)); }
void AK_step_hide(Fl_Widget*, long i) { show_form(step_form(i), false); }
void AK_step_show(Fl_Widget*, long i) { show_form(step_form(i), true); }
void AK_region_up(Fl_Widget*, long i) { move_item(region_position(i), -1); }
void AK_region_down(Fl_Widget*, long i) { move_item(region_position(i), 1); }
void AK_region_delete(Fl_Widget*, long i) { delete_item(region_position(i)); }
void AK_region_hide(Fl_Widget*, long i) { show_form(region_form(i), false); }
void AK_region_show(Fl_Widget*, long i) { show_form(region_form(i), true); }

// ================================================================ running

namespace {

// The recipe on a fresh copy of the base model, up to step number `upto`
// (0: all of it), into the current model.
void run_recipe(int upto) {
    QN_wait("Running Atomkit Please Wait");
    std::vector<AK_step_report> report;
    std::string message;
    AK_run(backup_model, &Current_Model, upto, report, message);
    if (backup_model.ntypes == Current_Model.ntypes) QNGC.analysis_rebuild = 0;
    QN_wait_end();
    // The analysis chosen before re-colours the new model and reports as
    // after any other run: its summary follows Atomkit's.
    QN_message("");
    QN_update_model();
    const std::string analysis = QN_message_text();
    const std::string text = message + "\n" + QN_new_model_text(&Current_Model);
    QN_message_alert(text.c_str());
    if (!analysis.empty()) QN_message((text + "\n\n" + analysis).c_str());
}

}  // namespace

void AK_step_run(Fl_Widget*, long i) {
    const int position = step_position(i);
    if (position < 1) return;
    int number = 0;  // the step's number among the steps, in list order
    for (int p = 1; p <= position; p++) number += AK_step_at(p) >= 0;
    run_recipe(number);
}

void AK_step_run_all() { run_recipe(0); }

void AK_step_run_reset() {
    QB_copy_system(&Current_Model, &backup_model);
    QB_region_set_invest_system(&Current_Model);
    QB_affine_delete(&Current_Model);
    QN_update_model();
}

void AK_region_run(Fl_Widget*, long r) {
    if (!valid_region(r) || AKdata_region[static_cast<size_t>(r)].position < 1) return;
    if (Current_Model.natoms == 0) {
        QB_copy_system(&Current_Model, &backup_model);
        QN_update_model();  // the view shows the model the preview is on
    } else if (!inited_atomic_viewer) {
        QN_update_model();
    }
    AK_region_select(&Current_Model, static_cast<int>(r));
    if (backup_model.ntypes == Current_Model.ntypes) QNGC.analysis_rebuild = 0;
    QN_render_check_file2("Select");
}

void AK_restart() {
    if (Current_Model.natoms > 0) {
        const int answer = AK_choice3_hook("The current model has been modified.\nWould you like to overwrite it?", "No",
                                           "Yes", "Cancel");
        if (answer == 2) return;
        if (answer == 0) {
            QB_copy_system(&Current_Model, &backup_model);
            QN_update_model();
        }
    }
    AtomKit_main();
}

// ============================================================ recipe file

std::string AK_save_name(const std::string& chosen) {
    const std::string ext = ".txt";
    const bool has = chosen.size() > ext.size() && chosen.compare(chosen.size() - ext.size(), ext.size(), ext) == 0;
    return has ? chosen : chosen + ext;
}

void AK_save() {
    std::string chosen;
    if (QN_choose_file("Save file", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, nullptr, chosen)) AK_save_path(chosen);
}

int AK_save_path(const std::string& chosen) {
    std::string message;
    const int result = AK_save(AK_save_name(chosen), message);
    QN_message_alert(result == 1 ? "Save Complete" : message.c_str());
    return result;
}

void AK_load() {
    std::string chosen;
    if (QN_choose_file("Open file", Fl_Native_File_Chooser::BROWSE_FILE, nullptr, chosen)) AK_load_path(chosen);
}

int AK_load_path(const std::string& path) {
    if (!open_panel()) return -1;
    std::string message;
    const int result = AK_load(path, message);
    if (result != 1) {
        // The recipe stays as it was, and so do its forms.
        QN_message_alert(message.c_str());
        return result;
    }
    build_panel();
    QN_message(message.c_str());
    return 1;
}

void AK_add_atom_select(Fl_Widget*, long step) {
    std::string path;
    if (QN_choose_file("Open file", Fl_Native_File_Chooser::BROWSE_FILE,
                    "Auto detect format\t*\nLAMMPS custom dump file\t*.lmc\nLAMMPS data file\t*.lmp\n"
                    "VASP POSCAR file Cartesian\t*.POSCAR\nVASP POSCAR file Direct\t*.POSCAR",
                    path))
        AK_add_atom_select_path(static_cast<int>(step), path);
}

void AK_add_atom_select_path(int step, const std::string& path) {
    // The chooser ran the event loop: the panel may have gone meanwhile.
    if (!valid_step(step) || AKdata_step[static_cast<size_t>(step)].kind != AK_FILL_ATOMS) return;
    AKdata_step[static_cast<size_t>(step)].add.file = path;
    AK_item_form* f = step_form(step);
    if (f && !f->fields.empty())
        if (auto* out = dynamic_cast<Fl_Output*>(f->fields[0])) out->value(path.c_str());
}

// ================================================================ creators

Fl_Group* AK_region_frame(int region) { return make_frame(false, region); }
Fl_Group* AK_step_frame(int step) { return make_frame(true, step); }

void AK_fit_form(Fl_Group* form, int least) {
    if (!form) return;
    int bottom = form->y() + least;
    for (int i = 0; i < form->children(); i++) {
        const Fl_Widget* w = form->child(i);
        if (w->visible()) bottom = std::max(bottom, w->y() + w->h() + 10);
    }
    form->size(form->w(), bottom - form->y());
}

namespace {

void new_region(int kind) {
    if (!open_panel()) return;
    const int index = AK_new_region_default(kind);
    if (index < 0) {
        QN_message_alert("Cannot add the region: the region library is out of step");
        return;
    }
    in_model_group([index] { AK_region_form(index); });
    if (AK_uimode == 0) AK_browser_position = AKdata_region[static_cast<size_t>(index)].position;
    AK_shuffle();
}

// The region added last that is still in the list, else "ALL" (0).
int last_added_region() {
    for (size_t r = AKdata_region.size(); r-- > 1;)
        if (AKdata_region[r].position >= 1) return static_cast<int>(r);
    return 0;
}

void new_step(int kind) {
    if (!open_panel()) return;
    const int index = AK_new_step_default(kind);
    if (index < 0) return;
    // A Delete is made for the region just drawn: deleting "ALL" is never meant.
    if (kind == AK_DELETE) AKdata_step[static_cast<size_t>(index)].region = last_added_region();
    in_model_group([index] { AK_step_form(index); });
    if (AK_uimode == 0) AK_browser_position = AKdata_step[static_cast<size_t>(index)].position;
    AK_shuffle();
}

void method_region_cb(Fl_Widget*, void* kind) { new_region(static_cast<int>(reinterpret_cast<intptr_t>(kind))); }
void method_step_cb(Fl_Widget*, void* kind) { new_step(static_cast<int>(reinterpret_cast<intptr_t>(kind))); }

}  // namespace

#define AK_REGION_CREATOR(name, kind) \
    void name() { new_region(kind); } \
    void name##_menu() { QN_AK_menu(name); }
AK_REGION_CREATOR(AK_cuboid_region, AK_CUBOID)
AK_REGION_CREATOR(AK_cylinder_region, AK_CYLINDER)
AK_REGION_CREATOR(AK_cone_region, AK_CONE)
AK_REGION_CREATOR(AK_polyhedron_region, AK_POLYHEDRON)
AK_REGION_CREATOR(AK_prism_region, AK_PRISM)
AK_REGION_CREATOR(AK_plane_region, AK_SLICE)
AK_REGION_CREATOR(AK_sphere_region, AK_SPHERE)
AK_REGION_CREATOR(AK_expression_region, AK_EXPRESSION)
AK_REGION_CREATOR(AK_inbox_region, AK_INBOX)
AK_REGION_CREATOR(AK_math_and_region, AK_AND)
AK_REGION_CREATOR(AK_math_or_region, AK_OR)
AK_REGION_CREATOR(AK_math_comple_region, AK_COMPLE)
AK_REGION_CREATOR(AK_math_neither_region, AK_NEITHER)
AK_REGION_CREATOR(AK_math_not_region, AK_NOT)
AK_REGION_CREATOR(AK_deform_region, AK_DEFORM_REGION)
AK_REGION_CREATOR(AK_move_region, AK_MOVE_REGION)
AK_REGION_CREATOR(AK_periodic_region, AK_PERIODIC)
AK_REGION_CREATOR(AK_rotate_region, AK_ROTATE_REGION)
#undef AK_REGION_CREATOR

#define AK_STEP_CREATOR(name, kind) \
    void name() { new_step(kind); } \
    void name##_menu() { QN_AK_menu(name); }
AK_STEP_CREATOR(AK_add_single_step, AK_ADD_ATOM)
AK_STEP_CREATOR(AK_add_atom_step, AK_FILL_ATOMS)
AK_STEP_CREATOR(AK_create_box_step, AK_CREATE_BOX)
AK_STEP_CREATOR(AK_deform_box_step, AK_DEFORM)
AK_STEP_CREATOR(AK_delete_atom_step, AK_DELETE)
AK_STEP_CREATOR(AK_disturb_atom_step, AK_DISPLACE)
AK_STEP_CREATOR(AK_duplicate_box_step, AK_DUPLICATE)
AK_STEP_CREATOR(AK_extend_atom_step, AK_EXTEND)
AK_STEP_CREATOR(AK_mirror_atom_step, AK_MIRROR)
AK_STEP_CREATOR(AK_move_atom_step, AK_MOVE)
AK_STEP_CREATOR(AK_separate_atom_step, AK_REMOVE_DUPLICATE)
AK_STEP_CREATOR(AK_changetype_atom_random_step, AK_SUBSTITUTE)
AK_STEP_CREATOR(AK_rotate_box_step, AK_ROTATE)
AK_STEP_CREATOR(AK_sort_atom_step, AK_SORT)
AK_STEP_CREATOR(AK_move_box0_step, AK_SYMMETRIZE)
AK_STEP_CREATOR(AK_wrap_atom_step, AK_WRAP)
AK_STEP_CREATOR(AK_tensile_box_step, AK_AFFINE_TENSILE)
AK_STEP_CREATOR(AK_compress_box_step, AK_AFFINE_COMPRESS)
AK_STEP_CREATOR(AK_affine_shear_box_step, AK_AFFINE_SHEAR)
AK_STEP_CREATOR(AK_alias_tensile_step, AK_ALIAS_TENSILE)
AK_STEP_CREATOR(AK_alias_compress_step, AK_ALIAS_COMPRESS)
AK_STEP_CREATOR(AK_alias_box_step, AK_ALIAS_SHEAR)
#undef AK_STEP_CREATOR

// ============================================================ in the window

QN_subsystem QN_atomkit_subsystem() {
    QN_subsystem part;
    part.name = "Atomkit";
    part.forms = {{"Atomkit", AtomKit_main, FL_CTRL + 'a', FL_SUBMENU}};
    part.menu = {
        {"Model/Atomkit/Selection/Cuboid", 0, AK_cuboid_region_menu, 0},
        {"Model/Atomkit/Selection/Cylinder", 0, AK_cylinder_region_menu, 0},
        {"Model/Atomkit/Selection/Cone", 0, AK_cone_region_menu, 0},
        {"Model/Atomkit/Selection/Polyhedron", 0, AK_polyhedron_region_menu, 0},
        {"Model/Atomkit/Selection/Polyprism", 0, AK_prism_region_menu, 0},
        {"Model/Atomkit/Selection/Slice", 0, AK_plane_region_menu, 0},
        {"Model/Atomkit/Selection/Sphere", 0, AK_sphere_region_menu, FL_MENU_DIVIDER},
        {"Model/Atomkit/Selection/Expression", 0, AK_expression_region_menu, 0},
        {"Model/Atomkit/Selection/Inbox", 0, AK_inbox_region_menu, FL_MENU_DIVIDER},
        {"Model/Atomkit/Selection/And", 0, AK_math_and_region_menu, 0},
        {"Model/Atomkit/Selection/Or", 0, AK_math_or_region_menu, 0},
        {"Model/Atomkit/Selection/Complement", 0, AK_math_comple_region_menu, 0},
        {"Model/Atomkit/Selection/Neither", 0, AK_math_neither_region_menu, 0},
        {"Model/Atomkit/Selection/Not", 0, AK_math_not_region_menu, FL_MENU_DIVIDER},
        {"Model/Atomkit/Selection/Deform", 0, AK_deform_region_menu, 0},
        {"Model/Atomkit/Selection/Move", 0, AK_move_region_menu, 0},
        {"Model/Atomkit/Selection/Periodic", 0, AK_periodic_region_menu, 0},
        {"Model/Atomkit/Selection/Rotate", 0, AK_rotate_region_menu, 0},
        {"Model/Atomkit/Operation/Add Atom", 0, AK_add_single_step_menu, 0},
        {"Model/Atomkit/Operation/Fill Atoms", 0, AK_add_atom_step_menu, FL_MENU_DIVIDER},
        {"Model/Atomkit/Operation/Create Box", 0, AK_create_box_step_menu, 0},
        {"Model/Atomkit/Operation/Deform", 0, AK_deform_box_step_menu, 0},
        {"Model/Atomkit/Operation/Delete", 0, AK_delete_atom_step_menu, 0},
        {"Model/Atomkit/Operation/Disturb", 0, AK_disturb_atom_step_menu, 0},
        {"Model/Atomkit/Operation/Duplicate", 0, AK_duplicate_box_step_menu, 0},
        {"Model/Atomkit/Operation/Extend", 0, AK_extend_atom_step_menu, 0},
        {"Model/Atomkit/Operation/Mirror", 0, AK_mirror_atom_step_menu, 0},
        {"Model/Atomkit/Operation/Move", 0, AK_move_atom_step_menu, 0},
        {"Model/Atomkit/Operation/Remove Duplicate", 0, AK_separate_atom_step_menu, 0},
        {"Model/Atomkit/Operation/Replace", 0, AK_changetype_atom_random_step_menu, 0},
        {"Model/Atomkit/Operation/Rotate", 0, AK_rotate_box_step_menu, 0},
        {"Model/Atomkit/Operation/Sort", 0, AK_sort_atom_step_menu, 0},
        {"Model/Atomkit/Operation/Symmetrize", 0, AK_move_box0_step_menu, 0},
        {"Model/Atomkit/Operation/Wrap", 0, AK_wrap_atom_step_menu, FL_MENU_DIVIDER},
        {"Model/Atomkit/Operation/Affine Tensile", 0, AK_tensile_box_step_menu, 0},
        {"Model/Atomkit/Operation/Affine Compress", 0, AK_compress_box_step_menu, 0},
        {"Model/Atomkit/Operation/Affine Shear", 0, AK_affine_shear_box_step_menu, 0},
        {"Model/Atomkit/Operation/Alias Tensile", 0, AK_alias_tensile_step_menu, 0},
        {"Model/Atomkit/Operation/Alias Compress", 0, AK_alias_compress_step_menu, 0},
        {"Model/Atomkit/Operation/Alias Shear", 0, AK_alias_box_step_menu, 0},
    };
    return part;
}
