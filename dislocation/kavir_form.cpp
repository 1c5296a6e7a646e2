#include "dislocation/kavir_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Value_Input.H>


#include "app/quelm_analysis_tab.h"
#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "dislocation/kavir_bridge.h"
#include "qb/qb_text.h"
#include "view/view_panel.h"

Fl_Group *analysis_DVA = nullptr, *analysis_STA = nullptr, *analysis_DDA = nullptr, *analysis_SVA = nullptr,
         *analysis_IDA = nullptr, *analysis_NYE = nullptr, *analysis_NTA = nullptr;
Fl_Round_Button *active_DVA = nullptr, *active_STA = nullptr, *active_DDA = nullptr, *active_SVA = nullptr,
                *active_IDA = nullptr, *active_NYE = nullptr, *active_NTA = nullptr;
Fl_Group *group_DVA = nullptr, *group_STA = nullptr, *group_DDA = nullptr, *group_SVA = nullptr,
         *group_IDA = nullptr, *group_NYE = nullptr, *group_NTA = nullptr;
Fl_Choice* KAVIR_eliminate_cell[7] = {};
Fl_Output* reference_outputs[6] = {};
Fl_Output* DDA_dump = nullptr;
Fl_Output* IDA_dump = nullptr;
Fl_Choice* mapset_mode[2] = {};
Fl_Value_Input* mapset_value[2] = {};
Fl_Value_Input* nye_bx[2] = {};
Fl_Value_Input* nye_by[2] = {};
Fl_Value_Input* nye_bz[2] = {};
int QN_KAVIR_cbid = -1;

