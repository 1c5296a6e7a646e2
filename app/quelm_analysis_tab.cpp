#include "app/quelm_analysis_tab.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Scroll.H>

#include <algorithm>
#include <string>

#include "app/quelm_bind.h"

Fl_Choice* analy_choice = nullptr;
std::vector<Fl_Button*> analy_run;

namespace {

std::vector<QN_analysis_pages> tables;
// The first method of each table in the choice, and the table being built.
std::vector<int> first;
int building = -1;

int method_count() { return first.empty() ? 0 : first.back() + static_cast<int>(tables.back().methods.size()); }

// The table of method k and k within it; -1 for none.
int table_of(int k, int& local) {
    for (int t = static_cast<int>(tables.size()) - 1; t >= 0; t--)
        if (k >= first[static_cast<size_t>(t)]) {
            local = k - first[static_cast<size_t>(t)];
            return local < static_cast<int>(tables[static_cast<size_t>(t)].methods.size()) ? t : -1;
        }
    return -1;
}

Fl_Group* page_of(int k) {
    int local = 0;
    const int t = table_of(k, local);
    if (t < 0 || !analy_choice || !tables[static_cast<size_t>(t)].page) return nullptr;
    return tables[static_cast<size_t>(t)].page(local);
}

void choice_cb(Fl_Widget*, void*) { QN_analy_choice_cb(); }
void run_cb(Fl_Widget*, void*) { QN_run_analysis(); }

}  // namespace

void QN_analysis_tab_pages(const std::vector<QN_analysis_pages>& given) {
    QN_analysis_forget();
    tables = given;
    first.clear();
    int at = 0;
    for (const QN_analysis_pages& t : tables) {
        first.push_back(at);
        at += static_cast<int>(t.methods.size());
    }
    analy_run.assign(static_cast<size_t>(at), nullptr);
}

void QN_analysis_forget() {
    analy_choice = nullptr;
    analy_run.assign(static_cast<size_t>(method_count()), nullptr);
    for (const QN_analysis_pages& t : tables)
        if (t.forget) t.forget();
}

void QN_analysis() {
    Fl_Scroll* tab = QN_analysis_tab();
    if (!tab) return;
    QN_analysis_forget();
    tab->scroll_to(0, 0);
    tab->clear();
    tab->begin();
    auto* top = new Fl_Group(0, 100, 320, 45);
    analy_choice = new Fl_Choice(150, 110, 120, 30, "Choose method:");
    for (const QN_analysis_pages& t : tables)
        for (const std::string& m : t.methods) analy_choice->add(m.c_str(), 0, choice_cb);
    top->end();
    for (size_t t = 0; t < tables.size(); t++) {
        building = static_cast<int>(t);
        if (tables[t].build) tables[t].build(Current_Model.ntypes);
    }
    building = -1;
    tab->end();
    analy_choice->value(0);
    if (Fl_Group* page = page_of(0)) page->show();
    QN_show_model_tab();
    QN_redraw_window();
}

Fl_Button* QN_analysis_run_button(int y, int k) {
    auto* b = new Fl_Button(30, y, 270, 30, "Run Analysis");
    b->callback(run_cb);
    b->deactivate();
    if (building >= 0 && k >= 0 && k < static_cast<int>(tables[static_cast<size_t>(building)].methods.size()))
        analy_run[static_cast<size_t>(first[static_cast<size_t>(building)] + k)] = b;
    return b;
}

namespace {
// The lowest edge of g's children (g's top when it has none).
int children_bottom(const Fl_Group* g) {
    int bottom = g->y();
    for (int i = 0; i < g->children(); i++) bottom = std::max(bottom, g->child(i)->y() + g->child(i)->h());
    return bottom;
}
}  // namespace

void QN_analysis_page_close(Fl_Group* page, Fl_Group* framed, int k) {
    if (!page) return;
    int bottom = children_bottom(page);
    if (framed) {
        // Only the frame's own size: its fields stay where they were put.
        framed->Fl_Widget::resize(framed->x(), framed->y(), framed->w(), children_bottom(framed) + 8 - framed->y());
        bottom = std::max(bottom, framed->y() + framed->h());
    }
    page->begin();
    Fl_Button* run = QN_analysis_run_button(bottom + 12, k);
    page->end();
    page->Fl_Widget::resize(page->x(), page->y(), page->w(), run->y() + run->h() + 10 - page->y());
}

void QN_analy_choice_cb() {
    for (int k = 0; k < method_count(); k++)
        if (Fl_Group* page = page_of(k)) page->hide();
    if (Fl_Group* page = page_of(analy_choice ? analy_choice->value() : -1)) page->show();
    if (QN_analysis_tab()) QN_analysis_tab()->redraw();
}

void QN_analy_checkactive() {
    for (int k = 0; k < static_cast<int>(analy_run.size()); k++) {
        int local = 0;
        const int t = table_of(k, local);
        if (!analy_run[static_cast<size_t>(k)] || t < 0) continue;
        const QN_analysis_pages& table = tables[static_cast<size_t>(t)];
        QN_set_active(analy_run[static_cast<size_t>(k)], table.active && table.active(local));
    }
}

void QN_run_analysis() {
    if (Current_Model.natoms < 1) return;
    std::vector<size_t> order(tables.size());
    for (size_t t = 0; t < order.size(); t++) order[t] = t;
    std::stable_sort(order.begin(), order.end(),
                     [](size_t a, size_t b) { return tables[a].run_order < tables[b].run_order; });
    int shown_local = 0;
    const int shown = table_of(analy_choice ? analy_choice->value() : -1, shown_local);
    QN_wait("Analyzing Please Wait");
    for (size_t t : order)
        if (tables[t].run) tables[t].run(static_cast<int>(t) == shown ? shown_local : -1);
    QN_wait_end();
}

void QN_show_analysis_method(int k) {
    if (!inited_atomic_viewer) {
        QN_message_alert("Please select a model first");
        return;
    }
    if (!analy_choice) return;
    analy_choice->value(k);
    QN_show_analysis_tab();
    QN_analy_choice_cb();
}

void QN_show_analysis_method(const char* method) {
    int k = 0;
    for (const QN_analysis_pages& t : tables)
        for (const std::string& m : t.methods) {
            if (method && m == method) return QN_show_analysis_method(k);
            k++;
        }
}
