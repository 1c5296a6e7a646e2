// The four simulation wizards' windows: "Quelm Simulation Dynamic",
// "… Quasistatic", "… Shock" (tabs Model, Potential, Loading, Output, Submit)
// and "Quelm Simulation Crack" (the same and Download, with Save and Load).
// Each binds its widgets to its store group and calls the wizard core for
// Pack, Submit and the downloads; reports go to the message area.
#pragma once

#include "simulation/wizard.h"

class Fl_Double_Window;

// Tool bar and Simulation menu entries: build the window unless it is shown.
void QN_simulate_Dynamic_cb();
void QN_simulate_Quasistatic_cb();
void QN_simulate_Shock_cb();
void QN_simulate_Crack_cb();

// For tests: the wizard's window, or nullptr before it was built.
Fl_Double_Window* QN_wizard_window(QN_wizard kind);
