#include <cstdio>

#include "analysis/analysis_batch.h"
#include "builders/builders_batch.h"
#include "store/quelm_batch_core.h"
#include "atomkit/atomkit_batch.h"
#include "dislocation/kavir_batch.h"
#include "simulation/simulation_batch.h"
#include "tools/dump_batch.h"
#include "tools/potential_batch.h"
#include "view/plot_batch.h"
#include "view/view_batch.h"

int main(int argc, char** argv) {
    QN_batch_register_builders();
    QN_batch_register_analysis();
    QN_batch_register_snapshot();
    QN_batch_register_plot();
    QN_batch_register_atomkit();
    QN_batch_register_kavir();
    QN_batch_register_potentials();
    QN_batch_register_dumps();
    QN_batch_register_simulation();
    return QN_batch_main(argc, argv, stdout, stderr);
}
