#include "app/quelm_shell.h"

#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>

#include <cstdio>

#include "qb/qb_text.h"

QB_tools Current_Model;
QN_global_control QNGC;
int inited_atomic_viewer = 0;
int QN_alerts_modal = 1;

namespace {
QN_shell no_window;
QN_shell* shell = &no_window;
std::string last_message;
}  // namespace

void QN_install_shell(QN_shell* s) { shell = s ? s : &no_window; }

void QN_message(const char* text) {
    last_message = text ? text : "";
    shell->show_message(last_message);
    QN_redraw_window();
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

void QN_update_model() { shell->update_model(); }
void QN_model_form_shown(int entry) { shell->model_form_shown(entry); }

Fl_Window* QN_main_window() { return shell->main_window(); }
void QN_redraw_window() {
    if (Fl_Window* w = shell->main_window()) w->redraw();
}
void QN_flush_window() { shell->flush_window(); }

Fl_Group* QN_form_region() { return shell->form_region(); }
Fl_Choice* QN_form_choice() { return shell->form_choice(); }
Fl_Scroll* QN_model_tab() { return shell->model_tab(); }
Fl_Scroll* QN_view_tab() { return shell->view_tab(); }
Fl_Scroll* QN_analysis_tab() { return shell->analysis_tab(); }
Fl_Group* QN_render_area() { return shell->render_area(); }
Fl_Button* QN_inspect_button() { return shell->inspect_button(); }
void QN_show_model_tab() { shell->show_model_tab(); }
void QN_show_analysis_tab() { shell->show_analysis_tab(); }
void QN_snapshot_global() { shell->snapshot(); }
void QN_open_model() { shell->open_model(); }
void QN_save_model() { shell->save_model(); }
void QN_forget_file_series() { shell->forget_file_series(); }
std::vector<std::pair<std::string, int>> QN_file_series() { return shell->file_series(); }
