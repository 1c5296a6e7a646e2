// The Tools menu's converter windows: "EAM" and "FS" (LAMMPS potentials to
// .quelm), "DatST" and "DatAES" (the engine's binary dumps to LAMMPS
// dumps). Each use of a menu entry opens a new small window with an input
// file and an output file (typed or chosen), "Transfer", and a status line
// with the outcome of the last transfer.
#pragma once

#include <string>

class Fl_Double_Window;

// The windows, one per call.
void QN_alloy2quelm();
void QN_fs2quelm();
void QN_DatST2lmp();
void QN_DatAES2lmp();
// What the converters add to the window: the Tools menu.
struct QN_subsystem;
QN_subsystem QN_tools_subsystem();

// The window opened last (tests look at it).
extern Fl_Double_Window* QN_tools_window;

// Output names as the save choosers make them: ".quelm" and ".lmc" appended
// unless the name is longer than the ending and ends in it.
std::string QN_tools_quelm_name(const std::string& chosen);
std::string QN_tools_lmc_name(const std::string& chosen);