namespace {

constexpr int G = QN_KAVIR_GROUP;

Fl_Group** const kPages[QN_KAVIR_COUNT] = {&analysis_DVA, &analysis_STA, &analysis_DDA, &analysis_SVA,
                                           &analysis_IDA, &analysis_NYE, &analysis_NTA};
Fl_Round_Button** const kActive[QN_KAVIR_COUNT] = {&active_DVA, &active_STA, &active_DDA, &active_SVA,
                                                   &active_IDA, &active_NYE, &active_NTA};
Fl_Group** const kFramed[QN_KAVIR_COUNT] = {&group_DVA, &group_STA, &group_DDA, &group_SVA,
                                            &group_IDA, &group_NYE, &group_NTA};

const char* const kOpenFilter = "Auto detect format\t*\nLAMMPS custom dump file\t*.lmc\nLAMMPS data file\t*.lmp\n";
const char* const kDumpFilter = "LAMMPS custom dump file\t*.lmc\n";
const char* const kBelowCut = "Define distance smaller than cutoff as neighbor";

int page_being_built = 0;
int reference_count = 0;

template <void (*F)()>
void call(Fl_Widget*, void*) {
    F();
}

void active_cb(Fl_Widget* w, void* data) {
    const int k = static_cast<int>(reinterpret_cast<intptr_t>(data));
    if (Fl_Group* g = *kFramed[k]) QN_set_active(g, static_cast<Fl_Round_Button*>(w)->value() != 0);
    QN_analy_checkactive();
}

Fl_Value_Input* number(int x, int y, int w, const std::string& label, const char* key, int occurrence,
                       void (*after)() = nullptr, bool integer = false) {
    auto* v = new Fl_Value_Input(x, y, w, 30);
    if (!label.empty()) v->copy_label(label.c_str());
    if (integer) QN_get_int_full(v, G, occurrence, key, after, QN_KAVIR_cbid);
    else QN_get_double_full(v, G, occurrence, key, after, QN_KAVIR_cbid);
    return v;
}

Fl_Choice* switch_row(int y, const char* label, const char* key, const char* off = "OFF", const char* on = "ON") {
    auto* c = new Fl_Choice(150, y, 150, 30, label);
    c->add(off);
    c->add(on);
    QN_choice(c, G, key, QN_KAVIR_cbid);
    return c;
}

void vector_row(int y, const char* label, const char* x, const char* yk, const char* z, Fl_Value_Input** out = nullptr,
                void (*after[3])() = nullptr) {
    const char* keys[3] = {x, yk, z};
    for (int k = 0; k < 3; k++) {
        Fl_Value_Input* v = number(130 + 60 * k, y, 50, k == 0 ? label : "", keys[k], 0, after ? after[k] : nullptr);
        if (out) out[k] = v;
    }
}

void cut_rows(int types, int y0, const char* key) {
    for (int t = 1; t <= types; t++) {
        Fl_Value_Input* v = number(150, y0 + 40 * (t - 1), 150, QB_format("Type%d cutoff", t), key, t - 1);
        v->tooltip(kBelowCut);
    }
}

void eliminate_row(int y) {
    auto* c = new Fl_Choice(150, y, 150, 30, "Eliminate_cell");
    c->add("OFF");
    c->add("ON");
    QN_choice_plus(c, G, "KV_eli", QN_KAVIR_update_eliminate, QN_KAVIR_cbid);
    KAVIR_eliminate_cell[page_being_built] = c;
}

void reference_row() {
    auto* out = new Fl_Output(30, 200, 170, 30);
    out->value("No Reference");
    reference_outputs[reference_count++] = out;
    auto* b = new Fl_Button(200, 200, 100, 30, "Select Model");
    b->callback(call<QN_KAVIR_get_reference>);
}

Fl_Output* dump_row(const char* empty, void (*pick)()) {
    auto* out = new Fl_Output(30, 240, 170, 30);
    out->value(empty);
    auto* b = new Fl_Button(200, 240, 100, 30, "Select");
    b->callback([](Fl_Widget*, void* f) { reinterpret_cast<void (*)()>(f)(); }, reinterpret_cast<void*>(pick));
    return out;
}

void mapset_row(int y, int which) {
    auto* c = new Fl_Choice(100, y, 100, 30, "Mapset");
    c->add("angle");
    c->add("distance");
    QN_choice_plus(c, G, "KV_nta_mm", QN_mapset_mode_update, QN_KAVIR_cbid);
    mapset_mode[which] = c;
    mapset_value[which] = number(200, y, 80, "", "KV_nta_mv", 0, QN_mapset_value_update);
}

// Opens page k: its group, "Active" and the framed group.
void open_page(int k, int page_h, int frame_h, const char* frame) {
    page_being_built = k;
    *kPages[k] = new Fl_Group(0, 145, 320, page_h);
    auto* a = new Fl_Round_Button(30, 150, 80, 26, "Active");
    a->down_box(FL_ROUND_DOWN_BOX);
    a->value(0);
    a->callback(active_cb, reinterpret_cast<void*>(static_cast<intptr_t>(k)));
    *kActive[k] = a;
    auto* g = new Fl_Group(20, 195, 290, frame_h, frame);
    g->box(FL_THIN_UP_FRAME);
    g->align(FL_ALIGN_TOP_LEFT);
    *kFramed[k] = g;
}

void close_page(int k) {
    (*kFramed[k])->end();
    (*kFramed[k])->deactivate();
    (*kPages[k])->end();
    QN_analysis_page_close(*kPages[k], *kFramed[k], k);
    (*kPages[k])->hide();
}

void build_pages(int T) {
    const int Y = 40 * T;
    reference_count = 0;
    void (*nye_after[3])() = {QN_nye_bx_update, QN_nye_by_update, QN_nye_bz_update};

    open_page(QN_KAVIR_DVA, Y + 220, Y + 170, "Displacement Vector Analysis");
    reference_row();
    cut_rows(T, 240, "KV_dva_cut");
    eliminate_row(Y + 240);
    switch_row(Y + 280, "Eliminate_overall", "KV_dva_eli");
    close_page(QN_KAVIR_DVA);

    open_page(QN_KAVIR_STA, Y + 420, Y + 370, "atomic Strain Tensor Analysis");
    reference_row();
    cut_rows(T, 240, "KV_sta_cut");
    eliminate_row(Y + 240);
    vector_row(Y + 280, "Burgers", "KV_sta_bx", "KV_sta_by", "KV_sta_bz");
    switch_row(Y + 320, "Strain", "KV_sta_sta");
    switch_row(Y + 360, "Deform", "KV_sta_def");
    switch_row(Y + 400, "Volume", "KV_sta_vol");
    switch_row(Y + 440, "Rotation", "KV_sta_rot");
    switch_row(Y + 480, "Stretch", "KV_sta_ste");
    close_page(QN_KAVIR_STA);

    open_page(QN_KAVIR_DDA, Y + 540, Y + 490, "Differential Displacement Analysis");
    reference_row();
    DDA_dump = dump_row("No Dump File Selected", QN_DDA_get_dump);
    cut_rows(T, 280, "KV_dda_cut");
    eliminate_row(Y + 280);
    vector_row(Y + 320, "dda_normal", "KV_dda_nx", "KV_dda_ny", "KV_dda_nz");
    vector_row(Y + 360, "dda_burgers", "KV_dda_bx", "KV_dda_by", "KV_dda_bz");
    vector_row(Y + 400, "dda_projection", "KV_dda_px", "KV_dda_py", "KV_dda_pz");
    switch_row(Y + 440, "Export EDGE", "KV_dda_eed", "NO", "YES");
    switch_row(Y + 480, "Export SCREW", "KV_dda_esr", "NO", "YES");
    switch_row(Y + 520, "Export MIXED", "KV_dda_emx", "NO", "YES");
    switch_row(Y + 560, "edge_bond mode", "KV_dda_edg", "NO", "YES");
    switch_row(Y + 600, "center mode", "KV_dda_ctr", "Reference", "Deference");
    close_page(QN_KAVIR_DDA);

    open_page(QN_KAVIR_SVA, Y + 260, Y + 210, "Slip Vector Analysis");
    reference_row();
    cut_rows(T, 240, "KV_sva_cut");
    eliminate_row(Y + 240);
    vector_row(Y + 280, "Burgers", "KV_sva_bx", "KV_sva_by", "KV_sva_bz");
    switch_row(Y + 320, "Max_SVA", "KV_sva_max");
    close_page(QN_KAVIR_SVA);

    open_page(QN_KAVIR_IDA, Y + 380, Y + 330, "Interplanar Disregistry Analysis");
    reference_row();
    IDA_dump = dump_row("No Dump", QN_IDA_get_dump);
    cut_rows(T, 280, "KV_ida_cut");
    eliminate_row(Y + 280);
    switch_row(Y + 320, "Eliminate_overall", "KV_ida_eli");
    vector_row(Y + 360, "Norm", "KV_ida_nx", "KV_ida_ny", "KV_ida_nz");
    number(130, Y + 400, 50, "Layer1", "KV_ida_l1d", 0);
    number(190, Y + 400, 50, "", "KV_ida_l1h", 0);
    number(250, Y + 400, 50, "", "KV_ida_l1t", 0, nullptr, true);
    number(130, Y + 440, 50, "Layer2", "KV_ida_l2d", 0);
    number(190, Y + 440, 50, "", "KV_ida_l2h", 0);
    number(250, Y + 440, 50, "", "KV_ida_l2t", 0, nullptr, true);
    close_page(QN_KAVIR_IDA);

    open_page(QN_KAVIR_NYE, 200 * T + 420, 200 * T + 160, " Nye Tensor Analysis");
    mapset_row(200, 0);
    cut_rows(T, 240, "KV_nta_cut");
    eliminate_row(Y + 240);
    Fl_Value_Input* b0[3];
    vector_row(Y + 280, "Burgers", "KV_nta_bx", "KV_nta_by", "KV_nta_bz", b0, nye_after);
    nye_bx[0] = b0[0];
    nye_by[0] = b0[1];
    nye_bz[0] = b0[2];
    const char* const rows[3][3] = {{"KV_nta_xi", "KV_nta_xj", "KV_nta_xk"},
                                    {"KV_nta_yi", "KV_nta_yj", "KV_nta_yk"},
                                    {"KV_nta_zi", "KV_nta_zj", "KV_nta_zk"}};
    for (int t = 1; t <= T; t++) {
        const int s = 360 + 160 * (t - 1);
        auto* kind = new Fl_Choice(150, Y + s - 40, 60, 30);
        kind->copy_label(QB_format("Type%d structure", t).c_str());
        for (const char* k : {"fcc", "bcc", "hcp"}) kind->add(k);
        QN_choice_multi(kind, G, t - 1, "KV_nta_tt", QN_KAVIR_cbid);
        number(220, Y + s - 40, 80, "", "KV_nta_tc", t - 1);
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++)
                number(130 + 60 * c, Y + s + 40 * r, 50, r == 0 && c == 0 ? QB_format("Type%d Orient", t) : "",
                       rows[r][c], t - 1);
    }
    close_page(QN_KAVIR_NYE);

