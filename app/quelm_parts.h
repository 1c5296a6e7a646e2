// Every subsystem of the program, in the order of the menus: what the entry
// point hands to the window.
#pragma once

#include <vector>

#include "app/quelm_shell.h"

std::vector<QN_subsystem> QN_subsystems();
