// What a form, a panel or the view may ask of the running window: the
// current model and its replacement, the message area, the region and tab a
// form is shown in, the view's place and the window's redraw. The functions
// here ask the QN_shell installed by the window (quelm_window.cpp); without
// one (a form tested on its own) messages go to standard error and there
// are no regions. Nothing outside the shell includes the window's own
// header, and the forms' libraries link this one, not the window's.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qb/qb_tools.h"

class Fl_Button;
class Fl_Choice;
class Fl_Group;
class Fl_Menu_Bar;
class Fl_Scroll;
class Fl_Window;

// The current model: whoever replaces it calls QN_update_model.
extern QB_tools Current_Model;

struct QN_global_control {
    int view_built = 0;
    int analysis_rebuild = 1;
};
extern QN_global_control QNGC;
// 1 once a model has been shown; 0 after the window's reset.
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

// Shows the current model (view, sequence bar, analyses); see the window.
void QN_update_model();
// A model form is shown: selects its entry in "Select model:". The choice
// goes back to it when opening another form is declined.
void QN_model_form_shown(int entry);

// The main window (null before it is built), redrawn or flushed at once.
Fl_Window* QN_main_window();
void QN_redraw_window();
void QN_flush_window();

// Where forms live: the Model tab's form region below "Select model:" and
// that choice; the Model, View and Analysis tabs' scroll regions; the render
// area the view fills; the tool bar's inspect button.
Fl_Group* QN_form_region();
Fl_Choice* QN_form_choice();
Fl_Scroll* QN_model_tab();
Fl_Scroll* QN_view_tab();
Fl_Scroll* QN_analysis_tab();
Fl_Group* QN_render_area();
Fl_Button* QN_inspect_button();
// Brings the Model tab (or the Analysis tab) to the front and redraws it.
void QN_show_model_tab();
void QN_show_analysis_tab();
// The Analysis tab on the page of method k (its entry in the tab's choice)
// or of the method named so; without a model it says "Please select a
// model first".
void QN_show_analysis_method(int k);
void QN_show_analysis_method(const char* method);

// The tool bar's and the View menu's snapshot.
void QN_snapshot_global();
// File > Import and File > Export of the current model.
void QN_open_model();
void QN_save_model();
// Forgets the file series of the sequence bar (a model is about to be
// replaced by one that belongs to no file).
void QN_forget_file_series();
// The files of the sequence bar in order, each with its frame (0-based; -1
// for a whole file of a numbered series); empty without a series.
std::vector<std::pair<std::string, int>> QN_file_series();

// What the window does for the functions above. Every member has the
// behaviour of no window, so a window overrides what it has.
class QN_shell {
public:
    virtual ~QN_shell() = default;
    // The text QN_message keeps, to be shown in the message area.
    virtual void show_message(const std::string&) {}
    virtual void update_model() {}
    virtual void model_form_shown(int) {}
    virtual Fl_Window* main_window() { return nullptr; }
    // Draws what changed at once.
    virtual void flush_window() {}
    virtual Fl_Group* form_region() { return nullptr; }
    virtual Fl_Choice* form_choice() { return nullptr; }
    virtual Fl_Scroll* model_tab() { return nullptr; }
    virtual Fl_Scroll* view_tab() { return nullptr; }
    virtual Fl_Scroll* analysis_tab() { return nullptr; }
    virtual Fl_Group* render_area() { return nullptr; }
    virtual Fl_Button* inspect_button() { return nullptr; }
    virtual void show_model_tab() {}
    virtual void show_analysis_tab() {}
    virtual void snapshot() {}
    virtual void open_model() {}
    virtual void save_model() {}
    virtual void forget_file_series() {}
    virtual std::vector<std::pair<std::string, int>> file_series() { return {}; }
};
// The window installs itself; null goes back to the shell of no window.
void QN_install_shell(QN_shell* shell);

// ------------------------------------------------------------ subsystems

// What a subsystem adds to the window, in one table of its own; the entry
// point hands every table to QN_build_main_window, in the order of the menus.
struct QN_menu_entry {
    const char* path;  // "Analysis/MORLA/CNA": menu, submenus, the entry
    int shortcut;
    void (*action)();  // null for a submenu title of no action of its own
    int flags;         // FL_MENU_DIVIDER, FL_SUBMENU (a title with an action)
};
// An entry of "Select model:", and of the Model menu (with its shortcut
// and flags there): opens the form.
struct QN_model_form {
    const char* label;
    void (*open)();
    int shortcut;
    int flags;
};
// A tool-bar button at x with its icon (a resource name) and tooltip.
struct QN_tool_button {
    int x;
    const char* icon;
    const char* tooltip;
    void (*action)();
    int shortcut;
};
// Pages of the Analysis tab, one entry of its "Choose method:" each
// (app/quelm_analysis_tab.h).
struct QN_analysis_pages {
    std::vector<std::string> methods;
    // Adds every page, hidden, to the open tab for a model of `types` atom
    // types; each page takes its run button from QN_analysis_run_button.
    void (*build)(int types) = nullptr;
    // The page of method k (0 for the first of this table's methods).
    Fl_Group* (*page)(int k) = nullptr;
    // Whether method k is switched on (its run button is enabled).
    bool (*active)(int k) = nullptr;
    // Runs the switched-on methods on the current model; `shown` is the
    // method whose page is shown, -1 while another table's page is.
    void (*run)(int shown) = nullptr;
    // The tab is about to be cleared: the page widgets are gone.
    void (*forget)() = nullptr;
    // Tables run in increasing order, those of one order in the menus'.
    int run_order = 0;
};
struct QN_subsystem {
    const char* name;
    std::vector<QN_model_form> forms;
    std::vector<QN_menu_entry> menu;
    std::vector<QN_tool_button> tools;
    std::vector<QN_analysis_pages> analyses;
    // Entries only known at start-up (the frames of the template list).
    void (*add_to_menu)(Fl_Menu_Bar*) = nullptr;
};
