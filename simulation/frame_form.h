// The Simulation menu's LAMMPS frames: one entry per template of
// "config/config_list.txt" in the program's resource folder, each opening a
// window with the tabs "Model", "Potential", "Setting", "Output", "Submit"
// and "Download".
// The window binds its widgets to the frame's store group; "Submit" stages
// and submits through the core, "Request" and "Download Selected" fill and
// use the download tree. Reports go to the message area.
#pragma once

#include <string>

class Fl_Menu_Bar;
class Fl_Double_Window;
class Fl_Tree;

// Reads the template list and adds "Simulation/LAMMPS/NAME" entries (once,
// at start-up). A missing or unreadable list adds nothing.
void QN_frame_UI_setup(Fl_Menu_Bar* bar);
// Builds (or, while it is shown, keeps) the window of a template file.
void QN_frame_UI(const char* path);

// For tests: the window and download tree of the frame named `name` (as in
// the menu), or nullptr when it was never opened.
Fl_Double_Window* QN_frame_window(const std::string& name);
Fl_Tree* QN_frame_tree(const std::string& name);
// The store group of the frame named `name`, or -1.
int QN_frame_group(const std::string& name);