    open_page(QN_KAVIR_NTA, Y + 250, Y + 200, " Nye Tensor Analysis");
    reference_row();
    mapset_row(240, 1);
    cut_rows(T, 280, "KV_nye_cut");
    eliminate_row(Y + 280);
    Fl_Value_Input* b1[3];
    vector_row(Y + 320, "Burgers", "KV_nta_bx", "KV_nta_by", "KV_nta_bz", b1, nye_after);
    nye_bx[1] = b1[0];
    nye_by[1] = b1[1];
    nye_bz[1] = b1[2];
    close_page(QN_KAVIR_NTA);
}

void mirror(Fl_Value_Input* const* pair, const char* key) {
    const double v = QN_stored_double(G, key, 0);
    for (int k = 0; k < 2; k++)
        if (pair[k] && pair[k]->value() != v) pair[k]->value(v);
}

// The column the view shows after analysis k ran (none for the analyses
// that write a file).
void colour_by(int k) {
    switch (k) {
        case QN_KAVIR_DVA:
            return QN_render_check_file3("Displacement.X", "Displacement.Y", "Displacement.Z");
        case QN_KAVIR_STA:
            return QN_render_check_file2("ShearStrain");
        case QN_KAVIR_SVA:
            return QN_render_check_file2("SVA");
        case QN_KAVIR_NYE:
            return QN_render_check_file2("s1");
        case QN_KAVIR_NTA:
            return QN_render_check_file2("nta_s1");
        default:
            return;
    }
}

}  // namespace

