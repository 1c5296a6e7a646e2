// The main window: its widgets, the current model and the operations through
// which the rest of the program talks to the user and to the view.
#pragma once

#include <string>

#include "qb/qb_tools.h"

class Fl_Double_Window;
class Fl_Group;
class Fl_Button;
class Fl_Box;
class Fl_Text_Buffer;
class Fl_Text_Display;
class Fl_Tabs;
class Fl_Scroll;
class Fl_Choice;
class Fl_Menu_Bar;
class Fl_Widget;

extern Fl_Double_Window* foo_window;
extern Fl_Menu_Bar* menu_bar;
extern Fl_Group* menu_region;
extern Fl_Button* Inspect_MenuButton;
extern Fl_Group* rending_region;
extern Fl_Group* sliding_region;
extern Fl_Text_Buffer* message_region;
extern Fl_Text_Display* message_display;
extern Fl_Tabs* control_region;
extern Fl_Scroll* view_region;
extern Fl_Scroll* model_region;
extern Fl_Scroll* analysis_region;
extern Fl_Choice* model_choice;
extern Fl_Group* model_group;
extern Fl_Choice* view_choice;

extern QB_tools Current_Model;

struct QN_global_control {
    int view_built = 0;
    int analysis_rebuild = 1;
};
extern QN_global_control QNGC;
extern int inited_atomic_viewer;

// When 0 (tests, batch runs) alerts are not shown in a modal box; their text
// still goes to the message area and to standard error.
extern int QN_alerts_modal;

// Replaces the message area's text.
void QN_message(const char* text);
// Shows text in a modal alert box, then in the message area.
void QN_message_alert(const char* text);
// The message area's current text.
std::string QN_message_text();
// Reports the box (k <= 0 or k > natoms) or atom record k - 1.
void QN_atom_message(int k);

// Builds the main window (start-up steps up to showing it).
void QN_build_main_window();
void QN_window_reset();
// Shows the current model (view, sequence bar, analyses). The camera frames
// the model's box (90 % of the view, rotation kept) for the first model,
// after QN_frame_next_model, and when the box differs from the one shown
// before (a builder's preview, an Atomkit run that changes the box); it stays
// where the user left it for a step through the imported file series and
// when the box is the same (an analysis or Atomkit re-run).
void QN_update_model();

void QN_switch_model();
void QN_switch_analy();
// Show the Analysis tab on one method's page.
void QN_switch_analy_cna();
void QN_switch_analy_baa();
void QN_switch_analy_cnp();
void QN_switch_analy_csp();
void QN_switch_analy_lco();
void QN_switch_analy_oim();
void QN_switch_analy_dva();
void QN_switch_analy_sta();
void QN_switch_analy_dda();
void QN_switch_analy_sva();
void QN_switch_analy_ida();
void QN_switch_analy_nye();
void QN_switch_analy_nta();
void QN_switch_chroma();
void QN_switch_camera();
void QN_switch_camera_reset();
// View menu "Fit", tool bar "Fit": frames the model, keeping the rotation.
void QN_switch_camera_fit();
// The next QN_update_model frames the model whatever its box (an import
// chosen by the user).
void QN_frame_next_model();
void QN_snapshot_global();
void QN_inspect_global();
void QN_licence();
// File menu "&New" and "Exit". Exit, like closing the main window, asks
// first while the model shown has not been saved (QN_may_quit).
void QN_new_cb(Fl_Widget*, void*);
void QN_quit_cb(Fl_Widget*, void*);
// Whether the model shown is the one in a file: each new model
// (QN_update_model) is unsaved until QN_model_saved (an import, a step of
// the sequence bar, a written export). The model the program opens with
// counts as saved: it is the Monocrystal form's default.
void QN_model_saved();
bool QN_model_unsaved();
// True when the program may end: no unsaved model, or the user chose "Quit".
bool QN_may_quit();
// A model form is shown: selects its entry in "Select model:". The choice
// goes back to it when opening another form is declined.
void QN_model_form_shown(int entry);
void QN_about();
