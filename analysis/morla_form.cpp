#include "analysis/morla_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>

#include <algorithm>
#include <string>
#include <vector>

#include "analysis/morla_driver.h"
#include "analysis/morla_summary.h"
#include "app/quelm_analysis_tab.h"
#include "app/quelm_bind.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "qb/qb_text.h"
#include "view/view_panel.h"
#include "view/view_widget.h"

Fl_Group* analysis_cna = nullptr;
Fl_Group* analysis_baa = nullptr;
Fl_Group* analysis_cnp = nullptr;
Fl_Group* analysis_csp = nullptr;
Fl_Group* analysis_lco = nullptr;
Fl_Group* analysis_oim = nullptr;
Fl_Group* active_cna = nullptr;
Fl_Group* active_cnp = nullptr;
Fl_Group* active_csp = nullptr;
Fl_Group* active_lco = nullptr;
Fl_Group* active_oim = nullptr;
Fl_Round_Button* active_baa = nullptr;
Fl_Group* manual_cna = nullptr;
Fl_Group* manual_cnp = nullptr;
Fl_Group* manual_lco = nullptr;
Fl_Group* manual_oim = nullptr;
Fl_Value_Input* lco_dir[3] = {nullptr, nullptr, nullptr};
Fl_Value_Input* oim_dir[3] = {nullptr, nullptr, nullptr};
Fl_Value_Input* lco_mindis = nullptr;
Fl_Value_Input* oim_mindis = nullptr;
int QN_analy_cbid = -1;

