#include "builders/builders_menu.h"

#include "app/quelm_shell.h"
#include "builders/defect_form.h"
#include "builders/layers_form.h"
#include "builders/monocrystal_form.h"
#include "builders/nano_form.h"
#include "builders/polycrystal_form.h"

QN_subsystem QN_builders_subsystem() {
    QN_subsystem part;
    part.name = "Builders";
    part.forms = {
        {"Monocrystal", QN_model_single_crystal, 0, 0},   {"Polycrystal", QN_model_poly_crystal, 0, 0},
        {"Bilayer", QN_model_double_layer, 0, 0},         {"Multilayer", QN_model_multi_layer, 0, 0},
        {"Nanocomposite", QN_model_nanocomposite, 0, 0},  {"Nanoparticle", QN_model_cluster, 0, 0},
        {"Nanowire", QN_model_wire, 0, 0},                {"Nanosheet", QN_model_sheet, 0, 0},
        {"Core-Shell", QN_model_coreshell, 0, 0},         {"Solution", QN_model_solute, 0, 0},
        {"Dislocation", QN_model_dislocation, 0, 0},      {"Crack", QN_model_crack, 0, 0},
    };
    return part;
}
