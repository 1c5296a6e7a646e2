#include "analysis/measure_form.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Value_Input.H>

#include <cstdint>
#include <string>

#include "analysis/measure_driver.h"
#include "analysis/measure_plots.h"
#include "analysis/plot_window.h"
#include "app/quelm_analysis_tab.h"
#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "app/quelm_shell.h"
#include "qb/qb_text.h"
#include "store/quelm_store.h"
#include "view/view_panel.h"

namespace {

Fl_Group* pages[QN_M_COUNT] = {};
Fl_Group* framed[QN_M_COUNT] = {};
Fl_Round_Button* active[QN_M_COUNT] = {};
Fl_Output* reference_shown = nullptr;
int owner = -1;

const char* const kTitles[QN_M_COUNT] = {"Radial distribution function", "Coordination numbers",
                                         "Steinhardt order parameters", "Voronoi cells", "Clusters",
                                         "Wigner-Seitz defects"};
// The column the view shows after a run of method k (none for the RDF, a table).
const char* const kShown[QN_M_COUNT] = {nullptr, "coord", "q6", "voronoi_volume", "cluster", "ws_occupancy"};

void active_cb(Fl_Widget* w, void* data) {
    const int k = static_cast<int>(reinterpret_cast<intptr_t>(data));
    const bool on = static_cast<Fl_Round_Button*>(w)->value() != 0;
    QN_set_bit_int(QN_measure_group(), std::string(QN_measure_kinds[k].prefix) + "active", on ? 1 : 0, 0);
    if (framed[k]) QN_set_active(framed[k], on);
    QN_analy_checkactive();
}

Fl_Value_Input* number(int y, const char* label, const char* key, const char* tip, bool integer = false) {
    auto* v = new Fl_Value_Input(170, y, 120, 30, label);
    v->tooltip(tip);
    if (integer)
        QN_get_int(v, QN_measure_group(), key, owner);
    else
        QN_get_double(v, QN_measure_group(), key, owner);
    return v;
}

Fl_Input* words(int y, const char* label, const char* key, const char* tip) {
    auto* in = new Fl_Input(170, y, 120, 30, label);
    in->tooltip(tip);
    QN_get_char(in, QN_measure_group(), key, owner);
    return in;
}

Fl_Round_Button* flag(int y, const char* label, const char* key, const char* tip) {
    auto* b = new Fl_Round_Button(40, y, 250, 26, label);
    b->down_box(FL_ROUND_DOWN_BOX);
    b->tooltip(tip);
    QN_get_bool(b, QN_measure_group(), key, owner);
    return b;
}

void open_page(int k) {
    pages[k] = new Fl_Group(0, 145, 320, 400);
    auto* a = new Fl_Round_Button(30, 150, 80, 26, "Active");
    a->down_box(FL_ROUND_DOWN_BOX);
    a->value(QN_measure_active(k) ? 1 : 0);
    a->callback(active_cb, reinterpret_cast<void*>(static_cast<intptr_t>(k)));
    active[k] = a;
    framed[k] = new Fl_Group(20, 195, 290, 100, kTitles[k]);
    framed[k]->box(FL_THIN_UP_FRAME);
    framed[k]->align(FL_ALIGN_TOP_LEFT);
}

void close_page(int k) {
    framed[k]->end();
    if (!QN_measure_active(k)) framed[k]->deactivate();
    pages[k]->end();
    QN_analysis_page_close(pages[k], framed[k], k);
    pages[k]->hide();
}

void choose_reference() {
    std::string chosen;
    if (!QN_choose_file("Reference model", Fl_Native_File_Chooser::BROWSE_FILE, "*", chosen)) return;
    QN_set_bit_char(QN_measure_group(), "E_ws_ref", chosen);
    if (reference_shown) reference_shown->value(chosen.c_str());
}

void build(int) {
    if (owner >= 0) QN_sendbit_free(owner);
    owner = QN_sendbit_id();
    QN_measure_group();
    const char* const cut_tip = "Neighbours closer than this count (Å)";
    open_page(QN_M_RDF);
    number(205, "Cutoff (Å)", "E_rdf_cut", "g(r) up to this distance; at most the box's width");
    number(245, "Bins", "E_rdf_bins", "Equal bins from 0 to the cut-off", true);
    close_page(QN_M_RDF);

    open_page(QN_M_COORD);
    number(205, "Cutoff (Å)", "E_coord_cut", cut_tip);
    words(245, "Only types", "E_coord_types", "Count only neighbours of these types (e.g. 1,2); empty: all");
    close_page(QN_M_COORD);

    open_page(QN_M_STEINHARDT);
    words(205, "Degrees l", "E_q_degrees", "The l of q_l, 1 ... 12, e.g. 4,6");
    number(245, "Neighbours", "E_q_n", "The N nearest neighbours", true);
    number(285, "Cutoff (Å)", "E_q_cut", "Every neighbour within it instead of the N nearest; 0: the N nearest");
    flag(325, "Also w_l", "E_q_wl", "The third-order invariants w_l (normalised)");
    flag(355, "Also neighbour-averaged q_l", "E_q_avg", "q_l averaged over each atom and its neighbours");
    close_page(QN_M_STEINHARDT);

    open_page(QN_M_VORONOI);
    number(205, "Face threshold (Å²)", "E_vor_face", "Faces smaller than this are not counted");
    close_page(QN_M_VORONOI);

    open_page(QN_M_CLUSTERS);
    number(205, "Cutoff (Å)", "E_cl_cut", "Atoms closer than this are joined");
    words(245, "Only atoms", "E_cl_select", "Only atoms whose column compares so, e.g. cna!=1; empty: all");
    close_page(QN_M_CLUSTERS);

    open_page(QN_M_DEFECTS);
    reference_shown = new Fl_Output(30, 205, 170, 30);
    const std::string ref = QN_stored_text(QN_measure_group(), "E_ws_ref", "");
    reference_shown->value(ref.empty() || ref == "blank" ? "No reference" : ref.c_str());
    auto* pick = new Fl_Button(200, 205, 100, 30, "Reference");
    pick->tooltip("The perfect model whose sites the atoms are counted on");
    pick->callback([](Fl_Widget*, void*) { choose_reference(); });
    close_page(QN_M_DEFECTS);
}

Fl_Group* page(int k) { return k >= 0 && k < QN_M_COUNT ? pages[k] : nullptr; }

bool is_active(int k) { return k >= 0 && k < QN_M_COUNT && active[k] && active[k]->value(); }

void forget() {
    for (int k = 0; k < QN_M_COUNT; k++) pages[k] = framed[k] = nullptr, active[k] = nullptr;
    reference_shown = nullptr;
}

const char* const kHeading = "Measurements:";

void run(int shown) {
    std::string lines;
    std::vector<QN_MORLA_row> rows;
    for (int k = 0; k < QN_M_COUNT; k++) {
        if (!is_active(k)) continue;
        QN_measure_output out;
        if (QN_measure_run(&Current_Model, k, &out) != 1) {
            QN_message_alert(out.message.c_str());
            continue;
        }
        lines += "\n" + out.message;
        rows.insert(rows.end(), out.rows.begin(), out.rows.end());
        if (k == shown && kShown[k]) {
            const std::string column = k == QN_M_STEINHARDT && !out.columns.empty() ? out.columns.back() : kShown[k];
            QN_render_check_file2(column.c_str());
        }
        if (k == shown && !out.table.names.empty()) {
            const QN_plot plot = QN_measure_table_plot(k, out.table);
            if (QN_plot_has_data(plot)) QN_plot_window_show(plot);
        }
    }
    if (lines.empty()) return;
    // After what the message area says (less an earlier run's report).
    std::string text = QN_message_text();
    const size_t earlier = text.find(kHeading);
    if (earlier != std::string::npos) text.erase(earlier);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    QN_MORLA_summary_t summary;
    summary.atoms = Current_Model.natoms;
    summary.rows = rows;
    std::vector<std::string> stats = QN_MORLA_summary_lines(summary);
    if (!stats.empty()) stats.erase(stats.begin());  // its heading names the structure analysis
    for (const std::string& s : stats) lines += "\n" + s;
    QN_message(((text.empty() ? "" : text + "\n") + kHeading + lines).c_str());
}

}  // namespace

