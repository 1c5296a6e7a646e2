#include "builders/layers_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Value_Input.H>
#include <FL/Fl_Value_Output.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "builders/builder_form.h"
#include "builders/crystal_source.h"

int QND_model_mode = 0;
QB_tools M_double_input1, M_double_input2;

Fl_Output* M_double_dispa = nullptr;
Fl_Output* M_double_dispb = nullptr;
Fl_Value_Input* M_double_a1 = nullptr;
Fl_Value_Input* M_double_a2 = nullptr;
Fl_Value_Input* M_double_b1 = nullptr;
Fl_Value_Input* M_double_b2 = nullptr;
Fl_Value_Input* M_double_max1 = nullptr;
Fl_Value_Input* M_double_max2 = nullptr;
Fl_Button* M_double_autob1 = nullptr;
Fl_Button* M_double_autob2 = nullptr;
Fl_Value_Output* M_double_mismatch1 = nullptr;
Fl_Value_Output* M_double_mismatch2 = nullptr;
Fl_Group* double_layer_control1 = nullptr;
Fl_Group* double_layer_control2 = nullptr;
Fl_Group* double_layer_control3 = nullptr;
int QN_model_double_cbid = -1;

QNTBTable* SCAN_DATA = nullptr;

namespace {

const char* const kLargeMismatch = "The current model has a large mismatch.\nWould you really like to continue?";

// Labels of the lateral widgets by interface normal (x, y, z).
const char* const kCountLabels[3][2] = {{"y:", "z:"}, {"x:", "z:"}, {"x:", "y:"}};
const char* const kMaxLabels[3][2] = {{"Max Periodicity y:", "Max Periodicity z:"},
                                      {"Max Periodicity x:", "Max Periodicity z:"},
                                      {"Max Periodicity x:", "Max Periodicity y:"}};
const char* const kAutoLabels[3][2] = {{"Auto y", "Auto z"}, {"Auto x", "Auto z"}, {"Auto x", "Auto y"}};
const char* const kMismatchLabels[3][2] = {{"Interface Mismatch y:", "Interface Mismatch z:"},
                                           {"Interface Mismatch x:", "Interface Mismatch z:"},
                                           {"Interface Mismatch x:", "Interface Mismatch y:"}};
const long kAutoAxes[3][2] = {{1, 2}, {0, 2}, {0, 1}};

int build_layers(QB_tools* out, std::string& message) {
    return QN_model_double_build(QND_model_mode, out, message, -1);  // the user has seen the mismatch
}

const QN_builder& layers() {
    static const QN_builder b = [] {
        QN_builder x;
        x.group = QN_DOUBLE_GROUP;
        x.cbid = &QN_model_double_cbid;
        x.defaults = [] { return QN_model_double_defaults(QND_model_mode); };
        x.build = build_layers;
        x.ask = true;
        x.height = 910;
        x.preview = M_double_extra_preview;
        x.export_model = M_double_extra_export;
        x.forget = [] {
            M_double_dispa = M_double_dispb = nullptr;
            M_double_a1 = M_double_a2 = M_double_b1 = M_double_b2 = nullptr;
            M_double_max1 = M_double_max2 = nullptr;
            M_double_autob1 = M_double_autob2 = nullptr;
            M_double_mismatch1 = M_double_mismatch2 = nullptr;
            double_layer_control1 = double_layer_control2 = double_layer_control3 = nullptr;
        };
        return x;
    }();
    return b;
}

const std::vector<QN_store_key>& layer_keys() {
    static const std::vector<QN_store_key> k = {
        {"M_double_dir", QN_KEY_INT},      {"M_double_filea", QN_KEY_TEXT},  {"M_double_ax", QN_KEY_INT},
        {"M_double_ay", QN_KEY_INT},       {"M_double_at", QN_KEY_DOUBLE},   {"M_double_fileb", QN_KEY_TEXT},
        {"M_double_bx", QN_KEY_INT},       {"M_double_by", QN_KEY_INT},      {"M_double_bt", QN_KEY_DOUBLE},
        {"M_double_void", QN_KEY_DOUBLE},  {"M_double_period", QN_KEY_INT},   {QN_ELEMENTS_KEY, QN_KEY_TEXT},
    };
    return k;
}

bool active(const Fl_Widget* w) { return w && w->active(); }

// Asks before building across a large displayed mismatch; false on "No".
bool mismatch_agreed() {
    const double a = M_double_mismatch1 ? M_double_mismatch1->value() : 0;
    const double b = M_double_mismatch2 ? M_double_mismatch2->value() : 0;
    if (!(std::fabs(a) + std::fabs(b) > QN_DOUBLE_ASK_MISMATCH)) return true;
    return QN_choice_hook(kLargeMismatch, "No", "Yes") != 0;
}

// Reads one crystal of the form and, when it can serve as a layer, takes it:
// its name goes to the store and the output, its group becomes active.
int read_crystal(const std::string& path, const char* key, QB_tools& input, Fl_Output* display, Fl_Group* own,
                 Fl_Group* other) {
    QB_tools fresh;
    QB_init(&fresh);
    std::string text;
    const int code = QN_read_model(&fresh, path.c_str(), text);
    std::string refusal;
    int live = 0;
    for (const atomdata& a : fresh.atoms) live += a.id > 0;
    if (code != 1) {
        const std::string prefix = "Reading file failed\n";
        const std::string reason = text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
        refusal = "Building model error: cannot read " + path + (reason.empty() ? "" : ": " + reason);
    } else if (live == 0) {
        refusal = "Building model error: " + path + " holds no atoms";
    } else if (fresh.triclinic == 1) {
        refusal = "Building model error: not a orthogonal model";
    } else if (!(fresh.size[0] > 0 && fresh.size[1] > 0 && fresh.size[2] > 0)) {
        refusal = "Building model error: the box of " + path + " has no volume";
    }
    if (!refusal.empty()) {
        QN_message_alert(refusal.c_str());
        return -1;
    }
    QN_builder_take_file(QN_DOUBLE_GROUP, key, display, path);
    input = std::move(fresh);
    QN_set_active(own, true);
    if (active(own) && active(other)) QN_set_active(double_layer_control3, true);
    M_double_update_mismatch();
    if (own) own->redraw();
    if (other) other->redraw();
    QN_redraw_window();
    return 1;
}

// Makes a lateral count input of a crystal's group.
Fl_Value_Input* count_input(int x, int y, const char* label, const char* key, const char* tip) {
    auto* v = new Fl_Value_Input(x, y, 90, 30, label);
    v->tooltip(tip);
    QN_get_int_plus(v, QN_DOUBLE_GROUP, key, M_double_update_mismatch, QN_model_double_cbid);
    return v;
}

Fl_Group* crystal_group(int y, const char* label, Fl_Value_Input** first, Fl_Value_Input** second,
                        const char* first_key, const char* second_key, const char* count_tip, const char* thick_key,
                        const char* thick_tip) {
    auto* g = new Fl_Group(20, y, 290, 90, label);
    g->box(FL_ENGRAVED_FRAME);
    g->align(FL_ALIGN_TOP_LEFT);
    *first = count_input(60, y + 10, "y:", first_key, count_tip);
    *second = count_input(200, y + 10, "z:", second_key, count_tip);
    auto* thick = new Fl_Value_Input(130, y + 50, 170, 30, "Thickness(Å):");
    thick->tooltip(thick_tip);
    QN_get_double(thick, QN_DOUBLE_GROUP, thick_key, QN_model_double_cbid);
    g->end();
    g->deactivate();
    return g;
}

template <void (*F)()>
void call(Fl_Widget*, void*) {
    F();
}

// A file-name output with its "Select Model" button.
Fl_Output* file_row(int y, Fl_Callback* reading) {
    auto* out = new Fl_Output(20, y, 180, 30);
    out->value("No File");
    auto* b = new Fl_Button(210, y, 100, 30, "Select Model");
    b->callback(reading);
    return out;
}

void build_form(int top) {
    auto* normal = new Fl_Group(20, top + 30, 290, 50, "Normal direction of interface");
    normal->box(FL_ENGRAVED_FRAME);
    normal->align(FL_ALIGN_TOP_LEFT);
    const char* names[3] = {"x", "y", "z"};
    for (int k = 0; k < 3; k++) {
        auto* r = new Fl_Round_Button(50 + 90 * k, top + 40, 60, 30, names[k]);
        r->type(FL_RADIO_BUTTON);
        r->callback(QN_model_double_dir, static_cast<long>(k));
        if (k == 0) r->value(1);
    }
    normal->end();

    M_double_dispa = file_row(top + 100, call<M_double_extra_reading1>);
    double_layer_control1 =
        crystal_group(top + 160, "Bottom:", &M_double_a1, &M_double_a2, "M_double_ax", "M_double_ay",
                      "Bottom duplicate N times along current axis", "M_double_at", "Bottom thickness");
    M_double_dispb = file_row(top + 270, call<M_double_extra_reading2>);
    double_layer_control2 =
        crystal_group(top + 330, "Upper:", &M_double_b1, &M_double_b2, "M_double_bx", "M_double_by",
                      "Upper duplicate N times along current axis", "M_double_bt", "Upper thickness");

    const int y = top + 440;
    double_layer_control3 = new Fl_Group(20, y, 290, 300);
    M_double_max1 = new Fl_Value_Input(170, y + 10, 60, 30, "Max Periodicity y:");
    M_double_max1->value(0);
    M_double_autob1 = new Fl_Button(240, y + 10, 60, 30, "Auto y");
    M_double_autob1->callback(M_double_auto1, 1L);
    M_double_max2 = new Fl_Value_Input(170, y + 50, 60, 30, "Max Periodicity z:");
    M_double_max2->value(0);
    M_double_autob2 = new Fl_Button(240, y + 50, 60, 30, "Auto z");
    M_double_autob2->callback(M_double_auto2, 2L);
    M_double_mismatch1 = new Fl_Value_Output(195, y + 90, 105, 30, "Interface Mismatch y:");
    M_double_mismatch1->value(0);
    M_double_mismatch2 = new Fl_Value_Output(195, y + 130, 105, 30, "Interface Mismatch z:");
    M_double_mismatch2->value(0);
    if (QND_model_mode == 0) {
        auto* gap = new Fl_Value_Input(195, y + 170, 105, 30, "Vacuum Thickness(Å):");
        gap->tooltip("Void layer thickness along z axis");
        QN_get_double(gap, QN_DOUBLE_GROUP, "M_double_void", QN_model_double_cbid);
    } else {
        auto* period = new Fl_Value_Input(195, y + 170, 105, 30, "Layer Periodicity:");
        period->tooltip("Layer periodicity along z axis");
        QN_get_int(period, QN_DOUBLE_GROUP, "M_double_period", QN_model_double_cbid);
    }
    QN_elements_input(QN_DOUBLE_GROUP, 110, y + 210, 190, QN_model_double_cbid);
    QN_builder_buttons(layers(), y + 260);
    double_layer_control3->end();
    double_layer_control3->deactivate();
}

// One Auto button: the counts with the smallest residual within the limit.
void auto_counts(long axis, Fl_Value_Input* max, Fl_Value_Input* bottom_in, Fl_Value_Input* upper_in) {
    if (!max || !bottom_in || !upper_in || axis < 0 || axis > 2) return;
    const double A = M_double_input1.size[axis], B = M_double_input2.size[axis];
    int bottom = static_cast<int>(bottom_in->value()), upper = static_cast<int>(upper_in->value());
    const double limit = max->value();
    if (A > 0 && B > 0 && std::isfinite(limit))
        QN_double_auto(A, B, limit >= 2147483647.0 ? 2147483647 : static_cast<int>(limit), bottom, upper);
    bottom_in->value(bottom);
    upper_in->value(upper);
    bottom_in->do_callback();
    upper_in->do_callback();
}

}  // namespace