namespace {

constexpr int G = QN_ANALY_GROUP;

void set_flag(const char* label, int value) { QN_set_bit_int(G, label, value, 0); }

// An "Active" button: stores its state, (de)activates the page's framed
// group and updates the run buttons.
void switch_method(Fl_Round_Button* w, const char* label, Fl_Group* framed) {
    const int on = w && w->value() ? 1 : 0;
    set_flag(label, on);
    if (framed) QN_set_active(framed, on);
    QN_analy_checkactive();
}

// "Adaptive" (1) or "Manual" (0) of a page.
void choose_mode(const char* label, int adaptive, Fl_Group* manual) {
    set_flag(label, adaptive);
    if (manual) QN_set_active(manual, !adaptive);
}

void set_field(Fl_Value_Input* w, double v) {
    if (!w) return;
    w->value(v);
    w->do_callback();
}

template <void (*F)(Fl_Round_Button*)>
void button_cb(Fl_Widget* w, void*) {
    F(static_cast<Fl_Round_Button*>(w));
}

template <void (*F)()>
void call(Fl_Widget*, void*) {
    F();
}

Fl_Round_Button* round_button(int x, int y, int w, const char* label, Fl_Callback* cb, bool radio, bool on) {
    auto* b = new Fl_Round_Button(x, y, w, 26, label);
    b->align(FL_ALIGN_RIGHT);
    if (radio) b->type(FL_RADIO_BUTTON);
    b->value(on ? 1 : 0);
    b->callback(cb);
    return b;
}

Fl_Button* run_button(int y, int index) { return QN_analysis_run_button(y, index); }

Fl_Group* framed_group(int h, const char* label) {
    auto* g = new Fl_Group(20, 195, 290, h, label);
    g->box(FL_THIN_UP_FRAME);
    g->align(FL_ALIGN_TOP_LEFT);
    return g;
}

Fl_Value_Input* field(int x, int y, int w, const std::string& label, const char* tip, const char* key, int entry) {
    auto* v = new Fl_Value_Input(x, y, w, 30);
    if (!label.empty()) v->copy_label(label.c_str());
    if (tip) v->tooltip(tip);
    QN_get_double_multi(v, G, entry, key, QN_analy_cbid);
    return v;
}

const char* const kBelowCut = "Define distance smaller than cutoff as neighbor";

// One "Type%d cutoff" row per type at x, y0 + 40 (t - 1).
void cut_rows(int types, int y0, const char* key) {
    for (int t = 1; t <= types; t++)
        field(130, y0 + 40 * (t - 1), 150, QB_format("Type%d cutoff", t), kBelowCut, key, t - 1);
}

struct FramedPage {
    Fl_Group** page;
    Fl_Group** active;
    Fl_Group** manual;
    const char* frame;
    Fl_Callback* active_cb;
    Fl_Callback* adaptive_cb;
    Fl_Callback* manual_cb;
};

// The common top of the CNA, CNP, LCO and OIM pages; the manual group is
// left open for its fields.
void open_framed_page(const FramedPage& p, int page_h, int frame_h, int manual_h) {
    *p.page = new Fl_Group(0, 145, 320, page_h);
    round_button(30, 150, 30, "Active", p.active_cb, false, false);
    *p.active = framed_group(frame_h, p.frame);
    round_button(30, 200, 30, "Adaptive", p.adaptive_cb, true, true);
    round_button(180, 200, 30, "Manual", p.manual_cb, true, false);
    *p.manual = new Fl_Group(22, 230, 286, manual_h);
}

void close_framed_page(const FramedPage& p, int run_index, bool hidden) {
    (*p.manual)->end();
    (*p.manual)->deactivate();
    (*p.active)->end();
    (*p.active)->deactivate();
    (*p.page)->end();
    QN_analysis_page_close(*p.page, *p.active, run_index);
    if (hidden) (*p.page)->hide();
}

void orientation_page(const FramedPage& p, int types, const char* prefix, Fl_Value_Input** dir,
                      Fl_Value_Input** mindis, int run_index) {
    open_framed_page(p, 40 * types + 230, 40 * types + 160, 40 * types + 100);
    const std::string key = std::string("A_") + prefix + "_";
    for (int k = 0; k < 3; k++)
        dir[k] = field(120 + 60 * k, 240, 50, k == 0 ? "Reference" : "", nullptr, (key + "dir").c_str(), k);
    *mindis = field(150, 280, 150, "Maximum MCSP", nullptr, (key + "mindis").c_str(), 0);
    cut_rows(types, 320, (key + "cut").c_str());
    close_framed_page(p, run_index, true);
}

void build_tab(int T) {
    const FramedPage cna = {&analysis_cna, &active_cna, &manual_cna, "Common Neighbor Analysis",
                            button_cb<QN_cna_cb>, call<QN_cna_acb>, call<QN_cna_mcb>};
    open_framed_page(cna, 40 * T + 150, 40 * T + 40, 40 * T);
    const char* tip = "Define distance larger than min cutoff and smaller than max cutoff as neighbor";
    for (int t = 1; t <= T; t++) {
        const int y = 240 + 40 * (t - 1);
        field(150, y, 60, QB_format("Type%d cutoff Min", t), tip, "A_cna_min", t - 1);
        field(245, y, 60, "Max", tip, "A_cna_max", t - 1);
    }
    close_framed_page(cna, 0, true);

    analysis_baa = new Fl_Group(0, 145, 320, 90);
    active_baa = round_button(30, 150, 70, "Active", button_cb<QN_baa_cb>, false, false);
    run_button(190, 1);
    analysis_baa->end();
    analysis_baa->hide();

    const FramedPage cnp = {&analysis_cnp, &active_cnp, &manual_cnp, "Common Neighbor Parameter",
                            button_cb<QN_cnp_cb>, call<QN_cnp_acb>, call<QN_cnp_mcb>};
    open_framed_page(cnp, 40 * T + 150, 40 * T + 40, 40 * T);
    cut_rows(T, 240, "A_cnp_cut");
    close_framed_page(cnp, 2, true);

    analysis_csp = new Fl_Group(0, 145, 320, 40 * T + 110);
    round_button(30, 150, 30, "Active", button_cb<QN_csp_cb>, false, false);
    active_csp = framed_group(40 * T, "Centro Symmetry Parameter");
    for (int t = 1; t <= T; t++)
        field(245, 200 + 40 * (t - 1), 60, QB_format("Type%d Coordination number", t),
              "Nearest neighbours CSP pairs up; 0 takes them from the structure (12 for fcc and hcp, 8 for bcc)",
              "A_csp_cn", t - 1);
    active_csp->end();
    active_csp->deactivate();
    analysis_csp->end();
    QN_analysis_page_close(analysis_csp, active_csp, 3);
    analysis_csp->hide();

    orientation_page({&analysis_lco, &active_lco, &manual_lco, "Local Crystallographic Orientation",
                      button_cb<QN_lco_cb>, call<QN_lco_acb>, call<QN_lco_mcb>},
                     T, "lco", lco_dir, &lco_mindis, 4);
    orientation_page({&analysis_oim, &active_oim, &manual_oim, "Orientation Imaging Map", button_cb<QN_oim_cb>,
                      call<QN_oim_acb>, call<QN_oim_mcb>},
                     T, "oim", oim_dir, &oim_mindis, 5);
}

// The page of method k.
Fl_Group* page_of(int k) {
    Fl_Group* const pages[6] = {analysis_cna, analysis_baa, analysis_cnp, analysis_csp, analysis_lco, analysis_oim};
    return k >= 0 && k < 6 ? pages[k] : nullptr;
}

bool is_on(const Fl_Widget* w) { return w && w->active(); }

}  // namespace