Fl_Group* QN_KAVIR_page(int k) { return k >= 0 && k < QN_KAVIR_COUNT ? *kPages[k] : nullptr; }

bool QN_KAVIR_active(int k) { return k >= 0 && k < QN_KAVIR_COUNT && *kActive[k] && (*kActive[k])->value(); }

void QN_KAVIR_build(int types) {
    if (QN_KAVIR_cbid >= 0) QN_sendbit_free(QN_KAVIR_cbid);
    QN_KAVIR_cbid = QN_sendbit_id();
    if (QN_KAVIR_init(types) < 0) return;
    for (Fl_Output*& o : reference_outputs) o = nullptr;
    build_pages(types);
}

void QN_KAVIR_forget() {
    for (int k = 0; k < QN_KAVIR_COUNT; k++) *kPages[k] = *kFramed[k] = nullptr, *kActive[k] = nullptr;
    for (Fl_Choice*& c : KAVIR_eliminate_cell) c = nullptr;
    for (Fl_Output*& o : reference_outputs) o = nullptr;
    DDA_dump = IDA_dump = nullptr;
    for (int k = 0; k < 2; k++) {
        mapset_mode[k] = nullptr;
        mapset_value[k] = nye_bx[k] = nye_by[k] = nye_bz[k] = nullptr;
    }
}

void QN_KAVIR_run(int shown) {
    const double steps[QN_KAVIR_COUNT] = {8, 16, 24, 32, 40, 45, 50};
    for (int k = 0; k < QN_KAVIR_COUNT; k++) {
        if (QN_KAVIR_active(k)) {
            std::string message;
            if (QN_KAVIR_compute(&Current_Model, k, message) == 1) {
                if (k == shown) colour_by(k);
            } else {
                QN_message_alert(message.c_str());
            }
        }
        QN_wait_update(steps[k]);
    }
}

void QN_KAVIR_take_reference(const std::string& path) {
    QN_set_bit_char(G, "KV_ref", path);
    for (Fl_Output* o : reference_outputs)
        if (o) o->value(path.c_str());
    QN_redraw_window();
}