// ------------------------------------------------------------------ the form

void QN_model_double_layer() {
    QND_model_mode = 0;
    QN_model_double_layer_core();
}

void QN_model_multi_layer() {
    QND_model_mode = 1;
    QN_model_double_layer_core();
}

void QN_model_double_layer_core() {
    if (QN_model_double_init(0, nullptr, nullptr) == -1) return;
    QN_builder b = layers();
    b.entry = QND_model_mode == 0 ? 3 : 4;
    build_form(QN_builder_begin(b));
    QN_builder_end();
}

int QN_model_double_init(int count, char** entries, int* slots) {
    if (QN_builder_init(layers(), layer_keys(), count, entries, slots) == -1) return -1;
    M_double_input1 = QB_tools();
    M_double_input2 = QB_tools();
    QB_init(&M_double_input1);
    QB_init(&M_double_input2);
    return 0;
}

void QN_model_double_free() {
    if (QN_model_double_cbid >= 0) QN_sendbit_free(QN_model_double_cbid);
    QN_model_double_cbid = -1;
}

void QN_model_double_dir(Fl_Widget*, long dir) {
    const int d = dir < 0 || dir > 2 ? 2 : static_cast<int>(dir);
    Fl_Value_Input* counts[2][2] = {{M_double_a1, M_double_a2}, {M_double_b1, M_double_b2}};
    Fl_Value_Input* maxes[2] = {M_double_max1, M_double_max2};
    Fl_Button* autos[2] = {M_double_autob1, M_double_autob2};
    Fl_Value_Output* mismatches[2] = {M_double_mismatch1, M_double_mismatch2};
    for (int k = 0; k < 2; k++) {
        for (auto& row : counts)
            if (row[k]) row[k]->label(kCountLabels[d][k]);
        if (maxes[k]) maxes[k]->label(kMaxLabels[d][k]);
        if (autos[k]) {
            autos[k]->label(kAutoLabels[d][k]);
            autos[k]->argument(kAutoAxes[d][k]);
        }
        if (mismatches[k]) mismatches[k]->label(kMismatchLabels[d][k]);
    }
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_dir", static_cast<int>(dir), 0);
    M_double_update_mismatch();
    if (QN_form_region()) QN_form_region()->redraw();
}

