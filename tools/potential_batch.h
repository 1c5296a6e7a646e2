// quelm-batch commands for potentials: convert-potential (LAMMPS eam/alloy
// or eam/fs file to .quelm) and remap-potential (.quelm file for a model's
// atom types).
#pragma once

#include <cstdio>

// Adds convert-potential and remap-potential to quelm-batch.
void QN_batch_register_potentials();

// The commands themselves, callable directly: argv[0] the program, argv[1]
// the command name. They return 0 when written, 1 for a file that does not
// fit (nothing written), 2 for a usage error.
int QN_batch_convert_potential(int argc, const char* const* argv, FILE* out, FILE* err);
int QN_batch_remap_potential(int argc, const char* const* argv, FILE* out, FILE* err);
