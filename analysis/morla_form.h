// The Analysis tab: the choice of method, the six structure-analysis pages
// with their parameters bound to the group "Analy model with MORLA", the run
// buttons, and the run that colours the view by the chosen result.
#pragma once

class Fl_Choice;
class Fl_Group;
class Fl_Round_Button;
class Fl_Value_Input;
class Fl_Button;

extern Fl_Choice* analy_choice;
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
// The "Run Analysis" button of every method, in menu order (the dislocation
// analyses' at 6 ... 12).
constexpr int QN_ANALY_METHODS = 13;
extern Fl_Button* analy_run[QN_ANALY_METHODS];
// Owner key of the tab's bindings in the group.
extern int QN_analy_cbid;

// Registers the group and rebuilds the tab for the current model's types.
void QN_analysis();
// What the structure analysis adds to the window: Analysis/MORLA and its
// methods' pages.
struct QN_subsystem;
QN_subsystem QN_analysis_subsystem();
// Forgets the tab's widgets (before the tab is cleared).
void QN_analy_forget();
// Registers the group "Analy model with MORLA" with its defaults; returns 1.
int QN_analy_init(int argc, char** lines, int* ids);
// Shows the page of the chosen method and hides the others.
void QN_analy_choice_cb();
// Enables each run button exactly when its method is switched on.
void QN_analy_checkactive();
// Runs the switched-on analyses on the current model (nothing without atoms).
void QN_run_analysis();
// The structure analyses of the group on the current model, then the
// colouring of the view by the chosen page's result.
void QN_MORLA_run();
// The dislocation analyses' tab pages (added to the open analysis region)
// and their run on the current model, before the structure methods.
void QN_KAVIR_analysis();
void QN_KAVIR_run();

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
