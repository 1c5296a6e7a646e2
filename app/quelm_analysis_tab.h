// The Analysis tab: its "Choose method:" choice and the pages every
// subsystem's table adds (QN_analysis_pages), each page with a "Run
// Analysis" button that runs every switched-on method of every table.
#pragma once

#include <vector>

#include "app/quelm_shell.h"

class Fl_Button;
class Fl_Choice;

// The choice of method and every method's run button, in the choice's
// order (null while the tab shows no pages; one entry per method always).
extern Fl_Choice* analy_choice;
extern std::vector<Fl_Button*> analy_run;

// The tables of the tab's pages, in the choice's order (the window hands
// them over from the subsystems').
void QN_analysis_tab_pages(const std::vector<QN_analysis_pages>& tables);
// Rebuilds the tab for the current model's types, on the first page, and
// brings the Model tab to the front.
void QN_analysis();
// Forgets the pages' widgets (before the tab is cleared).
void QN_analysis_forget();
// The "Run Analysis" button of method k of the table whose pages are being
// built, at y of its page.
Fl_Button* QN_analysis_run_button(int y, int k);
// Closes a page: its framed group grows or shrinks to hold its fields, the
// "Run Analysis" button of method k goes below it, and the page holds both.
void QN_analysis_page_close(Fl_Group* page, Fl_Group* framed, int k);
// Shows the page of the chosen method and hides the others.
void QN_analy_choice_cb();
// Enables each run button exactly when its method is switched on.
void QN_analy_checkactive();
// Runs the switched-on methods on the current model (nothing without
// atoms), the tables in their run order, under the busy dialog.
void QN_run_analysis();
