// Simulation > Campaigns: the campaign records of a folder, the tasks of the
// chosen one with their states in colour, and Refresh, Cancel selected,
// Fetch selected and Resubmit failed through the campaign core.
#pragma once

#include <string>

class Fl_Widget;
class Fl_Double_Window;

// The menu entry: opens the window on the current folder.
void QN_campaigns_menu();
// Opens the window on folder (the current folder when empty); the window.
Fl_Double_Window* QN_show_campaigns(const std::string& folder = std::string());

// For tests: the window's lines of records and tasks, and its actions as
// its buttons run them.
struct QN_campaigns_view {
    static int records();                       // lines of the record list
    static std::string record(int line);        // its text (1-based)
    static void choose(int line);               // picks a record, shows its last states
    static int tasks();                         // lines of the task list
    static std::string task(int line);          // its text without the colour code
    static unsigned task_colour(int line);      // its colour (Fl_Color)
    static std::string counts();                // the counts line
    static void select_task(int line, bool on); // selects a task line
    static void set_save_folder(const std::string& folder);
    static void refresh();
    static void cancel_selected();
    static void fetch_selected();
    static void resubmit_failed();
};
