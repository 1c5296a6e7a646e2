#include "simulation/simulation_menu.h"

#include "app/quelm_shell.h"
#include "simulation/campaign_form.h"
#include "simulation/frame_form.h"
#include "simulation/wizard_form.h"

QN_subsystem QN_simulation_subsystem() {
    QN_subsystem part;
    part.name = "Simulation";
    part.menu = {
        {"Simulation/Quelm/&Dynamic", 0, QN_simulate_Dynamic_cb, 0},
        {"Simulation/Quelm/&Quasistatic", 0, QN_simulate_Quasistatic_cb, 0},
        {"Simulation/Quelm/&Shock", 0, QN_simulate_Shock_cb, 0},
        {"Simulation/Quelm/&Crack", 0, QN_simulate_Crack_cb, 0},
        {"Simulation/Campaigns...", 0, QN_campaigns_menu, 0},
    };
    part.tools = {
        {316, "img/icon/dynamic.png", "Dynamic Simulation", QN_simulate_Dynamic_cb, 0},
        {350, "img/icon/static.png", "Quasistatic Simulation", QN_simulate_Quasistatic_cb, 0},
        {384, "img/icon/shock.png", "Shock Simulation", QN_simulate_Shock_cb, 0},
        {418, "img/icon/crack.png", "Crack Simulation", QN_simulate_Crack_cb, 0},
    };
    part.add_to_menu = QN_frame_UI_setup;  // the LAMMPS frames of config/config_list.txt
    return part;
}
