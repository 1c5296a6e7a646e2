#include "app/quelm_parts.h"

#include "analysis/measure_form.h"
#include "analysis/morla_form.h"
#include "app/quelm_window.h"
#include "atomkit/atomkit_panel.h"
#include "builders/builders_menu.h"
#include "dislocation/kavir_form.h"
#include "simulation/simulation_menu.h"
#include "tools/tools_form.h"

std::vector<QN_subsystem> QN_subsystems() {
    return {QN_atomkit_subsystem(),  QN_builders_subsystem(),     QN_simulation_subsystem(),
            QN_analysis_subsystem(), QN_dislocation_subsystem(), QN_measure_subsystem(), QN_tools_subsystem()};
}

void QN_build_main_window() { QN_build_main_window(QN_subsystems()); }