int QN_analy_init(int, char**, int*) {
    if (QN_analy_cbid >= 0) QN_sendbit_free(QN_analy_cbid);
    QN_analy_cbid = QN_sendbit_id();
    QN_analy_defaults(Current_Model.ntypes);
    return 1;
}

void QN_analy_forget() {
    for (Fl_Group** g : {&analysis_cna, &analysis_baa, &analysis_cnp, &analysis_csp, &analysis_lco, &analysis_oim,
                         &active_cna, &active_cnp, &active_csp, &active_lco, &active_oim, &manual_cna, &manual_cnp,
                         &manual_lco, &manual_oim})
        *g = nullptr;
    active_baa = nullptr;
    for (int k = 0; k < 3; k++) lco_dir[k] = oim_dir[k] = nullptr;
    lco_mindis = oim_mindis = nullptr;
}

void QN_analy_build(int types) {
    QN_analy_init(0, nullptr, nullptr);
    build_tab(types);
}

bool QN_analy_active(int k) {
    if (k == 1) return active_baa && active_baa->value();
    const Fl_Widget* switches[6] = {active_cna, nullptr, active_cnp, active_csp, active_lco, active_oim};
    return k >= 0 && k < 6 && is_on(switches[k]);
}

namespace {

// Where the report of an earlier run begins in the message text (its first
// line, or the line break before it), npos when there is none.
size_t earlier_report(const std::string& text) {
    size_t at = std::string::npos;
    for (const char* start : {"CSP of type ", "Structure summary of "}) {
        if (text.rfind(start, 0) == 0) return 0;
        at = std::min(at, text.find(std::string("\n") + start));
    }
    return at;
}

// Colours the view by the shown page's result (or the model's file colours).
void show_result(int shown) {
    switch (shown) {
        case 0:
            if (is_on(active_cna)) return QN_render_check_file2("cna");
            break;
        case 1:
            if (active_baa && active_baa->value()) return QN_render_check_file2("baa");
            break;
        case 2:
            if (is_on(active_cnp)) return QN_render_check_file2("cnp");
            break;
        case 3:
            if (is_on(active_csp)) return QN_render_check_file2("csp");
            break;
        case 4:
            if (is_on(active_lco)) return QN_render_check_file3("lco_r", "lco_g", "lco_b");
            break;
        case 5:
            if (is_on(active_oim)) return QN_render_check_file3("oim_r", "oim_g", "oim_b");
            break;
        default:
            break;
    }
    QN_render_check_file();
}

}  // namespace

