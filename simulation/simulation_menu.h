// What the simulation windows add to the main window: the Simulation menu
// (the four wizards and the LAMMPS frames of the template list) and the
// wizards' tool-bar buttons.
#pragma once

struct QN_subsystem;
QN_subsystem QN_simulation_subsystem();
