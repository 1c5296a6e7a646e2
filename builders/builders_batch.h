// quelm-batch build KIND and scan: every builder's form and the
// lattice-mismatch scan, from the form's defaults and -LABEL=VALUE entries.
#pragma once

// Adds "build" and "scan" to quelm-batch's commands.
void QN_batch_register_builders();