void QN_MORLA_run(int shown) {
    std::string note;
    const int run = QN_MORLA_compute(&Current_Model, 0, &note);
    if (run < 0) {
        QN_message_alert(note.c_str());
        QN_render_check_file();
        return;
    }
    if (run == 0) {
        QN_render_check_file();
        return;
    }
    show_result(shown);
    // What the run found, after what the message area says already (less
    // the report of an earlier run, which this one replaces): how CSP's
    // neighbour numbers were taken from the structure, then the summary.
    const std::vector<std::string> columns = QN_MORLA_active_columns();
    std::string text = QN_message_text();
    const size_t earlier = earlier_report(text);
    if (earlier != std::string::npos) text.erase(earlier);
    std::string report = note;
    for (const std::string& line : QN_MORLA_summary_lines(QN_MORLA_summary(&Current_Model, &columns)))
        report += (report.empty() ? "" : "\n") + line;
    if (!report.empty()) text += (text.empty() ? "" : "\n") + report;
    QN_message(text.c_str());
}

void QN_cna_cb(Fl_Round_Button* w) { switch_method(w, "A_cna_active", active_cna); }
void QN_cnp_cb(Fl_Round_Button* w) { switch_method(w, "A_cnp_active", active_cnp); }
void QN_csp_cb(Fl_Round_Button* w) { switch_method(w, "A_csp_active", active_csp); }
void QN_lco_cb(Fl_Round_Button* w) { switch_method(w, "A_lco_active", active_lco); }
void QN_oim_cb(Fl_Round_Button* w) { switch_method(w, "A_oim_active", active_oim); }
void QN_baa_cb(Fl_Round_Button* w) { switch_method(w, "A_baa_active", nullptr); }

void QN_cna_acb() { choose_mode("A_cna_adptive", 1, manual_cna); }
void QN_cnp_acb() { choose_mode("A_cnp_adptive", 1, manual_cnp); }
void QN_cna_mcb() { choose_mode("A_cna_adptive", 0, manual_cna); }
void QN_cnp_mcb() { choose_mode("A_cnp_adptive", 0, manual_cnp); }
void QN_lco_mcb() { choose_mode("A_lco_adptive", 0, manual_lco); }
void QN_oim_mcb() { choose_mode("A_oim_adptive", 0, manual_oim); }

void QN_lco_acb() {
    for (int k = 0; k < 3; k++) set_field(lco_dir[k], k == 2 ? 1 : 0);
    set_field(lco_mindis, 3);
    choose_mode("A_lco_adptive", 1, manual_lco);
}

void QN_oim_acb() {
    for (int k = 0; k < 3; k++) set_field(oim_dir[k], k == 2 ? 1 : 0);
    set_field(oim_mindis, 3);
    choose_mode("A_oim_adptive", 1, manual_oim);
}

// ============================================================ in the window

QN_subsystem QN_analysis_subsystem() {
    QN_subsystem part;
    part.name = "Structure analysis";
    part.menu = {
        {"Analysis/Structure analysis", 0, QN_show_analysis_tab, FL_SUBMENU},
        {"Analysis/Structure analysis/Common neighbour analysis (CNA)", 0, [] { QN_show_analysis_method("CNA"); }, 0},
        {"Analysis/Structure analysis/Bond angle analysis (BAA)", 0, [] { QN_show_analysis_method("BAA"); }, 0},
        {"Analysis/Structure analysis/Common neighbour parameter (CNP)", 0, [] { QN_show_analysis_method("CNP"); }, 0},
        {"Analysis/Structure analysis/Centro-symmetry parameter (CSP)", 0, [] { QN_show_analysis_method("CSP"); }, 0},
        {"Analysis/Structure analysis/Local crystal orientation (LCO)", 0, [] { QN_show_analysis_method("LCO"); }, 0},
        {"Analysis/Structure analysis/Orientation imaging map (OIM)", 0, [] { QN_show_analysis_method("OIM"); }, 0},
    };
    QN_analysis_pages pages;
    pages.methods = {"CNA", "BAA", "CNP", "CSP", "LCO", "OIM"};
    pages.build = QN_analy_build;
    pages.page = page_of;
    pages.active = QN_analy_active;
    pages.run = QN_MORLA_run;
    pages.forget = QN_analy_forget;
    part.analyses = {pages};
    return part;
}
