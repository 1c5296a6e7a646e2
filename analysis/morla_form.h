// The structure analyses' six pages of the Analysis tab, with their
// parameters bound to the group "Analy model with MORLA", and their run that
// colours the view by the shown page's result.
#pragma once

#include "app/quelm_analysis_tab.h"

class Fl_Choice;
class Fl_Group;
class Fl_Round_Button;
class Fl_Value_Input;
class Fl_Button;

extern Fl_Group* analysis_cna;
extern Fl_Group* analysis_baa;
extern Fl_Group* analysis_cnp;
extern Fl_Group* analysis_csp;
extern Fl_Group* analysis_lco;
extern Fl_Group* analysis_oim;
extern Fl_Group* active_cna;
extern Fl_Group* active_cnp;
extern Fl_Group* active_csp;
extern Fl_Group* active_lco;
extern Fl_Group* active_oim;
extern Fl_Round_Button* active_baa;
extern Fl_Group* manual_cna;
extern Fl_Group* manual_cnp;
extern Fl_Group* manual_lco;
extern Fl_Group* manual_oim;
extern Fl_Value_Input* lco_dir[3];
extern Fl_Value_Input* oim_dir[3];
extern Fl_Value_Input* lco_mindis;
extern Fl_Value_Input* oim_mindis;
// Owner key of the tab's bindings in the group.
extern int QN_analy_cbid;

// Registers the group and adds the six pages to the open tab for a model of
// `types` atom types.
void QN_analy_build(int types);
// Whether method k (0 CNA ... 5 OIM) is switched on.
bool QN_analy_active(int k);
// What the structure analysis adds to the window: Analysis/MORLA and its
// methods' pages.
struct QN_subsystem;
QN_subsystem QN_analysis_subsystem();
// Forgets the tab's widgets (before the tab is cleared).
void QN_analy_forget();
// Registers the group "Analy model with MORLA" with its defaults; returns 1.
int QN_analy_init(int argc, char** lines, int* ids);
// The structure analyses of the group on the current model, then the
// colouring of the view by the result of method `shown` (0 ... 5; the
// model's own colours for -1).
void QN_MORLA_run(int shown);

void QN_cna_cb(Fl_Round_Button* w);
void QN_cnp_cb(Fl_Round_Button* w);
void QN_csp_cb(Fl_Round_Button* w);
void QN_lco_cb(Fl_Round_Button* w);
void QN_oim_cb(Fl_Round_Button* w);
void QN_baa_cb(Fl_Round_Button* w);
void QN_cna_acb();
void QN_cnp_acb();
void QN_lco_acb();
void QN_oim_acb();
void QN_cna_mcb();
void QN_cnp_mcb();
void QN_lco_mcb();
void QN_oim_mcb();