void M_double_extra_reading1() {
    std::string chosen;
    if (QN_builder_choose_open(chosen)) M_double_extra_reading1_path(chosen);
}

void M_double_extra_reading2() {
    std::string chosen;
    if (QN_builder_choose_open(chosen)) M_double_extra_reading2_path(chosen);
}

int M_double_extra_reading1_path(const std::string& path) {
    return read_crystal(path, "M_double_filea", M_double_input1, M_double_dispa, double_layer_control1,
                        double_layer_control2);
}

int M_double_extra_reading2_path(const std::string& path) {
    return read_crystal(path, "M_double_fileb", M_double_input2, M_double_dispb, double_layer_control2,
                        double_layer_control1);
}

void M_double_update_mismatch() {
    int s = 2, u = 0, v = 1;
    QN_double_axes(QN_stored_int(QN_DOUBLE_GROUP, "M_double_dir", 2), s, u, v);
    const int ax = QN_stored_int(QN_DOUBLE_GROUP, "M_double_ax"), ay = QN_stored_int(QN_DOUBLE_GROUP, "M_double_ay");
    const int bx = QN_stored_int(QN_DOUBLE_GROUP, "M_double_bx"), by = QN_stored_int(QN_DOUBLE_GROUP, "M_double_by");
    double mu = QN_double_mismatch(ax, M_double_input1.size[u], bx, M_double_input2.size[u]);
    double mv = QN_double_mismatch(ay, M_double_input1.size[v], by, M_double_input2.size[v]);
    if (!std::isfinite(mu)) mu = 0;  // both lengths unknown
    if (!std::isfinite(mv)) mv = 0;
    if (M_double_mismatch1) M_double_mismatch1->value(mu);
    if (M_double_mismatch2) M_double_mismatch2->value(mv);
}

