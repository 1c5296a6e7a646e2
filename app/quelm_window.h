// The main window, for the shell itself and the tests: its widgets and the
// window's own commands. Forms, panels and the view reach it only through
// app/quelm_shell.h, which it implements.
#pragma once

#include <string>
#include <vector>

#include "app/quelm_shell.h"
#include "qb/qb_tools.h"

class Fl_Double_Window;
class Fl_Group;
class Fl_Button;
class Fl_Box;
class Fl_Text_Buffer;
class Fl_Text_Display;
class Fl_Tabs;
class Fl_Tile;
class Fl_Scroll;
class Fl_Choice;
class Fl_Menu_Bar;
class Fl_Widget;

extern Fl_Double_Window* main_window;
extern Fl_Menu_Bar* menu_bar;
extern Fl_Group* menu_region;
extern Fl_Button* Inspect_MenuButton;
extern Fl_Group* render_region;
extern Fl_Group* sliding_region;
extern Fl_Text_Buffer* message_region;
extern Fl_Text_Display* message_display;
// The view (with the sequence bar) above the message area, their border
// dragged to share the room.
extern Fl_Tile* work_tile;
extern Fl_Tabs* control_region;
extern Fl_Scroll* view_region;
extern Fl_Scroll* model_region;
extern Fl_Scroll* analysis_region;
extern Fl_Choice* model_choice;
extern Fl_Group* model_group;

// Builds the main window (start-up steps up to showing it) with what each
// subsystem adds to it: its model forms, menu entries and tool-bar buttons.
void QN_build_main_window(const std::vector<QN_subsystem>& subsystems);
// The same with every subsystem of the program (app/quelm_parts.h).
void QN_build_main_window();
void QN_window_reset();
// What QN_update_model does in the window: shows the current model in the
// view, the sequence bar and the analyses. The camera frames the model's
// box (90 % of the view, rotation kept) for the first model, after
// QN_frame_next_model, and when
// the box differs from the one shown before (a builder's preview, an
// Atomkit run that changes the box); it stays where the user left it for a
// step through the imported file series and when the box is the same (an
// analysis or Atomkit re-run).
void QN_show_current_model();

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
void QN_about();
// The program's version ("0.1.0") and the About window's text, which shows it.
const char* QN_version();
std::string QN_about_text();
// The licence, one paragraph per line (wrapped by its window).
extern const char* const QN_licence_text;