Fl_Group* QN_measure_page(int k) { return page(k); }

QN_subsystem QN_measure_subsystem() {
    QN_subsystem part;
    part.name = "Measurements";
    part.menu = {
        {"Analysis/Measurements", 0, [] { QN_show_analysis_method("RDF"); }, FL_SUBMENU},
        {"Analysis/Measurements/Radial distribution (RDF)", 0, [] { QN_show_analysis_method("RDF"); }, 0},
        {"Analysis/Measurements/Coordination numbers", 0, [] { QN_show_analysis_method("Coordination"); }, 0},
        {"Analysis/Measurements/Steinhardt order", 0, [] { QN_show_analysis_method("Steinhardt"); }, 0},
        {"Analysis/Measurements/Voronoi cells", 0, [] { QN_show_analysis_method("Voronoi"); }, 0},
        {"Analysis/Measurements/Clusters", 0, [] { QN_show_analysis_method("Clusters"); }, 0},
        {"Analysis/Measurements/Wigner-Seitz defects", 0, [] { QN_show_analysis_method("Wigner-Seitz"); },
         FL_MENU_DIVIDER},
        {"Analysis/Plot...", 0, QN_plot_window_open, 0},
    };
    part.analyses = {QN_measure_pages()};
    return part;
}

QN_analysis_pages QN_measure_pages() {
    QN_analysis_pages p;
    for (const QN_measure_kind& k : QN_measure_kinds) p.methods.push_back(k.label);
    p.build = build;
    p.page = page;
    p.active = is_active;
    p.run = run;
    p.forget = forget;
    p.run_order = 1;  // after the structure analyses, whose columns a selection may name
    return p;
}