void QN_KAVIR_take_dump(bool dda, const std::string& path, int filter) {
    std::string name = path;
    const bool ends = name.size() >= 4 && name.compare(name.size() - 4, 4, ".lmc") == 0;
    if (filter == 0 && (name.size() < 5 || !ends)) name += ".lmc";
    QN_set_bit_char(G, dda ? "KV_dda_dump" : "KV_ida_dump", name);
    if (Fl_Output* o = dda ? DDA_dump : IDA_dump) o->value(name.c_str());
    QN_redraw_window();
}

void QN_KAVIR_get_reference() {
    std::string chosen;
    if (QN_choose_file("Open file", Fl_Native_File_Chooser::BROWSE_FILE, kOpenFilter, chosen)) QN_KAVIR_take_reference(chosen);
}

void QN_DDA_get_dump() {
    std::string chosen;
    int filter = 0;
    if (QN_choose_file("Save file", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, kDumpFilter, chosen, &filter))
        QN_KAVIR_take_dump(true, chosen, filter);
}

void QN_IDA_get_dump() {
    std::string chosen;
    int filter = 0;
    if (QN_choose_file("Save file", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, kDumpFilter, chosen, &filter))
        QN_KAVIR_take_dump(false, chosen, filter);
}

void QN_KAVIR_update_eliminate() {
    const int v = QN_stored_int(G, "KV_eli", 1);
    for (Fl_Choice* c : KAVIR_eliminate_cell)
        if (c && c->value() != v) c->value(v);
}

void QN_mapset_mode_update() {
    const int v = QN_stored_int(G, "KV_nta_mm", 0);
    for (Fl_Choice* c : mapset_mode)
        if (c && c->value() != v) c->value(v);
}

void QN_mapset_value_update() { mirror(mapset_value, "KV_nta_mv"); }
void QN_nye_bx_update() { mirror(nye_bx, "KV_nta_bx"); }
void QN_nye_by_update() { mirror(nye_by, "KV_nta_by"); }
void QN_nye_bz_update() { mirror(nye_bz, "KV_nta_bz"); }

// ============================================================ in the window

QN_subsystem QN_dislocation_subsystem() {
    QN_subsystem part;
    part.name = "Dislocation analysis";
    part.menu = {
        {"Analysis/Dislocation and strain analysis", 0, [] { QN_show_analysis_method("DVA"); }, FL_SUBMENU},
        {"Analysis/Dislocation and strain analysis/Displacement vectors (DVA)", 0, [] { QN_show_analysis_method("DVA"); }, 0},
        {"Analysis/Dislocation and strain analysis/Atomic strain (STA)", 0, [] { QN_show_analysis_method("STA"); }, 0},
        {"Analysis/Dislocation and strain analysis/Differential displacements (DDA)", 0, [] { QN_show_analysis_method("DDA"); }, 0},
        {"Analysis/Dislocation and strain analysis/Slip vectors (SVA)", 0, [] { QN_show_analysis_method("SVA"); }, 0},
        {"Analysis/Dislocation and strain analysis/Interlayer disregistry (IDA)", 0, [] { QN_show_analysis_method("IDA"); }, 0},
        {"Analysis/Dislocation and strain analysis/Nye tensor (NYE)", 0, [] { QN_show_analysis_method("NYE"); }, 0},
        {"Analysis/Dislocation and strain analysis/Nye tensor against a reference (NTA)", 0, [] { QN_show_analysis_method("NTA"); }, 0},
    };
    QN_analysis_pages pages;
    pages.methods = {"DVA", "STA", "DDA", "SVA", "IDA", "NYE", "NTA"};
    pages.build = QN_KAVIR_build;
    pages.page = QN_KAVIR_page;
    pages.active = QN_KAVIR_active;
    pages.run = QN_KAVIR_run;
    pages.forget = QN_KAVIR_forget;
    // Before the structure analyses, whose run ends by colouring the view.
    pages.run_order = -1;
    part.analyses = {pages};
    return part;
}