void M_double_auto1(Fl_Widget*, long axis) {
    auto_counts(axis != 0 ? 1 : 0, M_double_max1, M_double_a1, M_double_b1);
}

void M_double_auto2(Fl_Widget*, long axis) {
    auto_counts(axis == 1 ? 1 : 2, M_double_max2, M_double_a2, M_double_b2);
}

void M_double_extra_preview() {
    if (!mismatch_agreed()) return;
    QN_builder_preview(build_layers);
}

void M_double_extra_export() {
    if (!mismatch_agreed()) return;
    QN_builder_export(build_layers);
}

int M_double_extra_export_path(const std::string& chosen) { return QN_builder_export_path(build_layers, chosen); }

// ---------------------------------------------------------------- scan table

QNTBTable::QNTBTable(int x, int y, int w, int h, const char* label)
    : QN_cell_table(x, y, w, h, label, kColumns, titles.data()) {}

void QNTBTable::SetRow(int n) {
    n = std::max(0, std::min(n, static_cast<int>(data.size())));
    fill_rows(n, [this](int r, int c, int X, int Y, int W, int H) -> Fl_Widget* {
        const scaned_data& d = data[static_cast<size_t>(r)];
        if (c == 6) {
            auto* t = new Fl_Check_Button(X, Y, W, H);
            t->value(d.selected ? 1 : 0);
            t->callback([](Fl_Widget* w, long row) { select_cb(static_cast<Fl_Check_Button*>(w), row); },
                        static_cast<long>(r));
            return t;
        }
        const double values[6] = {d.theta1,    d.theta2, (d.n1y * d.d1y + d.n2y * d.d2y) / 2,
                                  d.mismatchy, (d.n1z * d.d1z + d.n2z * d.d2z) / 2, d.mismatchz};
        auto* v = new Fl_Value_Output(X, Y, W, H);
        v->box(FL_PLASTIC_UP_BOX);
        v->value(values[c]);
        return v;
    });
}

Fl_Value_Output* QNTBTable::cell(int row, int column) const {
    return column < 6 ? static_cast<Fl_Value_Output*>(cell_widget(row, column)) : nullptr;
}

Fl_Check_Button* QNTBTable::tick(int row) const { return static_cast<Fl_Check_Button*>(cell_widget(row, 6)); }

namespace {

// The table a widget of a scan window belongs to.
QNTBTable* table_of(Fl_Widget* w) {
    for (Fl_Widget* p = w; p; p = p->parent())
        if (auto* t = dynamic_cast<QNTBTable*>(p)) return t;
    if (Fl_Window* win = w ? w->window() : nullptr)
        for (int i = 0; i < win->children(); i++)
            if (auto* t = dynamic_cast<QNTBTable*>(win->child(i))) return t;
    return nullptr;
}

void save_cb(Fl_Widget* w, void*) {
    if (QNTBTable* t = table_of(w)) QN_tiltscan_save(t->data);
}

// A closed window goes, unless it holds the last table.
void close_cb(Fl_Widget* w, void*) {
    w->hide();
    if (!SCAN_DATA || SCAN_DATA->window() != w) Fl::delete_widget(w);
}

}  // namespace

int QN_Crack_scancb(QB_tools* crystal1, QB_tools* crystal2) {
    // An earlier window the user closed is no longer needed.
    if (SCAN_DATA && SCAN_DATA->window() && !SCAN_DATA->window()->visible()) {
        Fl::delete_widget(SCAN_DATA->window());
        SCAN_DATA = nullptr;
    }
    Fl_Group* const current = Fl_Group::current();
    Fl_Group::current(nullptr);
    auto* window = new Fl_Double_Window(600, 360, "Model Detail");
    auto* table = new QNTBTable(0, 0, 600, 320);
    auto* save = new Fl_Button(600 - 60, 360 - 35, 50, 30, "Save");
    save->callback(save_cb);
    window->end();
    window->resizable(table);
    window->callback(close_cb);
    Fl_Group::current(current);

    const int count = crystal1 && crystal2 ? QB_mismatch_scan(crystal1, crystal2, table->data) : 0;
    SCAN_DATA = table;
    table->SetRow(count);
    window->show();
    return 0;
}

void QN_tiltscan_save_selected() {
    if (SCAN_DATA) QN_tiltscan_save(SCAN_DATA->data);
}

void select_cb(Fl_Check_Button* w, long row) {
    QNTBTable* t = table_of(w);
    if (!t) t = SCAN_DATA;
    if (!t || !w || row < 0 || row >= static_cast<long>(t->data.size())) return;
    t->data[static_cast<size_t>(row)].selected = w->value() ? 1 : 0;
}
